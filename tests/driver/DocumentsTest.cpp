// The documents, reports and device output over a scripted line: the request
// frames and records byte for byte, the answers read back, the rules every
// call checks before a byte goes out (a refused call changes nothing), and
// that a close or report the register printed counts as printed however its
// answer was broken off, while one it did not print is kept to be sent again.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "ScriptedLine.h"

namespace kest::test::docs {
namespace {

using namespace std::string_literals;

class TDocLine : public TScriptedLine {
public:
    // What identification and Open leave.
    void Attach(int Generation, bool EKLZ = false) {
        Connect(Generation, Generation == 7 ? memPCK : Generation == 8 ? mem207_1K : mem207_1F);
        Identify(0x0100, 0, EKLZ);
        FDocStatus = mdsClosed;
        FCountersValid = true;  // as a query leaves them
        RegisterStatus(0);
    }
    // The status word of an answer of generation 3 or 7.
    void RegisterStatus(uint16_t Raw) {
        FRawEcrStatus = Raw;
        UpdateEcrStatus();
    }
    bool CountersValid() const { return FCountersValid; }
    bool TimeoutInForce() const { return FInternalTimeoutInForce || FExternalTimeoutInForce; }
    int Count() const { return FReceiptItemCount + FDoc.Count; }
    // The last receipt item or stored property, in its generation's layout.
    std::string LastProperty() const {
        if (FDocStatus == mdsReceipt) return Bytes(FReceiptItems[FReceiptItemCount - 1]);
        const int i = FDoc.Count - 1;
        return HasV03Layout() ? Bytes(FDoc.RecordsV03[i]) : Bytes(FDoc.Records[i]);
    }
    // Everything the documents and reports keep.
    std::string State() const {
        std::ostringstream s;
        s << Bytes(FReceiptHeader) << Bytes(FReceiptItems) << Bytes(FDoc.Records)
          << Bytes(FDoc.RecordsV03) << Bytes(FDoc.Header) << FDoc.Present.to_string();
        for (int n : {FReceiptItemCount, FDoc.Count, FDoc.FiscalSignX, FDoc.FiscalSignY,
                      FDoc.EKLZDataY, FDoc.MandatoryY, int{FDoc.LastPayType}, int{FDocStatus},
                      int{FOper}, int{FCachedOper}, StartNumber(), EndNumber(), LastFiscalReport()})
            s << '|' << n;
        for (const auto* text : {&SerialNumber(), &RegNumber(), &TaxPayerNumber(), &HeaderLine1(),
                                 &HeaderLine2(), &HeaderLine3(), &HeaderLine4()})
            s << '|' << kest::ToUtf8(*text);
        for (TKestDateTime t : {ReportDate(), StartDate(), EndDate()})
            s << '|' << kest::FormatIso(t);
        s << '|' << SaleSum().ToString() << '|' << BuyingSum().ToString();
        return s.str();
    }

private:
    template <class T>
    static std::string Bytes(const T& Value) {
        return {reinterpret_cast<const char*>(&Value), sizeof Value};
    }
};

using D = TDocLine;
using TCall = std::function<void(D&)>;
const TCall Nothing = [](D&) {};

// A call of the operation Op with these arguments.
template <class R, class... P, class... A>
TCall Do(R (TKestorFPrt::*Op)(P...), A... Args) {
    return [=](D& d) { (d.*Op)(Args...); };
}

// Text with each "|" standing for 0x00.
std::string N(std::string Text) {
    std::replace(Text.begin(), Text.end(), '|', '\0');
    return Text;
}
// Text padded with 0x00 to Size bytes; S adds the field's separator.
std::string F(const std::string& Text, size_t Size) {
    return Text + std::string(Size - Text.size(), '\0');
}
std::string S(const std::string& Text, size_t Size) {
    return F(Text, Size + 1);
}

std::string Request(char Cmd, const std::string& Data = {}) {
    return WithBcc(std::string(1, Cmd) + "5862\0"s + Data);
}
std::string Done(char Echo, const std::string& Data = {}, const char* Status = "0000") {
    return AnswerFrame(Echo, Status, "0000", "08", Data);
}
std::string Refused(char Echo, const char* Error) {
    return AnswerFrame(Echo, "0000", Error, "08");
}

// The register's last document ("J") as generation G sends it.
std::string LastDoc(int G, const std::string& Number, const std::string& Type = "00",
                    const std::string& Sum = "1", const std::string& Report = "2") {
    std::string data =
        S("01", 2) + S(Number, 5) + S("06122026", 8) + S("1015", 4) + S(Type, 2) + S(Sum, 15);
    if (G >= 3) data += S("1", 5);
    if (G == 7 || G == 8) data += S(Report, 5);
    if (G == 8) data += S("20", 15);
    return Done('J', data);
}

// A property of the 53-byte layout, as a generation-8 register takes it
// (54 bytes), and of the 61-byte layout (an item's data starts at 15).
std::string P53(const std::string& Code, const std::string& Flags, const std::string& X,
                const std::string& Y, const std::string& Data = {}) {
    return F(Code, 3) + F(Flags, 3) + F(X, 3) + Y + std::string(3 - Y.size(), '\0') + F(Data, 41);
}
std::string P54(const std::string& Code, const std::string& Y, const std::string& Data = {}) {
    return F(Code, 3) + F("00", 3) + F("0", 3) + F(Y, 4) + F(Data, 41);
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
const TKestCurrency Zero;

// Adds the property Code at X, Y with flags 0, as the test window does; -13
// is a card payment.
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
    if (Code == -13) return Drv.AddPay(mptCard, {}, {}, u"Card", 0, X, Y, Second);
    if (Code == 14) return Drv.AddChange(0, X, Y, Second);
    Drv.AddHeaderLine(Code, 0, X, Y);
}
void AddRows(D& Drv, const std::vector<int>& Codes, int X = 0) {
    int y = 0;
    for (int code : Codes)
        AddPlain(Drv, code, X, y++);
}

// A custom sale with every property, in the register's order, and without
// the codes given.
const std::vector<int> FullSale = {0, 1, 5, 6, 7, 9, 10, 11, 8, 12, 13, 14, 20};
std::vector<int> Without(std::initializer_list<int> Omitted) {
    std::vector<int> codes;
    for (int code : FullSale)
        if (std::ranges::find(Omitted, code) == Omitted.end()) codes.push_back(code);
    return codes;
}

// What a call raised: the detail is the message after its head; the texts of
// EKestInvalidArg are checked where they are given.
struct TOutcome {
    int ErrCode = 0, ErrCodeEx = 0;
    std::u16string Detail = {};
};
TOutcome Arg(int Code, std::u16string Detail = {}) {
    return {14, Code, std::move(Detail)};
}
const TOutcome Ok;

void ExpectOutcome(const D& Drv, const TOutcome& Expected) {
    const std::u16string& m = Drv.ErrMessage();
    const size_t colon = m.find(u":\r\n");
    EXPECT_EQ(Drv.ErrCode(), Expected.ErrCode) << kest::ToUtf8(m);
    EXPECT_EQ(Drv.ErrCodeEx(), Expected.ErrCodeEx);
    if (Expected.ErrCode != 14 || !Expected.Detail.empty()) {
        EXPECT_EQ(colon == m.npos ? u"" : m.substr(colon + 3), Expected.Detail);
    }
    if (Expected.ErrCode == 14) {
        EXPECT_TRUE(m.starts_with(u"Неверное значение аргумента:\r\n")) << kest::ToUtf8(m);
    }
}

// One call on a register of generation G (0: not connected) with a custom
// document (a composite one on generations 3 and 7) of operation Oper open,
// none for motUnknown: what it stores, or what it raises while leaving every
// buffer and property as it was. Nothing is sent.
struct TRuleCase {
    int Generation;
    TKestOperType Oper;
    TCall Setup, Call;
    TOutcome Expected;
    std::string Record = {};            // the property stored; not checked when empty
    TKestDocStatus After = mdsUnknown;  // the document status after, when given
};

void RunRules(std::span<const TRuleCase> Cases) {
    for (const auto& c : Cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - Cases.data() + 1);
        D drv;
        if (c.Generation != 0) drv.Attach(c.Generation, c.Generation >= 7);
        if (c.Oper != motUnknown)
            c.Generation % 4 == 3 ? drv.OpenFiscalDoc(c.Oper) : drv.OpenCustomDoc(false, c.Oper);
        c.Setup(drv);
        const std::string before = drv.State();
        try {
            c.Call(drv);
        } catch (const EKestError&) {}
        ExpectOutcome(drv, c.Expected);
        EXPECT_TRUE(drv.Written.empty());
        if (c.Expected.ErrCode != 0) {
            EXPECT_TRUE(drv.State() == before);
        } else if (!c.Record.empty()) {
            EXPECT_EQ(drv.LastProperty(), c.Record);
        }
        if (c.After != mdsUnknown) {
            EXPECT_EQ(drv.GetDocStatus(), c.After);
        }
    }
}

// The requests of a document's close and of the reports and device
// commands, as the register answers them.
TEST(Documents, GoldenRequests) {
    const auto expect = [](D& Drv, const std::string& Expected) {
        EXPECT_EQ(Drv.ErrCode(), 0) << kest::ToUtf8(Drv.ErrMessage());
        EXPECT_EQ(Drv.Sent(), Expected);
        EXPECT_TRUE(Drv.Answers.empty());
        EXPECT_EQ(Drv.GetDocStatus(), mdsClosed);
        EXPECT_EQ(Drv.Count(), 0);
        EXPECT_FALSE(Drv.CountersValid());  // the register's counters have moved
    };
    // The head properties in both layouts of the custom documents.
    std::string form, refund;
    for (int y = 0; const char* code : {"00", "01", "05", "06", "07", "10"}) {
        form += P53(code, "00", "0", std::to_string(y));
        refund += P54(code, std::to_string(y++));
    }
    // A receipt of generation 2.
    D drv;
    drv.Attach(2);
    drv.Answers = {LastDoc(2, "5"), Done('K')};
    drv.OpenReceipt(motSale);
    drv.AddReceiptItem(u"Widget", Money("200.56"), false, 7, 555, -300, 524, 2, 0, u"");
    drv.CloseReceipt(u"0123456789", mptCash, Money("10000"), {}, u"", 0, moiNumberName);
    expect(drv,
           Request('J') + Request('K', N("0||||0|0|") + F("10000.00", 21) + F("0123456789", 41) +
                                           F("1", 4) + F("Widget", 41) + F("80", 3) +
                                           Price38("7", "555", "3.00", "5.24", "200.56")));
    // A hundred items: their count takes three digits.
    drv.Attach(2);
    drv.Answers = {LastDoc(2, "5"), Done('K')};
    drv.OpenReceipt(motSale);
    for (int i = 0; i < 100; ++i)
        drv.AddReceiptItem(u"W", Money("1"), false, 7, 555, 0, 524, 2, 0, u"");
    drv.CloseReceipt(u"", mptCash, Money("10000"), {}, u"", 0, moiNumberName);
    EXPECT_NE(drv.Sent().find(F("100", 4) + F("W", 41)), std::string::npos);
    // A form of generation 2.
    drv.Attach(2);
    drv.Answers = {LastDoc(2, "5"), Done('P')};
    drv.OpenCustomDoc(true, motCashOut);
    AddRows(drv, {0, 1, 5, 6, 7, 10});
    drv.AddItem(mitItem, Money("100"), false, 0, 0, 0, 0, 0, 0, u"", 0, 0, 6, 39);
    drv.AddFiscalSign(0, 0, 7);
    drv.CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0);
    form +=
        P53("11", "00", "0", "6", Price38("", "", "", "", "100.00")) + P53("20", "00", "0", "7");
    expect(drv, Request('J') + Request('P', N("3|01|0|0|0||0||0||0|8|||") + form));
    // A custom refund of generation 8: 54-byte records.
    drv.Attach(8, true);
    drv.Answers = {LastDoc(8, "5"), Done('N')};
    drv.OpenCustomDoc(false, motRefund);
    AddRows(drv, {0, 1, 5, 6, 7, 10});
    AddPlain(drv, 11, 0, 6, 39);
    AddPlain(drv, 8, 0, 7);
    AddPlain(drv, 12, 0, 8, 39);
    AddPlain(drv, 20, 0, 9);
    drv.CloseCustomDoc(mptCard, 0, 1, 1, 0, 40, 1, 0);
    refund += P54("11", "6", Price38("7", "555", "", "2", "100.00") + "39") + P54("08", "7") +
              P54("12", "8", F("", 38) + "39") + P54("20", "9");
    expect(drv, Request('J') + Request('N', N("1|00|1|1|0||40|1||2|10||") + refund));
    // A composite document of generation 3 in modes 0, 4 and 8.
    drv.Attach(3);
    drv.Answers = {Done('S', {}, "0100"), LastDoc(3, "5"), Done('S'), Done('S', {}, "0500"),
                   Done('S')};
    drv.OpenFiscalDoc(motSale);
    drv.AddDateTime(0, 5, 12);
    drv.PrintFiscalDocBuffer();
    drv.CloseFiscalDoc();
    drv.OpenFiscalDoc(motRefund);
    drv.AddCustom(u"A", 2, 0, 13);
    drv.PrintFiscalDocBuffer();
    drv.AddCustom(u"B", 2, 0, 14);
    drv.CancelFiscalDoc(false);
    expect(drv, Request('S', N("0|00|1|||") + P61("05", "0020", "5", "12")) + Request('J') +
                    Request('S', N("0|04|0|||")) +
                    Request('S', N("1|00|1|||") + P61("99", "0000", "0", "13", "A")) +
                    Request('S', N("1|08|1|||")));

