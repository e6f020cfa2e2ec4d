#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "KestorFPrt.h"

using namespace std::literals;
using F = TKestorFPrt;

namespace {

// The detail code of the EKestBadResponse raised by Call; 0 when none is raised.
template <class Fn>
int BadResponseCode(Fn&& Call) {
    try {
        Call();
    } catch (const EKestBadResponse& e) {
        return e.ErrCodeEx();
    }
    return 0;
}

TKestDateTime At(int Year, int Month, int Day, int Hour = 0, int Minute = 0, int Second = 0) {
    return kest::MakeDateTime({Year, Month, Day, Hour, Minute, Second});
}

// The bytes EncodeString writes into a field of Size bytes, followed by the guard byte '#'.
std::string EncodeField(std::u16string_view Text, size_t Size, TKestCodingType Coding) {
    std::string buf(Size + 1, '#');
    F::EncodeString(Text, std::span(buf).first(Size), Coding);
    return buf;
}

}  // namespace

TEST(CodecNumber, EncodeWritesTextAndNulWithinTheSpan) {
    // clang-format off
    struct Case { int64_t Value; int Digits; bool Fixed; std::string_view Text; };
    const Case cases[] = {
        {12345, 2, false, "123.45"}, {12300, 2, false, "123"}, {12310, 2, false, "123.1"},
        {12300, 2, true, "123.00"}, {7, -2, true, "07"}, {123, -2, true, "23"},
        {5, -3, false, "5"}, {1234, -3, false, "234"}, {0, 0, false, "0"}, {0, 2, true, "0.00"},
        {0, 2, false, "0"}, {5, 2, false, "0.05"}, {INT64_MAX, 0, false, "9223372036854775807"},
        {INT64_MAX, 19, false, "0.9223372036854775807"}, {5, 22, false, "0.0000000000000000000005"},
        {-5, 2, true, "-0.05"}, {INT64_MIN, 0, false, "-9223372036854775808"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        std::array<char, 40> buf;
        buf.fill('#');
        const size_t size = c.Text.size() + 1;
        EXPECT_EQ(F::EncodeNumber(c.Value, c.Digits, c.Fixed, std::span(buf).first(size)),
                  static_cast<int>(c.Text.size()));
        EXPECT_EQ(std::string(buf.data(), size + 1), std::string(c.Text) + "\0#"s);
        buf.fill('#');
        EXPECT_THROW(F::EncodeNumber(c.Value, c.Digits, c.Fixed, std::span(buf).first(size - 1)),
                     std::length_error);
        EXPECT_EQ(buf[0], '#');
    }
    std::array<char, 40> buf;
    EXPECT_THROW(F::EncodeNumber(1, INT_MIN, true, buf), std::length_error);
}

TEST(CodecNumber, DecodeStopsAtNulEndWidthOrFraction) {
    // The last column is the result of DecodeFixedNumber.
    // clang-format off
    struct Case { std::string_view Text; int Digits; int64_t Value; int FracDigits;
                  int64_t Fixed; };
    const Case cases[] = {
        {"12.345", 2, 1234, 2, 1234}, {"12.5", 2, 125, 1, 1250}, {"12", 2, 12, 0, 1200},
        {"12.", 2, 12, 0, 1200}, {"", 2, 0, 0, 0}, {"123", -2, 12, 0, 12}, {"7", -2, 7, 0, 7},
        {"20071", -4, 2007, 0, 2007}, {"12\00099"sv, 0, 12, 0, 12},
        {"1234"sv.substr(0, 2), 0, 12, 0, 12}, {"1.2345"sv.substr(0, 3), 2, 12, 1, 120},
        {"9223372036854775807", 0, INT64_MAX, 0, INT64_MAX}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        int frac = -1;
        EXPECT_EQ(F::DecodeNumber(c.Text, c.Digits, frac), c.Value);
        EXPECT_EQ(frac, c.FracDigits);
        EXPECT_EQ(F::DecodeFixedNumber(c.Text, c.Digits), c.Fixed);
    }

    const std::pair<std::string_view, int> bad[] = {
        {"1a", 0},   {"-1", 0},    {"5.1", 0}, {" 1", 2},
        {"12.x", 2}, {"12.5x", 2}, {"1x", -2}, {"9223372036854775808", 0}};
    for (const auto& [text, digits] : bad) {
        SCOPED_TRACE(text);
        int frac = 0;
        EXPECT_EQ(BadResponseCode([&] { F::DecodeNumber(text, digits, frac); }), 1);
        EXPECT_EQ(BadResponseCode([&] { F::DecodeFixedNumber(text, digits); }), 1);
    }
    EXPECT_EQ(BadResponseCode([] { F::DecodeFixedNumber("9223372036854775807", 1); }), 1);
    try {
        F::DecodeFixedNumber("x", 0);
        ADD_FAILURE() << "no exception";
    } catch (const EKestBadResponse& e) {
        EXPECT_EQ(e.Message(), u"Неверный ответ ККМ:\r\nчисло задано неверно");
    }
}

TEST(CodecHex, EncodesDecodesAndChecksFrames) {
    std::array<char, 5> buf;
    buf.fill('#');
    F::ByteToHex(F::CountBCC("abc", 3), buf);
    EXPECT_EQ(std::string_view(buf.data(), 3), "26#");
    F::WordToHex(0xA5F0, buf);
    EXPECT_EQ(std::string_view(buf.data(), 5), "A5F0#");
    EXPECT_THROW(F::WordToHex(0, std::span(buf).first(3)), std::length_error);
    EXPECT_EQ(F::CountBCC("abc", 0), 0);
    EXPECT_EQ(F::CountBCC("\xFF\xFF\x02", 3), 0);

    EXPECT_EQ(F::HexToByte("fF"), 0xFF);
    EXPECT_EQ(F::HexToWord("a5F0"), 0xA5F0);

    for (auto text : {"0g"sv, "0"sv, ""sv, "12"sv.substr(0, 1), "\0001"sv}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(BadResponseCode([&] { F::HexToByte(text); }), 2);
    }
    EXPECT_EQ(BadResponseCode([] { F::HexToWord("12G4"); }), 2);
    EXPECT_EQ(BadResponseCode([] { F::HexToWord("1234"sv.substr(0, 3)); }), 2);

    EXPECT_EQ(BadResponseCode([] { F::CheckSeparators({'\0', '\0'}); }), 0);
    EXPECT_EQ(BadResponseCode([] { F::CheckSeparators({'\0', ';'}); }), 5);
}

TEST(CodecDateTime, EncodesAndValidates) {
    std::array<char, 10> buf;
    buf.fill('#');
    F::EncodeDate(At(2000, 1, 1), buf);
    EXPECT_EQ(std::string_view(buf.data(), 10), "01012000\0#"sv);
    F::EncodeTime(At(2026, 12, 31, 9, 5, 59), buf);  // seconds are dropped, not rounded
    EXPECT_EQ(std::string_view(buf.data(), 5), "0905\0"sv);
    EXPECT_THROW(F::EncodeDate(At(2000, 1, 1), std::span(buf).first(8)), std::length_error);
    for (auto date : {At(1999, 12, 31, 23, 59), At(9999, 12, 31) + 1}) {
        try {
            F::EncodeDate(date, buf);
            ADD_FAILURE() << "no exception";
        } catch (const EKestInvalidArg& e) {
            EXPECT_EQ(e.ErrCodeEx(), 33);
        }
    }

    EXPECT_EQ(F::DecodeDate("29022008"), At(2008, 2, 29));
    EXPECT_EQ(F::DecodeDate("01012000xx"), At(2000, 1, 1));
    EXPECT_EQ(F::DecodeTime("2359"), At(1899, 12, 30, 23, 59));
    for (auto text :
         {"31022007"sv, "29022007"sv, "00012000"sv, "01132000"sv, "0101200"sv, "0101200x"sv,
          "01.01.20"sv, ""sv, "01012000"sv.substr(0, 7), "0101\0002000"sv}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(BadResponseCode([&] { F::DecodeDate(text); }), 3);
    }
    for (auto text : {"2460"sv, "2400"sv, "1260"sv, "12:3"sv, "123"sv, ""sv, "1234"sv.substr(0, 3),
                      "12\00034"sv}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(BadResponseCode([&] { F::DecodeTime(text); }), 4);
    }
}

TEST(CodecString, EncodesIntoTheRegisterCodePage) {
    // Field: all of the field and the guard byte after it.
    // clang-format off
    struct Case { std::u16string_view Text; size_t Size; TKestCodingType Coding;
                  std::string_view Field; };
    const Case cases[] = {
        {u"0123456789", 5, mctGeneral, "0123\0#"sv}, {u"", 5, mctGeneral, "\0\0\0\0\0#"sv},
        {u"abc", 0, mctGeneral, "#"}, {u"abc", 1, mctGeneral, "\0#"sv},
        {u"ККМ", 5, mctGeneral, "\x8A\x8A\x8C\0\0#"sv},
        {u"ёЁ№", 4, mctGeneral, "\xF1\xF0\xFC\0#"sv},
        // One "?" per character without a register form; letter + mark composed where possible.
        {u"€1\U0001F600x\xD800", 6, mctGeneral, "?1?x?\0#"sv},
        {u"И\u0306е\u0308e\u0301", 5, mctGeneral, "\x89\xF1\x65?\0#"sv},
        {u"ăА\u0306░", 4, mctGeneral, "?\x80?\0#"sv},
        // Romanian letters of either case; the box drawing they displace has no form.
        {u"ţară", 5, mctMoldavian, "\xB3\x61\x72\xB0\0#"sv},
        {u"ŢARĂÎîŞşÂâ", 11, mctMoldavian, "\xB3\x41\x52\xB0\xB1\xB1\xB2\xB2\xB4\xB4\0#"sv},
        {u"a\u0306t\u0327░Ж", 5, mctMoldavian, "\xB0\xB3?\x86\0#"sv},
        {u"ȘȚșț", 5, mctMoldavian, "\xB2\xB3\xB2\xB3\0#"sv},
        {u"ЖЖЖЖЖ", 3, mctMoldavian, "\x86\x86\0#"sv}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Field));
        EXPECT_EQ(EncodeField(c.Text, c.Size, c.Coding), c.Field);
    }
}

