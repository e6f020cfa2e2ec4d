// The driver against the emulator: each kind and layout of document printed,
// counted and numbered once, however its close was broken off; a whole shift
// of reports and device output on each layout of the reports; reports broken
// off; the register's XOFF and XON reaching the application.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <mutex>
#include <string_view>

#include "../ReliabilityReport.h"
#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

namespace kest::test::doclink {
namespace {

using kest::emu::TConfig;
using kest::emu::TFault;

TKestCurrency Money(const char* Text) {
    return TKestCurrency::Parse(Text);
}

// A driver that records the command of each request it sends and can set the
// register up for one request just before that request goes out.
class TTillDriver : public TLinkDriver {
public:
    using TLinkDriver::TLinkDriver;
    std::function<void(char Cmd)> BeforeRequest;
    std::string Sent;

protected:
    void SendData(const void* Data, int Size) override {
        const auto* bytes = static_cast<const char*>(Data);
        // A request goes out as STX alone, then its command and password.
        if (FAfterStx && Size > 0) {
            Sent += bytes[0];
            if (BeforeRequest) BeforeRequest(bytes[0]);
        }
        FAfterStx = Size == 1 && bytes[0] == '\x02';
        TLinkDriver::SendData(Data, Size);
    }

private:
    bool FAfterStx = false;
};

// A register with its paper tape and a driver connected to it.
struct TTill {
    explicit TTill(TConfig Config, int InternalTimeout = 300, int ExternalTimeout = 1000)
        : Emu([this, &Config] {
              Config.Tape = [this](std::string_view Text) {
                  std::lock_guard lock(TapeLock);
                  Tape += Text;
              };
              return std::move(Config);
          }()),
          Drv(Emu.DevicePath(), InternalTimeout, ExternalTimeout) {
        Drv.Open();
    }
    // What the register printed since the last call.
    std::u16string TakeTape() {
        std::lock_guard lock(TapeLock);
        return kest::FromUtf8(std::exchange(Tape, {}));
    }
    // The commands sent since the last call.
    std::string TakeSent() { return std::exchange(Drv.Sent, {}); }

