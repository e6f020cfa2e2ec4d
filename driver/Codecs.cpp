// Field codecs of the register protocol: numbers, hex, dates and times, the
// block check character and the register's text code page.
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "KestorFPrt.h"
#include "Messages.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace {

using kest::msg::BadResponse;

// -- Numbers

constexpr int MaxPow10 = 19;  // 10^19 is the largest power of ten in uint64_t

uint64_t Pow10(int Exponent) {
    uint64_t result = 1;
    while (Exponent-- > 0)
        result *= 10;
    return result;
}

uint64_t CountDigits(uint64_t Value) {
    uint64_t count = 1;
    while (Value >= 10) {
        Value /= 10;
        ++count;
    }
    return count;
}

// Writes the lowest Width decimal digits of Value right-aligned, padded with zeros.
void WriteDigits(char* Out, uint64_t Width, uint64_t Value) {
    for (uint64_t i = Width; i-- > 0; Value /= 10)
        Out[i] = static_cast<char>('0' + Value % 10);
}

bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

int64_t AppendDigit(int64_t Value, char C) {
    if (!IsDigit(C)) throw BadResponse(kest::msg::brNumber);
    const int digit = C - '0';
    if (Value > (INT64_MAX - digit) / 10) throw BadResponse(kest::msg::brNumber);
    return Value * 10 + digit;
}

// The text before the first NUL; all of the view when it has none.
std::string_view UpToNul(std::string_view Text) {
    return Text.substr(0, Text.find('\0'));
}

// -- Hex

int HexValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
}

// -- Code page 866

// The byte -> character table of code page 866, read from the system's
// converter. This is the only platform-dependent piece of the text codecs:
// both directions then use the table, so that every platform writes the same
// bytes for a text (no best-fit guesses of the system's own encoder).
std::array<char16_t, 256> LoadCodePage866() {
    std::array<char16_t, 256> table{};
#ifdef _WIN32
    for (int byte = 0; byte < 256; ++byte) {
        const char in = static_cast<char>(byte);
        wchar_t out[2] = {};
        // Precomposed: one UTF-16 unit a byte.
        if (MultiByteToWideChar(866, MB_PRECOMPOSED | MB_ERR_INVALID_CHARS, &in, 1, out, 2) != 1)
            throw EKestNoConversion(static_cast<int>(GetLastError()));
        table[byte] = static_cast<char16_t>(out[0]);
    }
#else
    iconv_t cd = iconv_open("UTF-16LE", "CP866");
    if (cd == reinterpret_cast<iconv_t>(-1)) throw EKestNoConversion(errno);
    int error = 0;
    for (int byte = 0; byte < 256 && error == 0; ++byte) {
        char in = static_cast<char>(byte);
        unsigned char out[4] = {};
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(out);
        size_t inLeft = 1, outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1))
            error = errno;
        else if (outLeft != sizeof out - 2)  // not a single UTF-16 unit
            error = EILSEQ;
        else
            table[byte] = static_cast<char16_t>(out[0] | out[1] << 8);
    }
    iconv_close(cd);
    if (error != 0) throw EKestNoConversion(error);
#endif
    return table;
}

// Both directions of code page 866, built once on first use (a failed build is
// retried by the next call).
class TCodePage866 {
public:
    static const TCodePage866& Get() {
        static const TCodePage866 instance;
        return instance;
    }

    char16_t Decode(uint8_t Byte) const { return FDecode[Byte]; }

    // The byte of a character, or -1 when the code page has no such character.
    int Encode(char32_t C) const {
        if (C < 0x80) return static_cast<int>(C);
        const auto it = std::lower_bound(FEncode.begin(), FEncode.end(), std::pair(C, uint8_t{0}));
        return it != FEncode.end() && it->first == C ? it->second : -1;
    }

private:
    TCodePage866() : FDecode(LoadCodePage866()) {
        for (int byte = 0; byte < 256; ++byte)
            FEncode[byte] = {FDecode[byte], static_cast<uint8_t>(byte)};
        std::sort(FEncode.begin(), FEncode.end());
    }

    std::array<char16_t, 256> FDecode;
    std::array<std::pair<char32_t, uint8_t>, 256> FEncode;
};

// The Moldavian registers print these Romanian letters at 0xB0..0xB4 in place
// of the box-drawing characters of code page 866.
// Today's Romanian text mostly writes Ș and Ț with a comma below; they print
// as the register's cedilla letters.
struct TMoldavianLetter {
    char16_t Capital, Small, CommaCapital, CommaSmall;
};
constexpr uint8_t MoldavianFirst = 0xB0;
constexpr TMoldavianLetter MoldavianLetters[] = {
    {u'\u0102', u'\u0103', 0, 0},                  // Ă ă
    {u'\u00CE', u'\u00EE', 0, 0},                  // Î î
    {u'\u015E', u'\u015F', u'\u0218', u'\u0219'},  // Ş ş Ș ș
    {u'\u0162', u'\u0163', u'\u021A', u'\u021B'},  // Ţ ţ Ț ț
    {u'\u00C2', u'\u00E2', 0, 0},                  // Â â
};
constexpr int MoldavianCount = std::size(MoldavianLetters);

