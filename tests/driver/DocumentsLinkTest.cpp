// The driver against the emulator: a document of each kind and layout
// printed, counted and numbered as the register keeps it; a close broken off
// after or before the register registered it, or whose answer was lost,
// printed exactly once; a whole shift of reports and device output on each
// layout of the reports; reports broken off; the register's XOFF and XON
// reaching the application. (The paper of the test window's samples is read
// by the window's own tests; the register's copy, repeat and refusals by the
// emulator's.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "../ReliabilityReport.h"
#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

namespace kest::test::doclink {
namespace {

using kest::emu::TConfig;
using kest::emu::TEmulator;
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
    // What the register printed since the last call, as UTF-16 lines.
    std::vector<std::u16string> TakeTape() {
        std::string text;
        {
            std::lock_guard lock(TapeLock);
            text = std::exchange(Tape, {});
        }
        std::vector<std::u16string> lines;
        for (size_t at = 0, end; (end = text.find('\n', at)) != text.npos; at = end + 1)
            lines.push_back(kest::FromUtf8(text.substr(at, end - at)));
        return lines;
    }
    // The commands sent since the last call.
    std::string TakeSent() { return std::exchange(Drv.Sent, {}); }

    std::mutex TapeLock;
    std::string Tape;
    TEmulator Emu;
    TTillDriver Drv;
};

size_t CountLines(const std::vector<std::u16string>& Lines, std::u16string_view Text) {
    return std::ranges::count_if(
        Lines, [&](const std::u16string& L) { return L.find(Text) != std::u16string::npos; });
}
const std::u16string Separator(40, u'-');  // ends each document

// The number printed after Label ("ДОК ", "ЧЕК "); -1 when there is none.
int PrintedNumber(const std::vector<std::u16string>& Lines, std::u16string_view Label) {
    for (const auto& line : Lines) {
        const size_t at = line.find(Label);
        if (at != line.npos) return std::stoi(kest::ToUtf8(line.substr(at + Label.size(), 5)));
    }
    return -1;
}

// Whether the paper holds each line of Expected ("\n" between them) in
// order, each a line of its own that starts with the text before its "|"
// and ends with the text after it.
void ExpectPaper(const std::vector<std::u16string>& Lines, std::u16string_view Expected) {
    auto at = Lines.begin();
    for (size_t from = 0; from < Expected.size();) {
        const size_t end = std::min(Expected.find(u'\n', from), Expected.size());
        const std::u16string_view line = Expected.substr(from, end - from);
        const size_t bar = std::min(line.find(u'|'), line.size());
        const std::u16string_view left = line.substr(0, bar),
                                  right = line.substr(std::min(bar + 1, line.size()));
        at = std::find_if(at, Lines.end(), [&](const std::u16string& L) {
            return L.starts_with(left) && L.ends_with(right) &&
                   L.size() >= left.size() + right.size();
        });
        if (at == Lines.end()) {
            std::string tape;
            for (const auto& l : Lines)
                tape += kest::ToUtf8(l) + "\n";
            ADD_FAILURE() << "no line \"" << kest::ToUtf8(std::u16string(line))
                          << "\" in order on the tape:\n"
                          << tape;
            return;
        }
        ++at;
        from = end + 1;
    }
}

// -- Documents

const std::u16string Goods = u"Какой-то товар";
const std::u16string Account = u"0123456789";

void Head(TKestorFPrt& D, int NumberX, bool ReceiptNumber, bool WithAccount) {
    for (int line = 1; line <= 4; ++line)
        D.AddHeaderLine(line, 0, 0, line - 1);
    D.AddSerialNumber(0, 0, 4);
    D.AddDocNumber(0, NumberX, 4);
    D.AddTaxPayerNumber(0, 0, 5);
    D.AddDateTime(0, 0, 6);
    if (ReceiptNumber) D.AddReceiptNumber(0, NumberX, 6);
    D.AddOperInfo(moiNumberName, 0, 0, 7);
    if (WithAccount) D.AddAccount(Account, 0, 0, 8);
}
// A shorter head, the operator by name.
void ShortHead(TKestorFPrt& D, bool WithAccount) {
    D.AddHeaderLine(1, 0, 0, 0);
    D.AddSerialNumber(0, 0, 1);
    D.AddDocNumber(0, 20, 1);
    D.AddTaxPayerNumber(0, 0, 2);
    D.AddDateTime(0, 0, 3);
    D.AddReceiptNumber(0, 20, 3);
    D.AddOperInfo(moiName, 0, 0, 4);
    if (WithAccount) D.AddAccount(u"12345", 0, 0, 5);
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

void CloseFiscal(TKestorFPrt& D) {
    D.CloseFiscalDoc();
}
void CloseCustom(TKestorFPrt& D) {
    D.CloseCustomDoc(mptCash, 0, 0, 0, 0, 0, 0, 0);
}

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
    int Counter;         // 0 sales, 1 refunds, 2 cash in, 3 cash out; -1: another
    const char* Drawer;  // the change of the cash in the drawer (counter 11)
    std::u16string_view Paper = {};
    size_t Rows = 0;  // of a document laid out by rows, the last one its separator
};

// The samples of the test window first: a document of each kind.
const TDoc Docs[] = {
    {"receipt", mem207_1F, "2.0",
     [](TKestorFPrt& D) {
         D.OpenReceipt(motSale);
         D.AddReceiptItem(Goods, Money("200.56"), false, 7, 555, -300, 524, 2, 0, u"", 0);
         D.AddReceiptItem(Goods, Money("100.00"), false, 7, 555, 0, -1, 0, 0, u"", 0);
     },
     [](TKestorFPrt& D) {
         D.CloseReceipt(Account, mptCash, Money("10000.00"), {}, u"", 0, moiNumberName);
     },
     'K', motSale, "1119.40", 0, "1119.40"},
    {"custom document", mem207_1K, "1.0",
     [](TKestorFPrt& D) {
         D.OpenCustomDoc(false, motSale);
         Head(D, 32, true, true);
         D.AddCustom(Goods, 0, 0, 9);
         D.AddItem(mitItem, Money("100.00"), false, 7, 555, 1000, -1, 0, 0, u"", 0, 0, 10, 39);
         D.AddTotal(0, 0, 11, 39);
         D.AddPay(mptCard, Money("0.00"), Money("0.00"), u"Карта №12345", 0, 0, 12, 39);
         D.AddFiscalSign(0, 0, 13);
         D.AddEKLZData(0, 0, 14);
     },
     [](TKestorFPrt& D) { D.CloseCustomDoc(mptCash, 0, 1, 1, 0, 40, 2, 0); }, 'N', motSale,
     "110.00", 0, "0.00"},
    {"form", mem207_1F, "6.0",
     [](TKestorFPrt& D) {
         D.OpenCustomDoc(true, motCashOut);
         Head(D, 32, false, true);
         D.AddItem(mitItem, Money("10000.00"), false, 0, 0, 0, 0, 0, 0, u"", 0, 0, 9, 39);
         D.AddFiscalSign(0, 0, 10);
     },
     [](TKestorFPrt& D) { D.CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0); }, 'P', motCashOut,
     "10000.00", 3, "-10000.00", u"СЧЕТ 0123456789\n10000.00|=10000.00\nФП"},
    {"composite document", mem207_1F, "1.0 VLS B2.5",
     [](TKestorFPrt& D) {
         D.OpenFiscalDoc(motSale);
         FiscalSaleHead(D);
         FiscalSaleRest(D);
     },
     CloseFiscal, 'S', motSale, "600.89", 0, "600.89"},
    // The head and the first item are printed before the rest is added.
    {"composite document in portions", memPCK, "1.0 PCK",
     [](TKestorFPrt& D) {
         D.OpenFiscalDoc(motSale);
         FiscalSaleHead(D);
         D.PrintFiscalDocBuffer();
         FiscalSaleRest(D);
     },
     CloseFiscal, 'S', motSale, "600.89", 0, "600.89",
     u"Какой-то товар\n200.89|=200.89\nКакой-то товар\n2 шт. x 200.00|=400.00\nИТОГ|=600.89\n"
     u"НАЛИЧНЫМИ 1000.00|КАРТОЙ =0.00\nСДАЧА|=399.11\n|ФП"},
    // What the samples leave out, on the registers that have it.
    {"composite sale with adjustments and voids", mem207_1F, "1.0 VLS B2.5",
     [](TKestorFPrt& D) {
         D.OpenFiscalDoc(motSale);
         ShortHead(D, false);
         D.AddItem(mitItem, Money("100.00"), false, 1, 1, 0, 3, 0, 0, u"кг", 0, 0, 6, 0);
         D.AddItem(mitPercentAdj, {}, false, 1, 1, -500, -1, 0, 0, u"", 0, 0, 7, 0);
         D.AddItem(mitVoidPercentAdj, {}, false, 1, 1, -500, -1, 0, 0, u"", 0, 0, 8, 0);
         D.AddItem(mitAmountAdj, Money("10.00"), false, 1, 1, 0, -1, 0, 0, u"", 0, 0, 9, 0);
         D.AddItem(mitItem, Money("50.00"), false, 1, 1, 0, 1500, 3, 0, u"кг", 0, 0, 10, 0);
         D.AddItem(mitVoidItem, Money("50.00"), false, 1, 1, 0, 1500, 3, 0, u"кг", 0, 0, 11, 0);
         D.AddDocPercentAdj(-1000, 0, 0, 0, 12, 0);
         D.AddDocAmountAdj(Money("-5.00"), 0, 0x800, 0, 13, 0);  // takes a discount back
         D.AddTotal(0, 0, 14, 0);
         D.AddTaxSum(0, 0, 0, 15, 0);
         D.AddPay(mptCash, Money("500.00"), {}, u"", 0, 0, 16, 0);
         D.AddChange(0, 0, 17, 0);
     },
     CloseFiscal, 'S', motSale, "284.00", 0, "284.00",
     u"3 кг x 100.00|=300.00\nСКИДКА 5.00%|=-15.00\nСТОРНО СКИДКА 5.00%|=+15.00\n"
     u"НАДБАВКА|=+10.00\n1.500 кг x 50.00|=75.00\nСТОРНО 1.500 кг x 50.00|=-75.00\n"
     u"СКИДКА НА ЧЕК 10.00%|=-31.00\nСТОРНО СКИДКА НА ЧЕК|=+5.00\nИТОГ|=284.00\n"
     u"НДС 18%|=43.32\nНАЛИЧНЫМИ|=500.00\nСДАЧА|=216.00"},
    {"composite refund without cash", memPCK, "1.0 PCK",
     [](TKestorFPrt& D) {
         D.OpenFiscalDoc(motRefundCashless);
         ShortHead(D, false);
         D.AddItem(mitItem, Money("100.00"), false, 1, 123456, 0, -1, 0, 4, u"шт.", 0, 0, 6, 0);
         D.AddTotal(0, 0, 7, 0);
     },
     CloseFiscal, 'S', motRefundCashless, "100.00", -1, "0.00", u"|=100.00\nИТОГ|=100.00"},
    // The values end at the second offset, column 30.
    {"custom sale with tax sums, cash and card, a barcode and row 150", mem207_1F, "6.0",
     [](TKestorFPrt& D) {
         D.OpenCustomDoc(false, motSale);
         ShortHead(D, true);
         D.AddItem(mitItem, Money("100.00"), true, 1, 1, 0, 1500, 3, 1, u"", 0, 0, 6, 30);
         D.AddItem(mitItem, Money("10.00"), false, 2, 9999, -9999, 1, 0, 4, u"", 0, 0, 7, 30);
         D.AddTotal(0, 0, 8, 30);
         D.AddTaxSum(1, 0, 0, 9, 30);
         D.AddPay(mptCashCard, Money("100.00"), Money("100.00"), u"", 0, 0, 10, 30);
         D.AddChange(0, 0, 11, 30);
         D.AddFiscalSign(0, 0, 12);
         D.AddBarcode(1, 2, 3, -65537, 5, true, 0, 0, 13);
         D.AddCustom(u"Спасибо!", 0x1C0, 0, 150);
     },
     [](TKestorFPrt& D) { D.CloseCustomDoc(mptCash, 0xF, 2, 1, 3, 30, 4, 5); }, 'N', motSale,
     "150.00", 0, "50.00",
     u"1.500 x 100.00          =150.00\n1 x 10.00 -99.99%         =0.00\n"
     u"ИТОГ                    =150.00\nНДС 10%                  =13.64\n"
     u"НАЛИЧНЫМИ 100.00 КАРТОЙ =100.00\nСДАЧА                    =50.00\n"
     u"ШК 000000010000000200000003FFFFFFFF\nСпасибо!",
     152},
    {"custom buying with rows past 99", mem207_1K, "",
     [](TKestorFPrt& D) {
         D.OpenCustomDoc(false, motBuying);
         ShortHead(D, true);
         D.AddItem(mitItem, Money("100.00"), false, 1, 1, 0, -1, 0, 2, u"", 0, 0, 6, 39);
         D.AddTotal(0, 0, 7, 39);
         D.AddPay(mptCash, Money("100.00"), {}, u"", 0, 0, 8, 39);
         D.AddCustom(u"Закупка", 0, 0, 120);
         D.AddFiscalSign(0, 0, 130);
         D.AddEKLZData(0, 0, 140);
     },
     CloseCustom, 'N', motBuying, "100.00", -1, "-100.00",
     u"НАЛИЧНЫМИ|=100.00\nЗакупка\nФП\nЭКЛЗ КПК", 142},
    {"receipt in cash and on credit", mem207_1K, "",
     [](TKestorFPrt& D) {
         D.OpenReceipt(motSale);
         D.AddReceiptItem(u"Товар", Money("1000.00"), false, 1, 1, 0, -1, 0, 1, u"");
     },
     [](TKestorFPrt& D) {
         D.CloseReceipt(u"", mptCashCredit, Money("500.00"), Money("500.00"), u"", 0, moiName);
     },
     'K', motSale, "1000.00", 0, "500.00",
     u"Кассир Иванова А.П.\nИТОГ|=1000.00\nНАЛИЧНЫМИ|=500.00\nКРЕДИТОМ|=500.00\nНДС 10%|=90.91"},
    {"void receipt paid by card", mem207_1F, "6.0",
     [](TKestorFPrt& D) {
         D.OpenReceipt(motVoid);
         D.AddReceiptItem(u"Товар", Money("10.00"), false, 1, 1, 0, 1, 0, 0, u"");
     },
     [](TKestorFPrt& D) { D.CloseReceipt(u"", mptCard, {}, {}, u"Карта 1234", 0, moiName); }, 'K',
     motVoid, "10.00", -1, "0.00", u"|АННУЛИРОВАНИЕ\nКАРТОЙ|=10.00\nКарта 1234"},
};

