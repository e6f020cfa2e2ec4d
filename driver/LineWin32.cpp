// The Windows lines' common part: the wake-up event, the device of a port,
// deadlines, and the choice of line.
#include "LineWin32.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace kest {

namespace win32 {

TDeadline DeadlineFor(int Constant, int Multiplier, int Count) {
    const int64_t ms = std::max(Constant, 0) + int64_t{Count} * std::max(Multiplier, 0);
    if (ms <= 0) return std::nullopt;
    return TClock::now() + std::chrono::milliseconds(ms);
}

std::optional<DWORD> WaitTimeout(const TDeadline& Deadline) {
    if (!Deadline) return INFINITE;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*Deadline - TClock::now()).count();
    if (left <= 0) return std::nullopt;
    return static_cast<DWORD>(std::min<int64_t>(left, 1 << 30));
}

}  // namespace win32

using namespace win32;

// -- TWakeup: a manual-reset event that a transfer waits on beside its own.

TWakeup::TWakeup() : FHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (!FHandle) ThrowLastError("wake-up event");
}

TWakeup::~TWakeup() {
    CloseHandle(FHandle);
}

void TWakeup::Signal() {
    SetEvent(FHandle);
}

void TWakeup::Clear() {
    ResetEvent(FHandle);
}

// -- Opening

std::string DeviceForPort(int PortNum) {
    const std::string name = "KESTOR_COM" + std::to_string(PortNum);
    if (const char* device = std::getenv(name.c_str()); device && *device) return device;
    // Only COM1 .. COM9 are reserved names; the others need the device path.
    const std::string com = "COM" + std::to_string(PortNum);
    return PortNum >= 1 && PortNum <= 9 ? com : "\\\\.\\" + com;
}

std::unique_ptr<TLine> OpenLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup) {
    if (Device.starts_with("tcp://")) return OpenTcpLine(Device, Wakeup);
    return OpenSerialLine(Device, BaudRate, Wakeup);
}

}  // namespace kest
