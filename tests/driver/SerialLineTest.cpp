// The POSIX serial line and the driver's port operations on a pseudo-terminal:
// the test holds the master side and plays the register.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <future>

#include "KestorFPrt.h"
#include "Pty.h"
#include "SerialLine.h"

namespace kest::test::serial {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;
using TStrings = std::vector<std::string>;

int64_t MsSince(TClock::time_point Start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start).count();
}

int OsError(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const std::system_error& e) {
        return e.code().value();
    }
    return 0;
}

TEST(SerialLine, DeviceAndLineSettings) {
    setenv("KESTOR_COM3", "", 1);
    EXPECT_EQ(kest::DeviceForPort(3), "/dev/ttyS2");
    setenv("KESTOR_COM3", "/dev/ttyUSB0", 1);
    EXPECT_EQ(kest::DeviceForPort(3), "/dev/ttyUSB0");
    unsetenv("KESTOR_COM3");
    EXPECT_EQ(kest::DeviceForPort(24), "/dev/ttyS23");

    TPty pty;
    kest::TWakeup wake;
    EXPECT_EQ(OsError([&] { kest::TSerialLine("/nonexistent/tty", 9600, wake); }), ENOENT);
    EXPECT_EQ(OsError([&] { kest::TSerialLine(pty.Slave, 38400, wake); }), EINVAL);
    kest::TSerialLine line(pty.Slave, 19200, wake);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Master, &tio), 0);  // reports the slave's settings
    EXPECT_EQ(cfgetispeed(&tio), B19200);
    EXPECT_EQ(cfgetospeed(&tio), B19200);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t{CS8 | CLOCAL | CREAD});
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), tcflag_t{IXON});
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VSTART] * 256 + tio.c_cc[VSTOP], 0x1113);
    line.SetBaudRate(115200);
    ASSERT_EQ(tcgetattr(pty.Master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B115200);

    // Exclusive while open; released on close, though the master keeps the
    // device alive (as the emulator does), and after a refused open too.
    const auto exclusive = [&] {
        const int fd = ::open(pty.Slave.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0) return errno == EBUSY ? 1 : -1;  // refused, but to root
        int flag = -1;
        ::ioctl(fd, TIOCGEXCL, &flag);
        ::close(fd);
        return flag;
    };
    EXPECT_EQ(exclusive(), 1);
    line.Close();
    EXPECT_EQ(exclusive(), 0);
    EXPECT_EQ(OsError([&] { kest::TSerialLine(pty.Slave, 38400, wake); }), EINVAL);
    EXPECT_EQ(exclusive(), 0);
    { kest::TSerialLine again(pty.Slave, 9600, wake); }
    EXPECT_EQ(exclusive(), 0);
}

TEST(SerialLine, ReadTimeoutsWakeupAndHangUp) {
    TPty pty;
    kest::TWakeup wake;
    kest::TSerialLine line(pty.Slave, 9600, wake);
    char buf[8];
    const auto timedRead = [&](int Size, int ExpectCount) {
        const auto start = TClock::now();
        EXPECT_EQ(line.Read(buf, Size), ExpectCount);
        return MsSince(start);
    };
    // The total time-out is the constant and a time per byte; the interval
    // ends a read at the silence after the last byte.
    line.SetTimeouts({.ReadMultiplier = 10, .ReadConstant = 30});
    const int64_t total = timedRead(1, 0);
    EXPECT_GE(total, 38);
    EXPECT_LT(total, 2500);
    line.SetTimeouts({.ReadInterval = 30, .ReadConstant = 5000});
    pty.Send("ab");
    EXPECT_LT(timedRead(5, 2), 2500);
    pty.Send("12345");
    EXPECT_LT(timedRead(5, 5), 2500);
    EXPECT_EQ(std::string(buf, 5), "12345");

    // The wake-up ends a blocked read; cleared, the line waits again.
    auto signal = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(20ms);  // let the read block first
        wake.Signal();
    });
    EXPECT_LT(timedRead(1, 0), 2500);
    signal.get();
    wake.Clear();
    line.SetTimeouts({.ReadConstant = 30});
    EXPECT_GE(timedRead(1, 0), 28);

    // A line whose other end is gone fails at once instead of spinning; the
    // next request opens the device again, for as long as it is away.
    line.SetTimeouts({.ReadConstant = 5000});
    close(std::exchange(pty.Master, -1));
    const auto start = TClock::now();
    EXPECT_EQ(OsError([&] { line.Read(buf, 1); }), EIO);
    EXPECT_LT(MsSince(start), 2500);
    EXPECT_EQ(OsError([&] { line.Purge(); }), ENOENT);
    EXPECT_EQ(OsError([&] { line.Purge(); }), ENOENT);
}