    // Copy and repeat of the last document, shift opening, reports,
    // fiscal-memory reports, feed, display rate, pulses.
    const std::string head = S("5", 2) + S("\x88\xA2\xA0\xAD\xAE\xA2" + std::string(34, 'x'), 40);
    const auto openDay = [&](bool Flag, TKestProtocol Protocol) {
        return Do(&D::OpenDay, 5, u"Иванов" + std::u16string(44, u'x'), Flag, Protocol);
    };
    const std::string report = S("0012345", 7) + S("1", 5) + S("1", 15);
    const std::string v03 = Done('_', report), none = Refused('B', "001F");
    const TKestDateTime last = kest::MakeDateTime({2026, 12, 31, 23, 59});
    const TKestDateTime first = kest::MakeDateTime({2026, 1, 1, 0, 0});
    // The generation, the call, the answer, the request's command and data;
    // the fiscal-memory reports meet a refusal, only their bytes matter here.
    const std::tuple<int, TCall, std::string, char, std::string> cases[] = {
        {7, Do(&D::CopyFiscalDoc), Done('T'), 'T', ""},
        {7, Do(&D::RepeatOperation), Done('K'), 'O', ""},
        {1, openDay(false, mprBS), Done('1'), '1', head + S("0", 1)},
        {3, openDay(false, mprUnknown), Done('1'), '1', head},
        {8, openDay(true, mprUnknown), Done('1'), '1', head + S("", 1)},
        {3, Do(&D::XReport, 1), v03, '_', S("1", 1) + S("04", 2) + S("", 2)},
        {2, Do(&D::XReport, 1), Done('5', report), '5', S("0", 1)},
        {4, Do(&D::ZReport, 1), Done('5', report + S("2", 15)), '5', S("6", 1)},
        {3, Do(&D::XReportByDep, -1, 0), v03, '_', S("3", 1) + S("00", 2) + S("", 2)},
        {3, Do(&D::XReportByOper, 5, 7), v03, '_', S("2", 1) + S("0C", 2) + S("5", 2)},
        {1, Do(&D::FiscalReportByNum, u"12345", true, 9999, 1), none, 'B',
         S("12345", 5) + S("2", 1) + S("9999", 8) + S("1", 8)},
        {3, Do(&D::FiscalReportByDate, u"", false, last, first), none, 'B',
         S("", 5) + S("1", 1) + S("31122026", 8) + S("01012026", 8)},
        {8, Do(&D::FiscalReportAll, u"0"), none, 'B', S("0", 5) + S("4", 1) + S("", 8) + S("", 8)},
        {2, Do(&D::FeedAndCut, -3, true), Done('R'), 'R', S("03", 2) + S("03", 2)},
        {3, Do(&D::SetDisplayBaudRate, 57600), Done('C'), 'C', S("6", 1)},
        {1, Do(&D::ExternalPulse, 2, 10, 20, 255), Done('8'), '8',
         S("1", 1) + S("0A", 2) + S("14", 2) + S("FF", 2)},
    };
    for (const auto& [generation, call, answer, cmd, data] : cases) {
        SCOPED_TRACE(cmd + data);
        D line;
        line.Attach(generation);
        line.Answers = {answer};
        try {
            call(line);
        } catch (const EKestEcrError&) {}
        EXPECT_EQ(line.Sent(), Request(cmd, data));
        EXPECT_TRUE(line.Answers.empty());
    }
}

