// The driver against the emulator when things go wrong on the line: a lost
// answer to a password or rate change, two threads sharing one driver, a
// second program opening the same line.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

namespace {

using namespace std::chrono_literals;
using kest::emu::TConfig;
using kest::emu::TEmulator;
using kest::emu::TFault;

constexpr TFault AllFaults[] = {TFault::NoAnswer,      TFault::CutShort,  TFault::BadBcc,
                                TFault::Garbage,       TFault::EtxInData, TFault::WrongEcho,
                                TFault::WrongSeparator};

// One register of each line behaviour: BS generation 1, generation 3, generation 8.
class LostAnswer : public testing::TestWithParam<TConfig> {};

TEST_P(LostAnswer, DriverFollowsThePasswordAndRateTheRegisterTook) {
    TEmulator emu(GetParam());
    TLinkDriver drv(emu.DevicePath(), 100);
    ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
    const std::u16string passwords[] = {u"1234", u"5862"};
    const int rates[] = {19200, 9600};
    int turn = 0;
    for (const TFault fault : AllFaults) {
        SCOPED_TRACE(static_cast<int>(fault));
        emu.InjectFault(fault, 1);
        EXPECT_THROW(drv.SetPassword(passwords[turn % 2]), EKestError);
        EXPECT_TRUE(drv.ErrCode() == 3 || drv.ErrCode() == 15) << drv.ErrCode();
        EXPECT_EQ(kest::ToUtf8(drv.Password()), emu.Password());
        EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());

        emu.InjectFault(fault, 1);
        EXPECT_THROW(drv.SetBaudRate(rates[turn % 2]), EKestError);
        EXPECT_TRUE(drv.ErrCode() == 3 || drv.ErrCode() == 15) << drv.ErrCode();
        EXPECT_EQ(drv.BaudRate(), emu.BaudRate());
        EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());
        ++turn;
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, LostAnswer,
                         testing::Values(Register(mem207_1F, "1.0"), Register(mem207_1F),
                                         Register(mem207_1K)),
                         [](const auto& Info) {
                             return "Generation" + std::to_string(kest::emu::GenerationOf(
                                                       Info.param.Model, Info.param.Firmware));
                         });

TEST(LinkRecovery, RestOfABadAnswerIsNotTakenForTheNext) {
    // At 9600 baud an answer takes over 100 ms to arrive; the driver gives up
    // at its first bad byte while the rest is still on its way.
    TConfig config = Register(mem207_1F);
    config.Paced = true;
    TEmulator emu(config);
    TLinkDriver drv(emu.DevicePath(), 100);
    drv.Open();
    for (const TFault fault : {TFault::Garbage, TFault::EtxInData}) {
        SCOPED_TRACE(static_cast<int>(fault));
        emu.InjectFault(fault, 1);
        EXPECT_THROW(drv.QueryFirmwareInfo(), EKestBadResponse);
        for (int i = 0; i < 3; ++i)
            EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());
    }
}

TEST(LinkRecovery, CommandsFromTwoThreadsRunOneAtATime) {
    TEmulator emu(Register(mem207_1K));
    TLinkDriver drv(emu.DevicePath(), 100);
    drv.Open();
    auto worker = [&drv](int& Failures) {
        for (int i = 0; i < 20; ++i) {
            try {
                drv.QueryFirmwareInfo();
            } catch (const EKestError&) {
                ++Failures;
            }
        }
    };
    int failures[2] = {};
    std::thread a(worker, std::ref(failures[0])), b(worker, std::ref(failures[1]));
    a.join();
    b.join();
    EXPECT_EQ(failures[0] + failures[1], 0);
    EXPECT_EQ(drv.ErrCode(), 0);
    EXPECT_EQ(drv.SerialNumber(), u"0000001");
    EXPECT_EQ(emu.Received().size(), 41u);  // the "E" of Open and forty more
}

TEST(LinkRecovery, SecondOpenOfALineIsBusyEvenForRoot) {
    TEmulator emu(Register(mem207_1F));
    TLinkDriver first(emu.DevicePath(), 100), second(emu.DevicePath(), 100);
    first.Open();
    EXPECT_THROW(second.Open(), std::system_error);
    EXPECT_EQ(second.ErrCode(), 17);
    EXPECT_EQ(second.ErrCodeEx(), EBUSY);
    EXPECT_FALSE(second.Active());
    EXPECT_NO_THROW(first.QueryFirmwareInfo());
    first.Close();
    EXPECT_NO_THROW(second.Open());
}

}  // namespace
