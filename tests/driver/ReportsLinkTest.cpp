// The shift, the reports and the device output of the driver against the
// emulator: a whole shift on every generation, X and Z reports whose print
// broke off, the register's XOFF and XON reaching the application, and a register
// switched off and on again with its state file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../ReliabilityReport.h"
#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

namespace {

using namespace std::chrono_literals;
using kest::emu::TConfig;
using kest::emu::TEmulator;
using kest::emu::TFault;

TKestCurrency Money(const char* Text) {
    return TKestCurrency::Parse(Text);
}

// What the register prints, written on the emulator's thread.
class TTape {
public:
    TConfig Into(TConfig Config) {
        Config.Tape = [this](std::string_view Text) {
            std::lock_guard lock(FLock);
            FText += Text;
        };
        return Config;
    }
    std::string Text() {
        std::lock_guard lock(FLock);
        return FText;
    }

private:
    std::mutex FLock;
    std::string FText;
};

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

struct TModelCase {
    TKestEcrModel Model;
    const char* Firmware;
    int Generation;
};

const TModelCase Models[] = {
    {mem207_1F, "1.0", 1},           {mem207_1F, "2.0", 2},
    {mem207_1F, "1.0 VLS B2.5", 3},  {mem207_1F, "6.0", 6},
    {memPCK, "1.0 PCK", 7},          {mem207_1K, "1.0", 8},
    {mem207_1FMD, "1.0 MD B1.2", 3}, {mem207_1FMD, "1.0 MD B3.0", 3},
};

class WholeShift : public testing::TestWithParam<TModelCase> {};

TEST_P(WholeShift, FromOpeningToTheFiscalMemory) {
    TTape tape;
    TEmulator emu(tape.Into(Register(GetParam().Model, GetParam().Firmware)));
    TLinkDriver drv(emu.DevicePath());
    ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
    const bool composite = Composite(drv);
    try {
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
    } catch (const EKestError& e) {
        FAIL() << e.what();
    }
    const std::string paper = tape.Text();
    for (const char* printed :
         {"ОТКРЫТИЕ СМЕНЫ 0043\nОПЕРАТОР 05 Кассир Тестов\n", "X-ОТЧЕТ 0001\n",
          "Спасибо,\nприходите ещё!\n----", "[импульс: канал 1, 10/20, 1 раз]\n", "Z-ОТЧЕТ 0043\n",
          "ФИСКАЛЬНЫЙ ОТЧЕТ 00004\n"})
        EXPECT_NE(paper.find(printed), std::string::npos) << printed << "\n" << paper;
    if (composite) {
        EXPECT_NE(paper.find("[дисплей] Итого: 250.00\n"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, WholeShift, testing::ValuesIn(Models), [](const auto& Info) {
    std::string name = "Generation" + std::to_string(Info.param.Generation);
    if (Info.param.Model == mem207_1FMD) name += Info.param.Firmware[8] == '3' ? "MdB3" : "MdB1";
    return name;
});

// The documents on the tape: the lines of dashes that end them.
int Documents(TTape& Tape) {
    const std::string text = Tape.Text();
    constexpr std::string_view separator = "----------------------------------------\n";
    int count = 0;
    for (auto at = text.find(separator); at != text.npos; at = text.find(separator, at + 1))
        ++count;
    return count;
}

// An X or Z report whose print broke off: registered all the same, it counts
// as printed; cancelled at the printer's notice before the register
// registered it, it is the register's error 10, and printed once when asked
// again.
TEST(ReportsLink, ReportsWhosePrintBrokeOff) {
    struct TKind {
        const char* Name;
        int (*Print)(TKestorFPrt&);
        int Number;  // of the report registered first
    };
    const TKind kinds[] = {
        {"Z report", [](TKestorFPrt& D) { return D.ZReport(); }, 43},
        {"X report", [](TKestorFPrt& D) { return D.XReport(); }, 1},
    };
    for (const TModelCase& m :
         {TModelCase{memPCK, "1.0 PCK", 7}, TModelCase{mem207_1K, "1.0", 8}}) {
        for (const TKind& kind : kinds) {
            const std::string name =
                std::string(kind.Name) + " (generation " + std::to_string(m.Generation) + ")";
            SCOPED_TRACE(name);
            TTape tape;
            TEmulator emu(tape.Into(Register(m.Model, m.Firmware)));
            TLinkDriver drv(emu.DevicePath());
            drv.Open();
            Sell(drv);
            int number = drv.DocNumber(), printed = Documents(tape);
            // Registered, though the answer says the print broke off: the
            // driver finds the report in the last document.
            emu.InjectFault(TFault::InterruptedPrint, 1);
            EXPECT_EQ(kind.Print(drv), kind.Number);
            EXPECT_EQ(drv.ErrCode(), 0) << kest::ToUtf8(drv.ErrMessage());
            EXPECT_EQ(drv.SaleSum(), Money("250.00"));
            EXPECT_EQ(drv.CheckEcrStatus(0), kind.Number == 43 ? -1 : 1);
            EXPECT_EQ(Documents(tape), printed + 1);
            EXPECT_EQ(drv.DocNumber(), number + 1);
            kest::test::TReport::Get().Set(
                "exactly-once", "close", name, "registered, then cancelled (error 10)",
                "success, report " + std::to_string(kind.Number) + "; printed " +
                    std::to_string(Documents(tape) - printed) + " (tape), numbered " +
                    std::to_string(drv.DocNumber() - number));

            // Not registered: the user cancels while the register waits for
            // its printer, before it prints anything.
            Sell(drv);
            drv.OnDataSend = [&](TKestorFPrt&, const void* Data, int Size) {
                const char code = *static_cast<const char*>(Data);
                if (Size == 6 && (code == '5' || code == '_')) emu.SetNotices(1, 0x0A);
            };
            number = drv.DocNumber();
            printed = Documents(tape);
            EXPECT_THROW(kind.Print(drv), EKestEcrError);
            EXPECT_EQ(drv.ErrCodeEx(), 10);
            EXPECT_EQ(drv.DocNumber(), number);
            EXPECT_EQ(Documents(tape), printed);
            EXPECT_EQ(drv.CheckEcrStatus(0), 1);
            drv.OnDataSend = nullptr;
            EXPECT_EQ(kind.Print(drv), kind.Number + 1);
            EXPECT_EQ(Documents(tape), printed + 1);
            EXPECT_EQ(drv.DocNumber(), number + 1);
            kest::test::TReport::Get().Set(
                "exactly-once", "close", name, "cancelled before it registered",
                "error 10; printed 0, numbered 0; asked again: report " +
                    std::to_string(kind.Number + 1) + ", printed " +
                    std::to_string(Documents(tape) - printed) + " (tape), numbered " +
                    std::to_string(drv.DocNumber() - number));
        }
    }
}

// An answer spoilt on the line after the register printed the report: where
// the last document tells (generations 7 and 8) the report counts as printed,
// so that it is not printed again; elsewhere the line's failure stands. A
// lost one the application gave up waiting for stays a failure (the fault
// matrix).
TEST(ReportsLink, ReportWhoseAnswerWasSpoilt) {
    struct TCase {
        TModelCase Register;
        TFault Fault;
        bool Z;
    };
    const TCase cases[] = {
        {{memPCK, "1.0 PCK", 7}, TFault::EtxInData, false},
        {{memPCK, "1.0 PCK", 7}, TFault::BadBcc, true},
        {{mem207_1K, "1.0", 8}, TFault::WrongSeparator, true},
        {{mem207_1K, "1.0", 8}, TFault::WrongEcho, false},
        {{mem207_1F, "6.0", 6}, TFault::Garbage, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Register.Generation);
        TEmulator emu(Register(c.Register.Model, c.Register.Firmware));
        TLinkDriver drv(emu.DevicePath());
        drv.Open();
        Sell(drv);
        const int before = drv.DocNumber();
        drv.OnDataSend = [&](TKestorFPrt&, const void* Data, int Size) {
            const char code = *static_cast<const char*>(Data);
            if (Size == 6 && (code == '5' || code == '_')) emu.InjectFault(c.Fault, 1);
        };
        if (c.Register.Generation < 7) {
            EXPECT_THROW(drv.XReport(), EKestBadResponse);
        } else {
            EXPECT_EQ(c.Z ? drv.ZReport() : drv.XReport(), c.Z ? 43 : 1)
                << kest::ToUtf8(drv.ErrMessage());
            EXPECT_EQ(drv.SaleSum(), Money("250.00"));
        }
        drv.OnDataSend = nullptr;
        EXPECT_EQ(drv.DocNumber(), before + 1);  // printed once
    }
}

TEST(ReportsLink, XoffAndXonOfTheRegisterReachTheApplication) {
    // The printer takes long over a line, the driver's line times out soon.
    TConfig config = Register(mem207_1F);
    config.XonXoff = true;
    config.LineTime = 300ms;
    TTape tape;
    TEmulator emu(tape.Into(config));
    TLinkDriver drv(emu.DevicePath(), 150, 100);
    drv.Open();
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
    ASSERT_TRUE(emu.WaitForXoff(2s));
    EXPECT_NO_THROW(drv.PrintNonFiscal(u"\\0A", false, true)) << kest::ToUtf8(drv.ErrMessage());
    const auto xoff = std::ranges::find(received, "\x13");
    ASSERT_NE(xoff, received.end());
    EXPECT_NE(std::find(xoff, received.end(), "\x11"), received.end());
    EXPECT_GT(asked, 0);
    EXPECT_EQ(tape.Text(),
              kest::ToUtf8(std::u16string(40, u'ж') + u"\n" + std::u16string(30, u'ж') + u"\n" +
                           std::u16string(40, u'-') + u"\n"));
}

TEST(ReportsLink, RegisterSwitchedOffAndOnKeepsItsNumbering) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("kestor-link-" + std::to_string(::getpid()) + ".json");
    std::filesystem::remove(path);
    TConfig config = Register(mem207_1K);
    config.StateFile = path.string();
    int number = 0;
    {
        TEmulator emu(config);
        TLinkDriver drv(emu.DevicePath());
        drv.Open();
        drv.OpenDay(5, u"Кассир Тестов", false, mprBS);
        Sell(drv);
        EXPECT_EQ(drv.XReport(), 1);
        number = drv.DocNumber();
    }
    {
        TEmulator emu(config);
        TLinkDriver drv(emu.DevicePath());
        drv.Open();
        EXPECT_EQ(drv.CheckEcrStatus(0), 1);  // the shift is still open
        EXPECT_EQ(drv.DocNumber(), number);
        EXPECT_EQ(drv.XReport(), 2);
        EXPECT_EQ(drv.ZReport(), 43);
        EXPECT_EQ(drv.SaleSum(), Money("250.00"));
        EXPECT_EQ(drv.DocNumber(), number + 2);
    }
    std::filesystem::remove(path);
}

}  // namespace