// The records each Add call stores, and the calls it takes on a document.
TEST(Documents, PropertyRecords) {
    const auto item = [](TKestItemType Type, const char* Price, int Adjustment, int Quantity,
                         int Tax = 0, int Flags = 0, int Precision = 0, int Second = 0) {
        return Do(&D::AddItem, Type, Money(Price), false, 7, 5, Adjustment, Quantity, Precision,
                  Tax, u"", Flags, 1, 2, Second);
    };
    const TCall adjustment = Do(&D::AddDocPercentAdj, 1, 0, 0, 0, 0, 0);
    const TCall item1 = [](D& d) { AddPlain(d, 11, 0, 1); };
    const auto record = [](const char* Flags, const std::string& Data) {
        return P61("11", Flags, "1", "2", F("7", 3) + Data, true);
    };
    const TRuleCase cases[] = {
        // Amounts in hundredths, halves to even; no quantity, an empty slot;
        // no second offset for an item on generation 2.
        {2, motSale, Nothing, item(mitItem, "0.025", 0, -1, 0, 0, 0, 39), Ok,
         P53("11", "00", "1", "2", Price38("7", "5", "", "", "0.02"))},
        // A surcharge of 100 % fills its slot, with no 0x00 after it.
        {3, motSale, Nothing, item(mitPercentAdj, "0", 10000, -1), Ok,
         record("0020", F("5", 7) + "100.00" + F("", 12) + F("0.00", 12) + F("", 6))},
        // Generations 3 and 7: six-digit codes, the unit, the tax index in
        // the high byte; an item's own adjustment is not sent.
        {3, motSale, Nothing,
         Do(&D::AddItem, mitItem, Money("2"), true, 7, 123456, 10000, 2, 0, 2, u"шт.", 0, 1, 2, 0),
         Ok,
         record("0262",
                F("123456", 7) + F("", 6) + F("2", 12) + F("2.00", 12) + F("\xE8\xE2.", 6))},
        // An amount discount goes as a negative price.
        {7, motSale, Nothing, item(mitAmountAdj, "-5", 1, -1), Ok,
         record("00A1", F("5", 25) + "5.00")},
        // Cash with card: two amounts, each with its 0x00; the payment type in the flags.
        {3, motSale, Nothing,
         Do(&D::AddPay, mptCashCard, Money("100"), Money("50"), u"", 0, 1, 2, 0), Ok,
         P61("13", "0024", "1", "2", N("100.00|") + "50.00")},
        {3, motSale, Nothing, Do(&D::AddCustom, u"T", 0x41B, 1, 200), Ok,
         P61("99", "F000", "1", "200", "T")},
        // The barcode's values split, truncated, over four-digit groups.
        {2, motSale, Nothing,
         Do(&D::AddBarcode, 0x12345678, -65537, -1, 0, 65536, true, 0x80, 1, 999), Ok,
         P53("98", "11", "1", "999", "12345678FFFFFFFF0000FFFF0000000000010000")},
        {3, motSale, Nothing, Do(&D::AddDocPercentAdj, -500, 2, 0x800, 1, 2, 0), Ok,
         P61("21", "02A8", "1", "2", "5.00")},
        {3, motSale, Nothing, Do(&D::AddDocPercentAdj, 10000, 4, 0, 1, 2, 0), Ok,
         P61("21", "0420", "1", "2", "100.00")},
        // The graphic header stands at the left edge.
        {7, motSale, Nothing, Do(&D::AddGraphicHeader, 0, 50, 2), Ok, P61("23", "0020", "0", "2")},
        // Document adjustments and items repeat; Y 100 beyond generation 1;
        // the fiscal sign below the mandatory properties.
        {3, motSale, adjustment, adjustment, Ok},
        {2, motSale, item1, item1, Ok},
        {2, motSale, Nothing, Do(&D::AddDateTime, 0, 99, 100), Ok, P53("05", "00", "99", "100")},
        {8, motSale, Do(&D::AddDateTime, 0, 0, 9), Do(&D::AddFiscalSign, 0, 20, 10), Ok,
         P53("20", "00", "20", "10")},
    };
    RunRules(cases);
}

