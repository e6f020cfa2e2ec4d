// The shift, report and device-output operations over a scripted line: the
// bytes they send, how they read the register's answers, the recovery of an
// interrupted report, the two ways raw text goes out, and what they refuse
// before sending anything. One case on a pseudo-terminal shows the register's
// XOFF and XON reaching the application through the data events.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include "Pty.h"
#endif
#include "ScriptedLine.h"

namespace {

using namespace std::string_literals;
using TBlocks = std::vector<std::string>;
using TCall = std::function<void(TScriptedLine&)>;

std::string Request(char Cmd, const std::string& Data) {
    return WithBcc(std::string(1, Cmd) + "5862\0"s + Data);
}

std::string Done(char Echo, const std::string& Data = {}, const char* Status = "0000") {
    return AnswerFrame(Echo, Status, "0000", "08", Data);
}

std::string Refused(char Echo, const char* Error) {
    return AnswerFrame(Echo, "0000", Error, "08");
}

// What the register sends, one item for each write of the driver's.
template <class... T>
std::vector<std::string> A(const T&... Items) {
    return {std::string(Items)...};
}

// A field of Size bytes, 0x00-filled, and its separator.
std::string F(const std::string& Text, size_t Size) {
    return Text + std::string(Size - Text.size(), '\0') + '\0';
}

std::string Sum(const std::string& Text) {
    return F(Text, 15);
}

// The answer of "_" (30 bytes); with the purchases total that of "5" (46 bytes).
std::string Report(const std::string& Number, const std::string& Sale) {
    return F("0012345", 7) + F(Number, 5) + Sum(Sale);
}

// The last-document answer of generations 7 (54 bytes) and 8 (70 bytes).
std::string LastDoc(int Generation, const std::string& Number, const std::string& Type = "05",
                    const std::string& DocSum = "0", const std::string& Rep = "") {
    const std::string a = F("01", 2) + F(Number, 5) + F("06122026", 8) + F("1015", 4) + F(Type, 2) +
                          Sum(DocSum) + F("1", 5) + F(Rep, 5);
    return Generation == 8 ? a + Sum("20") : a;
}

TKestDateTime Date(int Year, int Month, int Day, int Hour = 0, int Minute = 0) {
    return kest::MakeDateTime({Year, Month, Day, Hour, Minute});
}

struct TRegister {
    int Generation;
    TKestEcrModel Model = mem207_1F;
    int SubVersion = 0;
};

void Attach(TScriptedLine& D, const TRegister& R) {
    D.Connect(R.Generation, R.Model);
    D.Identify(0x0100, R.SubVersion);
}

const TRegister G1{1}, G2{2}, G3{3}, G4{4}, G6{6}, G7{7, memPCK}, G8{8, mem207_1K};

// Everything the report operations can change, as one text.
std::string Props(const TKestorFPrt& D) {
    std::ostringstream s;
    for (const auto* text :
         {&D.SerialNumber(), &D.RegNumber(), &D.TaxPayerNumber(), &D.HeaderLine1(),
          &D.HeaderLine2(), &D.HeaderLine3(), &D.HeaderLine4()})
        s << kest::ToUtf8(*text) << '|';
    for (TKestDateTime t : {D.ReportDate(), D.StartDate(), D.EndDate()})
        s << kest::FormatIso(t) << '|';
    s << D.StartNumber() << '|' << D.EndNumber() << '|' << D.LastFiscalReport() << '|'
      << D.SaleSum().ToString() << '|' << D.BuyingSum().ToString();
    return s.str();
}

TEST(Reports, GoldenRequests) {
    const std::u16string name50 = u"Иванов" + std::u16string(44, u'x');
    const std::string head = F("5", 2) + F("\x88\xA2\xA0\xAD\xAE\xA2" + std::string(34, 'x'), 40);
    const auto openDay = [&](bool Flag, TKestProtocol Protocol) -> TCall {
        return [=](auto& d) { d.OpenDay(5, name50, Flag, Protocol); };
    };
    const TCall x = [](auto& d) { d.XReport(1); };
    const TCall z = [](auto& d) { d.ZReport(1); };
    const std::string v03Report = Done('_', Report("1", "1"));
    const std::string report = Done('5', Report("1", "1") + Sum("2"));
    const std::string noRecords = Refused('B', "001F");
    struct Case {
        TRegister Register;
        TCall Call;
        std::vector<std::string> Answers;
        std::string Expected;
    };
    const Case cases[] = {
        {G1, openDay(false, mprBS), A(Done('1')), Request('1', head + F("0", 1))},
        {G3, openDay(false, mprUnknown), A(Done('1')), Request('1', head)},
        {G2, openDay(true, mprXOnXoff), A(Done('1')), Request('1', head + F("6", 1))},
        {G8, openDay(true, mprUnknown), A(Done('1')), Request('1', head + F("", 1))},
        {G3, x, A(v03Report), Request('_', F("1", 1) + F("04", 2) + F("", 2))},
        {G2, x, A(Done('5', Report("1", "1"))), Request('5', F("0", 1))},
        {G4, x, A(report), Request('5', F("4", 1))},
        {G3, z, A(v03Report), Request('_', F("0", 1) + F("04", 2) + F("", 2))},
        {G2, z, A(Done('5', Report("1", "1"))), Request('5', F("2", 1))},
        {G4, z, A(report), Request('5', F("6", 1))},
        {G7, [](auto& d) { d.XReportByDep(-1, 0); }, A(Done('J', LastDoc(7, "12")), v03Report),
         Request('J', "") + Request('_', F("3", 1) + F("00", 2) + F("", 2))},
        {G3, [](auto& d) { d.XReportByOper(5, 7); }, A(v03Report),
         Request('_', F("2", 1) + F("0C", 2) + F("5", 2))},
        {G1, [](auto& d) { d.FiscalReportByNum(u"12345", true, 9999, 1); }, A(noRecords),
         Request('B', F("12345", 5) + F("2", 1) + F("9999", 8) + F("1", 8))},
        {G3,
         [](auto& d) {
             d.FiscalReportByDate(u"", false, Date(2026, 12, 31, 23, 59), Date(2026, 1, 1));
         },
         A(noRecords), Request('B', F("", 5) + F("1", 1) + F("31122026", 8) + F("01012026", 8))},
        {G8, [](auto& d) { d.FiscalReportAll(u"0"); }, A(noRecords),
         Request('B', F("0", 5) + F("4", 1) + F("", 8) + F("", 8))},
        {G2, [](auto& d) { d.FeedAndCut(-3, true); }, A(Done('R')),
         Request('R', F("03", 2) + F("03", 2))},
        {G3, [](auto& d) { d.SetDisplayBaudRate(57600); }, A(Done('C')), Request('C', F("6", 1))},
        {G1, [](auto& d) { d.ExternalPulse(2, 10, 20, 255); }, A(Done('8')),
         Request('8', F("1", 1) + F("0A", 2) + F("14", 2) + F("FF", 2))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Expected);
        TScriptedLine drv;
        Attach(drv, c.Register);
        drv.Answers = {c.Answers.begin(), c.Answers.end()};
        try {
            c.Call(drv);
        } catch (const EKestEcrError&) {
            // The fiscal-memory requests meet a refusal: only their bytes matter here.
        }
        EXPECT_EQ(drv.Sent(), c.Expected);
        EXPECT_TRUE(drv.Answers.empty());
    }
}

TEST(Reports, ShiftReportAnswers) {
    TScriptedLine drv;
    Attach(drv, G4);
    drv.Answers = {Done('5', Report("00042", "123.45") + Sum("6.7"))};
    EXPECT_EQ(drv.ZReport(), 42);
    EXPECT_EQ(drv.SerialNumber(), u"0012345");
    EXPECT_EQ(drv.SaleSum(), TKestCurrency::Parse("123.45"));
    EXPECT_EQ(drv.BuyingSum(), TKestCurrency::Parse("6.70"));

    // The answers without a purchases total clear it.
    for (const TRegister& r : {G2, G3}) {
        Attach(drv, r);
        drv.Answers = {Done(r.Generation == 2 ? '5' : '_', Report("43", "5.5"))};
        EXPECT_EQ(drv.XReport(), 43);
        EXPECT_EQ(drv.SaleSum(), TKestCurrency::Parse("5.50"));
        EXPECT_EQ(drv.BuyingSum(), TKestCurrency());
    }

    // A malformed field leaves every property as it was.
    const std::string before = Props(drv);
    drv.Answers = {Done('_', F("0099999", 7) + F("4x", 5) + Sum("1"))};
    EXPECT_THROW(drv.XReport(), EKestBadResponse);
    EXPECT_EQ(drv.ErrCodeEx(), 1);
    EXPECT_EQ(Props(drv), before);
}

TEST(Reports, FiscalMemoryAnswerLayouts) {
    struct Case {
        const char* What;
        TRegister Register;
        size_t RegSize, TaxSize;
        bool Buying;
        size_t Size;
    };
    const Case cases[] = {
        {"A with purchases, g8", G8, 8, 12, true, 274},
        {"A without, g1", G1, 8, 12, false, 258},
        {"B, 207.1F-MD B2.0", {3, mem207_1FMD, 0x0200}, 8, 13, false, 259},
        {"C, 207.1F-MD B3.0", {3, mem207_1FMD, 0x0300}, 10, 13, false, 261},
    };
    TScriptedLine drv;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Attach(drv, c.Register);
        const std::string reg = "1234567890"s.substr(0, c.RegSize);
        const std::string tax = "1234567890123"s.substr(0, c.TaxSize);
        std::string answer = F("0012345", 7) + F(reg, c.RegSize) + F(tax, c.TaxSize) +
                             F("\x8E\x8E\x8E \x90\xAE\xAC\xA0\xE8\xAA\xA0", 40) + F("2", 40) +
                             F("3", 40) + F("4", 40) + F("06122026", 8) + F("1015", 4) +
                             F("42", 5) + F("01012026", 8) + F("31122026", 8) + F("1", 4) +
                             F("9999", 4) + Sum("123.45") + (c.Buying ? Sum("6.78") : "");
        ASSERT_EQ(answer.size(), c.Size);
        drv.Answers = {Done('B', answer)};
        EXPECT_EQ(drv.FiscalReportByNum(u"1", false, 1, 9999), 42);
        EXPECT_EQ(drv.ErrCode(), 0) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(Props(drv), "0012345|" + reg + '|' + tax +
                                  "|ООО Ромашка|2|3|4|2026-12-06T10:15:00|2026-01-01T00:00:00|"
                                  "2026-12-31T00:00:00|1|9999|42|123.45|" +
                                  (c.Buying ? "6.78" : "0.00"));
        EXPECT_TRUE(drv.Answers.empty());
    }
}

