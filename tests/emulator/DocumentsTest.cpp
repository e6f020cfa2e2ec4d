// Fiscal documents on the register: records built by hand byte for byte, the
// answers, the counters and last document they leave, the status word of a
// composite document, and the paper tape.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Frames.h"
#include "Records.h"

using namespace std::string_literals;
using namespace kest::emu;
using namespace kest::emu::test;

namespace {

// "Карта №12345" and "шт." in code page 866.
const std::string Card =
    "\x8A\xA0\xE0\xE2\xA0 \xFC"
    "12345";
const std::string Pieces = "\xE8\xE2.";

// Property records: 53 bytes (generations 1, 2, 6), 54 (generation 8), 61
// (generations 3 and 7).
std::string Property53(std::string_view Code, std::string_view Flags, int X, int Y,
                       std::string_view Data = {}) {
    return Slot(Code, 3) + Slot(Flags, 3) + Slot(std::to_string(X), 3) +
           Slot(std::to_string(Y), 3) + Slot(Data, 41);
}
std::string Property54(std::string_view Code, std::string_view Flags, int X, int Y,
                       std::string_view Data = {}) {
    return Slot(Code, 3) + Slot(Flags, 3) + Slot(std::to_string(X), 3) +
           Slot(std::to_string(Y), 4) + Slot(Data, 41);
}
// Data of a property with a value on generations 6 and 8: its right edge
// follows in place of the last two data bytes.
std::string WithEdge(std::string_view Data, int Edge) {
    return Slot(Data, 38) + std::to_string(Edge);
}

std::string CustomHeader(char Operation, std::string_view Flags, char CopiesA, char CopiesB,
                         std::string_view OffsetB, char PayType, size_t Count) {
    return Slot({&Operation, 1}, 2) + Slot(Flags, 3) + Slot({&CopiesA, 1}, 2) +
           Slot({&CopiesB, 1}, 2) + Slot("0", 3) + Slot(OffsetB, 3) + Slot("0", 3) +
           Slot({&PayType, 1}, 2) + Slot(std::to_string(Count), 4);
}
// The head of the sample custom documents: header lines, serial and document
// number, tax-payer number, date, receipt number, operator, account.
using TMakeProperty = std::string (*)(std::string_view Code, std::string_view Flags, int X, int Y,
                                      std::string_view Data);
std::vector<std::string> CustomHead(TMakeProperty MakeWithData, std::string_view OperFlags,
                                    bool Receipt) {
    auto Make = [&](std::string_view Code, std::string_view Flags, int X, int Y,
                    std::string_view Data = {}) { return MakeWithData(Code, Flags, X, Y, Data); };
    std::vector<std::string> head = {
        Make("01", "00", 0, 0),      Make("02", "00", 0, 1),
        Make("03", "00", 0, 2),      Make("04", "00", 0, 3),
        Make("00", "00", 0, 4),      Make("07", "00", 32, 4),
        Make("10", "00", 0, 5),      Make("05", "00", 0, 6),
        Make("06", OperFlags, 0, 7), Make("09", "00", 0, 8, "0123456789"),
    };
    if (Receipt) head.push_back(Make("08", "00", 32, 6));
    return head;
}

std::string Join(const std::vector<std::string>& Parts) {
    std::string out;
    for (const std::string& part : Parts)
        out += part;
    return out;
}

std::string LastDoc(std::string_view Number, char Type, std::string_view Sum,
                    std::string_view Receipt) {
    return "01\0"s + std::string(Number) + '\0' + "15032024\0"s + "1015\0"s + '0' + Type + '\0' +
           std::string(Sum) + '\0' + std::string(Receipt) + '\0';
}

const std::string SaleReceipt =
    ReceiptHeader('0', "", '0', "10000.00", "0123456789", 2) +
    ReceiptItem(Goods, "80", Price("7", "555", "3.00", "5.24", "200.56")) +
    ReceiptItem(Goods, "00", Price("7", "555", "", "", "100.00"));

}  // namespace

