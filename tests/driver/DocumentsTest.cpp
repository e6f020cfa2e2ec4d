// The fiscal documents over a scripted line: the records byte for byte, the
// request frames, the document states, the rules of the properties, and that
// a refused call or a failed close loses nothing while an interrupted print
// that went through is not printed again.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ScriptedLine.h"

namespace {

using namespace std::string_literals;

class TDocLine : public TScriptedLine {
public:
    using TKestorFPrt::FillPayInfo;
    using TKestorFPrt::FillPriceData;

    // What identification and Open leave.
    void Attach(int Generation, bool EKLZ = false) {
        Connect(Generation);
        Identify(0x0100, 0, EKLZ);
        FDocStatus = mdsClosed;
        RegisterStatus(0);
    }
    // The status word of an answer of generation 3 or 7.
    void RegisterStatus(uint16_t Raw) {
        FRawEcrStatus = Raw;
        UpdateEcrStatus();
    }
    template <class F>
    auto Call(F&& f) {
        return RunCmd(f);
    }
    bool CountersValid() const { return FCountersValid; }
    void SetCountersValid() { FCountersValid = true; }
    int Count() const { return FReceiptItemCount + FDoc.Count; }
    std::string Item(int Index) const { return Bytes(FReceiptItems[Index]); }
    // The last stored property in its generation's layout.
    std::string LastProperty() const {
        const int i = FDoc.Count - 1;
        return HasV03Layout() ? Bytes(FDoc.RecordsV03[i]) : Bytes(FDoc.Records[i]);
    }
    // Everything the documents keep.
    std::string Buffers() const {
        std::string s = Bytes(FReceiptHeader) + Bytes(FReceiptItems) + Bytes(FDoc.Records) +
                        Bytes(FDoc.RecordsV03) + Bytes(FDoc.Header) + FDoc.Present.to_string();
        for (int n : {FReceiptItemCount, FDoc.Count, FDoc.FiscalSignX, FDoc.FiscalSignY,
                      FDoc.EKLZDataY, FDoc.MandatoryY, int{FDoc.LastPayType}, int{FDocStatus},
                      int{FOper}, int{FCachedOper}})
            s += '|' + std::to_string(n);
        return s;
    }

private:
    template <class T>
    static std::string Bytes(const T& Value) {
        return {reinterpret_cast<const char*>(&Value), sizeof Value};
    }
};

using D = TDocLine;
using TCall = std::function<void(D&)>;

// Text with each "|" standing for 0x00.
std::string N(std::string Text) {
    std::replace(Text.begin(), Text.end(), '|', '\0');
    return Text;
}

// Text padded with 0x00 to Size bytes.
std::string F(const std::string& Text, size_t Size) {
    return Text + std::string(Size - Text.size(), '\0');
}

std::string Request(char Cmd, const std::string& Data = {}) {
    return WithBcc(std::string(1, Cmd) + "5862\0"s + Data);
}

std::string Done(char Echo, const char* Status = "0000") {
    return AnswerFrame(Echo, Status, "0000", "08");
}

// The register's last document ("J") as generation G sends it.
std::string LastDoc(int G, int Number, const std::string& Type = "00") {
    char number[8];
    std::snprintf(number, sizeof number, "%05d", Number);
    std::string data = "01|" + std::string(number) + "|06122026|1015|" + Type + '|' + F("1", 16);
    if (G >= 3) data += "00001|";
    if (G == 7 || G == 8) data += "00002|";
    if (G == 8) data += F("0", 16);
    return AnswerFrame('J', "0000", "0000", "08", N(data));
}

// A property of the 53-byte layout, as a generation-8 register takes it
// (54 bytes), and of the 61-byte layout (an item's data starts at 15).
std::string P53(const std::string& Code, const std::string& Flags, const std::string& X,
                const std::string& Y, const std::string& Data = {}) {
    return F(Code, 3) + F(Flags, 3) + F(X, 3) + Y + std::string(3 - Y.size(), '\0') + F(Data, 41);
}
std::string P54(const std::string& Code, const std::string& X, const std::string& Y,
                const std::string& Data = {}) {
    return F(Code, 3) + F("00", 3) + F(X, 3) + F(Y, 4) + F(Data, 41);
}
std::string P61(const std::string& Code, const std::string& Flags, const std::string& X,
                const std::string& Y, const std::string& Data = {}, bool Item = false) {
    return F(Code, 3) + F(Flags, 5) + F(X, 3) + F(Y, 4) +
           (Item ? F(Data, 46) : F("", 5) + F(Data, 41));
}
std::string Price38(const std::string& Department, const std::string& Code,
                    const std::string& Adjustment, const std::string& Quantity,
                    const std::string& Price) {
    return F(Department, 3) + F(Code, 5) + F(Adjustment, 6) + F(Quantity, 12) + F(Price, 12);
}

TKestCurrency Money(const char* Text) {
    return TKestCurrency::Parse(Text);
}

// Adds the property Code at X, Y with flags 0, as the test window does.
void AddPlain(D& Drv, int Code, int X, int Y, int Second = 0) {
    using TPlain = void (TKestorFPrt::*)(int, int, int);
    const std::pair<int, TPlain> plain[] = {
        {0, &D::AddSerialNumber},  {5, &D::AddDateTime},        {7, &D::AddDocNumber},
        {8, &D::AddReceiptNumber}, {10, &D::AddTaxPayerNumber}, {20, &D::AddFiscalSign},
    };
    for (const auto& [code, add] : plain)
        if (code == Code) return (Drv.*add)(0, X, Y);
    if (Code == 6) return Drv.AddOperInfo(moiNumber, 0, X, Y);
    if (Code == 9) return Drv.AddAccount(u"0123456789", 0, X, Y);
    if (Code == 11)
        return Drv.AddItem(mitItem, Money("100"), false, 7, 555, 0, 2, 0, 0, u"", 0, X, Y, Second);
    if (Code == 12) return Drv.AddTotal(0, X, Y, Second);
    if (Code == 13) return Drv.AddPay(mptCash, Money("200"), {}, u"", 0, X, Y, Second);
    if (Code == 14) return Drv.AddChange(0, X, Y, Second);
    Drv.AddHeaderLine(Code, 0, X, Y);
}

void AddRows(D& Drv, std::initializer_list<int> Codes, int X = 0) {
    int y = 0;
    for (int code : Codes)
        AddPlain(Drv, code, X, y++);
}

// A custom sale with every property, in the register's order.
const std::initializer_list<int> FullSale = {0, 1, 5, 6, 7, 9, 10, 11, 8, 12, 13, 14, 20};
const std::initializer_list<int> FullRefund = {0, 1, 5, 6, 7, 10, 11, 8, 12, 20};

// What a call raised; the detail is the message after its head.
struct TOutcome {
    TOutcome(int Code = 0, int CodeEx = 0, std::u16string Text = {})
        : ErrCode(Code), ErrCodeEx(CodeEx), Detail(std::move(Text)) {}
    int ErrCode, ErrCodeEx;
    std::u16string Detail;
};

void ExpectOutcome(const D& Drv, const TOutcome& Expected) {
    const std::u16string& m = Drv.ErrMessage();
    const size_t colon = m.find(u":\r\n");
    const std::u16string detail = colon == m.npos ? u"" : m.substr(colon + 3);
    EXPECT_EQ(Drv.ErrCode(), Expected.ErrCode);
    EXPECT_EQ(Drv.ErrCodeEx(), Expected.ErrCodeEx);
    // The texts of EKestInvalidArg go with their codes.
    if (Expected.ErrCode != 14) {
        EXPECT_EQ(detail, Expected.Detail);
    }
}

TOutcome Err(int Code, int CodeEx = 0, std::u16string Detail = {}) {
    return {Code, CodeEx, std::move(Detail)};
}
TOutcome Arg(int Code) {
    return {14, Code};
}
const TOutcome Ok;

const TCall Nothing = [](D&) {};

TEST(Documents, GoldenRecords) {
    D drv;
    drv.Attach(2);
    drv.OpenReceipt(motSale);
    const std::string golden = Price38("7", "555", "3.00", "5.24", "200.56");
    char price[46] = {};
    EXPECT_EQ(drv.Call([&] {
        return drv.FillPriceData(mitItem, Money("200.56"), false, 7, 555, -300, 524, 2, 0, u"",
                                 price);
    }),
              0x80);
    EXPECT_EQ(std::string(price, 46), golden + F("", 8));
    drv.AddReceiptItem(u"Widget", Money("200.56"), false, 7, 555, -300, 524, 2, 0, u"");
    EXPECT_EQ(drv.Item(0), F("Widget", 41) + F("80", 3) + golden);

    // Amounts go in hundredths, halves to even; no quantity leaves its slot empty.
    const std::tuple<const char*, int, int, std::string> cases[] = {
        {"0.025", -1, 0, Price38("7", "555", "", "", "0.02")},
        {"0.035", 3, 0, Price38("7", "555", "", "3", "0.04")},
        {"1500", 1500, 3, Price38("7", "555", "", "1.500", "1500.00")},
    };
    for (const auto& [amount, quantity, precision, record] : cases) {
        drv.Call([&] {
            drv.FillPriceData(mitItem, Money(amount), false, 7, 555, 0, quantity, precision, 0, u"",
                              price);
        });
        EXPECT_EQ(std::string(price, 38), record) << amount;
    }

    // Generations 3 and 7: six-digit codes, a surcharge of 100 % filling its
    // slot, the unit and the tax index in the high byte.
    D g3;
    g3.Attach(3);
    g3.OpenFiscalDoc(motSale);
    EXPECT_EQ(g3.Call([&] {
        return g3.FillPriceData(mitItem, Money("2"), true, 7, 123456, 10000, 2, 0, 2, u"шт.",
                                price);
    }),
              0x0240);
    EXPECT_EQ(std::string(price, 46), F("7", 3) + F("123456", 7) + "100.00" + F("2", 12) +
                                          F("2.00", 12) + F("\xE8\xE2.", 6));

    // Cash with card: two amounts, each with its 0x00.
    char pay[41];
    EXPECT_EQ(
        g3.Call([&] { return g3.FillPayInfo(mptCashCard, Money("100"), Money("50"), u"", pay); }),
        '4');
    EXPECT_EQ(std::string(pay, 41), N("100.00|") + F("50.00", 34));

    // The date and time at X 5, Y 12 in both layouts.
    g3.AddDateTime(0, 5, 12);
    EXPECT_EQ(g3.LastProperty(), N("05|0020|5||12||") + F("", 46));
    drv.CancelReceipt();
    drv.OpenCustomDoc(false, motSale);
    drv.AddDateTime(0, 5, 12);
    EXPECT_EQ(drv.LastProperty(), N("05|00|5||12|") + F("", 41));
}

TEST(Documents, RequestFrames) {
    const std::string form =
        P53("00", "00", "0", "0") + P53("01", "00", "0", "1") + P53("05", "00", "0", "2") +
        P53("06", "00", "0", "3") + P53("07", "00", "0", "4") + P53("10", "00", "0", "5") +
        P53("11", "00", "0", "6", Price38("", "", "", "", "100.00")) + P53("20", "00", "0", "7");
    const std::string refund = P54("00", "0", "0") + P54("01", "0", "1") + P54("05", "0", "2") +
                               P54("06", "0", "3") + P54("07", "0", "4") + P54("10", "0", "5") +
                               P54("11", "0", "6", Price38("7", "555", "", "2", "100.00") + "39") +
                               P54("08", "0", "7") + P54("12", "0", "8", F("", 38) + "39") +
                               P54("20", "0", "9");
    struct Case {
        const char* What;
        int Generation;
        TCall Calls;
        std::vector<std::string> Answers;
        std::string Expected;
    };
    const Case cases[] = {
        {"receipt, generation 2",
         2,
         [](D& d) {
             d.OpenReceipt(motSale);
             d.AddReceiptItem(u"Widget", Money("200.56"), false, 7, 555, -300, 524, 2, 0, u"");
             d.CloseReceipt(u"0123456789", mptCash, Money("10000"), {}, u"", 0, moiNumberName);
         },
         {LastDoc(2, 5), Done('K')},
         Request('J') + Request('K', N("0||||0|0|") + F("10000.00", 21) + F("0123456789", 41) +
                                         F("1", 4) + F("Widget", 41) + F("80", 3) +
                                         Price38("7", "555", "3.00", "5.24", "200.56"))},
        {"form, generation 2",
         2,
         [](D& d) {
             d.OpenCustomDoc(true, motCashOut);
             AddRows(d, {0, 1, 5, 6, 7, 10});
             d.AddItem(mitItem, Money("100"), false, 0, 0, 0, 0, 0, 0, u"", 0, 0, 6, 39);
             d.AddFiscalSign(0, 0, 7);
             d.CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0);
         },
         {LastDoc(2, 5), Done('P')},
         Request('J') + Request('P', N("3|01|0|0|0||0||0||0|8|||") + form)},
        {"custom refund, generation 8: 54-byte records",
         8,
         [](D& d) {
             d.OpenCustomDoc(false, motRefund);
             AddRows(d, {0, 1, 5, 6, 7, 10});
             AddPlain(d, 11, 0, 6, 39);
             AddPlain(d, 8, 0, 7);
             AddPlain(d, 12, 0, 8, 39);
             AddPlain(d, 20, 0, 9);
             d.CloseCustomDoc(mptCard, 0, 1, 1, 0, 40, 1, 0);
         },
         {LastDoc(8, 5), Done('N')},
         Request('J') + Request('N', N("1|00|1|1|0||40|1||2|10||") + refund)},
        {"composite document, modes 0, 4 and 8",
         3,
         [](D& d) {
             d.OpenFiscalDoc(motSale);
             d.AddDateTime(0, 5, 12);
             d.PrintFiscalDocBuffer();
             d.CloseFiscalDoc();
             d.OpenFiscalDoc(motRefund);
             d.AddCustom(u"A", 2, 0, 13);
             d.PrintFiscalDocBuffer();
             d.AddCustom(u"B", 2, 0, 14);
             d.CancelFiscalDoc(false);
         },
         {Done('S', "0100"), LastDoc(3, 5), Done('S'), Done('S', "0500"), Done('S')},
         Request('S', N("0|00|1|||") + P61("05", "0020", "5", "12")) + Request('J') +
             Request('S', N("0|04|0|||")) +
             Request('S', N("1|00|1|||") + P61("99", "0000", "0", "13", "A")) +
             Request('S', N("1|08|1|||"))},
        {"copy and repeat",
         7,
         [](D& d) {
             d.CopyFiscalDoc();
             d.RepeatOperation();
         },
         {Done('T'), Done('K')},
         Request('T') + Request('O')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        D drv;
        drv.Attach(c.Generation, c.Generation == 8);
        drv.SetCountersValid();
        drv.Answers = {c.Answers.begin(), c.Answers.end()};
        EXPECT_NO_THROW(c.Calls(drv)) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(drv.Sent(), c.Expected);
        EXPECT_TRUE(drv.Answers.empty());
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        EXPECT_EQ(drv.Count(), 0);
        EXPECT_FALSE(drv.CountersValid());  // the register's counters have moved
    }
}

TEST(Documents, StateTables) {
    const std::u16string receiptText = u"проведение стандартного чека";
    const std::u16string customText = u"проведение произвольного фискального документа";
    const std::u16string fiscalText = u"проведение фискального документа (составного чека)";
    const TCall receipt = [](D& d) { d.OpenReceipt(motSale); };
    const TCall custom = [](D& d) { d.OpenCustomDoc(false, motSale); };
    const TCall form = [](D& d) { d.OpenCustomDoc(true, motSale); };
    const TCall cached = [](D& d) { d.OpenFiscalDoc(motSale); };
    const TCall opened = [](D& d) { d.RegisterStatus(0x0100); };
    const TCall item = [](D& d) { d.AddReceiptItem(u"", Money("1"), 0, 1, 1, 0, 1, 0, 0, u""); };
    const TCall close = [](D& d) { d.CloseReceipt(u"", mptCash, {}, {}, u"", 0, moiNumber); };
    const TCall cancelCustom = [](D& d) { d.CancelCustomDoc(); };
    const TCall closeCustom = [](D& d) { d.CloseCustomDoc(mptCash, 0, 0, 0, 0, 0, 0, 0); };
    const TCall closeFiscal = [](D& d) { d.CloseFiscalDoc(); };
    const TCall cancelFiscal = [](D& d) { d.CancelFiscalDoc(false); };
    const TCall dropFiscal = [](D& d) { d.CancelFiscalDoc(true); };
    const TCall dateTime = [](D& d) { d.AddDateTime(0, 0, 0); };
    const TCall total = [](D& d) { d.AddTotal(0, 0, 0, 0); };
    const TCall pay = [](D& d) { d.AddPay(mptCash, {}, {}, u"", 0, 0, 0, 0); };
    const TCall copy = [](D& d) { d.CopyFiscalDoc(); };
    const TCall zReport = [](D& d) { d.OpenReceipt(motZReport); };
    const TCall voidDoc = [](D& d) { d.OpenFiscalDoc(motVoid); };
    const TOutcome none = Err(8);
    struct Case {
        const char* What;
        int Generation;
        TCall Setup, Call;
        TOutcome Expected;
        TKestDocStatus After;
    };
    const Case cases[] = {
        {"no receipt to add to", 2, Nothing, item, none, mdsClosed},
        {"no custom document", 2, Nothing, cancelCustom, none, mdsClosed},
        {"no document for a property", 2, Nothing, dateTime, none, mdsClosed},
        {"receipt on generation 3", 3, Nothing, receipt, Err(6, 0, receiptText), mdsClosed},
        {"custom document on generation 7", 7, Nothing, custom, Err(6, 0, customText), mdsClosed},
        {"composite document on generation 8", 8, Nothing, cached, Err(6, 0, fiscalText),
         mdsClosed},
        {"copy on generation 6", 6, Nothing, copy,
         Err(6, 0, u"печать копии ранее проведенного документа"), mdsClosed},
        {"operation of no document", 2, Nothing, zReport, Arg(8), mdsClosed},
        {"void on generation 3", 3, Nothing, voidDoc, Arg(9), mdsClosed},
        {"receipt twice", 2, receipt, receipt, Err(9), mdsReceipt},
        {"custom document beside a receipt", 2, receipt, custom, Err(9), mdsReceipt},
        {"receipt without items", 2, receipt, close, none, mdsReceipt},
        {"property in a receipt", 2, receipt, dateTime,
         Err(10, 0, u"добавление реквизитов фискального документа"), mdsReceipt},
        {"composite close of a receipt", 2, receipt, closeFiscal, Err(10, 0, fiscalText),
         mdsReceipt},
        {"receipt item in a custom document", 2, custom, item, Err(10, 0, receiptText), mdsCustom},
        {"custom document without properties", 2, custom, closeCustom, none, mdsCustom},
        {"total on a form", 2, form, total, Err(10, 0, u"печать итога документа"), mdsForm},
        {"payment on a form of generation 1", 1, form, pay, Err(11, 0, u"оплата чека"), mdsForm},
        {"composite document twice", 7, cached, cached, Err(9), mdsCached},
        {"cached document cancelled unsent", 3, cached, cancelFiscal, Ok, mdsClosed},
        {"register's document left to it", 3, opened, dropFiscal, Ok, mdsOpened},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        D drv;
        drv.Attach(c.Generation);
        c.Setup(drv);
        try {
            c.Call(drv);
        } catch (const EKestError&) {}
        ExpectOutcome(drv, c.Expected);
        EXPECT_EQ(drv.GetDocStatus(), c.After);
        EXPECT_TRUE(drv.Written.empty());
    }
    D drv;
    drv.Attach(3);
    cached(drv);
    EXPECT_EQ(drv.GetCurrentOper(), motSale);
    D closed;
    EXPECT_THROW(closed.OpenReceipt(motSale), EKestConnClosed);
}

// FullSale without the codes given.
template <class... Codes>
std::vector<int> Without(Codes... Omitted) {
    std::vector<int> codes;
    for (int code : FullSale)
        if (((code != Omitted) && ...)) codes.push_back(code);
    return codes;
}

TEST(Documents, MandatoryProperties) {
    std::vector<int> secondLine = Without();
    secondLine[1] = 2;
    const auto missing = [](int Code, std::u16string Detail) { return Err(13, Code, Detail); };
    struct Case {
        const char* What;
        int Generation;
        bool Form;
        TKestOperType Oper;
        std::vector<int> Codes;
        TKestPayType PayType;
        TOutcome Expected;
    };
    const Case cases[] = {
        {"serial number", 2, false, motSale, Without(0), mptCash,
         missing(0, u"серийный номер ККМ")},
        {"every header line", 2, false, motSale, Without(1), mptCash, missing(1, u"строка клише")},
        {"date and time", 2, false, motSale, Without(5), mptCash,
         missing(5, u"дата и время совершения операции")},
        {"operator", 2, false, motSale, Without(6), mptCash,
         missing(6, u"информация об операторе")},
        {"document number", 2, false, motSale, Without(7), mptCash, missing(7, u"номер документа")},
        {"account on generation 1", 1, false, motSale, Without(9), mptCash,
         missing(9, u"номер счета")},
        {"taxpayer number", 2, false, motSale, Without(10), mptCash, missing(10, u"ИНН")},
        {"item before receipt number", 2, false, motSale, Without(8, 11), mptCash,
         missing(11, u"цена услуги или сумма")},
        {"receipt number", 2, false, motSale, Without(8), mptCash, missing(8, u"номер чека")},
        {"total", 6, false, motSale, Without(12), mptCash, missing(12, u"итоговая сумма")},
        {"payment of a sale", 2, false, motSale, Without(13, 14), mptCash,
         missing(13, u"информация об оплате")},
        {"change of a cash sale", 2, false, motSale, Without(14), mptCash,
         missing(14, u"сумма сдачи")},
        {"fiscal sign", 8, false, motSale, Without(20), mptCash,
         missing(20, u"фискальный признак")},
        {"a complete sale", 1, false, motSale, Without(), mptCash, Ok},
        {"account only on generation 1", 2, false, motSale, Without(9), mptCash, Ok},
        {"a refund needs no payment", 6, false, motRefund, Without(13, 14), mptCard, Ok},
        {"a form: no receipt number, total or payment", 2, true, motSale, Without(8, 12, 13, 14),
         mptCash, Ok},
        {"the second header line will do", 2, false, motSale, secondLine, mptCash, Ok},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        D drv;
        drv.Attach(c.Generation);
        drv.OpenCustomDoc(c.Form, c.Oper);
        int y = 0;
        for (int code : c.Codes)
            AddPlain(drv, code, 0, y++);
        drv.Answers = {LastDoc(c.Generation, 1), Done(c.Form ? 'P' : 'N')};
        try {
            drv.CloseCustomDoc(c.PayType, 0, 0, 0, 0, 0, 0, 0);
        } catch (const EKestError&) {}
        ExpectOutcome(drv, c.Expected);
        EXPECT_EQ(drv.Written.empty(), c.Expected.ErrCode != 0);
    }

    // Paid by card, a sale needs no change.
    D drv;
    drv.Attach(2);
    drv.OpenCustomDoc(false, motSale);
    AddRows(drv, {0, 1, 5, 6, 7, 10, 11, 8, 12});
    drv.AddPay(mptCard, {}, {}, u"Card", 0, 0, 9, 0);
    drv.AddFiscalSign(0, 0, 10);
    drv.Answers = {LastDoc(2, 1), Done('N')};
    EXPECT_NO_THROW(drv.CloseCustomDoc(mptCash, 0, 0, 0, 0, 0, 0, 0));
}

TEST(Documents, Capacity) {
    for (const auto& [generation, items] : {std::pair{1, 40}, {2, 193}, {6, 193}, {8, 196}}) {
        SCOPED_TRACE(generation);
        D drv;
        drv.Attach(generation, generation == 8);
        drv.OpenReceipt(motSale);
        for (int i = 0; i <= items; ++i) {
            try {
                drv.AddReceiptItem(u"", Money("1"), false, 1, 1, 0, 1, 0, 0, u"");
            } catch (const EKestDocOverflow&) {}
        }
        EXPECT_EQ(drv.Count(), items);
        EXPECT_EQ(drv.ErrCode(), 7);
    }
    for (const auto& [generation, properties] : {std::pair{1, 60}, {2, 300}, {3, 300}}) {
        SCOPED_TRACE(generation);
        D drv;
        drv.Attach(generation);
        generation == 3 ? drv.OpenFiscalDoc(motSale) : drv.OpenCustomDoc(false, motSale);
        for (int i = 0; i <= properties; ++i) {
            try {
                drv.AddCustom(u"", 0, 0, i % 100);
            } catch (const EKestDocOverflow&) {}
        }
        EXPECT_EQ(drv.Count(), properties);
        EXPECT_EQ(drv.ErrCode(), 7);
    }
}

TEST(Documents, InterruptedPrint) {
    struct Kind {
        const char* What;
        int Generation;
        char Cmd;
        TCall Build, Close;
    };
    const Kind kinds[] = {
        {"receipt", 6, 'K',
         [](D& d) {
             d.OpenReceipt(motSale);
             d.AddReceiptItem(u"", Money("1"), false, 1, 1, 0, 1, 0, 0, u"");
         },
         [](D& d) { d.CloseReceipt(u"", mptCash, Money("1"), {}, u"", 0, moiName); }},
        {"custom document", 2, 'N',
         [](D& d) {
             d.OpenCustomDoc(false, motSale);
             AddRows(d, FullSale);
         },
         [](D& d) { d.CloseCustomDoc(mptCash, 0, 0, 0, 0, 0, 0, 0); }},
        {"composite document", 3, 'S',
         [](D& d) {
             d.OpenFiscalDoc(motSale);
             d.AddDateTime(0, 0, 1);
         },
         [](D& d) { d.CloseFiscalDoc(); }},
    };
    // The register's answers after it refused the document with Error.
    struct Case {
        const char* What;
        const char* Error;
        int Number;        // of its last document; 0: that question is refused too
        std::string Type;  // of its last document
        bool Printed;
    };
    const Case cases[] = {
        {"a new sale: printed", "000A", 6, "00", true},
        {"the same number: not printed", "000A", 5, "00", false},
        {"a new refund: not this document", "000A", 6, "01", false},
        {"the question fails: not known to be printed", "000A", 0, "", false},
        {"another refusal", "000C", -1, "", false},
    };
    for (const auto& kind : kinds) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(kind.What) + ": " + c.What);
            D drv;
            drv.Attach(kind.Generation);
            kind.Build(drv);
            const std::string before = drv.Buffers();
            drv.Answers = {LastDoc(kind.Generation, 5),
                           AnswerFrame(kind.Cmd, "0000", c.Error, "08")};
            if (c.Number == 0) drv.Answers.push_back(AnswerFrame('J', "0000", "0001", "08"));
            if (c.Number > 0) drv.Answers.push_back(LastDoc(kind.Generation, c.Number, c.Type));
            if (c.Printed) {
                EXPECT_NO_THROW(kind.Close(drv));
                EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
                EXPECT_EQ(drv.Count(), 0);
                continue;
            }
            EXPECT_THROW(kind.Close(drv), EKestEcrError);
            EXPECT_EQ(drv.ErrCodeEx(), std::stoi(c.Error, nullptr, 16));
            EXPECT_TRUE(drv.Answers.empty());
            // The document is kept whole, to be closed again or cancelled.
            EXPECT_TRUE(drv.Buffers() == before);
            drv.Answers = {LastDoc(kind.Generation, 5), Done(kind.Cmd)};
            EXPECT_NO_THROW(kind.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
            EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        }
    }
}