TEST(SerialLine, XoffQueuedOutputAndReadAhead) {
    TPty pty;
    kest::TWakeup wake;
    kest::TSerialLine line(pty.Slave, 9600, wake);
    line.SetTimeouts({.ReadConstant = 20, .WriteMultiplier = 10, .WriteConstant = 20});
    // XOFF holds output; flow control bytes are not data.
    pty.Send("\x13");
    ASSERT_TRUE(pty.WaitStopped());
    EXPECT_EQ(line.Write("abc", 3), 0);
    EXPECT_TRUE(line.OutputHeld());
    pty.Send("\x11");
    line.SetTimeouts({.ReadConstant = 20, .WriteConstant = 1000});
    EXPECT_EQ(line.Write("abc", 3), 3);
    EXPECT_FALSE(line.OutputHeld());
    EXPECT_TRUE(line.Drain());
    EXPECT_EQ(pty.Take(3), "abc");
    char buf[8];
    EXPECT_EQ(line.Read(buf, 1), 0);

    // Queued blocks wait for the next write and go out ahead of it.
    EXPECT_TRUE(line.Queue("\x02", 1));
    EXPECT_TRUE(line.Queue("E5862", 5));
    pollfd p{pty.Master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 20), 0);
    EXPECT_EQ(line.Write("\x03", 1), 1);
    EXPECT_EQ(pty.Take(7),
              "\x02"
              "E5862\x03");
    EXPECT_FALSE(line.Queue(std::string(5000, 'x').data(), 5000));  // more than a frame
    // Held by XOFF: the queued bytes stay queued, the write's own go again with
    // the retry, and each byte reaches the register once.
    pty.Send("\x13");
    ASSERT_TRUE(pty.WaitStopped());
    EXPECT_TRUE(line.Queue("ab", 2));
    EXPECT_EQ(line.Write("c", 1), 0);
    pty.Send("\x11");
    EXPECT_EQ(line.Write("c", 1), 1);
    EXPECT_EQ(pty.Take(4), "abc");

    // Reads of any size take what arrived in one burst, in order.
    pty.Send("abcdef");
    EXPECT_EQ(line.Read(buf, 1), 1);
    EXPECT_EQ(line.Read(buf + 1, 2), 2);
    EXPECT_EQ(line.Read(buf + 3, 5), 3);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    // Purge forgets both what was read ahead and what was queued.
    pty.Send("123456");
    EXPECT_EQ(line.Read(buf, 2), 2);
    EXPECT_TRUE(line.Queue("zz", 2));
    line.Purge();
    EXPECT_EQ(line.Read(buf, 4), 0);
    EXPECT_EQ(line.Write("c", 1), 1);
    EXPECT_EQ(pty.Take(3), "c");
}

class TPortDriver : public TKestorFPrt {
public:
    using TKestorFPrt::ClosePort, TKestorFPrt::CommTimeouts, TKestorFPrt::OpenPort,
        TKestorFPrt::ReceiveData, TKestorFPrt::SendData, TKestorFPrt::SetCommTimeouts,
        TKestorFPrt::FExternalTimeoutInForce, TKestorFPrt::FInternalTimeoutInForce;
};

// The driver on port 7, pointed at the pseudo-terminal; data events recorded.
class PortOps : public testing::Test {
protected:
    void SetUp() override {
        setenv("KESTOR_COM7", Pty.Slave.c_str(), 1);
        Drv.SetPortNum(7);
        Drv.OnDataSend = [this](TKestorFPrt&, const void* Data, int Size) {
            Events.push_back("S:" + std::string(static_cast<const char*>(Data), Size));
        };
        Drv.OnDataReceive = [this](TKestorFPrt&, const void* Data, int Size) {
            Events.push_back("R:" + std::string(static_cast<const char*>(Data), Size));
            if (OnReceive) OnReceive();
        };
    }
    void TearDown() override { unsetenv("KESTOR_COM7"); }

    TPty Pty;
    TPortDriver Drv;
    TStrings Events;
    std::function<void()> OnReceive;
};