TEST(RegisterDocuments, ReceiptOnGeneration2) {
    TTestRegister reg(Gen2);
    EXPECT_EQ(reg.Send('K', SaleReceipt), Printed('K', "0001"));  // the shift opens
    EXPECT_EQ(reg.TakeTape(),
              "             ООО \"Ромашка\"\n"
              "      г. Москва, ул. Садовая, д. 1\n"
              "           Магазин \"Продукты\"\n"
              "          Спасибо за покупку!\n"
              "ЗН ККМ 0000001            ИНН 7701234567\n"
              "15.03.2024 10:15               ДОК 00129\n"
              "СМЕНА 0043                     ЧЕК 00058\n"
              "ОПЕРАТОР 01 Кассир Иванова А.П.\n"
              "СЧЕТ 0123456789\n"
              "              КАССОВЫЙ ЧЕК\n"
              "                ПРОДАЖА\n"
              "Какой-то товар\n"
              "ОТД 07 КОД 555\n"
              "  5.24 x 200.56                 =1050.93\n"
              "  СКИДКА 3.00%                   =-31.53\n"
              "Какой-то товар\n"
              "ОТД 07 КОД 555\n"
              "  100.00                         =100.00\n"
              "ИТОГ                            =1119.40\n"
              "НАЛИЧНЫМИ                      =10000.00\n"
              "СДАЧА                           =8880.60\n"
              "                   ФП\n"
              "----------------------------------------\n");
    EXPECT_EQ(reg.Send('J'),
              Answer('J', "0000", LastDoc("00129", '0', "000000001119.40", "00058").substr(0, 42),
                     "08", "0001"));
    const std::string counters = reg.Send('L');
    ASSERT_EQ(counters.size(), 16 + 332 + 3u);
    EXPECT_EQ(counters.substr(16, 32), "000001046394.90\0"s + "000000035269.40\0"s);  // 12, 11
    EXPECT_EQ(counters.substr(16 + 32, 22), "00001\0"s + "000000001119.40\0"s);       // 0
    EXPECT_EQ(counters.substr(16 + 98, 22), "00001\0"s + "000000001119.40\0"s);       // 4

    // A refund and a cash-out pay out of the drawer; a cash-in takes nothing
    // but cash.
    EXPECT_EQ(reg.Send('K', ReceiptHeader('1', "", '0', "0.00", "1", 1) +
                                ReceiptItem(Goods, "40", Price("7", "555", "", "5", "200.56"))),
              Printed('K', "0001"));
    EXPECT_NE(reg.TakeTape().find("ВОЗВРАТ ПРОДАЖИ"), std::string::npos);
    EXPECT_EQ(reg.Counter(CtRefunds).Count, 1);
    EXPECT_EQ(reg.Counter(CtRefunds).Sum, 100280);
    EXPECT_EQ(reg.Counter(CtDrawer).Sum, 3526940 - 100280);
    EXPECT_EQ(reg.Send('K', ReceiptHeader('3', "", '0', "0.00", "", 1) +
                                ReceiptItem("", "00", Price("", "", "", "", "50000.00"))),
              Answer('K', "002A", {}, "08", "0001"));
    EXPECT_EQ(reg.Send('K', ReceiptHeader('2', "", '2', "", "", 1) +
                                ReceiptItem("", "00", Price("", "", "", "", "100.00"))),
              Answer('K', "0015", {}, "08", "0001"));
}

