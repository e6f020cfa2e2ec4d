// The Windows lines under Wine: port names, ports that cannot be opened, the
// time-outs and the abort of a blocked read, and the TCP line against a
// listener in this process. COM2 must be a register that never answers
// (e2e.sh maps it to kestor-emu --fault no-answer).
#include <gtest/gtest.h>

#include <windows.h>
#include <winsock2.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "KestorFPrt.h"
#include "SerialLine.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr int SilentPort = 2;
constexpr int MissingPort = 24;  // beyond the ports that Wine makes (e2e.sh)

TEST(Win32Line, PortNames) {
    const std::pair<int, const char*> cases[] = {
        {1, "COM1"}, {9, "COM9"}, {10, "\\\\.\\COM10"}, {24, "\\\\.\\COM24"}};
    for (const auto& [port, device] : cases)
        EXPECT_EQ(kest::DeviceForPort(port), device) << port;
    // A null-modem pair or any other device still goes by the variable.
    _putenv_s("KESTOR_COM3", "\\\\.\\CNCA0");
    EXPECT_EQ(kest::DeviceForPort(3), "\\\\.\\CNCA0");
    _putenv_s("KESTOR_COM3", "");
    EXPECT_EQ(kest::DeviceForPort(3), "COM3");
}

// A loopback TCP listener on a port of its own; accepts one connection at a
// time.
class TListener {
public:
    TListener() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        FSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof addr;
        bind(FSocket, reinterpret_cast<sockaddr*>(&addr), size);
        getsockname(FSocket, reinterpret_cast<sockaddr*>(&addr), &size);
        listen(FSocket, 1);
        FPort = ntohs(addr.sin_port);
    }
    ~TListener() {
        Hangup();
        closesocket(FSocket);
    }
    std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(FPort); }
    void Accept() { FPeer = accept(FSocket, nullptr, nullptr); }
    void Hangup() {
        if (FPeer != INVALID_SOCKET) closesocket(std::exchange(FPeer, INVALID_SOCKET));
    }
    void Send(const std::string& Data) {
        send(FPeer, Data.data(), static_cast<int>(Data.size()), 0);
    }
    std::string Take(int Size) {
        std::string got(Size, '\0');
        int n = 0;
        for (int r; n < Size && (r = recv(FPeer, got.data() + n, Size - n, 0)) > 0;)
            n += r;
        got.resize(n);
        return got;
    }

private:
    SOCKET FSocket = INVALID_SOCKET, FPeer = INVALID_SOCKET;
    int FPort = 0;
};

// Ports that do not exist, device servers that are not there and addresses
// without a port: system errors, the system's own text between the head and
// the code.
TEST(Win32Line, UnopenableLinesAreSystemErrors) {
    std::string refused;
    {
        TListener gone;
        refused = gone.Address();
    }
    const struct {
        int Port;
        std::string Device;
        int Error;
    } cases[] = {
        {MissingPort, "", ERROR_FILE_NOT_FOUND},
        {3, refused, WSAECONNREFUSED},
        {3, "tcp://127.0.0.1", WSAEINVAL},
        {3, "tcp://[::1]80", WSAEINVAL},
    };
    for (const auto& c : cases) {
        _putenv_s("KESTOR_COM3", c.Device.c_str());
        TKestorFPrt drv;
        drv.SetPortNum(c.Port);
        EXPECT_THROW(drv.Open(), std::system_error);
        EXPECT_EQ(drv.ErrCode(), 17);
        EXPECT_EQ(drv.ErrCodeEx(), c.Error) << c.Device;
        const std::u16string head = u"Ошибка операционной системы:\r\n";
        const std::u16string tail = u" (" + kest::FromUtf8(std::to_string(c.Error)) + u")";
        const std::u16string message = drv.ErrMessage();
        ASSERT_GT(message.size(), head.size() + tail.size()) << kest::ToUtf8(message);
        EXPECT_TRUE(message.starts_with(head) && message.ends_with(tail)) << kest::ToUtf8(message);
        EXPECT_EQ(message.find_first_of(u"\r\n", head.size()), std::u16string::npos)
            << kest::ToUtf8(message);
        EXPECT_FALSE(drv.Active());
    }
    _putenv_s("KESTOR_COM3", "");
}

