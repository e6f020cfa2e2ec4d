// A raw TCP line to a serial device server on Windows: Winsock, each wait on
// the socket's event beside the wake-up.
#include <ws2tcpip.h>

#include <memory>
#include <string>

#include "LineWin32.h"

namespace kest::win32 {

namespace {

// A device server that takes longer than this to accept is not there.
constexpr std::chrono::seconds ConnectTimeout{5};

[[noreturn]] void ThrowSocketError(const char* What) {
    ThrowError(static_cast<DWORD>(WSAGetLastError()), What);
}

// Winsock, started once for the process and left to its end.
void StartWinsock() {
    static const int error = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (error != 0) ThrowError(static_cast<DWORD>(error), "winsock");
}

// Closes the socket unless released.
struct TSocketGuard {
    SOCKET Socket;
    ~TSocketGuard() {
        if (Socket != INVALID_SOCKET) closesocket(Socket);
    }
    SOCKET Release() { return std::exchange(Socket, INVALID_SOCKET); }
};

enum class TReady { Ready, Woken, TimedOut };

class TWin32TcpLine final : public TLine {
public:
    // "tcp://HOST:PORT".
    TWin32TcpLine(const std::string& Address, const TWakeup& Wakeup);
    ~TWin32TcpLine() override;  // closes, ignoring errors

    void Close() override;
    bool CanSetBaudRate() const override { return false; }
    void SetBaudRate(int) override {}
    void Purge() override;
    int Write(const void* Data, int Size) override;
    int Read(void* Buffer, int Size) override;

private:
    void Connect();
    // Waits until the socket has news (data, room, connection, close), the
    // wake-up is signalled or the deadline passes.
    TReady Wait(SOCKET Socket, const TDeadline& Deadline, WSANETWORKEVENTS* Events = nullptr);
    // The other end has gone: the call fails, the next request connects again.
    [[noreturn]] void HungUp(const char* What);

    std::string FHost, FPort;
    SOCKET FSocket = INVALID_SOCKET;
    WSAEVENT FEvent = WSA_INVALID_EVENT;
    const TWakeup& FWakeup;
    bool FDropped = false;
};

TWin32TcpLine::TWin32TcpLine(const std::string& Address, const TWakeup& Wakeup) : FWakeup(Wakeup) {
    if (!SplitTcpAddress(Address, FHost, FPort)) ThrowError(WSAEINVAL, Address.c_str());
    StartWinsock();
    FEvent = WSACreateEvent();
    if (FEvent == WSA_INVALID_EVENT) ThrowSocketError("tcp line event");
    try {
        Connect();
    } catch (...) {
        WSACloseEvent(FEvent);
        throw;
    }
}

TWin32TcpLine::~TWin32TcpLine() {
    if (FSocket != INVALID_SOCKET) closesocket(FSocket);
    WSACloseEvent(FEvent);
}

void TWin32TcpLine::Close() {
    if (FSocket == INVALID_SOCKET) return;
    // The socket is gone whatever closesocket reports.
    if (closesocket(std::exchange(FSocket, INVALID_SOCKET)) != 0) ThrowSocketError("line close");
}

TReady TWin32TcpLine::Wait(SOCKET Socket, const TDeadline& Deadline, WSANETWORKEVENTS* Events) {
    const auto timeout = WaitTimeout(Deadline);
    if (!timeout) return TReady::TimedOut;
    // The wake-up first: it wins when both are set.
    const HANDLE events[2] = {FWakeup.Handle(), FEvent};
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, *timeout);
    if (woke == WAIT_OBJECT_0) return TReady::Woken;
    if (woke == WAIT_TIMEOUT) return TReady::TimedOut;
    if (woke != WAIT_OBJECT_0 + 1) ThrowLastError("tcp line wait");
    // Resets the event; what happened is left to the next send or recv.
    WSANETWORKEVENTS happened{};
    if (WSAEnumNetworkEvents(Socket, FEvent, Events ? Events : &happened) != 0)
        ThrowSocketError("tcp line wait");
    return TReady::Ready;
}

void TWin32TcpLine::Connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(FHost.c_str(), FPort.c_str(), &hints, &found); rc != 0)
        ThrowError(static_cast<DWORD>(rc), "tcp line address");
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);

    int error = WSAECONNREFUSED;
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        TSocketGuard socket{::socket(a->ai_family, a->ai_socktype, a->ai_protocol)};
        if (socket.Socket == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        // Non-blocking from here on, its news signalled on the event.
        WSAResetEvent(FEvent);
        if (WSAEventSelect(socket.Socket, FEvent, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) !=
            0) {
            error = WSAGetLastError();
            continue;
        }
        if (::connect(socket.Socket, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) {
                error = WSAGetLastError();
                continue;
            }
            const TDeadline deadline = TClock::now() + ConnectTimeout;
            WSANETWORKEVENTS events{};
            TReady ready;
            while ((ready = Wait(socket.Socket, deadline, &events)) == TReady::Ready &&
                   !(events.lNetworkEvents & FD_CONNECT)) {}
            if (ready == TReady::TimedOut) error = WSAETIMEDOUT;
            if (ready == TReady::Woken) error = WSAEINTR;
            if (ready != TReady::Ready) continue;
            error = events.iErrorCode[FD_CONNECT_BIT];
            if (error != 0) continue;
        }
        // Requests are a few small writes each: send them at once.
        const BOOL on = TRUE;
        setsockopt(socket.Socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on);
        setsockopt(socket.Socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                   sizeof on);
        FSocket = socket.Release();
        FDropped = false;
        return;
    }
    ThrowError(static_cast<DWORD>(error), "tcp line connect");
}

