// Request fields read and answer fields written the way the register does.
// Every field sits in a fixed slot followed by its 0x00 separator. A reader
// returns the register's error code for a malformed field (ecOk when sound):
// a separator that is not 0x00 means the field ran over its slot.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Commands.h"

namespace kest::emu {

// Up to Width decimal digits, left-aligned in the slot at Offset, the rest of
// the slot 0x00; empty: ecEmptyField.
int ReadNumber(std::string_view Data, size_t Offset, int Width, int64_t& Value);
// Text up to its first 0x00 in the Width bytes at Offset.
int ReadText(std::string_view Data, size_t Offset, int Width, std::string& Text);
// DDMMYYYY; a date not in the calendar or before 2000: ecBadDate.
int ReadDate(std::string_view Data, size_t Offset, TKestDateTime& Date);
// HHMM, as the time of day; out of range: ecBadTime.
int ReadTime(std::string_view Data, size_t Offset, TKestDateTime& Time);
// Width hex digits (upper case, as the register takes them).
int ReadHex(std::string_view Data, size_t Offset, int Width, uint32_t& Value);
// 0..15 for "0".."9", "A".."F"; -1 for anything else.
int HexDigitValue(char C);
// Whether the bytes from Offset on are all 0x00.
bool AllZero(std::string_view Data, size_t Offset);

// Each with its separator:
std::string NumberField(int64_t Value, int Width);         // exactly Width digits, zero-padded
std::string SumField(int64_t Hundredths);                  // 15 characters, two decimals
std::string RateField(int Hundredths);                     // 5 characters: 18.00
std::string DateField(TKestDateTime Value);                // DDMMYYYY
std::string TimeField(TKestDateTime Value);                // HHMM
std::string SlotField(std::string_view Bytes, int Width);  // NUL-padded
std::string HexField(uint32_t Value, int Width);

}  // namespace kest::emu
