// The driver's values and the driver object without a line: money, day-count
// dates, UTF-8/UTF-16, the field codecs, the exception tree with its codes and
// messages, the status words and the command bracket with its abort.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <future>

#include "KestorFPrt.h"

void PrintTo(const TKestDateTimeParts& P, std::ostream* Out) {
    *Out << P.Year << '-' << P.Month << '-' << P.Day << ' ' << P.Hour << ':' << P.Minute << ':'
         << P.Second << '.' << P.MSec;
}

namespace kest::test::codecs {

using namespace std::literals;
using F = TKestorFPrt;
using TMoney = TKestCurrency;
using TParts = TKestDateTimeParts;

// The detail code of the E raised by Call; 0 when none is raised.
template <class E = EKestBadResponse>
int CodeOf(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const E& e) {
        return e.ErrCodeEx();
    }
    return 0;
}

// What Call raises: the type of its exception, "" for none.
std::string Raised(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const std::exception& e) {
        return typeid(e).name();
    } catch (...) {
        return "other";
    }
    return "";
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

TEST(Values, MoneyDatesAndUtf) {
    // Hundredths round half to even.
    for (auto [raw, expected] : {std::pair{12350LL, 124LL}, {12250, 122}, {-12251, -123}})
        EXPECT_EQ(TMoney::FromRaw(raw).Hundredths(), expected) << raw;
    for (auto [raw, text] : {std::pair{INT64_MIN, "-922337203685477.5808"}, {1250, "0.1250"}}) {
        EXPECT_EQ(TMoney::FromRaw(raw).ToString(), text);
        EXPECT_EQ(TMoney::Parse(text).Raw(), raw) << text;
    }
    EXPECT_EQ(TMoney::Parse("+.5").Raw() + TMoney::Parse("-5.").Raw(), 5000 - 50000);
    for (const char* bad : {"", "1,5", "1.23456", "-."})
        EXPECT_THROW(TMoney::Parse(bad), std::invalid_argument) << '"' << bad << '"';
    EXPECT_THROW(TMoney::Parse("922337203685477.5808"), std::out_of_range);
    // 0.00025 x 10000 is exactly 2.5 in binary: a true half.
    EXPECT_EQ(TMoney::FromDouble(0.00025).Raw() + TMoney::FromDouble(200.56).Raw(), 2 + 2005600);
    EXPECT_THROW(TMoney::FromDouble(std::nan("")), std::out_of_range);

    // clang-format off
    const std::pair<TParts, double> days[] = {{{1899, 12, 30}, 0.0},
        {{1899, 12, 29, 6}, -1.25},  // the time counts away from zero
        {{9999, 12, 31, 23, 59, 59, 999}, 2958465.0 + 86399999 / 86400000.0}};
    // clang-format on
    for (const auto& [p, expected] : days) {
        EXPECT_DOUBLE_EQ(kest::MakeDateTime(p), expected);
        EXPECT_EQ(kest::SplitDateTime(kest::MakeDateTime(p)), p) << expected;
    }
    for (const TParts& p : {TParts{2023, 2, 31}, {2026, 13, 1}, {1, 1, 1, 0, 0, 60}})
        EXPECT_THROW(kest::MakeDateTime(p), std::invalid_argument) << testing::PrintToString(p);
    EXPECT_EQ(kest::SplitDateTime(0.99999999999), (TParts{1899, 12, 31}));  // 24:00 carries
    EXPECT_THROW(kest::SplitDateTime(2958466.0), std::out_of_range);
    EXPECT_EQ(kest::ParseIso("2026-12-06 10:15:30.5"),
              kest::MakeDateTime({2026, 12, 6, 10, 15, 30, 500}));
    EXPECT_EQ(kest::FormatIso(At(2026, 12, 6, 10, 15)), "2026-12-06T10:15:00");
    for (const char* bad : {"2026-12-6", "2026-02-30", "2026-12-06T10:15:00Z"})
        EXPECT_THROW(kest::ParseIso(bad), std::invalid_argument) << '"' << bad << '"';

    // One U+FFFD per broken sequence, up to the first byte that cannot continue it.
    EXPECT_EQ(kest::FromUtf8("Ошибка \xF0\x9F\x98\x80"), u"Ошибка \U0001F600");
    EXPECT_EQ(kest::ToUtf8(u"Ошибка \U0001F600"), "Ошибка \xF0\x9F\x98\x80");
    EXPECT_EQ(kest::ToUtf8(u"\u007F\u0080\u07FF\u0800"), "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80");
    EXPECT_EQ(kest::FromUtf8("\xC0\xAF\xF0\x9F\x98z"), u"\uFFFD\uFFFD\uFFFDz");
    EXPECT_EQ(kest::ToUtf8(u"\xD83Dz"), "\xEF\xBF\xBDz");
}