TEST(Reports, InterruptedReportCountsWhenRegistered) {
    // The register waits for its printer, the user cancels, it answers error 10.
    const std::string notice = "\x05"s + "0A";
    const std::string interrupted = Refused('5', "000A");
    struct Case {
        const char* What;
        TRegister Register;
        TCall Call;
        std::vector<std::string> Answers;
        int ErrCodeEx;  // 0: recovered
    };
    const TCall z = [](auto& d) { EXPECT_EQ(d.ZReport(), 17); };
    const std::string j122 = Done('J', LastDoc(8, "122"));
    const Case cases[] = {
        {"g8, number moved on", G8, z,
         A(j122, notice, interrupted, Done('J', LastDoc(8, "123", "05", "500", "17"))), 0},
        {"g7, number moved on", G7, [](auto& d) { EXPECT_EQ(d.XReportByOper(3), 18); },
         A(Done('J', LastDoc(7, "5", "00")), Refused('_', "000A"),
           Done('J', LastDoc(7, "6", "04", "500", "18"))),
         0},
        {"g8, number unchanged", G8, z, A(j122, notice, interrupted, j122), 10},
        {"g8, nothing printed at all", G8, z,
         A(Done('J', LastDoc(8, "", "FF")), interrupted, Done('J', LastDoc(8, "", "FF"))), 10},
        {"g3 does not ask", G3, z, A(Refused('_', "000A")), 10},
        {"g8, another refusal", G8, z, A(j122, Refused('5', "000C")), 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TScriptedLine drv;
        Attach(drv, c.Register);
        drv.Answers = {c.Answers.begin(), c.Answers.end()};
        try {
            c.Call(drv);
        } catch (const EKestEcrError&) {}
        EXPECT_EQ(drv.ErrCodeEx(), c.ErrCodeEx);
        const bool recovered = c.ErrCodeEx == 0;
        EXPECT_EQ(drv.SaleSum(), TKestCurrency::Parse(recovered ? "500" : "0"));
        EXPECT_EQ(drv.BuyingSum(),
                  TKestCurrency::Parse(recovered && c.Register.Generation == 8 ? "20" : "0"));
        EXPECT_TRUE(drv.Answers.empty());
    }

    // The answer lost and the application stops waiting: no question follows.
    TScriptedLine drv;
    Attach(drv, G8);
    drv.Answers = {j122};
    int asked = 0;
    drv.OnNoResponse = [&](TKestorFPrt&) { ++asked; };
    EXPECT_THROW(drv.ZReport(), EKestNoResponse);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(std::ranges::count(drv.Written, "\x02"s), 2);  // "J", then "5"
}

TEST(Reports, RefusedBeforeAnythingIsSent) {
    struct Case {
        TRegister Register;
        TCall Call;
        int ErrCode, ErrCodeEx;
        std::u16string Detail;  // after the head text and ":\r\n"
    };
    const std::u16string oper = u"неверный номер оператора";
    const std::u16string record = u"неверный номер фискальной записи";
    const std::u16string display = u"вывод на дисплей покупателя";
    const std::u16string all = u"фискальный отчет по всему содержимому фискальной памяти";
    const std::u16string feed = u"неверное число строк прогона чековой ленты";
    const std::u16string channel = u"неверный номер канала управления внешним устройством";
    const std::u16string interval = u"неверное значение интервала импульса";
    const std::u16string esc = u"последовательность ESC ESC в тексте завершила бы режим вывода";
    const Case cases[] = {
        {{0}, [](auto& d) { d.XReport(); }, 2, 0, u""},
        {{0}, [](auto& d) { d.PrintNonFiscal(u"A"); }, 2, 0, u""},
        {G3, [](auto& d) { d.OpenDay(100, u"", false, mprBS); }, 14, 6, oper},
        {G8, [](auto& d) { d.OpenDay(-1, u"", false, mprBS); }, 14, 6, oper},
        {G2, [](auto& d) { d.OpenDay(1, u"", false, mprUnknown); }, 14, 5,
         u"неверный тип протокола"},
        {G2, [](auto& d) { d.XReportByDep(1); }, 6, 0, u"печать X-отчета по отделам"},
        {G3, [](auto& d) { d.XReportByDep(100); }, 14, 22, u"неверный номер отдела"},
        {G8, [](auto& d) { d.XReportByOper(1); }, 6, 0, u"печать X-отчета по кассирам"},
        {G7, [](auto& d) { d.XReportByOper(100); }, 14, 6, oper},
        {G1, [](auto& d) { d.FiscalReportByNum(u"", true, 0, 5); }, 14, 44, record},
        {G1, [](auto& d) { d.FiscalReportByNum(u"", true, 1, 10000); }, 14, 44, record},
        {G1, [](auto& d) { d.FiscalReportByDate(u"", true, Date(2026, 1, 1), Date(1999, 12, 31)); },
         14, 33, u"дата задана неверно"},
        {G6, [](auto& d) { d.FiscalReportAll(u""); }, 6, 0, all},
        {G8, [](auto& d) { d.FiscalReportAll(u"00000XYZ"); }, 14, 54,
         u"неверный пароль налогового инспектора"},
        {G8, [](auto& d) { d.ShowDisplay(u"A"); }, 6, 0, display},
        {G3, [](auto& d) { d.PrintNonFiscal(u"hello\\1B\\1B\\02X5862"); }, 14, 53, esc},
        {G3, [](auto& d) { d.ShowDisplay(u"A\\1B", false, true); }, 14, 53, esc},
        {G2, [](auto& d) { d.SetDisplayBaudRate(9600); }, 6, 0, display},
        {G3, [](auto& d) { d.SetDisplayBaudRate(38400); }, 14, 2,
         u"неверное значение скорости обмена данными"},
        {G1, [](auto& d) { d.FeedAndCut(128); }, 6, 0, u"прогон / отрез чековой ленты"},
        {G2, [](auto& d) { d.FeedAndCut(128); }, 14, 37, feed},
        {G3, [](auto& d) { d.FeedAndCut(-3, true); }, 14, 38,
         u"направление прогона чековой ленты не поддерживается используемой ККМ"},
        {G1, [](auto& d) { d.ExternalPulse(0, 200, 0, 0); }, 14, 34, channel},
        {G1, [](auto& d) { d.ExternalPulse(1, 128, 0, 0); }, 14, 35, interval},
        {G1, [](auto& d) { d.ExternalPulse(2, 0, -1, 0); }, 14, 35, interval},
        {G1, [](auto& d) { d.ExternalPulse(1, 0, 0, 256); }, 14, 36,
         u"неверное значение счетчика импульсов"},
    };
    for (const auto& c : cases) {
        TScriptedLine drv;
        if (c.Register.Generation != 0) Attach(drv, c.Register);
        SCOPED_TRACE(kest::ToUtf8(c.Detail));
        const std::string before = Props(drv);
        EXPECT_THROW(c.Call(drv), EKestError);
        EXPECT_EQ(drv.ErrCode(), c.ErrCode);
        EXPECT_EQ(drv.ErrCodeEx(), c.ErrCodeEx);
        if (!c.Detail.empty()) {
            const std::u16string head = c.ErrCode == 6
                                            ? u"Операция не поддерживается используемой ККМ"
                                            : u"Неверное значение аргумента";
            EXPECT_EQ(drv.ErrMessage(), head + u":\r\n" + c.Detail);
        }
        EXPECT_TRUE(drv.Written.empty());
        EXPECT_EQ(Props(drv), before);
    }
}

// -- Device output

class TDeviceLine : public TScriptedLine {
public:
    bool TimeoutInForce() const { return FInternalTimeoutInForce || FExternalTimeoutInForce; }
};

TEST(Printing, DeviceOutput) {
    const std::string ack = "\x06";
    struct Case {
        const char* What;
        std::function<void(TDeviceLine&)> Call;
        std::vector<std::string> Answers;
        TBlocks Raw;  // written after the frame of the open exchange, if any
        int ErrCode = 0, ErrCodeEx = 0;
    };
    const auto print = [](std::u16string Text, bool Open, bool Close) {
        return [=](TDeviceLine& d) { d.PrintNonFiscal(Text, Open, Close); };
    };
    const Case cases[] = {
        {"BS, a byte at a time", print(u"AB\\0A", true, true),
         A(Done('6'), ack, ack, ack, ack, ack + Done('6')), A("A", "B", "\n", "\x1B", "\x1B")},
        {"XON/XOFF, one write", print(u"AB\\0A", true, true), A(Done('6', {}, "0080"), Done('6')),
         A("AB\n\x1B\x1B")},
        {"a middle call with no text sends nothing", print(u"", false, false), A(), A()},
        {"a middle call awaits no answer", print(u"\\00Я", false, false), A(ack, ack),
         A("\0"s, "\x9F")},
        {"an early end is a failure", print(u"ABCDE", false, true), A(ack, Done('6')), A("A", "B"),
         15, 9},
        {"ESC ESC across two parts",
         [](auto& d) {
             d.PrintNonFiscal(u"A\\1B", false, false);
             d.PrintNonFiscal(u"\\1BB", false, false);
         },
         A(ack, ack), A("A", "\x1B"), 14, 53},
        {"XON/XOFF, an answer to a middle part", print(u"A\\1Bx", true, false),
         A(Done('6', {}, "0080"), Refused('6', "000B")), A("A\x1Bx"), 18, 11},
        {"an early refusal from the display", [](auto& d) { d.ShowDisplay(u"ABC", false, false); },
         A(ack, Refused('^', "002D")), A("A", "B"), 18, 45},
        {"no acknowledgement: no terminator either", print(u"ABC", false, true), A(ack),
         A("A", "B"), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TDeviceLine drv;
        Attach(drv, G3);
        drv.Answers = {c.Answers.begin(), c.Answers.end()};
        try {
            c.Call(drv);
        } catch (const EKestError&) {}
        EXPECT_EQ(drv.ErrCode(), c.ErrCode) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(drv.ErrCodeEx(), c.ErrCodeEx);
        TBlocks raw = drv.Written;
        if (!raw.empty() && raw.front() == "\x02") {
            EXPECT_EQ(raw[0] + raw[1] + raw[2] + raw[3], Request('6', ""));
            raw.erase(raw.begin(), raw.begin() + 4);
        }
        EXPECT_EQ(raw, c.Raw);
        EXPECT_TRUE(drv.Answers.empty());
        // Whatever happened, the driver is ready for the next call. A register
        // that stopped answering half-way is still in output mode: the
        // application ends the output itself.
        EXPECT_FALSE(drv.TimeoutInForce());
        EXPECT_EQ(drv.ConnState(), mcsIdle);
        drv.Sent();
        if (c.ErrCode == 3) {
            drv.Answers = {ack, ack + Done('6')};
            EXPECT_NO_THROW(drv.PrintNonFiscal(u"", false, true));
        }
        drv.Answers = {Done('R')};
        EXPECT_NO_THROW(drv.FeedAndCut(1));
        EXPECT_EQ(drv.Sent(),
                  (c.ErrCode == 3 ? "\x1B\x1B"s : ""s) + Request('R', F("01", 2) + F("00", 2)));
    }
}

#ifndef _WIN32
// The real port on a pseudo-terminal: the register holds the text with XOFF
// until the application, asked whether to keep waiting, lets it go on.
TEST(Printing, XoffAndXonReachTheDataEvents) {
    class TPortDriver : public TKestorFPrt {
    public:
        void Attach() {
            OpenPort();
            FGeneration = 3;
            FEcrModel = mem207_1F;
            ChangeConnState(mcsIdle);
        }
    };
    TPty pty;
    TPortDriver drv;
    setenv("KESTOR_COM7", pty.Slave.c_str(), 1);
    drv.SetPortNum(7);
    drv.SetExternalTimeout(100);
    drv.Attach();
    unsetenv("KESTOR_COM7");

    std::vector<std::string> events;
    const auto record = [&](const char* Kind) {
        return [&events, Kind](TKestorFPrt&, const void* Data, int Size) {
            events.push_back(Kind + std::string(static_cast<const char*>(Data), Size));
        };
    };
    drv.OnDataSend = record("S:");
    drv.OnDataReceive = record("R:");
    std::promise<void> xon;
    int asked = 0;
    drv.OnNoResponse = [&](TKestorFPrt& d) {
        if (++asked == 1) {
            pty.Send("\x11");
            xon.set_value();
        }
        d.SetRetryOperation(asked < 20);
    };
    const std::string answer = Done('6', {}, "0080");  // bit 7: XON/XOFF
    auto registerSide = std::async(std::launch::async, [&] {
        std::string got = pty.Take(10);  // the open request
        pty.Send("\x13");
        if (!pty.WaitStopped()) return got + "|not stopped";
        pty.Send(answer);
        if (xon.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            return got + "|no XON";
        got += pty.Take(5);
        pty.Send(answer);
        return got;
    });
    EXPECT_NO_THROW(drv.PrintNonFiscal(u"AB\\0A")) << kest::ToUtf8(drv.ErrMessage());
    EXPECT_EQ(registerSide.get(), Request('6', "") + "AB\n\x1B\x1B");
    // The open request, then the hold, the release and the text in one block.
    const auto held = std::find(events.begin(), events.end(), "R:\x13");
    ASSERT_GE(events.end() - held, 3);
    EXPECT_EQ(held[1], "R:\x11");
    EXPECT_EQ(held[2], "S:AB\n\x1B\x1B");
    std::string before;
    for (auto e = events.begin(); e != held; ++e)
        if (e->starts_with("S:")) before += e->substr(2);
    EXPECT_EQ(before, Request('6', ""));
}

#endif  // !_WIN32

}  // namespace