    std::mutex TapeLock;
    std::string Tape;
    kest::emu::TEmulator Emu;
    TTillDriver Drv;
};

// How often Text stands on the paper (no line holds it twice).
size_t CountLines(std::u16string_view Paper, std::u16string_view Text) {
    size_t n = 0;
    for (size_t at = Paper.find(Text); at != Paper.npos; at = Paper.find(Text, at + Text.size()))
        ++n;
    return n;
}
const std::u16string Separator(40, u'-');  // ends each document

// -- Documents

const std::u16string Goods = u"Какой-то товар";

void Head(TKestorFPrt& D, int NumberX, bool ReceiptNumber, bool WithAccount) {
    for (int line = 1; line <= 4; ++line)
        D.AddHeaderLine(line, 0, 0, line - 1);
    D.AddSerialNumber(0, 0, 4);
    D.AddDocNumber(0, NumberX, 4);
    D.AddTaxPayerNumber(0, 0, 5);
    D.AddDateTime(0, 0, 6);
    if (ReceiptNumber) D.AddReceiptNumber(0, NumberX, 6);
    D.AddOperInfo(moiNumberName, 0, 0, 7);
    if (WithAccount) D.AddAccount(u"0123456789", 0, 0, 8);
}
void FiscalSaleHead(TKestorFPrt& D) {
    Head(D, 31, true, false);
    D.AddCustom(Goods, 16, 0, 8);
    D.AddItem(mitItem, Money("200.89"), false, 6, 0, 0, -1, 0, 1, u"", 0, 0, 9, 0);
}
void FiscalSaleRest(TKestorFPrt& D) {
    D.AddCustom(Goods, 0, 0, 10);
    D.AddItem(mitItem, Money("200.00"), false, 7, 555, 0, 2, 0, 2, u"шт.", 0, 0, 11, 0);
    D.AddTotal(0, 0, 12, 0);
    D.AddPay(mptCashCard, Money("1000.00"), Money("0.00"), u"", 0, 0, 13, 0);
    D.AddChange(0, 0, 14, 0);
}

using TCall = void (*)(TKestorFPrt&);

const TCall CloseFiscal = [](TKestorFPrt& D) { D.CloseFiscalDoc(); };

// A document: how it is built and closed, the command that carries it, what
// the register keeps of it, and its paper.
struct TDoc {
    const char* Name;
    TKestEcrModel Model;
    const char* Firmware;
    TCall Build, Close;
    char Command;
    TKestOperType Oper;
    const char* Total;
    std::u16string_view Paper = {};  // a line of it
};

// The samples of the test window: a document of each kind and layout.
const TDoc Docs[] = {
    {"receipt", mem207_1F, "2.0",
     [](TKestorFPrt& D) {
         D.OpenReceipt(motSale);
         D.AddReceiptItem(Goods, Money("200.56"), false, 7, 555, -300, 524, 2, 0, u"", 0);
         D.AddReceiptItem(Goods, Money("100.00"), false, 7, 555, 0, -1, 0, 0, u"", 0);
     },
     [](TKestorFPrt& D) {
         D.CloseReceipt(u"0123456789", mptCredit, Money("1119.40"), {}, u"", 0, moiNumberName);
     },
     'K', motSale, "1119.40", u"КРЕДИТОМ"},
    {"custom document", mem207_1K, "1.0",
     [](TKestorFPrt& D) {
         D.OpenCustomDoc(false, motSale);
         Head(D, 32, true, true);
         D.AddCustom(Goods, 0, 0, 9);
         D.AddItem(mitItem, Money("100.00"), false, 7, 555, 1000, -1, 0, 0, u"", 0, 0, 10, 39);
         D.AddTotal(0, 0, 11, 39);
         D.AddPay(mptCashCredit, Money("100.00"), Money("10.00"), u"", 0, 0, 12, 39);
         D.AddChange(0, 0, 13, 39);
         D.AddFiscalSign(0, 0, 14);
         D.AddEKLZData(0, 0, 15);
     },
     [](TKestorFPrt& D) { D.CloseCustomDoc(mptCash, 0, 1, 1, 0, 40, 2, 0); }, 'N', motSale,
     "110.00", u"КРЕДИТОМ"},
    {"form", mem207_1F, "6.0",
     [](TKestorFPrt& D) {
         D.OpenCustomDoc(true, motCashOut);
         Head(D, 32, false, true);
         D.AddItem(mitItem, Money("10000.00"), false, 0, 0, 0, 0, 0, 0, u"", 0, 0, 9, 39);
         D.AddFiscalSign(0, 0, 10);
     },
     [](TKestorFPrt& D) { D.CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0); }, 'P', motCashOut,
     "10000.00", u"СЧЕТ 0123456789"},
    {"composite document", mem207_1F, "1.0 VLS B2.5",
     [](TKestorFPrt& D) {
         D.OpenFiscalDoc(motSale);
         FiscalSaleHead(D);
         FiscalSaleRest(D);
     },
     CloseFiscal, 'S', motSale, "600.89"},
    // The head and the first item are printed before the rest is added.
    {"composite document in portions", memPCK, "1.0 PCK",
     [](TKestorFPrt& D) {
         D.OpenFiscalDoc(motSale);
         FiscalSaleHead(D);
         D.PrintFiscalDocBuffer();
         FiscalSaleRest(D);
     },
     CloseFiscal, 'S', motSale, "600.89", u"=399.11"},
};

// The printed count as the exactly-once table of docs/RELIABILITY.md shows it.
std::string Printed(size_t Tape, int Numbers) {
    return "printed " + std::to_string(Tape) + " (tape), numbered " + std::to_string(Numbers);
}
void ReportExactlyOnce(const std::string& Close, const std::string& Case,
                       const std::string& Outcome) {
    kest::test::TReport::Get().Set("exactly-once", "close", Close, Case, Outcome);
}

// Each kind of document, on its own register, printed, counted and numbered
// once however its close was broken off. A close broken off by the register
// (error 10) after it registered the document counts as printed; one cancelled at the printer's
// notice before it is kept, and printed once when closed again. When the close's answer is lost
// after the print and the question for the last document as well, the close fails, and the close
// tried again asks first and prints nothing twice. Three cash-outs of the form leave the drawer
// something. The kinds run side by side, each on its own register, as the lost answers take their
// time-outs; their rows of the exactly-once table are written in order after.
TEST(DocumentsLink, InterruptedPrintCancelledOrAnswerLostPrintsOnce) {
    const auto run = [](const TDoc& kind, TTill& till) -> std::pair<std::string, std::string> {
        SCOPED_TRACE(kind.Name);
        TTillDriver& drv = till.Drv;
        const std::string sent = std::string("J") + kind.Command;
        const int counter = kind.Oper == motCashOut ? 3 : 0;  // of sales or cash-outs
        TKestDocStatus kept;
        TKestCurrency sum;
        int number, count;
        const auto build = [&] {
            number = drv.DocNumber();
            sum = drv.QueryCounter(counter), count = drv.CounterCount();
            kind.Build(drv);
            kept = drv.GetDocStatus();
            till.TakeSent(), till.TakeTape();
        };
        // The close that succeeds; the register counts the document once.
        const auto closed = [&](const std::string& Sent) {
            EXPECT_NO_THROW(kind.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
            EXPECT_EQ(till.TakeSent(), Sent);
            EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
            EXPECT_EQ(drv.QueryCounter(counter), sum + Money(kind.Total));
            EXPECT_EQ(drv.CounterCount(), count + 1);
        };

        // The register registers and prints the document, then answers 10;
        // the driver asks again.
        build();
        till.Emu.InjectFault(TFault::InterruptedPrint, 1);
        closed(sent + "J");
        std::u16string tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, u"ПЕЧАТЬ ПРЕРВАНА"), 1u);
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        EXPECT_EQ(drv.DocNumber(), number + 1);
        const std::string interrupted =
            "success, closed; " + Printed(CountLines(tape, Separator), drv.DocNumber() - number);

        // The printer is not ready for the document; the cashier answers No.
        build();
        int notices = 0;
        drv.OnPrinterError = [&notices](TKestorFPrt&) { ++notices; };
        drv.BeforeRequest = [&](char Cmd) {
            if (Cmd == kind.Command) till.Emu.SetNotices(1);
        };
        EXPECT_THROW(kind.Close(drv), EKestEcrError);
        drv.BeforeRequest = nullptr;
        EXPECT_EQ(drv.ErrCodeEx(), 10);
        EXPECT_EQ(notices, 1);
        EXPECT_EQ(till.TakeSent(), sent + "J");
        const size_t cancelled = CountLines(till.TakeTape(), Separator);
        EXPECT_EQ(cancelled, 0u);
        EXPECT_EQ(drv.GetDocStatus(), kept);
        EXPECT_EQ(drv.DocNumber(), number);
        closed("J" + sent);
        tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        if (!kind.Paper.empty()) {
            EXPECT_EQ(CountLines(tape, kind.Paper), 1u);
        }
        drv.QueryLastDocInfo();
        EXPECT_EQ(drv.LastDocType(), kind.Oper);
        EXPECT_EQ(drv.LastDocNumber(), number + 1);
        EXPECT_EQ(drv.LastDocSum(), Money(kind.Total));
        const std::string notice =
            "error 10, document kept; " + Printed(cancelled, 0) +
            "; closed again: " + Printed(CountLines(tape, Separator), drv.LastDocNumber() - number);

        // The document's answer lost, then the question's.
        build();
        int lost = 0;
        drv.BeforeRequest = [&](char Cmd) {
            if ((lost == 0 && Cmd == kind.Command) || lost == 1) {
                till.Emu.InjectFault(TFault::NoAnswer, 1);
                ++lost;
            }
        };
        EXPECT_THROW(kind.Close(drv), EKestNoResponse);
        drv.BeforeRequest = nullptr;
        EXPECT_EQ(till.TakeSent(), sent + "J");
        EXPECT_EQ(drv.GetDocStatus(), kept);
        EXPECT_EQ(CountLines(till.TakeTape(), Separator), 1u);
        closed("J");
        EXPECT_TRUE(till.TakeTape().empty());
        EXPECT_EQ(drv.DocNumber(), number + 1);
        return {interrupted, notice};
    };
    // The port's name goes to the driver through the environment: the
    // drivers open one at a time, before any kind runs.
    std::vector<std::unique_ptr<TTill>> tills;
    for (const TDoc& doc : Docs)
        tills.push_back(std::make_unique<TTill>(Register(doc.Model, doc.Firmware)));
    std::vector<std::future<std::pair<std::string, std::string>>> kinds;
    for (size_t i = 0; i < std::size(Docs); ++i)
        kinds.push_back(
            std::async(std::launch::async, run, std::cref(Docs[i]), std::ref(*tills[i])));
    for (size_t i = 0; i < std::size(Docs); ++i) {
        const auto [interrupted, notice] = kinds[i].get();
        ReportExactlyOnce(Docs[i].Name, "registered, then cancelled (error 10)", interrupted);
        ReportExactlyOnce(Docs[i].Name, "cancelled before it registered", notice);
    }
}

