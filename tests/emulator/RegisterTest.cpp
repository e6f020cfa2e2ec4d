// The register's commands, request and answer byte for byte: answers of each
// layout, and the refusals of what a register does not take (requests the
// driver never sends so); fiscal documents are built by hand record by
// record. What the driver does with good requests its own tests against the
// emulator show.
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Frames.h"

using namespace kest::emu;
using namespace kest::emu::test;

namespace {

std::string ReadParam(std::string_view Number) {
    return Request('\\', Field(Number, 3));
}
std::string ParamValue(std::string_view Number, std::string_view Text) {
    return Answer('\\', "0000", Field(Number, 3) + Field(Text, 40));
}
std::string WriteParam(std::string_view Value, std::string_view Index) {
    return Request('W', Field(Value, 3) + Field(Index, 4));
}
// The re-registration with the widths of its registration and tax-payer numbers.
std::string Rewrite(size_t RegWidth, size_t TaxPayerWidth) {
    return Request('A', Field("1", 5) + Field("87654321", RegWidth) +
                            Field("123456789012", TaxPayerWidth) + "01022030\0"s + Field("2", 5));
}

}  // namespace

TEST(EmulatorServices, RequestsAndAnswers) {
    const std::string title = Request('[', Field("7", 3) + Field("Sale", 20));
    const auto protocol = [](const char* Error, const char* Status) {
        return Answer('W', Error, {}, "08", Status);
    };
    const std::string drawer = "00000\0"s + "000000034150.00\0"s;
    // The initial last document: the Z report of shift 42.
    const std::string lastDoc = "01\0"s + "00128\0"s + "14032024\0"s + "2105\0"s + "05\0"s +
                                "000000047900.00\0"s + "00057\0"s + "00042\0"s +
                                "000000000000.00\0"s;
    const std::string resources =
        "0004\0"s + "1783\0"s + "00003\0"s + "00042\0"s + "14032024\0"s + "2105\0"s + "1000\0"s;
    const std::string printed = resources.substr(0, 36) + "0000\0"s;
    const std::string rewrite = Rewrite(8, 12);
    const std::string xonXoff = WriteParam("1", "0000"), lineXonXoff = WriteParam("30", "0004");
    RunCases({
        {Gen3, {title}, ReadParam("007"), ParamValue("007", "Sale")},  // the number as asked
        {Gen8, {}, ReadParam("320"), ParamValue("320", "0")},          // the full journal
        // The protocol in the indexed form and in the line form of generations 1, 2, 6.
        {Gen3, {}, xonXoff, protocol("0000", "0080")},
        {Gen3, {xonXoff}, WriteParam("0", "0000"), protocol("0000", "0000")},
        {Gen2, {}, lineXonXoff, protocol("0000", "0080")},
        {Gen2, {lineXonXoff}, WriteParam("900", "0000"), protocol("0000", "0000")},
        {NewMd, {}, Request('J'), Answer('J', "0000", "01\0"s + "0" + lastDoc.substr(3, 45))},
        {Gen3, {}, Request('U', Field("11", 4)), Answer('U', "0000", Field("11", 4) + drawer)},
        {Gen8, {}, Request('U', Field("11", 3)), Answer('U', "0000", Field("11", 3) + drawer)},
        {Gen8, {}, Request('D', "\0\0"s), Answer('D', "0000", resources)},
        {Gen6, {}, Request('D', "1\0"s), Acks + Answer('D', "0000", printed)},
        {Gen3, {}, rewrite, Acks + Answer('A', "0000", "3\0"s)},
        {NewMd, {}, Rewrite(10, 13), Acks + Answer('A', "0000", "3\0"s)},
        {Gen7, {rewrite}, ReadParam("305"), ParamValue("305", "87654321")},
        {Gen3, {rewrite, rewrite, rewrite, rewrite}, rewrite, Answer('A', "0013")},  // four at most
    });
    // The counters block: the grand total and the drawer, then the shift's
    // counters, which the last Z report cleared.
    TRegister old(Gen2);
    const std::string block = Exchange(old, Request('L')), zero = "00000\0"s + "000000000000.00\0"s;
    ASSERT_EQ(block.size(), 16 + 332 + 3u);
    EXPECT_EQ(block.substr(16, 32), "000001045275.50\0"s + "000000034150.00\0"s);
    EXPECT_EQ(block.substr(16 + 32, 22) + block.substr(16 + 230, 22), zero + zero);  // 0 and 3
}

