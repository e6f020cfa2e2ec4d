// The shift, the reports and device output on the register: requests and
// answers byte for byte, the Z record and the counters it clears, the paper
// tape, and raw output in both line protocols with its ACKs or XOFF and XON.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Frames.h"
#include "Records.h"

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace kest::emu;
using namespace kest::emu::test;

namespace {

const std::string Serial = "0000001\0"s;
const std::string Separator = std::string(40, '-') + "\n";
// "Кассир Тестов" in code page 866.
const std::string Cashier = "\x8A\xA0\xE1\xE1\xA8\xE0 \x92\xA5\xE1\xE2\xAE\xA2";

// A cash sale of two items at 100.00 in department 7 (generations 1, 2, 6,
// 8: Flags "00" from generation 6 on).
std::string Sale(std::string_view Flags, char Operation = '0') {
    return ReceiptHeader(Operation, Flags, '0', "500.00", "1", 1) +
           ReceiptItem(Goods, "00", Price("7", "555", "", "2", "100.00"));
}
// The same on generations 3 and 7, and an item of 50.00 in department 3.
std::string CompositeSale() {
    return FiscalHeader('0', "04", 4) +
           PropertyV03("11", "0002", 0, 0, PriceV03("7", "555", "", "2", "100.00")) +
           PropertyV03("11", "0002", 0, 1, PriceV03("3", "1", "", "", "50.00")) +
           PropertyV03("12", "0020", 0, 2) + PropertyV03("13", "0020", 0, 3, "500.00");
}

}  // namespace

TEST(RegisterReports, ShiftOpening) {
    const std::string head = Field("5", 2) + Field(Cashier, 40);
    const struct {
        const char* Name;
        TConfig Config;
        std::string Data;
        std::string Answer;
    } cases[] = {
        {"generation 3, no mode", Gen3, head, Printed('1', "0001")},
        {"generation 6 switched to XON/XOFF", Gen6, head + Field("4", 1), Printed('1', "0081")},
        {"generation 8, mode left 0x00", Gen8, head + Field("", 1), Printed('1', "0001")},
        {"generation 8 with a protocol", Gen8, head + Field("4", 1), Answer('1', "0015")},
        {"generation 1 with XON/XOFF", Gen1, head + Field("4", 1), Answer('1', "0015")},
        {"46 bytes to generation 3", Gen3, head + Field("0", 1), Answer('1', "0019")},
        {"no operator", Gen3, Field("", 2) + Field(Cashier, 40), Answer('1', "0018")},
    };
    for (const auto& c : cases) {
        TTestRegister reg(c.Config);
        EXPECT_EQ(reg.Send('1', c.Data), c.Answer) << c.Name;
    }

    // The slip, the operator kept and named, and the opening as the last
    // document; a second opening is refused until the Z report.
    TTestRegister reg(Gen3);
    reg.Send('1', head);
    EXPECT_EQ(reg.TakeTape(),
              "ЗН ККМ 0000001            ИНН 7701234567\n"
              "15.03.2024 10:15               ДОК 00129\n"
              "          ОТКРЫТИЕ СМЕНЫ 0043\n"
              "ОПЕРАТОР 05 Кассир Тестов\n" +
                  Separator);
    EXPECT_EQ(reg.Send('J'), Answer('J', "0000",
                                    "05\0"s + "00129\0"s + "15032024\0"s + "1015\0"s + "06\0"s +
                                        "000000000000.00\0"s + "00057\0"s,
                                    "08", "0001"));
    EXPECT_EQ(reg.Send('1', head), Answer('1', "0002", {}, "08", "0001"));
    EXPECT_EQ(reg.Register.State().LastDocument.Number, 129);
}

