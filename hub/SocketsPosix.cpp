#include "Sockets.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kest::hub::net {

std::system_error SocketError(const char* What) {
    return std::system_error(errno, std::generic_category(), What);
}

int Poll(pollfd* Fds, std::size_t Count, int TimeoutMs) {
    return ::poll(Fds, Count, TimeoutMs);
}

ssize_t Receive(socket_t Socket, char* Into, std::size_t Size) {
    return ::recv(Socket, Into, Size, 0);
}

ssize_t Send(socket_t Socket, const char* Data, std::size_t Size) {
    return ::send(Socket, Data, Size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void ShutdownSend(socket_t Socket) {
    ::shutdown(Socket, SHUT_WR);
}

void Close(socket_t Socket) {
    ::close(Socket);
}

void ListenWide(socket_t Socket) {
    // The library listens with a backlog of 5: clients that connect at once
    // beyond it wait seconds for the kernel to retry their handshake.
    if (::listen(Socket, SOMAXCONN) < 0) throw SocketError("listen");
    if (::fcntl(Socket, F_SETFL, ::fcntl(Socket, F_GETFL) | O_NONBLOCK) < 0)
        throw SocketError("fcntl");
}

socket_t Accept(socket_t Listen) {
    return ::accept4(Listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

socket_t OpenWakeup() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) throw SocketError("eventfd");
    return fd;
}

void SetWakeup(socket_t Wakeup) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(Wakeup, &one, sizeof one);
}

void ClearWakeup(socket_t Wakeup) {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(Wakeup, &count, sizeof count);
}

}  // namespace kest::hub::net