TEST(EmulatorServices, ProtectedJournal) {
    auto report = [](char Type, std::string_view First, std::string_view Last = {}) {
        return Request('Y', Type + "\0"s + Field(First, 8) + Field(Last, 8));
    };
    const std::pair<std::string, std::string> steps[] = {
        {report('1', "12"), Answer('Y', "004A")},  // not activated yet
        {Request('Z'), Answer('Z', "004A")},
        {Request('X'), Acks + Answer('X', "0000")},
        {Request('X'), Answer('X', "004D")},
        {report('7', "43"), Answer('Y', "0038")},  // shift 43 is not closed yet
        {Request('Z'), Acks + Answer('Z', "0000")},
        {Request('Z'), Answer('Z', "004F")},
        {ReadParam("318"), ParamValue("318", "000C")},
        {report('1', "12"), Acks + Answer('Y', "0000")}};
    TRegister reg(Gen7);
    for (const auto& [request, answer] : steps)
        EXPECT_EQ(Exchange(reg, request), answer) << request.substr(1, 1) << request[7];
}

namespace {

const std::string Separator = std::string(40, '-') + "\n";

// Property records: 53 bytes (generations 1, 2, 6) and 54 (generation 8).
std::string Property5x(size_t YSize, std::string_view Code, std::string_view Flags, int X, int Y,
                       std::string_view Data = {}) {
    return Slot(Code, 3) + Slot(Flags, 3) + Slot(std::to_string(X), 3) +
           Slot(std::to_string(Y), YSize) + Slot(Data, 41);
}
// A custom document ("N") or form ("P") of Parts, its copies on the right
// from OffsetB.
std::string Custom(char Code, char Operation, std::string_view Flags, char Copies,
                   std::string_view OffsetB, char PayType, const std::vector<std::string>& Parts) {
    std::string out = Slot({&Operation, 1}, 2) + Slot(Flags, 3) + Slot({&Copies, 1}, 2) +
                      Slot({&Copies, 1}, 2) + Slot("0", 3) + Slot(OffsetB, 3) + Slot("0", 3) +
                      Slot({&PayType, 1}, 2) + Slot(std::to_string(Parts.size()), 4);
    for (const std::string& part : Parts)
        out += part;
    return Request(Code, out);
}
// The head of the sample documents (code, column, row): header lines, serial
// and document number (from column X), tax-payer number, date.
std::vector<std::tuple<const char*, int, int>> HeadRows(int X) {
    return {{"01", 0, 0}, {"02", 0, 1}, {"03", 0, 2}, {"04", 0, 3},
            {"00", 0, 4}, {"07", X, 4}, {"10", 0, 5}, {"05", 0, 6}};
}
// A sample custom document: the head, operator, account, receipt number;
// then Tail, records of a code and data each a row from Row on.
std::vector<std::string> CustomDoc(size_t YSize, std::string_view OperFlags, bool Receipt, int Row,
                                   std::vector<std::pair<const char*, std::string>> Tail) {
    std::vector<std::string> doc;
    for (const auto& [code, x, y] : HeadRows(32))
        doc.push_back(Property5x(YSize, code, "00", x, y));
    doc.push_back(Property5x(YSize, "06", OperFlags, 0, 7));
    doc.push_back(Property5x(YSize, "09", "00", 0, 8, "0123456789"));
    if (Receipt) doc.push_back(Property5x(YSize, "08", "00", 32, 6));
    for (const auto& [code, data] : Tail)
        doc.push_back(Property5x(YSize, code, code == "99"s ? "30" : "00", 0, Row++, data));
    return doc;
}
// A composite document's portion, and the head of the sample one.
std::string Portion(char Operation, std::string_view Mode, std::vector<std::string> Parts) {
    std::string out = FiscalHeader(Operation, Mode, Parts.size());
    for (const std::string& part : Parts)
        out += part;
    return Request('S', out);
}
std::vector<std::string> CompositeHead() {
    std::vector<std::string> head;
    for (const auto& [code, x, y] : HeadRows(31))
        head.push_back(PropertyV03(code, "0020", x, y));
    head.push_back(PropertyV03("08", "0020", 31, 6));
    head.push_back(PropertyV03("06", "0022", 0, 7));
    return head;
}
const std::string SaleReceipt =
    Request('K', ReceiptHeader('0', "", '0', "10000.00", "0123456789", 2) +
                     ReceiptItem(Goods, "80", Price("7", "555", "3.00", "5.24", "200.56")) +
                     ReceiptItem(Goods, "00", Price("7", "555", "", "", "100.00")));

}  // namespace