TEST(RegisterReports, ShiftReportsOfOlderGenerations) {
    // Generation 2: 30 bytes, no purchases.
    TTestRegister gen2(Gen2);
    ASSERT_EQ(ErrorOf(gen2.Send('K', Sale(""))), "0000");
    EXPECT_EQ(gen2.Send('5', "0\0"s),
              Acks + Answer('5', "0000", Serial + "00001\0"s + "000000000200.00\0"s, "08", "0001"));
    EXPECT_EQ(gen2.Send('5', "4\0"s), Answer('5', "0015", {}, "08", "0001"));
    EXPECT_EQ(gen2.Send('5', "2\0"s),
              Acks + Answer('5', "0000", Serial + "00043\0"s + "000000000200.00\0"s));
    EXPECT_EQ(gen2.Send('5', "2\0"s), Answer('5', "000C"));

    // Generation 8: 46 bytes with the purchases; the Z report's record, the
    // counters it clears and keeps, and the report as the last document.
    TTestRegister gen8(Gen8);
    ASSERT_EQ(ErrorOf(gen8.Send('K', Sale("00"))), "0000");
    ASSERT_EQ(ErrorOf(gen8.Send('K', ReceiptHeader('D', "00", '0', "50.00", "", 1) +
                                         ReceiptItem("", "00", Price("7", "1", "", "", "50.00")))),
              "0000");
    EXPECT_EQ(gen8.Send('5', "6\0"s),
              Acks + Answer('5', "0000",
                            Serial + "00043\0"s + "000000000200.00\0"s + "000000000050.00\0"s));
    const TEcrState& state = gen8.Register.State();
    for (int i = 0; i < ShiftCounters; ++i)
        EXPECT_EQ(state.Counters[i].Count + state.Counters[i].Sum, 0) << i;
    ASSERT_EQ(state.DayRecords.size(), 43u);
    EXPECT_EQ(state.DayRecords.back().Sales, 20000);
    EXPECT_EQ(state.DayRecords.back().Buyings, 5000);
    EXPECT_EQ(gen8.Send('J'),
              Answer('J', "0000",
                     "01\0"s + "00131\0"s + "15032024\0"s + "1015\0"s + "05\0"s +
                         "000000000200.00\0"s + "00059\0"s + "00043\0"s + "000000000050.00\0"s));
    // The full form: every counter of generation 8, the departments and the
    // operators, then the fiscal sign.
    const std::string tape = gen8.TakeTape();
    EXPECT_NE(tape.find("ПОКУПКИ                    1      =50.00\n"
                        "ВОЗВРАТЫ ПОКУПОК           0       =0.00\n"
                        "ВНЕСЕНИЯ                   0       =0.00\n"
                        "ВЫПЛАТЫ                    0       =0.00\n"
                        "НАЛИЧНОСТЬ В КАССЕ             =34300.00\n"
                        "НЕОБНУЛЯЕМЫЙ ИТОГ            =1045475.50\n"
                        "ОТД 07\n"
                        "  ПРОДАЖИ                  1     =200.00\n"
                        "ОПЕРАТОР 01 Кассир Иванова А.П.\n"
                        "  ПРОДАЖИ                  1     =200.00\n"
                        "           СМЕНА 0043 ЗАКРЫТА\n"
                        "                   ФП\n"),
              std::string::npos)
        << tape;
}

TEST(RegisterReports, ShiftReportsOfGenerations3And7) {
    const auto request = [](const char* Type, const char* Mode, const char* Number) {
        return Field(Type, 1) + Field(Mode, 2) + Field(Number, 2);
    };
    const auto answer = [](const char* Number, const char* Sales, const char* Status) {
        return Acks +
               Answer('_', "0000", Serial + Field(Number, 5) + Field(Sales, 15), "08", Status);
    };
    TTestRegister reg(Gen7);
    ASSERT_EQ(ErrorOf(reg.Send('S', CompositeSale())), "0000");
    reg.TakeTape();
    EXPECT_EQ(reg.Send('_', request("1", "00", "")), answer("00001", "000000000250.00", "0001"));
    EXPECT_EQ(reg.Send('_', request("3", "08", "7")), answer("00002", "000000000200.00", "0001"));
    EXPECT_EQ(reg.Send('_', request("2", "08", "1")), answer("00003", "000000000250.00", "0001"));
    reg.TakeTape();
    EXPECT_EQ(reg.Send('_', request("3", "00", "")), answer("00004", "000000000250.00", "0001"));
    const std::string tape = reg.TakeTape();
    EXPECT_NE(tape.find("        X-ОТЧЕТ 0004 ПО ОТДЕЛАМ\n"
                        "ОТД 03 Хлеб\n"
                        "  ПРОДАЖИ                  1      =50.00\n"
                        "ОТД 07\n"
                        "  ПРОДАЖИ                  1     =200.00\n"
                        "ИТОГО ПРОДАЖИ                    =250.00\n"),
              std::string::npos)
        << tape;
    for (const auto& [data, error] : {
             std::pair{request("1", "08", "1"), "0015"},
             std::pair{request("3", "00", "7"), "0005"},
             std::pair{request("3", "10", ""), "0015"},
             std::pair{request("4", "00", ""), "0015"},
         })
        EXPECT_EQ(reg.Send('_', data), Answer('_', error, {}, "08", "0001")) << data;

    // The Z report; mode 1 cuts the paper after it.
    EXPECT_EQ(reg.Send('_', request("0", "01", "")), answer("00043", "000000000250.00", "0000"));
    EXPECT_TRUE(reg.TakeTape().ends_with(Separator + "[отрез]\n"));
    EXPECT_EQ(reg.Send('_', request("0", "00", "")), Answer('_', "000C"));
    EXPECT_EQ(reg.Send('5', "0\0"s), Answer('5', "001D"));
}