// -- The shift and the reports

// Two items at 100.00 in department 7 and one at 50.00 in department 3,
// 250.00 paid with 500.00 in cash: a standard receipt, or a composite
// document where the register has no other.
void Sell(TKestorFPrt& D) {
    if (D.Generation() % 4 == 3) {  // 3 and 7
        D.OpenFiscalDoc(motSale);
        D.AddItem(mitItem, Money("100.00"), false, 7, 555, 0, 2, 0, 0, u"шт", 0, 0, 0, 0);
        D.AddItem(mitItem, Money("50.00"), false, 3, 1, 0, -1, 0, 0, u"", 0, 0, 1, 0);
        D.AddTotal(0, 0, 2, 0);
        D.AddPay(mptCash, Money("500.00"), {}, u"", 0, 0, 3, 0);
        D.AddChange(0, 0, 4, 0);
        D.CloseFiscalDoc();
        return;
    }
    D.OpenReceipt(motSale);
    D.AddReceiptItem(u"Товар", Money("100.00"), false, 7, 555, 0, 2, 0, 0, u"");
    D.AddReceiptItem(u"Хлеб", Money("50.00"), false, 3, 1, 0, -1, 0, 0, u"");
    D.CloseReceipt(u"1", mptCash, Money("500.00"), {}, u"", 0, moiNumberName);
}