// A close whose answer is lost or spoiled may have been printed: the last
// document tells, at once or, when that question fails too, at the next
// close, which then sends the document only when it was not printed.
TEST(Documents, LostAnswerIsSettledByTheLastDocument) {
    struct Kind {
        const char* What;
        int Generation;
        char Cmd;
        TCall Build, Close;
    };
    const Kind kinds[] = {
        {"receipt", 8, 'K',
         [](D& d) {
             d.OpenReceipt(motSale);
             d.AddReceiptItem(u"", Money("1"), false, 1, 1, 0, 1, 0, 0, u"");
         },
         [](D& d) { d.CloseReceipt(u"", mptCash, Money("1"), {}, u"", 0, moiName); }},
        {"composite document", 7, 'S',
         [](D& d) {
             d.OpenFiscalDoc(motSale);
             d.AddDateTime(0, 0, 1);
         },
         [](D& d) { d.CloseFiscalDoc(); }},
    };
    struct Case {
        const char* What;
        bool Lost;       // no answer at all; else one with a wrong checksum
        int Number;      // of the last document now; 0: that question gets no answer
        int NextNumber;  // at the next close
        bool Printed;    // by the close itself
    };
    const Case cases[] = {
        {"spoiled, then a new document: printed", false, 6, 0, true},
        {"spoiled, the same number: sent again", false, 5, 5, false},
        {"lost, the question too, then a new document: not sent again", true, 0, 6, false},
        {"lost, the question too, then the same number: sent again", true, 0, 5, false},
    };
    for (const auto& kind : kinds) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(kind.What) + ": " + c.What);
            D drv;
            drv.Attach(kind.Generation, true);
            kind.Build(drv);
            const std::string before = drv.Buffers();
            std::string answer = c.Lost ? "" : Done(kind.Cmd);
            if (!c.Lost) answer[answer.size() - 2] ^= 1;  // a BCC digit
            drv.Answers = {LastDoc(kind.Generation, 5), answer,
                           c.Number > 0 ? LastDoc(kind.Generation, c.Number) : ""};
            if (c.Printed) {
                EXPECT_NO_THROW(kind.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
                EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
                continue;
            }
            EXPECT_THROW(kind.Close(drv), EKestError);
            EXPECT_EQ(drv.ErrCode(), c.Lost ? 3 : 15);
            EXPECT_TRUE(drv.Buffers() == before);
            drv.Sent();
            drv.Answers = {LastDoc(kind.Generation, c.NextNumber), Done(kind.Cmd)};
            EXPECT_NO_THROW(kind.Close(drv)) << kest::ToUtf8(drv.ErrMessage());
            EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
            // The document went out again only when it had not been printed.
            const bool sentAgain =
                drv.Sent().find(std::string(1, kind.Cmd) + "5862") != std::string::npos;
            EXPECT_EQ(sentAgain, c.NextNumber == 5);
        }
    }
}

