// The pty and thread plumbing around TRegister.
#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "KestorEmu.h"
#include "Register.h"

namespace kest::emu {

using namespace std::chrono_literals;

namespace {

[[noreturn]] void ThrowSystem(const char* What, int Code = errno) {
    throw std::system_error(Code, std::system_category(), What);
}

struct TRateSpeed {
    int Rate;
    speed_t Speed;
};
constexpr TRateSpeed RateSpeeds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

speed_t SpeedOf(int Rate) {
    for (const TRateSpeed& r : RateSpeeds)
        if (r.Rate == Rate) return r.Speed;
    return B9600;
}

void LogLine(std::string_view Line) {
    const std::string text = "kestor-emu: " + std::string(Line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);  // one write: lines never interleave
}

}  // namespace

TFd& TFd::operator=(TFd&& Other) noexcept {
    if (this != &Other) {
        if (FFd >= 0) ::close(FFd);
        FFd = std::exchange(Other.FFd, -1);
    }
    return *this;
}

TFd::~TFd() {
    if (FFd >= 0) ::close(FFd);
}

TEmulator::TEmulator(TConfig Config) : FRegister(std::make_unique<TRegister>(Config)) {
    FConfig = FRegister->Config();
    FGeneration = FRegister->Generation();

    FMaster = TFd(::posix_openpt(O_RDWR | O_NOCTTY));
    if (FMaster.Get() < 0) ThrowSystem("posix_openpt");
    const int flags = ::fcntl(FMaster.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(FMaster.Get(), F_SETFL, flags | O_NONBLOCK) < 0 ||
        ::fcntl(FMaster.Get(), F_SETFD, FD_CLOEXEC) < 0)
        ThrowSystem("fcntl");
    if (::grantpt(FMaster.Get()) < 0) ThrowSystem("grantpt");
    if (::unlockpt(FMaster.Get()) < 0) ThrowSystem("unlockpt");
    char name[128];
    if (const int rc = ::ptsname_r(FMaster.Get(), name, sizeof name); rc != 0)
        ThrowSystem("ptsname", rc);
    FDevicePath = name;

    // Our own slave handle keeps the line up while the driver closes and
    // reopens its side, and sets it raw (no echo) before the driver comes.
    FSlave = TFd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (FSlave.Get() < 0) ThrowSystem("open pty slave");
    termios tio{};
    if (::tcgetattr(FSlave.Get(), &tio) < 0) ThrowSystem("tcgetattr");
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, SpeedOf(FConfig.BaudRate));
    ::cfsetospeed(&tio, SpeedOf(FConfig.BaudRate));
    if (::tcsetattr(FSlave.Get(), TCSANOW, &tio) < 0) ThrowSystem("tcsetattr");

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) < 0) ThrowSystem("pipe2");
    FWakeRead = TFd(pipeFds[0]);
    FWakeWrite = TFd(pipeFds[1]);

    if (FConfig.Verbose) FRegister->SetLog(LogLine);
    FRegister->SetWarn(LogLine);
    FThread = std::thread([this] { Serve(); });
}

TEmulator::~TEmulator() {
    Stop();
}

void TEmulator::Stop() {
    FStop = true;
    Wake();
    std::call_once(FJoinOnce, [this] {
        if (FThread.joinable()) FThread.join();
    });
}

void TEmulator::Wake() {
    const char byte = 'w';
    [[maybe_unused]] const ssize_t n =
        ::write(FWakeWrite.Get(), &byte, 1);  // full pipe: awake anyway
}

int TEmulator::LineRate() const {
    // On the master, tcgetattr reports the slave's settings, i.e. the driver's.
    termios tio{};
    if (::tcgetattr(FMaster.Get(), &tio) < 0) return 0;
    const speed_t speed = ::cfgetospeed(&tio);
    for (const TRateSpeed& r : RateSpeeds)
        if (r.Speed == speed) return r.Rate;
    return -1;  // a rate no register runs at
}

