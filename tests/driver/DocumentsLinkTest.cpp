// The test window's sample documents run against the emulator as a cashier's
// program runs them: every sample on every generation, with the paper the
// register prints, its counters and its last document checked after each; a
// print broken off after the document was registered, one cancelled at the
// printer's notice, and a close the register refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../ReliabilityReport.h"
#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

namespace {

using kest::emu::TConfig;
using kest::emu::TEmulator;
using kest::emu::TFault;

TKestCurrency Money(const char* Text) {
    return TKestCurrency::Parse(Text);
}

const std::u16string Goods = u"Какой-то товар";
const std::u16string Account = u"0123456789";

// The driver's ErrCode of each exception class met here.
constexpr int Unsupported = 6, Forbidden = 10, InvalidArg = 14;

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
    explicit TTill(TConfig Config)
        : Emu([this, &Config] {
              Config.Tape = [this](std::string_view Text) {
                  std::lock_guard lock(TapeLock);
                  Tape += Text;
              };
              return std::move(Config);
          }()),
          Drv(Emu.DevicePath(), 300, 1000) {
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

// -- The samples of the test window

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
void CustomHead(TKestorFPrt& D, bool ReceiptNumber = true) {
    Head(D, 32, ReceiptNumber, true);
}
void CompositeHead(TKestorFPrt& D) {
    Head(D, 31, true, false);
}

using TCall = void (*)(TKestorFPrt&);

// A sample document: its open, what is added before the close, the close,
// and the cancel of its kind.
struct TCalls {
    TCall Open, Fill, Close, Cancel;
};

const TCalls RecSale = {
    [](TKestorFPrt& D) { D.OpenReceipt(motSale); },
    [](TKestorFPrt& D) {
        D.AddReceiptItem(Goods, Money("200.56"), false, 7, 555, -300, 524, 2, 0, u"", 0);
        D.AddReceiptItem(Goods, Money("100.00"), false, 7, 555, 0, -1, 0, 0, u"", 0);
    },
    [](TKestorFPrt& D) {
        D.CloseReceipt(Account, mptCash, Money("10000.00"), Money("0.00"), u"", 0, moiNumberName);
    },
    [](TKestorFPrt& D) { D.CancelReceipt(); },
};
const TCalls RecRefund = {
    [](TKestorFPrt& D) { D.OpenReceipt(motRefund); },
    [](TKestorFPrt& D) {
        D.AddReceiptItem(Goods, Money("200.56"), true, 7, 555, 0, 5, 0, 0, u"", 0);
        D.AddReceiptItem(Goods, Money("100.00"), true, 7, 555, 100, -1, 0, 0, u"", 0);
    },
    [](TKestorFPrt& D) {
        D.CloseReceipt(Account, mptCash, Money("0.00"), Money("0.00"), u"", 0, moiNumberName);
    },
    RecSale.Cancel,
};
const TCalls RecCash = {
    [](TKestorFPrt& D) { D.OpenReceipt(motCashIn); },
    [](TKestorFPrt& D) {
        D.AddReceiptItem(u"", Money("10000.00"), false, 0, 0, 0, 0, 0, 0, u"", 0);
    },
    RecRefund.Close,
    RecSale.Cancel,
};

const TCalls CustomSale = {
    [](TKestorFPrt& D) { D.OpenCustomDoc(false, motSale); },
    [](TKestorFPrt& D) {
        CustomHead(D);
        D.AddCustom(Goods, 0, 0, 9);
        D.AddItem(mitItem, Money("100.00"), false, 7, 555, 1000, -1, 0, 0, u"", 0, 0, 10, 39);
        D.AddTotal(0, 0, 11, 39);
        D.AddPay(mptCard, Money("0.00"), Money("0.00"), u"Карта №12345", 0, 0, 12, 39);
        D.AddFiscalSign(0, 0, 13);
        if (D.EKLZSupported()) D.AddEKLZData(0, 0, 14);
    },
    [](TKestorFPrt& D) { D.CloseCustomDoc(mptCash, 0, 1, 1, 0, 40, 2, 0); },
    [](TKestorFPrt& D) { D.CancelCustomDoc(); },
};
const TCalls CustomRefund = {
    [](TKestorFPrt& D) { D.OpenCustomDoc(false, motRefund); },
    [](TKestorFPrt& D) {
        CustomHead(D);
        D.AddCustom(Goods, 0, 0, 9);
        D.AddItem(mitItem, Money("100.00"), false, 7, 555, 0, 2, 0, 0, u"", 0, 0, 10, 39);
        D.AddTotal(0, 0, 11, 39);
        D.AddFiscalSign(0, 0, 12);
        if (D.EKLZSupported()) D.AddEKLZData(0, 0, 13);
    },
    [](TKestorFPrt& D) { D.CloseCustomDoc(mptCard, 0, 1, 1, 0, 40, 1, 0); },
    CustomSale.Cancel,
};
const TCalls CustomCash = {
    [](TKestorFPrt& D) { D.OpenCustomDoc(true, motCashOut); },
    [](TKestorFPrt& D) {
        CustomHead(D, false);
        D.AddItem(mitItem, Money("10000.00"), false, 0, 0, 0, 0, 0, 0, u"", 0, 0, 9, 39);
        D.AddFiscalSign(0, 0, 10);
        if (D.EKLZSupported()) D.AddEKLZData(0, 0, 11);
    },
    [](TKestorFPrt& D) { D.CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0); },
    CustomSale.Cancel,
};

const TCalls FiscalSale = {
    [](TKestorFPrt& D) { D.OpenFiscalDoc(motSale); },
    [](TKestorFPrt& D) {
        CompositeHead(D);
        D.AddCustom(Goods, 16, 0, 8);
        D.AddItem(mitItem, Money("200.89"), false, 6, 0, 0, -1, 0, 1, u"", 0, 0, 9, 0);
        D.AddCustom(Goods, 0, 0, 10);
        D.AddItem(mitItem, Money("200.00"), false, 7, 555, 0, 2, 0, 2, u"шт.", 0, 0, 11, 0);
        D.AddTotal(0, 0, 12, 0);
        D.AddPay(mptCashCard, Money("1000.00"), Money("0.00"), u"", 0, 0, 13, 0);
        D.AddChange(0, 0, 14, 0);
        if (D.EcrModel() == mem207_1FMD) D.AddRegNumber(0, 0, 15);
    },
    [](TKestorFPrt& D) { D.CloseFiscalDoc(); },
    [](TKestorFPrt& D) { D.CancelFiscalDoc(false); },
};
const TCalls FiscalRefund = {
    [](TKestorFPrt& D) { D.OpenFiscalDoc(motRefund); },
    [](TKestorFPrt& D) {
        CompositeHead(D);
        D.AddCustom(Goods, 0, 0, 8);
        D.AddItem(mitItem, Money("200.00"), false, 7, 555, 0, 2, 0, 0, u"шт.", 0, 0, 9, 0);
        D.AddTotal(0, 0, 10, 0);
        if (D.EcrModel() == mem207_1FMD) D.AddRegNumber(0, 0, 11);
    },
    FiscalSale.Close,
    FiscalSale.Cancel,
};
const TCalls FiscalCash = {
    [](TKestorFPrt& D) { D.OpenFiscalDoc(motCashIn); },
    [](TKestorFPrt& D) {
        CompositeHead(D);
        D.AddItem(mitItem, Money("10000.00"), false, 0, 0, 0, 0, 0, 0, u"", 0, 0, 8, 0);
        D.AddTotal(0, 0, 9, 0);
        if (D.EcrModel() == mem207_1FMD) D.AddRegNumber(0, 0, 10);
    },
    FiscalSale.Close,
    FiscalSale.Cancel,
};

// The composite sale in two portions: the head and the first item are
// printed before the rest is added.
const TCalls FiscalSaleInPortions = {
    FiscalSale.Open,
    [](TKestorFPrt& D) {
        CompositeHead(D);
        D.AddCustom(Goods, 16, 0, 8);
        D.AddItem(mitItem, Money("200.89"), false, 6, 0, 0, -1, 0, 1, u"", 0, 0, 9, 0);
        D.PrintFiscalDocBuffer();
        D.AddCustom(Goods, 0, 0, 10);
        D.AddItem(mitItem, Money("200.00"), false, 7, 555, 0, 2, 0, 2, u"шт.", 0, 0, 11, 0);
        D.AddTotal(0, 0, 12, 0);
        D.AddPay(mptCashCard, Money("1000.00"), Money("0.00"), u"", 0, 0, 13, 0);
        D.AddChange(0, 0, 14, 0);
    },
    FiscalSale.Close,
    FiscalSale.Cancel,
};

// The window's frame of a document button: the open outside the guard, and
// the document cancelled when anything after it fails.
void RunButton(const TCalls& Calls, TKestorFPrt& D) {
    Calls.Open(D);
    try {
        Calls.Fill(D);
        Calls.Close(D);
    } catch (...) {
        Calls.Cancel(D);
        throw;
    }
}

// -- What the samples do to the register

struct TMove {
    int Counter;
    int Count;        // added to its count
    const char* Sum;  // added to its sum
};

// A line of the paper that starts with Left and ends with Right.
struct TPaperLine {
    std::u16string Left, Right = {};
};

struct TRefusal {
    std::set<int> Generations;
    int ErrCode, ErrCodeEx;
    std::u16string Detail;
};

struct TSample {
    const char* Name;
    const TCalls& Calls;
    char Command;  // that carries it to the register: "K", "N", "P" or "S"
    TKestOperType Oper;
    const char* Total;
    std::vector<TMove> Moves;
    std::vector<TPaperLine> Lines;  // in this order
    std::vector<TRefusal> Refusals;
};

// The kinds of document each generation does not have.
const TRefusal NoReceipt{{3, 7}, Unsupported, 0, u"проведение стандартного чека"};
const TRefusal NoCustomDoc{
    {3, 7}, Unsupported, 0, u"проведение произвольного фискального документа"};
const TRefusal NoCompositeDoc{
    {1, 2, 6, 8}, Unsupported, 0, u"проведение фискального документа (составного чека)"};

// Counters: 0 sales, 1 refunds, 2 cash in, 3 cash out, 4 and 6 the sales in
// cash and by card, 11 the drawer, 12 the grand total.
const TSample Samples[] = {
    {"RecSale",
     RecSale,
     'K',
     motSale,
     "1119.40",
     {{0, 1, "1119.40"}, {4, 1, "1119.40"}, {11, 0, "1119.40"}, {12, 0, "1119.40"}},
     {{u"СЧЕТ 0123456789"},
      {u"", u"ПРОДАЖА"},
      {u"Какой-то товар"},
      {u"ОТД 07 КОД 555"},
      {u"  5.24 x 200.56", u"=1050.93"},
      {u"  СКИДКА 3.00%", u"=-31.53"},
      {u"Какой-то товар"},
      {u"  100.00", u"=100.00"},
      {u"ИТОГ", u"=1119.40"},
      {u"НАЛИЧНЫМИ", u"=10000.00"},
      {u"СДАЧА", u"=8880.60"}},
     {NoReceipt}},
    {"RecRefund",
     RecRefund,
     'K',
     motRefund,
     "1103.80",
     {{1, 1, "1103.80"}, {11, 0, "-1103.80"}},
     {{u"", u"ВОЗВРАТ ПРОДАЖИ"},
      {u"  5 x 200.56", u"=1002.80"},
      {u"  100.00", u"=100.00"},
      {u"  НАДБАВКА 1.00%", u"=+1.00"},
      {u"ИТОГ", u"=1103.80"},
      {u"НАЛИЧНЫМИ", u"=1103.80"}},
     {NoReceipt}},
    {"RecCash",
     RecCash,
     'K',
     motCashIn,
     "10000.00",
     {{2, 1, "10000.00"}, {11, 0, "10000.00"}},
     {{u"", u"ВНЕСЕНИЕ"}, {u"  10000.00", u"=10000.00"}, {u"ИТОГ", u"=10000.00"}},
     {NoReceipt}},
    {"CustomSale",
     CustomSale,
     'N',
     motSale,
     "110.00",
     {{0, 1, "110.00"}, {6, 1, "110.00"}, {11, 0, "0.00"}, {12, 0, "110.00"}},
     {{u"ООО \"Ромашка\""},
      {u"Спасибо за покупку!"},
      {u"ИНН 7701234567"},
      {u"ОПЕРАТОР 01 Кассир Иванова А.П."},
      {u"СЧЕТ 0123456789"},
      {u"Какой-то товар"},
      {u"100.00 +10.00%", u"=110.00"},
      {u"ИТОГ", u"=110.00"},
      {u"Карта №12345", u"=110.00"},
      {u"ФП"}},
     {NoCustomDoc}},
    {"CustomRefund",
     CustomRefund,
     'N',
     motRefund,
     "200.00",
     {{1, 1, "200.00"}, {11, 0, "0.00"}},
     {{u"Какой-то товар"}, {u"2 x 100.00", u"=200.00"}, {u"ИТОГ", u"=200.00"}, {u"ФП"}},
     // A card pays a refund from generation 3 on.
     {NoCustomDoc, {{1, 2}, InvalidArg, 19, u"вид оплаты не допустим для открытой операции"}}},
    {"CustomCash",
     CustomCash,
     'P',
     motCashOut,
     "10000.00",
     {{3, 1, "10000.00"}, {11, 0, "-10000.00"}},
     {{u"СЧЕТ 0123456789"}, {u"10000.00", u"=10000.00"}, {u"ФП"}},
     // The protected journal records no cash out (generation 8 has one).
     {NoCustomDoc, {{8}, Forbidden, 0, u"добавление данных ЭКЛЗ"}}},
    {"FiscalSale",
     FiscalSale,
     'S',
     motSale,
     "600.89",
     {{0, 1, "600.89"}, {4, 1, "600.89"}, {11, 0, "600.89"}, {12, 0, "600.89"}},
     {{u"ООО \"Ромашка\""},
      {u"ОПЕРАТОР 01 Кассир Иванова А.П."},
      {u"Какой-то товар"},
      {u"200.89", u"=200.89"},
      {u"Какой-то товар"},
      {u"2 шт. x 200.00", u"=400.00"},
      {u"ИТОГ", u"=600.89"},
      {u"НАЛИЧНЫМИ 1000.00", u"КАРТОЙ =0.00"},
      {u"СДАЧА", u"=399.11"},
      {u"", u"ФП"}},
     {NoCompositeDoc}},
    {"FiscalRefund",
     FiscalRefund,
     'S',
     motRefund,
     "400.00",
     {{1, 1, "400.00"}, {11, 0, "-400.00"}},
     {{u"Какой-то товар"}, {u"2 шт. x 200.00", u"=400.00"}, {u"ИТОГ", u"=400.00"}, {u"", u"ФП"}},
     {NoCompositeDoc}},
    {"FiscalCash",
     FiscalCash,
     'S',
     motCashIn,
     "10000.00",
     {{2, 1, "10000.00"}, {11, 0, "10000.00"}},
     {{u"10000.00", u"=10000.00"}, {u"ИТОГ", u"=10000.00"}, {u"", u"ФП"}},
     {NoCompositeDoc}},
};

// The counters a sample may move; the others must stay.
const std::set<int> Watched = {0, 1, 2, 3, 4, 11, 12};

struct TCounterValue {
    int Count;
    TKestCurrency Sum;
};

std::map<int, TCounterValue> ReadCounters(TKestorFPrt& D, const TSample& Sample) {
    std::set<int> numbers = Watched;
    for (const TMove& m : Sample.Moves)
        numbers.insert(m.Counter);
    std::map<int, TCounterValue> values;
    for (int n : numbers) {
        const TKestCurrency sum = D.QueryCounter(n);
        values[n] = {D.CounterCount(), sum};
    }
    return values;
}

// Whether Lines holds Expected in order, each a line of its own.
void ExpectLines(const std::vector<std::u16string>& Lines,
                 const std::vector<TPaperLine>& Expected) {
    auto at = Lines.begin();
    for (const TPaperLine& e : Expected) {
        at = std::find_if(at, Lines.end(), [&](const std::u16string& L) {
            return L.starts_with(e.Left) && L.ends_with(e.Right) &&
                   L.size() >= e.Left.size() + e.Right.size();
        });
        if (at == Lines.end()) {
            std::string tape;
            for (const auto& line : Lines)
                tape += kest::ToUtf8(line) + "\n";
            ADD_FAILURE() << "no line \"" << kest::ToUtf8(e.Left) << "\" .. \""
                          << kest::ToUtf8(e.Right) << "\" in order on the tape:\n"
                          << tape;
            return;
        }
        ++at;
    }
}

size_t CountLines(const std::vector<std::u16string>& Lines, std::u16string_view Text) {
    return std::ranges::count_if(
        Lines, [&](const std::u16string& L) { return L.find(Text) != std::u16string::npos; });
}

// The number printed after Label ("ДОК ", "ЧЕК "); -1 when there is none.
int PrintedNumber(const std::vector<std::u16string>& Lines, std::u16string_view Label) {
    for (const auto& line : Lines) {
        const size_t at = line.find(Label);
        if (at != line.npos) return std::stoi(kest::ToUtf8(line.substr(at + Label.size(), 5)));
    }
    return -1;
}

const std::u16string Separator(40, u'-');

struct TModelCase {
    TKestEcrModel Model;
    const char* Firmware;
    int Generation;
    const char* Name;
};

const TModelCase Models[] = {
    {mem207_1F, "1.0", 1, "Generation1"},
    {mem207_1F, "2.0", 2, "Generation2"},
    {mem207_1F, "1.0 VLS B2.5", 3, "Generation3"},
    {mem207_1FMD, "1.0 MD B3.0", 3, "Generation3Moldavian"},
    {mem207_1F, "6.0", 6, "Generation6"},
    {memPCK, "1.0 PCK", 7, "Generation7"},
    {mem207_1K, "1.0", 8, "Generation8"},
};

class SampleDocuments : public testing::TestWithParam<TModelCase> {};

// Every sample in turn on one register, as the buttons would be pressed.
TEST_P(SampleDocuments, PrintOrAreRefusedAsTheRegisterAllows) {
    TTill till(Register(GetParam().Model, GetParam().Firmware));
    TTillDriver& drv = till.Drv;
    ASSERT_EQ(drv.Generation(), GetParam().Generation);
    const int generation = drv.Generation();
    int printed = 0;
    for (const TSample& sample : Samples) {
        SCOPED_TRACE(sample.Name);
        drv.QueryLastDocInfo();
        const int number = drv.LastDocNumber(), receipt = drv.LastRecNumber();
        const std::map<int, TCounterValue> before = ReadCounters(drv, sample);
        till.TakeTape();
        till.TakeSent();

        const auto refusal = std::ranges::find_if(
            sample.Refusals, [&](const TRefusal& R) { return R.Generations.contains(generation); });
        try {
            RunButton(sample.Calls, drv);
            EXPECT_EQ(refusal, sample.Refusals.end()) << "printed";
        } catch (const EKestError& e) {
            ASSERT_NE(refusal, sample.Refusals.end()) << e.what();
            EXPECT_EQ(e.ErrCode(), refusal->ErrCode) << e.what();
            EXPECT_EQ(e.ErrCodeEx(), refusal->ErrCodeEx) << e.what();
            EXPECT_TRUE(e.Message().ends_with(u":\r\n" + refusal->Detail)) << e.what();
        }
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        const std::vector<std::u16string> tape = till.TakeTape();
        const std::string sent = till.TakeSent();
        const std::map<int, TCounterValue> after = ReadCounters(drv, sample);
        drv.QueryLastDocInfo();

        if (refusal != sample.Refusals.end()) {
            // Refused before a byte of the document went out.
            EXPECT_EQ(sent, "");
            EXPECT_TRUE(tape.empty());
            EXPECT_EQ(drv.LastDocNumber(), number);
            for (const auto& [n, value] : before) {
                EXPECT_EQ(after.at(n).Count, value.Count) << "counter " << n;
                EXPECT_EQ(after.at(n).Sum, value.Sum) << "counter " << n;
            }
            continue;
        }
        ++printed;
        // One request carries the whole document, after the question for
        // the last document's number.
        EXPECT_EQ(sent, std::string("J") + sample.Command);
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        ExpectLines(tape, sample.Lines);

        // The register's last document is this one, under the next number.
        EXPECT_EQ(drv.LastDocType(), sample.Oper);
        EXPECT_EQ(drv.LastDocNumber(), number + 1);
        EXPECT_EQ(drv.LastDocSum(), Money(sample.Total));
        EXPECT_EQ(PrintedNumber(tape, u"ДОК "), number + 1);
        // The receipt number: in "J" from generation 3 on.
        if (generation >= 3) {
            EXPECT_EQ(drv.LastRecNumber(), receipt + 1);
            if (sample.Command != 'P') {
                EXPECT_EQ(PrintedNumber(tape, u"ЧЕК "), receipt + 1);
            }
        }

        for (const auto& [n, value] : before) {
            SCOPED_TRACE("counter " + std::to_string(n));
            TCounterValue expected = value;
            for (const TMove& m : sample.Moves)
                if (m.Counter == n) expected = {value.Count + m.Count, value.Sum + Money(m.Sum)};
            EXPECT_EQ(after.at(n).Count, expected.Count);
            EXPECT_EQ(after.at(n).Sum, expected.Sum);
        }
    }
    // All that the register has but the refused ones.
    const std::map<int, int> printable = {{1, 5}, {2, 5}, {3, 3}, {6, 6}, {7, 3}, {8, 5}};
    EXPECT_EQ(printed, printable.at(generation));
}

// A sale of each kind, and where it is printed.
struct TKindCase {
    const char* Name;
    TKestEcrModel Model;
    const char* Firmware;
    const TCalls& Calls;
    std::string Sent;     // the commands of the close
    TKestDocStatus Kept;  // the driver's document status while it is open
    const char* Total;
};
const TKindCase Kinds[] = {
    {"receipt", mem207_1F, "2.0", RecSale, "JK", mdsReceipt, "1119.40"},
    {"custom document", mem207_1K, "1.0", CustomSale, "JN", mdsCustom, "110.00"},
    {"form", mem207_1F, "6.0", CustomCash, "JP", mdsForm, "10000.00"},
    {"composite document", mem207_1F, "1.0 VLS B2.5", FiscalSale, "JS", mdsCached, "600.89"},
    {"composite document in portions", memPCK, "1.0 PCK", FiscalSaleInPortions, "JS", mdsOpened,
     "600.89"},
};

// The printed count as the exactly-once table of docs/RELIABILITY.md shows it.
std::string Printed(size_t Tape, int Numbers) {
    return "printed " + std::to_string(Tape) + " (tape), numbered " + std::to_string(Numbers);
}
void ReportExactlyOnce(const std::string& Close, const std::string& Case,
                       const std::string& Outcome) {
    kest::test::TReport::Get().Set("exactly-once", "close", Close, Case, Outcome);
}

TEST(DocumentsLink, InterruptedPrintThatWentThroughCountsAsPrinted) {
    for (const TKindCase& kind : Kinds) {
        SCOPED_TRACE(kind.Name);
        TTill till(Register(kind.Model, kind.Firmware));
        TTillDriver& drv = till.Drv;
        const int number = drv.DocNumber();
        kind.Calls.Open(drv);
        kind.Calls.Fill(drv);
        till.TakeSent();
        // The register registers and prints the document, then answers 10.
        till.Emu.InjectFault(TFault::InterruptedPrint, 1);
        EXPECT_NO_THROW(kind.Calls.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(drv.ErrCode(), 0);
        // The answer 10 made the driver ask for the last document again.
        EXPECT_EQ(till.TakeSent(), kind.Sent + "J");
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        std::vector<std::u16string> tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, u"ПЕЧАТЬ ПРЕРВАНА"), 1u);
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        EXPECT_EQ(drv.DocNumber(), number + 1);
        ReportExactlyOnce(
            kind.Name, "registered, then cancelled (error 10)",
            "success, closed; " + Printed(CountLines(tape, Separator), drv.DocNumber() - number));

        // The next document takes the next number: one was used, once.
        RunButton(kind.Calls, drv);
        tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, u"ПЕЧАТЬ ПРЕРВАНА"), 0u);
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        EXPECT_EQ(PrintedNumber(tape, u"ДОК "), number + 2);
        drv.QueryLastDocInfo();
        EXPECT_EQ(drv.LastDocNumber(), number + 2);
        EXPECT_EQ(drv.LastDocSum(), Money(kind.Total));
    }
}

