// What the register keeps: its identity, the parameter table with its texts,
// settings, taxes, clock, counters, the last document, the fiscal memory's
// resources, the graphic header and the protected journal. All of it lives in
// one struct that the commands read and change, so that documents, the paper
// tape and the fiscal memory can join it later.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "KestorEmu.h"
#include "Models.h"

namespace kest::emu {

// Status word bits.
inline constexpr uint16_t EcrShiftOpen = 0x0001;
inline constexpr uint16_t EcrXonXoff = 0x0080;
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
inline constexpr int CounterCount = 13;

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
    char Type = '0';  // the document type character
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

struct TJournal {
    uint16_t Status = 0;
    int Rest = 0;  // the journal's remaining resource, reported by "D"
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
    uint16_t Status = 0;  // status word
    std::array<uint8_t, 5> ExtendedStatus{};

    std::array<std::string, TextCount> Texts;  // register bytes, ValueWidth at most
    std::string TaxPayerNumber, RegNumber;     // register bytes
    TSettings Settings;
    int Operator = 1;  // the operator number reported as setting 315
    std::array<TTax, TaxCount> Taxes;
    double ClockOffset = 0;  // days between the register's clock and the host's
    std::array<TCounter, CounterCount> Counters;
    TLastDocument LastDocument;
    TResources Resources;
    TGraphicHeader GraphicHeader;
    TJournal Journal;
};

// The values a register comes with. Expects the identification part (model,
// coding, generation, serial) already filled in.
void InitServiceState(TEcrState& State, const TConfig& Config);

// Text as the register stores it: code page bytes, Width at most.
std::string RegisterText(std::u16string_view Text, int Width, TKestCodingType Coding);

}  // namespace kest::emu
