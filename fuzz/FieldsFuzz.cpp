// The field decoders of the register's answers: numbers, hex bytes and words,
// dates, times and the separators. Each either decodes or raises
// EKestBadResponse; what decodes is encoded back to the same text.
//
// Input: the first byte picks the decoder and the field width, the rest is
// the field.
#include <algorithm>
#include <cctype>

#include "Fuzz.h"

namespace {

using kest::fuzz::Finding;

// What Decode returns, or nothing where it raises TError.
template <class TError = EKestBadResponse, class Decode>
auto Decoded(Decode&& decode) -> std::optional<decltype(decode())> {
    try {
        return decode();
    } catch (const TError&) {
        return std::nullopt;
    }
}

// Whether the Size characters of Encoded are the start of Text, its letters
// in capitals.
bool ReadsBack(std::string_view Text, const char* Encoded, size_t Size) {
    return Text.size() >= Size &&
           std::equal(Encoded, Encoded + Size, Text.begin(), [](char E, char T) {
               return E == std::toupper(static_cast<unsigned char>(T));
           });
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
    } else if (Text.size() >= 2 && Text.find_first_not_of("0123456789ABCDEFabcdef") >= 2) {
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
    // The register's dates start in 2000; older ones decode but are never sent.
    const bool sent = Decoded<EKestInvalidArg>([&] {
                          return TKestorFPrt::EncodeDate(*value, out), true;
                      }).has_value();
    if (!sent && kest::SplitDateTime(*value).Year >= 2000)
        Finding("a decoded date cannot be sent", Text);
    if (sent && !ReadsBack(Text, out, 8)) Finding("a date reads back otherwise", Text);
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
        return TKestorFPrt::CheckSeparators({s[0], s[1], s[2], s[3]}), true;
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
