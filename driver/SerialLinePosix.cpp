// The serial line on POSIX systems: termios for the settings, poll() on the
// port and the wake-up pipe for bounded reads and writes.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "SerialLine.h"

namespace kest {

namespace {

using TClock = std::chrono::steady_clock;
using TDeadline = std::optional<TClock::time_point>;
using std::chrono::milliseconds;

constexpr cc_t Xon = 0x11;
constexpr cc_t Xoff = 0x13;

[[noreturn]] void ThrowOs(int Error, const char* What) {
    throw std::system_error(Error, std::system_category(), What);
}

[[noreturn]] void ThrowErrno(const char* What) {
    ThrowOs(errno, What);
}

speed_t SpeedOf(int BaudRate) {
    switch (BaudRate) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            ThrowOs(EINVAL, "serial line baud rate");
    }
}

void SetSpeed(termios& Tio, int BaudRate) {
    const speed_t speed = SpeedOf(BaudRate);
    if (cfsetispeed(&Tio, speed) < 0 || cfsetospeed(&Tio, speed) < 0)
        ThrowErrno("serial line baud rate");
}

// Constant + Count x Multiplier from now; none when both are zero.
TDeadline DeadlineFor(int Constant, int Multiplier, int Count) {
    const int64_t ms = std::max(Constant, 0) + int64_t{Count} * std::max(Multiplier, 0);
    if (ms <= 0) return std::nullopt;
    return TClock::now() + milliseconds(ms);
}

// Milliseconds for poll(): rounded up so that it never spins just before the
// deadline; -1 without a deadline; nullopt when it has passed.
std::optional<int> PollTimeout(const TDeadline& Deadline) {
    if (!Deadline) return -1;
    const auto left = std::chrono::ceil<milliseconds>(*Deadline - TClock::now()).count();
    if (left <= 0) return std::nullopt;
    return static_cast<int>(std::min<int64_t>(left, 1 << 30));
}

enum class TReady { Ready, Woken, TimedOut };

// Waits until Fd is ready for Events, the wake-up is signalled or the deadline
// passes. A hung-up line is an error: waiting on it again would spin.
TReady WaitFor(int Fd, short Events, int WakeFd, const TDeadline& Deadline) {
    for (;;) {
        const auto timeout = PollTimeout(Deadline);
        if (!timeout) return TReady::TimedOut;
        pollfd fds[2] = {{Fd, Events, 0}, {WakeFd, POLLIN, 0}};
        if (poll(fds, 2, *timeout) < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("serial line poll");
        }
        if (fds[1].revents & POLLIN) return TReady::Woken;
        // Data still buffered before a hang-up is read first.
        if (fds[0].revents & Events) return TReady::Ready;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) ThrowOs(EIO, "serial line hang-up");
    }
}

// Closes the descriptor unless released: a constructor that fails half-way
// leaves nothing open.
struct TFdGuard {
    int Fd;
    ~TFdGuard() {
        if (Fd >= 0) ::close(Fd);
    }
    int Release() { return std::exchange(Fd, -1); }
};

void SetFdFlags(int Fd) {
    const int fl = fcntl(Fd, F_GETFL);
    const int fd = fcntl(Fd, F_GETFD);
    if (fl < 0 || fd < 0 || fcntl(Fd, F_SETFL, fl | O_NONBLOCK) < 0 ||
        fcntl(Fd, F_SETFD, fd | FD_CLOEXEC) < 0)
        ThrowErrno("wake-up pipe");
}

}  // namespace

// -- TWakeup

TWakeup::TWakeup() {
    int fds[2];
    if (pipe(fds) < 0) ThrowErrno("wake-up pipe");
    TFdGuard read{fds[0]}, write{fds[1]};
    SetFdFlags(fds[0]);
    SetFdFlags(fds[1]);
    FRead = read.Release();
    FWrite = write.Release();
}

TWakeup::~TWakeup() {
    ::close(FRead);
    ::close(FWrite);
}

void TWakeup::Signal() {
    const char byte = 1;
    if (::write(FWrite, &byte, 1) < 0) {
        // EAGAIN: the pipe is full, so it is readable anyway.
    }
}

void TWakeup::Clear() {
    char buf[64];
    while (::read(FRead, buf, sizeof buf) > 0) {}
}

// -- TSerialLine

std::string TSerialLine::DeviceForPort(int PortNum) {
    const std::string name = "KESTOR_COM" + std::to_string(PortNum);
    if (const char* device = std::getenv(name.c_str()); device && *device) return device;
    return "/dev/ttyS" + std::to_string(PortNum - 1);
}

TSerialLine::TSerialLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup)
    : FWakeup(Wakeup), FBaudRate(BaudRate) {
    TFdGuard fd{::open(Device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    if (fd.Fd < 0) ThrowErrno(Device.c_str());
    // Another process opening the line would corrupt the exchange. TIOCEXCL
    // does not stop root, so an advisory lock backs it: a second open, by
    // anyone, is refused as busy.
    if (ioctl(fd.Fd, TIOCEXCL) < 0) ThrowErrno("serial line exclusive access");
    if (flock(fd.Fd, LOCK_EX | LOCK_NB) < 0) {
        if (errno == EWOULDBLOCK) ThrowOs(EBUSY, Device.c_str());
        ThrowErrno("serial line lock");
    }

    termios tio{};
    if (tcgetattr(fd.Fd, &tio) < 0) ThrowErrno("serial line settings");
    // Raw 8N1. IXON: the register stops our output with XOFF while its buffer
    // is full; it never needs us to stop, and there is no hardware handshake.
    tio.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | INPCK | IXOFF | IXANY);
    tio.c_iflag |= IXON;
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    tio.c_cflag &= ~CRTSCTS;
#endif
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VSTART] = Xon;
    tio.c_cc[VSTOP] = Xoff;
    SetSpeed(tio, BaudRate);
    if (tcsetattr(fd.Fd, TCSANOW, &tio) < 0) ThrowErrno("serial line settings");

    // Pseudo-terminals have no modem lines.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd.Fd, TIOCMBIC, &lines) < 0 && errno != ENOTTY && errno != EINVAL)
        ThrowErrno("serial line DTR/RTS");

    FFd = fd.Release();
}