// The document states, and what every call of the documents, reports and
// device output refuses before a byte goes out.
TEST(Documents, Refusals) {
    const std::u16string receiptText = u"проведение стандартного чека";
    const std::u16string fiscalText = u"проведение фискального документа (составного чека)";
    const std::u16string docAdjustment = u"начисление скидок / надбавок на чек";
    const TCall receipt = Do(&D::OpenReceipt, motSale);
    const TCall custom = Do(&D::OpenCustomDoc, false, motSale);
    const TCall form = Do(&D::OpenCustomDoc, true, motSale);
    const TCall cached = Do(&D::OpenFiscalDoc, motSale);
    const TCall opened = [](D& d) { d.RegisterStatus(0x0100); };
    const auto item = [](const char* Price, int Department, int Adjustment, int Quantity) {
        return Do(&D::AddReceiptItem, u"", Money(Price), false, Department, 1, Adjustment, Quantity,
                  0, 0, u"", 0);
    };
    const TCall item1 = item("1", 1, 0, 1);
    // A receipt of 196 items, or a composite document of 300 properties.
    const TCall full = [item1](D& d) {
        if (d.Generation() != 3) d.OpenReceipt(motSale);
        for (int i = 0; i < (d.Generation() == 3 ? 300 : 196); ++i)
            d.Generation() == 3 ? d.AddCustom(u"", 0, 0, i % 100) : item1(d);
    };
    const auto sale = [item1](TKestOperType Oper = motSale) -> TCall {
        return [=](D& d) { d.OpenReceipt(Oper), item1(d); };
    };
    const auto close = [](TKestPayType PayType, TKestCurrency Amount, TKestCurrency Amount2,
                          int Copies = 0, int Info = 0, const char16_t* Account = u"1") {
        return Do(&D::CloseReceipt, Account, PayType, Amount, Amount2, u"", Copies,
                  TKestOperInfo(Info));
    };
    const auto adjustment = [](TKestItemType Type) {
        return Do(&D::AddItem, Type, Zero, false, 1, 1, 0, 1, 0, 0, u"", 0, 0, 0, 0);
    };
    const auto closeCustom = [](int CopiesA, int CopiesB, int OffsetB, int Index,
                                TKestPayType PayType = mptCash) {
        return Do(&D::CloseCustomDoc, PayType, 0, CopiesA, CopiesB, 0, OffsetB, 0, Index);
    };
    const auto custom0 = [](int X, int Y) { return Do(&D::AddCustom, u"", 0, X, Y); };
    const TCall fullSale = [](D& d) { AddRows(d, FullSale, 20); };
    const TCall fullRefund = [](D& d) { AddRows(d, {0, 1, 5, 6, 7, 10, 11, 8, 12, 20}); };
    const TCall card = Do(&D::AddPay, mptCard, Zero, Zero, u"", 0, 0, 0, 0);
    const TCall percent = Do(&D::AddDocPercentAdj, 1, 0, 0, 0, 0, 0);
    const TCall journal = Do(&D::AddEKLZData, 0, 0, 10);
    const TCall model = [](D& d) { d.Connect(3, mem207_1FMD), d.Identify(0x0100, 0x0205); };
    const TKestCurrency one = Money("1"), max = TKestorFPrt::MaxAmount, cent = Money("0.01");
    const auto unsupported = [](std::u16string Text) { return TOutcome{6, 0, std::move(Text)}; };
    const auto forbidden = [](std::u16string Text) { return TOutcome{10, 0, std::move(Text)}; };
    const TKestDateTime past = kest::MakeDateTime({1999, 12, 31, 0, 0});
    const auto feed = [](int Lines, bool Cut) { return Do(&D::FeedAndCut, Lines, Cut); };
    const auto openDay = [](int Oper, TKestProtocol Protocol) {
        return Do(&D::OpenDay, Oper, u"", false, Protocol);
    };
    const TKestOperType no = motUnknown;
    const TRuleCase cases[] = {
        // Not connected; no document open; the kinds a generation has not.
        {0, no, Nothing, receipt, {2}},
        {2, no, Nothing, item1, {8}, {}, mdsClosed},
        {3, no, Nothing, receipt, unsupported(receiptText)},
        {7, no, Nothing, custom, unsupported(u"проведение произвольного фискального документа")},
        {8, no, Nothing, cached, unsupported(fiscalText)},
        {2, no, Nothing, Do(&D::OpenReceipt, motZReport), Arg(8)},
        {3, no, Nothing, Do(&D::OpenFiscalDoc, motVoid), Arg(9)},
        // One document at a time, each with its own calls.
        {2, no, receipt, receipt, {9}, {}, mdsReceipt},
        {2, no, receipt, Do(&D::AddDateTime, 0, 0, 0),
         forbidden(u"добавление реквизитов фискального документа")},
        {2, no, custom, item1, forbidden(receiptText), {}, mdsCustom},
        {2, no, form, Do(&D::AddTotal, 0, 0, 0, 0), forbidden(u"печать итога документа")},
        {1, no, form, card, {11, 0, u"оплата чека"}, {}, mdsForm},
        // A cached document is cancelled unsent; the register's open one left to it.
        {3, no, cached, Do(&D::CancelFiscalDoc, false), Ok, {}, mdsClosed},
        {3, no, opened, Do(&D::CancelFiscalDoc, true), Ok, {}, mdsOpened},
        // Items: price, department with a journal, adjustment, sum.
        {2, no, sale(), item("-5", 1, 0, 1), Arg(21)},
        {8, no, sale(), item("1", 0, 0, 1), Arg(22)},
        {2, no, sale(), item("1", 1, 10000, 1), Arg(24)},
        // 33333333.3349 x 3 comes to 100000000.0047, though the price goes
        // out as 33333333.33.
        {2, no, sale(), item("33333333.3349", 1, 0, 3), Arg(28)},
        {6, motSale, Nothing, adjustment(mitVoidItem), Arg(31)},
        {3, motCashIn, Nothing, adjustment(mitAmountAdj), Arg(32)},
        {3, motSale, Nothing, adjustment(TKestItemType(6)), Arg(30)},
        // Closing a receipt: the payment, copies, operator and account.
        {2, no, sale(motCashIn), close(mptCard, Zero, Zero), Arg(19)},
        {2, no, sale(), close(mptCashCard, one, one), Arg(18)},
        {6, no, sale(), close(TKestPayType(5), one, Zero), Arg(17)},
        {8, no, sale(), close(mptCashCard, max, cent), Arg(20)},
        {2, no, sale(), close(mptCash, one, Zero, 10), Arg(10)},
        {6, no, sale(), close(mptCash, one, Zero, 0, 3), Arg(16)},
        {1, no, sale(), close(mptCash, one, Zero, 0, 0, u"12A"), Arg(51)},
        // Closing a custom document: a copy over the fiscal sign, the
        // impressions' offsets and the fiscal index, the payment.
        {2, motSale, fullSale, closeCustom(1, 0, 46, 0), Arg(13)},
        {2, motSale, fullSale, closeCustom(1, 1, 47, 4), Arg(15)},
        {6, motRefund, fullRefund, closeCustom(0, 0, 0, 0, mptCashCard), Arg(19)},
        // Properties given twice, or where the document has no place for them.
        {2, motSale, Do(&D::AddDateTime, 0, 0, 0), Do(&D::AddDateTime, 0, 0, 1),
         TOutcome{12, 5, u"дата и время совершения операции"}},
        {2, motSale, Nothing, Do(&D::AddHeaderLine, 5, 0, 0, 0), Arg(29)},
        {3, motRefund, Nothing, Do(&D::AddTaxSum, 3, 0, 0, 0, 0), forbidden(u"вычисление налогов")},
        {2, motSale, card, Do(&D::AddChange, 0, 0, 1, 0), forbidden(u"печать суммы сдачи")},
        {8, motCashIn, Nothing, journal, forbidden(u"добавление данных ЭКЛЗ")},
        {3, motSale, model, Do(&D::AddRegNumber, 0, 0, 0),
         unsupported(u"печать регистрационного номера ККМ")},
        {8, motSale, Nothing, percent, unsupported(docAdjustment)},
        {7, motCashOut, Nothing, percent, forbidden(docAdjustment)},
        {3, motSale, Nothing, Do(&D::AddDocPercentAdj, -10001, 0, 0, 0, 0, 0), Arg(24)},
        // A receipt or a composite document full.
        {8, no, full, item1, {7}},
        {3, motSale, full, custom0(0, 0), {7}},
        // Offsets and the vertical order.
        {2, motSale, Nothing, custom0(100, 0), Arg(12)},
        {2, motSale, Do(&D::AddHeaderLine, 1, 0, 0, 30), Do(&D::AddFiscalSign, 0, 0, 29), Arg(14)},
        {8, motSale, journal, custom0(0, 11), Arg(52)},
        // Shift, reports, device output.
        {3, no, Nothing, openDay(100, mprBS), Arg(6, u"неверный номер оператора")},
        {2, no, Nothing, openDay(1, mprUnknown), Arg(5, u"неверный тип протокола")},
        {2, no, Nothing, Do(&D::XReportByDep, 1, 0), {6, 0, u"печать X-отчета по отделам"}},
        {3, no, Nothing, Do(&D::XReportByDep, 100, 0), Arg(22, u"неверный номер отдела")},
        {1, no, Nothing, Do(&D::FiscalReportByNum, u"", true, 0, 5), Arg(44)},
        {1, no, Nothing, Do(&D::FiscalReportByDate, u"", true, past + 1, past), Arg(33)},
        {8, no, Nothing, Do(&D::ShowDisplay, u"A", true, true),
         unsupported(u"вывод на дисплей покупателя")},
        {3, no, Nothing, Do(&D::PrintNonFiscal, u"hello\\1B\\1B\\02X5862", true, true), Arg(53)},
        {2, no, Nothing, feed(128, false), Arg(37, u"неверное число строк прогона чековой ленты")},
        {3, no, Nothing, feed(-3, true), Arg(38)},
        {1, no, Nothing, Do(&D::ExternalPulse, 0, 200, 0, 0), Arg(34)},
        {1, no, Nothing, Do(&D::ExternalPulse, 1, 128, 0, 0),
         Arg(35, u"неверное значение интервала импульса")},
    };
    RunRules(cases);
}

