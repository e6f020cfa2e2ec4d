// The driver's port settings and the default transport: the five port
// operations on the serial line.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <system_error>

#include "KestorFPrt.h"
#include "Messages.h"
#include "SerialLine.h"

namespace {

constexpr uint8_t Xon = 0x11;
constexpr uint8_t Xoff = 0x13;

// Sets the flag for the lifetime of the scope, so that AbortRequest signals
// the wake-up only while a read or write may be blocked.
class TIoScope {
public:
    explicit TIoScope(std::atomic<bool>& Flag) : FFlag(Flag) { FFlag = true; }
    ~TIoScope() { FFlag = false; }
    TIoScope(const TIoScope&) = delete;
    TIoScope& operator=(const TIoScope&) = delete;

private:
    std::atomic<bool>& FFlag;
};

}  // namespace

// -- Settings

void TKestorFPrt::SetPortNum(int Value) {
    RunCmd([&] {
        if (Value < 1 || Value > 24) throw kest::msg::InvalidArg(kest::msg::iaPortNum);
        if (FConnected) throw EKestConnOpened();
        FPortNum = Value;
    });
}

void TKestorFPrt::SetBaudRate(int Value) {
    RunCmd([&] {
        if (Value == FBaudRate) return;
        char code;
        switch (Value) {
            case 9600:
                code = '0';
                break;
            case 19200:
                code = '1';
                break;
            case 57600:
                code = '2';
                break;
            case 115200:
                code = '3';
                break;
            default:
                throw kest::msg::InvalidArg(kest::msg::iaBaudRate);
        }
        if (FConnected) {
            if (Value >= 57600 && FGeneration != 3 && FGeneration != 7)
                throw kest::msg::InvalidArg(kest::msg::iaBaudRateUnsupported);
            // A device server keeps its own rate: the register must not change.
            if (FLine && !FLine->CanSetBaudRate())
                throw EKestUnsupported(kest::msg::usNetworkBaudRate);
            const char data[2] = {code, 0};
            ChangeSetting([&] { TransferOut('C', mctInternal, data, sizeof data); },
                          [&] { ResyncBaudRate(FBaudRate, Value); });
            // The register answered at the old rate and now listens at the new one.
            SetLineRate(Value);
        }
        FBaudRate = Value;
    });
}

void TKestorFPrt::SetLineRate(int BaudRate) {
    if (FLine) FLine->SetBaudRate(BaudRate);
}

void TKestorFPrt::ResyncBaudRate(int Old, int New) {
    // The register may have switched and only its answer got lost: any
    // answer at the new rate settles it, else the old rate stays.
    try {
        SetLineRate(New);
        if (ProbeRegister() != TProbe::Silent) {
            FBaudRate = New;
            return;
        }
        SetLineRate(Old);
        ProbeRegister();
    } catch (...) {
        // The line refused the rate: it still runs at the old one.
    }
}

namespace {

// The time-outs with the read constant replaced; false when it is already Value.
bool WithReadConstant(TKestCommTimeouts& Timeouts, int Value) {
    if (Timeouts.ReadConstant == Value) return false;
    Timeouts.ReadConstant = Value;
    return true;
}

}  // namespace

void TKestorFPrt::SetInternalTimeout(int Value) {
    RunCmd([&] {
        if (Value < 0) throw kest::msg::InvalidArg(kest::msg::iaTimeout);
        // Once the exchange has switched to the external time-out both flags are
        // set; the internal value must not shorten that wait.
        if (FInternalTimeoutInForce && !FExternalTimeoutInForce) {
            TKestCommTimeouts t = FCommTimeouts;
            if (WithReadConstant(t, Value)) SetCommTimeouts(t);
        }
        FInternalTimeout = Value;
    });
}

void TKestorFPrt::SetExternalTimeout(int Value) {
    RunCmd([&] {
        if (Value < 0) throw kest::msg::InvalidArg(kest::msg::iaTimeout);
        if (FExternalTimeoutInForce) {
            TKestCommTimeouts t = FCommTimeouts;
            if (WithReadConstant(t, Value)) SetCommTimeouts(t);
        }
        FExternalTimeout = Value;
    });
}