TEST(EmulatorDocuments, RequestsAndAnswers) {
    const std::string cashOut =
        Request('K', ReceiptHeader('3', "", '0', "0.00", "", 1) +
                         ReceiptItem("", "00", Price("", "5", "", "", "50000.00")));

    // The sample custom sale paid by card on a register with a protected
    // journal: 54-byte records, values ending at column 39 (the right edge in
    // place of the last two data bytes).
    const auto edge39 = [](std::string_view Data) { return Slot(Data, 38) + "39"; };
    std::vector<std::string> card =
        CustomDoc(4, "02", true, 9,
                  {{"99", Goods},
                   {"11", edge39(Price("7", "555", "10.00", "", "100.00"))},
                   {"12", edge39("")},
                   {"13", edge39("\x8A\xA0\xE0\xE2\xA0 \xFC"s + "12345")},  // Карта №12345
                   {"20", ""},
                   {"22", ""}});
    std::vector<std::string> noSign = card, journalHigh = card;
    noSign.erase(noSign.end() - 2);
    journalHigh.back() = Property5x(4, "22", "00", 0, 12);
    // Generation 1: 53-byte records, a cash sale with change.
    std::vector<std::string> cash = CustomDoc(
        3, "00", true, 10,
        {{"11", Price("7", "555", "", "1", "150.00")}, {"12", ""}, {"13", "200.00"}, {"14", ""}});
    cash.push_back(Property5x(3, "20", "00", 20, 14));
    // Generation 2: the sample cash-out form, its one item the sum alone; a
    // text below the fiscal sign on row 100, whose number fills its slot.
    std::vector<std::string> form =
        CustomDoc(3, "00", false, 9, {{"11", Price("", "", "", "", "10000.00")}, {"20", ""}});
    form.push_back(Property5x(3, "99", "30", 2, 100, "x"));
    std::vector<std::string> twoItems = form;
    twoItems.push_back(Property5x(3, "11", "00", 0, 8, Price("", "", "", "", "1.00")));
    const auto n8 = [](const std::vector<std::string>& Parts, const char* Flags = "00",
                       const char* OffsetB = "40") {
        return Custom('N', '0', Flags, '1', OffsetB, '2', Parts);
    };
    const auto n1 = [](const std::vector<std::string>& Parts) {
        return Custom('N', '0', "00", '0', "0", '0', Parts);
    };
    const auto p2 = [](const std::vector<std::string>& Parts) {
        return Custom('P', '3', "01", '0', "0", '0', Parts);
    };
    const std::string rowsOn = "=10000.00\nФП\n" + std::string(89, '\n') + "  x\n----";

    // The sample composite sale in three portions: the head, a text and an
    // item; a text, an item of two pieces ("шт.") and the total; the payment
    // of 1000.00 in cash and 0.00 by card and the change.
    std::vector<std::string> parts = CompositeHead();
    parts.push_back(PropertyV03("99", "4020", 0, 8, Goods));
    parts.push_back(PropertyV03("11", "0122", 0, 9, Price("6", "0", "", "", "200.89", 7)));
    const std::string first = Portion('0', "00", parts);
    const std::string second = Portion(
        '0', "00",
        {PropertyV03("99", "0020", 0, 10, Goods),
         PropertyV03("11", "0222", 0, 11, Price("7", "555", "", "2", "200.00", 7) + "\xE8\xE2."),
         PropertyV03("12", "0020", 0, 12)});
    const std::string last = Portion('0', "04",
                                     {PropertyV03("13", "0024", 0, 13, "1000.00\0"s + "0.00"),
                                      PropertyV03("14", "0020", 0, 14)});
    const std::string refund = Portion('1', "00", CompositeHead()),
                      annul = Request('S', FiscalHeader('1', "08", 3));
    const std::string item03 = PropertyV03("11", "0002", 0, 20, Price("7", "1", "", "", "1.00", 7));
    const auto one = [](std::string_view Mode, std::string_view Code, std::string_view Flags, int Y,
                        std::string_view Data = {}) {
        return Portion('0', Mode, {PropertyV03(Code, Flags, 0, Y, Data)});
    };
    const std::string percent = Price("7", "1", "3.00", "", "1.00", 7);
    // The sale as the last document of generation 8: no purchase in it.
    const std::string saleDoc = "01\0"s + "00129\0"s + "15032024\0"s + "1015\0"s + "00\0"s +
                                "000000000110.00\0"s + "00058\0"s + "00042\0"s +
                                "000000000000.00\0"s;

    RunCases({
        {Gen2, {}, SaleReceipt, Printed('K', "0001"), "СМЕНА 0043                     ЧЕК 00058\n"},
        {Gen2, {}, Request('K', ReceiptHeader('0', "", '0', "1.00", "", 0)), Answer('K', "0018")},
        // A cash-out of more than the drawer holds.
        {Gen2, {}, cashOut, "002A"},

        {Gen8, {}, n8(card), Printed('N', "0001"), "ФП\nЭКЛЗ КПК 00129\n"},
        {Gen8, {n8(card)}, Request('J'), Answer('J', "0000", saleDoc, "08", "0001")},
        {Gen8, {}, n8(noSign), "0018"},
        {Gen8, {}, n8(journalHigh), "001C"},
        {Gen8, {}, n8(card, "00", "26"), "001C"},  // a copy over the fiscal sign
        {Gen1, {}, n1(cash), Printed('N', "0001"), "СДАЧА                             =50.00\n"},
        {Gen2, {}, p2(form), Printed('P', "0001"), rowsOn},
        {Gen2, {}, p2(twoItems), "0029"},

        // A composite document shows its state in every answer.
        {Gen3, {}, first, Printed('S', "0101")},
        {Gen3, {first}, Request('H'), Answer('H', "0000", "15032024\0"s + "1015\0"s, "08", "0101")},
        {Gen3, {first}, second, Printed('S', "0201")},
        {Gen3, {first, second}, Request('T'), Answer('T', "002A", {}, "08", "0201")},
        {Gen3, {first, second}, last, Printed('S', "0001"), "КАРТОЙ =0.00\n"},
        {Gen7, {}, refund, Printed('S', "0501")},
        {Gen7, {refund}, Request('O'), Answer('O', "002A", {}, "08", "0501")},
        {Gen7, {refund}, annul, Printed('S', "0001"), "ЧЕК АННУЛИРОВАН\n" + Separator},
        {Gen7, {refund, annul}, annul, Answer('S', "002A", {}, "08", "0001")},
        {Gen3, {second}, Portion('0', "00", {item03}), "002A"},      // an item after the total
        {Gen3, {second}, one("00", "99", "0020", 12, "x"), "001C"},  // a row the paper passed
        {Gen3, {second}, Portion('1', "04", {}), "002A"},            // another operation
        {Gen3, {}, Portion('0', "04", CompositeHead()), "002A"},     // closed without items
        {Gen3, {second}, one("04", "14", "0020", 20), "002A"},       // change without payment
        {Gen3, {}, one("00", "11", "0080", 1, percent), "002A"},     // a discount before any item
        {Gen3, {first}, one("00", "11", "0080", 20, Price("7", "1", "", "", "1.00", 7)), "0018"},
    });

    // The print breaks off after the receipt was registered: error 10, but
    // the last document has moved on; other answers leave the fault.
    TTestRegister reg(Gen2);
    reg.Register.InjectFault(TFault::InterruptedPrint, 1);
    EXPECT_EQ(ErrorOf(reg.Send('E')), "0000");
    EXPECT_EQ(Exchange(reg.Register, SaleReceipt), Acks + Answer('K', "000A", {}, "08", "0001"));
    EXPECT_EQ(reg.State().LastDocument.Number, 129);
    EXPECT_TRUE(reg.TakeTape().ends_with("ФП\n            ПЕЧАТЬ ПРЕРВАНА\n" + Separator));
    EXPECT_EQ(Exchange(reg.Register, SaleReceipt), Printed('K', "0001"));
}