TEST(Documents, MandatoryProperties) {
    const std::tuple<int, bool, TKestOperType, std::vector<int>, TKestPayType, TOutcome> cases[] = {
        {2, false, motSale, Without({0}), mptCash, TOutcome{13, 0, u"серийный номер ККМ"}},
        {1, false, motSale, Without({9}), mptCash, TOutcome{13, 9, u"номер счета"}},
        {6, false, motSale, Without({12}), mptCash, TOutcome{13, 12, u"итоговая сумма"}},
        {2, false, motSale, Without({14}), mptCash, TOutcome{13, 14, u"сумма сдачи"}},
        // Complete: the account only on generation 1, a refund needs no
        // payment, a form no receipt number, total or payment, paid by card a sale needs no change.
        {1, false, motSale, Without({}), mptCash, Ok},
        {2, false, motSale, Without({9}), mptCash, Ok},
        {6, false, motRefund, Without({13, 14}), mptCard, Ok},
        {2, true, motSale, Without({8, 12, 13, 14}), mptCash, Ok},
        {2, false, motSale, {0, 1, 5, 6, 7, 9, 10, 11, 8, 12, -13, 20}, mptCash, Ok},
    };
    for (const auto& [generation, form, oper, codes, payType, expected] : cases) {
        SCOPED_TRACE(testing::Message()
                     << "missing " << expected.ErrCodeEx << ", generation " << generation);
        D drv;
        drv.Attach(generation);
        drv.OpenCustomDoc(form, oper);
        AddRows(drv, codes);
        drv.Answers = {LastDoc(generation, "1"), Done(form ? 'P' : 'N')};
        try {
            drv.CloseCustomDoc(payType, 0, 0, 0, 0, 0, 0, 0);
        } catch (const EKestError&) {}
        ExpectOutcome(drv, expected);
        EXPECT_EQ(drv.Written.empty(), expected.ErrCode != 0);
    }
}