TEST(RegisterDocuments, ReceiptsRefused) {
    const std::string item = ReceiptItem(Goods, "00", Price("7", "555", "", "", "100.00"));
    const std::string header = ReceiptHeader('0', "", '0', "100.00", "1", 1);
    auto receipt = [&](std::string Header, std::string Item = {}) {
        return Header + (Item.empty() ? item : Item);
    };
    const struct {
        const char* Name;
        TConfig Config;
        std::string Data;
        const char* Error;
    } cases[] = {
        {"an item cut short", Gen2, header + item.substr(1), "0019"},
        {"no items", Gen2, ReceiptHeader('0', "", '0', "1.00", "", 0), "0018"},
        {"refund cashless on generation 2", Gen2,
         receipt(ReceiptHeader('C', "", '0', "0.00", "", 1)), "0015"},
        {"void on generation 8", Gen8, receipt(ReceiptHeader('A', "80", '0', "0.00", "", 1)),
         "0015"},
        {"operator flags on generation 2", Gen2,
         receipt(ReceiptHeader('0', "80", '0', "100.00", "", 1)), "0005"},
        {"operator flags 0xC0", Gen8, receipt(ReceiptHeader('0', "C0", '0', "100.00", "", 1)),
         "0015"},
        {"card for a refund on generation 2", Gen2, receipt(ReceiptHeader('1', "", '2', "", "", 1)),
         "0015"},
        {"cash with card on generation 2", Gen2,
         receipt(ReceiptHeader('0', "", '4',
                               "50.00\0"
                               "50.00"s,
                               "", 1)),
         "0015"},
        {"cash short of the total", Gen2, receipt(ReceiptHeader('0', "", '0', "99.99", "", 1)),
         "0015"},
        {"cash and card short of the total", Gen8,
         receipt(ReceiptHeader('0', "00", '4',
                               "50.00\0"
                               "49.99"s,
                               "", 1)),
         "0015"},
        {"more on the card than the total", Gen8,
         receipt(ReceiptHeader('0', "00", '4',
                               "0.00\0"
                               "100.01"s,
                               "", 1)),
         "0015"},
        {"account with a letter on generation 1", Gen1,
         receipt(ReceiptHeader('0', "", '0', "100.00", "12A", 1)), "0005"},
        {"no account on generation 1", Gen1, receipt(ReceiptHeader('0', "", '0', "100.00", "", 1)),
         "0018"},
        {"price with two points", Gen2,
         receipt(header, ReceiptItem("", "00", Price("7", "5", "", "", "1.0.0"))), "0005"},
        {"price in mils", Gen2,
         receipt(header, ReceiptItem("", "00", Price("7", "5", "", "", "1.005"))), "0005"},
        {"quantity without its separator", Gen2,
         receipt(header, ReceiptItem("", "00", Price("7", "5", "", std::string(12, '1'), "1.00"))),
         "0004"},
        {"no department", Gen2,
         receipt(header, ReceiptItem("", "00", Price("", "5", "", "", "1.00"))), "0018"},
        {"department 0 with a protected journal", Gen8,
         receipt(ReceiptHeader('0', "00", '0', "100.00", "", 1),
                 ReceiptItem("", "00", Price("0", "5", "", "", "1.00"))),
         "0015"},
        {"tax index 5", Gen8,
         receipt(ReceiptHeader('0', "00", '0', "100.00", "", 1),
                 ReceiptItem("", "05", Price("7", "5", "", "", "1.00"))),
         "0015"},
        {"a tax index on generation 2", Gen2,
         receipt(header, ReceiptItem("", "01", Price("7", "5", "", "", "1.00"))), "0015"},
        {"item over 99999999.99", Gen2,
         receipt(ReceiptHeader('0', "", '0', "1.00", "", 1),
                 ReceiptItem("", "00", Price("7", "5", "", "2", "99999999.99"))),
         "0015"},
        {"standard receipt on generation 3", Gen3, receipt(header), "001D"},
    };
    for (const auto& c : cases) {
        TTestRegister reg(c.Config);
        EXPECT_EQ(reg.Send('K', c.Data), Answer('K', c.Error)) << c.Name;
        EXPECT_EQ(reg.Register.State().LastDocument.Number, 128) << c.Name;
        EXPECT_EQ(reg.Tape, "") << c.Name;
    }

    // Capacity: 40 items on generation 1.
    TTestRegister gen1(Gen1);
    std::string many = ReceiptHeader('0', "", '0', "41.00", "1", 41);
    for (int i = 0; i < 41; ++i)
        many += ReceiptItem("", "00", Price("1", "1", "", "", "1.00"));
    EXPECT_EQ(gen1.Send('K', many), Answer('K', "0015"));
}

