// The socket calls of the hub's server that differ between POSIX and
// Winsock (SocketsPosix.cpp, SocketsWin32.cpp). A call that fails leaves
// errno in POSIX terms, EAGAIN when it would block, so the server takes the
// same decisions on both; SocketError reports the system's own code.
#pragma once

#include <httplib.h>  // socket_t, INVALID_SOCKET and the system's socket headers

#ifndef _WIN32
#include <poll.h>
#endif

#include <cstddef>
#include <system_error>

namespace kest::hub::net {

// The last call's failure, as the system reported it.
std::system_error SocketError(const char* What);

// poll(); an entry whose socket is INVALID_SOCKET is left out, its revents 0.
int Poll(pollfd* Fds, std::size_t Count, int TimeoutMs);
ssize_t Receive(socket_t Socket, char* Into, std::size_t Size);
// Never waits, and never raises SIGPIPE.
ssize_t Send(socket_t Socket, const char* Data, std::size_t Size);
void ShutdownSend(socket_t Socket);
void Close(socket_t Socket);

// The bound socket listens with the system's largest backlog and does not
// block; std::system_error.
void ListenWide(socket_t Socket);
// A waiting connection, not blocking and not inherited by child processes;
// INVALID_SOCKET when there is none or accepting failed.
socket_t Accept(socket_t Listen);

// A handle that poll sees readable from SetWakeup until ClearWakeup, set from
// any thread; closed by Close. std::system_error.
socket_t OpenWakeup();
void SetWakeup(socket_t Wakeup);
void ClearWakeup(socket_t Wakeup);

}  // namespace kest::hub::net
