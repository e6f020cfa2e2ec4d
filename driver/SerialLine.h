// The line under the driver's port operations: a serial port, or a raw TCP
// connection to a serial device server (ser2net, Ethernet-serial converters).
// One implementation per platform (LinePosix.cpp, SerialLinePosix.cpp,
// TcpLinePosix.cpp; SerialLineWin32.cpp), the same contract. Failures of the
// operating system are std::system_error with the system's error code.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "KestorFPrt.h"

namespace kest {

#ifdef _WIN32
using TWakeupHandle = void*;  // a manual-reset event, set while signalled
#else
using TWakeupHandle = int;  // the read end of a pipe, readable while signalled
#endif

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
    TWakeupHandle Handle() const { return FHandle; }

private:
#ifdef _WIN32
    TWakeupHandle FHandle = nullptr;
#else
    TWakeupHandle FHandle = -1;
    int FWrite = -1;
#endif
};

// The device of port N: the environment variable KESTOR_COM<N> when set,
// else /dev/ttyS<N-1> (on Windows COM<N>, \\.\COM<N> above 9).
// "tcp://HOST:PORT" names a device server.
std::string DeviceForPort(int PortNum);

class TLine {
public:
    virtual ~TLine() = default;
    TLine(const TLine&) = delete;
    TLine& operator=(const TLine&) = delete;

    // Closes now; the line is released even when this reports an error.
    virtual void Close() = 0;

    // False when the rate is set elsewhere, on a device server.
    virtual bool CanSetBaudRate() const { return true; }
    virtual void SetBaudRate(int BaudRate) = 0;
    // A read of n bytes ends after ReadConstant + n x ReadMultiplier, or when
    // ReadInterval passes between two bytes; a write after WriteConstant +
    // n x WriteMultiplier. Zero turns a bound off.
    virtual void SetTimeouts(const TKestCommTimeouts& Timeouts) { FTimeouts = Timeouts; }
    // Discards pending input and output.
    virtual void Purge() = 0;
    // Both return the count moved, short when a time-out passes or the wake-up
    // is signalled.
    virtual int Write(const void* Data, int Size) = 0;
    virtual int Read(void* Buffer, int Size) = 0;
    // Keeps the bytes to go out ahead of the next Write, in the same system
    // call; false when the line keeps none (or has no room), and the caller
    // writes them itself.
    virtual bool Queue(const void* /*Data*/, int /*Size*/) { return false; }
    // True when the last write stopped because the register holds the line
    // with XOFF.
    virtual bool OutputHeld() const { return false; }
    // Waits until the output is on the line, at most the write time-out for
    // what is queued; false when it is still not drained.
    virtual bool Drain() { return true; }

protected:
    TLine() = default;
    TKestCommTimeouts FTimeouts;
};

// Opens the line Device names: a serial device, or "tcp://HOST:PORT".
std::unique_ptr<TLine> OpenLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup);

// Host and port of "tcp://HOST:PORT", an IPv6 host in brackets; false when
// either is missing.
bool SplitTcpAddress(const std::string& Address, std::string& Host, std::string& Port);

#ifndef _WIN32

// A line on a POSIX descriptor: bounded reads and writes with poll().
class TFdLine : public TLine {
public:
    ~TFdLine() override;  // closes, ignoring errors
    void Close() override;
    int Write(const void* Data, int Size) override;
    int Read(void* Buffer, int Size) override;
    bool Queue(const void* Data, int Size) override;

protected:
    explicit TFdLine(const TWakeup& Wakeup) : FWakeup(Wakeup) {}
    // Forgets the queued output and the input read ahead (Purge).
    void DropBuffered();
    // The write itself: write(), or send() that raises no SIGPIPE.
    virtual long WriteSome(const void* Data, unsigned long Size);
    // The other end has gone; raises.
    [[noreturn]] virtual void HungUp(const char* What);
    // A write that could move nothing before its deadline.
    virtual void WriteTimedOut() {}

    int FFd = -1;
    const TWakeup& FWakeup;

private:
    // Takes what was read ahead, at most Size bytes.
    int TakeAhead(char* Buffer, int Size);

    // Output queued for the next write: at most a frame of the usual size,
    // which the line's kernel buffer takes at once.
    static constexpr size_t MaxQueued = 4096;
    std::string FQueued;
    // Input read beyond what was asked: one read() takes what has arrived,
    // so a frame read in pieces costs one system call, not one a piece.
    std::array<char, 4096> FAhead{};
    int FAheadPos = 0, FAheadEnd = 0;
};

// A line that hangs up (a USB adapter pulled, a modem line dropped) fails the
// call that meets it; the next request opens the device again, as the TCP
// line connects again.
class TSerialLine : public TFdLine {
public:
    // Opens Device for reading and writing, exclusively, and sets up the line:
    // BaudRate, 8 data bits, no parity, 1 stop bit, raw, XON/XOFF output flow
    // control, no input or hardware flow control, DTR and RTS off.
    TSerialLine(const std::string& Device, int BaudRate, const TWakeup& Wakeup);
    ~TSerialLine() override;

    void Close() override;
    void SetBaudRate(int BaudRate) override;
    void Purge() override;
    int Write(const void* Data, int Size) override;
    bool OutputHeld() const override { return FHeld; }
    bool Drain() override;

protected:
    void WriteTimedOut() override;
    [[noreturn]] void HungUp(const char* What) override;

private:
    void Open();

    std::string FDevice;
    int FBaudRate;
    bool FHeld = false;
    bool FDropped = false;
};

// A raw TCP connection to a serial device server. The server sets the line's
// rate and does its flow control; a connection that drops fails the call
// that meets it and is made again when the next request begins.
class TTcpLine : public TFdLine {
public:
    // "tcp://HOST:PORT".
    TTcpLine(const std::string& Address, const TWakeup& Wakeup);

    bool CanSetBaudRate() const override { return false; }
    void SetBaudRate(int) override {}
    void Purge() override;

    static bool IsAddress(const std::string& Device);

protected:
    long WriteSome(const void* Data, unsigned long Size) override;
    [[noreturn]] void HungUp(const char* What) override;

private:
    void Connect();

    std::string FHost, FPort;
    bool FDropped = false;
};

#endif  // !_WIN32

}  // namespace kest