TEST(RegisterDocuments, CustomDocumentOnGeneration8) {
    // The sample custom sale, paid by card, on a register with a protected
    // journal: 54-byte records, values ending at column 39.
    std::vector<std::string> parts = CustomHead(Property54, "02", true);
    parts.push_back(Property54("99", "30", 0, 9, Goods));
    parts.push_back(
        Property54("11", "00", 0, 10, WithEdge(Price("7", "555", "10.00", "", "100.00"), 39)));
    parts.push_back(Property54("12", "00", 0, 11, WithEdge("", 39)));
    parts.push_back(Property54("13", "00", 0, 12, WithEdge(Card, 39)));
    parts.push_back(Property54("20", "00", 0, 13));
    parts.push_back(Property54("22", "00", 0, 14));
    const std::string document =
        CustomHeader('0', "00", '1', '1', "40", '2', parts.size()) + Join(parts);

    TTestRegister reg(Gen8);
    EXPECT_EQ(reg.Send('N', document), Printed('N', "0001"));
    const std::string tape = reg.TakeTape();
    EXPECT_NE(tape.find("ЗН ККМ 0000001                 ДОК 00129\n"), std::string::npos) << tape;
    EXPECT_NE(tape.find("\nСЧЕТ 0123456789\nКакой-то товар\n"
                        "100.00 +10.00%                   =110.00\n"
                        "ИТОГ                             =110.00\n"
                        "Карта №12345                     =110.00\n"
                        "ФП\nЭКЛЗ КПК 00129\n----"),
              std::string::npos)
        << tape;
    EXPECT_EQ(reg.Send('J'), Answer('J', "0000",
                                    LastDoc("00129", '0', "000000000110.00", "00058") + "00042\0"s +
                                        "000000000000.00\0"s,
                                    "08", "0001"));
    EXPECT_EQ(reg.Send('U', Slot("6", 4)),
              Answer('U', "0000", Slot("6", 4) + "00001\0"s + "000000000110.00\0"s, "08", "0001"));
    EXPECT_EQ(reg.Counter(CtDrawer).Sum, 3415000);  // paid by card

    // The same records in the 53-byte form are not this register's; nor is
    // a document without its fiscal sign, or with the journal's data above
    // the fiscal sign.
    std::vector<std::string> noSign = parts;
    noSign.erase(noSign.end() - 2);
    std::vector<std::string> journalHigh = parts;
    journalHigh.back() = Property54("22", "00", 0, 12);
    const struct {
        const char* Name;
        std::string Data;
        const char* Error;
    } refusals[] = {
        {"53-byte records", document.substr(0, 24) + Property53("01", "00", 0, 0), "0019"},
        {"no fiscal sign",
         CustomHeader('0', "00", '1', '1', "40", '2', noSign.size()) + Join(noSign), "0018"},
        {"journal data above others",
         CustomHeader('0', "00", '1', '1', "40", '2', parts.size()) + Join(journalHigh), "001C"},
        {"a copy over the fiscal sign",
         CustomHeader('0', "00", '1', '1', "26", '2', parts.size()) + Join(parts), "001C"},
        {"fiscal impression 4 of 4",
         CustomHeader('0', "40", '1', '1', "40", '2', parts.size()) + Join(parts), "0015"},
    };
    for (const auto& r : refusals)
        EXPECT_EQ(reg.Send('N', r.Data), Answer('N', r.Error, {}, "08", "0001")) << r.Name;
    EXPECT_EQ(reg.Tape, "");
}