TEST(EmulatorReports, RequestsAndAnswers) {
    const std::string composite =
        Portion('0', "04",
                {PropertyV03("11", "0002", 0, 0, Price("7", "555", "", "2", "100.00", 7)),
                 PropertyV03("11", "0002", 0, 1, Price("3", "1", "", "", "50.00", 7)),
                 PropertyV03("12", "0020", 0, 2), PropertyV03("13", "0020", 0, 3, "500.00")});
    const auto report = [](const char* Type, const char* Mode, const char* Number) {
        return Request('_', Field(Type, 1) + Field(Mode, 2) + Field(Number, 2));
    };
    const std::string z = Request('5', "2\0"s);
    const std::string byDepartment =
        "X-ОТЧЕТ 0001 ПО ОТДЕЛАМ\nОТД 03 Хлеб\n  ПРОДАЖИ                  1      =50.00\n";
    // The fiscal memory report of generation 6 with its purchases.
    const std::string header =
        Field("Shop", 40) + Field("Street 1", 40) + Field("", 40) + Field("Thanks", 40);
    const std::string records = "0000001\0"s + Field("00012345", 8) + Field("7701234567", 12) +
                                header + "15032024\0"s + "1015\0"s + "00004\0"s + "13032024\0"s +
                                "14032024\0"s + "0041\0"s + "0042\0"s + "000000072226.23\0"s +
                                "000000000000.00\0"s;
    const std::string byNumbers =
        Request('B', "00000\0"s + "2\0"s + Field("41", 8) + Field("42", 8));
    RunCases({
        {Gen2, {SaleReceipt, z}, z, Answer('5', "000C")},
        {Gen7, {composite}, report("3", "00", ""), "0000", byDepartment},
        {Gen7, {composite}, report("0", "01", ""), "0000", Separator + "[отрез]\n"},  // cut
        {Gen6, {Request('9', header)}, byNumbers, Acks + Answer('B', "0000", records)},
    });

    // A shift lasts 24 hours; a Z report ends it.
    TTestRegister reg(Gen2);
    ASSERT_EQ(ErrorOf(Exchange(reg.Register, SaleReceipt)), "0000");
    Exchange(reg.Register, Request('G', "16032024\0"s + "1014\0"s));
    EXPECT_EQ(ErrorOf(Exchange(reg.Register, SaleReceipt)), "0000");
    Exchange(reg.Register, Request('G', "16032024\0"s + "1016\0"s));
    EXPECT_EQ(Exchange(reg.Register, SaleReceipt), Answer('K', "0002", {}, "08", "0001"));
    EXPECT_EQ(ErrorOf(Exchange(reg.Register, z)), "0000");
    EXPECT_EQ(Exchange(reg.Register, SaleReceipt), Printed('K', "0001"));
    EXPECT_EQ(reg.State().Shift.Opened, reg.State().LastDocument.Date);
}

