// What the register keeps: its identity, the parameter table with its texts,
// settings, taxes, clock, counters, the last document, the shift, the fiscal
// memory with its Z records and resources, the graphic header, the protected
// journal, the documents it prints, the raw output it takes and what it has
// just put on paper. All of it lives in one struct that the commands read and
// change; StateFile.cpp keeps what survives switching the register off.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "KestorEmu.h"
#include "Models.h"

namespace kest::emu {

// Status word bits. On generations 3 and 7 bits 9..8 tell the state of the
// open composite document and bits 14..10 its operation.
inline constexpr uint16_t EcrShiftOpen = 0x0001;
inline constexpr uint16_t EcrXonXoff = 0x0080;
inline constexpr uint16_t EcrDocumentBits = 0x7F00;
// Device status byte: bit 3 is the printer ready.
inline constexpr uint8_t DevReady = 0x08;
// Journal status word bits.
inline constexpr uint16_t JournalArchiveClosed = 0x0004;
inline constexpr uint16_t JournalActivated = 0x0008;

// The parameter table's texts, by read number: titles 0..999, among them the
// department names at 200..299, the header lines at 300..303 and the operator
// names at 400..499. One table, so a title written over a department's number
// renames the department, as it reads back.
inline constexpr int TextCount = 1000;
inline constexpr int ValueWidth = 40;  // a parameter value, and the longest text
inline constexpr int TitleWidth = 20;
inline constexpr int DepartmentBase = 200, HeaderBase = 300, OperatorBase = 400;
inline constexpr int HeaderLines = 4;
// Read numbers 304..320 are the register's own values, not texts.
inline constexpr int FirstSystemNumber = 304, LastSystemNumber = 320;

inline constexpr int TaxCount = 5;
inline constexpr int TaxNameWidth = 20;

// Counters by number: count and sum of
inline constexpr int CounterCount = 13;
// Counters 0..10 are the shift's: the Z report clears them.
inline constexpr int ShiftCounters = 11;
inline constexpr int CtSales = 0, CtRefunds = 1, CtCashIn = 2, CtCashOut = 3;
// sales by payment kind: the part paid in cash, on credit, by card
inline constexpr int CtSalesCash = 4, CtSalesCredit = 5, CtSalesCard = 6;
inline constexpr int CtRefundsCashless = 7, CtVoids = 8, CtBuyings = 9, CtBuyingRefunds = 10;
// sums only: the cash in the drawer, and the sales since fiscalisation
inline constexpr int CtDrawer = 11, CtGrandTotal = 12;

// The settings written by index; the protocol (index 0) is the status word's
// XON/XOFF bit.
struct TSettings {
    int PrinterTimeout = 0;
    int DisplayTimeout = 0;
    int PrinterContrast = 0;
    int Leading = 0;
    int CutterDisabled = 0;   // 1: true
    int NarrowPaper = 0;      // 1: true
    int HeaderAlignment = 0;  // 0: true, as are the ones below
    int Autocut = 0;
    int EconomicMode = 0;
    int PaperJournal = 0;
    int FullJournal = 0;
};

struct TTax {
    int Rate = 0;      // hundredths of a percent
    std::string Name;  // register bytes, TaxNameWidth at most
    TKestDateTime Date = 0;
};

struct TCounter {
    int Count = 0;
    int64_t Sum = 0;  // hundredths
};

struct TLastDocument {
    char Type = '0';  // the document type character: the operation code or a report
    int Operator = 0, Number = 0, Receipt = 0, Report = 0;
    TKestDateTime Date = 0;
    int64_t Sum = 0, BuyingSum = 0;  // hundredths
};

// What the fiscal memory has left and last recorded.
struct TResources {
    int RewritesRemain = 0;
    int DaysRemain = 0;
    int LastFiscalReport = 0;
    int LastDayClosing = 0;
    TKestDateTime DayClosed = 0;  // when shift LastDayClosing was closed
};

struct TGraphicHeader {
    int Width = 0, Height = 0;
    std::string Picture;  // Width x Height bytes, row by row
    bool Enabled = false;
};

// The open shift's sales and refunds by department and by operator, for the
// X reports that tell them apart.
inline constexpr int DepartmentCount = 100, OperatorCount = 100;
struct TShiftTotals {
    TCounter Sales, Refunds;
};
struct TShift {
    TKestDateTime Opened = 0;  // by the register's clock; EcrShiftOpen tells whether it is
    int LastXReport = 0;       // X reports are numbered on from shift to shift
    std::array<TShiftTotals, DepartmentCount> Departments{};
    std::array<TShiftTotals, OperatorCount> Operators{};
};

// A Z report's record in the fiscal memory: the shift it closed, when, and
// its totals in hundredths.
struct TDayRecord {
    int Number = 0;
    TKestDateTime Date = 0;
    int64_t Sales = 0, Buyings = 0;
};
inline constexpr int MaxDayRecords = 9999;  // record numbers have four digits
inline constexpr int InspectorPasswordWidth = 5;

// Raw output after "6" (printer) or "^" (customer display), until ESC ESC.
struct TOutputMode {
    uint8_t Command = 0;                  // 0: the register takes frames
    bool Escape = false;                  // the last byte was a single ESC
    std::u16string Line;                  // the line being printed or shown
    std::vector<std::u16string> Display;  // the lines shown so far
};

struct TJournal {
    uint16_t Status = 0;
    int Rest = 0;  // the journal's remaining resource, reported by "D"
};

// A priced line of a fiscal document: an item, an adjustment of an item or
// of the document, or the void of one of them. Texts are register bytes,
// money is in hundredths.
struct TDocLine {
    enum TKind : uint8_t {
        Item,
        ItemPercent,  // of the item before it
        ItemAmount,
        DocPercent,  // of the lines before it
        DocAmount,
    };
    TKind Kind = Item;
    bool Void = false;  // takes back a line of its kind
    std::string Name, Unit;
    int Department = -1, Code = -1;  // -1: not given
    int64_t Quantity = -1;           // thousandths; -1: not printed, counts as one
    int QuantityDecimals = 0;        // as given, for printing
    int64_t Price = 0;
    int Percent = 0;  // adjustment in hundredths of a percent; negative: a discount
    int Tax = -1;     // tax index; -1: none
    int64_t Sum = 0;  // price times quantity
    int64_t Adjustment = 0;
    int64_t Amount = 0;  // what the line adds to the total
};

// A positioned element of a custom or composite document.
struct TDocProperty {
    int Code = 0;
    uint32_t Flags = 0;
    int X = 0, Y = 0;
    int Second = -1;   // where the value ends, on generations 6 and 8; -1: none
    std::string Text;  // register bytes: account, free text, barcode digits
    int Line = -1;     // items and adjustments: index into TDocument::Lines
};

// A fiscal document as the register took it, and what it comes to.
struct TDocument {
    // As the status word tells it.
    enum TStage : uint8_t { StClosed, StOpened, StTotal, StCompleted };

