// Fiscal documents and reports between the commands that take them
// (Documents.cpp, Reports.cpp, Output.cpp) and the paper they are printed on
// (Tape.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "State.h"

namespace kest::emu {

// The paper takes 40 characters a line.
inline constexpr int PaperWidth = 40;

// What the register gives the document it prints next.
struct TImprint {
    int Document = 0, Receipt = 0, Shift = 0;
    TKestDateTime Date = 0;
};
TImprint NextImprint(const TEcrState& State);

// Tax included in the lines of each tax index, by the register's rates.
std::array<int64_t, TaxCount> TaxSums(const TEcrState& State, const TDocument& Document);
// Whether any line carries tax index Index.
bool HasTax(const TDocument& Document, int Index);

// Paper texts, UTF-8, one or more whole lines.
// A standard receipt up to its fiscal sign.
std::string ReceiptText(const TEcrState& State, const TDocument& Document, const TImprint& Imprint);
// Rows FirstRow..LastRow of a custom or composite document, its properties
// laid out by their offsets.
std::string RowsText(const TEcrState& State, const TDocument& Document, const TImprint& Imprint,
                     int FirstRow, int LastRow);
// The end of a document: the fiscal sign where the register adds it itself,
// and the line that parts it from the next one.
std::string EndText(bool FiscalSign);
std::string CancelText();
std::string CopyText(std::string_view Original);
// The print of the running command broke off after the document was
// registered: says so before the document's last line.
void MarkInterrupted(std::string& Paper);

// -- The shift (Reports.cpp)

bool ShiftOpen(const TEcrState& State);
// Opens the shift at At: "1", or the first fiscal document of a closed shift.
void OpenShift(TEcrState& State, TKestDateTime At);
// ecShiftNotClosed once the open shift has run 24 hours: no fiscal document
// before it is closed.
int CheckShiftAge(const TEcrState& State);
// Adds a registered document to the shift's totals by department and by
// operator.
void CountInShift(TEcrState& State, const TDocument& Doc);

// -- Reports and device output on paper

// The slip of "1"; Header: the header lines above it.
std::string OpeningText(const TEcrState& State, const TImprint& Imprint, bool Header);

// An X or Z report, or an X report by operator or by department. Full: every
// counter, and the departments and operators with sales; Header: the header
// lines above it.
struct TShiftReport {
    enum TKind : uint8_t { X, Z, ByOperator, ByDepartment };
    TKind Kind = X;
    int Number = 0;  // the report's
    int Which = -1;  // the operator or department; -1: each one with sales or refunds
    bool Full = false, Header = false;
    int64_t Sales = 0;  // what the report answers with
};
// Printed before a Z report clears the shift.
std::string ShiftReportText(const TEcrState& State, const TShiftReport& Report,
                            const TImprint& Imprint);

// A fiscal-memory report over the Z records First..Last (indexes into
// TEcrState::DayRecords); Full lists them one by one.
struct TFiscalReport {
    enum TKind : uint8_t { ByDates, ByNumbers, All };
    TKind Kind = All;
    bool Full = false;
    int Number = 0;  // the report's
    size_t First = 0, Last = 0;
    int64_t Sales = 0, Buyings = 0;
};
std::string FiscalReportText(const TEcrState& State, const TFiscalReport& Report,
                             TKestDateTime Date);

// Paper movements and external pulses, as marks on the tape.
std::string FeedText(int Lines, bool Backwards, bool Cut);
std::string PulseText(int Channel, int FirstInterval, int SecondInterval, int Count);
// What the customer display shows, as lines on the tape.
std::string DisplayText(const std::vector<std::u16string>& Lines);
// One byte of raw output as the printer or the display shows it; control
// bytes show as "?".
char16_t OutputChar(const TEcrState& State, char Byte);

}  // namespace kest::emu
