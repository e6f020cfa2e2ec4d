// The driver on a raw TCP line through ser2net, the device server Debian
// ships, serving the emulator's pseudo-terminal on loopback.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using kest::emu::TConfig;
using kest::emu::TEmulator;

// A loopback port nobody listens on at the moment.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool Accepts(int Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(Port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// ser2net in the foreground, serving Device raw on a loopback port.
class TSer2net {
public:
    TSer2net(const std::string& Device, int Port) : FPort(Port) {
        FConfig = testing::TempDir() + "ser2net-" + std::to_string(Port) + ".yaml";
        std::ofstream(FConfig) << "connection: &kestor\n"
                               << "    accepter: tcp,127.0.0.1," << Port << "\n"
                               << "    connector: serialdev," << Device << ",9600n81,local\n";
        Start();
    }
    ~TSer2net() { Stop(); }

    void Start() {
        const char* argv[] = {"ser2net", "-n", "-c", FConfig.c_str(), nullptr};
        if (posix_spawnp(&FPid, "ser2net", nullptr, nullptr, const_cast<char**>(argv), environ) !=
            0)
            FPid = -1;
        for (int i = 0; i < 200 && FPid > 0 && !Accepts(FPort); ++i)
            std::this_thread::sleep_for(10ms);  // no event tells that it listens
    }
    void Stop() {
        if (FPid <= 0) return;
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }
    bool Running() const { return FPid > 0 && Accepts(FPort); }

private:
    int FPort;
    std::string FConfig;
    pid_t FPid = -1;
};

TEST(TcpLine, ThroughADeviceServerAndAcrossItsRestart) {
    TConfig config;
    config.Model = mem207_1K;
    TEmulator emu(config);
    const int port = FreePort();
    TSer2net server(emu.DevicePath(), port);
    ASSERT_TRUE(server.Running()) << "ser2net did not start (scripts/install-deps installs it)";

    TLinkDriver drv("tcp://127.0.0.1:" + std::to_string(port), 300);
    ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
    EXPECT_EQ(drv.EcrModel(), mem207_1K);
    EXPECT_NO_THROW(drv.QueryEcrDateTime());

    // The server keeps its own rate: the register is not told to change.
    const size_t frames = emu.Received().size();
    EXPECT_THROW(drv.SetBaudRate(19200), EKestUnsupported);
    EXPECT_EQ(emu.Received().size(), frames);
    EXPECT_EQ(drv.BaudRate(), 9600);

    // A dropped connection fails the call that meets it; the next request
    // connects again once the server is back.
    server.Stop();
    EXPECT_THROW(drv.QueryFirmwareInfo(), std::system_error);
    EXPECT_EQ(drv.ErrCode(), 17);
    EXPECT_TRUE(drv.ErrCodeEx() == ECONNRESET || drv.ErrCodeEx() == ECONNREFUSED)
        << drv.ErrCodeEx();
    server.Start();
    EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());
    EXPECT_TRUE(drv.Active());
}

TEST(TcpLine, AddressesThatLeadNowhere) {
    const struct {
        std::string Address;
        int Error;
    } cases[] = {
        {"tcp://127.0.0.1", EINVAL},
        {"tcp://:80", EINVAL},
        {"tcp://[::1]80", EINVAL},
        {"tcp://127.0.0.1:99999", EINVAL},  // not port 34463
        {"tcp://127.0.0.1:0", EINVAL},
        {"tcp://127.0.0.1:" + std::to_string(FreePort()), ECONNREFUSED},
    };
    for (const auto& c : cases) {
        TLinkDriver drv(c.Address);
        EXPECT_THROW(drv.Open(), std::system_error) << c.Address;
        EXPECT_EQ(drv.ErrCodeEx(), c.Error) << c.Address;
        EXPECT_FALSE(drv.Active());
    }
}

}  // namespace