// A whole shift on one register of each layout of the reports' answers: "5"
// without and with the purchases, "_", and the fiscal-memory reports' layouts
// A short and long, B and C.
TEST(ReportsLink, WholeShiftFromOpeningToTheFiscalMemory) {
    for (const auto& [model, firmware] : {std::pair{mem207_1F, "1.0"},
                                          {memPCK, "1.0 PCK"},
                                          {mem207_1K, "1.0"},
                                          {mem207_1FMD, "1.0 MD B1.2"},
                                          {mem207_1FMD, "1.0 MD B3.0"}}) {
        SCOPED_TRACE(firmware);
        TTill till(Register(model, firmware), 150, 300);
        TTillDriver& drv = till.Drv;
        const bool composite = drv.Generation() % 4 == 3;
        drv.OpenDay(5, u"Кассир Тестов", false, drv.Protocol());
        EXPECT_EQ(drv.CheckEcrStatus(0), 1);
        Sell(drv);
        EXPECT_EQ(drv.XReport(1), 1);
        EXPECT_EQ(drv.SaleSum(), Money("250.00"));
        if (composite) {
            EXPECT_EQ(drv.XReportByDep(7), 2);
            EXPECT_EQ(drv.SaleSum(), Money("200.00"));
            EXPECT_EQ(drv.XReportByOper(5), 3);
            EXPECT_EQ(drv.SaleSum(), Money("250.00"));
            drv.ShowDisplay(u"Итого: 250.00");
            drv.SetDisplayBaudRate(19200);
        }
        drv.PrintNonFiscal(u"Спасибо,\\0Aприходите ещё!");
        if (drv.Generation() >= 2) drv.FeedAndCut(3, true);
        drv.ExternalPulse(1, 10, 20, 1);

        EXPECT_EQ(drv.ZReport(), 43);
        EXPECT_EQ(drv.SaleSum(), Money("250.00"));
        EXPECT_EQ(drv.CheckEcrStatus(0), -1);

        EXPECT_EQ(drv.FiscalReportByNum(u"00000", true, 42, 43), 4);
        EXPECT_EQ(drv.StartNumber(), 42);
        EXPECT_EQ(drv.EndNumber(), 43);
        EXPECT_EQ(drv.SaleSum(), Money("48150.00"));
        const TKestDateTime today = std::floor(kest::Now());
        EXPECT_EQ(drv.FiscalReportByDate(u"00000", false, today, today), 5);
        EXPECT_EQ(drv.StartDate(), today);
        EXPECT_EQ(drv.SaleSum(), Money("250.00"));
        if (composite || drv.Generation() == 8) {
            EXPECT_EQ(drv.FiscalReportAll(u"00000"), 6);
            EXPECT_EQ(drv.StartNumber(), 1);
            EXPECT_EQ(drv.SaleSum(), Money("1045525.50"));
        }
        const auto tape = till.TakeTape();
        for (const char16_t* line :
             {u"приходите ещё!", u"Z-ОТЧЕТ 0043", u"[импульс: канал 1, 10/20, 1 раз]"})
            EXPECT_EQ(CountLines(tape, line), 1u) << kest::ToUtf8(line);
        EXPECT_EQ(CountLines(tape, u"[дисплей] Итого: 250.00"), composite ? 1u : 0u);
    }
}