TEST(RegisterDocuments, CustomDocumentAndFormOnGenerations1And2) {
    // Generation 1: 53-byte records, a cash sale with change.
    std::vector<std::string> parts = CustomHead(Property53, "00", true);
    parts.push_back(Property53("11", "00", 0, 10, Price("7", "555", "", "1", "150.00")));
    parts.push_back(Property53("12", "00", 0, 11));
    parts.push_back(Property53("13", "00", 0, 12, "200.00"));
    parts.push_back(Property53("14", "00", 0, 13));
    parts.push_back(Property53("20", "00", 20, 14));
    TTestRegister gen1(Gen1);
    EXPECT_EQ(
        gen1.Send('N', CustomHeader('0', "00", '0', '0', "0", '0', parts.size()) + Join(parts)),
        Printed('N', "0001"));
    EXPECT_NE(gen1.TakeTape().find("1 x 150.00                       =150.00\n"
                                   "ИТОГ                             =150.00\n"
                                   "НАЛИЧНЫМИ                        =200.00\n"
                                   "СДАЧА                             =50.00\n"
                                   "                    ФП\n"),
              std::string::npos);
    EXPECT_EQ(gen1.Counter(CtSalesCash).Sum, 15000);
    EXPECT_EQ(gen1.Register.State().LastDocument.Sum, 15000);

    std::vector<std::string> noAccount = parts;
    noAccount.erase(noAccount.begin() + 9);
    std::vector<std::string> row100 = parts;
    row100.back() = Property53("20", "00", 0, 100);
    std::vector<std::string> noChange = parts;
    noChange.erase(noChange.end() - 2);
    for (const auto& [records, error] :
         {std::pair{noAccount, "0018"}, std::pair{row100, "0015"}, std::pair{noChange, "0018"}})
        EXPECT_EQ(gen1.Send('N', CustomHeader('0', "00", '0', '0', "0", '0', records.size()) +
                                     Join(records)),
                  Answer('N', error, {}, "08", "0001"));

    // Generation 2: the sample cash-out form, its one item the sum alone; a
    // text below the fiscal sign on row 100, whose number fills its slot.
    std::vector<std::string> form = CustomHead(Property53, "00", false);
    form.push_back(Property53("11", "00", 0, 9, Price("", "", "", "", "10000.00")));
    form.push_back(Property53("20", "00", 0, 10));
    form.push_back(Property53("99", "30", 2, 100, "x"));
    TTestRegister gen2(Gen2);
    EXPECT_EQ(gen2.Send('P', CustomHeader('3', "01", '0', '0', "0", '0', form.size()) + Join(form)),
              Printed('P', "0001"));
    EXPECT_NE(gen2.TakeTape().find("10000.00                       =10000.00\nФП\n" +
                                   std::string(89, '\n') + "  x\n----"),
              std::string::npos);
    EXPECT_EQ(gen2.Counter(CtCashOut).Count, 1);
    EXPECT_EQ(gen2.Counter(CtDrawer).Sum, 3415000 - 1000000);

    std::vector<std::string> twoItems = form, total = form;
    twoItems.push_back(Property53("11", "00", 0, 8, Price("", "", "", "", "1.00")));
    total.push_back(Property53("12", "00", 0, 8));
    EXPECT_EQ(gen2.Send('P', CustomHeader('3', "01", '0', '0', "0", '0', twoItems.size()) +
                                 Join(twoItems)),
              Answer('P', "0029", {}, "08", "0001"));
    EXPECT_EQ(
        gen2.Send('P', CustomHeader('3', "01", '0', '0', "0", '0', total.size()) + Join(total)),
        Answer('P', "0015", {}, "08", "0001"));
}

namespace {

// The sample composite sale in three portions: the head, a text and an
// item; a text, an item of two pieces and the total; the payment of 1000.00
// in cash and 0.00 by card and the change.
std::vector<std::string> CompositeHead() {
    return {
        PropertyV03("01", "0020", 0, 0),  PropertyV03("02", "0020", 0, 1),
        PropertyV03("03", "0020", 0, 2),  PropertyV03("04", "0020", 0, 3),
        PropertyV03("00", "0020", 0, 4),  PropertyV03("07", "0020", 31, 4),
        PropertyV03("10", "0020", 0, 5),  PropertyV03("05", "0020", 0, 6),
        PropertyV03("08", "0020", 31, 6), PropertyV03("06", "0022", 0, 7),
    };
}
std::string Portion(char Operation, std::string_view Mode, std::vector<std::string> Parts) {
    return FiscalHeader(Operation, Mode, Parts.size()) + Join(Parts);
}
std::string FirstPortion() {
    std::vector<std::string> parts = CompositeHead();
    parts.push_back(PropertyV03("99", "4020", 0, 8, Goods));
    parts.push_back(PropertyV03("11", "0122", 0, 9, PriceV03("6", "0", "", "", "200.89")));
    return Portion('0', "00", parts);
}
const std::string SecondPortion =
    Portion('0', "00",
            {PropertyV03("99", "0020", 0, 10, Goods),
             PropertyV03("11", "0222", 0, 11, PriceV03("7", "555", "", "2", "200.00", Pieces)),
             PropertyV03("12", "0020", 0, 12)});
const std::string LastPortion = Portion(
    '0', "04",
    {PropertyV03("13", "0024", 0, 13, "1000.00\0"s + "0.00"), PropertyV03("14", "0020", 0, 14)});

}  // namespace

