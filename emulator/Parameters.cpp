// The parameter table: texts, the register's own values and the settings;
// and the graphic header.
#include <algorithm>

#include "Fields.h"
#include "Services.h"

namespace kest::emu {

namespace {

constexpr uint32_t NewerGenerations = OnGenerations({3, 7, 8});

// The settings by write index: the number they are read under (0: none), the
// registers that have them and the largest value. Booleans are 0 and 1.
struct TSettingInfo {
    int ReadNumber;
    uint32_t Generations;
    int Max;
    int TSettings::*Field;  // nullptr: the protocol, kept in the status word
};

constexpr TSettingInfo SettingTable[] = {
    {0, NewerGenerations, 1, nullptr},  // 0 BS, 1 XON/XOFF
    {310, NewerGenerations, 900, &TSettings::PrinterTimeout},
    {311, OnGenerations({3, 7}), 900, &TSettings::DisplayTimeout},
    {312, OnGenerations({3, 7}), 7, &TSettings::PrinterContrast},
    {313, OnGenerations({3, 7}), 255, &TSettings::Leading},
    {0, NewerGenerations, 1, &TSettings::CutterDisabled},
    {0, NewerGenerations, 1, &TSettings::NarrowPaper},
    {314, OnGenerations({3, 7}), 1, &TSettings::HeaderAlignment},
    {316, OnGenerations({3, 7}), 1, &TSettings::Autocut},
    {317, OnGenerations({3, 7}), 1, &TSettings::EconomicMode},
    {319, NewerGenerations, 1, &TSettings::PaperJournal},
    {320, OnGenerations({8}), 1, &TSettings::FullJournal},
};
constexpr int OperNumberParameter = 315, JournalStatusParameter = 318;

bool Has(uint32_t Generations, const TEcrState& State) {
    return Generations & (1u << State.Generation);
}

std::string HexText(uint32_t Value, int Width) {
    std::string text = HexField(Value, Width);
    text.pop_back();
    return text;
}

// The value of a register's own parameter (304..320); ecOutOfRange for one
// this register does not have.
int SystemValue(const TEcrState& State, int Number, std::string& Value) {
    switch (Number) {
        case 304:
            Value = State.TaxPayerNumber;
            return ecOk;
        case 305:
            Value = State.RegNumber;
            return ecOk;
        case 306: {
            if (!State.HasExtendedStatus) return ecOutOfRange;
            Value.clear();
            for (uint8_t b : State.ExtendedStatus)
                Value += HexText(b, 2);
            return ecOk;
        }
        case 307:
            Value = State.Serial.substr(0, State.Serial.find('\0'));
            return ecOk;
        case OperNumberParameter:
            if (!Has(NewerGenerations, State)) return ecOutOfRange;
            Value = std::to_string(State.Operator);
            return ecOk;
        case JournalStatusParameter:
            if (!State.Model->ProtectedJournal) return ecOutOfRange;
            Value = HexText(State.Journal.Status, 4);
            return ecOk;
    }
    for (const TSettingInfo& s : SettingTable) {
        if (s.Field && s.ReadNumber == Number && Has(s.Generations, State)) {
            Value = std::to_string(State.Settings.*s.Field);
            return ecOk;
        }
    }
    return ecOutOfRange;
}

bool IsSystemNumber(const TEcrState& State, int Number) {
    return State.Generation >= 3 && Number >= FirstSystemNumber && Number <= LastSystemNumber;
}

}  // namespace

// "\": request the number (3 digits) and 0x00; answer the number as received,
// then the 40-byte value and 0x00.
TAnswer ReadParameter(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t number = 0;
    if (const int e = ReadNumber(Data, 0, 3, number); e != ecOk) return Refused(e);
    std::string value = State.Texts[number];
    if (IsSystemNumber(State, int(number)))
        if (const int e = SystemValue(State, int(number), value); e != ecOk) return Refused(e);
    return Answered(std::string(Data.substr(0, 4)) + SlotField(value, ValueWidth));
}

// "\" on generation 2, which has titles only: the 20-byte text.
TAnswer ReadTitle(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t number = 0;
    if (const int e = ReadNumber(Data, 0, 3, number); e != ecOk) return Refused(e);
    return Answered(std::string(Data.substr(0, 4)) + SlotField(State.Texts[number], TitleWidth));
}

std::string ExtendedStatusAnswer(const TEcrState& State) {
    std::string value;
    SystemValue(State, 306, value);
    return "306" + std::string(1, '\0') + SlotField(value, ValueWidth);
}

// "W" on generations 1, 2 and 6: the print time-out (3 digits) and a flag
// word (4 hex digits): 0 the BS protocol, 4 XON/XOFF.
TAnswer SetLineParameters(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t timeout = 0;
    uint32_t flags = 0;
    if (const int e = ReadNumber(Data, 0, 3, timeout); e != ecOk) return Refused(e);
    if (const int e = ReadHex(Data, 4, 4, flags); e != ecOk) return Refused(e);
    constexpr uint32_t XonXoffFlag = 0x0004;
    const bool xonXoff = flags == XonXoffFlag;
    if (timeout > 900 || (flags != 0 && !xonXoff)) return Refused(ecOutOfRange);
    if (xonXoff && State.Generation <= 1) return Refused(ecOutOfRange);  // BS only
    State.Settings.PrinterTimeout = int(timeout);
    SetProtocol(State, xonXoff);
    return {};
}

// "W" on generations 3, 7 and 8: the value (3 digits) and the write index
// (4 hex digits).
TAnswer SetParameter(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t value = 0;
    uint32_t index = 0;
    if (const int e = ReadNumber(Data, 0, 3, value); e != ecOk) return Refused(e);
    if (const int e = ReadHex(Data, 4, 4, index); e != ecOk) return Refused(e);
    if (index >= std::size(SettingTable)) return Refused(ecOutOfRange);
    const TSettingInfo& setting = SettingTable[index];
    if (!Has(setting.Generations, State) || value > setting.Max) return Refused(ecOutOfRange);
    if (setting.Field)
        State.Settings.*setting.Field = int(value);
    else
        SetProtocol(State, value == 1);
    return {};
}

// "9": the four header lines, 40 bytes and 0x00 each.
TAnswer SetHeader(TEcrState& State, const TCommand&, std::string_view Data) {
    std::array<std::string, HeaderLines> lines;
    for (int i = 0; i < HeaderLines; ++i)
        if (const int e = ReadText(Data, i * (ValueWidth + 1), ValueWidth, lines[i]); e != ecOk)
            return Refused(e);
    std::ranges::move(lines, State.Texts.begin() + HeaderBase);
    return {};
}

// "[": the title number (3 digits), 0x00, the text (20 bytes), 0x00.
TAnswer SetTitle(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t number = 0;
    std::string text;
    if (const int e = ReadNumber(Data, 0, 3, number); e != ecOk) return Refused(e);
    if (const int e = ReadText(Data, 4, TitleWidth, text); e != ecOk) return Refused(e);
    if (IsSystemNumber(State, int(number))) return Refused(ecOutOfRange);
    State.Texts[number] = std::move(text);
    return {};
}

// "V": the department (2 digits), 0x00, the name (40 bytes), 0x00.
TAnswer SetDepartName(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t department = 0;
    std::string name;
    if (const int e = ReadNumber(Data, 0, 2, department); e != ecOk) return Refused(e);
    if (const int e = ReadText(Data, 3, ValueWidth, name); e != ecOk) return Refused(e);
    State.Texts[DepartmentBase + department] = std::move(name);
    return {};
}

// "]": four 0x00 bytes, then the serial number's digits in a 20-byte slot and
// 0x00. The identification reports the new number at once.
TAnswer SetSerialNumber(TEcrState& State, const TCommand&, std::string_view Data) {
    if (!AllZero(Data.substr(0, 4), 0)) return Refused(ecBadField);
    std::string serial;
    if (const int e = ReadText(Data, 4, 20, serial); e != ecOk) return Refused(e);
    if (serial.empty()) return Refused(ecEmptyField);
    if (!std::ranges::all_of(serial, [](char C) { return C >= '0' && C <= '9'; }))
        return Refused(ecBadField);
    constexpr int SerialWidth = 7;
    if (serial.size() > SerialWidth) return Refused(ecFieldTooLong);
    State.Serial = SlotField(serial, SerialWidth);
    return {};
}

// "3": width and height (4 digits each), the flag (2 hex digits: 00 load and
// enable, 80 disable), then for loading the picture as hex text and 0x00.
// Disabling keeps the picture.
TAnswer LoadGraphicHeader(TEcrState& State, const TCommand&, std::string_view Data) {
    constexpr size_t HeadSize = 13;
    constexpr uint32_t Enable = 0x00, Disable = 0x80;
    if (Data.size() < HeadSize) return Refused(ecBadFormat);
    int64_t width = 0, height = 0;
    uint32_t flag = 0;
    if (const int e = ReadNumber(Data, 0, 4, width); e != ecOk) return Refused(e);
    if (const int e = ReadNumber(Data, 5, 4, height); e != ecOk) return Refused(e);
    if (const int e = ReadHex(Data, 10, 2, flag); e != ecOk) return Refused(e);
    if (flag == Disable) {
        if (!AllZero(Data, HeadSize)) return Refused(ecBadFormat);
        State.GraphicHeader.Enabled = false;
        return {};
    }
    if (flag != Enable || width < 1 || width > 70 || height < 1 || height > 120)
        return Refused(ecOutOfRange);
    const std::string_view hex = Data.substr(HeadSize);
    const size_t size = size_t(width * height);
    if (hex.size() != 2 * size + 1 || hex.back() != '\0') return Refused(ecBadFormat);
    std::string picture(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        const int high = HexDigitValue(hex[2 * i]), low = HexDigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return Refused(ecBadField);
        picture[i] = static_cast<char>(high * 16 + low);
    }
    State.GraphicHeader = {int(width), int(height), std::move(picture), true};
    return {};
}

}  // namespace kest::emu
