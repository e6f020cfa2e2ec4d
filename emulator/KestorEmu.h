// libkestor-emu: a KESTOR register played on the far end of a pseudo-terminal,
// so that the driver and its tools run without hardware. The register speaks
// the framed protocol from its side, knows its model, firmware tag and
// generation, and can be told to misbehave (faults, acknowledgements, printer
// not ready, XOFF) to show how a host copes.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "KestorFPrt.h"

namespace kest::emu {

// Faults of the answer frame; HangUp: in place of the answer the register
// hangs the line up, as a pulled cable or USB adapter does (every handle of
// the line's device sees the hang-up; the device works again for whoever
// opens it anew); InterruptedPrint: a fiscal document is registered and
// printed, but its answer carries error 10 as if the print had broken off;
// EndlessNotices: in place of the answer, printer-not-ready notices without
// end, the host's retry and cancel replies ignored, until its next request.
enum class TFault {
    NoAnswer,
    CutShort,
    BadBcc,
    Garbage,
    EtxInData,
    WrongEcho,
    WrongSeparator,
    HangUp,
    InterruptedPrint,
    EndlessNotices,
};
inline constexpr int FaultCount = 10;

// For HoldXoff: no XON follows until HoldXoff is called again.
inline constexpr std::chrono::milliseconds HoldForever{-1};

// Takes what the register prints: UTF-8 text, whole lines. Throws what it
// cannot take; the register then answers as a printer that stopped.
using TTapeSink = std::function<void(std::string_view Text)>;

struct TConfig {
    TKestEcrModel Model = mem207_1F;
    std::u16string ModelName{};  // empty: the model's own name
    std::string Firmware{};      // empty: the model's default tag
    std::string Serial = "0000001";
    std::string Password = "5862";
    bool XonXoff = false;
    int BaudRate = 9600;
    bool Verbose = false;
    // Input and output at the byte rate of the register's current baud
    // setting, ten bits a byte, as on a real line, rather than all at once:
    // a request is answered once its last byte would have arrived.
    bool Paced = false;
    // The paper tape; nullptr: the print goes nowhere. Called on the serving
    // thread.
    TTapeSink Tape{};
    // How long the printer takes for a line of raw output. On XON/XOFF the
    // register holds the host with XOFF once its input buffer is full, and
    // lets it go on with XON when the lines in it are printed.
    std::chrono::milliseconds LineTime{5};
    // The JSON file the register keeps what survives switching it off in:
    // read at start (a missing one starts a fresh register), written after
    // every change. Its serial number, password, rates and protocol win over
    // the ones above. Empty: nothing is kept.
    std::string StateFile{};
};

// Model names ("207.1F") and the driver's enum names ("mem207_1F"), any case;
// std::invalid_argument for an unknown name.
TKestEcrModel ParseModel(std::string_view Name);
// The generation a register of this model reports with this firmware tag; an
// empty tag means the model's default one.
int GenerationOf(TKestEcrModel Model, std::string_view Firmware);
// "no-answer", "cut-short", "bad-bcc", "garbage", "etx-in-data", "wrong-echo",
// "wrong-separator", "hang-up", "interrupted-print", "endless-notices";
// std::invalid_argument for anything else.
TFault ParseFault(std::string_view Name);

class TRegister;

// An owned file descriptor.
class TFd {
public:
    TFd() = default;
    explicit TFd(int Fd) : FFd(Fd) {}
    TFd(TFd&& Other) noexcept : FFd(Other.FFd) { Other.FFd = -1; }
    TFd& operator=(TFd&& Other) noexcept;
    ~TFd();
    int Get() const { return FFd; }

private:
    int FFd = -1;
};

// A register on a pseudo-terminal, served by its own thread.
class TEmulator {
public:
    // Creates the pty and starts serving; std::system_error when the system
    // refuses, std::invalid_argument for a configuration no register has.
    explicit TEmulator(TConfig Config);
    ~TEmulator();  // stops and joins
    TEmulator(const TEmulator&) = delete;
    TEmulator& operator=(const TEmulator&) = delete;

    const std::string& DevicePath() const { return FDevicePath; }  // e.g. /dev/pts/5
    int Generation() const { return FGeneration; }
    // The configuration in force, the model's defaults filled in.
    const TConfig& Config() const { return FConfig; }
    // Ends serving; the pty stays open until destruction.
    void Stop();

    // Whether this process may hang the line up (TFault::HangUp): hanging up
    // a pseudo-terminal that stays open needs CAP_SYS_ADMIN.
    static bool CanHangUp();

    // All thread-safe:
    // Count -1: every answer (every registered document) until ClearFaults.
    // std::runtime_error for HangUp when CanHangUp is false.
    void InjectFault(TFault Fault, int Count = 1);
    void ClearFaults();
    // Count ACKs before every answer, Interval apart. Count -1: every request
    // is acknowledged every Interval (10 ms at least) and never answered, as
    // by a register stuck at work, until the next SetAcks.
    void SetAcks(int Count, std::chrono::milliseconds Interval = {});
    // Count printer-not-ready notices before the next answer; with Commands
    // (command codes, "6K") before the next answer to one of them.
    void SetNotices(int Count, uint8_t DeviceByte = 0x0A, std::string Commands = {});
    // XOFF now and XON after Time; HoldForever: no XON until the next call
    // (HoldXoff(0ms) lets the line go at once).
    void HoldXoff(std::chrono::milliseconds Time);
    void SetExtendedStatus(const std::array<uint8_t, 5>& Bytes);
    std::string Password() const;
    int BaudRate() const;
    // The complete request frames received (STX..ETX) and the single bytes
    // received outside frames (0x04, 0x01, 0x07), in order, the last 256 of
    // them: for tests.
    std::vector<std::string> Received() const;
    // Every request frame received since the start.
    size_t RequestCount() const;
    // The documents registered so far: fiscal documents, shift openings, X
    // and Z reports, whether or not their answer reached the host.
    size_t Registered() const;
    // Blocks until N request frames have been handled or the time passes;
    // returns whether they were.
    bool WaitForRequests(size_t Count, std::chrono::milliseconds Timeout) const;
    // Blocks until the register holds the host's output with XOFF (the host's
    // line refuses to send) or the time passes; returns whether it does.
    bool WaitForXoff(std::chrono::milliseconds Timeout) const;

private:
    void Serve();
    void Wake();
    int LineRate() const;
    // Writes what the register has due, as far as the line takes it and, when
    // paced, as far as the time since the last byte allows.
    void FlushLocked(std::chrono::steady_clock::time_point Now);
    // Hands the host's bytes to the register; when paced, each at the time
    // its last bit arrives on a real line.
    void ReceiveLocked(std::string_view Bytes, std::chrono::steady_clock::time_point Now, int Rate);
    // Hangs up every handle of the slave device, then opens our own again.
    void HangUpLocked();

    TConfig FConfig;
    int FGeneration = 0;
    std::string FDevicePath;
    TFd FMaster, FSlave, FWakeRead, FWakeWrite;
    mutable std::mutex FLock;  // guards FRegister, FOut and the pacing times
    std::string FOut;          // bytes due that the line has not taken yet
    // When paced: the time the next byte may go out.
    std::chrono::steady_clock::time_point FPaceNext;
    // When paced: the time the host's bytes received so far have all arrived.
    std::chrono::steady_clock::time_point FInPaceNext;
    mutable std::condition_variable FHandled;
    std::unique_ptr<TRegister> FRegister;
    std::atomic<bool> FStop = false;
    std::once_flag FJoinOnce;
    std::thread FThread;
};

}  // namespace kest::emu
