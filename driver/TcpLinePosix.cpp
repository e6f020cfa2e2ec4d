// A raw TCP line to a serial device server on POSIX systems.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include "LinePosix.h"
#include "SerialLine.h"

namespace kest {

using namespace posix;

namespace {

constexpr std::string_view Scheme = "tcp://";
// A device server that takes longer than this to accept is not there.
constexpr std::chrono::seconds ConnectTimeout{5};

// The error of a failed name lookup as a system error code.
int LookupError(int Code) {
    if (Code == EAI_SYSTEM) return errno;
    if (Code == EAI_MEMORY) return ENOMEM;
    if (Code == EAI_AGAIN) return EAGAIN;
    return ENXIO;  // no such host or service
}

}  // namespace

bool TTcpLine::IsAddress(const std::string& Device) {
    return Device.starts_with(Scheme);
}

TTcpLine::TTcpLine(const std::string& Address, const TWakeup& Wakeup) : TFdLine(Wakeup) {
    if (!SplitTcpAddress(Address, FHost, FPort)) ThrowOs(EINVAL, Address.c_str());
    Connect();
}

void TTcpLine::Connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(FHost.c_str(), FPort.c_str(), &hints, &found); rc != 0)
        ThrowOs(LookupError(rc), "tcp line address");
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);

    int error = ECONNREFUSED;
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        TFdGuard fd{
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol)};
        if (fd.Fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd.Fd, a->ai_addr, a->ai_addrlen) < 0) {
            if (errno != EINPROGRESS) {
                error = errno;
                continue;
            }
            const TReady ready = WaitFor(fd.Fd, POLLOUT, FWakeup.Handle(),
                                         TClock::now() + std::chrono::milliseconds(ConnectTimeout));
            socklen_t size = sizeof error;
            if (ready == TReady::TimedOut) error = ETIMEDOUT;
            if (ready == TReady::Woken) error = EINTR;
            if (ready != TReady::Ready && ready != TReady::HungUp) continue;
            if (getsockopt(fd.Fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) error = errno;
            if (error != 0) continue;
        }
        // Requests are a few small writes each: send them at once.
        const int on = 1;
        setsockopt(fd.Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(fd.Fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        FFd = fd.Release();
        FDropped = false;
        return;
    }
    ThrowOs(error, "tcp line connect");
}

long TTcpLine::WriteSome(const void* Data, unsigned long Size) {
    return ::send(FFd, Data, Size, MSG_NOSIGNAL);
}

void TTcpLine::HungUp(const char* What) {
    // The call that meets a dropped connection fails; the next request
    // connects again.
    FDropped = true;
    if (FFd >= 0) ::close(std::exchange(FFd, -1));
    ThrowOs(ECONNRESET, What);
}

void TTcpLine::Purge() {
    DropBuffered();
    if (FDropped || FFd < 0) {
        Connect();
        return;
    }
    // What arrived after the last answer belongs to no request.
    char buf[256];
    for (;;) {
        const ssize_t n = ::recv(FFd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno == ECONNRESET) {
            ::close(std::exchange(FFd, -1));
            Connect();
            return;
        }
        ThrowErrno("tcp line purge");
    }
}

}  // namespace kest
