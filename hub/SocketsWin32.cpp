#include "Sockets.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace kest::hub::net {

namespace {

int ErrnoFor(int Error) {
    switch (Error) {
        case WSAEWOULDBLOCK:
        case WSAEINPROGRESS:
            return EAGAIN;
        case WSAEINTR:
            return EINTR;
        case WSAEMFILE:
            return EMFILE;
        case WSAENOBUFS:
            return ENOBUFS;
        case WSAECONNABORTED:
            return ECONNABORTED;
        case WSAECONNRESET:
            return ECONNRESET;
        default:
            return EIO;
    }
}

// errno for the server's decisions; WSAGetLastError keeps the system's code.
void KeepError() {
    const int error = WSAGetLastError();
    errno = ErrnoFor(error);
    WSASetLastError(error);
}

int Size(std::size_t Bytes) {
    return static_cast<int>(std::min<std::size_t>(Bytes, INT_MAX));
}

bool NotBlocking(SOCKET Socket) {
    u_long on = 1;
    return ::ioctlsocket(Socket, FIONBIO, &on) == 0;
}

}  // namespace

std::system_error SocketError(const char* What) {
    return std::system_error(WSAGetLastError(), std::system_category(), What);
}

int Poll(pollfd* Fds, std::size_t Count, int TimeoutMs) {
    // WSAPoll refuses a list with no socket, and not every version skips an
    // invalid one: those are left out here.
    std::vector<WSAPOLLFD> valid;
    for (std::size_t i = 0; i < Count; ++i) {
        Fds[i].revents = 0;
        if (Fds[i].fd != INVALID_SOCKET) valid.push_back(Fds[i]);
    }
    if (valid.empty()) {
        ::Sleep(TimeoutMs < 0 ? INFINITE : static_cast<DWORD>(TimeoutMs));
        return 0;
    }
    const int ready = ::WSAPoll(valid.data(), static_cast<ULONG>(valid.size()), TimeoutMs);
    if (ready < 0) {
        KeepError();
        return ready;
    }
    for (std::size_t i = 0, v = 0; i < Count; ++i)
        if (Fds[i].fd != INVALID_SOCKET) Fds[i].revents = valid[v++].revents;
    return ready;
}

ssize_t Receive(socket_t Socket, char* Into, std::size_t Bytes) {
    const int n = ::recv(Socket, Into, Size(Bytes), 0);
    if (n == SOCKET_ERROR) KeepError();
    return n;
}

ssize_t Send(socket_t Socket, const char* Data, std::size_t Bytes) {
    // The sockets do not block (ListenWide, Accept).
    const int n = ::send(Socket, Data, Size(Bytes), 0);
    if (n == SOCKET_ERROR) KeepError();
    return n;
}

void ShutdownSend(socket_t Socket) {
    ::shutdown(Socket, SD_SEND);
}

void Close(socket_t Socket) {
    ::closesocket(Socket);
}

void ListenWide(socket_t Socket) {
    // Winsock keeps the backlog of the first listen (the library's); this
    // one makes sure the socket listens.
    if (::listen(Socket, SOMAXCONN) != 0) throw SocketError("listen");
    if (!NotBlocking(Socket)) throw SocketError("ioctlsocket");
}

socket_t Accept(socket_t Listen) {
    const SOCKET socket = ::accept(Listen, nullptr, nullptr);
    if (socket == INVALID_SOCKET) {
        KeepError();
        return socket;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    if (!NotBlocking(socket)) {
        KeepError();
        ::closesocket(socket);
        return INVALID_SOCKET;
    }
    return socket;
}

// Winsock polls sockets only: the wake-up is a UDP socket on the loopback
// that sends to itself, read empty by ClearWakeup.
socket_t OpenWakeup() {
    const SOCKET socket =
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) throw SocketError("wake-up socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    const auto name = reinterpret_cast<sockaddr*>(&address);
    if (::bind(socket, name, size) != 0 || ::getsockname(socket, name, &size) != 0 ||
        ::connect(socket, name, size) != 0 || !NotBlocking(socket)) {
        const std::system_error failure = SocketError("wake-up socket");
        ::closesocket(socket);
        throw failure;
    }
    return socket;
}

void SetWakeup(socket_t Wakeup) {
    const char one = 1;
    ::send(Wakeup, &one, 1, 0);
}

void ClearWakeup(socket_t Wakeup) {
    char block[64];
    while (::recv(Wakeup, block, sizeof block, 0) > 0) {}
}

}  // namespace kest::hub::net
