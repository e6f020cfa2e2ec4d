// The POSIX lines' common part: the wake-up pipe, the device of a port, and
// bounded reads and writes on a descriptor.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "LinePosix.h"
#include "SerialLine.h"

namespace kest {

namespace posix {

TDeadline DeadlineFor(int Constant, int Multiplier, int Count) {
    const int64_t ms = std::max(Constant, 0) + int64_t{Count} * std::max(Multiplier, 0);
    if (ms <= 0) return std::nullopt;
    return TClock::now() + std::chrono::milliseconds(ms);
}

std::optional<int> PollTimeout(const TDeadline& Deadline) {
    if (!Deadline) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*Deadline - TClock::now()).count();
    if (left <= 0) return std::nullopt;
    return static_cast<int>(std::min<int64_t>(left, 1 << 30));
}

TReady WaitFor(int Fd, short Events, int WakeFd, const TDeadline& Deadline) {
    for (;;) {
        const auto timeout = PollTimeout(Deadline);
        if (!timeout) return TReady::TimedOut;
        pollfd fds[2] = {{Fd, Events, 0}, {WakeFd, POLLIN, 0}};
        if (poll(fds, 2, *timeout) < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("line poll");
        }
        if (fds[1].revents & POLLIN) return TReady::Woken;
        if (fds[0].revents & Events) return TReady::Ready;
        // Waiting on a hung-up line again would spin.
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return TReady::HungUp;
    }
}

}  // namespace posix

using namespace posix;

namespace {

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
    FHandle = read.Release();
    FWrite = write.Release();
}

TWakeup::~TWakeup() {
    ::close(FHandle);
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
    while (::read(FHandle, buf, sizeof buf) > 0) {}
}

// -- Opening

std::string DeviceForPort(int PortNum) {
    const std::string name = "KESTOR_COM" + std::to_string(PortNum);
    if (const char* device = std::getenv(name.c_str()); device && *device) return device;
    return "/dev/ttyS" + std::to_string(PortNum - 1);
}

std::unique_ptr<TLine> OpenLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup) {
    if (TTcpLine::IsAddress(Device)) return std::make_unique<TTcpLine>(Device, Wakeup);
    return std::make_unique<TSerialLine>(Device, BaudRate, Wakeup);
}

// -- TFdLine

TFdLine::~TFdLine() {
    if (FFd >= 0) ::close(FFd);
}

void TFdLine::Close() {
    DropBuffered();
    if (FFd < 0) return;
    // The descriptor is gone whatever close() reports.
    if (::close(std::exchange(FFd, -1)) < 0) ThrowErrno("line close");
}

long TFdLine::WriteSome(const void* Data, unsigned long Size) {
    return ::write(FFd, Data, Size);
}

void TFdLine::HungUp(const char* What) {
    ThrowOs(EIO, What);
}

void TFdLine::DropBuffered() {
    FQueued.clear();
    FAheadPos = FAheadEnd = 0;
}

bool TFdLine::Queue(const void* Data, int Size) {
    if (Size < 0 || FQueued.size() + static_cast<size_t>(Size) > MaxQueued) return false;
    FQueued.append(static_cast<const char*>(Data), static_cast<size_t>(Size));
    return true;
}

int TFdLine::TakeAhead(char* Buffer, int Size) {
    const int n = std::min(Size, FAheadEnd - FAheadPos);
    std::copy_n(FAhead.data() + FAheadPos, n, Buffer);
    FAheadPos += n;
    return n;
}

int TFdLine::Read(void* Buffer, int Size) {
    if (Size <= 0) return 0;
    if (FFd < 0) HungUp("line read");
    auto* p = static_cast<char*>(Buffer);
    int got = TakeAhead(p, Size);
    if (got == Size) return got;
    const TDeadline total = DeadlineFor(FTimeouts.ReadConstant, FTimeouts.ReadMultiplier, Size);
    TClock::time_point lastByte = TClock::now();
    while (got < Size) {
        TDeadline deadline = total;
        if (got > 0 && FTimeouts.ReadInterval > 0) {
            const auto gap = lastByte + std::chrono::milliseconds(FTimeouts.ReadInterval);
            if (!deadline || gap < *deadline) deadline = gap;
        }
        const TReady ready = WaitFor(FFd, POLLIN, FWakeup.Handle(), deadline);
        if (ready == TReady::HungUp) HungUp("line hang-up");
        if (ready != TReady::Ready) break;
        const ssize_t n = ::read(FFd, FAhead.data(), FAhead.size());
        if (n > 0) {
            FAheadPos = 0;
            FAheadEnd = static_cast<int>(n);
            got += TakeAhead(p + got, Size - got);
            lastByte = TClock::now();
        } else if (n == 0) {
            // Readable but nothing to read: the other end hung up.
            HungUp("line read");
        } else if (errno == ECONNRESET || errno == EIO) {
            // A connection reset, or a serial device that is gone.
            HungUp("line read");
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            ThrowErrno("line read");
        }
    }
    return got;
}

int TFdLine::Write(const void* Data, int Size) {
    if (Size <= 0) return 0;
    if (FFd < 0) HungUp("line write");
    // The queued blocks go first, in the same write.
    const int queued = static_cast<int>(FQueued.size());
    const char* p = static_cast<const char*>(Data);
    int count = Size;
    if (queued > 0) {
        FQueued.append(p, static_cast<size_t>(Size));
        p = FQueued.data();
        count = queued + Size;
    }
    // The time-out is this block's, as if the queued blocks were out already;
    // they earn their time as the line takes them. So a line held from the
    // start of a frame is found held as soon as with a write a block.
    TDeadline deadline = DeadlineFor(FTimeouts.WriteConstant, FTimeouts.WriteMultiplier, Size);
    int put = 0;
    while (put < count) {
        const long n = WriteSome(p + put, static_cast<unsigned long>(count - put));
        if (n > 0) {
            const long fromQueue = std::clamp<long>(queued - put, 0, n);
            if (deadline)
                *deadline += std::chrono::milliseconds(FTimeouts.WriteMultiplier) * fromQueue;
            put += static_cast<int>(n);
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == EIO)) HungUp("line write");
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            ThrowErrno("line write");
        const TReady ready = WaitFor(FFd, POLLOUT, FWakeup.Handle(), deadline);
        if (ready == TReady::HungUp) HungUp("line hang-up");
        if (ready == TReady::Woken) break;
        if (ready == TReady::TimedOut) {
            WriteTimedOut();
            break;
        }
    }
    if (queued == 0) return put;
    // Queued bytes not yet out stay queued; this call's own go again with
    // the caller's retry.
    if (put >= queued) {
        FQueued.clear();
        return put - queued;
    }
    FQueued.erase(0, static_cast<size_t>(put));
    FQueued.resize(static_cast<size_t>(queued - put));
    return 0;
}

}  // namespace kest