TEST(Win32Line, TcpLineTimesOutWakesAndConnectsAgain) {
    TListener server;
    kest::TWakeup wakeup;
    const std::unique_ptr<kest::TLine> line = kest::OpenLine(server.Address(), 9600, wakeup);
    server.Accept();
    EXPECT_FALSE(line->CanSetBaudRate());

    char buf[8] = {};
    line->SetTimeouts({.ReadInterval = 50, .ReadConstant = 5000, .WriteConstant = 1000});
    server.Send("abc");
    EXPECT_EQ(line->Read(buf, 8), 3);  // the interval ends it
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(line->Write("xyz", 3), 3);
    EXPECT_EQ(server.Take(3), "xyz");

    line->SetTimeouts({.ReadConstant = 200});
    auto start = TClock::now();
    EXPECT_EQ(line->Read(buf, 1), 0);
    EXPECT_GE(TClock::now() - start, 180ms);

    line->SetTimeouts({.ReadConstant = 20000});
    auto signal = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(100ms);
        wakeup.Signal();
    });
    start = TClock::now();
    EXPECT_EQ(line->Read(buf, 1), 0);
    EXPECT_LT(TClock::now() - start, 3s);
    signal.get();
    wakeup.Clear();

    // A dropped connection fails the read that meets it; the next request
    // (which purges first) connects again.
    server.Hangup();
    try {
        line->Read(buf, 1);
        ADD_FAILURE() << "no error after the hang-up";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), WSAECONNRESET);
    }
    line->Purge();
    server.Accept();
    EXPECT_EQ(line->Write("q", 1), 1);
    EXPECT_EQ(server.Take(1), "q");
}

class TSilentLine : public testing::Test {
protected:
    void SetUp() override {
        FLine = kest::OpenLine(kest::DeviceForPort(SilentPort), 9600, FWakeup);
    }

    // The time Read takes and what it returns.
    std::pair<TClock::duration, int> TimedRead(int Size) {
        char buf[64];
        const auto start = TClock::now();
        const int n = FLine->Read(buf, Size);
        return {TClock::now() - start, n};
    }

    kest::TWakeup FWakeup;
    std::unique_ptr<kest::TLine> FLine;
};

TEST_F(TSilentLine, ReadEndsAtTheTotalTimeout) {
    // Constant + bytes x multiplier: 100 + 4 x 50 ms.
    FLine->SetTimeouts({.ReadMultiplier = 50, .ReadConstant = 100});
    const auto [took, n] = TimedRead(4);
    EXPECT_EQ(n, 0);
    EXPECT_GE(took, 280ms);
    EXPECT_LT(took, 2s);
}

TEST_F(TSilentLine, WakeupEndsABlockedReadAtOnce) {
    FLine->SetTimeouts({.ReadConstant = 20000});
    auto signal = std::async(std::launch::async, [this] {
        std::this_thread::sleep_for(100ms);
        FWakeup.Signal();
    });
    const auto [took, n] = TimedRead(8);
    EXPECT_EQ(n, 0);
    EXPECT_LT(took, 3s);
    signal.get();

    // Cleared, the line waits again for its time-out.
    FWakeup.Clear();
    FLine->SetTimeouts({.ReadConstant = 200});
    const auto [again, m] = TimedRead(8);
    EXPECT_EQ(m, 0);
    EXPECT_GE(again, 180ms);
}

// AbortRequest from another thread ends a command that waits for an answer
// long before its time-out, and the driver records the abort.
TEST(Win32Driver, AbortRequestEndsAWaitingCommand) {
    class TPortDriver : public TKestorFPrt {
    public:
        void Attach() {
            OpenPort();
            FGeneration = 3;
            FEcrModel = mem207_1F;
            ChangeConnState(mcsIdle);
        }
    };
    TPortDriver drv;
    drv.SetPortNum(SilentPort);
    drv.Attach();
    drv.SetInternalTimeout(20000);
    drv.SetExternalTimeout(20000);
    std::promise<void> reading;
    drv.OnConnStateUpdate = [&, once = false](TKestorFPrt& d) mutable {
        if (d.ConnState() == mcsReading && !once) {
            once = true;
            reading.set_value();
        }
    };
    auto abort = std::async(std::launch::async, [&] {
        reading.get_future().wait();
        std::this_thread::sleep_for(100ms);
        drv.AbortRequest();
    });
    const auto start = TClock::now();
    EXPECT_THROW(drv.TestConnection(), EKestRequestAborted);
    EXPECT_LT(TClock::now() - start, 5s);
    abort.get();
    EXPECT_EQ(drv.ErrCode(), EKestRequestAborted().ErrCode());
    // The next command waits its time-out again.
    drv.SetInternalTimeout(200);
    drv.OnConnStateUpdate = nullptr;
    EXPECT_THROW(drv.TestConnection(), EKestNoResponse);
}

}  // namespace
