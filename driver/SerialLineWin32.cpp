// The serial line on Windows: the communications API. The port is opened for
// overlapped I/O so that the wake-up event can end a blocked read or write at
// once; every transfer still runs to its end (or its time-out) before the
// call returns, as a blocking one would.
#include "LineWin32.h"

namespace kest::win32 {

namespace {

constexpr char Xon = 0x11;
constexpr char Xoff = 0x13;

class TWin32SerialLine final : public TLine {
public:
    // Opens Device for reading and writing, exclusively, and sets up the line:
    // BaudRate, 8 data bits, no parity, 1 stop bit, binary, XON/XOFF output
    // flow control, no input or hardware flow control, DTR and RTS off.
    TWin32SerialLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup);
    ~TWin32SerialLine() override;  // closes, ignoring errors

    void Close() override;
    void SetBaudRate(int BaudRate) override;
    void SetTimeouts(const TKestCommTimeouts& Timeouts) override;
    void Purge() override;
    int Write(const void* Data, int Size) override;
    int Read(void* Buffer, int Size) override;
    bool OutputHeld() const override { return FHeld; }
    bool Drain() override;

private:
    // One read or write to its end: all bytes, the time-out, or the wake-up,
    // which cancels it. Returns the count moved.
    int Transfer(bool Writing, void* Data, int Size);
    HANDLE Port() const;

    HANDLE FPort = INVALID_HANDLE_VALUE;
    HANDLE FDone = nullptr;  // the event of the transfer in progress
    const TWakeup& FWakeup;
    bool FHeld = false;
};

TWin32SerialLine::TWin32SerialLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup)
    : FWakeup(Wakeup) {
    // No sharing: another program on the port would corrupt the exchange.
    THandleGuard port{CreateFileA(Device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)};
    if (port.Handle == INVALID_HANDLE_VALUE) ThrowLastError(Device.c_str());

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port.Handle, &dcb)) ThrowLastError("serial line settings");
    // The register stops our output with XOFF while its buffer is full; it
    // never needs us to stop, and there is no hardware handshake.
    dcb.BaudRate = static_cast<DWORD>(BaudRate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutX = TRUE;
    dcb.fInX = FALSE;
    dcb.XonChar = Xon;
    dcb.XoffChar = Xoff;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(port.Handle, &dcb)) ThrowLastError("serial line settings");

    THandleGuard done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    if (!done.Handle) ThrowLastError("serial line event");
    FDone = done.Release();
    FPort = port.Release();
}

TWin32SerialLine::~TWin32SerialLine() {
    if (FPort != INVALID_HANDLE_VALUE) CloseHandle(FPort);
    CloseHandle(FDone);
}

HANDLE TWin32SerialLine::Port() const {
    if (FPort == INVALID_HANDLE_VALUE) ThrowError(ERROR_INVALID_HANDLE, "serial line");
    return FPort;
}

void TWin32SerialLine::Close() {
    if (FPort == INVALID_HANDLE_VALUE) return;
    // The handle is gone whatever CloseHandle reports.
    if (!CloseHandle(std::exchange(FPort, INVALID_HANDLE_VALUE)))
        ThrowLastError("serial line close");
}

void TWin32SerialLine::SetBaudRate(int BaudRate) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Port(), &dcb)) ThrowLastError("serial line settings");
    dcb.BaudRate = static_cast<DWORD>(BaudRate);
    if (!SetCommState(FPort, &dcb)) ThrowLastError("serial line settings");
}

void TWin32SerialLine::SetTimeouts(const TKestCommTimeouts& Timeouts) {
    // The same meaning on both sides: milliseconds, zero turns a bound off.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = static_cast<DWORD>(Timeouts.ReadInterval);
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(Timeouts.ReadMultiplier);
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(Timeouts.ReadConstant);
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(Timeouts.WriteMultiplier);
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(Timeouts.WriteConstant);
    if (!SetCommTimeouts(Port(), &t)) ThrowLastError("serial line time-outs");
    TLine::SetTimeouts(Timeouts);
}

void TWin32SerialLine::Purge() {
    if (!PurgeComm(Port(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        ThrowLastError("serial line purge");
}

int TWin32SerialLine::Transfer(bool Writing, void* Data, int Size) {
    if (Size <= 0) return 0;
    const char* what = Writing ? "serial line write" : "serial line read";
    OVERLAPPED ov{};
    ov.hEvent = FDone;
    const DWORD size = static_cast<DWORD>(Size);
    const BOOL started = Writing ? WriteFile(Port(), Data, size, nullptr, &ov)
                                 : ReadFile(Port(), Data, size, nullptr, &ov);
    if (!started) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) ThrowError(error, what);
        const HANDLE events[2] = {FDone, FWakeup.Handle()};
        const DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        // Woken, or the wait itself failed: the transfer must end before its
        // buffer goes; what it moved so far still counts.
        if (woke != WAIT_OBJECT_0) CancelIo(FPort);
        if (woke == WAIT_FAILED) {
            const DWORD waitError = GetLastError();
            DWORD ignored;
            GetOverlappedResult(FPort, &ov, &ignored, TRUE);
            ThrowError(waitError, what);
        }
    }
    // A transfer cut short by its time-out or by the wake-up returns the count
    // it moved; Windows reports the time-out as success, Wine as ERROR_TIMEOUT.
    DWORD moved = 0;
    if (!GetOverlappedResult(FPort, &ov, &moved, TRUE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_TIMEOUT && error != ERROR_OPERATION_ABORTED) ThrowError(error, what);
    }
    return static_cast<int>(moved);
}

int TWin32SerialLine::Write(const void* Data, int Size) {
    FHeld = false;
    const int n = Transfer(true, const_cast<void*>(Data), Size);
    if (n < Size) {
        // Short: the time-out passed. Held by the register's XOFF, or gone?
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(FPort, &errors, &status)) ThrowLastError("serial line status");
        FHeld = status.fXoffHold != 0;
    }
    return n;
}

int TWin32SerialLine::Read(void* Buffer, int Size) {
    return Transfer(false, Buffer, Size);
}

bool TWin32SerialLine::Drain() {
    if (!FlushFileBuffers(Port())) ThrowLastError("serial line flush");
    return true;
}

}  // namespace

std::unique_ptr<TLine> OpenSerialLine(const std::string& Device, int BaudRate,
                                      const TWakeup& Wakeup) {
    return std::make_unique<TWin32SerialLine>(Device, BaudRate, Wakeup);
}

}  // namespace kest::win32