TEST(Codecs, Numbers) {
    // clang-format off
    struct TEncoded { int64_t Value; int Digits; bool Fixed; std::string_view Text; };
    const TEncoded encoded[] = {{12345, 2, false, "123.45"}, {12310, 2, false, "123.1"},
        {12300, 2, true, "123.00"}, {1234, -3, false, "234"}, {0, 2, false, "0"},
        {-5, 2, true, "-0.05"}, {INT64_MIN, 0, false, "-9223372036854775808"}};
    // The last column is the result of DecodeFixedNumber.
    struct TDecoded { std::string_view Text; int Digits; int64_t Value; int FracDigits; int64_t Fixed; };
    const TDecoded decoded[] = {{"12.345", 2, 1234, 2, 1234}, {"12.5", 2, 125, 1, 1250},
        {"123", -2, 12, 0, 12}, {"12\00099"sv, 0, 12, 0, 12},
        {"9223372036854775807", 0, INT64_MAX, 0, INT64_MAX}};
    const std::pair<std::string_view, int> bad[] = {{"-1", 0}, {"12.5x", 2}, {"9223372036854775808", 0}};
    // clang-format on
    std::array<char, 40> buf;
    for (const auto& c : encoded) {
        SCOPED_TRACE(c.Text);
        const size_t size = c.Text.size() + 1;
        buf.fill('#');
        EXPECT_THROW(F::EncodeNumber(c.Value, c.Digits, c.Fixed, std::span(buf).first(size - 1)),
                     std::length_error);
        EXPECT_EQ(F::EncodeNumber(c.Value, c.Digits, c.Fixed, std::span(buf).first(size)),
                  static_cast<int>(c.Text.size()));
        EXPECT_EQ(std::string(buf.data(), size + 1), std::string(c.Text) + "\0#"s);
    }
    EXPECT_THROW(F::EncodeNumber(1, INT_MIN, true, buf), std::length_error);
    for (const auto& c : decoded) {
        int frac = -1;
        EXPECT_EQ(F::DecodeNumber(c.Text, c.Digits, frac), c.Value) << c.Text;
        EXPECT_EQ(std::pair(frac, F::DecodeFixedNumber(c.Text, c.Digits)),
                  std::pair(c.FracDigits, c.Fixed));
    }
    for (const auto& [text, digits] : bad) {
        int frac = 0;
        EXPECT_EQ(CodeOf([&] { F::DecodeNumber(text, digits, frac); }), 1) << text;
        EXPECT_EQ(CodeOf([&] { F::DecodeFixedNumber(text, digits); }), 1) << text;
    }
    EXPECT_EQ(CodeOf([] { F::DecodeFixedNumber("9223372036854775807", 1); }), 1);
}

TEST(Codecs, HexChecksumAndDates) {
    std::array<char, 10> buf;
    buf.fill('#');
    F::ByteToHex(F::CountBCC("abc", 3), buf);
    EXPECT_EQ(std::string_view(buf.data(), 3), "26#");
    F::WordToHex(0xA5F0, buf);
    EXPECT_EQ(std::string_view(buf.data(), 5), "A5F0#");
    EXPECT_THROW(F::WordToHex(0, std::span(buf).first(3)), std::length_error);
    EXPECT_EQ(F::CountBCC("abc", 0) + F::CountBCC("\xFF\xFF\x02", 3), 0);
    EXPECT_EQ(F::HexToByte("fF") + F::HexToWord("a5F0"), 0xFF + 0xA5F0);
    EXPECT_EQ(CodeOf([&] { F::HexToByte("0g"); }), 2);
    EXPECT_EQ(CodeOf([&] { F::HexToWord("12G4"); }), 2);
    EXPECT_EQ(CodeOf([] { F::CheckSeparators({'\0', ';'}); }), 5);

    buf.fill('#');
    F::EncodeDate(At(2000, 1, 1), buf);
    EXPECT_EQ(std::string_view(buf.data(), 10), "01012000\0#"sv);
    F::EncodeTime(At(2026, 12, 31, 9, 5, 59), buf);  // seconds are dropped, not rounded
    EXPECT_EQ(std::string_view(buf.data(), 5), "0905\0"sv);
    EXPECT_THROW(F::EncodeDate(At(2000, 1, 1), std::span(buf).first(8)), std::length_error);
    for (auto date : {At(1999, 12, 31, 23, 59), At(9999, 12, 31) + 1})
        EXPECT_EQ(CodeOf<EKestInvalidArg>([&] { F::EncodeDate(date, buf); }), 33);
    EXPECT_EQ(F::DecodeDate("29022008"), At(2008, 2, 29));
    EXPECT_EQ(F::DecodeTime("2359"), At(1899, 12, 30, 23, 59));
    for (auto text : {"29022007"sv, "0101200x"sv, "01012000"sv.substr(0, 7)})
        EXPECT_EQ(CodeOf([&] { F::DecodeDate(text); }), 3) << text;
    for (auto text : {"2400"sv, "1260"sv, "1234"sv.substr(0, 3)})
        EXPECT_EQ(CodeOf([&] { F::DecodeTime(text); }), 4) << text;
}

