// What the POSIX lines share: deadlines from the time-outs, waiting on a
// descriptor and the wake-up, and owned descriptors.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <system_error>
#include <utility>

namespace kest::posix {

using TClock = std::chrono::steady_clock;
using TDeadline = std::optional<TClock::time_point>;

[[noreturn]] inline void ThrowOs(int Error, const char* What) {
    throw std::system_error(Error, std::system_category(), What);
}

[[noreturn]] inline void ThrowErrno(const char* What) {
    ThrowOs(errno, What);
}

// Constant + Count x Multiplier from now; none when both are zero.
TDeadline DeadlineFor(int Constant, int Multiplier, int Count);

// Milliseconds for poll(): rounded up so that it never spins just before the
// deadline; -1 without a deadline; nullopt when it has passed.
std::optional<int> PollTimeout(const TDeadline& Deadline);

enum class TReady { Ready, Woken, TimedOut, HungUp };

// Waits until Fd is ready for Events, the wake-up is signalled, the deadline
// passes or the other end hangs up (data still buffered is read first).
TReady WaitFor(int Fd, short Events, int WakeFd, const TDeadline& Deadline);

// Closes the descriptor unless released: a constructor that fails half-way
// leaves nothing open.
struct TFdGuard {
    int Fd;
    ~TFdGuard() {
        if (Fd >= 0) ::close(Fd);
    }
    int Release() { return std::exchange(Fd, -1); }
};

}  // namespace kest::posix