void TEmulator::Serve() {
    using TClock = TRegister::TClock;
#ifdef __linux__
    // A paced byte is due at its time, not up to the default 50 us later.
    if (FConfig.Paced) ::prctl(PR_SET_TIMERSLACK, 1000UL);
#endif
    while (!FStop) {
        TClock::time_point next;
        bool pending, writable;
        {
            std::lock_guard lock(FLock);
            const TClock::time_point now = TClock::now();
            FlushLocked(now);
            next = FRegister->NextDeadline();
            pending = !FOut.empty();
            // Paced bytes wait for their time, not for room on the line.
            writable = pending && !(FConfig.Paced && FPaceNext > now);
            if (pending && !writable) next = std::min(next, FPaceNext);
        }

        // POLLOUT wakes us; the bound is for a stuck line. To the microsecond:
        // a paced byte (87 us at 115200 baud) must not wait a whole millisecond.
        std::chrono::microseconds wait = pending ? 100ms : 60s;
        if (next != TClock::time_point::max())
            wait = std::clamp(std::chrono::ceil<std::chrono::microseconds>(next - TClock::now()),
                              0us, wait);
        const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000),
                               static_cast<long>(wait.count() % 1'000'000 * 1000)};
        const bool forever = !pending && next == TClock::time_point::max();
        pollfd fds[2] = {{FMaster.Get(), short(POLLIN | (writable ? POLLOUT : 0)), 0},
                         {FWakeRead.Get(), POLLIN, 0}};
        if (::ppoll(fds, 2, forever ? nullptr : &timeout, nullptr) < 0) {
            if (errno == EINTR) continue;
            LogLine(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(FWakeRead.Get(), drain, sizeof drain) > 0) {}
        }
        if (fds[0].revents & POLLIN) {
            char buf[512];
            const ssize_t n = ::read(FMaster.Get(), buf, sizeof buf);
            if (n > 0) {
                const int rate = LineRate();
                try {
                    std::lock_guard lock(FLock);
                    ReceiveLocked(std::string_view(buf, n), TClock::now(), rate);
                } catch (const std::exception& e) {
                    LogLine(std::string("internal error: ") + e.what());
                }
                FHandled.notify_all();
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // No slave open (cannot happen while we hold one): do not spin.
            pollfd wake{FWakeRead.Get(), POLLIN, 0};
            ::poll(&wake, 1, 20);
        }
    }
}

void TEmulator::ReceiveLocked(std::string_view Bytes, TRegister::TClock::time_point Now, int Rate) {
    if (!FConfig.Paced) {
        FRegister->Receive(Bytes, Now, Rate);
        return;
    }
    // The pty hands over at once what a real line brings a byte time apart:
    // each byte counts from when its last bit would have come in, after the
    // bytes still on their way.
    const auto byteTime =
        TRegister::TClock::duration(std::chrono::seconds(10)) / FRegister->BaudRate();
    FInPaceNext = std::max(FInPaceNext, Now);
    for (const char c : Bytes) {
        FInPaceNext += byteTime;
        FRegister->Receive(std::string_view(&c, 1), FInPaceNext, Rate);
    }
}

void TEmulator::FlushLocked(TRegister::TClock::time_point Now) {
    const bool wasIdle = FOut.empty();
    FOut += FRegister->Poll(Now);
    if (FRegister->TakeHangUp()) {
        // What was due goes out first, as far as the line takes it.
        if (!FOut.empty()) {
            [[maybe_unused]] const ssize_t n = ::write(FMaster.Get(), FOut.data(), FOut.size());
        }
        FOut.clear();
        HangUpLocked();
        return;
    }
    if (FOut.empty()) return;
    size_t due = FOut.size();
    TRegister::TClock::duration byteTime{};  // unpaced: no time at all
    if (FConfig.Paced) {
        // A byte is ten bits on the line (start, eight data, stop bits).
        byteTime = TRegister::TClock::duration(std::chrono::seconds(10)) / FRegister->BaudRate();
        // A byte reaches the host once its last bit is on the line, a byte
        // time after it starts. Bytes queued while the line was busy follow
        // on at the byte rate, so a late wake-up writes those whose time has
        // come.
        if (wasIdle) FPaceNext = std::max(FPaceNext, Now + byteTime);
        if (Now < FPaceNext) return;
        due = std::min<size_t>(due, 1 + static_cast<size_t>((Now - FPaceNext) / byteTime));
    }
    const ssize_t n = ::write(FMaster.Get(), FOut.data(), due);
    if (n > 0) {
        FOut.erase(0, n);
        FPaceNext += n * byteTime;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        FOut.clear();  // the line is gone; nobody hears the bytes
    }
}

