// The exchange engine and the device services over a scripted line: the exact
// request frames, how every kind of answer is accepted, refused or decoded,
// and what the operations refuse before sending anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <sstream>

#include "ScriptedLine.h"

namespace kest::test::services {

using namespace std::string_literals;

class TServiceLine : public TScriptedLine {
public:
    mutable std::deque<TKestDateTime> Clock;  // the host clock's next readings

    using TKestorFPrt::FiscalRewriteDate, TKestorFPrt::InternalDocNumber,
        TKestorFPrt::InvalidateCounters, TKestorFPrt::SetEcrDateTime, TKestorFPrt::SetTaxDate;

    // An internal operation, inside a command as its callers run it.
    template <class F>
    auto Call(F&& f) {
        return RunCmd(f);
    }
    bool TimeoutInForce() const { return FInternalTimeoutInForce || FExternalTimeoutInForce; }
    // One exchange of Cmd, its answer data read into Out.
    void Exchange(char Cmd, std::string* Out = nullptr, TKestCmdType Type = mctInternal) {
        Run([&] {
            Transfer(Cmd, Type, nullptr, 0, Out ? Out->data() : nullptr,
                     Out ? static_cast<int>(Out->size()) : 0);
        });
    }

protected:
    TKestDateTime Now() const override {
        if (Clock.empty()) throw std::logic_error("the test clock has run out");
        const TKestDateTime t = Clock.front();
        Clock.pop_front();
        return t;
    }
};

// The request frame of Cmd with Data, with the factory password.
std::string Request(char Cmd, const std::string& Data) {
    return WithBcc(std::string(1, Cmd) + "5862\0"s + Data);
}
std::string Done(char Echo, const std::string& Data = {}) {
    return AnswerFrame(Echo, "0000", "0000", "08", Data);
}
// Text padded with 0x00 to Size bytes.
std::string Pad(const std::string& Text, size_t Size) {
    return Text + std::string(Size - Text.size(), '\0');
}
// A sum field with its separator.
std::string Sum(const std::string& Text) {
    return Pad(Text, 15) + '\0';
}
// A parameter answer: the number echoed, a 40-byte value.
std::string Parameter(const std::string& Number, const std::string& Value) {
    return Pad(Number, 3) + '\0' + Pad(Value, 40) + '\0';
}
TKestDateTime Date(int Year, int Month, int Day, int Hour = 0, int Minute = 0) {
    return kest::MakeDateTime({Year, Month, Day, Hour, Minute});
}

// Everything the information queries can change, as one text.
std::string Props(const TKestorFPrt& D) {
    std::ostringstream s;
    for (const auto* text :
         {&D.RegNumber(), &D.TaxPayerNumber(), &D.SerialNumber(), &D.HeaderLine1(),
          &D.HeaderLine2(), &D.HeaderLine3(), &D.HeaderLine4(), &D.TaxName()})
        s << kest::ToUtf8(*text) << '|';
    for (TKestDateTime t : {D.TaxDate(), D.DayDate(), D.LastDocDate(), D.EcrDateTime()})
        s << t << '|';
    for (int n : {D.CounterCount(), D.RewritesRemain(), D.DaysRemain(), D.LastFiscalReport(),
                  D.LastDayClosing(), D.LastDocOper(), D.LastDocNumber(), D.LastRecNumber(),
                  D.LastRepNumber(), D.EKLZRest(), static_cast<int>(D.LastDocType()),
                  static_cast<int>(D.EKLZOper())})
        s << n << '|';
    for (bool b : {D.EKLZActivated(), D.EKLZArchiving(), D.EKLZReporting(), D.EKLZDayOpened(),
                   D.EKLZFatalError(), D.EKLZAttention()})
        s << b;
    s << D.LastDocSum().ToString() << '|' << D.LastBuyingSum().ToString();
    return s.str();
}

struct TRegister {
    int Generation;
    TKestEcrModel Model = mem207_1F;
    int SubVersion = 0;
    bool EKLZ = false;
};
void Attach(TServiceLine& D, const TRegister& R) {
    D.Connect(R.Generation, R.Model);
    D.Identify(0x0100, R.SubVersion, R.EKLZ);
}
const TRegister G1{1}, G2{2}, G3{3}, G6{6}, G7{7, memPCK, 0, true}, G8{8, mem207_1K, 0, true},
    MD2{3, mem207_1FMD, 0x0205}, MD3{3, mem207_1FMD, 0x0300};

TEST(Engine, RequestFramesAndTimeouts) {
    // "7" from password 5862 to 1234: STX alone, command and password, data, BCC, ETX.
    TServiceLine drv;
    drv.Connect(1);
    // clang-format off
    drv.Answers = {"\x02" "7\0" "0000\0" "0000\0" "08\0" "1F\x03"s};
    // clang-format on
    drv.SetPassword(u"1234");
    ASSERT_EQ(drv.Written.size(), 5u);
    EXPECT_EQ(drv.Written[0], "\x02");
    EXPECT_EQ(drv.Written[3], "D6");
    // clang-format off
    EXPECT_EQ(drv.Sent(), "\x02" "75862\0" "1234\0" "D6\x03"s);
    // clang-format on
    EXPECT_EQ(drv.Password(), u"1234");
    EXPECT_EQ(drv.ErrMessage(), u"Нет ошибки");
    drv.SetPassword(u"1234");  // unchanged: nothing is sent
    EXPECT_TRUE(drv.Written.empty());
    // 57600 and up only on generations 3 and 7.
    EXPECT_THROW(drv.SetBaudRate(57600), EKestInvalidArg);
    EXPECT_EQ(drv.ErrCodeEx(), 3);
    EXPECT_TRUE(drv.Written.empty());
    // "C" waits half a second longer than its time-out.
    drv.ReadTimeouts.clear();
    drv.Answers = {AnswerFrame('C', "0000", "0000", "08")};
    drv.SetBaudRate(19200);
    EXPECT_EQ(drv.ReadTimeouts.front(), 1500);
    // Generation 1 switches to the external time-out on the first ACK.
    drv.ReadTimeouts.clear();
    drv.Answers = {"\x06\x06" + Done('E')};
    drv.Exchange('E');
    ASSERT_GE(drv.ReadTimeouts.size(), 3u);
    EXPECT_EQ(drv.ReadTimeouts[0], 1000);
    EXPECT_EQ(drv.ReadTimeouts[1], 30000);
    EXPECT_EQ(drv.ReadTimeouts.back(), 30000);
    // "As long as it takes" stays that, with the half second and after an ACK.
    drv.SetInternalTimeout(INT_MAX);
    drv.SetExternalTimeout(INT_MAX);
    drv.ReadTimeouts.clear();
    drv.Answers = {"\x06" + AnswerFrame('C', "0000", "0000", "08")};
    drv.SetBaudRate(9600);
    ASSERT_FALSE(drv.ReadTimeouts.empty());
    for (int t : drv.ReadTimeouts)
        EXPECT_EQ(t, INT_MAX);

    // Baud-rate codes on generation 3; ACKs keep the internal time-out there.
    TServiceLine g3;
    g3.Connect(3);
    g3.Answers = {"\x06\x06\x06" + Done('7')};
    g3.SetPassword(u"1234");
    for (int t : g3.ReadTimeouts)
        EXPECT_EQ(t, 1000);
    g3.Sent();
    // clang-format off
    const std::pair<int, std::string> rates[] = {{19200, "\x02" "C1234\0" "1\0" "3E\x03"s},
        {57600, "\x02" "C1234\0" "2\0" "3F\x03"s}, {115200, "\x02" "C1234\0" "3\0" "40\x03"s},
        {9600, "\x02" "C1234\0" "0\0" "3D\x03"s}};
    // clang-format on
    for (const auto& [rate, frame] : rates) {
        g3.Answers = {AnswerFrame('C', "0000", "0000", "08")};
        g3.SetBaudRate(rate);
        EXPECT_EQ(g3.Sent(), frame) << rate;
        EXPECT_EQ(g3.BaudRate(), rate);
    }

    // Passwords the register cannot hold; any four characters of its code page
    // reach it as they are.
    for (const auto& password : {u"12345"s, u"12€"s, u"1\0"s + u"2", u"\u0301"s}) {
        EXPECT_THROW(g3.SetPassword(password), EKestInvalidArg);
        EXPECT_EQ(g3.ErrCodeEx(), 7);
        EXPECT_EQ(g3.ErrMessage(), u"Неверное значение аргумента:\r\nневерный пароль связи с ККМ");
    }
    EXPECT_TRUE(g3.Written.empty());
    EXPECT_EQ(g3.Password(), u"1234");
    g3.Answers = {Done('7')};
    g3.SetPassword(u"Ключ");
    EXPECT_EQ(g3.Password(), u"Ключ");
    EXPECT_EQ(g3.Sent().substr(7, 5), "\x8A\xAB\xEE\xE7\0"s);
}

TEST(Engine, DeviceNotices) {
    // clang-format off
    const std::string notice = "\x05" "0A", cancelled = AnswerFrame('K', "0000", "000A", "0A");
    // clang-format on
    TServiceLine drv;
    drv.Connect(3);
    int asked = 0;
    TKestConnState during = mcsNone;
    drv.OnPrinterError = [&](TKestorFPrt& d) { ++asked, during = d.ConnState(); };
    drv.Answers = {notice, cancelled};
    EXPECT_THROW(drv.Exchange('K'), EKestEcrError);
    EXPECT_EQ(drv.ErrCodeEx(), 10);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(during, mcsPrinterError);
    EXPECT_EQ(drv.ConnState(), mcsIdle);
    EXPECT_EQ(drv.Written.back(), "\x01");  // cancel, sent on the external time-out
    EXPECT_EQ(drv.ReadTimeouts.back(), 30000);
    EXPECT_EQ(drv.CheckDevStatus(18), -1);  // raw device byte 0x0A: bits 1 and 3
    EXPECT_EQ(drv.CheckDevStatus(0), 1);

    // Retry: 0x04, and the register goes on to its answer.
    drv.OnPrinterError = [&](TKestorFPrt& d) { d.SetRetryOperation(true); };
    drv.Answers = {notice, Done('K')};
    drv.Exchange('K', nullptr, mctExternal);
    EXPECT_EQ(drv.Written.back(), "\x04");

    // The display command asks the display handler instead.
    bool display = false;
    drv.OnDisplayError = [&](TKestorFPrt&) { display = true; };
    drv.Answers = {notice, AnswerFrame('^', "0000", "000A", "08")};
    EXPECT_THROW(drv.Exchange('^'), EKestEcrError);
    EXPECT_TRUE(display);

    // A handler that raises: the register is cancelled, its error 10 answer
    // read and dropped, and the handler's exception reported.
    drv.OnPrinterError = [](TKestorFPrt&) { throw std::runtime_error("нет бумаги"); };
    drv.Answers = {notice, "\x06" + cancelled};
    EXPECT_THROW(drv.Exchange('K', nullptr, mctExternal), std::runtime_error);
    EXPECT_EQ(drv.Written.back(), "\x01");
    EXPECT_EQ(drv.ErrCode(), 999);
    EXPECT_EQ(drv.ErrMessage(), u"нет бумаги");

    // A call of the handler's own that fails, caught there: the command goes
    // on and succeeds, so it reports no error, not the handler's call's.
    drv.OnPrinterError = [](TKestorFPrt& d) {
        EXPECT_THROW(d.SetPassword(u"123456"), EKestInvalidArg);
        d.SetRetryOperation(true);
    };
    drv.Answers = {notice, Done('K')};
    drv.Exchange('K', nullptr, mctExternal);
    EXPECT_EQ(drv.ErrCode(), 0);
    EXPECT_EQ(drv.ErrCodeEx(), 0);
    EXPECT_EQ(drv.ErrMessage(), u"Нет ошибки");
}

TEST(Engine, Answers) {
    // One row per check, in the order the engine makes them.
    const std::string ok = Done('E', "12\0"s);
    std::string noEtx = ok, badBcc = ok, etxInData = ok;
    noEtx.back() = 'x';
    badBcc[ok.size() - 2] ^= 1;
    etxInData[17] = '\x03';
    // clang-format off
    const std::tuple<const char*, std::string, int, int> refused[] = {{"first byte", "x" + ok, 15, 6},
        {"ETX in the header", ok.substr(0, 5) + "\x03" + ok.substr(6), 15, 5},
        {"ETX in the data", etxInData, 15, 5}, {"not closed by ETX", noEtx, 15, 6},
        {"checksum", badBcc, 15, 7},
        {"separator", WithBcc("E\0" "0000X" "0000\0" "08\0" "12\0"s), 15, 5},
        {"hex in the status", AnswerFrame('E', "00G0", "0000", "08", "12\0"s), 15, 2},
        {"echo", AnswerFrame('F', "0000", "0000", "08", "12\0"s), 15, 6},
        {"register error", AnswerFrame('E', "0001", "0002", "08"), 18, 2},
        {"cut short", ok.substr(0, 10), 3, 0}};
    // clang-format on
    std::string out(3, '?');
    for (const auto& [what, answer, code, codeEx] : refused) {
        SCOPED_TRACE(what);
        TServiceLine drv;
        drv.Connect(3);
        drv.Answers = {answer};
        EXPECT_THROW(drv.Exchange('E', &out), EKestError);
        EXPECT_EQ(drv.ErrCode(), code);
        EXPECT_EQ(drv.ErrCodeEx(), codeEx);
        drv.Answers = {ok};  // the next command works
        EXPECT_NO_THROW(drv.Exchange('E', &out));
        EXPECT_EQ(out, "12\0"s);
    }

    TServiceLine drv;
    drv.Connect(3);
    // An error answer has no data however much was expected; the status
    // words are updated before the error is raised.
    drv.Answers = {AnswerFrame('E', "0001", "0001", "08")};
    std::string big(20, '\0');
    EXPECT_THROW(drv.Exchange('E', &big), EKestEcrError);
    EXPECT_EQ(drv.ErrCodeEx(), 1);
    EXPECT_EQ(drv.CheckEcrStatus(0), 1);
    EXPECT_EQ(drv.ErrMessage(),
              u"Ошибка ККМ:\r\nошибка в фискальных данных, аппарат блокирован (1)");
    // "I" and "O" are answered with the echo of another command.
    drv.Answers = {Done('K')};
    EXPECT_NO_THROW(drv.Exchange('I'));
    // "C" is answered at the old rate: its last byte need not be ETX.
    std::string baud = Done('C');
    baud.back() = '\xFF';
    drv.Answers = {baud};
    EXPECT_NO_THROW(drv.Exchange('C'));
    // Checksum digits may come in lower case.
    std::string lower = Done('E', "m\0"s);
    ASSERT_EQ(lower.substr(lower.size() - 3, 2), "9A");
    drv.Answers = {lower.replace(lower.size() - 3, 2, "9a")};
    out.resize(2);
    EXPECT_NO_THROW(drv.Exchange('E', &out));

    // Close tells of a status change only, and a handler that closes again
    // does not recurse.
    drv.Answers = {AnswerFrame('E', "0001", "0000", "08")};
    drv.Exchange('E');
    int events = 0;
    drv.OnStatusUpdate = [&](TKestorFPrt& d) { ++events, d.Close(true); };
    drv.Close(true);
    drv.Close(true);
    EXPECT_EQ(events, 1);
    // A data handler that closes the connection ends the exchange.
    drv.OnStatusUpdate = nullptr;
    drv.Connect(3);
    drv.Answers = {Done('E')};
    drv.OnDataReceive = [&](TKestorFPrt& d, const void*, int) { d.Close(true); };
    EXPECT_THROW(drv.Exchange('E'), EKestConnClosed);
    EXPECT_EQ(drv.ErrCode(), 2);
    EXPECT_EQ(drv.ConnState(), mcsNone);
}

TEST(Services, GoldenRequests) {
    const TKestDateTime day = Date(2026, 12, 6);
    // clang-format off
    const std::string head = "1\0\0\0\0" "1\0\0\0\0"s;
    // clang-format on
    const auto rewrite = [&](auto& d) {
        d.Call([&] { d.FiscalRewriteDate(u"A", u"B", u"0123456789ABC", u"D", day); });
    };
    struct TCase {
        const char* What;
        TRegister Register;
        std::function<void(TServiceLine&)> Call;
        std::vector<std::string> Answers;
        std::string Expected;
    };
    // clang-format off
    const TCase cases[] = {
        {"SetParameters, generation 1", G1, [](auto& d) { d.SetParameters(mprXOnXoff, 30); },
         {Done('W')}, Request('W', "30\0\0" "0004\0"s)},
        {"SetParameters, generation 3: protocol, then time-out", G3,
         [](auto& d) { d.SetParameters(mprXOnXoff, 30); }, {Done('W'), Done('W')},
         Request('W', "1\0\0\0" "0000\0"s) + Request('W', "30\0\0" "0001\0"s)},
        {"QueryTitle 7, generation 2", G2, [](auto& d) { d.QueryTitle(7); },
         {Done('\\', "007\0"s + Pad("Итог", 20) + '\0')}, Request('\\', "007\0"s)},
        {"QueryTitle 7, generation 3", G3, [](auto& d) { d.QueryTitle(7); },
         {Done('\\', Parameter("7", ""))}, Request('\\', "7\0\0\0"s)},
        {"SetTaxDate, rate 1800", G3, [&](auto& d) { d.Call([&] { d.SetTaxDate(1, u"НДС", 1800, day); }); },
         {Done('F')}, Request('F', "1\0" "18.00\0"s + Pad("\x8D\x84\x91", 21) + "06122026\0"s)},
        {"SetTaxDate, rate 5", G3, [&](auto& d) { d.Call([&] { d.SetTaxDate(0, u"", 5, day); }); },
         {Done('F')}, Request('F', "0\0" "0.05\0\0"s + Pad("", 21) + "06122026\0"s)},
        {"EKLZDayReport 12", G8, [](auto& d) { d.EKLZDayReport(12); }, {Done('Y')},
         Request('Y', Pad("1\0" "12"s, 20))},
        {"EKLZReportByDate", G8, [](auto& d) { d.EKLZReportByDate(false, Date(2026, 1, 2), Date(2025, 12, 31)); },
         {Done('Y')}, Request('Y', "5\0" "02012026\0" "31122025\0"s)},
        {"FiscalRewrite, other models", G3, rewrite, {Done('A', "1\0"s)},
         Request('A', Pad("A", 6) + Pad("B", 9) + Pad("0123456789AB", 13) + "06122026\0"s + Pad("D", 6))},
        {"FiscalRewrite, 207.1F-MD before 3.0", MD2, rewrite, {Done('A', "1\0"s)},
         Request('A', Pad("A", 6) + Pad("B", 9) + Pad("0123456789ABC", 14) + "06122026\0"s + Pad("D", 6))},
        {"FiscalRewrite, 207.1F-MD", MD3, rewrite, {Done('A', "1\0"s)},
         Request('A', Pad("A", 6) + Pad("B", 11) + Pad("0123456789ABC", 14) + "06122026\0"s + Pad("D", 6))},
        {"picture byte 0x5A", G3, [](auto& d) { d.EnableGraphicHeader(1, 1, std::vector<uint8_t>{0x5A}); },
         {Done('3')}, Request('3', head + "00\0" "5A\0"s)},
        {"picture as lower-case text", G7, [](auto& d) { d.EnableGraphicHeader(2, 1, u"5aff"); },
         {Done('3')}, Request('3', "2\0\0\0\0" "1\0\0\0\0" "00\0" "5AFF\0"s)},
        {"DisableGraphicHeader", G3, [](auto& d) { d.DisableGraphicHeader(); }, {Done('3')},
         Request('3', head + "80\0\0\0\0"s)},
        {"QueryCounter 1000, generation 3", G3, [](auto& d) { d.QueryCounter(1000); },
         {Done('U', "1000\0" "00007\0"s + Sum("1.00"))}, Request('U', "1000\0"s)},
        {"QueryResourceInfo printing, generation 1", G1, [](auto& d) { d.QueryResourceInfo(true); },
         {Done('D', Pad("", 41))}, Request('D', "1\0"s)},
        {"QueryResourceInfo, generation 8", G8, [](auto& d) { d.QueryResourceInfo(false); },
         {Done('D', Pad("", 41))}, Request('D', "\0\0"s)},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TServiceLine drv;
        Attach(drv, c.Register);
        drv.Answers = {c.Answers.begin(), c.Answers.end()};
        EXPECT_NO_THROW(c.Call(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(drv.Sent(), c.Expected);
        EXPECT_TRUE(drv.Answers.empty());
    }

    // The graphic header is one frame from two buffers: STX, command and
    // password, the head, the picture, BCC, ETX.
    TServiceLine drv;
    Attach(drv, G3);
    drv.Answers = {Done('3')};
    drv.EnableGraphicHeader(2, 1, u"0aFF");
    ASSERT_EQ(drv.Written.size(), 6u);
    EXPECT_EQ(drv.Written[2].size(), 13u);
    EXPECT_EQ(drv.Written[3], "0AFF\0"s);
    EXPECT_FALSE(drv.TimeoutInForce());
    drv.Sent();
    // The time-out flags are cleared also when the register refuses.
    drv.Answers = {AnswerFrame('3', "0000", "0005", "08")};
    EXPECT_THROW(drv.EnableGraphicHeader(70, 120, std::u16string(16800, u'F')), EKestEcrError);
    EXPECT_EQ(drv.Sent().size(), 7u + 13 + 16801 + 3);
    EXPECT_FALSE(drv.TimeoutInForce());
}

TEST(Services, LastDocumentResourcesTaxAndClock) {
    const auto money = [](const char* Text) { return TKestCurrency::Parse(Text); };
    // clang-format off
    const std::string dated = "06122026\0" "1015\0"s;
    TServiceLine drv;
    Attach(drv, G8);
    drv.Answers = {Done('J', "07\0" "00123\0"s + dated + "0d\0"s + Sum("200.56") + "00045\0" "00003\0"s + Sum("10.00"))};
    // clang-format on
    drv.QueryLastDocInfo();
    EXPECT_EQ(drv.Sent(), Request('J', ""));
    EXPECT_EQ(std::tuple(drv.LastDocType(), drv.LastDocOper(), drv.LastDocNumber(),
                         drv.LastRecNumber(), drv.LastRepNumber(), drv.GetLastDocHour()),
              std::tuple(motBuying, 7, 123, 45, 3, 10));
    EXPECT_EQ(drv.LastDocDate(), Date(2026, 12, 6, 10, 15));
    EXPECT_EQ(std::pair(drv.LastDocSum(), drv.LastBuyingSum()),
              std::pair(money("200.56"), money("10.00")));
    // The 42-byte answer of generation 1 has no receipt or report number and
    // no buying sum.
    drv.Connect(1);
    // clang-format off
    drv.Answers = {Done('J', "01\0" "00124\0"s + dated + "0A\0"s + Sum("5.5"))};
    // clang-format on
    drv.QueryLastDocInfo();
    EXPECT_EQ(std::tuple(drv.LastDocType(), drv.LastDocSum(), drv.LastRecNumber(),
                         drv.LastRepNumber(), drv.LastBuyingSum()),
              std::tuple(motVoid, money("5.50"), 0, 0, TKestCurrency()));
    // The short form of the 207.1F-MD from 3.0: six-digit document numbers.
    Attach(drv, MD3);
    // clang-format off
    drv.Answers = {Done('J', "02\0" "123456\0"s + dated + "0c\0"s + Sum("1") + "00046\0"s)};
    // clang-format on
    TKestOperType oper = motUnknown;
    EXPECT_EQ(drv.Call([&] { return drv.InternalDocNumber(oper); }), 123456);
    EXPECT_EQ(oper, motRefundCashless);
    // Nothing printed yet: every output is zero.
    Attach(drv, G3);
    const std::string none = Pad("", 23) + "FF" + Pad("", 23);
    drv.Answers = {Done('J', none), Done('J', none)};
    drv.QueryLastDocInfo();
    EXPECT_EQ(std::tuple(drv.LastDocType(), drv.LastDocNumber(), drv.LastDocOper(),
                         drv.LastDocDate(), drv.LastDocSum()),
              std::tuple(motUnknown, 0, 0, 0.0, TKestCurrency()));
    EXPECT_EQ(drv.Call([&] { return drv.InternalDocNumber(); }), 0);
    drv.Sent();

    // The 36-byte resources of generation 3; no time: no shift date at all; the
    // journal's rest only with a journal.
    // clang-format off
    const std::string counts = "0005\0" "1234\0" "00010\0" "00011\0" "06122026\0"s;
    const std::string noTime = counts + "\0\0\0\0\0" "0077\0"s;
    // clang-format on
    drv.Answers = {Done('D', counts + "1015\0"s)};
    drv.QueryResourceInfo();
    EXPECT_EQ(std::tuple(drv.RewritesRemain(), drv.DaysRemain(), drv.LastFiscalReport(),
                         drv.LastDayClosing(), drv.EKLZRest()),
              std::tuple(5, 1234, 10, 11, 0));
    EXPECT_EQ(drv.DayDate(), Date(2026, 12, 6, 10, 15));
    Attach(drv, G8);
    drv.Answers = {Done('D', noTime)};
    drv.QueryResourceInfo();
    EXPECT_EQ(std::pair(drv.DayDate(), drv.EKLZRest()), std::pair(0.0, 77));
    Attach(drv, G1);
    drv.Answers = {Done('D', noTime)};
    drv.QueryResourceInfo();
    EXPECT_EQ(drv.EKLZRest(), 0);
    EXPECT_EQ(drv.Sent(), Request('D', "\0\0"s) + Request('D', "\0\0"s) + Request('D', "0\0"s));

    Attach(drv, G3);
    // clang-format off
    drv.Answers = {Done('M', "1\0" "18.00\0"s + Pad("\x8D\x84\x91", 20) + "\0" "01012026\0" "0000\0"s),
                   Done('H', "06122026\0" "2359\0"s)};
    // clang-format on
    EXPECT_EQ(drv.QueryTax(1), 1800);
    EXPECT_EQ(drv.TaxName(), u"НДС");
    EXPECT_EQ(drv.TaxDate(), Date(2026, 1, 1));
    EXPECT_EQ(drv.QueryEcrDateTime(), Date(2026, 12, 6, 23, 59));
    EXPECT_EQ(drv.GetEcrMin(), 59);
    EXPECT_EQ(drv.Sent(), Request('M', "1\0"s) + Request('H', ""));
}

TEST(Services, ParametersStatusWordsAndCounters) {
    TServiceLine drv;
    Attach(drv, G3);
    drv.Answers = {Done('\\', Parameter("307", "1234567")), Done('\\', Parameter("316", "0")),
                   Done('\\', Parameter("310", "30"))};
    EXPECT_EQ(drv.QuerySerialNumber(), u"1234567");
    EXPECT_EQ(drv.SerialNumber(), u"1234567");
    EXPECT_TRUE(drv.QueryAutocut());  // 0 means on
    EXPECT_EQ(drv.QueryPrinterTimeout(), 30);
    EXPECT_EQ(drv.Sent(),
              Request('\\', "307\0"s) + Request('\\', "316\0"s) + Request('\\', "310\0"s));
    // The journal's status word, and the extended device status of a 207.1K.
    Attach(drv, G8);
    drv.Answers = {Done('\\', Parameter("318", "0068")), Done('\\', Parameter("318", "8027")),
                   Done('\\', Parameter("306", "0C00000000"))};
    drv.EKLZQueryStatus();
    EXPECT_EQ(
        std::tuple(drv.EKLZActivated(), drv.EKLZDayOpened(), drv.EKLZOper(), drv.EKLZArchiving(),
                   drv.EKLZReporting(), drv.EKLZFatalError(), drv.EKLZAttention()),
        std::tuple(true, true, motSale, false, false, false, false));
    drv.EKLZQueryStatus();
    EXPECT_EQ(std::tuple(drv.EKLZActivated(), drv.EKLZDayOpened(), drv.EKLZOper(),
                         drv.EKLZArchiving(), drv.EKLZAttention()),
              std::tuple(false, false, motBuyingRefund, true, true));
    drv.QueryDevExStatus();
    EXPECT_EQ(drv.Sent(),
              Request('\\', "318\0"s) + Request('\\', "318\0"s) + Request('\\', "306\0"s));
    for (int bit : {0, 1, 14, 30})
        EXPECT_EQ(drv.CheckDevStatus(bit), 1) << bit;
    EXPECT_EQ(drv.CheckDevStatus(2), -1);

    // Counters 0..10 in the answer's order, count 100 + n, sum n.50.
    std::string counters = Sum("12.00") + Sum("11.00");
    for (int n : {0, 1, 2, 4, 5, 6, 8, 9, 10, 3})
        counters += "00" + std::to_string(100 + n) + '\0' + Sum(std::to_string(n) + ".50");
    counters += Pad("", 80);
    ASSERT_EQ(counters.size(), 332u);
    const std::string fetch = Request('L', "");
    const auto counter = [&](int Number, bool Snapshot) {
        const std::string sum = drv.QueryCounter(Number, Snapshot).ToString();
        return std::pair(sum, drv.CounterCount());
    };
    Attach(drv, G1);
    drv.Answers = {Done('L', counters)};
    EXPECT_EQ(counter(4, true), std::pair("4.50"s, 104));
    EXPECT_EQ(drv.Sent(), fetch);
    // Served from the snapshot.
    EXPECT_EQ(counter(3, true), std::pair("3.50"s, 103));
    EXPECT_EQ(counter(12, true), std::pair("12.00"s, 0));
    EXPECT_EQ(drv.Sent(), "");
    // Invalidated, or not to be used: fetched again.
    drv.InvalidateCounters();
    drv.Answers = {Done('L', counters), Done('L', counters)};
    EXPECT_EQ(counter(11, true).first, "11.00");
    EXPECT_EQ(counter(10, false).first, "10.50");
    EXPECT_EQ(drv.Sent(), fetch + fetch);
    // Counter 7 is refused once the counters are read.
    drv.Answers = {Done('L', counters)};
    EXPECT_THROW(drv.QueryCounter(7, false), EKestInvalidArg);
    EXPECT_EQ(drv.ErrCodeEx(), 43);
    EXPECT_EQ(drv.ErrMessage(),
              u"Неверное значение аргумента:\r\nномер счетчика не поддерживается ККМ");
    EXPECT_EQ(drv.Sent(), fetch);
    // A failed fetch leaves no snapshot to serve from; nor does Close.
    drv.Answers = {AnswerFrame('L', "0000", "0001", "08"), Done('L', counters)};
    EXPECT_THROW(drv.QueryCounter(1, false), EKestEcrError);
    EXPECT_EQ(counter(1, true).first, "1.50");
    drv.Close(true);
    Attach(drv, G1);
    drv.Sent();
    drv.Answers = {Done('L', counters)};
    drv.QueryCounter(1, true);
    EXPECT_EQ(drv.Sent(), fetch);
}

TEST(Services, MalformedAnswersKeepProperties) {
    // clang-format off
    const std::string dated = "06122026\0" "1015\0"s;
    const std::string lastDoc = "01\0" "00123\0"s + dated + "01\0"s + Sum("5") + "00045\0"s;
    // clang-format on
    const auto changed = [](std::string Text, size_t At, const std::string& By) {
        return Text.replace(At, By.size(), By);
    };
    const auto serial = [](auto& d) { d.QuerySerialNumber(); };
    const auto last = [](auto& d) { d.QueryLastDocInfo(); };
    // clang-format off
    const std::string shortDoc = "01\0" "000123\0"s + dated + "01\0"s + Sum("5") + "00045\0"s;
    const std::string tax = "1\0" "18.00\0"s + Pad("", 21) + "01012026\0"s + Pad("", 5);
    const std::string counter = "5\0\0\0" "00001\0"s + Sum("1");
    // clang-format on
    struct TCase {
        const char* What;
        TRegister Register;
        char Cmd;
        std::function<void(TServiceLine&)> Call;
        std::string Good, Bad;
        int ErrCodeEx;
    };
    // clang-format off
    const TCase cases[] = {
        {"echo of \\", G3, '\\', serial, Parameter("307", "1"), Parameter("308", "2"), 6},
        {"separator of \\", G3, '\\', serial, Parameter("307", "1"), "307x" + Pad("2", 40) + '\0', 5},
        {"title echo, generation 2", G2, '\\', [](auto& d) { d.QueryTitle(7); },
         "007\0"s + Pad("", 21), "008\0"s + Pad("", 21), 6},
        {"document type 0B", G3, 'J', last, lastDoc, changed(lastDoc, 23, "0B"), 8},
        {"document type 1A", G3, 'J', last, lastDoc, changed(lastDoc, 23, "1A"), 8},
        {"document type 0G, not hexadecimal", G3, 'J', last, lastDoc, changed(lastDoc, 23, "0G"), 2},
        {"buying in the short form", MD3, 'J', last, shortDoc, changed(shortDoc, 24, "0D"), 8},
        {"document date", G3, 'J', last, lastDoc, changed(lastDoc, 9, "31022026"), 3},
        {"shift time", G3, 'D', [](auto& d) { d.QueryResourceInfo(); },
         Pad("", 22) + "06122026\0" "1015\0"s, Pad("", 22) + "06122026\0" "2460\0"s, 4},
        {"tax rate", G3, 'M', [](auto& d) { d.QueryTax(1); }, tax, changed(tax, 3, "x"), 1},
        {"counter echo", G6, 'U', [](auto& d) { d.QueryCounter(5); }, counter, changed(counter, 0, "6"), 6},
        {"clock separator", G3, 'H', [](auto& d) { d.QueryEcrDateTime(); }, dated,
         changed(dated, 8, "x"), 5},
        {"journal status word", G8, '\\', [](auto& d) { d.EKLZQueryStatus(); },
         Parameter("318", "0068"), Parameter("318", "00G8"), 2},
        {"extended status echo", G8, '\\', [](auto& d) { d.QueryDevExStatus(); },
         Parameter("306", "0C00000000"), Parameter("307", "0000000000"), 6},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TServiceLine drv;
        Attach(drv, c.Register);
        drv.Answers = {Done(c.Cmd, c.Good)};
        ASSERT_NO_THROW(c.Call(drv)) << kest::ToUtf8(drv.ErrMessage());
        const std::string before = Props(drv);
        drv.Answers = {Done(c.Cmd, c.Bad)};
        EXPECT_THROW(c.Call(drv), EKestBadResponse);
        EXPECT_EQ(drv.ErrCodeEx(), c.ErrCodeEx);
        EXPECT_EQ(Props(drv), before);
    }
}

TEST(Services, DevExStatusFromAPrinterNotice) {
    TServiceLine drv;
    Attach(drv, G8);
    bool extended = false;
    drv.OnPrinterError = [&](TKestorFPrt& d) {
        d.QueryDevExStatus();
        extended = d.CheckDevStatus(30) == 1 && d.CheckDevStatus(0) == 1;
        d.SetRetryOperation(true);
    };
    // Noise before the answer frame is dropped.
    // clang-format off
    drv.Answers = {"\x05" "0A", "\x06\x06" + Done('\\', Parameter("306", "0C00000000")), Done('K')};
    // clang-format on
    drv.Exchange('K', nullptr, mctExternal);
    // The frame of "K", then the in-wait request alone, then the retry.
    ASSERT_EQ(drv.Written.size(), 6u);
    EXPECT_EQ(drv.Written[4], "\x07");
    EXPECT_EQ(drv.Written[5], "\x04");
    EXPECT_TRUE(extended);
    EXPECT_EQ(drv.ErrCode(), 0);
    // The status came on the internal time-out; the printing command went on
    // waiting on the external one.
    EXPECT_NE(std::ranges::find(drv.ReadTimeouts, 1000), drv.ReadTimeouts.end());
    EXPECT_EQ(drv.ReadTimeouts.back(), 30000);
    EXPECT_FALSE(drv.TimeoutInForce());
}

TEST(Services, SynchronizeEcrDateTime) {
    // clang-format off
    const std::string first = Request('G', "06122026\0" "2359\0"s);
    const std::string second = Request('G', "07122026\0" "0000\0"s);
    // clang-format on
    TServiceLine drv;
    Attach(drv, G1);
    drv.Clock = {Date(2026, 12, 6, 23, 59), Date(2026, 12, 6, 23, 59) + 0.5 / 86400};
    drv.Answers = {Done('G'), Done('G')};
    drv.SynchronizeEcrDateTime();
    EXPECT_EQ(drv.Sent(), first + first);
    // Midnight between the first two readings: a third command.
    drv.Clock = {Date(2026, 12, 6, 23, 59), Date(2026, 12, 7), Date(2026, 12, 7)};
    drv.Answers = {Done('G'), Done('G'), Done('G')};
    drv.SynchronizeEcrDateTime();
    EXPECT_EQ(drv.Sent(), first + second + second);
    EXPECT_TRUE(drv.Clock.empty());
}

TEST(Services, RefusedBeforeAnythingIsSent) {
    const auto unsup = [](std::u16string_view Detail) {
        return u"Операция не поддерживается используемой ККМ:\r\n" + std::u16string(Detail);
    };
    const auto ia = [](std::u16string_view Detail) {
        return u"Неверное значение аргумента:\r\n" + std::u16string(Detail);
    };
    const TRegister none{0};
    const std::u16string closed = u"Соединение с ККМ не открыто";
    const std::u16string queryParams = unsup(u"запрос параметров ККМ");
    const std::u16string taxes = unsup(u"чтение / изменение программируемых налоговых ставок");
    const std::u16string titles = unsup(u"чтение / изменение программируемых заголовков");
    const std::u16string graphic = unsup(u"использование графического клише");
    const std::u16string timeout = ia(u"неверное значение таймаута");
    const std::u16string protocol = ia(u"неверный тип протокола");
    const std::u16string counter = ia(u"неверный номер счетчика ККМ");
    const std::u16string picture = ia(u"неверные данные графического клише");
    const std::u16string record = ia(u"неверный номер фискальной записи");
    const std::u16string serial = ia(u"неверный серийный номер ККМ");
    const std::u16string date = ia(u"дата задана неверно");
    struct TCase {
        const char* What;
        TRegister Register;
        std::function<void(TServiceLine&)> Call;
        int ErrCode, ErrCodeEx;
        std::u16string Message;
    };
    // clang-format off
    const TCase cases[] = {
        // Not connected; the setters look at their argument first.
        {"QueryTax", none, [](auto& d) { d.QueryTax(0); }, 2, 0, closed},
        {"SetAutocut", none, [](auto& d) { d.SetAutocut(true); }, 2, 0, closed},
        {"EKLZActivate", none, [](auto& d) { d.EKLZActivate(); }, 2, 0, closed},
        {"SetProtocol unknown", none, [](auto& d) { d.SetProtocol(mprUnknown); }, 14, 5, protocol},
        {"SetPrinterTimeout 901", none, [](auto& d) { d.SetPrinterTimeout(901); }, 14, 4, timeout},
        // Parameters
        {"QueryPrinterTimeout g2", G2, [](auto& d) { d.QueryPrinterTimeout(); }, 6, 0, queryParams},
        {"QueryDisplayTimeout g8", G8, [](auto& d) { d.QueryDisplayTimeout(); }, 6, 0, queryParams},
        {"QueryFullJournal g3", G3, [](auto& d) { d.QueryFullJournal(); }, 6, 0, queryParams},
        {"SetPrinterTimeout g6", G6, [](auto& d) { d.SetPrinterTimeout(900); }, 6, 0, unsup(u"установка параметров ККМ")},
        {"SetDisplayTimeout -1", G3, [](auto& d) { d.SetDisplayTimeout(-1); }, 14, 4, timeout},
        {"SetPrinterContrast 8", G3, [](auto& d) { d.SetPrinterContrast(8); }, 14, 45, ia(u"неверная степень контрастности принтера")},
        {"SetLeading 256", G3, [](auto& d) { d.SetLeading(256); }, 14, 46, ia(u"неверное значение межстрочного интервала")},
        {"SetParameters 901 g1", G1, [](auto& d) { d.SetParameters(mprBS, 901); }, 14, 4, timeout},
        {"SetParameters unknown g1", G1, [](auto& d) { d.SetParameters(mprUnknown, 30); }, 14, 5, protocol},
        {"SetParameters unknown g3", G3, [](auto& d) { d.SetParameters(mprUnknown, 30); }, 14, 5, protocol},
        // Queries
        {"QueryDevExStatus 207.1F 2.0", G2, [](auto& d) { d.Identify(0x0200), d.QueryDevExStatus(); }, 6, 0, unsup(u"запрос расширенного статуса устройства")},
        {"QueryTax g2", G2, [](auto& d) { d.QueryTax(0); }, 6, 0, taxes},
        {"QueryTax 5", G3, [](auto& d) { d.QueryTax(5); }, 14, 27, ia(u"неверное значение индекса налоговой ставки")},
        {"QueryCounter 1000 g6", G6, [](auto& d) { d.QueryCounter(1000); }, 14, 42, counter},
        {"QueryCounter 10000 g3", G3, [](auto& d) { d.QueryCounter(10000); }, 14, 42, counter},
        {"QueryResourceInfo printing g7", G7, [](auto& d) { d.QueryResourceInfo(true); }, 6, 0, unsup(u"распечатка информации о свободных ресурсах")},
        {"QuerySerialNumber g2", G2, [](auto& d) { d.QuerySerialNumber(); }, 6, 0, unsup(u"чтение серийного номера ККМ")},
        {"QueryTaxPayerNumber g1", G1, [](auto& d) { d.QueryTaxPayerNumber(); }, 6, 0, unsup(u"чтение ИНН владельца ККМ")},
        {"QueryRegNumber g2", G2, [](auto& d) { d.QueryRegNumber(); }, 6, 0, unsup(u"чтение регистрационного номера ККМ")},
        // Texts
        {"QueryHeaderLine g2", G2, [](auto& d) { d.QueryHeaderLine(1); }, 6, 0, unsup(u"чтение строк клише")},
        {"QueryHeaderLine 5", G3, [](auto& d) { d.QueryHeaderLine(5); }, 14, 29, ia(u"неверный номер строки клише")},
        {"QueryTitle g1", G1, [](auto& d) { d.QueryTitle(0); }, 6, 0, titles},
        {"QueryTitle 1000", G2, [](auto& d) { d.QueryTitle(1000); }, 14, 39, ia(u"неверный номер программируемого заголовка")},
        {"SetTitle g1", G1, [](auto& d) { d.SetTitle(1000, u""); }, 6, 0, titles},
        {"QueryDepartName 100", G7, [](auto& d) { d.QueryDepartName(100); }, 14, 22, ia(u"неверный номер отдела")},
        {"SetDepartName g8", G8, [](auto& d) { d.SetDepartName(1, u""); }, 6, 0, unsup(u"чтение / изменение наименований отделов")},
        {"QueryOperName 100", G3, [](auto& d) { d.QueryOperName(100); }, 14, 6, ia(u"неверный номер оператора")},
        {"QueryOperName g6", G6, [](auto& d) { d.QueryOperName(0); }, 6, 0, queryParams},
        {"SetSerialNumber 8 digits", G2, [](auto& d) { d.SetSerialNumber(u"12345678"); }, 14, 40, serial},
        {"SetSerialNumber letter", G3, [](auto& d) { d.SetSerialNumber(u"12a"); }, 14, 40, serial},
        {"SetSerialNumber g1", G1, [](auto& d) { d.SetSerialNumber(u"1"); }, 6, 0, unsup(u"изменение серийного номера ККМ")},
        {"SetTax g2", G2, [](auto& d) { d.SetTax(5, u"", 1); }, 6, 0, taxes},
        {"SetTax rate", G3, [](auto& d) { d.SetTax(0, u"", 10000); }, 14, 41, ia(u"неверное значение налоговой ставки")},
        // Clock
        {"SetEcrDateTime 1999", G1, [](auto& d) { d.Call([&] { d.SetEcrDateTime(Date(1999, 12, 31)); }); }, 14, 33, date},
        // Graphic header
        {"EnableGraphicHeader g8", G8, [](auto& d) { d.EnableGraphicHeader(1, 1, u"00"); }, 6, 0, graphic},
        {"DisableGraphicHeader g6", G6, [](auto& d) { d.DisableGraphicHeader(); }, 6, 0, graphic},
        {"width 71", G3, [](auto& d) { d.EnableGraphicHeader(71, 1, u"00"); }, 14, 48, ia(u"неверная ширина графического клише")},
        {"height 0", G3, [](auto& d) { d.EnableGraphicHeader(1, 0, u""); }, 14, 49, ia(u"неверная высота графического клише")},
        {"text too short", G3, [](auto& d) { d.EnableGraphicHeader(2, 1, u"5AF"); }, 14, 50, picture},
        {"letter G", G3, [](auto& d) { d.EnableGraphicHeader(1, 1, u"G0"); }, 14, 50, picture},
        {"bytes too few", G3, [](auto& d) { d.EnableGraphicHeader(2, 2, std::vector<uint8_t>(3)); }, 14, 50, picture},
        // Protected journal
        {"EKLZDayReport without journal", G3, [](auto& d) { d.EKLZDayReport(1); }, 6, 0, unsup(u"работа с ЭКЛЗ")},
        {"EKLZDayReport 0", G8, [](auto& d) { d.EKLZDayReport(0); }, 14, 44, record},
        {"EKLZReportByNum last", G8, [](auto& d) { d.EKLZReportByNum(true, 1, 10000); }, 14, 44, record},
        {"EKLZDocByNum", G7, [](auto& d) { d.EKLZDocByNum(100000000); }, 14, 44, record},
        {"EKLZReportByDate 1999", G8, [](auto& d) { d.EKLZReportByDate(true, Date(1999, 12, 31), Date(2000, 1, 1)); }, 14, 33, date},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TServiceLine drv;
        if (c.Register.Generation != 0) Attach(drv, c.Register);
        drv.Clock = {Date(2026, 12, 6)};
        const std::string before = Props(drv);
        EXPECT_THROW(c.Call(drv), EKestError);
        EXPECT_EQ(drv.ErrCode(), c.ErrCode);
        EXPECT_EQ(drv.ErrCodeEx(), c.ErrCodeEx);
        EXPECT_EQ(drv.ErrMessage(), c.Message);
        EXPECT_TRUE(drv.Written.empty());
        EXPECT_EQ(Props(drv), before);
    }
}

}  // namespace kest::test::services