// The counters of the operations and the drawer.
std::vector<std::pair<int, TKestCurrency>> Counters(TKestorFPrt& D) {
    std::vector<std::pair<int, TKestCurrency>> values;
    for (int n : {0, 1, 2, 3, 11}) {
        const TKestCurrency sum = D.QueryCounter(n);
        values.emplace_back(D.CounterCount(), sum);
    }
    return values;
}

TEST(DocumentsLink, EachKindPrintsAndCountsOnce) {
    for (const TDoc& doc : Docs) {
        SCOPED_TRACE(doc.Name);
        TTill till(Register(doc.Model, doc.Firmware));
        TTillDriver& drv = till.Drv;
        drv.QueryLastDocInfo();
        const int number = drv.LastDocNumber(), receipt = drv.LastRecNumber();
        auto counters = Counters(drv);
        till.TakeTape();
        EXPECT_NO_THROW(doc.Build(drv)) << kest::ToUtf8(drv.ErrMessage());
        till.TakeSent();
        EXPECT_NO_THROW(doc.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        // One request carries the document, after the question for the last
        // document's number.
        EXPECT_EQ(till.TakeSent(), std::string("J") + doc.Command);
        const std::vector<std::u16string> tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        ExpectPaper(tape, doc.Paper);
        if (doc.Rows != 0) {
            EXPECT_EQ(tape.size(), doc.Rows);
        }
        // The register's last document is this one, under the next number.
        drv.QueryLastDocInfo();
        EXPECT_EQ(drv.LastDocType(), doc.Oper);
        EXPECT_EQ(drv.LastDocNumber(), number + 1);
        EXPECT_EQ(drv.LastDocSum(), Money(doc.Total));
        EXPECT_EQ(PrintedNumber(tape, u"ДОК "), number + 1);
        // The receipt number: in "J" from generation 3 on.
        if (drv.Generation() >= 3) {
            EXPECT_EQ(drv.LastRecNumber(), receipt + 1);
            EXPECT_EQ(PrintedNumber(tape, u"ЧЕК "), doc.Command == 'P' ? -1 : receipt + 1);
        }
        for (size_t i = 0; i < 4; ++i)
            if (int(i) == doc.Counter)
                counters[i] = {counters[i].first + 1, counters[i].second + Money(doc.Total)};
        counters[4].second = counters[4].second + Money(doc.Drawer);
        EXPECT_EQ(Counters(drv), counters);
    }
}

// The printed count as the exactly-once table of docs/RELIABILITY.md shows it.
std::string Printed(size_t Tape, int Numbers) {
    return "printed " + std::to_string(Tape) + " (tape), numbered " + std::to_string(Numbers);
}
void ReportExactlyOnce(const std::string& Close, const std::string& Case,
                       const std::string& Outcome) {
    kest::test::TReport::Get().Set("exactly-once", "close", Close, Case, Outcome);
}

// A close broken off by the register (error 10) after it registered the
// document counts as printed; one cancelled at the printer's notice before
// it is kept, and printed once when closed again. When the close's answer is
// lost after the print and the question for the last document as well, the
// close fails, and the close tried again asks first and prints nothing
// twice. Three cash-outs of the form leave the drawer something. The kinds
// run side by side, each on its own register, as the lost answers take their
// time-outs; their rows of the exactly-once table are written in order after.
TEST(DocumentsLink, InterruptedPrintCancelledOrAnswerLostPrintsOnce) {
    const auto run = [](const TDoc& kind, TTill& till) -> std::pair<std::string, std::string> {
        SCOPED_TRACE(kind.Name);
        TTillDriver& drv = till.Drv;
        const std::string sent = std::string("J") + kind.Command;
        const auto build = [&] {
            const int before = drv.DocNumber();
            kind.Build(drv);
            till.TakeSent();
            till.TakeTape();
            return std::pair{drv.GetDocStatus(), before};
        };

        // The register registers and prints the document, then answers 10.
        auto [kept, number] = build();
        till.Emu.InjectFault(TFault::InterruptedPrint, 1);
        EXPECT_NO_THROW(kind.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(drv.ErrCode(), 0);
        EXPECT_EQ(till.TakeSent(), sent + "J");  // the answer 10 made the driver ask again
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        std::vector<std::u16string> tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, u"ПЕЧАТЬ ПРЕРВАНА"), 1u);
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        EXPECT_EQ(drv.DocNumber(), number + 1);
        const std::string interrupted =
            "success, closed; " + Printed(CountLines(tape, Separator), drv.DocNumber() - number);

        // The printer is not ready for the document; the cashier answers No.
        std::tie(kept, number) = build();
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
        EXPECT_NO_THROW(kind.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(till.TakeSent(), "J" + sent);
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        drv.QueryLastDocInfo();
        EXPECT_EQ(drv.LastDocNumber(), number + 1);
        EXPECT_EQ(drv.LastDocSum(), Money(kind.Total));
        const std::string notice =
            "error 10, document kept; " + Printed(cancelled, 0) +
            "; closed again: " + Printed(CountLines(tape, Separator), drv.LastDocNumber() - number);

        // The document's answer lost, then the question's.
        std::tie(kept, number) = build();
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
        EXPECT_NO_THROW(kind.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(till.TakeSent(), "J");
        EXPECT_TRUE(till.TakeTape().empty());
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        EXPECT_EQ(drv.DocNumber(), number + 1);
        return {interrupted, notice};
    };
    // The port's name goes to the driver through the environment: the
    // drivers open one at a time.
    std::vector<std::unique_ptr<TTill>> tills;
    for (size_t i = 0; i < 5; ++i)
        tills.push_back(std::make_unique<TTill>(Register(Docs[i].Model, Docs[i].Firmware)));
    std::vector<std::future<std::pair<std::string, std::string>>> kinds;
    for (size_t i = 0; i < 5; ++i)
        kinds.push_back(
            std::async(std::launch::async, run, std::cref(Docs[i]), std::ref(*tills[i])));
    for (size_t i = 0; i < 5; ++i) {
        const auto [interrupted, notice] = kinds[i].get();
        ReportExactlyOnce(Docs[i].Name, "registered, then cancelled (error 10)", interrupted);
        ReportExactlyOnce(Docs[i].Name, "cancelled before it registered", notice);
    }
}

// -- The shift and the reports

bool Composite(const TKestorFPrt& D) {
    return D.Generation() == 3 || D.Generation() == 7;
}

// Two items at 100.00 in department 7 and one at 50.00 in department 3,
// 250.00 paid with 500.00 in cash: a standard receipt, or a composite
// document where the register has no other.
void Sell(TKestorFPrt& D) {
    if (Composite(D)) {
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
        const bool composite = Composite(drv);
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
        EXPECT_THROW(drv.FiscalReportAll(u"12345"), EKestError);
        ExpectPaper(
            till.TakeTape(),
            std::u16string(u"|ОТКРЫТИЕ СМЕНЫ 0043\nОПЕРАТОР 05 Кассир Тестов\n|X-ОТЧЕТ 0001\n") +
                (composite ? u"|[дисплей] Итого: 250.00\n" : u"") +
                u"|Спасибо,\nприходите ещё!|\n" + std::u16string(40, u'-') +
                u"\n|[импульс: канал 1, 10/20, 1 раз]\n|Z-ОТЧЕТ 0043\n|ФИСКАЛЬНЫЙ ОТЧЕТ 00004");
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
            EXPECT_EQ(drv.ErrCode(), 0) << kest::ToUtf8(drv.ErrMessage());
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

TEST(ReportsLink, XoffAndXonOfTheRegisterReachTheApplication) {
    // The printer takes long over a line, the driver's line times out soon.
    TConfig config = Register(mem207_1F);
    config.XonXoff = true;
    config.LineTime = std::chrono::milliseconds(300);
    TTill till(config, 150, 100);
    TTillDriver& drv = till.Drv;
    ASSERT_EQ(drv.Protocol(), mprXOnXoff);
    std::vector<std::string> received;
    drv.OnDataReceive = [&](TKestorFPrt&, const void* Data, int Size) {
        received.emplace_back(static_cast<const char*>(Data), Size);
    };
    int asked = 0;
    drv.OnNoResponse = [&](TKestorFPrt& D) { D.SetRetryOperation(++asked < 50); };

    // 70 bytes fill the register's buffer: it holds the line with XOFF until
    // it has printed them, and the rest of the text waits.
    const std::u16string text(70, u'ж');
    drv.PrintNonFiscal(text, true, false);
    ASSERT_TRUE(till.Emu.WaitForXoff(std::chrono::seconds(10)));
    EXPECT_NO_THROW(drv.PrintNonFiscal(u"\\0A", false, true)) << kest::ToUtf8(drv.ErrMessage());
    const auto xoff = std::ranges::find(received, "\x13");
    ASSERT_NE(xoff, received.end());
    EXPECT_NE(std::find(xoff, received.end(), "\x11"), received.end());
    EXPECT_GT(asked, 0);
    EXPECT_EQ(till.TakeTape(), (std::vector{std::u16string(40, u'ж'), std::u16string(30, u'ж'),
                                            std::u16string(40, u'-')}));
}

}  // namespace
}  // namespace kest::test::doclink