// One call on an open document (a custom document, or a composite one on
// generations 3 and 7, of operation Oper; none for motUnknown): what it
// stores, or what it raises while leaving every buffer as it was.
struct TRuleCase {
    const char* What;
    int Generation;
    TKestOperType Oper;
    TCall Setup, Call;
    TOutcome Expected;
    std::string Record = {};  // the property stored; not checked when empty
};

void RunRules(std::span<const TRuleCase> Cases) {
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.What);
        D drv;
        drv.Attach(c.Generation, c.Generation == 7 || c.Generation == 8);
        if (c.Oper != motUnknown) {
            if (c.Generation == 3 || c.Generation == 7)
                drv.OpenFiscalDoc(c.Oper);
            else
                drv.OpenCustomDoc(false, c.Oper);
        }
        c.Setup(drv);
        const std::string before = drv.Buffers();
        try {
            c.Call(drv);
        } catch (const EKestError&) {}
        ExpectOutcome(drv, c.Expected);
        EXPECT_TRUE(drv.Written.empty());
        if (c.Expected.ErrCode != 0) {
            EXPECT_TRUE(drv.Buffers() == before);
        } else if (!c.Record.empty()) {
            EXPECT_EQ(drv.LastProperty(), c.Record);
        }
    }
}

TEST(Documents, PropertyFlagsAndData) {
    const auto text = [](int Flags, int Y = 2) -> TCall {
        return [=](D& d) { d.AddCustom(u"T", Flags, 1, Y); };
    };
    const auto item = [](TKestItemType Type, const char* Price, int Adjustment, int Quantity,
                         int Tax, int Flags) -> TCall {
        return [=](D& d) {
            d.AddItem(Type, Money(Price), 0, 7, 5, Adjustment, Quantity, 0, Tax, u"", Flags, 1, 2,
                      0);
        };
    };
    const TCall barcode = [](D& d) {
        d.AddBarcode(0x12345678, -65537, -1, 0, 65536, 1, 0x80, 1, 999);
    };
    const TCall change = [](D& d) { d.AddChange(0, 1, 2, 39); };
    const TCall oper = [](D& d) { d.AddOperInfo(moiNumberName, 0, 1, 2); };
    const TCall card = [](D& d) { d.AddPay(mptCard, {}, {}, u"Card", 0, 1, 2, 0); };
    const std::string text40 = "Card 2200 1234 5678 9010, approved 0012Z";
    const TCall card40 = [&](D& d) {
        d.AddPay(mptCard, {}, {}, kest::FromUtf8(text40), 0, 1, 2, 5);
    };
    const TCall percent = [](D& d) { d.AddDocPercentAdj(-500, 2, 0x800, 1, 2, 0); };
    const TCall amount = [](D& d) { d.AddDocAmountAdj({}, 0, 0, 1, 2, 0); };
    const TCall taxSum = [](D& d) { d.AddTaxSum(3, 2, 1, 2, 0); };
    const TCall graphic = [](D& d) { d.AddGraphicHeader(0, 50, 2); };
    const TCall account = [](D& d) { d.AddAccount(u"042", 0, 1, 2); };
    const TCall model = [](D& d) { d.Connect(3, mem207_1FMD), d.Identify(0x0100, 0x0300); };
    const TCall regNumber = [](D& d) { d.AddRegNumber(0, 1, 2); };
    const TCall adjustment = [](D& d) { d.AddDocPercentAdj(1, 0, 0, 0, 0, 0); };
    const TCall item1 = [](D& d) { AddPlain(d, 11, 0, 1); };
    const TCall row100 = [](D& d) { d.AddDateTime(0, 99, 100); };
    const TCall dateTime = [](D& d) { AddPlain(d, 5, 0, 9); };
    const TCall sign = [](D& d) { d.AddFiscalSign(0, 20, 10); };
    const std::string codes = "12345678FFFFFFFF0000FFFF0000000000010000";
    const TRuleCase cases[] = {
        {"text, flags 0", 2, motSale, Nothing, text(0), Ok, P53("99", "30", "1", "2", "T")},
        {"text, flags 0x1C0", 2, motSale, Nothing, text(0x1C0), Ok, P53("99", "40", "1", "2", "T")},
        {"text, flags 0x23C", 6, motSale, Nothing, text(0x23C), Ok, P53("99", "FF", "1", "2", "T")},
        {"text, generation 3", 3, motSale, Nothing, text(0x41B, 200), Ok,
         P61("99", "F000", "1", "200", "T")},
        {"barcode: the truncating split", 2, motSale, Nothing, barcode, Ok,
         P53("98", "11", "1", "999", codes)},
        {"change", 6, motSale, Nothing, change, Ok, P53("14", "30", "1", "2", F("", 38) + "39")},
        {"operator, generation 6", 6, motSale, Nothing, oper, Ok, P53("06", "02", "1", "2")},
        {"card text of 40 before a one-digit second offset", 6, motSale, Nothing, card40, Ok,
         P53("13", "00", "1", "2", text40.substr(0, 38) + "5")},
        {"operator, generation 3", 3, motSale, Nothing, oper, Ok, P61("06", "0022", "1", "2")},
        {"card payment, generation 3", 3, motSale, Nothing, card, Ok,
         P61("13", "0022", "1", "2", "Card")},
        {"a void item ignores its adjustment", 3, motSale, Nothing,
         item(mitItem, "1", 500, 2, 0, 0x800), Ok,
         P61("11", "002A", "1", "2", F("7", 3) + F("5", 13) + F("2", 12) + "1.00", true)},
        {"a percent discount keeps it", 3, motRefund, Nothing,
         item(mitPercentAdj, "0", -250, -1, 1, 0), Ok,
         P61("11", "01A0", "1", "2", F("7", 3) + F("5", 7) + F("2.50", 18) + "0.00", true)},
        {"an amount discount as a negative price", 7, motSale, Nothing,
         item(mitAmountAdj, "-5", 1, -1, 0, 0), Ok,
         P61("11", "00A1", "1", "2", F("7", 3) + F("5", 25) + "5.00", true)},
        {"void percent adjustment of the document", 3, motSale, Nothing, percent, Ok,
         P61("21", "02A8", "1", "2", "5.00")},
        {"amount adjustment 0 of the document", 7, motSale, Nothing, amount, Ok,
         P61("21", "00A1", "1", "2", "0.00")},
        {"tax sum 3", 3, motSale, Nothing, taxSum, Ok, P61("18", "0000", "1", "2")},
        {"graphic header at the left edge", 7, motSale, Nothing, graphic, Ok,
         P61("23", "0020", "0", "2")},
        {"account", 1, motSale, Nothing, account, Ok, P53("09", "00", "1", "2", "042")},
        {"registration number of a 207.1F-MD 3.0", 3, motSale, model, regNumber, Ok,
         P61("24", "0020", "1", "2")},
        {"document adjustments repeat", 3, motSale, adjustment, adjustment, Ok},
        {"items repeat", 2, motSale, item1, item1, Ok},
        {"Y 100 beyond generation 1", 2, motSale, Nothing, row100, Ok,
         P53("05", "00", "99", "100")},
        {"fiscal sign below the mandatory ones", 8, motSale, dateTime, sign, Ok,
         P53("20", "00", "20", "10")},
    };
    RunRules(cases);
}