TEST_F(PortOps, SettingsAreChecked) {
    const std::pair<std::function<void()>, int> refused[] = {
        {[&] { Drv.SetPortNum(0); }, 1},          {[&] { Drv.SetPortNum(25); }, 1},
        {[&] { Drv.SetBaudRate(38400); }, 2},     {[&] { Drv.SetInternalTimeout(-1); }, 4},
        {[&] { Drv.SetExternalTimeout(-1); }, 4},
    };
    for (const auto& [call, code] : refused) {
        EXPECT_THROW(call(), EKestInvalidArg) << code;
        EXPECT_EQ(Drv.ErrCodeEx(), code);
    }
    Drv.SetPortNum(24);
    Drv.SetBaudRate(57600);  // not connected: nothing to tell
    Drv.SetExternalTimeout(0);
    EXPECT_EQ(std::tuple(Drv.PortNum(), Drv.BaudRate(), Drv.ExternalTimeout()),
              std::tuple(24, 57600, 0));

    // A time-out in force replaces the read constant at once; the internal one
    // never shortens a wait that runs on the external one.
    Drv.SetCommTimeouts({100, 50, 100, 50, 100});
    Drv.FInternalTimeoutInForce = true;
    Drv.SetInternalTimeout(200);
    EXPECT_EQ(Drv.CommTimeouts(), (TKestCommTimeouts{100, 50, 200, 50, 100}));
    Drv.FExternalTimeoutInForce = true;
    Drv.SetInternalTimeout(300);
    Drv.SetExternalTimeout(400);
    EXPECT_EQ(Drv.CommTimeouts(), (TKestCommTimeouts{100, 50, 400, 50, 100}));
    Drv.FInternalTimeoutInForce = Drv.FExternalTimeoutInForce = false;

    setenv("KESTOR_COM24", "/nonexistent/tty", 1);
    EXPECT_THROW(Drv.OpenPort(), std::system_error);
    unsetenv("KESTOR_COM24");
    EXPECT_FALSE(Drv.Connected());
    Drv.SetPortNum(7);
    Drv.OpenPort();
    EXPECT_EQ(Drv.CommTimeouts(), (TKestCommTimeouts{0, 50, 0, 50, 0}));
    EXPECT_THROW(Drv.SetPortNum(3), EKestConnOpened);
    EXPECT_THROW(Drv.SetBaudRate(115200), EKestInvalidArg);  // not for this register
    EXPECT_EQ(Drv.ErrCodeEx(), 3);
    EXPECT_TRUE(Events.empty());
}

TEST_F(PortOps, ReceiveData) {
    Drv.OpenPort();
    Drv.SetCommTimeouts({.ReadConstant = 30});
    char buf[4];
    EXPECT_EQ(Drv.ReceiveData(buf, 4, false), 0);
    EXPECT_THROW(Drv.ReceiveData(buf, 4, true), EKestNoResponse);
    EXPECT_TRUE(Events.empty());
    EXPECT_EQ(Drv.ConnState(), mcsIdle);
    int asked = 0;
    Drv.OnNoResponse = [&](TKestorFPrt& Sender) {
        ++asked;
        Pty.Send("cd");
        Sender.SetRetryOperation(true);
    };
    Pty.Send("ab");
    EXPECT_EQ(Drv.ReceiveData(buf, 4, true), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(Events, (TStrings{"R:ab", "R:cd"}));
    // A handler that closes the port ends the operation.
    OnReceive = [&] { Drv.ClosePort(true); };
    Pty.Send("x");
    EXPECT_THROW(Drv.ReceiveData(buf, 1, true), EKestConnClosed);
    EXPECT_FALSE(Drv.Connected());
    EXPECT_THROW(Drv.SendData("x", 1), EKestConnClosed);
}

TEST_F(PortOps, SendDataHeldByXoff) {
    Drv.OpenPort();
    Drv.SetCommTimeouts({.WriteConstant = 20});
    // The register holds the line for several write rounds after the XOFF was
    // reported, then releases it (after 2 s at the latest).
    std::promise<void> xoffSeen;
    OnReceive = [&] {
        if (Events.size() == 1) xoffSeen.set_value();
    };
    auto release = std::async(std::launch::async, [&] {
        if (xoffSeen.get_future().wait_for(2s) == std::future_status::ready)
            std::this_thread::sleep_for(100ms);
        Pty.Send("\x11");
    });
    Pty.Send("\x13");
    ASSERT_TRUE(Pty.WaitStopped());
    Drv.SendData("abc", 3);
    release.get();
    EXPECT_EQ(Events, (TStrings{"R:\x13", "R:\x11", "S:abc"}));
    EXPECT_EQ(Pty.Take(3), "abc");

    // Held past the external time-out: no response. The watchdog releases a
    // driver that would wait on regardless.
    OnReceive = nullptr;
    Events.clear();
    Drv.SetExternalTimeout(60);
    Pty.Send("\x13");
    ASSERT_TRUE(Pty.WaitStopped());
    std::promise<void> done;
    auto watchdog = std::async(std::launch::async, [&] {
        if (done.get_future().wait_for(5s) == std::future_status::timeout) Pty.Send("\x11");
    });
    EXPECT_THROW(Drv.SendData("d", 1), EKestNoResponse);
    done.set_value();
    EXPECT_EQ(Events, (TStrings{"R:\x13"}));
    EXPECT_EQ(Drv.ConnState(), mcsIdle);
}

}  // namespace kest::test::serial
