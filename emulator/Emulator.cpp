// The pty and thread plumbing around TRegister.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

#include "KestorEmu.h"
#include "Register.h"

namespace kest::emu {

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

        int timeout = pending ? 100 : -1;  // POLLOUT wakes us; this bounds a stuck line
        if (next != TClock::time_point::max()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - TClock::now());
            timeout =
                static_cast<int>(std::clamp<int64_t>(wait.count(), 0, pending ? 100 : 60'000));
        }
        pollfd fds[2] = {{FMaster.Get(), short(POLLIN | (writable ? POLLOUT : 0)), 0},
                         {FWakeRead.Get(), POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0) {
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
                    FRegister->Receive(std::string_view(buf, n), TClock::now(), rate);
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

void TEmulator::FlushLocked(TRegister::TClock::time_point Now) {
    const bool wasIdle = FOut.empty();
    FOut += FRegister->Poll(Now);
    if (FOut.empty()) return;
    size_t due = FOut.size();
    TRegister::TClock::duration byteTime{};  // unpaced: no time at all
    if (FConfig.Paced) {
        // A byte is ten bits on the line (start, eight data, stop bits).
        byteTime = TRegister::TClock::duration(std::chrono::seconds(10)) / FRegister->BaudRate();
        // Bytes queued while the line was busy follow on at the byte rate, so
        // a late wake-up writes those whose time has come.
        if (wasIdle) FPaceNext = std::max(FPaceNext, Now);
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

void TEmulator::InjectFault(TFault Fault, int Count) {
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

void TEmulator::SetNotices(int Count, uint8_t DeviceByte) {
    std::lock_guard lock(FLock);
    FRegister->SetNotices(Count, DeviceByte);
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