// An X or Z report whose print broke off: registered all the same, it counts
// as printed; cancelled at the printer's notice before the register
// registered it, it is the register's error 10, and printed once when asked
// again.
TEST(ReportsLink, ReportsWhosePrintBrokeOff) {
    for (const auto& [model, generation] : {std::pair{memPCK, 7}, {mem207_1K, 8}}) {
        for (const bool z : {true, false}) {
            const int first = z ? 43 : 1;  // the number of the report registered first
            const std::string name = std::string(z ? "Z" : "X") + " report (generation " +
                                     std::to_string(generation) + ")";
            SCOPED_TRACE(name);
            TTill till(Register(model), 150, 300);
            TTillDriver& drv = till.Drv;
            const auto print = [&] { return z ? drv.ZReport() : drv.XReport(); };
            Sell(drv);
            till.TakeTape();
            int number = drv.DocNumber();
            // Registered, though the answer says the print broke off: the
            // driver finds the report in the last document.
            till.Emu.InjectFault(TFault::InterruptedPrint, 1);
            EXPECT_EQ(print(), first);
            EXPECT_EQ(drv.SaleSum(), Money("250.00"));
            EXPECT_EQ(drv.CheckEcrStatus(0), z ? -1 : 1);
            size_t printed = CountLines(till.TakeTape(), Separator);
            EXPECT_EQ(printed, 1u);
            EXPECT_EQ(drv.DocNumber(), number + 1);
            ReportExactlyOnce(name, "registered, then cancelled (error 10)",
                              "success, report " + std::to_string(first) + "; " +
                                  Printed(printed, drv.DocNumber() - number));

            // Not registered: the user cancels while the register waits for
            // its printer, before it prints anything.
            Sell(drv);
            till.TakeTape();
            drv.BeforeRequest = [&](char Cmd) {
                if (Cmd == '5' || Cmd == '_') till.Emu.SetNotices(1, 0x0A);
            };
            number = drv.DocNumber();
            EXPECT_THROW(print(), EKestEcrError);
            EXPECT_EQ(drv.ErrCodeEx(), 10);
            EXPECT_EQ(drv.DocNumber(), number);
            EXPECT_TRUE(till.TakeTape().empty());
            EXPECT_EQ(drv.CheckEcrStatus(0), 1);
            drv.BeforeRequest = nullptr;
            EXPECT_EQ(print(), first + 1);
            printed = CountLines(till.TakeTape(), Separator);
            EXPECT_EQ(printed, 1u);
            EXPECT_EQ(drv.DocNumber(), number + 1);
            ReportExactlyOnce(name, "cancelled before it registered",
                              "error 10; printed 0, numbered 0; asked again: report " +
                                  std::to_string(first + 1) + ", " +
                                  Printed(printed, drv.DocNumber() - number));
        }
    }
}

}  // namespace
}  // namespace kest::test::doclink
