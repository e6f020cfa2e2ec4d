// Fiscal documents between the commands that take them (Documents.cpp) and
// the paper they are printed on (Tape.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace kest::emu
