// The field decoders of the register's answers: numbers, hex bytes and words,
// dates, times and the separators. Each either decodes or raises
// EKestBadResponse; what decodes is encoded back to the same text.
//
// Input: the first byte picks the decoder and the field width, the rest is
// the field.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "KestorFPrt.h"

namespace {

[[noreturn]] void Finding(const char* What, std::string_view Text) {
    std::fprintf(stderr, "fields fuzz: %s for \"%.*s\"\n", What, static_cast<int>(Text.size()),
                 Text.data());
    std::abort();
}

std::string Upper(std::string_view Text) {
    std::string result(Text);
    for (char& c : result)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

// The digits a number field holds: up to the NUL, at most Width of them.
bool AllDigits(std::string_view Text) {
    return std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; });
}

void Number(std::string_view Text, int Digits) {
    int frac = -1;
    int64_t value = 0;
    try {
        value = TKestorFPrt::DecodeNumber(Text, Digits, frac);
    } catch (const EKestBadResponse&) {
        return;
    }
    if (value < 0) Finding("a negative number", Text);
    if (frac < 0 || frac > std::max(Digits, 0)) Finding("fraction digits out of range", Text);

    // A fixed field with decimals reads back as its text, padded with zeros.
    int64_t fixed = 0;
    try {
        fixed = TKestorFPrt::DecodeFixedNumber(Text, Digits);
    } catch (const EKestBadResponse&) {
        return;
    }
    char buf[48];
    const int length = TKestorFPrt::EncodeNumber(fixed, Digits, false, buf);
    if (TKestorFPrt::DecodeFixedNumber(std::string_view(buf, static_cast<size_t>(length)),
                                       Digits) != fixed)
        Finding("a number does not survive encoding", Text);
}

void Hex(std::string_view Text) {
    try {
        const uint8_t byte = TKestorFPrt::HexToByte(Text);
        char out[2];
        TKestorFPrt::ByteToHex(byte, out);
        if (Upper(Text.substr(0, 2)) != std::string_view(out, 2)) Finding("hex byte", Text);
    } catch (const EKestBadResponse&) {
        if (Text.size() >= 2 && std::isxdigit(static_cast<unsigned char>(Text[0])) &&
            std::isxdigit(static_cast<unsigned char>(Text[1])))
            Finding("hex digits refused", Text);
    }
    try {
        const uint16_t word = TKestorFPrt::HexToWord(Text);
        char out[4];
        TKestorFPrt::WordToHex(word, out);
        if (Upper(Text.substr(0, 4)) != std::string_view(out, 4)) Finding("hex word", Text);
    } catch (const EKestBadResponse&) {}
}

void Date(std::string_view Text) {
    TKestDateTime value = 0;
    try {
        value = TKestorFPrt::DecodeDate(Text);
    } catch (const EKestBadResponse&) {
        return;
    }
    if (!AllDigits(Text.substr(0, 8))) Finding("a date from no digits", Text);
    char out[9];
    try {
        TKestorFPrt::EncodeDate(value, out);
    } catch (const EKestInvalidArg&) {
        // The register's dates start in 2000; older ones decode but are never sent.
        if (kest::SplitDateTime(value).Year >= 2000) Finding("a decoded date cannot be sent", Text);
        return;
    }
    if (std::string_view(out, 8) != Text.substr(0, 8)) Finding("a date reads back otherwise", Text);
}

void Time(std::string_view Text) {
    TKestDateTime value = 0;
    try {
        value = TKestorFPrt::DecodeTime(Text);
    } catch (const EKestBadResponse&) {
        return;
    }
    char out[5];
    TKestorFPrt::EncodeTime(value, out);
    if (std::string_view(out, 4) != Text.substr(0, 4)) Finding("a time reads back otherwise", Text);
}

void Separators(std::string_view Text) {
    const char a = Text.size() > 0 ? Text[0] : 0;
    const char b = Text.size() > 1 ? Text[1] : 0;
    const char c = Text.size() > 2 ? Text[2] : 0;
    const char d = Text.size() > 3 ? Text[3] : 0;
    bool refused = false;
    try {
        TKestorFPrt::CheckSeparators({a, b, c, d});
    } catch (const EKestBadResponse&) {
        refused = true;
    }
    if (refused != (a || b || c || d)) Finding("separators", Text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    if (Size == 0) return 0;
    const uint8_t pick = Bytes[0];
    const std::string_view text(reinterpret_cast<const char*>(Bytes + 1), Size - 1);
    switch (pick % 5) {
        case 0:
            // Widths -20..-1 (integers), 0, 1..20 (decimals).
            Number(text, static_cast<int>(pick / 5 % 41) - 20);
            break;
        case 1:
            Hex(text);
            break;
        case 2:
            Date(text);
            break;
        case 3:
            Time(text);
            break;
        default:
            Separators(text);
            break;
    }
    return 0;
}
