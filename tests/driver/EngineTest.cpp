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
const TRegister G1{1}, G2{2}, G3{3}, G6{6}, G8{8, mem207_1K, 0, true}, MD2{3, mem207_1FMD, 0x0205},
    MD3{3, mem207_1FMD, 0x0300};

TEST(Engine, RequestFramesAndTimeouts) {
    // "7" from password 5862 to 1234: STX alone, command and password, data, BCC, ETX.
    TServiceLine drv;
    drv.Connect(1);
    // clang-format off
    drv.Answers = {"\x02" "7\0" "0000\0" "0000\0" "08\0" "1F\x03"s};
    // clang-format on
    drv.SetPassword(u"1234");
    // clang-format off
    EXPECT_EQ(drv.Sent(), "\x02" "75862\0" "1234\0" "D6\x03"s);
    // clang-format on
    EXPECT_EQ(drv.Password(), u"1234");
    drv.SetPassword(u"1234");  // unchanged: nothing is sent
    EXPECT_TRUE(drv.Written.empty());
    // 57600 and up only on generations 3 and 7.
    EXPECT_THROW(drv.SetBaudRate(57600), EKestInvalidArg);
    EXPECT_EQ(drv.ErrCodeEx() + drv.Written.size(), 3u);
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
    EXPECT_EQ(std::pair(drv.ReadTimeouts[0], drv.ReadTimeouts[1]), std::pair(1000, 30000));

    // Baud-rate codes on generation 3; ACKs keep the internal time-out there.
    TServiceLine g3;
    g3.Connect(3);
    g3.Answers = {"\x06\x06\x06" + Done('7')};
    g3.SetPassword(u"1234");
    EXPECT_EQ(std::ranges::count(g3.ReadTimeouts, 1000), std::ssize(g3.ReadTimeouts));
    g3.Sent();
    // clang-format off
    g3.Answers = {AnswerFrame('C', "0000", "0000", "08")};
    g3.SetBaudRate(57600);
    EXPECT_EQ(g3.Sent(), "\x02" "C1234\0" "2\0" "3F\x03"s);
    // clang-format on
    EXPECT_EQ(g3.BaudRate(), 57600);

    // Passwords the register cannot hold; any four characters of its code page
    // reach it as they are.
    EXPECT_THROW(g3.SetPassword(u"12€"), EKestInvalidArg);
    EXPECT_EQ(g3.ErrMessage(), u"Неверное значение аргумента:\r\nневерный пароль связи с ККМ");
    EXPECT_TRUE(g3.Written.empty());
    g3.Answers = {Done('7')};
    g3.SetPassword(u"Ключ");
    EXPECT_EQ(g3.Password(), u"Ключ");
    EXPECT_EQ(g3.Sent().substr(7, 5), "\x8A\xAB\xEE\xE7\0"s);
}

// A new password whose answer got lost: the driver asks the register with the
// new password, then, refused for the password, with the old one, and keeps
// the one the register takes.
TEST(Engine, PasswordWhoseAnswerGotLostFollowsTheRegister) {
    const std::string refusedPassword = AnswerFrame('E', "0000", "0012", "08");
    const std::string refusedOther = AnswerFrame('E', "0000", "0001", "08");
    for (const auto& [probe, kept] :
         {std::pair{refusedOther, u"1234"}, {refusedPassword, u"5862"}}) {
        TServiceLine d;
        d.Connect(3);
        d.Answers = {"", probe, refusedOther};
        EXPECT_THROW(d.SetPassword(u"1234"), EKestNoResponse);
        EXPECT_EQ(d.Password(), kept);
    }
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
    EXPECT_EQ(std::tuple(drv.ErrCodeEx(), asked, during, drv.ConnState()),
              std::tuple(10, 1, mcsPrinterError, mcsIdle));
    // The cancel is sent on the external time-out; raw device byte 0x0A: bits 1 and 3.
    EXPECT_EQ(std::tuple(drv.Written.back(), drv.ReadTimeouts.back(), drv.CheckDevStatus(18)),
              std::tuple("\x01", 30000, -1));

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
    EXPECT_EQ(std::tuple(drv.Written.back(), drv.ErrCode(), drv.ErrMessage()),
              std::tuple("\x01", 999, u"нет бумаги"));

    // A call of the handler's own that fails, caught there: the command goes
    // on and succeeds, so it reports no error, not the handler's call's.
    drv.OnPrinterError = [](TKestorFPrt& d) {
        EXPECT_THROW(d.SetPassword(u"123456"), EKestInvalidArg);
        d.SetRetryOperation(true);
    };
    drv.Answers = {notice, Done('K')};
    drv.Exchange('K', nullptr, mctExternal);
    EXPECT_EQ(std::pair(drv.ErrCode(), drv.ErrMessage()), std::pair(0, u"Нет ошибки"s));
}

