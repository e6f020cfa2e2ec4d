// What the Windows lines share: system errors, owned handles, deadlines from
// the time-outs, and the two kinds of line OpenLine makes.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "SerialLine.h"

namespace kest::win32 {

[[noreturn]] inline void ThrowError(DWORD Code, const char* What) {
    throw std::system_error(static_cast<int>(Code), std::system_category(), What);
}

[[noreturn]] inline void ThrowLastError(const char* What) {
    ThrowError(GetLastError(), What);
}

// Closes the handle unless released: a constructor that fails half-way
// leaves nothing open.
struct THandleGuard {
    HANDLE Handle;
    ~THandleGuard() {
        if (Handle && Handle != INVALID_HANDLE_VALUE) CloseHandle(Handle);
    }
    HANDLE Release() { return std::exchange(Handle, nullptr); }
};

using TClock = std::chrono::steady_clock;
using TDeadline = std::optional<TClock::time_point>;

// Constant + Count x Multiplier from now; none when both are zero.
TDeadline DeadlineFor(int Constant, int Multiplier, int Count);

// Milliseconds to wait: rounded up so that a wait never ends just before the
// deadline; INFINITE without a deadline; nullopt when it has passed.
std::optional<DWORD> WaitTimeout(const TDeadline& Deadline);

std::unique_ptr<TLine> OpenSerialLine(const std::string& Device, int BaudRate,
                                      const TWakeup& Wakeup);
std::unique_ptr<TLine> OpenTcpLine(const std::string& Address, const TWakeup& Wakeup);

}  // namespace kest::win32