bool IsMoldavianByte(int Byte) {
    return Byte >= MoldavianFirst && Byte < MoldavianFirst + MoldavianCount;
}

// The register byte of a character, or -1 when the register cannot print it.
int EncodeChar(char32_t C, const TCodePage866& Table, TKestCodingType Coding) {
    if (Coding == mctMoldavian) {
        for (int i = 0; i < MoldavianCount; ++i) {
            const TMoldavianLetter& l = MoldavianLetters[i];
            if (C == l.Capital || C == l.Small || (l.CommaCapital && C == l.CommaCapital) ||
                (l.CommaSmall && C == l.CommaSmall))
                return MoldavianFirst + i;
        }
    }
    const int byte = Table.Encode(C);
    // In the Moldavian coding the box-drawing bytes print Romanian letters, so
    // the box-drawing characters themselves have no form there.
    return Coding == mctMoldavian && IsMoldavianByte(byte) ? -1 : byte;
}

// Letters that a text may carry as base letter + combining mark while the
// register has the precomposed letter: the Cyrillic letters of code page 866
// with a breve or diaeresis and the Romanian letters of the Moldavian coding.
struct TComposition {
    char16_t Base, Mark, Composed;
};
constexpr TComposition Compositions[] = {
    {u'\u0418', u'\u0306', u'\u0419'}, {u'\u0438', u'\u0306', u'\u0439'},  // Й й
    {u'\u0415', u'\u0308', u'\u0401'}, {u'\u0435', u'\u0308', u'\u0451'},  // Ё ё
    {u'\u0406', u'\u0308', u'\u0407'}, {u'\u0456', u'\u0308', u'\u0457'},  // Ї ї
    {u'\u0423', u'\u0306', u'\u040E'}, {u'\u0443', u'\u0306', u'\u045E'},  // Ў ў
    {u'A', u'\u0306', u'\u0102'},      {u'a', u'\u0306', u'\u0103'},       // Ă ă
    {u'I', u'\u0302', u'\u00CE'},      {u'i', u'\u0302', u'\u00EE'},       // Î î
    {u'S', u'\u0327', u'\u015E'},      {u's', u'\u0327', u'\u015F'},       // Ş ş
    {u'T', u'\u0327', u'\u0162'},      {u't', u'\u0327', u'\u0163'},       // Ţ ţ
    {u'A', u'\u0302', u'\u00C2'},      {u'a', u'\u0302', u'\u00E2'},       // Â â
};

char16_t Compose(char16_t Base, char16_t Mark) {
    for (const auto& c : Compositions)
        if (c.Base == Base && c.Mark == Mark) return c.Composed;
    return 0;
}

bool IsHighSurrogate(char16_t C) {
    return C >= 0xD800 && C <= 0xDBFF;
}
bool IsLowSurrogate(char16_t C) {
    return C >= 0xDC00 && C <= 0xDFFF;
}

}  // namespace

// ---------------------------------------------------------------------------
// Numbers

int TKestorFPrt::EncodeNumber(int64_t Value, int Digits, bool Fixed, std::span<char> Buf) {
    // Fields hold Value >= 0 only. A negative Value is written as "-" and its
    // magnitude (taken in unsigned arithmetic, so INT64_MIN is safe): the
    // register then refuses the field rather than storing some other amount.
    const bool negative = Value < 0;
    const uint64_t bits = static_cast<uint64_t>(Value);
    const uint64_t magnitude = negative ? 0 - bits : bits;

    uint64_t intPart = magnitude, fraction = 0;
    if (Digits > MaxPow10) {
        intPart = 0;  // 10^Digits is above any magnitude
        fraction = magnitude;
    } else if (Digits > 0) {
        intPart = magnitude / Pow10(Digits);
        fraction = magnitude % Pow10(Digits);
    }

    uint64_t intWidth = CountDigits(intPart);
    if (Digits < 0) {
        const uint64_t limit = static_cast<uint64_t>(-static_cast<int64_t>(Digits));
        intWidth = Fixed ? limit : std::min(intWidth, limit);
    }

    uint64_t fracWidth = 0;
    if (fraction != 0 || (Digits > 0 && Fixed)) {
        fracWidth = static_cast<uint64_t>(Digits);
        if (!Fixed) {
            for (; fraction % 10 == 0; fraction /= 10)
                --fracWidth;
        }
    }

    const uint64_t length = (negative ? 1 : 0) + intWidth + (fracWidth > 0 ? 1 + fracWidth : 0);
    if (length >= Buf.size() || length > INT_MAX)
        throw std::length_error("EncodeNumber: the buffer is too small");

    char* out = Buf.data();
    if (negative) *out++ = '-';
    WriteDigits(out, intWidth, intPart);
    out += intWidth;
    if (fracWidth > 0) {
        *out++ = '.';
        WriteDigits(out, fracWidth, fraction);
        out += fracWidth;
    }
    *out = '\0';
    return static_cast<int>(length);
}