TEST(Codecs, StringsInTheRegisterCodePage) {
    // Field: all of the field and the guard byte after it.
    // clang-format off
    struct TCase { std::u16string_view Text; size_t Size; TKestCodingType Coding; std::string_view Field; };
    const TCase cases[] = {
        {u"0123456789", 5, mctGeneral, "0123\0#"sv}, {u"ККМ", 5, mctGeneral, "\x8A\x8A\x8C\0\0#"sv},
        // A NUL goes as one: the register's field ends there.
        {u"A\0B"sv, 5, mctGeneral, "A\0B\0\0#"sv},
        // One "?" per character without a register form; letter + mark composed where possible.
        {u"€1\U0001F600x\xD800", 6, mctGeneral, "?1?x?\0#"sv},
        {u"И\u0306е\u0308e\u0301", 5, mctGeneral, "\x89\xF1\x65?\0#"sv},
        // Romanian letters of either case; the box drawing they displace has no form.
        {u"a\u0306t\u0327░Ж", 5, mctMoldavian, "\xB0\xB3?\x86\0#"sv},
        {u"ȘȚșț", 5, mctMoldavian, "\xB2\xB3\xB2\xB3\0#"sv}};
    const std::tuple<std::string_view, TKestCodingType, std::u16string_view> decoded[] = {
        {"\x8A\x8A\x8C\0\x8A"sv, mctGeneral, u"ККМ"}, {"\xB3\x61\x72\xB0\xB4", mctMoldavian, u"ŢarĂÂ"}};
    const std::pair<std::string_view, std::string_view> escaped[] = {
        {"A\\41\\4\\\\x", "\x41\x41\x04\x5C\x78"}, {"ab\\", "ab"}, {"\\ff\\Fa", "\xFF\xFA"},
        {"\\q", "q"}, {"a\0\\41"sv, "a"}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(EncodeField(c.Text, c.Size, c.Coding), c.Field)
            << testing::PrintToString(c.Field);
    for (const auto& [bytes, coding, text] : decoded)
        EXPECT_EQ(F::DecodeString(bytes, coding), text);
    for (auto coding : {mctGeneral, mctMoldavian}) {
        for (int b = 1; b < 256; ++b) {
            const std::string byte(1, static_cast<char>(b));
            ASSERT_EQ(EncodeField(F::DecodeString(byte, coding), 2, coding), byte + "\0#"s) << b;
        }
    }
    for (const auto& [text, bytes] : escaped)
        EXPECT_EQ(F::UnescapeData(text), bytes) << testing::PrintToString(text);
}

// Sets the register-derived state that identification would set, and exposes
// the bracket and the status decoders.
class TStatusProbe : public TKestorFPrt {
public:
    int StatusEvents = 0, ConnEvents = 0;

    explicit TStatusProbe(int Generation = 0, TKestEcrModel Model = mem207_1F) {
        if (Generation) FGeneration = Generation, FEcrModel = Model, FEcrVersion = 0x0100;
        OnStatusUpdate = [this](TKestorFPrt&) { ++StatusEvents; };
        OnConnStateUpdate = [this](TKestorFPrt&) { ++ConnEvents; };
    }
    TStatusProbe& Ecr(uint16_t Raw) {
        FRawEcrStatus = Raw;
        UpdateEcrStatus();
        return *this;
    }
    TStatusProbe& Dev(uint8_t Raw, const uint8_t (*Extended)[5] = nullptr) {
        FRawDevStatus = Raw;
        Extended ? UpdateDevStatus(*Extended) : UpdateDevStatus();
        return *this;
    }
    void Cache(TKestOperType Oper) { FCachedOper = Oper; }
    void SetConnected(bool Value) { FConnected = Value; }
    void Conn(TKestConnState State) { ChangeConnState(State); }
    void Abortable() { CheckAbort(); }
    bool AbortPending() const { return FAbort; }
    void SetClock(TKestDateTime Value) { FEcrDateTime = Value; }
    void Run(const std::function<void()>& Call) { RunCmd(Call); }
};

TEST(Errors, CodesMessagesAndTheirRecording) {
    // clang-format off
    EXPECT_EQ(EKestEcrError(80).Message() + EKestEcrError(35).Message(),
              u"Ошибка ККМ:\r\nданные ЭКЛЗ и фискальной памяти различаются (80)Ошибка ККМ (35)");
    // clang-format on
    EXPECT_EQ(EKestEcrError(12, u"при печати").Message(),
              u"Ошибка ККМ:\r\nне открыта смена (12) при печати");
    EXPECT_STREQ(EKestBadResponse(7, u":\r\nневерная контрольная сумма пакета").what(),
                 "Неверный ответ ККМ:\r\nневерная контрольная сумма пакета");
    const auto os = [](int Code) {
        return kest::FromUtf8(std::system_category().message(Code) + " (" + std::to_string(Code) +
                              ")");
    };
    EXPECT_EQ(EKestNoConversion(EILSEQ, u"поле").Message(),
              u"Невозможно произвести перекодировку строки:\r\n" + os(EILSEQ) + u" поле");
    // The groups let callers tell line problems from refusals and document errors.
    EXPECT_THROW(throw EKestNoResponse(), EKestConnection);
    EXPECT_THROW(throw EKestForbidden(u""), EKestDocError);

    // The command bracket records each failure and raises it again; a success clears it.
    const std::error_code enoent(ENOENT, std::system_category());
    struct TCase {
        std::function<void()> Raise;
        int ErrCode, ErrCodeEx;
        std::u16string Message;
    };
    // clang-format off
    const TCase recorded[] = {{[] { throw EKestEcrError(2); }, 18, 2, u"Ошибка ККМ:\r\nне закрыта смена (2)"},
        {[] {}, 0, 0, u"Нет ошибки"},
        {[] { throw std::bad_alloc(); }, 16, 0, u"Недостаточно памяти для выполнения операции"},
        {[&] { throw std::system_error(enoent, "open"); }, 17, ENOENT, u"Ошибка операционной системы:\r\n" + os(ENOENT)},
        {[] { throw std::runtime_error("сбой"); }, 999, 0, u"сбой"},
        {[] { throw 42; }, 999, 0, u"Неизвестная ошибка"}};
    // clang-format on
    TStatusProbe drv;
    EXPECT_EQ(drv.ErrMessage(), u"");
    for (const auto& c : recorded) {
        EXPECT_EQ(Raised([&] { drv.Run(c.Raise); }), Raised(c.Raise));
        EXPECT_EQ(std::tuple(drv.ErrCode(), drv.ErrCodeEx(), drv.ErrMessage()),
                  std::tuple(c.ErrCode, c.ErrCodeEx, c.Message));
    }
}

TEST(Driver, StatusWordsAndEvents) {
    TStatusProbe g1(1), g3(3), none, k(8, mem207_1K);
    // Seconds do not round the minute up.
    none.SetClock(46362.0 + (10 * 60 + 15) / 1440.0 + 59.6 / 86400.0);
    EXPECT_EQ(std::pair(none.GetEcrHour(), none.GetEcrMin()), std::pair(10, 15));
    // Before identification nothing is known, and nothing is decoded.
    EXPECT_EQ(std::tuple(none.EcrModel(), none.EcrVersion(), none.EcrSubVersion()),
              std::tuple(memUnknown, 0, 0));
    none.Ecr(0xFFFF);
    EXPECT_EQ(std::pair(none.EcrStatus(), none.Protocol()), std::pair(0, mprUnknown));
    // Bit 1 means nothing on generation 1; bit 7 selects XON/XOFF only after it.
    g1.Ecr(0x0081);
    EXPECT_EQ(std::tuple(g1.EcrStatus(), g1.EcrStatusMask(), g1.Protocol(), g1.CheckEcrStatus(1),
                         g1.CheckEcrStatus(2)),
              std::tuple(1, 0x1D, mprBS, 0, -1));
    g3.Ecr(0x0180);
    EXPECT_EQ(std::tuple(g3.Protocol(), g3.GetDocStatus(), g3.GetCurrentOper()),
              std::tuple(mprXOnXoff, mdsOpened, motSale));
    EXPECT_EQ(g3.Ecr(0x8006 | 0x0300 | 0x4800).EcrStatus(), 0x62);  // raw 1, 2, 15 -> 6, 1, 5
    EXPECT_EQ(g3.Ecr(0x0079 | 0x4800).EcrStatus(), 0x9D);  // raw 0, 3, 4, 5, 6 -> 0, 7, 2, 3, 4
    EXPECT_EQ(std::pair(g3.GetDocStatus(), g3.GetCurrentOper()),
              std::pair(mdsClosed, motRefundCashless));
    EXPECT_EQ(g3.Ecr(0x1300).GetDocStatus(), mdsCompleted);
    // A cached document shows through the getters until the register opens one.
    g3.Ecr(0x0000).Cache(motBuying);
    EXPECT_EQ(g3.GetCurrentOper(), motBuying);
    EXPECT_EQ(g3.Ecr(0x0000).GetDocStatus(), mdsCached);
    EXPECT_EQ(g3.Ecr(0x0100).GetDocStatus(), mdsOpened);

    // Raw bit 3 clear sets bit 5; no bits 10, 11 and 19 on generation 1.
    EXPECT_EQ(g1.Dev(0x00).DevStatus(), 0x20);
    EXPECT_EQ(g1.Dev(0xFF).DevStatus(), 0x01D00000);
    g3.Dev(0xF7);
    EXPECT_EQ(std::tuple(g3.DevStatus(), g3.CheckDevStatus(10), g3.CheckDevStatus(32)),
              std::tuple(0x01EC0021, 0, 0));
    // b0 bit 2 -> 0; b1 bit 6 -> 5; b2 bit 3 -> 7; b3 bit 5 -> 12; b4 bit 2 set -> no 14,
    // bit 6 -> 17; one notification for the whole update, the raw byte's change (bit 5) too.
    const uint8_t set[5] = {0x04, 0x40, 0x08, 0x20, 0x44}, clear[5] = {};
    const int before = k.StatusEvents;
    EXPECT_EQ(k.Dev(0x00, &set).DevStatus(), 1 << 30 | 1 << 17 | 1 << 12 | 1 << 7 | 1 << 5 | 1);
    EXPECT_EQ(std::pair(k.DevStatusMask(), k.StatusEvents),
              std::pair(0x41D80C20 | 0x3FFFF, before + 1));
    EXPECT_EQ(k.Dev(0x08, &clear).DevStatus(), 1 << 30 | 1 << 14);  // b4 bit 2 clear -> 14
    // A register without the extended query ignores the five bytes.
    EXPECT_EQ(TStatusProbe(1).Dev(0x08, &set).DevStatus(), 0);

    // Events fire on a change only; idle needs a connection.
    const int events = g1.Ecr(0x0001).Dev(0x08).StatusEvents;
    EXPECT_EQ(g1.Ecr(0x0001).Dev(0x08).StatusEvents, events);
    EXPECT_EQ(g1.Ecr(0x0000).StatusEvents, events + 1);
    g1.Conn(mcsIdle);
    EXPECT_EQ(g1.ConnState(), mcsNone);
    g1.SetConnected(true);
    g1.Conn(mcsIdle);
    g1.Conn(mcsIdle);
    EXPECT_EQ(std::tuple(g1.ConnEvents, g1.ConnState()), std::tuple(1, mcsIdle));
}

TEST(Driver, AbortRequest) {
    TStatusProbe drv;
    // Disconnected or idle: returns at once.
    drv.AbortRequest();
    drv.SetConnected(true);
    drv.AbortRequest();
    EXPECT_FALSE(drv.AbortPending());

    // A running command that sets a property from inside (a nested bracket)
    // while the abort waits must neither deadlock nor end early.
    std::promise<void> started;
    std::atomic<bool> abortReturned = false;
    auto command = std::async(std::launch::async, [&] {
        drv.Run([&] {
            started.set_value();
            while (!drv.AbortPending())
                std::this_thread::yield();
            drv.SetRetryOperation(true);                                 // nested bracket
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for an early return
            EXPECT_FALSE(abortReturned);
            drv.Abortable();
        });
    });
    started.get_future().wait();
    auto abort = std::async(std::launch::async, [&] { drv.AbortRequest(), abortReturned = true; });
    ASSERT_EQ(command.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_THROW(command.get(), EKestRequestAborted);
    ASSERT_EQ(abort.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(std::tuple(drv.ErrCode(), drv.ErrMessage(), drv.AbortPending()),
              std::tuple(-1, u"Выполнение запроса было прервано", false));
    // From the command's own thread it only marks the command.
    EXPECT_THROW(drv.Run([&] { drv.AbortRequest(), drv.Abortable(); }), EKestRequestAborted);
    EXPECT_NO_THROW(drv.Run([&] { drv.Abortable(); }));  // the next command runs
}

}  // namespace kest::test::codecs