TEST(RegisterDocuments, CompositeDocumentInPortions) {
    TTestRegister reg(Gen3);
    // Opened, then at its total; the state shows in every answer.
    EXPECT_EQ(reg.Send('S', FirstPortion()), Printed('S', "0101"));
    EXPECT_EQ(reg.Send('H'), Answer('H', "0000", "15032024\0"s + "1015\0"s, "08", "0101"));
    EXPECT_EQ(reg.Send('S', SecondPortion), Printed('S', "0201"));
    EXPECT_EQ(reg.Send('T'), Answer('T', "002A", {}, "08", "0201"));
    EXPECT_EQ(reg.Send('S', LastPortion), Printed('S', "0001"));
    const std::string tape = reg.TakeTape();
    EXPECT_NE(tape.find("ЗН ККМ 0000001                 ДОК 00129\n"
                        "ИНН 7701234567\n"
                        "15.03.2024 10:15               ЧЕК 00058\n"
                        "ОПЕРАТОР 01 Кассир Иванова А.П.\n"
                        "Какой-то товар\n"
                        "200.89                           =200.89\n"
                        "Какой-то товар\n"
                        "2 шт. x 200.00                   =400.00\n"
                        "ИТОГ                             =600.89\n"
                        "НАЛИЧНЫМИ 1000.00           КАРТОЙ =0.00\n"
                        "СДАЧА                            =399.11\n"
                        "                   ФП\n"
                        "----------------------------------------\n"),
              std::string::npos)
        << tape;
    EXPECT_EQ(reg.Send('J'),
              Answer('J', "0000", LastDoc("00129", '0', "000000000600.89", "00058"), "08", "0001"));
    const struct {
        int Number;
        std::string Value;
    } counters[] = {
        {0, "00001\0"s + "000000000600.89\0"s},  {4, "00001\0"s + "000000000600.89\0"s},
        {6, "00001\0"s + "000000000000.00\0"s},  {11, "00000\0"s + "000000034750.89\0"s},
        {12, "00000\0"s + "000001045876.39\0"s},
    };
    for (const auto& c : counters) {
        const std::string number = Slot(std::to_string(c.Number), 5);
        EXPECT_EQ(reg.Send('U', number), Answer('U', "0000", number + c.Value, "08", "0001"))
            << c.Number;
    }

    // A copy prints the same again and counts nothing; a repeat counts the
    // document once more under the next number and answers for "S".
    EXPECT_EQ(reg.Send('T'), Printed('T', "0001"));
    EXPECT_EQ(reg.TakeTape(), "                 КОПИЯ\n" + tape);
    EXPECT_EQ(reg.Register.State().LastDocument.Number, 129);
    EXPECT_EQ(reg.Send('O'), Printed('S', "0001"));
    EXPECT_NE(reg.TakeTape().find("ДОК 00130"), std::string::npos);
    EXPECT_EQ(reg.Register.State().LastDocument.Number, 130);
    EXPECT_EQ(reg.Counter(CtSales).Sum, 2 * 60089);
}

