// The driver object: defaults, status-word decoding, events and the command
// bracket with its cross-thread abort.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "KestorFPrt.h"

namespace {

using namespace std::chrono_literals;

// Sets the register-derived state that identification would set, and exposes
// the bracket and the status decoders.
class TStatusProbe : public TKestorFPrt {
public:
    int StatusEvents = 0;
    int ConnEvents = 0;

    TStatusProbe() {
        OnStatusUpdate = [this](TKestorFPrt&) { ++StatusEvents; };
        OnConnStateUpdate = [this](TKestorFPrt&) { ++ConnEvents; };
    }
    void Identify(int Generation, TKestEcrModel Model = mem207_1F, int Version = 0x0100) {
        FGeneration = Generation;
        FEcrModel = Model;
        FEcrVersion = Version;
    }
    void Ecr(uint16_t Raw) {
        FRawEcrStatus = Raw;
        UpdateEcrStatus();
    }
    void Dev(uint8_t Raw) {
        FRawDevStatus = Raw;
        UpdateDevStatus();
    }
    void DevEx(uint8_t Raw, const uint8_t (&Extended)[5]) {
        FRawDevStatus = Raw;
        UpdateDevStatus(Extended);
    }
    void Cache(TKestOperType Oper) { FCachedOper = Oper; }
    void SetConnected(bool Value) { FConnected = Value; }
    void Conn(TKestConnState State) { ChangeConnState(State); }
    void Received(const char* Data) { DoDataReceive(Data, 1); }
    void Abortable() { CheckAbort(); }
    bool AbortPending() const { return FAbort; }
    template <class F>
    void Run(F&& f) {
        RunCmd(f);
    }
};

TEST(Driver, Defaults) {
    TStatusProbe drv;
    EXPECT_EQ(drv.Version(), u"1.2 (101)");
    EXPECT_EQ(drv.VersionNumber(), 0x0102);
    EXPECT_EQ(drv.BuildNumber(), 101);
    EXPECT_EQ(drv.Password(), u"5862");
    EXPECT_EQ(drv.PortNum(), 1);
    EXPECT_EQ(drv.BaudRate(), 9600);
    EXPECT_EQ(drv.InternalTimeout(), 1000);
    EXPECT_EQ(drv.ExternalTimeout(), 30000);
    EXPECT_EQ(drv.ConnState(), mcsNone);
    EXPECT_EQ(drv.EcrModel(), memUnknown);
    EXPECT_EQ(drv.Protocol(), mprUnknown);
    EXPECT_EQ(drv.GetDocStatus(), mdsUnknown);
    EXPECT_FALSE(drv.Active());
}

TEST(Driver, EcrStatusWord) {
    TStatusProbe g1;
    g1.Identify(1);
    g1.Ecr(0x0001);
    EXPECT_EQ(g1.EcrStatus(), 1);
    EXPECT_EQ(g1.EcrStatusMask(), 0x1D);
    EXPECT_EQ(g1.CheckEcrStatus(0), 1);
    EXPECT_EQ(g1.CheckEcrStatus(1), 0);  // not meaningful on generation 1
    EXPECT_EQ(g1.CheckEcrStatus(2), -1);
    EXPECT_EQ(g1.Protocol(), mprBS);
    g1.Ecr(0x0080);  // bit 7 selects XON/XOFF only after generation 1
    EXPECT_EQ(g1.Protocol(), mprBS);

    TStatusProbe g3;
    g3.Identify(3);
    g3.Ecr(0x0180);
    EXPECT_EQ(g3.Protocol(), mprXOnXoff);
    EXPECT_EQ(g3.GetDocStatus(), mdsOpened);
    EXPECT_EQ(g3.GetCurrentOper(), motSale);
    EXPECT_EQ(g3.EcrStatus(), 0);
    EXPECT_EQ(g3.EcrStatusMask(), 0xFF);

    // Every flag bit of a generation-3 word, and the document and operation fields.
    g3.Ecr(0x8006 | 0x0300 | 0x4800);
    EXPECT_EQ(g3.EcrStatus(), 0x62);  // raw bits 1, 2, 15 -> 6, 1, 5
    g3.Ecr(0x0079 | 0x4800);
    EXPECT_EQ(g3.EcrStatus(), 0x9D);  // raw bits 0, 3, 4, 5, 6 -> 0, 7, 2, 3, 4
    EXPECT_EQ(g3.GetDocStatus(), mdsClosed);
    EXPECT_EQ(g3.GetCurrentOper(), motRefundCashless);
    g3.Ecr(0x1300);
    EXPECT_EQ(g3.GetDocStatus(), mdsCompleted);
    EXPECT_EQ(g3.GetCurrentOper(), motUnknown);
    g3.Ecr(0x0000);

    // A cached document shows through the getters until the register opens one.
    g3.Cache(motBuying);
    EXPECT_EQ(g3.GetDocStatus(), mdsCached);
    EXPECT_EQ(g3.GetCurrentOper(), motBuying);
    g3.Ecr(0x0000);
    EXPECT_EQ(g3.GetDocStatus(), mdsCached);
    g3.Ecr(0x0100);
    EXPECT_EQ(g3.GetDocStatus(), mdsOpened);

    // Before identification nothing is decoded.
    TStatusProbe none;
    none.Ecr(0xFFFF);
    EXPECT_EQ(none.EcrStatus(), 0);
    EXPECT_EQ(none.Protocol(), mprUnknown);
    EXPECT_EQ(none.CheckEcrStatus(0), 0);
}

TEST(Driver, DeviceStatusByte) {
    TStatusProbe g1;
    g1.Identify(1);
    g1.Dev(0x00);
    EXPECT_EQ(g1.DevStatus(), 0x20);  // raw bit 3 clear sets bit 5
    EXPECT_EQ(g1.DevStatusMask(), 0x01D00020);
    g1.Dev(0xFF);  // bits 10, 11 and 19 mean nothing on generation 1
    EXPECT_EQ(g1.DevStatus(), 0x01D00000);

    TStatusProbe g2;
    g2.Identify(2);
    g2.Dev(0xF7);
    EXPECT_EQ(g2.DevStatus(), 0x01D80C20);

    TStatusProbe g3;
    g3.Identify(3);
    g3.Dev(0xF7);
    EXPECT_EQ(g3.DevStatus(), 0x01EC0021);
    EXPECT_EQ(g3.CheckDevStatus(0), 1);
    EXPECT_EQ(g3.CheckDevStatus(10), 0);
    EXPECT_EQ(g3.CheckDevStatus(32), 0);
    EXPECT_EQ(g3.CheckDevStatus(-1), 0);
}

TEST(Driver, ExtendedDeviceStatus) {
    TStatusProbe k;
    k.Identify(8, mem207_1K);
    k.Dev(0x08);
    EXPECT_EQ(k.DevStatusMask(), 0x41D80C20);
    const int before = k.StatusEvents;
    // b0 bit 2 -> 0; b1 bit 6 -> 5; b2 bit 3 -> 7; b3 bit 5 -> 12; b4 bit 2 set -> no 14, bit 6 ->
    // 17
    k.DevEx(0x08, {0x04, 0x40, 0x08, 0x20, 0x44});
    EXPECT_EQ(k.DevStatus(), (1 << 30) | (1 << 17) | (1 << 12) | (1 << 7) | (1 << 5) | 1);
    EXPECT_EQ(k.DevStatusMask(), 0x41D80C20 | 0x3FFFF);
    EXPECT_EQ(k.StatusEvents, before + 1);  // one notification for the whole update
    k.DevEx(0x08, {0, 0, 0, 0, 0});
    EXPECT_EQ(k.DevStatus(), (1 << 30) | (1 << 14));  // b4 bit 2 clear -> 14

    // A register without the extended query ignores the five bytes.
    TStatusProbe f;
    f.Identify(1);
    f.DevEx(0x08, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(f.DevStatus(), 0);
}

TEST(Driver, EventsFireOnChangeOnly) {
    TStatusProbe drv;
    drv.Identify(1);
    drv.Ecr(0x0001);
    drv.Dev(0x08);
    const int events = drv.StatusEvents;
    drv.Ecr(0x0001);
    drv.Dev(0x08);
    EXPECT_EQ(drv.StatusEvents, events);
    drv.Ecr(0x0000);
    EXPECT_EQ(drv.StatusEvents, events + 1);

    drv.Conn(mcsIdle);  // idle needs a connection
    EXPECT_EQ(drv.ConnState(), mcsNone);
    drv.SetConnected(true);
    drv.Conn(mcsIdle);
    drv.Conn(mcsIdle);
    EXPECT_EQ(drv.ConnEvents, 1);
    EXPECT_EQ(drv.ConnState(), mcsIdle);
}

TEST(Driver, HandlerThatClosesTheConnection) {
    TStatusProbe drv;
    drv.SetConnected(true);
    int calls = 0;
    drv.OnDataReceive = [&](TKestorFPrt&, const void*, int) { ++calls; };
    EXPECT_NO_THROW(drv.Received("x"));
    drv.OnDataReceive = [&](TKestorFPrt&, const void*, int) { drv.SetConnected(false); };
    EXPECT_THROW(drv.Received("x"), EKestConnClosed);
    EXPECT_EQ(calls, 1);
}

TEST(Driver, AbortRequest) {
    TStatusProbe drv;
    // Disconnected or idle: returns at once.
    drv.AbortRequest();
    drv.SetConnected(true);
    drv.AbortRequest();
    EXPECT_FALSE(drv.AbortPending());

    // A running command that sets a property from inside (a nested bracket)
    // while the abort waits must neither deadlock nor end early.
    std::promise<void> started;
    std::atomic<bool> abortReturned = false;
    auto command = std::async(std::launch::async, [&] {
        drv.Run([&] {
            started.set_value();
            while (!drv.AbortPending())
                std::this_thread::yield();
            drv.SetRetryOperation(true);        // nested bracket
            std::this_thread::sleep_for(20ms);  // room for a wrongly early return
            EXPECT_FALSE(abortReturned);
            drv.Abortable();
        });
    });
    started.get_future().wait();
    auto abort = std::async(std::launch::async, [&] {
        drv.AbortRequest();
        abortReturned = true;
    });
    ASSERT_EQ(command.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(command.get(), EKestRequestAborted);
    ASSERT_EQ(abort.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(drv.ErrCode(), -1);
    EXPECT_EQ(drv.ErrMessage(), u"Выполнение запроса было прервано");
    EXPECT_FALSE(drv.AbortPending());

    // From the command's own thread it only marks the command.
    EXPECT_THROW(drv.Run([&] {
        drv.AbortRequest();
        drv.Abortable();
    }),
                 EKestRequestAborted);
    EXPECT_NO_THROW(drv.Run([&] { drv.Abortable(); }));  // the next command runs
}

TEST(Driver, HourAndMinuteGetters) {
    class TClock : public TKestorFPrt {
    public:
        TClock() { FEcrDateTime = 46362.0 + (10 * 60 + 15) / 1440.0 + 59.6 / 86400.0; }
    } drv;
    EXPECT_EQ(drv.GetEcrHour(), 10);
    EXPECT_EQ(drv.GetEcrMin(), 15);
    EXPECT_EQ(drv.GetReportHour(), 0);
}

}  // namespace