// A close the register answers with error 10 counts as printed when its last
// document ("J") has a new number and the document's operation; any other
// failure keeps the document whole, to be closed again. A close whose answer
// is lost or spoiled asks the same; when that question fails too, the next
// close asks it first and sends the document only when it was not printed.
TEST(Documents, BrokenOffCloseIsSettledByTheLastDocument) {
    const TCall receipt = [](D& d) {
        d.OpenReceipt(motSale), d.AddReceiptItem(u"", Money("1"), false, 1, 1, 0, 1, 0, 0, u"");
    };
    const TCall composite = [](D& d) { d.OpenFiscalDoc(motSale), d.AddDateTime(0, 0, 1); };
    const TCall custom = [](D& d) { d.OpenCustomDoc(false, motSale), AddRows(d, FullSale); };
    const std::tuple<int, char, TCall, TCall> kinds[] = {
        {2, 'N', custom, Do(&D::CloseCustomDoc, mptCash, 0, 0, 0, 0, 0, 0, 0)},
        {3, 'S', composite, Do(&D::CloseFiscalDoc)},
        {8, 'K', receipt, Do(&D::CloseReceipt, u"", mptCash, Money("1"), Zero, u"", 0, moiName)},
    };
    // The answer to the close: error 10 (on the older registers), error 12, or
    // (on 7 and 8) none or a wrong checksum; then the last document's number
    // ("": lost, "-": not asked, "?": the question refused) and type; the
    // number at the next close ("": none, the close printed the document).
    enum TAnswer { Interrupted, Refusal, Lost, Spoiled };
    const std::tuple<TAnswer, std::string, std::string, std::string> cases[] = {
        {Interrupted, "6", "00", ""}, {Interrupted, "5", "00", "5"}, {Interrupted, "6", "01", "5"},
        {Interrupted, "?", "", "5"},  {Refusal, "-", "", "5"},       {Spoiled, "6", "00", ""},
        {Spoiled, "5", "00", "5"},    {Lost, "", "", "6"},           {Lost, "", "", "5"},
    };
    for (const auto& [generation, cmd, build, close] : kinds) {
        for (const auto& [answer, number, type, next] : cases) {
            if ((answer == Lost || answer == Spoiled) != (generation >= 7)) continue;
            SCOPED_TRACE(testing::Message()
                         << cmd << generation << " " << answer << number << type);
            D drv;
            drv.Attach(generation, generation >= 7);
            build(drv);
            const std::string before = drv.State();
            std::string reply = answer == Lost ? ""
                                : answer == Spoiled
                                    ? Done(cmd)
                                    : Refused(cmd, answer == Refusal ? "000C" : "000A");
            if (answer == Spoiled) reply[reply.size() - 2] ^= 1;  // a BCC digit
            drv.Answers = {LastDoc(generation, "5"), reply};
            if (number == "?") drv.Answers.push_back(Refused('J', "0001"));
            if (number != "?" && number != "-")
                drv.Answers.push_back(number.empty() ? "" : LastDoc(generation, number, type));
            if (next.empty()) {
                EXPECT_NO_THROW(close(drv)) << kest::ToUtf8(drv.ErrMessage());
                EXPECT_EQ(drv.Count(), 0);
                EXPECT_FALSE(drv.CountersValid());
                continue;
            }
            EXPECT_THROW(close(drv), EKestError);
            EXPECT_EQ(drv.ErrCode(), answer == Lost ? 3 : answer == Spoiled ? 15 : 18);
            if (answer == Interrupted || answer == Refusal) {
                EXPECT_EQ(drv.ErrCodeEx(), answer == Interrupted ? 10 : 12);
            }
            EXPECT_TRUE(drv.Answers.empty());
            EXPECT_TRUE(drv.State() == before);
            drv.Sent();
            drv.Answers = {LastDoc(generation, next), Done(cmd)};
            EXPECT_NO_THROW(close(drv)) << kest::ToUtf8(drv.ErrMessage());
            EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
            // The document went out again only when it had not been printed.
            EXPECT_EQ(drv.Sent().find(cmd + "5862"s) != std::string::npos, next == "5");
        }
    }
}