TEST(CodecString, DecodesAndRoundTripsEveryByte) {
    EXPECT_EQ(F::DecodeString("\x8A\x8A\x8C\0\x8A"sv, mctGeneral), u"ККМ");
    EXPECT_EQ(F::DecodeString("\x8A\x8A\x8C"sv.substr(0, 2), mctGeneral), u"КК");
    EXPECT_EQ(F::DecodeString("\xB3\x61\x72\xB0\xB4", mctMoldavian), u"ŢarĂÂ");
    EXPECT_EQ(F::DecodeString("\xB0\xF1", mctGeneral), u"░ё");
    for (auto coding : {mctGeneral, mctMoldavian}) {
        for (int b = 1; b < 256; ++b) {
            const std::string byte(1, static_cast<char>(b));
            ASSERT_EQ(EncodeField(F::DecodeString(byte, coding), 2, coding), byte + "\0#"s) << b;
        }
    }
}

TEST(CodecUnescape, TurnsEscapesIntoBytes) {
    // clang-format off
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"A\\41\\4\\\\x", "\x41\x41\x04\x5C\x78"}, {"plain", "plain"}, {"", ""}, {"ab\\", "ab"},
        {"\\00", "\0"sv}, {"\\4g\\4", "\x04g\x04"}, {"\\ff\\Fa", "\xFF\xFA"}, {"\\123", "\x12\x33"},
        {"\\q\\\\", "q\\"}, {"a\0\\41"sv, "a"}, {"\\4142"sv.substr(0, 2), "\x04"},
        {"ab\\41"sv.substr(0, 3), "ab"}};
    // clang-format on
    for (const auto& [text, bytes] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(F::UnescapeData(text), bytes);
    }
}