TEST(RegisterReports, ShiftOverADayTakesNoDocuments) {
    TTestRegister reg(Gen2);
    ASSERT_EQ(ErrorOf(reg.Send('K', Sale(""))), "0000");
    reg.Send('G', "16032024\0"s + "1014\0"s);
    EXPECT_EQ(ErrorOf(reg.Send('K', Sale(""))), "0000");
    reg.Send('G', "16032024\0"s + "1016\0"s);
    EXPECT_EQ(reg.Send('K', Sale("")), Answer('K', "0002", {}, "08", "0001"));
    EXPECT_EQ(ErrorOf(reg.Send('5', "0\0"s)), "0000");
    EXPECT_EQ(ErrorOf(reg.Send('5', "2\0"s)), "0000");
    EXPECT_EQ(reg.Send('K', Sale("")), Printed('K', "0001"));
    EXPECT_EQ(reg.Register.State().Shift.Opened, reg.Register.State().LastDocument.Date);
}

TEST(RegisterReports, FiscalMemoryReports) {
    // The header lines in plain ASCII, so that the answer reads as text.
    const std::string header =
        Field("Shop", 40) + Field("Street 1", 40) + Field("", 40) + Field("Thanks", 40);
    const auto request = [](const char* Password, const char* Type, const char* First,
                            const char* Last) {
        return Field(Password, 5) + Field(Type, 1) + Field(First, 8) + Field(Last, 8);
    };
    const std::string byNumbers = request("00000", "2", "41", "42");
    const std::string fields = Field("Shop", 40) + Field("Street 1", 40) + Field("", 40) +
                               Field("Thanks", 40) + "15032024\0"s + "1015\0"s + "00004\0"s +
                               "13032024\0"s + "14032024\0"s + "0041\0"s + "0042\0"s +
                               "000000072226.23\0"s;
    const struct {
        const char* Name;
        TConfig Config;
        std::string Identity;  // the registration and tax-payer numbers
        bool Buyings;
    } layouts[] = {
        {"A, generation 1", Gen1, Field("00012345", 8) + Field("7701234567", 12), false},
        {"A with purchases, generation 6", Gen6, Field("00012345", 8) + Field("7701234567", 12),
         true},
        {"B, 207.1F-MD B1.2", OldMd, Field("00012345", 8) + Field("7701234567", 13), false},
        {"C, 207.1F-MD B3.0", NewMd, Field("00012345", 10) + Field("7701234567", 13), false},
    };
    for (const auto& l : layouts) {
        TTestRegister reg(l.Config);
        reg.Send('9', header);
        const std::string data =
            Serial + l.Identity + fields + (l.Buyings ? "000000000000.00\0"s : ""s);
        EXPECT_EQ(reg.Send('B', byNumbers), Acks + Answer('B', "0000", data)) << l.Name;
    }

    TTestRegister reg(Gen3);
    reg.Send('B', byNumbers);
    EXPECT_EQ(reg.TakeTape(),
              "         ФИСКАЛЬНЫЙ ОТЧЕТ 00004\n"
              "         ПОЛНЫЙ ПО НОМЕРАМ СМЕН\n"
              "ЗН ККМ 0000001            ИНН 7701234567\n"
              "РН ККМ 00012345         15.03.2024 10:15\n"
              "СМЕНЫ 0041-0042    13.03.2024-14.03.2024\n"
              "0041 13.03.2024                =24326.23\n"
              "0042 14.03.2024                =47900.00\n"
              "ПРОДАЖИ                        =72226.23\n" +
                  Separator);
    // By dates, short: the records it covered.
    const std::string byDates = reg.Send('B', request("00000", "1", "12032024", "13032024"));
    EXPECT_EQ(byDates.substr(2 + 16 + 194, 48), "15032024\0"s + "1015\0"s + "00005\0"s +
                                                    "12032024\0"s + "13032024\0"s + "0040\0"s +
                                                    "0041\0"s);
    EXPECT_EQ(byDates.substr(2 + 16 + 242, 16), "000000048652.46\0"s);
    EXPECT_EQ(reg.TakeTape().find("0041 13.03.2024"), std::string::npos);  // short

    const struct {
        const char* Name;
        TConfig Config;
        std::string Data;
        const char* Error;
    } refusals[] = {
        {"wrong password", Gen3, request("12345", "2", "1", "2"), "0011"},
        {"the whole memory on generation 6", Gen6, request("00000", "4", "", ""), "0015"},
        {"record 0", Gen3, request("00000", "2", "0", "2"), "0015"},
        {"records beyond the memory", Gen3, request("00000", "3", "50", "60"), "002F"},
        {"records backwards", Gen3, request("00000", "3", "42", "41"), "002F"},
        {"31 February", Gen3, request("00000", "0", "31022024", "01032024"), "0007"},
    };
    for (const auto& r : refusals) {
        TTestRegister fresh(r.Config);
        EXPECT_EQ(fresh.Send('B', r.Data), Answer('B', r.Error)) << r.Name;
        EXPECT_EQ(fresh.Register.State().Resources.LastFiscalReport, 3) << r.Name;
    }
}