    uint8_t Command = 0;  // "K", "N", "P" or "S"
    char Operation = '0';
    int OperInfo = 2;  // operator printed by number 0, name 1, both 2
    std::string Account;
    std::vector<TDocLine> Lines;
    std::vector<TDocProperty> Properties;

    // The payment: type 0 cash, 1 credit, 2 card, 3 cash and credit, 4 cash and
    // card; the amounts given (for cash, or cash and the second kind).
    int PayType = 0;
    bool Given = false;  // false: paid exactly
    int64_t Cash = 0, Other = 0;
    std::string PayText;

    // Settled: the total and how it was paid.
    int64_t Total = 0, CashPart = 0, CreditPart = 0, CardPart = 0, Change = 0;

    // Composite documents, printed in portions.
    TStage Stage = StClosed;
    int NextRow = 0;   // rows above are on paper already
    std::string Text;  // printed so far, UTF-8
};

struct TDocuments {
    std::optional<TDocument> Open;  // the composite document being printed
    std::optional<TDocument> Last;  // the last one registered, to repeat
    std::string LastText;           // what the last document printed, to copy
};

struct TEcrState {
    const TModelInfo* Model = nullptr;
    TKestCodingType Coding = mctGeneral;
    int Generation = 0;
    int SubVersion = 0;  // from the firmware tag: major * 256 + minor
    bool HasExtendedStatus = false;
    // Identification fields as the register sends them: code page bytes,
    // NUL-padded to the field width, and the separator.
    std::string Serial, ModelName, Manufacturer, Firmware;
    std::string Password;  // 4 bytes, zero-filled
    int BaudRate = 9600;
    int DisplayBaudRate = 9600;  // the customer display's line, generations 3 and 7
    uint16_t Status = 0;         // status word
    std::array<uint8_t, 5> ExtendedStatus{};

    std::array<std::string, TextCount> Texts;  // register bytes, ValueWidth at most
    std::string TaxPayerNumber, RegNumber;     // register bytes
    TSettings Settings;
    int Operator = 1;  // the operator number reported as setting 315
    std::array<TTax, TaxCount> Taxes;
    double ClockOffset = 0;  // days between the register's clock and the host's
    std::array<TCounter, CounterCount> Counters;
    TLastDocument LastDocument;
    TShift Shift;
    TResources Resources;
    std::vector<TDayRecord> DayRecords;  // the fiscal memory, by number
    std::string InspectorPassword;       // register bytes, InspectorPasswordWidth at most
    TGraphicHeader GraphicHeader;
    TJournal Journal;
    TDocuments Documents;
    TOutputMode Output;
    std::string Paper;  // UTF-8 text printed by the running command, for the tape
};

// The line protocol in the status word; generation 1 has BS only.
inline void SetProtocol(TEcrState& State, bool XonXoff) {
    State.Status = XonXoff ? State.Status | EcrXonXoff : State.Status & ~EcrXonXoff;
}
inline bool XonXoffProtocol(const TEcrState& State) {
    return State.Generation > 1 && (State.Status & EcrXonXoff);
}

// The register's clock.
inline TKestDateTime ClockNow(const TEcrState& State) {
    return Now() + State.ClockOffset;
}

// The values a register comes with. Expects the identification part (model,
// coding, generation, serial) already filled in.
void InitServiceState(TEcrState& State, const TConfig& Config);

// Text as the register stores it: code page bytes, Width at most.
std::string RegisterText(std::u16string_view Text, int Width, TKestCodingType Coding);

}  // namespace kest::emu