TEST(RegisterDocuments, CompositeDocumentCancelledAndRefused) {
    TTestRegister reg(Gen7);
    const std::string refund = Portion('1', "00", CompositeHead());
    EXPECT_EQ(reg.Send('S', refund), Printed('S', "0501"));
    EXPECT_EQ(reg.Send('O'), Answer('O', "002A", {}, "08", "0501"));
    EXPECT_EQ(reg.Send('S', FiscalHeader('1', "08", 3)), Printed('S', "0001"));
    EXPECT_TRUE(reg.TakeTape().ends_with("ЧЕК АННУЛИРОВАН\n" + std::string(40, '-') + "\n"));
    EXPECT_EQ(reg.Register.State().LastDocument.Number, 128);
    EXPECT_EQ(reg.Send('S', FiscalHeader('1', "08", 0)), Answer('S', "002A", {}, "08", "0001"));
    EXPECT_EQ(reg.Send('O'), Answer('O', "002A", {}, "08", "0001"));  // nothing to repeat yet
    EXPECT_EQ(reg.Send('T'), Answer('T', "002A", {}, "08", "0001"));

    const std::string item = PropertyV03("11", "0002", 0, 20, PriceV03("7", "1", "", "", "1.00"));
    const std::string cashItem = PropertyV03("11", "0002", 0, 20, PriceV03("", "", "", "", "1.00"));
    const struct {
        const char* Name;
        std::vector<std::string> Before;  // portions that must print first
        std::string Portion;
        const char* Error;
    } cases[] = {
        {"an item after the total", {SecondPortion}, Portion('0', "00", {item}), "002A"},
        {"a row the paper has passed",
         {SecondPortion},
         Portion('0', "00", {PropertyV03("99", "0020", 0, 12, "x")}),
         "001C"},
        {"another operation", {SecondPortion}, Portion('1', "04", {}), "002A"},
        {"closed without items", {}, Portion('0', "04", CompositeHead()), "002A"},
        {"mode 2", {}, Portion('0', "02", {}), "0015"},
        {"records with a cancel", {SecondPortion}, Portion('0', "08", {item}), "0019"},
        {"void on generation 3", {}, Portion('A', "00", {}), "0015"},
        {"a fiscal sign", {}, Portion('0', "00", {PropertyV03("20", "0020", 0, 1)}), "0015"},
        {"the date twice",
         {},
         Portion('0', "00", {PropertyV03("05", "0020", 0, 1), PropertyV03("05", "0020", 0, 2)}),
         "0029"},
        {"change without payment",
         {SecondPortion},
         Portion('0', "04", {PropertyV03("14", "0020", 0, 20)}),
         "002A"},
        {"a discount before any item",
         {},
         Portion('0', "00",
                 {PropertyV03("11", "0080", 0, 1, PriceV03("7", "1", "3.00", "", "1.00"))}),
         "002A"},
        {"a percent discount without percent",
         {FirstPortion()},
         Portion('0', "00", {PropertyV03("11", "0080", 0, 20, PriceV03("7", "1", "", "", "1.00"))}),
         "0018"},
        {"cash short of the total",
         {SecondPortion},
         Portion('0', "04", {PropertyV03("13", "0020", 0, 20, "399.99")}),
         "0015"},
        {"a cash-in with a discount",
         {},
         Portion('2', "04",
                 {cashItem, PropertyV03("11", "0001", 0, 21, PriceV03("", "", "", "", "1.00"))}),
         "0015"},
        {"flags not hex", {}, Portion('0', "00", {PropertyV03("05", "00G0", 0, 1)}), "0005"},
    };
    for (const auto& c : cases) {
        TTestRegister fresh(Gen3);
        for (const std::string& before : c.Before)
            ASSERT_EQ(ErrorOf(fresh.Send('S', before)), "0000") << c.Name;
        const uint16_t status = fresh.Register.State().Status;
        fresh.TakeTape();
        EXPECT_EQ(ErrorOf(fresh.Send('S', c.Portion)), c.Error) << c.Name;
        EXPECT_EQ(fresh.Register.State().Status, status) << c.Name;
        EXPECT_EQ(fresh.Tape, "") << c.Name;
    }
}

TEST(RegisterDocuments, InterruptedPrintAndCancelledNotice) {
    // The print breaks off after the receipt was registered: error 10, but
    // the last document has moved on with the receipt's operation.
    TTestRegister reg(Gen2);
    reg.Register.InjectFault(TFault::InterruptedPrint, 1);
    EXPECT_EQ(reg.Send('E').substr(0, 2),
              "\x02"
              "E");  // other answers leave the fault
    EXPECT_EQ(reg.Send('K', SaleReceipt), Acks + Answer('K', "000A", {}, "08", "0001"));
    EXPECT_EQ(reg.Register.State().LastDocument.Number, 129);
    EXPECT_EQ(reg.Register.State().LastDocument.Type, '0');
    EXPECT_TRUE(reg.TakeTape().ends_with("ФП\n            ПЕЧАТЬ ПРЕРВАНА\n" +
                                         std::string(40, '-') + "\n"));
    EXPECT_EQ(reg.Send('K', SaleReceipt), Printed('K', "0001"));
    EXPECT_EQ(reg.Register.State().LastDocument.Number, 130);

    // The host cancels at a printer notice: the receipt never ran.
    TTestRegister cancelled(Gen2);
    cancelled.Register.SetNotices(1, 0x0A);
    EXPECT_EQ(cancelled.Send('K', SaleReceipt),
              "\x05"
              "0A");
    EXPECT_EQ(Exchange(cancelled.Register, "\x01"), Answer('K', "000A", {}, "0A"));
    EXPECT_EQ(cancelled.Register.State().LastDocument.Number, 128);
    EXPECT_EQ(cancelled.Counter(CtSales).Count, 0);
    EXPECT_EQ(cancelled.Tape, "");
}