TEST(EmulatorOutput, PrinterDisplayFeedAndPulses) {
    const std::string esc2 = "\x1B\x1B", print = Request('6'), display = Request('^');
    const std::string feed = Request('R', "00\0"s + "01\0"s),
                      pulse = Request('8', "1\0"s + "0A\0"s + "14\0"s + "FF\0"s);
    // Every byte is text until ESC ESC, frame bytes too; each one is ACKed.
    const std::string raw = "AB\x03\x02\n" + std::string(45, 'x') + esc2;
    const std::string rawTape = "AB??\n" + std::string(40, 'x') + "\nxxxxx\n" + Separator;
    // ESC and anything else is a printer command this register does not
    // take: the answer comes in place of the ACK and ends the output.
    const std::string badEsc = print + "A\x1B" + "d" + "rest" + esc2;
    const std::string badEscIs = Answer('6', "0000") + Acks + Answer('6', "000B");
    // The customer display shows 20 characters a line; ESC @ clears it.
    const std::string text = "Total 1119.40\nThank you for shopping!" + esc2;
    const std::string shown = "[дисплей] Thank you for shoppi\n[дисплей] ng!\n";
    const std::string composite = Portion('0', "00", {PropertyV03("99", "0020", 0, 0, "x")});
    RunCases({
        {Gen3, {print}, raw, std::string(52, '\x06') + Answer('6', "0000"), rawTape},
        {Gen3, {}, badEsc, badEscIs, "A\n" + Separator},
        {Gen3, {display}, text, std::string(text.size(), '\x06') + Answer('^', "0000"), shown},
        {Gen3, {display}, "old\x1B@new" + esc2, "0000", "[дисплей] new\n"},
        {Gen3, {composite}, print, Answer('6', "002A", {}, "08", "0101")},
        {Gen3, {WriteParam("1", "0005")}, feed, "0000", ""},  // no cutter
        {Gen1, {}, pulse, Answer('8', "0000"), "[импульс: канал 2, 10/20, 255 раз]\n"},
    });
    // The display's rate leaves the register's own line alone.
    TRegister reg(Gen7);
    EXPECT_EQ(Exchange(reg, Request('C', Field("6", 1))), Answer('C', "0000"));
    EXPECT_EQ(reg.State().DisplayBaudRate, 57600);
    EXPECT_EQ(reg.BaudRate(), 9600);
}