// A report whose answer was spoilt counts as printed when the last document
// has moved on; a generation-6 register broken off with error 10 is not asked.
TEST(Reports, BrokenOffReportCountsWhenRegistered) {
    std::string spoilt = Done('_', S("0012345", 7) + S("18", 5) + S("500", 15));
    spoilt[spoilt.size() - 2] ^= 1;  // a BCC digit
    D drv;
    drv.Attach(7);
    drv.Answers = {LastDoc(7, "5"), spoilt, LastDoc(7, "6", "04", "500", "18")};
    EXPECT_EQ(drv.XReportByOper(3), 18);
    EXPECT_EQ(drv.SaleSum(), Money("500"));
    EXPECT_TRUE(drv.Answers.empty());
    drv.Attach(6);
    drv.Answers = {Refused('5', "000A")};
    EXPECT_THROW(drv.ZReport(), EKestEcrError);
    EXPECT_EQ(drv.ErrCodeEx(), 10);
    EXPECT_TRUE(drv.Answers.empty());
}

// Raw text to the printer or display: a byte at a time on BS, one write on
// XON/XOFF, and whatever happens the driver ready for the next call.
TEST(Printing, DeviceOutput) {
    const std::string ack = "\x06";
    const auto print = [](const char16_t* Text, bool Open, bool Close) {
        return Do(&D::PrintNonFiscal, Text, Open, Close);
    };
    const TCall escAcross = [](D& d) {
        d.PrintNonFiscal(u"A\\1B", false, false), d.PrintNonFiscal(u"\\1BB", false, false);
    };
    const std::string xonXoff = Done('6', {}, "0080");  // status bit 7
    const TCall display = Do(&D::ShowDisplay, u"ABC", false, false);
    using TBlocks = std::vector<std::string>;
    // Each byte acknowledged, and the last with the answer to the output's end.
    const TBlocks acks = {Done('6'), ack, ack, ack, ack, ack + Done('6')};
    const TBlocks bytes = {"A", "B", "\n", "\x1B", "\x1B"};
    // The call, the register's answers, the blocks written after the frame
    // of the open exchange, and the outcome.
    const std::tuple<TCall, TBlocks, TBlocks, int, int> cases[] = {
        {print(u"AB\\0A", true, true), acks, bytes, 0, 0},
        // A middle call with text awaits no answer.
        {print(u"\\00Я", false, false), {ack, ack}, {"\0"s, "\x9F"}, 0, 0},
        // An early end is a failure, as is ESC ESC across two parts.
        {print(u"ABCDE", false, true), {ack, Done('6')}, {"A", "B"}, 15, 9},
        {escAcross, {ack, ack}, {"A", "\x1B"}, 14, 53},
        // An answer to a middle part on XON/XOFF; an early refusal of the display.
        {print(u"A\\1Bx", true, false), {xonXoff, Refused('6', "000B")}, {"A\x1Bx"}, 18, 11},
        {display, {ack, Refused('^', "002D")}, {"A", "B"}, 18, 45},
        // No acknowledgement: no terminator either.
        {print(u"ABC", false, true), {ack}, {"A", "B"}, 3, 0},
    };
    int row = 0;
    for (const auto& [call, answers, expected, errCode, errCodeEx] : cases) {
        SCOPED_TRACE(testing::Message() << "case " << ++row);
        D drv;
        drv.Attach(3);
        drv.Answers = {answers.begin(), answers.end()};
        try {
            call(drv);
        } catch (const EKestError&) {}
        EXPECT_EQ(drv.ErrCode(), errCode) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(drv.ErrCodeEx(), errCodeEx);
        TBlocks raw = drv.Written;
        if (!raw.empty() && raw.front() == "\x02") {
            EXPECT_EQ(raw[0] + raw[1] + raw[2] + raw[3], Request('6'));
            raw.erase(raw.begin(), raw.begin() + 4);
        }
        EXPECT_EQ(raw, expected);
        EXPECT_TRUE(drv.Answers.empty());
        // Whatever happened, the driver is ready for the next call; after a
        // register stopped answering the application ends the output itself.
        EXPECT_FALSE(drv.TimeoutInForce());
        EXPECT_EQ(drv.ConnState(), mcsIdle);
        drv.Sent();
        if (errCode == 3) {
            drv.Answers = {ack, ack + Done('6')};
            EXPECT_NO_THROW(drv.PrintNonFiscal(u"", false, true));
        }
        drv.Answers = {Done('R')};
        EXPECT_NO_THROW(drv.FeedAndCut(1));
        EXPECT_EQ(drv.Sent(),
                  (errCode == 3 ? "\x1B\x1B"s : ""s) + Request('R', S("01", 2) + S("00", 2)));
    }
}

}  // namespace
}  // namespace kest::test::docs