TEST(RegisterOutput, PrinterAndDisplayOnBs) {
    TTestRegister reg(Gen3);
    EXPECT_EQ(reg.Send('6'), Answer('6', "0000"));
    // Every byte is text until ESC ESC, frame bytes too; each one is ACKed.
    EXPECT_EQ(Exchange(reg.Register, "AB\x03\x02\n" + std::string(45, 'x') + "\x1B\x1B"),
              std::string(52, '\x06') + Answer('6', "0000"));
    EXPECT_EQ(reg.TakeTape(), "AB??\n" + std::string(40, 'x') + "\nxxxxx\n" + Separator);
    EXPECT_EQ(ErrorOf(reg.Send('E')), "0000");

    // ESC and anything else is a printer command this register does not
    // take: the answer comes in place of the ACK and ends the output; the
    // rest is noise.
    reg.Send('6');
    EXPECT_EQ(Exchange(reg.Register,
                       "A\x1B"
                       "d"),
              "\x06\x06" + Answer('6', "000B"));
    EXPECT_EQ(Exchange(reg.Register, "rest\x1B\x1B"), "");
    EXPECT_EQ(reg.TakeTape(), "A\n" + Separator);
    EXPECT_EQ(ErrorOf(reg.Send('E')), "0000");

    // The customer display shows 20 characters a line.
    EXPECT_EQ(reg.Send('^'), Answer('^', "0000"));
    const std::string text = "Total 1119.40\nThank you for shopping!";
    EXPECT_EQ(Exchange(reg.Register, text + "\x1B\x1B"),
              std::string(text.size() + 2, '\x06') + Answer('^', "0000"));
    EXPECT_EQ(reg.TakeTape(),
              "[дисплей] Total 1119.40\n[дисплей] Thank you for shoppi\n[дисплей] ng!\n");
    // The display takes its own ESC commands: ESC @ clears it.
    reg.Send('^');
    EXPECT_EQ(Exchange(reg.Register, "old\x1B@new\x1B\x1B"),
              std::string(10, '\x06') + Answer('^', "0000"));
    EXPECT_EQ(reg.TakeTape(), "[дисплей] new\n");

    // No display before generation 3; no printing into a composite document.
    EXPECT_EQ(TTestRegister(Gen2).Send('^'), Answer('^', "001D"));
    EXPECT_EQ(TTestRegister(Gen8).Send('^'), Answer('^', "001D"));
    ASSERT_EQ(
        ErrorOf(reg.Send('S', FiscalHeader('0', "00", 1) + PropertyV03("99", "0020", 0, 0, "x"))),
        "0000");
    EXPECT_EQ(reg.Send('6'), Answer('6', "002A", {}, "08", "0101"));
}

