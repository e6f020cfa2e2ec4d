#include "KestTypes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <utility>

using Money = TKestCurrency;
using Parts = TKestDateTimeParts;

void PrintTo(const Parts& P, std::ostream* Out) {
    *Out << P.Year << '-' << P.Month << '-' << P.Day << ' ' << P.Hour << ':' << P.Minute << ':'
         << P.Second << '.' << P.MSec;
}

TEST(Currency, HundredthsRoundHalfToEven) {
    const std::pair<int64_t, int64_t> Cases[] = {{12350, 124},   {12250, 122},   {12251, 123},
                                                 {12249, 122},   {-12350, -124}, {-12250, -122},
                                                 {-12251, -123}, {50, 0},        {-150, -2}};
    for (auto [Raw, Hundredths] : Cases)
        EXPECT_EQ(Money::FromRaw(Raw).Hundredths(), Hundredths);
}

TEST(Currency, Text) {
    constexpr int64_t Max = std::numeric_limits<int64_t>::max(), Min = -Max - 1;
    for (auto [Raw, Text] : {std::pair{Max, "922337203685477.5807"},
                             {Min, "-922337203685477.5808"},
                             {2005600, "200.56"},
                             {0, "0.00"},
                             {-35000, "-3.50"},
                             {1250, "0.1250"},
                             {-1, "-0.0001"}}) {
        EXPECT_EQ(Money::FromRaw(Raw).ToString(), Text);
        EXPECT_EQ(Money::Parse(Text).Raw(), Raw) << Text;
    }
    // Either side of the point may be empty; a sign may lead.
    const std::pair<const char*, int64_t> Lenient[] = {
        {"+3", 30000}, {"007.1", 71000}, {".5", 5000}, {"5.", 50000}, {"-.5", -5000}, {"-0", 0}};
    for (auto [Text, Raw] : Lenient)
        EXPECT_EQ(Money::Parse(Text).Raw(), Raw) << Text;

    for (const char* Bad :
         {"", " 1", "1 ", "1,5", "1.23456", "abc", "1e3", ".", "-", "+-1", "1.2.3", "-."})
        EXPECT_THROW(Money::Parse(Bad), std::invalid_argument) << '"' << Bad << '"';
    for (const char* Big :
         {"922337203685477.5808", "-922337203685477.5809", "99999999999999999999"})
        EXPECT_THROW(Money::Parse(Big), std::out_of_range) << Big;
}

TEST(Currency, FromDouble) {
    EXPECT_EQ(Money::FromDouble(200.56), Money::Parse("200.56"));
    // 0.00025 x 10000 is exactly 2.5 in binary, so these are true halves.
    EXPECT_EQ(Money::FromDouble(0.00025).Raw(), 2);
    EXPECT_EQ(Money::FromDouble(0.00035).Raw(), 4);
    EXPECT_EQ(Money::FromDouble(-0.00025).Raw(), -2);
    for (double Bad : {std::nan(""), HUGE_VAL, 1e15, -1e15})
        EXPECT_THROW(Money::FromDouble(Bad), std::out_of_range) << Bad;
}

TEST(DateTime, DayCounts) {
    const std::pair<Parts, double> Cases[] = {
        {{1899, 12, 30}, 0.0},
        {{1899, 12, 31}, 1.0},
        {{2000, 1, 1}, 36526.0},
        {{2026, 12, 6, 10, 15}, 46362.0 + (10 * 60 + 15) / 1440.0},
        {{2024, 2, 29}, 45351.0},
        {{1899, 12, 29, 6}, -1.25},  // the time of day counts away from zero
        {{1, 1, 1}, -693593.0},
        {{9999, 12, 31, 23, 59, 59, 999}, 2958465.0 + 86399999 / 86400000.0}};
    for (const auto& [P, Expected] : Cases) {
        EXPECT_DOUBLE_EQ(kest::MakeDateTime(P), Expected);
        EXPECT_EQ(kest::SplitDateTime(kest::MakeDateTime(P)), P) << Expected;
    }
    const Parts Refused[] = {
        {2023, 2, 31},       {2100, 2, 29},           {2026, 13, 1}, {2026, 1, 0},
        {0, 1, 1},           {10000, 1, 1},           {1, 1, 1, 24}, {1, 1, 1, 0, 60},
        {1, 1, 1, 0, 0, 60}, {1, 1, 1, 0, 0, 0, 1000}};
    for (const auto& P : Refused) {
        TKestDateTime Value;
        EXPECT_FALSE(kest::TryMakeDateTime(P, Value)) << testing::PrintToString(P);
        EXPECT_THROW(kest::MakeDateTime(P), std::invalid_argument);
    }
}