int64_t TKestorFPrt::DecodeNumber(std::string_view Text, int Digits, int& FracDigits) {
    FracDigits = 0;
    Text = UpToNul(Text);
    const uint64_t width =
        Digits < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(Digits)) : UINT64_MAX;
    int64_t value = 0;
    size_t i = 0;
    for (; i < Text.size() && i < width; ++i) {
        if (Digits > 0 && Text[i] == '.') break;
        value = AppendDigit(value, Text[i]);
    }
    if (i < Text.size() && Text[i] == '.' && Digits > 0) {
        for (++i; i < Text.size() && FracDigits < Digits; ++i, ++FracDigits)
            value = AppendDigit(value, Text[i]);
    }
    return value;
}

int64_t TKestorFPrt::DecodeFixedNumber(std::string_view Text, int Digits) {
    int fracDigits = 0;
    int64_t value = DecodeNumber(Text, Digits, fracDigits);
    if (Digits < 1 && fracDigits > 0) throw BadResponse(kest::msg::brNumber);
    for (; fracDigits < Digits; ++fracDigits) {
        if (value > INT64_MAX / 10) throw BadResponse(kest::msg::brNumber);
        value *= 10;
    }
    return value;
}

// ---------------------------------------------------------------------------
// Hex

char TKestorFPrt::HalfByteToHex(uint8_t Value) {
    return "0123456789ABCDEF"[Value & 0x0F];
}

uint8_t TKestorFPrt::HexToHalfByte(char Digit) {
    const int value = HexValue(Digit);
    if (value < 0) throw BadResponse(kest::msg::brHex);
    return static_cast<uint8_t>(value);
}

void TKestorFPrt::ByteToHex(uint8_t Value, std::span<char> Out) {
    if (Out.size() < 2) throw std::length_error("ByteToHex: the buffer is too small");
    Out[0] = HalfByteToHex(Value >> 4);
    Out[1] = HalfByteToHex(Value);
}

uint8_t TKestorFPrt::HexToByte(std::string_view Text) {
    if (Text.size() < 2) throw BadResponse(kest::msg::brHex);
    return static_cast<uint8_t>(HexToHalfByte(Text[0]) << 4 | HexToHalfByte(Text[1]));
}

void TKestorFPrt::WordToHex(uint16_t Value, std::span<char> Out) {
    if (Out.size() < 4) throw std::length_error("WordToHex: the buffer is too small");
    ByteToHex(static_cast<uint8_t>(Value >> 8), Out);
    ByteToHex(static_cast<uint8_t>(Value), Out.subspan(2));
}

uint16_t TKestorFPrt::HexToWord(std::string_view Text) {
    if (Text.size() < 4) throw BadResponse(kest::msg::brHex);
    return static_cast<uint16_t>(HexToByte(Text) << 8 | HexToByte(Text.substr(2)));
}

// ---------------------------------------------------------------------------
// Dates and times

void TKestorFPrt::EncodeDate(TKestDateTime Value, std::span<char> Out) {
    if (Out.size() < 9) throw std::length_error("EncodeDate: the buffer is too small");
    TKestDateTimeParts parts;
    try {
        parts = kest::SplitDateTime(Value);
    } catch (const std::out_of_range&) {  // before year 1, after 9999 or not finite
        throw kest::msg::InvalidArg(kest::msg::iaDate);
    }
    if (parts.Year < 2000 || parts.Year > 9999) throw kest::msg::InvalidArg(kest::msg::iaDate);
    EncodeNumber(parts.Day, -2, true, Out);
    EncodeNumber(parts.Month, -2, true, Out.subspan(2));
    EncodeNumber(parts.Year, -4, true, Out.subspan(4));
}

