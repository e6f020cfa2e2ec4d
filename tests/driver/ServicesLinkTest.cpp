// The device services of the driver against the emulator, on every model and
// generation: the driver refuses what it knows the register lacks, and every
// exchange it does make the register takes and answers in a layout the driver
// reads. What is written reads back the same.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

namespace {

using kest::emu::TConfig;
using kest::emu::TEmulator;

struct TModelCase {
    TKestEcrModel Model;
    const char* Firmware;
    int Generation;
};

// Every generation, and the Moldavian register with its short last-document answer.
const TModelCase Models[] = {
    {mem207_1F, "1.0", 1},           {mem207_1F, "2.0", 2},  {mem207_1F, "1.0 VLS B2.5", 3},
    {mem207_1F, "6.0", 6},           {memPCK, "1.0 PCK", 7}, {mem207_1K, "1.0", 8},
    {mem207_1FMD, "1.0 MD B3.0", 3},
};

using TCall = std::function<void(TKestorFPrt&)>;

// The driver writes any setting on generations 3, 7 and 8; a register refuses
// (21, out of range) the settings it does not have, those it cannot report.
bool RegisterLacksSetting(const std::string& Name, int Generation) {
    static const char* const only3and7[] = {"SetDisplayTimeout", "SetPrinterContrast",
                                            "SetLeading",        "SetHeaderAlignment",
                                            "SetAutocut",        "SetEconomicMode"};
    for (const char* op : only3and7)
        if (Name == op) return Generation == 8;
    return Name == "SetFullJournal" && Generation != 8;
}

// Every public operation of the services, with arguments the register takes.
const std::vector<std::pair<const char*, TCall>>& Operations() {
    static const std::vector<std::pair<const char*, TCall>> ops = {
        {"QueryPrinterTimeout", [](TKestorFPrt& D) { D.QueryPrinterTimeout(); }},
        {"QueryDisplayTimeout", [](TKestorFPrt& D) { D.QueryDisplayTimeout(); }},
        {"QueryPrinterContrast", [](TKestorFPrt& D) { D.QueryPrinterContrast(); }},
        {"QueryLeading", [](TKestorFPrt& D) { D.QueryLeading(); }},
        {"QueryOperNumber", [](TKestorFPrt& D) { D.QueryOperNumber(); }},
        {"QueryHeaderAlignment", [](TKestorFPrt& D) { D.QueryHeaderAlignment(); }},
        {"QueryAutocut", [](TKestorFPrt& D) { D.QueryAutocut(); }},
        {"QueryEconomicMode", [](TKestorFPrt& D) { D.QueryEconomicMode(); }},
        {"QueryPaperJournal", [](TKestorFPrt& D) { D.QueryPaperJournal(); }},
        {"QueryFullJournal", [](TKestorFPrt& D) { D.QueryFullJournal(); }},
        {"SetPrinterTimeout", [](TKestorFPrt& D) { D.SetPrinterTimeout(45); }},
        {"SetDisplayTimeout", [](TKestorFPrt& D) { D.SetDisplayTimeout(20); }},
        {"SetPrinterContrast", [](TKestorFPrt& D) { D.SetPrinterContrast(7); }},
        {"SetLeading", [](TKestorFPrt& D) { D.SetLeading(255); }},
        {"SetCutterDisabled", [](TKestorFPrt& D) { D.SetCutterDisabled(true); }},
        {"SetNarrowPaper", [](TKestorFPrt& D) { D.SetNarrowPaper(false); }},
        {"SetHeaderAlignment", [](TKestorFPrt& D) { D.SetHeaderAlignment(true); }},
        {"SetAutocut", [](TKestorFPrt& D) { D.SetAutocut(true); }},
        {"SetEconomicMode", [](TKestorFPrt& D) { D.SetEconomicMode(false); }},
        {"SetPaperJournal", [](TKestorFPrt& D) { D.SetPaperJournal(true); }},
        {"SetFullJournal", [](TKestorFPrt& D) { D.SetFullJournal(true); }},
        {"SetParameters", [](TKestorFPrt& D) { D.SetParameters(mprBS, 30); }},
        {"SetProtocol", [](TKestorFPrt& D) { D.SetProtocol(mprBS); }},
        {"QueryFirmwareInfo", [](TKestorFPrt& D) { D.QueryFirmwareInfo(); }},
        {"QueryDevExStatus", [](TKestorFPrt& D) { D.QueryDevExStatus(); }},
        {"QueryTax", [](TKestorFPrt& D) { D.QueryTax(4); }},
        {"QueryCounter", [](TKestorFPrt& D) { D.QueryCounter(5); }},
        {"QueryCounter snapshot", [](TKestorFPrt& D) { D.QueryCounter(12, true); }},
        {"QueryResourceInfo", [](TKestorFPrt& D) { D.QueryResourceInfo(); }},
        {"QueryLastDocInfo", [](TKestorFPrt& D) { D.QueryLastDocInfo(); }},
        {"QuerySerialNumber", [](TKestorFPrt& D) { D.QuerySerialNumber(); }},
        {"QueryTaxPayerNumber", [](TKestorFPrt& D) { D.QueryTaxPayerNumber(); }},
        {"QueryRegNumber", [](TKestorFPrt& D) { D.QueryRegNumber(); }},
        {"QueryEcrDateTime", [](TKestorFPrt& D) { D.QueryEcrDateTime(); }},
        {"QueryHeaderLine", [](TKestorFPrt& D) { D.QueryHeaderLine(4); }},
        {"QueryTitle", [](TKestorFPrt& D) { D.QueryTitle(7); }},
        {"QueryDepartName", [](TKestorFPrt& D) { D.QueryDepartName(99); }},
        {"QueryOperName", [](TKestorFPrt& D) { D.QueryOperName(0); }},
        {"SetHeader", [](TKestorFPrt& D) { D.SetHeader(u"А", u"Б", u"В", u"Г"); }},
        {"SetTitle", [](TKestorFPrt& D) { D.SetTitle(7, u"СЧЁТ"); }},
        {"SetDepartName", [](TKestorFPrt& D) { D.SetDepartName(99, u"Отдел"); }},
        {"SetTax", [](TKestorFPrt& D) { D.SetTax(4, u"НСП", 500); }},
        {"SetSerialNumber", [](TKestorFPrt& D) { D.SetSerialNumber(u"0000001"); }},
        {"SynchronizeEcrDateTime", [](TKestorFPrt& D) { D.SynchronizeEcrDateTime(); }},
        {"FiscalRewrite",
         [](TKestorFPrt& D) { D.FiscalRewrite(u"00001", u"REG00001", u"INN000000001", u"1"); }},
        {"EnableGraphicHeader", [](TKestorFPrt& D) { D.EnableGraphicHeader(1, 1, u"5A"); }},
        {"DisableGraphicHeader", [](TKestorFPrt& D) { D.DisableGraphicHeader(); }},
        {"EKLZQueryStatus", [](TKestorFPrt& D) { D.EKLZQueryStatus(); }},
        {"EKLZActivate", [](TKestorFPrt& D) { D.EKLZActivate(); }},
        {"EKLZActivationReport", [](TKestorFPrt& D) { D.EKLZActivationReport(); }},
        {"EKLZDayReport", [](TKestorFPrt& D) { D.EKLZDayReport(1); }},
        {"EKLZReportByNum", [](TKestorFPrt& D) { D.EKLZReportByNum(true, 1, 1); }},
        {"EKLZReportByDate",
         [](TKestorFPrt& D) { D.EKLZReportByDate(false, 45000, std::floor(kest::Now())); }},
        {"EKLZDocByNum", [](TKestorFPrt& D) { D.EKLZDocByNum(1); }},
        {"EKLZControlByNum", [](TKestorFPrt& D) { D.EKLZControlByNum(1); }},
        {"EKLZCloseArchive", [](TKestorFPrt& D) { D.EKLZCloseArchive(); }},
    };
    return ops;
}

class Services : public testing::TestWithParam<TModelCase> {};

TEST_P(Services, EveryOperationIsRefusedByTheDriverOrAnsweredByTheRegister) {
    TConfig config;
    config.Model = GetParam().Model;
    config.Firmware = GetParam().Firmware;
    TEmulator emu(config);
    TLinkDriver drv(emu.DevicePath(), 300, 600);
    ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
    ASSERT_EQ(drv.Generation(), GetParam().Generation);

    int supported = 0;
    for (const auto& [name, call] : Operations()) {
        const size_t frames = emu.Received().size();
        try {
            call(drv);
            ++supported;
        } catch (const EKestUnsupported&) {
            EXPECT_EQ(emu.Received().size(), frames) << name << " refused after sending";
        } catch (const EKestEcrError& e) {
            EXPECT_TRUE(e.ErrCodeEx() == 21 && RegisterLacksSetting(name, drv.Generation()))
                << name << ": " << e.what();
        } catch (const EKestError& e) {
            ADD_FAILURE() << name << ": " << e.what();
        }
    }
    EXPECT_GE(supported, 10);

    // The driver holds no other view of the register than what it answers.
    if (drv.Generation() >= 3) {
        drv.SetHeader(u"Первая", u"Вторая", u"Третья", u"Четвёртая");
        EXPECT_EQ(drv.QueryHeaderLine(4), u"Четвёртая");
        drv.SetTax(2, u"НДС 20%", 2000);
        EXPECT_EQ(drv.QueryTax(2), 2000);
        EXPECT_EQ(drv.TaxName(), u"НДС 20%");
        drv.SetSerialNumber(u"7654321");
        EXPECT_EQ(drv.QuerySerialNumber(), u"7654321");
    }
    if (drv.Generation() >= 2) {
        drv.SetTitle(999, u"ЗАКАЗ");
        EXPECT_EQ(drv.QueryTitle(999), u"ЗАКАЗ");
    }
    if (drv.Generation() == 3 || drv.Generation() == 7) {
        drv.SetParameters(mprXOnXoff, 90);
        EXPECT_EQ(drv.Protocol(), mprXOnXoff);
        EXPECT_EQ(drv.QueryPrinterTimeout(), 90);
        drv.SetAutocut(false);
        EXPECT_FALSE(drv.QueryAutocut());
        drv.SetDepartName(0, u"Касса");
        EXPECT_EQ(drv.QueryDepartName(0), u"Касса");
    }
    if (drv.EKLZSupported()) {
        drv.EKLZQueryStatus();
        EXPECT_TRUE(drv.EKLZActivated());
    }
    drv.QueryLastDocInfo();
    EXPECT_NE(drv.LastDocNumber(), 0);
    EXPECT_EQ(drv.DocNumber(), drv.LastDocNumber());
    const TKestDateTime clock = drv.QueryEcrDateTime();
    EXPECT_LT(std::abs(clock - kest::Now()), 2.0 / 24 / 60);
}

TEST(ServicesLink, ExtendedStatusWhileTheRegisterWaitsForItsPrinter) {
    TConfig config;
    config.Model = mem207_1K;
    TEmulator emu(config);
    TLinkDriver drv(emu.DevicePath(), 300, 600);
    drv.Open();
    emu.SetExtendedStatus({0x04, 0x40, 0, 0, 0x04});
    emu.SetNotices(1);
    int devStatus = 0;
    drv.OnPrinterError = [&](TKestorFPrt& D) {
        D.QueryDevExStatus();
        devStatus = D.DevStatus();
    };
    EXPECT_THROW(drv.QueryFirmwareInfo(), EKestEcrError);  // cancelled after the question
    EXPECT_EQ(drv.ErrCodeEx(), 10);
    EXPECT_EQ(devStatus & (1 << 30 | 1 << 5 | 1), 1 << 30 | 1 << 5 | 1);
    EXPECT_NO_THROW(drv.QueryFirmwareInfo());
}

INSTANTIATE_TEST_SUITE_P(Models, Services, testing::ValuesIn(Models), [](const auto& Info) {
    std::string name = "Generation" + std::to_string(Info.param.Generation);
    if (Info.param.Model == mem207_1FMD) name += "Moldavian";
    return name;
});

}  // namespace