// An answer spoilt or lost on the line after the register printed the
// document: the close counts as printed. When the question for the last
// document is lost as well, the close fails, and the close tried again asks
// first and prints nothing twice.
TEST(DocumentsLink, AnswerLostAfterThePrintCountsAsPrinted) {
    for (const TKindCase& kind : Kinds) {
        SCOPED_TRACE(kind.Name);
        TTill till(Register(kind.Model, kind.Firmware));
        TTillDriver& drv = till.Drv;
        const char cmd = kind.Sent.back();
        // A cut answer runs out of time, a wrong echo is malformed; three cash
        // outs of the form leave the drawer something.
        for (const TFault fault : {TFault::CutShort, TFault::WrongEcho}) {
            SCOPED_TRACE(static_cast<int>(fault));
            const int number = drv.DocNumber();
            kind.Calls.Open(drv);
            kind.Calls.Fill(drv);
            till.TakeTape();
            till.TakeSent();
            drv.BeforeRequest = [&](char Cmd) {
                if (Cmd == cmd) till.Emu.InjectFault(fault, 1);
            };
            EXPECT_NO_THROW(kind.Calls.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
            drv.BeforeRequest = nullptr;
            EXPECT_EQ(till.TakeSent(), kind.Sent + "J");
            EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
            EXPECT_EQ(CountLines(till.TakeTape(), Separator), 1u);
            EXPECT_EQ(drv.DocNumber(), number + 1);
        }

        const int number = drv.DocNumber();
        kind.Calls.Open(drv);
        kind.Calls.Fill(drv);
        till.TakeTape();
        till.TakeSent();
        int lost = 0;  // the document's answer, then the question's
        drv.BeforeRequest = [&](char Cmd) {
            if ((lost == 0 && Cmd == cmd) || lost == 1) {
                till.Emu.InjectFault(TFault::NoAnswer, 1);
                ++lost;
            }
        };
        EXPECT_THROW(kind.Calls.Close(drv), EKestNoResponse);
        drv.BeforeRequest = nullptr;
        EXPECT_EQ(till.TakeSent(), kind.Sent + "J");
        EXPECT_EQ(drv.GetDocStatus(), kind.Kept);
        EXPECT_EQ(CountLines(till.TakeTape(), Separator), 1u);
        EXPECT_NO_THROW(kind.Calls.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(till.TakeSent(), "J");
        EXPECT_TRUE(till.TakeTape().empty());
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        EXPECT_EQ(drv.DocNumber(), number + 1);
    }
}

TEST(DocumentsLink, PrintCancelledAtThePrintersNoticeIsKeptAndPrintedOnce) {
    for (const TKindCase& kind : Kinds) {
        SCOPED_TRACE(kind.Name);
        TTill till(Register(kind.Model, kind.Firmware));
        TTillDriver& drv = till.Drv;
        const int number = drv.DocNumber();
        kind.Calls.Open(drv);
        kind.Calls.Fill(drv);
        till.TakeTape();
        till.TakeSent();
        // The printer is not ready for the document; the cashier answers No.
        int notices = 0;
        drv.OnPrinterError = [&notices](TKestorFPrt&) { ++notices; };
        drv.BeforeRequest = [&](char Cmd) {
            if (Cmd == kind.Sent.back()) till.Emu.SetNotices(1);
        };
        EXPECT_THROW(kind.Calls.Close(drv), EKestEcrError);
        drv.BeforeRequest = nullptr;
        const int error = drv.ErrCodeEx();
        EXPECT_EQ(error, 10);
        EXPECT_EQ(notices, 1);
        EXPECT_EQ(till.TakeSent(), kind.Sent + "J");
        // Not registered, and kept to be closed again.
        const size_t cancelled = CountLines(till.TakeTape(), Separator);
        EXPECT_EQ(cancelled, 0u);
        EXPECT_EQ(drv.GetDocStatus(), kind.Kept);
        EXPECT_EQ(drv.DocNumber(), number);
        const std::string outcome =
            "error " + std::to_string(error) + ", document kept; " + Printed(cancelled, 0);

        EXPECT_NO_THROW(kind.Calls.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(till.TakeSent(), "J" + kind.Sent);
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        const std::vector<std::u16string> tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        drv.QueryLastDocInfo();
        EXPECT_EQ(drv.LastDocNumber(), number + 1);
        EXPECT_EQ(drv.LastDocSum(), Money(kind.Total));
        ReportExactlyOnce(kind.Name, "cancelled before it registered",
                          outcome + "; closed again: " +
                              Printed(CountLines(tape, Separator), drv.LastDocNumber() - number));
    }
}

// A close the register refuses (cash that does not cover the total) keeps
// the document: a receipt takes its payment again with the close; the
// payment of a custom or composite document is a property, given once, so
// that document can only be closed again or cancelled.
TEST(DocumentsLink, CloseTheRegisterRefusesKeepsTheDocument) {
    constexpr int OutOfRange = 21;
    {
        SCOPED_TRACE("receipt");
        TTill till(Register(mem207_1F, "2.0"));
        TTillDriver& drv = till.Drv;
        const int number = drv.DocNumber();
        RecSale.Open(drv);
        RecSale.Fill(drv);
        EXPECT_THROW(drv.CloseReceipt(Account, mptCash, Money("1000.00"), Money("0.00"), u"", 0,
                                      moiNumberName),
                     EKestEcrError);
        EXPECT_EQ(drv.ErrCodeEx(), OutOfRange);
        EXPECT_EQ(drv.GetDocStatus(), mdsReceipt);
        EXPECT_TRUE(till.TakeTape().empty());
        EXPECT_EQ(drv.DocNumber(), number);
        EXPECT_NO_THROW(RecSale.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
        const std::vector<std::u16string> tape = till.TakeTape();
        ExpectLines(tape, {{u"  5.24 x 200.56", u"=1050.93"},
                           {u"  100.00", u"=100.00"},
                           {u"ИТОГ", u"=1119.40"},
                           {u"НАЛИЧНЫМИ", u"=10000.00"}});
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        EXPECT_EQ(drv.DocNumber(), number + 1);
    }
    {
        SCOPED_TRACE("custom document");
        TTill till(Register(mem207_1K));
        TTillDriver& drv = till.Drv;
        const int number = drv.DocNumber();
        drv.OpenCustomDoc(false, motSale);
        CustomHead(drv);
        drv.AddItem(mitItem, Money("100.00"), false, 7, 555, 1000, -1, 0, 0, u"", 0, 0, 9, 39);
        drv.AddTotal(0, 0, 10, 39);
        drv.AddPay(mptCash, Money("100.00"), Money("0.00"), u"", 0, 0, 11, 39);
        drv.AddChange(0, 0, 12, 39);
        drv.AddFiscalSign(0, 0, 13);
        drv.AddEKLZData(0, 0, 14);
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_THROW(CustomSale.Close(drv), EKestEcrError);
            EXPECT_EQ(drv.ErrCodeEx(), OutOfRange);
            EXPECT_EQ(drv.GetDocStatus(), mdsCustom);
        }
        EXPECT_THROW(drv.AddPay(mptCash, Money("200.00"), Money("0.00"), u"", 0, 0, 11, 39),
                     EKestDuplication);
        EXPECT_EQ(drv.ErrCodeEx(), 13);
        till.TakeSent();
        drv.CancelCustomDoc();
        EXPECT_EQ(till.TakeSent(), "");
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        EXPECT_TRUE(till.TakeTape().empty());
        EXPECT_EQ(drv.DocNumber(), number);
    }
    {
        SCOPED_TRACE("composite document in portions");
        TTill till(Register(memPCK));
        TTillDriver& drv = till.Drv;
        const int number = drv.DocNumber();
        const TKestCurrency sales = drv.QueryCounter(0);
        drv.OpenFiscalDoc(motSale);
        CompositeHead(drv);
        drv.AddItem(mitItem, Money("200.89"), false, 6, 0, 0, -1, 0, 1, u"", 0, 0, 8, 0);
        drv.PrintFiscalDocBuffer();
        EXPECT_EQ(drv.GetDocStatus(), mdsOpened);
        drv.AddTotal(0, 0, 9, 0);
        drv.AddPay(mptCash, Money("100.00"), Money("0.00"), u"", 0, 0, 10, 0);
        drv.AddChange(0, 0, 11, 0);
        till.TakeTape();
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_THROW(drv.CloseFiscalDoc(), EKestEcrError);
            EXPECT_EQ(drv.ErrCodeEx(), OutOfRange);
            EXPECT_EQ(drv.GetDocStatus(), mdsOpened);
        }
        EXPECT_TRUE(till.TakeTape().empty());
        // The register's document is cancelled there.
        till.TakeSent();
        drv.CancelFiscalDoc(false);
        EXPECT_EQ(till.TakeSent(), "S");
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        EXPECT_EQ(CountLines(till.TakeTape(), u"ЧЕК АННУЛИРОВАН"), 1u);
        EXPECT_EQ(drv.DocNumber(), number);
        EXPECT_EQ(drv.QueryCounter(0), sales);
    }
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

// What the samples leave out, on the registers that have it: item and
// document adjustments and voids, tax sums, mixed payments, a barcode, rows
// past 99, buyings and voids.
TEST(DocumentsLink, PropertiesAndOperationsBeyondTheSamples) {
    struct TCase {
        const char* Name;
        TKestEcrModel Model;
        const char* Firmware;
        TCall Print;
        TKestOperType Oper;
        const char* Total;
        std::vector<TPaperLine> Lines;
        size_t Rows = 0;  // of a document laid out by rows, the last one its separator
    };
    const TCase cases[] = {
        {"composite sale with adjustments and voids",
         mem207_1F,
         "",
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
             D.CloseFiscalDoc();
         },
         motSale,
         "284.00",
         {{u"3 кг x 100.00", u"=300.00"},
          {u"СКИДКА 5.00%", u"=-15.00"},
          {u"СТОРНО СКИДКА 5.00%", u"=+15.00"},
          {u"НАДБАВКА", u"=+10.00"},
          {u"1.500 кг x 50.00", u"=75.00"},
          {u"СТОРНО 1.500 кг x 50.00", u"=-75.00"},
          {u"СКИДКА НА ЧЕК 10.00%", u"=-31.00"},
          {u"СТОРНО СКИДКА НА ЧЕК", u"=+5.00"},
          {u"ИТОГ", u"=284.00"},
          {u"НДС 18%", u"=43.32"},
          {u"НАЛИЧНЫМИ", u"=500.00"},
          {u"СДАЧА", u"=216.00"}}},
        {"composite refund without cash",
         memPCK,
         "",
         [](TKestorFPrt& D) {
             D.OpenFiscalDoc(motRefundCashless);
             ShortHead(D, false);
             D.AddItem(mitItem, Money("100.00"), false, 1, 123456, 0, -1, 0, 4, u"шт.", 0, 0, 6, 0);
             D.AddTotal(0, 0, 7, 0);
             D.CloseFiscalDoc();
         },
         motRefundCashless,
         "100.00",
         {{u"", u"=100.00"}, {u"ИТОГ", u"=100.00"}}},
        {"custom sale with tax sums, cash and card, a barcode and row 150",
         mem207_1F,
         "6.0",
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
             D.CloseCustomDoc(mptCash, 0xF, 2, 1, 3, 30, 4, 5);
         },
         motSale,
         "150.00",
         // The values end at the second offset, column 30.
         {{u"1.500 x 100.00          =150.00"},
          {u"1 x 10.00 -99.99%         =0.00"},
          {u"ИТОГ                    =150.00"},
          {u"НДС 10%                  =13.64"},
          {u"НАЛИЧНЫМИ 100.00 КАРТОЙ =100.00"},
          {u"СДАЧА                    =50.00"},
          {u"ШК 000000010000000200000003FFFFFFFF"},
          {u"Спасибо!"}},
         152},
        {"custom buying with rows past 99",
         mem207_1K,
         "",
         [](TKestorFPrt& D) {
             D.OpenCustomDoc(false, motBuying);
             ShortHead(D, true);
             D.AddItem(mitItem, Money("100.00"), false, 1, 1, 0, -1, 0, 2, u"", 0, 0, 6, 39);
             D.AddTotal(0, 0, 7, 39);
             D.AddPay(mptCash, Money("100.00"), {}, u"", 0, 0, 8, 39);
             D.AddCustom(u"Закупка", 0, 0, 120);
             D.AddFiscalSign(0, 0, 130);
             D.AddEKLZData(0, 0, 140);
             D.CloseCustomDoc(mptCash, 0, 0, 0, 0, 0, 0, 0);
         },
         motBuying,
         "100.00",
         {{u"НАЛИЧНЫМИ", u"=100.00"}, {u"Закупка"}, {u"ФП"}, {u"ЭКЛЗ КПК"}},
         142},
        {"custom sale by card, a text of 40 and a one-digit second offset",
         mem207_1K,
         "",
         [](TKestorFPrt& D) {
             D.OpenCustomDoc(false, motSale);
             ShortHead(D, true);
             D.AddItem(mitItem, Money("100.00"), false, 1, 1, 0, -1, 0, 0, u"", 0, 0, 6, 39);
             D.AddTotal(0, 0, 7, 39);
             D.AddPay(mptCard, {}, {}, u"Карта 2200 1234 5678 9010 одобрено 00123", 0, 0, 8, 9);
             D.AddFiscalSign(0, 0, 9);
             D.AddEKLZData(0, 0, 10);
             D.CloseCustomDoc(mptCash, 0, 0, 0, 0, 0, 0, 0);
         },
         motSale,
         "100.00",
         // The offset takes the text's last two bytes; the value ends at column 9.
         {{u"ИТОГ", u"=100.00"}, {u"Кар=100.00 1234 5678 9010 одобрено 001"}}},
        {"receipt in cash and on credit",
         mem207_1K,
         "",
         [](TKestorFPrt& D) {
             D.OpenReceipt(motSale);
             D.AddReceiptItem(u"Товар", Money("1000.00"), false, 1, 1, 0, -1, 0, 1, u"");
             D.CloseReceipt(u"", mptCashCredit, Money("500.00"), Money("500.00"), u"", 0, moiName);
         },
         motSale,
         "1000.00",
         {{u"Кассир Иванова А.П."},
          {u"ИТОГ", u"=1000.00"},
          {u"НАЛИЧНЫМИ", u"=500.00"},
          {u"КРЕДИТОМ", u"=500.00"},
          {u"НДС 10%", u"=90.91"}}},
        {"void receipt paid by card",
         mem207_1F,
         "6.0",
         [](TKestorFPrt& D) {
             D.OpenReceipt(motVoid);
             D.AddReceiptItem(u"Товар", Money("10.00"), false, 1, 1, 0, 1, 0, 0, u"");
             D.CloseReceipt(u"", mptCard, {}, {}, u"Карта 1234", 0, moiName);
         },
         motVoid,
         "10.00",
         {{u"", u"АННУЛИРОВАНИЕ"}, {u"КАРТОЙ", u"=10.00"}, {u"Карта 1234"}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTill till(Register(c.Model, c.Firmware));
        TTillDriver& drv = till.Drv;
        const int number = drv.DocNumber();
        EXPECT_NO_THROW(c.Print(drv)) << kest::ToUtf8(drv.ErrMessage());
        const std::vector<std::u16string> tape = till.TakeTape();
        EXPECT_EQ(CountLines(tape, Separator), 1u);
        ExpectLines(tape, c.Lines);
        if (c.Rows != 0) {
            EXPECT_EQ(tape.size(), c.Rows);
        }
        drv.QueryLastDocInfo();
        EXPECT_EQ(drv.LastDocType(), c.Oper);
        EXPECT_EQ(drv.LastDocNumber(), number + 1);
        EXPECT_EQ(drv.LastDocSum(), Money(c.Total));
    }
}

// The two commands on the last document: a copy prints it again and counts
// nothing; a repeat registers it once more under the next number.
TEST(DocumentsLink, CopyAndRepeatOfTheLastDocument) {
    for (const TKindCase& kind : {Kinds[0], Kinds[3]}) {
        SCOPED_TRACE(kind.Name);
        TTill till(Register(kind.Model, kind.Firmware));
        TTillDriver& drv = till.Drv;
        RunButton(kind.Calls, drv);
        const int number = drv.DocNumber();
        const TKestCurrency sales = drv.QueryCounter(0);
        till.TakeTape();
        till.TakeSent();

        if (drv.Generation() == 3) {
            drv.CopyFiscalDoc();
            const std::vector<std::u16string> copy = till.TakeTape();
            EXPECT_EQ(CountLines(copy, u"КОПИЯ"), 1u);
            EXPECT_EQ(PrintedNumber(copy, u"ДОК "), number);
            EXPECT_EQ(drv.DocNumber(), number);
        } else {
            EXPECT_THROW(drv.CopyFiscalDoc(), EKestUnsupported);
            EXPECT_EQ(till.TakeSent(), "");
        }

        // The register answers the repeat with the command of the document.
        EXPECT_NO_THROW(drv.RepeatOperation()) << kest::ToUtf8(drv.ErrMessage());
        const std::vector<std::u16string> again = till.TakeTape();
        EXPECT_EQ(CountLines(again, Separator), 1u);
        EXPECT_EQ(PrintedNumber(again, u"ДОК "), number + 1);
        drv.QueryLastDocInfo();
        EXPECT_EQ(drv.LastDocNumber(), number + 1);
        EXPECT_EQ(drv.LastDocSum(), Money(kind.Total));
        EXPECT_EQ(drv.QueryCounter(0), sales + Money(kind.Total));
    }
}

INSTANTIATE_TEST_SUITE_P(Models, SampleDocuments, testing::ValuesIn(Models),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