void TEmulator::HangUpLocked() {
    // The host's handle reads the end of the line and cannot write; the
    // device itself stays, and opens again.
    if (::ioctl(FSlave.Get(), TIOCVHANGUP) < 0)
        LogLine(std::string("hang-up: ") + std::strerror(errno));
    FSlave = TFd(::open(FDevicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (FSlave.Get() < 0) LogLine(std::string("reopening the line: ") + std::strerror(errno));
}

bool TEmulator::CanHangUp() {
    // The effective capabilities, in hexadecimal, on the line "CapEff:".
    constexpr int CapSysAdmin = 21;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (!line.starts_with("CapEff:")) continue;
        const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (caps >> CapSysAdmin) & 1;
    }
    return false;
}

void TEmulator::InjectFault(TFault Fault, int Count) {
    // Without the right the line would not hang up, and the fault would pass
    // for a lost answer.
    if (Fault == TFault::HangUp && !CanHangUp())
        throw std::runtime_error("hang-up: hanging up the line needs CAP_SYS_ADMIN");
    std::lock_guard lock(FLock);
    FRegister->InjectFault(Fault, Count);
}

void TEmulator::ClearFaults() {
    std::lock_guard lock(FLock);
    FRegister->ClearFaults();
}

void TEmulator::SetAcks(int Count, std::chrono::milliseconds Interval) {
    std::lock_guard lock(FLock);
    FRegister->SetAcks(Count, Interval);
}

void TEmulator::SetNotices(int Count, uint8_t DeviceByte, std::string Commands) {
    std::lock_guard lock(FLock);
    FRegister->SetNotices(Count, DeviceByte, std::move(Commands));
}

void TEmulator::HoldXoff(std::chrono::milliseconds Time) {
    {
        // XOFF goes out before this returns, so the host's next write meets it.
        std::lock_guard lock(FLock);
        const auto now = TRegister::TClock::now();
        FRegister->HoldXoff(Time, now);
        FlushLocked(now);
        // The line discipline takes input bytes on a kernel worker; polling a
        // slave handle that has nothing to read makes it finish them, so the
        // slave's output is stopped before we return.
        pollfd slave{FSlave.Get(), POLLIN | POLLOUT, 0};
        ::poll(&slave, 1, 0);
    }
    Wake();  // for the XON timer
}

void TEmulator::SetExtendedStatus(const std::array<uint8_t, 5>& Bytes) {
    std::lock_guard lock(FLock);
    FRegister->SetExtendedStatus(Bytes);
}

std::string TEmulator::Password() const {
    std::lock_guard lock(FLock);
    return FRegister->Password();
}

int TEmulator::BaudRate() const {
    std::lock_guard lock(FLock);
    return FRegister->BaudRate();
}

std::vector<std::string> TEmulator::Received() const {
    std::lock_guard lock(FLock);
    const auto& received = FRegister->Received();
    return {received.begin(), received.end()};
}

size_t TEmulator::RequestCount() const {
    std::lock_guard lock(FLock);
    return FRegister->FrameCount();
}

size_t TEmulator::Registered() const {
    std::lock_guard lock(FLock);
    return FRegister->RegisteredCount();
}

bool TEmulator::WaitForRequests(size_t Count, std::chrono::milliseconds Timeout) const {
    std::unique_lock lock(FLock);
    return FHandled.wait_for(lock, Timeout, [&] { return FRegister->FrameCount() >= Count; });
}

bool TEmulator::WaitForXoff(std::chrono::milliseconds Timeout) const {
    const auto end = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
        bool sent;
        {
            std::lock_guard lock(FLock);
            sent = FRegister->XoffSent() && FOut.find(Xoff) == std::string::npos;
        }
        // The line discipline stops the host's output on a kernel worker, and
        // tells of it by no event: a stopped line is one that takes nothing.
        pollfd slave{FSlave.Get(), POLLOUT, 0};
        if (sent && ::poll(&slave, 1, 0) == 0) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace kest::emu