void TWin32TcpLine::HungUp(const char* What) {
    FDropped = true;
    if (FSocket != INVALID_SOCKET) closesocket(std::exchange(FSocket, INVALID_SOCKET));
    ThrowError(WSAECONNRESET, What);
}

int TWin32TcpLine::Read(void* Buffer, int Size) {
    if (Size <= 0) return 0;
    if (FSocket == INVALID_SOCKET) HungUp("line read");
    auto* p = static_cast<char*>(Buffer);
    const TDeadline total = DeadlineFor(FTimeouts.ReadConstant, FTimeouts.ReadMultiplier, Size);
    TClock::time_point lastByte;
    int got = 0;
    while (got < Size) {
        const int n = recv(FSocket, p + got, Size - got, 0);
        if (n > 0) {
            got += n;
            lastByte = TClock::now();
            continue;
        }
        if (n == 0) HungUp("line read");  // closed by the other end
        const int error = WSAGetLastError();
        if (error == WSAECONNRESET || error == WSAECONNABORTED) HungUp("line read");
        if (error != WSAEWOULDBLOCK) ThrowError(static_cast<DWORD>(error), "line read");
        TDeadline deadline = total;
        if (got > 0 && FTimeouts.ReadInterval > 0) {
            const auto gap = lastByte + std::chrono::milliseconds(FTimeouts.ReadInterval);
            if (!deadline || gap < *deadline) deadline = gap;
        }
        if (Wait(FSocket, deadline) != TReady::Ready) break;
    }
    return got;
}

int TWin32TcpLine::Write(const void* Data, int Size) {
    if (Size <= 0) return 0;
    if (FSocket == INVALID_SOCKET) HungUp("line write");
    const auto* p = static_cast<const char*>(Data);
    const TDeadline deadline =
        DeadlineFor(FTimeouts.WriteConstant, FTimeouts.WriteMultiplier, Size);
    int put = 0;
    while (put < Size) {
        const int n = send(FSocket, p + put, Size - put, 0);
        if (n > 0) {
            put += n;
            continue;
        }
        const int error = WSAGetLastError();
        if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN)
            HungUp("line write");
        if (error != WSAEWOULDBLOCK) ThrowError(static_cast<DWORD>(error), "line write");
        if (Wait(FSocket, deadline) != TReady::Ready) break;
    }
    return put;
}

void TWin32TcpLine::Purge() {
    if (FDropped || FSocket == INVALID_SOCKET) {
        Connect();
        return;
    }
    // What arrived after the last answer belongs to no request.
    char buf[256];
    for (;;) {
        const int n = recv(FSocket, buf, sizeof buf, 0);
        if (n > 0) continue;
        const int error = n == 0 ? WSAECONNRESET : WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return;
        if (error == WSAECONNRESET || error == WSAECONNABORTED) {
            closesocket(std::exchange(FSocket, INVALID_SOCKET));
            Connect();
            return;
        }
        ThrowError(static_cast<DWORD>(error), "tcp line purge");
    }
}

}  // namespace

std::unique_ptr<TLine> OpenTcpLine(const std::string& Address, const TWakeup& Wakeup) {
    return std::make_unique<TWin32TcpLine>(Address, Wakeup);
}

}  // namespace kest::win32