TEST(DateTime, SplitRoundsAndCarries) {
    const std::pair<double, Parts> Cases[] = {{0.99999999999, {1899, 12, 31}},  // 24:00
                                              {-1.99999999999, {1899, 12, 30}},
                                              {36525.9999999999, {2000, 1, 1}},
                                              {0.5 + 0.6 / 86400000, {1899, 12, 30, 12, 0, 0, 1}}};
    for (const auto& [Value, P] : Cases)
        EXPECT_EQ(kest::SplitDateTime(Value), P) << Value;
    for (double Bad : {std::nan(""), -693594.0, 2958466.0})
        EXPECT_THROW(kest::SplitDateTime(Bad), std::out_of_range) << Bad;

    EXPECT_GT(kest::Now(), kest::MakeDateTime({2024, 1, 1}));
    EXPECT_LT(kest::Now(), kest::MakeDateTime({2100, 1, 1}));
}

TEST(DateTime, IsoText) {
    const std::pair<const char*, Parts> Cases[] = {
        {"2026-12-06T10:15:00", {2026, 12, 6, 10, 15}},
        {"2026-12-06T10:15:30.123", {2026, 12, 6, 10, 15, 30, 123}},
        {"1899-12-29T06:00:00", {1899, 12, 29, 6}},
        {"2026-12-06", {2026, 12, 6}},
        {"2026-12-06 10:15", {2026, 12, 6, 10, 15}},
        {"2026-12-06T10:15:30.5", {2026, 12, 6, 10, 15, 30, 500}}};
    for (const auto& [Text, P] : Cases)
        EXPECT_EQ(kest::ParseIso(Text), kest::MakeDateTime(P)) << Text;
    for (const auto& [Text, P] : {Cases[0], Cases[1], Cases[2]})  // the form FormatIso gives
        EXPECT_EQ(kest::FormatIso(kest::MakeDateTime(P)), Text);

    for (const char* Bad : {"", "2026-12-6", "26-12-06", "2026/12/06", "2026-02-30", "2026-12-06T",
                            "2026-12-06T10", "2026-12-06T10:15:", "2026-12-06T10:15:00.",
                            "2026-12-06T10:15:00.1234", "2026-12-06T24:00", "2026-12-06x10:15",
                            "2026-12-06T10:15:00Z", " 2026-12-06", "+026-12-06"})
        EXPECT_THROW(kest::ParseIso(Bad), std::invalid_argument) << '"' << Bad << '"';
}

TEST(Utf, ValidRoundTrip) {
    const std::pair<std::u16string, std::string> Cases[] = {
        {u"Ошибка ККМ", "Ошибка ККМ"},
        {u"\u20AC 5", "\xE2\x82\xAC 5"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},  // a surrogate pair
        {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"}};
    for (const auto& [Wide, Narrow] : Cases) {
        EXPECT_EQ(kest::ToUtf8(Wide), Narrow);
        EXPECT_EQ(kest::FromUtf8(Narrow), Wide) << Narrow;
    }
}

TEST(Utf, MalformedBecomesReplacement) {
    // One U+FFFD per broken sequence, up to the first byte that cannot continue it.
    const std::pair<std::string, std::u16string> Bad8[] = {
        {"\x80", u"\uFFFD"},
        {"a\xC3", u"a\uFFFD"},                              // truncated at the end
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong '/'
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong, three bytes
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xF0\x9F\x98z", u"\uFFFDz"},                      // 'z' ends the sequence
        {"\xFF", u"\uFFFD"}};
    for (const auto& [Narrow, Wide] : Bad8)
        EXPECT_EQ(kest::FromUtf8(Narrow), Wide);

    const std::string R = "\xEF\xBF\xBD";
    const std::pair<std::u16string, std::string> Bad16[] = {
        {u"\xD83Dz", R + "z"},
        {u"a\xD83D", "a" + R},
        {u"\xDE00\xD83D", R + R},
        {u"\xD83D\xD83D\xDE00", R + "\xF0\x9F\x98\x80"}};
    for (const auto& [Wide, Narrow] : Bad16)
        EXPECT_EQ(kest::ToUtf8(Wide), Narrow);
}