// The item's sum is of the price as given, to four decimals: 33333333.3349
// x 3 comes to 100000000.0047, 99999.9951 x 1000 to 99999995.1, though
// their prices go out as 33333333.33 and 100000.00. The documents' items
// count in thousandths.
TEST(Documents, ItemSumOfThePriceAsGiven) {
    const TCall sale = [](D& d) { d.OpenReceipt(motSale); };
    const auto receiptItem = [](const char* Price, int Quantity) -> TCall {
        return
            [=](D& d) { d.AddReceiptItem(u"", Money(Price), false, 1, 1, 0, Quantity, 0, 0, u""); };
    };
    const auto item = [](TKestItemType Type, const char* Price, int Quantity) -> TCall {
        return [=](D& d) {
            d.AddItem(Type, Money(Price), false, 1, 1, 0, Quantity, 3, 0, u"", 0, 0, 0, 0);
        };
    };
    const auto record = [](const char* Flags, const char* Quantity, const char* Price) {
        return P61("11", Flags, "0", "0", F("1", 3) + F("1", 13) + F(Quantity, 12) + Price, true);
    };
    const TRuleCase cases[] = {
        {"receipt item above", 2, motUnknown, sale, receiptItem("33333333.3349", 3), Arg(28)},
        {"receipt item below", 2, motUnknown, sale, receiptItem("99999.9951", 1000), Ok},
        {"composite item above", 3, motSale, Nothing, item(mitItem, "33333333.3349", 3000),
         Arg(28)},
        {"composite item below", 3, motSale, Nothing, item(mitItem, "99999.9951", 1000000), Ok,
         record("0022", "1000.000", "100000.00")},
        {"amount adjustment above", 7, motSale, Nothing, item(mitAmountAdj, "-33333333.3349", 3000),
         Arg(28)},
        {"amount adjustment below", 7, motSale, Nothing, item(mitAmountAdj, "-99999.9951", 1000000),
         Ok, record("00A1", "1000.000", "100000.00")},
    };
    RunRules(cases);
}

