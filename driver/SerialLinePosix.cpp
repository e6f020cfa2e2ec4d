// The serial line on POSIX systems: termios for the settings; reads and
// writes are the descriptor line's.
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
#include <string>
#include <utility>

#include "LinePosix.h"
#include "SerialLine.h"

namespace kest {

using namespace posix;

namespace {

constexpr cc_t Xon = 0x11;
constexpr cc_t Xoff = 0x13;

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

// Exclusive use is a flag of the device, not of a handle: where another
// handle keeps the device open (the other side of a pseudo-terminal, held by
// an emulator or a device bridge) it would outlive our close and refuse every
// later open but root's. Cleared before the handle goes.
struct TExclusiveGuard {
    int Fd;
    ~TExclusiveGuard() {
        if (Fd >= 0) ::ioctl(Fd, TIOCNXCL);
    }
};

void CloseExclusive(int Fd) {
    ::ioctl(Fd, TIOCNXCL);
    ::close(Fd);
}

}  // namespace

TSerialLine::TSerialLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup)
    : TFdLine(Wakeup), FDevice(Device), FBaudRate(BaudRate) {
    Open();
}

void TSerialLine::Open() {
    const char* device = FDevice.c_str();
    TFdGuard fd{::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    if (fd.Fd < 0) ThrowErrno(device);
    // Another process opening the line would corrupt the exchange. TIOCEXCL
    // does not stop root, so an advisory lock backs it: a second open, by
    // anyone, is refused as busy.
    if (ioctl(fd.Fd, TIOCEXCL) < 0) ThrowErrno("serial line exclusive access");
    TExclusiveGuard exclusive{fd.Fd};
    if (flock(fd.Fd, LOCK_EX | LOCK_NB) < 0) {
        if (errno == EWOULDBLOCK) ThrowOs(EBUSY, device);
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
    SetSpeed(tio, FBaudRate);
    if (tcsetattr(fd.Fd, TCSANOW, &tio) < 0) ThrowErrno("serial line settings");

    // Pseudo-terminals have no modem lines.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd.Fd, TIOCMBIC, &lines) < 0 && errno != ENOTTY && errno != EINVAL)
        ThrowErrno("serial line DTR/RTS");

    exclusive.Fd = -1;
    FFd = fd.Release();
    FDropped = false;
}

TSerialLine::~TSerialLine() {
    if (FFd >= 0) ::ioctl(FFd, TIOCNXCL);
}

void TSerialLine::Close() {
    if (FFd >= 0) ::ioctl(FFd, TIOCNXCL);
    TFdLine::Close();
}

void TSerialLine::HungUp(const char* What) {
    // Closed at once: the lock goes with it, so the device opens again.
    FDropped = true;
    if (FFd >= 0) CloseExclusive(std::exchange(FFd, -1));
    ThrowOs(EIO, What);
}

void TSerialLine::SetBaudRate(int BaudRate) {
    if (FDropped) {
        SpeedOf(BaudRate);     // refused as it would be on an open line
        FBaudRate = BaudRate;  // taken when the device opens again
        return;
    }
    termios tio{};
    if (tcgetattr(FFd, &tio) < 0) ThrowErrno("serial line settings");
    SetSpeed(tio, BaudRate);
    if (tcsetattr(FFd, TCSANOW, &tio) < 0) ThrowErrno("serial line settings");
    FBaudRate = BaudRate;
}

void TSerialLine::Purge() {
    DropBuffered();
    if (!FDropped) {
        if (tcflush(FFd, TCIOFLUSH) == 0) return;
        if (errno != EIO) ThrowErrno("serial line purge");
        // Hung up since the last request.
        FDropped = true;
        CloseExclusive(std::exchange(FFd, -1));
    }
    Open();  // fails again, and is tried again, while the device is away
}

int TSerialLine::Write(const void* Data, int Size) {
    FHeld = false;
    return TFdLine::Write(Data, Size);
}

void TSerialLine::WriteTimedOut() {
    // No call tells that the kernel stopped the output on XOFF; but with no
    // hardware handshake nothing else keeps the line from taking bytes, so a
    // line that took none before the deadline is held.
    FHeld = true;
}

bool TSerialLine::Drain() {
    const auto queued = [this] {
        int count = 0;
        if (ioctl(FFd, TIOCOUTQ, &count) < 0) {
            if (errno == ENOTTY || errno == EINVAL) return 0;  // nothing to wait for
            if (errno == EIO) HungUp("serial line output queue");
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
        deadline = TClock::now() + std::max(std::chrono::milliseconds(1000),
                                            std::chrono::ceil<std::chrono::milliseconds>(
                                                std::chrono::microseconds(10 * count * byteUs)));
    // A tty gives no event when its output is out (tcdrain cannot be bounded),
    // so look again after about the time the queued bytes need.
    while (count > 0) {
        const auto step = std::chrono::ceil<std::chrono::milliseconds>(
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
