// The serial line under the driver's port operations: one implementation per
// platform (SerialLinePosix.cpp; a Win32 one later), the same contract.
// Failures of the operating system are std::system_error.
#pragma once

#include <string>

#include "KestorFPrt.h"

namespace kest {

// Lets another thread end a blocked read or write at once. It lives as long
// as the driver, so AbortRequest never touches a line that is being closed.
class TWakeup {
public:
    TWakeup();
    ~TWakeup();
    TWakeup(const TWakeup&) = delete;
    TWakeup& operator=(const TWakeup&) = delete;

    void Signal();  // from any thread; stays signalled until Clear
    void Clear();
    int Handle() const { return FRead; }  // readable while signalled

private:
    int FRead = -1;
    int FWrite = -1;
};

class TSerialLine {
public:
    // The device of port N: the environment variable KESTOR_COM<N> when set,
    // else /dev/ttyS<N-1>.
    static std::string DeviceForPort(int PortNum);

    // Opens Device for reading and writing, exclusively, and sets up the line:
    // BaudRate, 8 data bits, no parity, 1 stop bit, raw, XON/XOFF output flow
    // control, no input or hardware flow control, DTR and RTS off.
    TSerialLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup);
    ~TSerialLine();  // closes, ignoring errors
    TSerialLine(const TSerialLine&) = delete;
    TSerialLine& operator=(const TSerialLine&) = delete;

    // Closes now; the descriptor is released even when this reports an error.
    void Close();

    void SetBaudRate(int BaudRate);
    void SetTimeouts(const TKestCommTimeouts& Timeouts);
    // Discards pending input and output.
    void Purge();
    // Both return the count moved, short when a time-out passes or the wake-up
    // is signalled.
    int Write(const void* Data, int Size);
    int Read(void* Buffer, int Size);
    // True when the last write stopped because the register holds the line
    // with XOFF.
    bool OutputHeld() const;
    // Waits until the output is on the line, at most the write time-out for
    // what is queued; false when it is still not drained.
    bool Drain();

private:
    int FFd = -1;
    const TWakeup& FWakeup;
    TKestCommTimeouts FTimeouts;
    int FBaudRate;
    bool FHeld = false;
};

}  // namespace kest
