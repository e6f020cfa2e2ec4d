// The field decoders of the register's answers: numbers, hex bytes and words,
// dates, times and the separators. Each either decodes or raises
// EKestBadResponse; what decodes is encoded back to the same text.
//
// Input: the first byte picks the decoder and the field width, the rest is
// the field.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

#include "Fuzz.h"
#include "KestorFPrt.h"

namespace {

using kest::fuzz::Finding;

// What Decode returns, or nothing where it refuses the text.
template <class Decode>
auto Decoded(Decode&& decode) -> std::optional<decltype(decode())> {
    try {
        return decode();
    } catch (const EKestBadResponse&) {
        return std::nullopt;
    }
}

bool IsHex(char C) {
    return std::isxdigit(static_cast<unsigned char>(C)) != 0;
}

// Whether the Size characters of Encoded are the start of Text, its letters
// in capitals.
bool ReadsBack(std::string_view Text, const char* Encoded, size_t Size) {
    std::string start(Text.substr(0, Size));
    for (char& c : start)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return start == std::string_view(Encoded, Size);
}

void Number(std::string_view Text, int Digits) {
    int frac = -1;
    const auto value = Decoded([&] { return TKestorFPrt::DecodeNumber(Text, Digits, frac); });
    if (!value) return;
    if (*value < 0) Finding("a negative number", Text);
    if (frac < 0 || frac > std::max(Digits, 0)) Finding("fraction digits out of range", Text);

    // A fixed field with decimals reads back as its text, padded with zeros.
    const auto fixed = Decoded([&] { return TKestorFPrt::DecodeFixedNumber(Text, Digits); });
    if (!fixed) return;
    char buf[48];
    const auto length = static_cast<size_t>(TKestorFPrt::EncodeNumber(*fixed, Digits, false, buf));
    if (TKestorFPrt::DecodeFixedNumber({buf, length}, Digits) != *fixed)
        Finding("a number does not survive encoding", Text);
}

void Hex(std::string_view Text) {
    char out[4];
    if (const auto byte = Decoded([&] { return TKestorFPrt::HexToByte(Text); })) {
        TKestorFPrt::ByteToHex(*byte, out);
        if (!ReadsBack(Text, out, 2)) Finding("hex byte", Text);
    } else if (Text.size() >= 2 && IsHex(Text[0]) && IsHex(Text[1])) {
        Finding("hex digits refused", Text);
    }
    if (const auto word = Decoded([&] { return TKestorFPrt::HexToWord(Text); })) {
        TKestorFPrt::WordToHex(*word, out);
        if (!ReadsBack(Text, out, 4)) Finding("hex word", Text);
    }
}

void Date(std::string_view Text) {
    const auto value = Decoded([&] { return TKestorFPrt::DecodeDate(Text); });
    if (!value) return;
    if (Text.substr(0, 8).find_first_not_of("0123456789") != std::string_view::npos)
        Finding("a date from no digits", Text);
    char out[9];
    try {
        TKestorFPrt::EncodeDate(*value, out);
    } catch (const EKestInvalidArg&) {
        // The register's dates start in 2000; older ones decode but are never sent.
        if (kest::SplitDateTime(*value).Year >= 2000)
            Finding("a decoded date cannot be sent", Text);
        return;
    }
    if (!ReadsBack(Text, out, 8)) Finding("a date reads back otherwise", Text);
}

void Time(std::string_view Text) {
    if (const auto value = Decoded([&] { return TKestorFPrt::DecodeTime(Text); })) {
        char out[5];
        TKestorFPrt::EncodeTime(*value, out);
        if (!ReadsBack(Text, out, 4)) Finding("a time reads back otherwise", Text);
    }
}

// Refused exactly when one of the four is not NUL (missing ones count as NUL).
void Separators(std::string_view Text) {
    char s[4] = {};
    Text.copy(s, 4);
    const bool refused = !Decoded([&] {
        TKestorFPrt::CheckSeparators({s[0], s[1], s[2], s[3]});
        return true;
    });
    if (refused != (s[0] || s[1] || s[2] || s[3])) Finding("separators", Text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    if (Size == 0) return 0;
    const int pick = Bytes[0];
    const std::string_view text(reinterpret_cast<const char*>(Bytes + 1), Size - 1);
    // Widths -20..-1 (integers), 0, 1..20 (decimals).
    if (pick % 5 == 0) Number(text, pick / 5 % 41 - 20);
    if (pick % 5 == 1) Hex(text);
    if (pick % 5 == 2) Date(text);
    if (pick % 5 == 3) Time(text);
    if (pick % 5 == 4) Separators(text);
    return 0;
}