void TKestorFPrt::SetCommTimeouts(const TKestCommTimeouts& Timeouts) {
    // Kept only once the port has taken them.
    if (FLine) FLine->SetTimeouts(Timeouts);
    FCommTimeouts = Timeouts;
}

// -- Transport

void TKestorFPrt::OpenPort() {
    std::unique_ptr<kest::TLine> line =
        kest::OpenLine(kest::DeviceForPort(FPortNum), FBaudRate, *FWakeup);
    const TKestCommTimeouts initial{.ReadInterval = 0,
                                    .ReadMultiplier = 50,
                                    .ReadConstant = 0,
                                    .WriteMultiplier = 50,
                                    .WriteConstant = 0};
    // A port that refuses them is closed again and the driver stays disconnected.
    line->SetTimeouts(initial);
    FCommTimeouts = initial;
    FLine = std::move(line);
    FConnected = true;
}

void TKestorFPrt::ClosePort(bool Silent) {
    if (!FConnected) return;
    // Marked closed before a failing close is raised: the descriptor is
    // released anyway, and a driver left connected to it would fail every
    // later call.
    std::unique_ptr<kest::TLine> line = std::move(FLine);
    FConnected = false;
    if (!line) return;
    try {
        line->Close();
    } catch (const std::system_error&) {
        if (!Silent) throw;
    }
}

void TKestorFPrt::ClearPort() {
    if (!FLine) throw EKestConnClosed();
    FLine->Purge();
}

void TKestorFPrt::AskNoResponse() {
    ChangeConnState(mcsNoResponse);
    FRetryOperation = false;
    DoNoResponse();
    if (!FRetryOperation) throw EKestNoResponse();
}

void TKestorFPrt::SendData(const void* Data, int Size) {
    using TClock = std::chrono::steady_clock;
    if (!FLine) throw EKestConnClosed();
    const auto* p = static_cast<const uint8_t*>(Data);
    ThenIdle([&] {
        bool xoffReported = false;
        bool queued = false;
        TClock::duration held{};
        while (Size > 0) {
            ChangeConnState(mcsWriting);
            const auto start = TClock::now();
            int n;
            bool outputHeld;
            {
                TIoScope io(FIoInProgress);
                CheckAbort();
                if (!FLine) throw EKestConnClosed();  // a state handler closed it
                // Within a request frame the blocks wait in the line, to go out
                // with the frame's last block in one write.
                queued = FFrameOpen && FLine->Queue(p, Size);
                n = queued ? Size : FLine->Write(p, Size);
                outputHeld = !queued && FLine->OutputHeld();
                CheckAbort();
            }
            if (n > 0) {
                // The output runs again: the register must have sent XON.
                if (xoffReported) {
                    xoffReported = false;
                    DoDataReceive(&Xon, 1);
                }
                DoDataSend(p, n);
                p += n;
                Size -= n;
            }
            if (Size == 0) break;
            if (outputHeld) {
                if (!xoffReported) {
                    xoffReported = true;
                    DoDataReceive(&Xoff, 1);
                }
                // A register that never sends XON must not hang the application.
                held += TClock::now() - start;
                if (held <= std::chrono::milliseconds(FExternalTimeout)) continue;
            }
            AskNoResponse();
            held = {};
        }
        if (queued) return;
        for (;;) {
            bool drained;
            {
                TIoScope io(FIoInProgress);
                CheckAbort();
                if (!FLine) throw EKestConnClosed();
                drained = FLine->Drain();
                CheckAbort();
            }
            if (drained) break;
            AskNoResponse();
            ChangeConnState(mcsWriting);
        }
    });
}

int TKestorFPrt::ReceiveData(void* Buffer, int Size, bool Wait) {
    if (!FLine) throw EKestConnClosed();
    auto* p = static_cast<uint8_t*>(Buffer);
    int total = 0;
    ThenIdle([&] {
        for (;;) {
            ChangeConnState(mcsReading);
            int n;
            {
                TIoScope io(FIoInProgress);
                CheckAbort();
                if (!FLine) throw EKestConnClosed();
                n = FLine->Read(p + total, Size - total);
                CheckAbort();
            }
            if (n > 0) {
                DoDataReceive(p + total, n);
                total += n;
            }
            if (!Wait || total >= Size) break;
            AskNoResponse();
        }
    });
    return total;
}