TEST(RegisterOutput, XonXoffHoldsTheHostWhileThePrinterPrints) {
    using TClock = TRegister::TClock;
    const TClock::time_point t0 = TClock::now();
    std::string tape;
    TRegister reg({.XonXoff = true,
                   .Tape = [&tape](std::string_view Text) { tape += Text; },
                   .LineTime = 10ms});
    const std::string done = Answer('6', "0000", {}, "08", "0080");
    reg.Receive(Request('6'), t0);
    EXPECT_EQ(reg.Poll(t0), done);

    // No ACKs; the 64th byte fills the buffer: XOFF at once, XON when its
    // two lines are printed.
    reg.Receive(std::string(63, 'x'), t0);
    EXPECT_EQ(reg.Poll(t0), "");
    reg.Receive(std::string(7, 'y'), t0 + 1ms);
    EXPECT_EQ(reg.Poll(t0 + 1ms), "\x13");
    EXPECT_TRUE(reg.XoffSent());
    EXPECT_EQ(reg.NextDeadline(), t0 + 21ms);
    EXPECT_EQ(reg.Poll(t0 + 20ms), "");
    EXPECT_EQ(reg.Poll(t0 + 21ms), "\x11");
    EXPECT_FALSE(reg.XoffSent());

    // The buffer fills again; ESC ESC while it is held: the answer comes
    // after the XON.
    reg.Receive(std::string(64, 'z'), t0 + 25ms);
    EXPECT_EQ(reg.Poll(t0 + 25ms), "\x13");
    reg.Receive("\x1B\x1B", t0 + 26ms);
    EXPECT_EQ(reg.Poll(t0 + 44ms), "");
    EXPECT_EQ(reg.Poll(t0 + 45ms), "\x11" + done);
    EXPECT_EQ(tape, std::string(40, 'x') + "\n" + std::string(23, 'x') + std::string(7, 'y') +
                        std::string(10, 'z') + "\n" + std::string(40, 'z') + "\n" +
                        std::string(14, 'z') + "\n" + Separator);

    // An early end answers at once: the host reads it when it closes.
    reg.Receive(Request('6') + "A\x1B" + "d", t0 + 50ms);
    EXPECT_EQ(reg.Poll(t0 + 50ms), done + Answer('6', "000B", {}, "08", "0080"));
}

TEST(RegisterOutput, FeedPulsesAndDisplayRate) {
    const struct {
        const char* Name;
        TConfig Config;
        char Code;
        std::string Data;
        std::string Answer;
        std::string Tape;
    } cases[] = {
        {"feed back and cut", Gen2, 'R', Field("03", 2) + Field("03", 2), Printed('R', "0000"),
         "[прогон назад 3]\n[отрез]\n"},
        {"backwards on generation 3", Gen3, 'R', Field("03", 2) + Field("02", 2),
         Answer('R', "0015"), ""},
        {"128 lines", Gen2, 'R', Field("80", 2) + Field("00", 2), Answer('R', "0015"), ""},
        {"no feed on generation 1", Gen1, 'R', Field("01", 2) + Field("00", 2), Answer('R', "001D"),
         ""},
        {"pulse", Gen1, '8', Field("1", 1) + Field("0A", 2) + Field("14", 2) + Field("FF", 2),
         Answer('8', "0000"), "[импульс: канал 2, 10/20, 255 раз]\n"},
        {"channel 3", Gen8, '8', Field("2", 1) + Field("0A", 2) + Field("14", 2) + Field("FF", 2),
         Answer('8', "0015"), ""},
        {"interval 128", Gen3, '8',
         Field("0", 1) + Field("80", 2) + Field("14", 2) + Field("FF", 2), Answer('8', "0015"), ""},
    };
    for (const auto& c : cases) {
        TTestRegister reg(c.Config);
        EXPECT_EQ(reg.Send(c.Code, c.Data), c.Answer) << c.Name;
        EXPECT_EQ(reg.Tape, c.Tape) << c.Name;
    }

    // A register whose cutter is switched off feeds without cutting.
    TTestRegister noCutter(Gen3);
    noCutter.Send('W', Field("1", 3) + Field("0005", 4));
    noCutter.Send('R', Field("00", 2) + Field("01", 2));
    EXPECT_EQ(noCutter.Tape, "");

    // The display's rate leaves the register's own line alone.
    TTestRegister reg(Gen7);
    EXPECT_EQ(reg.Send('C', Field("6", 1)), Answer('C', "0000"));
    EXPECT_EQ(reg.Register.State().DisplayBaudRate, 57600);
    EXPECT_EQ(reg.Register.BaudRate(), 9600);
}