TSerialLine::~TSerialLine() {
    if (FFd >= 0) ::close(FFd);
}

void TSerialLine::Close() {
    if (FFd < 0) return;
    // The descriptor is gone whatever close() reports.
    if (::close(std::exchange(FFd, -1)) < 0) ThrowErrno("serial line close");
}

void TSerialLine::SetBaudRate(int BaudRate) {
    termios tio{};
    if (tcgetattr(FFd, &tio) < 0) ThrowErrno("serial line settings");
    SetSpeed(tio, BaudRate);
    if (tcsetattr(FFd, TCSANOW, &tio) < 0) ThrowErrno("serial line settings");
    FBaudRate = BaudRate;
}

void TSerialLine::SetTimeouts(const TKestCommTimeouts& Timeouts) {
    FTimeouts = Timeouts;
}

void TSerialLine::Purge() {
    if (tcflush(FFd, TCIOFLUSH) < 0) ThrowErrno("serial line purge");
}

int TSerialLine::Read(void* Buffer, int Size) {
    if (Size <= 0) return 0;
    auto* p = static_cast<char*>(Buffer);
    const TDeadline total = DeadlineFor(FTimeouts.ReadConstant, FTimeouts.ReadMultiplier, Size);
    TClock::time_point lastByte;
    int got = 0;
    while (got < Size) {
        TDeadline deadline = total;
        if (got > 0 && FTimeouts.ReadInterval > 0) {
            const auto gap = lastByte + milliseconds(FTimeouts.ReadInterval);
            if (!deadline || gap < *deadline) deadline = gap;
        }
        if (WaitFor(FFd, POLLIN, FWakeup.Handle(), deadline) != TReady::Ready) break;
        const ssize_t n = ::read(FFd, p + got, static_cast<size_t>(Size - got));
        if (n > 0) {
            got += static_cast<int>(n);
            lastByte = TClock::now();
        } else if (n == 0) {
            // Readable but nothing to read: the other end hung up.
            ThrowOs(EIO, "serial line read");
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            ThrowErrno("serial line read");
        }
    }
    return got;
}

int TSerialLine::Write(const void* Data, int Size) {
    if (Size <= 0) return 0;
    const auto* p = static_cast<const char*>(Data);
    const TDeadline deadline =
        DeadlineFor(FTimeouts.WriteConstant, FTimeouts.WriteMultiplier, Size);
    int put = 0;
    while (put < Size) {
        const ssize_t n = ::write(FFd, p + put, static_cast<size_t>(Size - put));
        if (n > 0) {
            put += static_cast<int>(n);
            FHeld = false;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            ThrowErrno("serial line write");
        const TReady ready = WaitFor(FFd, POLLOUT, FWakeup.Handle(), deadline);
        if (ready == TReady::Woken) break;
        if (ready == TReady::TimedOut) {
            // No call tells that the kernel stopped the output on XOFF; but with
            // no hardware handshake nothing else keeps the line from taking
            // bytes, so a line that took none before the deadline is held.
            FHeld = true;
            break;
        }
    }
    return put;
}

bool TSerialLine::OutputHeld() const {
    return FHeld;
}

bool TSerialLine::Drain() {
    const auto queued = [this] {
        int count = 0;
        if (ioctl(FFd, TIOCOUTQ, &count) < 0) {
            if (errno == ENOTTY || errno == EINVAL) return 0;  // nothing to wait for
            ThrowErrno("serial line output queue");
        }
        return count;
    };
    int count = queued();
    if (count <= 0) return true;

    // A byte is 10 bits on the line.
    const int64_t byteUs = 10'000'000 / std::max(FBaudRate, 1);
    TDeadline deadline = DeadlineFor(FTimeouts.WriteConstant, FTimeouts.WriteMultiplier, count);
    // No write time-out: ten times the time on the line, at least 1 s.
    if (!deadline)
        deadline = TClock::now() + std::max(milliseconds(1000),
                                            std::chrono::ceil<milliseconds>(
                                                std::chrono::microseconds(10 * count * byteUs)));
    // A tty gives no event when its output is out (tcdrain cannot be bounded),
    // so look again after about the time the queued bytes need.
    while (count > 0) {
        const auto step = std::chrono::ceil<milliseconds>(
            std::chrono::microseconds(byteUs * std::min(count, 64)));
        const auto left = PollTimeout(deadline);
        if (!left) return false;
        pollfd wake{FWakeup.Handle(), POLLIN, 0};
        const int r = poll(&wake, 1, std::min<int>(*left, static_cast<int>(step.count())));
        if (r < 0 && errno != EINTR) ThrowErrno("serial line poll");
        if (r > 0 && (wake.revents & POLLIN)) return false;
        count = queued();
    }
    return true;
}

}  // namespace kest
