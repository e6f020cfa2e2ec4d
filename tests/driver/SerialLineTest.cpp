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

TEST(SerialLine, DeviceSettingsAndExclusiveOpen) {
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
    EXPECT_EQ(cfgetospeed(&tio), B19200);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t{CS8 | CLOCAL | CREAD});
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), tcflag_t{IXON});
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

    // Exclusive while open (root is told by the flag), released on close.
    const auto exclusive = [&] {
        const int fd = ::open(pty.Slave.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0) return errno == EBUSY ? 1 : -1;
        int flag = -1;
        ::ioctl(fd, TIOCGEXCL, &flag);
        ::close(fd);
        return flag;
    };
    EXPECT_EQ(exclusive(), 1);
    line.Close();
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
    EXPECT_GE(timedRead(1, 0), 38);
    line.SetTimeouts({.ReadInterval = 30, .ReadConstant = 5000});
    pty.Send("ab");
    EXPECT_LT(timedRead(5, 2), 2500);

    // The wake-up ends a blocked read.
    auto signal = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(20ms);  // let the read block first
        wake.Signal();
    });
    EXPECT_LT(timedRead(1, 0), 2500);
    signal.get();
    wake.Clear();

    // A line whose other end is gone fails at once instead of spinning; the
    // next request opens the device again, for as long as it is away.
    close(std::exchange(pty.Master, -1));
    EXPECT_EQ(OsError([&] { line.Read(buf, 1); }), EIO);
    EXPECT_EQ(OsError([&] { line.Purge(); }), ENOENT);
}

TEST(SerialLine, XoffQueuedOutputAndReadAhead) {
    TPty pty;
    kest::TWakeup wake;
    kest::TSerialLine line(pty.Slave, 9600, wake);
    line.SetTimeouts({.ReadConstant = 20, .WriteMultiplier = 10, .WriteConstant = 20});
    // Queued blocks go out ahead of the next write.
    EXPECT_TRUE(line.Queue("\x02", 1));
    EXPECT_TRUE(line.Queue("E", 1));
    EXPECT_EQ(line.Write("\x03", 1), 1);
    EXPECT_EQ(pty.Take(3),
              "\x02"
              "E\x03");
    // XOFF holds output: the queued bytes stay queued, the write's own go
    // again with the retry, and each byte reaches the register once.
    pty.Send("\x13");
    ASSERT_TRUE(pty.WaitStopped());
    EXPECT_TRUE(line.Queue("ab", 2));
    EXPECT_EQ(line.Write("c", 1), 0);
    EXPECT_TRUE(line.OutputHeld());
    pty.Send("\x11");
    line.SetTimeouts({.ReadConstant = 20, .WriteConstant = 1000});
    EXPECT_EQ(line.Write("c", 1), 1);
    EXPECT_EQ(pty.Take(4), "abc");

    // Reads of any size take what arrived in one burst, in order.
    pty.Send("abcdef");
    char buf[8];
    EXPECT_EQ(line.Read(buf, 1), 1);
    EXPECT_EQ(line.Read(buf + 1, 5), 5);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
}

class TPortDriver : public TKestorFPrt {
public:
    using TKestorFPrt::ClosePort, TKestorFPrt::CommTimeouts, TKestorFPrt::OpenPort,
        TKestorFPrt::ReceiveData, TKestorFPrt::SendData, TKestorFPrt::SetCommTimeouts,
        TKestorFPrt::FExternalTimeoutInForce, TKestorFPrt::FInternalTimeoutInForce;
};

TEST(PortOps, SettingsAndReceiveData) {
    TPty pty;
    TPortDriver drv;
    setenv("KESTOR_COM7", pty.Slave.c_str(), 1);
    EXPECT_THROW(drv.SetPortNum(25), EKestInvalidArg);
    EXPECT_THROW(drv.SetBaudRate(38400), EKestInvalidArg);
    // A time-out in force replaces the read constant at once; the internal one
    // never shortens a wait that runs on the external one.
    drv.SetCommTimeouts({100, 50, 100, 50, 100});
    drv.FInternalTimeoutInForce = true;
    drv.SetInternalTimeout(200);
    EXPECT_EQ(drv.CommTimeouts(), (TKestCommTimeouts{100, 50, 200, 50, 100}));
    drv.FExternalTimeoutInForce = true;
    drv.SetInternalTimeout(300);
    drv.SetExternalTimeout(400);
    EXPECT_EQ(drv.CommTimeouts(), (TKestCommTimeouts{100, 50, 400, 50, 100}));
    drv.FInternalTimeoutInForce = drv.FExternalTimeoutInForce = false;

    drv.SetPortNum(7);
    drv.OpenPort();
    EXPECT_EQ(drv.CommTimeouts(), (TKestCommTimeouts{0, 50, 0, 50, 0}));
    EXPECT_THROW(drv.SetPortNum(3), EKestConnOpened);
    EXPECT_THROW(drv.SetBaudRate(115200), EKestInvalidArg);  // not for this register

    // Nothing in time: no response, unless the application waits on.
    std::vector<std::string> received;
    drv.OnDataReceive = [&](TKestorFPrt&, const void* Data, int Size) {
        received.emplace_back(static_cast<const char*>(Data), Size);
        if (received.back() == "x") drv.ClosePort(true);
    };
    drv.SetCommTimeouts({.ReadConstant = 30});
    char buf[4];
    EXPECT_EQ(drv.ReceiveData(buf, 4, false), 0);
    EXPECT_THROW(drv.ReceiveData(buf, 4, true), EKestNoResponse);
    EXPECT_EQ(drv.ConnState(), mcsIdle);
    int asked = 0;
    drv.OnNoResponse = [&](TKestorFPrt& D) {
        ++asked;
        pty.Send("cd");
        D.SetRetryOperation(true);
    };
    pty.Send("ab");
    EXPECT_EQ(drv.ReceiveData(buf, 4, true), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(received, (std::vector<std::string>{"ab", "cd"}));
    // A handler that closes the port ends the operation.
    pty.Send("x");
    EXPECT_THROW(drv.ReceiveData(buf, 1, true), EKestConnClosed);
    EXPECT_FALSE(drv.Connected());
    EXPECT_THROW(drv.SendData("x", 1), EKestConnClosed);
    unsetenv("KESTOR_COM7");
}

}  // namespace kest::test::serial
