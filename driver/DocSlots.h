// Writing the fields of the document records (KestRecords.h). Internal to
// the driver.
#pragma once

#include <algorithm>
#include <span>
#include <stdexcept>

#include "KestorFPrt.h"

namespace kest::doc {

// Writes Value as EncodeNumber does, left-aligned in Slot, and 0x00 over the
// rest of the slot, whatever it held. A text that fills the slot has no 0x00
// after it: the next field or the record's end follows.
inline void PutNumber(std::span<char> Slot, int64_t Value, int Digits, bool Fixed) {
    char text[32];
    const auto length = static_cast<size_t>(TKestorFPrt::EncodeNumber(Value, Digits, Fixed, text));
    if (length > Slot.size()) throw std::length_error("PutNumber: the slot is too small");
    std::fill(std::copy_n(text, length, Slot.begin()), Slot.end(), '\0');
}

// An amount in hundredths with two decimals: "200.56", "0.50".
inline void PutAmount(std::span<char> Slot, TKestCurrency Amount) {
    PutNumber(Slot, Amount.Hundredths(), 2, true);
}

}  // namespace kest::doc
