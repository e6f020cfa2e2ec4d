#include "Fields.h"

#include <algorithm>

namespace kest::emu {

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

// Exactly Width digits, zero-padded, without a separator.
std::string Digits(int64_t Value, int Width) {
    std::string out(Width, '0');
    for (int i = Width - 1; i >= 0; --i, Value /= 10)
        out[i] = static_cast<char>('0' + Value % 10);
    return out;
}

// Exactly Width digits at Offset, then the separator.
int ReadDigits(std::string_view Data, size_t Offset, int Width, int& Value) {
    if (Data[Offset + Width] != '\0') return ecFieldTooLong;
    Value = 0;
    for (int i = 0; i < Width; ++i) {
        const char c = Data[Offset + i];
        if (!IsDigit(c)) return ecBadField;
        Value = Value * 10 + (c - '0');
    }
    return ecOk;
}

}  // namespace

int ReadNumber(std::string_view Data, size_t Offset, int Width, int64_t& Value) {
    if (Data[Offset + Width] != '\0') return ecFieldTooLong;
    const std::string_view slot = Data.substr(Offset, Width);
    const size_t end = std::min(slot.find('\0'), slot.size());
    if (end == 0) return ecEmptyField;
    if (!AllZero(slot, end)) return ecBadField;
    Value = 0;
    for (char c : slot.substr(0, end)) {
        if (!IsDigit(c)) return ecBadField;
        Value = Value * 10 + (c - '0');
    }
    return ecOk;
}

int ReadText(std::string_view Data, size_t Offset, int Width, std::string& Text) {
    if (Data[Offset + Width] != '\0') return ecFieldTooLong;
    const std::string_view slot = Data.substr(Offset, Width);
    Text.assign(slot.substr(0, slot.find('\0')));
    return ecOk;
}

int ReadDate(std::string_view Data, size_t Offset, TKestDateTime& Date) {
    int ddmmyyyy = 0;
    if (const int e = ReadDigits(Data, Offset, 8, ddmmyyyy); e != ecOk) return e;
    const int day = ddmmyyyy / 1000000, month = ddmmyyyy / 10000 % 100, year = ddmmyyyy % 10000;
    if (year < 2000 || !TryMakeDateTime({.Year = year, .Month = month, .Day = day}, Date))
        return ecBadDate;
    return ecOk;
}

int ReadTime(std::string_view Data, size_t Offset, TKestDateTime& Time) {
    int hhmm = 0;
    if (const int e = ReadDigits(Data, Offset, 4, hhmm); e != ecOk) return e;
    if (hhmm / 100 > 23 || hhmm % 100 > 59) return ecBadTime;
    Time = (hhmm / 100 * 60 + hhmm % 100) / 1440.0;
    return ecOk;
}

int ReadHex(std::string_view Data, size_t Offset, int Width, uint32_t& Value) {
    if (Data[Offset + Width] != '\0') return ecFieldTooLong;
    Value = 0;
    for (char c : Data.substr(Offset, Width)) {
        const int digit = HexDigitValue(c);
        if (digit < 0) return ecBadField;
        Value = Value * 16 + static_cast<uint32_t>(digit);
    }
    return ecOk;
}

int HexDigitValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

bool AllZero(std::string_view Data, size_t Offset) {
    return Offset >= Data.size() || Data.find_first_not_of('\0', Offset) == std::string_view::npos;
}

std::string NumberField(int64_t Value, int Width) {
    return Digits(Value, Width) + '\0';
}

std::string SumField(int64_t Hundredths) {
    return Digits(Hundredths / 100, 12) + '.' + Digits(Hundredths % 100, 2) + '\0';
}

std::string RateField(int Hundredths) {
    return Digits(Hundredths / 100, 2) + '.' + Digits(Hundredths % 100, 2) + '\0';
}

std::string DateField(TKestDateTime Value) {
    const TKestDateTimeParts parts = SplitDateTime(Value);
    return Digits(parts.Day, 2) + Digits(parts.Month, 2) + Digits(parts.Year, 4) + '\0';
}

std::string TimeField(TKestDateTime Value) {
    const TKestDateTimeParts parts = SplitDateTime(Value);
    return Digits(parts.Hour, 2) + Digits(parts.Minute, 2) + '\0';
}

std::string SlotField(std::string_view Bytes, int Width) {
    std::string out(Bytes.substr(0, Width));
    out.resize(Width + 1, '\0');
    return out;
}

std::string HexField(uint32_t Value, int Width) {
    std::string out(Width + 1, '\0');
    for (int i = Width - 1; i >= 0; --i, Value >>= 4)
        out[i] = HexDigits[Value & 0x0F];
    return out;
}

}  // namespace kest::emu