TEST(Engine, Answers) {
    // The line's faults on whole answers are the fault matrix's; these are
    // the checks it does not reach.
    const std::string ok = Done('E', "12\0"s);
    std::string noEtx = ok;
    noEtx.back() = 'x';
    const std::tuple<const char*, std::string, int, int> refused[] = {
        {"ETX in the header", ok.substr(0, 5) + "\x03" + ok.substr(6), 15, 5},
        {"not closed by ETX", noEtx, 15, 6},
        {"hex in the status", AnswerFrame('E', "00G0", "0000", "08", "12\0"s), 15, 2},
        {"register error", AnswerFrame('E', "0001", "0002", "08"), 18, 2}};
    std::string out(3, '?');
    for (const auto& [what, answer, code, codeEx] : refused) {
        SCOPED_TRACE(what);
        TServiceLine drv;
        drv.Connect(3);
        drv.Answers = {answer};
        EXPECT_THROW(drv.Exchange('E', &out), EKestError);
        EXPECT_EQ(std::pair(drv.ErrCode(), drv.ErrCodeEx()), std::pair(code, codeEx));
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
}

TEST(Services, GoldenRequests) {
    const TKestDateTime day = Date(2026, 12, 6);
    // clang-format off
    const std::string head = "1\0\0\0\0" "1\0\0\0\0"s;
    // clang-format on
    const auto rewrite = [&](auto& d) {
        d.Call([&] { d.FiscalRewriteDate(u"A", u"B", u"0123456789ABC", u"DEFGHI", day); });
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
        {"SetDepartName 0", G3, [](auto& d) { d.SetDepartName(0, u"A"); }, {Done('V')}, Request('V', "0\0\0"s + Pad("A", 41))},
        {"SetPrinterContrast 7", G3, [](auto& d) { d.SetPrinterContrast(7); }, {Done('W')},
         Request('W', "7\0\0\0" "0003\0"s)},
        {"QueryTitle 7, generation 2", G2, [](auto& d) { d.QueryTitle(7); },
         {Done('\\', "007\0"s + Pad("Итог", 20) + '\0')}, Request('\\', "007\0"s)},
        {"QueryTitle 7, generation 3", G3, [](auto& d) { d.QueryTitle(7); },
         {Done('\\', Parameter("7", ""))}, Request('\\', "7\0\0\0"s)},
        {"SetTaxDate, rate 1800", G3, [&](auto& d) { d.Call([&] { d.SetTaxDate(1, u"НДС", 1800, day); }); },
         {Done('F')}, Request('F', "1\0" "18.00\0"s + Pad("\x8D\x84\x91", 21) + "06122026\0"s)},
        {"SetTaxDate, the highest index and rate", G3, [&](auto& d) { d.Call([&] { d.SetTaxDate(4, u"", 9999, day); }); },
         {Done('F')}, Request('F', "4\0" "99.99\0"s + Pad("", 21) + "06122026\0"s)},
        {"EKLZDayReport 12", G8, [](auto& d) { d.EKLZDayReport(12); }, {Done('Y')},
         Request('Y', Pad("1\0" "12"s, 20))},
        {"EKLZReportByDate", G8, [](auto& d) { d.EKLZReportByDate(false, Date(2026, 1, 2), Date(2025, 12, 31)); },
         {Done('Y')}, Request('Y', "5\0" "02012026\0" "31122025\0"s)},
        {"FiscalRewrite, other models", G3, rewrite, {Done('A', "1\0"s)},
         Request('A', Pad("A", 6) + Pad("B", 9) + Pad("0123456789AB", 13) + "06122026\0"s + Pad("DEFGH", 6))},
        {"FiscalRewrite, 207.1F-MD before 3.0", MD2, rewrite, {Done('A', "1\0"s)},
         Request('A', Pad("A", 6) + Pad("B", 9) + Pad("0123456789ABC", 14) + "06122026\0"s + Pad("DEFGH", 6))},
        {"FiscalRewrite, 207.1F-MD", MD3, rewrite, {Done('A', "1\0"s)},
         Request('A', Pad("A", 6) + Pad("B", 11) + Pad("0123456789ABC", 14) + "06122026\0"s + Pad("DEFGH", 6))},
        {"picture byte 0x5A", G3, [](auto& d) { d.EnableGraphicHeader(1, 1, std::vector<uint8_t>{0x5A}); },
         {Done('3')}, Request('3', head + "00\0" "5A\0"s)},
        {"DisableGraphicHeader", G3, [](auto& d) { d.DisableGraphicHeader(); }, {Done('3')},
         Request('3', head + "80\0\0\0\0"s)},
        {"QueryCounter 1000, generation 3", G3, [](auto& d) { d.QueryCounter(1000); },
         {Done('U', "1000\0" "00007\0"s + Sum("1.00"))}, Request('U', "1000\0"s)},
        {"QueryResourceInfo printing, generation 1", G1, [](auto& d) { d.QueryResourceInfo(true); },
         {Done('D', Pad("", 41))}, Request('D', "1\0"s)},
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
    EXPECT_EQ(std::pair(drv.Written[2].size(), drv.Written[3]), std::pair(size_t{13}, "0AFF\0"s));
    drv.Sent();
    // The time-out flags are cleared also when the register refuses.
    drv.Answers = {AnswerFrame('3', "0000", "0005", "08")};
    EXPECT_THROW(drv.EnableGraphicHeader(70, 120, std::u16string(16800, u'F')), EKestEcrError);
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

    // Resources without a time: no shift date at all; the journal's rest.
    // clang-format off
    Attach(drv, G8);
    drv.Answers = {Done('D', "0005\0" "1234\0" "00010\0" "00011\0" "06122026\0" "\0\0\0\0\0" "0077\0"s)};
    // clang-format on
    drv.QueryResourceInfo();
    EXPECT_EQ(std::tuple(drv.RewritesRemain(), drv.LastDayClosing(), drv.DayDate(), drv.EKLZRest()),
              std::tuple(5, 11, 0.0, 77));
    EXPECT_EQ(drv.Sent(), Request('D', "\0\0"s));

    Attach(drv, G3);
    // clang-format off
    drv.Answers = {Done('M', "1\0" "18.00\0"s + Pad("\x8D\x84\x91", 20) + "\0" "01012026\0" "0000\0"s)};
    // clang-format on
    EXPECT_EQ(drv.QueryTax(1), 1800);
    EXPECT_EQ(std::tuple(drv.TaxName(), drv.TaxDate(), drv.Sent()),
              std::tuple(u"НДС", Date(2026, 1, 1), Request('M', "1\0"s)));
}

TEST(Services, ParametersStatusWordsAndCounters) {
    TServiceLine drv;
    Attach(drv, G3);
    drv.Answers = {Done('\\', Parameter("316", "0"))};
    EXPECT_TRUE(drv.QueryAutocut());  // 0 means on
    EXPECT_EQ(drv.Sent(), Request('\\', "316\0"s));
    // The journal's status word, and the extended device status of a 207.1K.
    Attach(drv, G8);
    drv.Answers = {Done('\\', Parameter("318", "8027")),
                   Done('\\', Parameter("306", "0C00000000"))};
    drv.EKLZQueryStatus();
    EXPECT_EQ(std::tuple(drv.EKLZActivated(), drv.EKLZDayOpened(), drv.EKLZOper(),
                         drv.EKLZArchiving(), drv.EKLZAttention()),
              std::tuple(false, false, motBuyingRefund, true, true));
    drv.QueryDevExStatus();
    EXPECT_EQ(drv.Sent(), Request('\\', "318\0"s) + Request('\\', "306\0"s));
    EXPECT_EQ(std::pair(drv.CheckDevStatus(14), drv.CheckDevStatus(2)), std::pair(1, -1));

    // Counters 0..10 in the answer's order, count 100 + n, sum n.50.
    std::string counters = Sum("12.00") + Sum("11.00");
    for (int n : {0, 1, 2, 4, 5, 6, 8, 9, 10, 3})
        counters += "00" + std::to_string(100 + n) + '\0' + Sum(std::to_string(n) + ".50");
    counters += Pad("", 80);
    const std::string fetch = Request('L', "");
    Attach(drv, G1);
    drv.Answers = {Done('L', counters)};
    EXPECT_EQ(drv.QueryCounter(4, true).ToString(), "4.50");
    EXPECT_EQ(drv.CounterCount(), 104);
    EXPECT_EQ(drv.QueryCounter(3, true).ToString(), "3.50");  // from the snapshot
    EXPECT_EQ(drv.Sent(), fetch);
    // Invalidated: fetched again; counter 7 is refused once they are read.
    drv.InvalidateCounters();
    drv.Answers = {Done('L', counters), Done('L', counters)};
    EXPECT_EQ(drv.QueryCounter(11, true).ToString(), "11.00");
    EXPECT_THROW(drv.QueryCounter(7, false), EKestInvalidArg);
    EXPECT_EQ(drv.ErrMessage(),
              u"Неверное значение аргумента:\r\nномер счетчика не поддерживается ККМ");
    // A failed fetch leaves no snapshot to serve from.
    drv.Answers = {AnswerFrame('L', "0000", "0001", "08"), Done('L', counters)};
    EXPECT_THROW(drv.QueryCounter(1, false), EKestEcrError);
    EXPECT_EQ(drv.QueryCounter(1, true).ToString(), "1.50");
    EXPECT_EQ(drv.Sent(), fetch + fetch + fetch + fetch);  // after the first
}

TEST(Services, MalformedAnswersKeepProperties) {
    // clang-format off
    const std::string dated = "06122026\0" "1015\0"s;
    const std::string lastDoc = "01\0" "00123\0"s + dated + "01\0"s + Sum("5") + "00045\0"s;
    // clang-format on
    const auto changed = [](std::string Text, size_t At, const std::string& By) {
        return Text.replace(At, By.size(), By);
    };
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
        {"echo of \\", G3, '\\', [](auto& d) { d.QuerySerialNumber(); }, Parameter("307", "1"), Parameter("308", "2"), 6},
        {"title echo, generation 2", G2, '\\', [](auto& d) { d.QueryTitle(7); },
         "007\0"s + Pad("", 21), "008\0"s + Pad("", 21), 6},
        {"document type 0B", G3, 'J', last, lastDoc, changed(lastDoc, 23, "0B"), 8},
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
    struct TCase {
        TRegister Register;
        std::function<void(TServiceLine&)> Call;
        int ErrCode, ErrCodeEx;
        std::u16string_view Detail;
    };
    // Not connected first: the setters look at their argument before that.
    // clang-format off
    const TCase cases[] = {
        {{0}, [](auto& d) { d.QueryTax(0); }, 2, 0, u""},
        {{0}, [](auto& d) { d.SetProtocol(mprUnknown); }, 14, 5, u"неверный тип протокола"},
        {G2, [](auto& d) { d.QueryPrinterTimeout(); }, 6, 0, u"запрос параметров ККМ"},
        {G3, [](auto& d) { d.QueryTax(5); }, 14, 27, u"неверное значение индекса налоговой ставки"},
    };
    // clang-format on
    const std::map<int, std::u16string> heads = {
        {2, u"Соединение с ККМ не открыто"},
        {6, u"Операция не поддерживается используемой ККМ:\r\n"},
        {14, u"Неверное значение аргумента:\r\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        TServiceLine drv;
        if (c.Register.Generation != 0) Attach(drv, c.Register);
        drv.Clock = {Date(2026, 12, 6)};
        const std::string before = Props(drv);
        EXPECT_THROW(c.Call(drv), EKestError);
        EXPECT_EQ(
            std::tuple(drv.ErrCode(), drv.ErrCodeEx(), drv.ErrMessage()),
            std::tuple(c.ErrCode, c.ErrCodeEx, heads.at(c.ErrCode) + std::u16string(c.Detail)));
        EXPECT_TRUE(drv.Written.empty());
        EXPECT_EQ(Props(drv), before);
    }
}

}  // namespace kest::test::services
