// The driver against the register emulator over a real pseudo-terminal: the
// two agree on identification, the password, the baud rate, the line's
// failures and the cross-thread abort.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

namespace {

using namespace std::chrono_literals;
using kest::emu::TConfig;
using kest::emu::TEmulator;
using kest::emu::TFault;

TEST(Link, IdentifiesEveryModel) {
    struct Case {
        TKestEcrModel Model;
        const char* Firmware;
        int Version, SubVersion, Generation;
        bool EKLZ;
        std::u16string_view Name;
    } cases[] = {
        {mem207_1F, "1.0 VLS B1.2", 0x0300, 0x0102, 3, false, u"КЕСТОР-207.1Ф"},
        {mem207_1F, "1.0 VLS", 0x0300, 0, 3, false, u"КЕСТОР-207.1Ф"},
        {mem207_1F, "1.05", 0x0100, 0, 1, false, u"КЕСТОР-207.1Ф"},
        {mem207_1F, "2.0", 0x0200, 0, 2, false, u"КЕСТОР-207.1Ф"},
        {mem207_1F, "6.0", 0x0600, 0, 6, false, u"КЕСТОР-207.1Ф"},
        {memStationF, "1.0", 0x0100, 0, 1, false, u"КЕСТОР-СТАНЦИЯ-Ф"},
        {memStationF, "2.0", 0x0200, 0, 6, false, u"КЕСТОР-СТАНЦИЯ-Ф"},
        {memPCK, "1.0 PCK", 0x0100, 0, 7, true, u"Кестор PC-K"},
        {mem207_1FMD, "1.0 MD B", 0x0100, 0, 3, false, u"KESTOR-207.1F"},
        {mem207_1FMD, "1.0 MD B2.10", 0x0100, 0x020A, 3, false, u"KESTOR-207.1F"},
        {mem207_1K, "1.0", 0x0100, 0, 8, true, u"КЕСТОР-207.1К"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Firmware);
        TEmulator emu(Register(c.Model, c.Firmware));
        TLinkDriver drv(emu.DevicePath());
        int statusEvents = 0;
        drv.OnStatusUpdate = [&](TKestorFPrt&) { ++statusEvents; };
        ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_TRUE(drv.Active());
        EXPECT_EQ(drv.ConnState(), mcsIdle);
        EXPECT_EQ(drv.EcrModel(), c.Model);
        EXPECT_EQ(drv.EcrVersion(), c.Version);
        EXPECT_EQ(drv.EcrSubVersion(), c.SubVersion);
        EXPECT_EQ(drv.Generation(), c.Generation);
        EXPECT_EQ(drv.EKLZSupported(), c.EKLZ);
        EXPECT_EQ(drv.ModelName(), c.Name);
        EXPECT_EQ(drv.FirmwareVersion(), kest::FromUtf8(c.Firmware));
        EXPECT_EQ(drv.SerialNumber(), u"0000001");
        EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        EXPECT_EQ(drv.Protocol(), mprBS);
        EXPECT_GE(statusEvents, 1);
        drv.Close();
        EXPECT_EQ(drv.EcrModel(), memUnknown);
        EXPECT_EQ(drv.Generation(), 0);
        EXPECT_EQ(drv.ModelName(), c.Name);  // the identity stays readable
        EXPECT_EQ(drv.DaysRemain(), -1);
    }
}

TEST(Link, RefusesUnknownRegisters) {
    TConfig renamed = Register(mem207_1F);
    renamed.ModelName = u"КАССА-1";
    for (const TConfig& config : {Register(memPCK, "2.0"), renamed}) {
        TEmulator emu(config);
        TLinkDriver drv(emu.DevicePath());
        EXPECT_THROW(drv.Open(), EKestUnknownDevice);
        EXPECT_EQ(drv.ErrCode(), 4);
        EXPECT_EQ(drv.ErrMessage(), u"ККМ не опознана");
        EXPECT_FALSE(drv.Active());
        EXPECT_FALSE(drv.Connected());
        EXPECT_EQ(drv.ConnState(), mcsNone);
        // The port was closed again: it opens at once for the next try.
        EXPECT_THROW(drv.Open(), EKestUnknownDevice);
    }
}

TEST(Link, PortThatDoesNotExist) {
    TLinkDriver drv("/dev/kestor-no-such-port");
    EXPECT_THROW(drv.Open(), std::system_error);
    EXPECT_EQ(drv.ErrCode(), 17);
    EXPECT_EQ(drv.ErrCodeEx(), ENOENT);
    EXPECT_EQ(drv.ErrMessage().rfind(u"Ошибка операционной системы:\r\n", 0), 0u);
    EXPECT_FALSE(drv.Active());
}

TEST(Link, TestConnectionPasswordAndBaudRate) {
    TEmulator emu(Register(mem207_1F));
    TLinkDriver drv(emu.DevicePath());
    EXPECT_NO_THROW(drv.TestConnection());  // not connected: opens, identifies, closes
    EXPECT_EQ(drv.EcrModel(), mem207_1F);
    EXPECT_FALSE(drv.Connected());
    EXPECT_EQ(drv.ConnState(), mcsNone);

    drv.Open();
    EXPECT_NO_THROW(drv.TestConnection());
    drv.SetPassword(u"1234");
    EXPECT_EQ(emu.Password(), "1234");
    EXPECT_NO_THROW(drv.TestConnection());

    drv.SetBaudRate(115200);
    EXPECT_EQ(emu.BaudRate(), 115200);
    EXPECT_NO_THROW(drv.QueryFirmwareInfo());  // the line follows the register
    drv.Close();

    // A wrong password is the register's refusal, which still proves a link.
    TLinkDriver stranger(emu.DevicePath());
    stranger.SetBaudRate(115200);  // disconnected: only stored
    EXPECT_THROW(stranger.Open(), EKestEcrError);
    EXPECT_EQ(stranger.ErrCodeEx(), 18);
    EXPECT_NO_THROW(stranger.TestConnection());
    EXPECT_EQ(stranger.ErrCode(), 0);
}

TEST(Link, MalformedAnswers) {
    TEmulator emu(Register(mem207_1F));
    TLinkDriver drv(emu.DevicePath());
    drv.Open();
    const struct {
        TFault Fault;
        int ErrCode, ErrCodeEx;
    } cases[] = {
        {TFault::NoAnswer, 3, 0},        {TFault::CutShort, 3, 0},   {TFault::BadBcc, 15, 7},
        {TFault::Garbage, 15, 6},        {TFault::EtxInData, 15, 5}, {TFault::WrongEcho, 15, 6},
        {TFault::WrongSeparator, 15, 5},
    };
    for (const auto& c : cases) {
        emu.InjectFault(c.Fault);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(drv.QueryFirmwareInfo(), EKestError);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_EQ(drv.ErrCode(), c.ErrCode) << static_cast<int>(c.Fault);
        EXPECT_EQ(drv.ErrCodeEx(), c.ErrCodeEx) << static_cast<int>(c.Fault);
        EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << "after " << static_cast<int>(c.Fault);
    }
}

TEST(Link, NoticesAndAcknowledgements) {
    TEmulator emu(Register(mem207_1F, "1.0"));  // generation 1: ACKs move to the external time-out
    TLinkDriver drv(emu.DevicePath());
    drv.Open();

    // Longer between ACKs than the internal time-out, well within the external one.
    emu.SetAcks(2, 200ms);
    EXPECT_NO_THROW(drv.QueryFirmwareInfo());
    emu.SetAcks(0);

    // ACKs without end are waited through for the external time-out (300 ms),
    // then the application is asked; keeping waiting buys another such time.
    int asked = 0;
    drv.OnNoResponse = [&](TKestorFPrt& d) { d.SetRetryOperation(++asked < 2); };
    emu.SetAcks(-1, 50ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(drv.QueryFirmwareInfo(), EKestNoResponse);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(asked, 2);
    EXPECT_GE(took, 600ms);
    EXPECT_LT(took, 1200ms);
    EXPECT_EQ(drv.ConnState(), mcsIdle);
    drv.OnNoResponse = nullptr;
    emu.SetAcks(0);
    EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());

    int notices = 0;
    drv.OnPrinterError = [&](TKestorFPrt& d) { d.SetRetryOperation(++notices < 2); };
    emu.SetNotices(3);
    EXPECT_THROW(drv.QueryFirmwareInfo(), EKestEcrError);  // retried once, then cancelled
    EXPECT_EQ(drv.ErrCodeEx(), 10);
    EXPECT_EQ(notices, 2);
}

TEST(Link, AbortAndHandlersThatClose) {
    TEmulator emu(Register(mem207_1F));
    TLinkDriver drv(emu.DevicePath());
    drv.Open();
    drv.SetInternalTimeout(10000);
    emu.InjectFault(TFault::NoAnswer);
    auto command = std::async(std::launch::async, [&] { drv.QueryFirmwareInfo(); });
    ASSERT_TRUE(emu.WaitForRequests(2, 2s));  // the "E" of Open and this one
    const auto start = std::chrono::steady_clock::now();
    drv.AbortRequest();
    ASSERT_EQ(command.wait_for(1s), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_THROW(command.get(), EKestRequestAborted);
    EXPECT_EQ(drv.ErrCode(), -1);
    drv.SetInternalTimeout(150);
    EXPECT_NO_THROW(drv.QueryFirmwareInfo());

    // A data handler that closes the connection ends the operation.
    drv.OnDataReceive = [&](TKestorFPrt& d, const void*, int) { d.Close(); };
    EXPECT_THROW(drv.QueryFirmwareInfo(), EKestConnClosed);
    EXPECT_EQ(drv.ErrCode(), 2);
    EXPECT_FALSE(drv.Active());
    EXPECT_EQ(drv.ConnState(), mcsNone);
}

}  // namespace