TEST(Documents, RefusalsChangeNothing) {
    const auto receipt = [](TKestOperType Oper) -> TCall {
        return [Oper](D& d) {
            d.OpenReceipt(Oper);
            d.AddReceiptItem(u"", Money("1"), false, 1, 1, 0, 1, 0, 0, u"");
        };
    };
    const TCall sale = receipt(motSale);
    const auto item = [](const char* Price, int Department, int Code, int Adjustment, int Quantity,
                         int Precision, int TaxIndex = 0) -> TCall {
        return [=](D& d) {
            d.AddReceiptItem(u"", Money(Price), false, Department, Code, Adjustment, Quantity,
                             Precision, TaxIndex, u"");
        };
    };
    const TKestCurrency beyond = TKestCurrency::FromRaw(INT64_MAX);
    const auto close = [](TKestPayType PayType, TKestCurrency Amount, TKestCurrency Amount2,
                          int Copies = 0, int Info = 0, std::u16string Account = u"1") -> TCall {
        return [=](D& d) {
            d.CloseReceipt(Account, PayType, Amount, Amount2, u"", Copies, TKestOperInfo(Info));
        };
    };
    const auto adjustment = [](TKestItemType Type, TKestCurrency Price) -> TCall {
        return [=](D& d) { d.AddItem(Type, Price, false, 1, 1, 0, 1, 0, 0, u"", 0, 0, 0, 0); };
    };
    const auto closeCustom = [](int CopiesA, int CopiesB, int OffsetB, int Index,
                                TKestPayType PayType = mptCash) -> TCall {
        return [=](D& d) { d.CloseCustomDoc(PayType, 0, CopiesA, CopiesB, 0, OffsetB, 0, Index); };
    };
    const auto add = [](int Code, int Y) -> TCall {
        return [=](D& d) { AddPlain(d, Code, 0, Y); };
    };
    const auto custom = [](std::u16string Text, int X, int Y) -> TCall {
        return [=](D& d) { d.AddCustom(Text, 0, X, Y); };
    };
    const TCall form = [](D& d) { d.OpenCustomDoc(true, motSale), AddPlain(d, 11, 0, 0); };
    const TCall fullSale = [](D& d) { AddRows(d, FullSale, 20); };
    const TCall fullRefund = [](D& d) { AddRows(d, FullRefund); };
    const TCall card = [](D& d) { d.AddPay(mptCard, {}, {}, u"", 0, 0, 0, 0); };
    const TCall change = [](D& d) { d.AddChange(0, 0, 1, 0); };
    const TCall taxSum = [](D& d) { d.AddTaxSum(3, 0, 0, 0, 0); };
    const TCall percent = [](D& d) { d.AddDocPercentAdj(1, 0, 0, 0, 0, 0); };
    const TCall percent10001 = [](D& d) { d.AddDocPercentAdj(-10001, 0, 0, 0, 0, 0); };
    const TCall amountBeyond = [&](D& d) { d.AddDocAmountAdj(-beyond, 0, 0, 0, 0, 0); };
    const TCall journal = [](D& d) { d.AddEKLZData(0, 0, 10); };
    const TCall sign = [](D& d) { d.AddFiscalSign(0, 0, 20); };
    const TCall sign29 = [](D& d) { d.AddFiscalSign(0, 0, 29); };
    const TCall line = [](D& d) { d.AddHeaderLine(1, 0, 0, 30); };
    const TCall line5 = [](D& d) { d.AddHeaderLine(5, 0, 0, 0); };
    const TCall model = [](D& d) { d.Connect(3, mem207_1FMD), d.Identify(0x0100, 0x0205); };
    const TCall regNumber = [](D& d) { d.AddRegNumber(0, 0, 0); };
    const TCall total40 = [](D& d) { d.AddTotal(0, 0, 0, 40); };
    const std::u16string changeText = u"печать суммы сдачи";
    const std::u16string taxes = u"вычисление налогов";
    const std::u16string docAdjustment = u"начисление скидок / надбавок на чек";
    const TKestCurrency one = Money("1"), max = TKestorFPrt::MaxAmount, cent = Money("0.01");
    const TKestCurrency tenMillion = Money("10000000");
    const TRuleCase cases[] = {
        // Items
        {"negative price", 2, motUnknown, sale, item("-5", 1, 1, 0, 1, 0), Arg(21)},
        {"department 0 with a journal", 8, motUnknown, sale, item("1", 0, 1, 0, 1, 0), Arg(22)},
        {"surcharge of 100 %", 2, motUnknown, sale, item("1", 1, 1, 10000, 1, 0), Arg(24)},
        {"the smallest adjustment", 2, motUnknown, sale, item("1", 1, 1, INT_MIN, 1, 0), Arg(24)},
        {"sum a hundredth too large", 2, motUnknown, sale, item("99999999.99", 1, 1, 0, 1001, 3),
         Arg(28)},
        {"a huge quantity does not wrap", 2, motUnknown, sale,
         item("99999999.99", 1, 1, 0, INT_MAX, 0), Arg(28)},
        {"amount adjustment beyond any price", 3, motSale, Nothing,
         adjustment(mitAmountAdj, TKestCurrency::FromRaw(INT64_MIN)), Arg(21)},
        {"percent adjustment of 0", 3, motSale, Nothing, adjustment(mitPercentAdj, {}), Arg(24)},
        {"void item on generation 6", 6, motSale, Nothing, adjustment(mitVoidItem, {}), Arg(31)},
        {"adjustment of a cash-in", 3, motCashIn, Nothing, adjustment(mitAmountAdj, {}), Arg(32)},
        {"item type 6", 3, motSale, Nothing, adjustment(TKestItemType(6), {}), Arg(30)},
        {"second item of a form", 2, motUnknown, form, add(11, 1),
         Err(12, 11, u"цена услуги или сумма")},
        // Closing a receipt
        {"card in a cash-in", 2, motUnknown, receipt(motCashIn), close(mptCard, {}, {}), Arg(19)},
        {"card in a refund, generation 2", 2, motUnknown, receipt(motRefund),
         close(mptCard, {}, {}), Arg(19)},
        {"cash and card on generation 2", 2, motUnknown, sale, close(mptCashCard, one, one),
         Arg(18)},
        {"payment type 5", 6, motUnknown, sale, close(TKestPayType(5), one, {}), Arg(17)},
        {"cash and card above the maximum", 8, motUnknown, sale, close(mptCashCard, max, cent),
         Arg(20)},
        {"cash and card beyond any amount", 8, motUnknown, sale, close(mptCashCard, one, beyond),
         Arg(20)},
        {"two amounts too long for the receipt", 6, motUnknown, sale,
         close(mptCashCard, tenMillion, tenMillion), Arg(20)},
        {"copies 10", 2, motUnknown, sale, close(mptCash, one, {}, 10), Arg(10)},
        {"operator format 3", 6, motUnknown, sale, close(mptCash, one, {}, 0, 3), Arg(16)},
        {"account with a letter", 1, motUnknown, sale, close(mptCash, one, {}, 0, 0, u"12A"),
         Arg(51)},
        // Closing a custom document
        {"copy over the fiscal sign", 2, motSale, fullSale, closeCustom(1, 0, 46, 0), Arg(13)},
        {"impression offset 100", 2, motSale, fullSale, closeCustom(0, 0, 100, 0), Arg(11)},
        {"fiscal index beyond the impressions", 2, motSale, fullSale, closeCustom(1, 1, 47, 4),
         Arg(15)},
        {"fiscal index beyond its four bits", 6, motSale, fullSale, closeCustom(9, 9, 47, 16),
         Arg(15)},
        {"cash and card without a payment", 6, motRefund, fullRefund,
         closeCustom(0, 0, 0, 0, mptCashCard), Arg(19)},
        {"card in a refund, generation 2", 2, motRefund, fullRefund,
         closeCustom(0, 0, 0, 0, mptCard), Arg(19)},
        // Properties
        {"date and time twice", 2, motSale, add(5, 0), add(5, 1),
         Err(12, 5, u"дата и время совершения операции")},
        {"header line 2 twice", 2, motSale, add(2, 0), add(2, 1), Err(12, 2, u"строка клише")},
        {"header line 5", 2, motSale, Nothing, line5, Arg(29)},
        {"tax sum 3 twice", 3, motSale, taxSum, taxSum, Err(12, 18, u"сумма налога")},
        {"tax sums of a refund", 3, motRefund, Nothing, taxSum, Err(10, 0, taxes)},
        {"payment twice", 2, motSale, card, card, Err(12, 13, u"информация об оплате")},
        {"card after change", 2, motSale, change, card, Err(10, 0, changeText)},
        {"change after card", 2, motSale, card, change, Err(10, 0, changeText)},
        {"change of a refund", 2, motRefund, Nothing, change, Err(10, 0, changeText)},
        {"payment of a refund", 2, motRefund, Nothing, card, Err(10, 0, u"оплата чека")},
        {"journal data of a cash-in", 8, motCashIn, Nothing, journal,
         Err(10, 0, u"добавление данных ЭКЛЗ")},
        {"registration number of a 207.1F-MD 2.5", 3, motSale, model, regNumber,
         Err(6, 0, u"печать регистрационного номера ККМ")},
        {"document adjustment on generation 8", 8, motSale, Nothing, percent,
         Err(6, 0, docAdjustment)},
        {"document adjustment of a cash-out", 7, motCashOut, Nothing, percent,
         Err(10, 0, docAdjustment)},
        {"document adjustment of 100.01 %", 3, motSale, Nothing, percent10001, Arg(24)},
        {"document adjustment beyond any amount", 3, motSale, Nothing, amountBeyond, Arg(24)},
        // Offsets and the vertical order
        {"X 100", 2, motSale, Nothing, custom(u"", 100, 0), Arg(12)},
        {"Y 100 on generation 1", 1, motSale, Nothing, custom(u"", 0, 100), Arg(12)},
        {"second offset 40", 6, motSale, Nothing, total40, Arg(12)},
        {"fiscal sign above a header line", 2, motSale, line, sign29, Arg(14)},
        {"header line below the fiscal sign", 2, motSale, sign, line, Arg(14)},
        {"journal data beside a mandatory property", 8, motSale, add(5, 10), journal, Arg(14)},
        {"text below the journal data", 8, motSale, journal, custom(u"", 0, 11), Arg(52)},
    };
    RunRules(cases);
}

}  // namespace