TKestDateTime TKestorFPrt::DecodeDate(std::string_view Text) {
    if (Text.size() < 8 || !std::all_of(Text.begin(), Text.begin() + 8, IsDigit))
        throw BadResponse(kest::msg::brDate);
    TKestDateTimeParts parts;
    try {
        parts.Day = static_cast<int>(DecodeFixedNumber(Text.substr(0, 2), -2));
        parts.Month = static_cast<int>(DecodeFixedNumber(Text.substr(2, 2), -2));
        parts.Year = static_cast<int>(DecodeFixedNumber(Text.substr(4, 4), -4));
    } catch (const EKestBadResponse&) {
        throw BadResponse(kest::msg::brDate);
    }
    TKestDateTime result = 0;
    if (!kest::TryMakeDateTime(parts, result)) throw BadResponse(kest::msg::brDate);
    return result;
}

void TKestorFPrt::EncodeTime(TKestDateTime Value, std::span<char> Out) {
    if (Out.size() < 5) throw std::length_error("EncodeTime: the buffer is too small");
    const TKestDateTimeParts parts = kest::SplitDateTime(Value);
    EncodeNumber(parts.Hour, -2, true, Out);
    EncodeNumber(parts.Minute, -2, true, Out.subspan(2));
}

TKestDateTime TKestorFPrt::DecodeTime(std::string_view Text) {
    if (Text.size() < 4 || !std::all_of(Text.begin(), Text.begin() + 4, IsDigit))
        throw BadResponse(kest::msg::brTime);
    TKestDateTimeParts parts;  // the zero day, 1899-12-30
    try {
        parts.Hour = static_cast<int>(DecodeFixedNumber(Text.substr(0, 2), -2));
        parts.Minute = static_cast<int>(DecodeFixedNumber(Text.substr(2, 2), -2));
    } catch (const EKestBadResponse&) {
        throw BadResponse(kest::msg::brTime);
    }
    TKestDateTime result = 0;
    if (!kest::TryMakeDateTime(parts, result)) throw BadResponse(kest::msg::brTime);
    return result;
}

// ---------------------------------------------------------------------------
// Frame helpers

uint8_t TKestorFPrt::CountBCC(const void* Data, int Size) {
    const auto* bytes = static_cast<const uint8_t*>(Data);
    uint8_t sum = 0;
    for (int i = 0; i < Size; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

void TKestorFPrt::CheckSeparators(std::initializer_list<char> Separators) {
    for (char c : Separators)
        if (c != '\0') throw BadResponse(kest::msg::brFormat);
}

// ---------------------------------------------------------------------------
// Text

void TKestorFPrt::EncodeString(std::u16string_view Text, std::span<char> Buf,
                               TKestCodingType Coding) {
    std::fill(Buf.begin(), Buf.end(), '\0');
    if (Buf.empty()) return;
    const TCodePage866& table = TCodePage866::Get();
    const size_t room = Buf.size() - 1;  // the field always ends in a NUL
    size_t out = 0;
    for (size_t i = 0; i < Text.size() && out < room;) {
        char32_t c = Text[i];
        size_t used = 1;
        const char16_t next = i + 1 < Text.size() ? Text[i + 1] : u'\0';
        if (IsHighSurrogate(Text[i]) && IsLowSurrogate(next)) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            used = 2;
        } else if (const char16_t composed = Compose(Text[i], next);
                   composed != 0 && EncodeChar(composed, table, Coding) >= 0) {
            c = composed;
            used = 2;
        }
        const int byte = EncodeChar(c, table, Coding);
        Buf[out++] = byte >= 0 ? static_cast<char>(byte) : '?';
        i += used;
    }
}

std::u16string TKestorFPrt::DecodeString(std::string_view Data, TKestCodingType Coding) {
    Data = UpToNul(Data);
    const TCodePage866& table = TCodePage866::Get();
    std::u16string result(Data.size(), u'\0');
    for (size_t i = 0; i < Data.size(); ++i) {
        const uint8_t byte = static_cast<uint8_t>(Data[i]);
        result[i] = Coding == mctMoldavian && IsMoldavianByte(byte)
                        ? MoldavianLetters[byte - MoldavianFirst].Capital
                        : table.Decode(byte);
    }
    return result;
}

std::string TKestorFPrt::UnescapeData(std::string_view Text) {
    Text = UpToNul(Text);
    size_t i = Text.find('\\');
    std::string result(Text.substr(0, i));
    while (i < Text.size()) {
        if (Text[i] != '\\') {
            result += Text[i++];
            continue;
        }
        if (++i == Text.size()) break;  // a trailing backslash is dropped
        int value = HexValue(Text[i]);
        if (value < 0) {
            result += Text[i++];  // "\x" is x itself, "\\" a backslash
            continue;
        }
        if (++i < Text.size() && HexValue(Text[i]) >= 0) value = value << 4 | HexValue(Text[i++]);
        result += static_cast<char>(value);
    }
    return result;
}
