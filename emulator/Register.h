// The register's side of the line without any I/O: bytes from the host go in,
// timed bytes for the host come out. The frame parser, request checks, command
// table, answer building, acknowledgements, device-status notices, faults,
// raw output with its ACKs or XOFF and XON, and keeping the state file live
// here; TEmulator only moves bytes between this and the pty.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Commands.h"
#include "KestorEmu.h"
#include "StateFile.h"

namespace kest::emu {

inline constexpr char Stx = 0x02, Etx = 0x03, Enq = 0x05, Ack = 0x06;
inline constexpr char RetryReply = 0x04, CancelReply = 0x01, InWaitRequest = 0x07;
inline constexpr char Xon = 0x11, Xoff = 0x13;

class TRegister {
public:
    using TClock = std::chrono::steady_clock;
    using TLog = std::function<void(std::string_view Line)>;

    // A frame not finished within this is dropped.
    static constexpr std::chrono::seconds FrameIdle{2};
    // How long the register waits for the host's reply to a notice.
    static constexpr std::chrono::seconds ReplyWait{60};
    // Raw output on XON/XOFF: this many bytes not yet printed fill the input
    // buffer, and the register sends XOFF.
    static constexpr int InputBuffer = 64;
    // The shortest time between the ACKs of a register stuck at work.
    static constexpr std::chrono::milliseconds StuckAckInterval{10};
    // Between the notices of a register whose printer never gets ready
    // (TFault::EndlessNotices).
    static constexpr std::chrono::milliseconds EndlessNoticeInterval{50};

    // std::invalid_argument for a configuration no register has;
    // std::runtime_error for a state file it cannot take.
    explicit TRegister(const TConfig& Config);

    // The configuration with the model's defaults filled in.
    const TConfig& Config() const { return FConfig; }
    int Generation() const { return FState.Generation; }
    const TEcrState& State() const { return FState; }

    // Bytes from the host at Now. LineRate is the rate the host's line is set
    // to (0: unknown, no check); a frame sent at another rate than the
    // register's makes no sense to it and is dropped.
    void Receive(std::string_view Bytes, TClock::time_point Now, int LineRate = 0);
    // The bytes due for the host by Now, in order; runs the timers.
    std::string Poll(TClock::time_point Now);
    // When Poll has something to do next; max() when nothing is pending.
    TClock::time_point NextDeadline() const;

    void InjectFault(TFault Fault, int Count);
    // A register sending notices without end goes on until the next request.
    void ClearFaults() { FFaults.fill(0); }
    void SetAcks(int Count, std::chrono::milliseconds Interval);
    void SetNotices(int Count, uint8_t DeviceByte, std::string Commands = {});
    void HoldXoff(std::chrono::milliseconds Time, TClock::time_point Now);
    void SetExtendedStatus(const std::array<uint8_t, 5>& Bytes) { FState.ExtendedStatus = Bytes; }
    void SetLog(TLog Log) { FLog = std::move(Log); }
    // What the operator must hear of even without the log: a state file that
    // cannot be written.
    void SetWarn(TLog Warn) { FWarn = std::move(Warn); }

    // The last ReceivedKept of what Received() lists; long runs would otherwise
    // keep every frame they ever sent.
    static constexpr size_t ReceivedKept = 256;

    std::string Password() const;  // UTF-8
    int BaudRate() const { return FState.BaudRate; }
    // The last ReceivedKept request frames and replies, oldest first.
    const std::deque<std::string>& Received() const { return FReceived; }
    // Every request frame received, also those no longer in Received().
    size_t FrameCount() const { return FFrameCount; }
    // The documents registered: fiscal documents, shift openings, X and Z
    // reports, also those whose answer was spoilt.
    size_t RegisteredCount() const { return FRegisteredCount; }
    // Whether an XOFF has gone out and its XON not yet.
    bool XoffSent() const { return FXoffSent; }
    // Whether the register hung the line up since the last call: the bytes
    // Poll returned go out first, then the line is hung up.
    bool TakeHangUp() { return std::exchange(FHangUpDue, false); }

private:
    // A request that passed the frame checks, or failed them with Error.
    struct TRequest {
        uint8_t Code = 0;
        int Error = ecOk;
        const TCommand* Command = nullptr;
        std::string Data;
    };
    struct TOutput {
        TClock::time_point At;
        std::string Bytes;
        const char* Label;    // for the log; nullptr: not logged
        bool HangUp = false;  // no bytes: the line is hung up here
    };

    void HandleFrame(std::string Frame, TClock::time_point Now, int LineRate);
    // One byte of raw output: printed or shown, then acknowledged on BS, or
    // counted into the input buffer on XON/XOFF.
    void TakeOutput(char Byte, TClock::time_point Now);
    // Runs the handler; with a state file, keeps what it changed, or undoes
    // it all when the file cannot be written. With a state file or a tape,
    // keeps the state before in FUndo.
    TAnswer Run(const TRequest& Request);
    // Hands what was printed to the tape; false when the tape refused it.
    bool HandPaper();
    // The answer to a command whose print the tape refused: the state before
    // it restored and written back, the printer's time-out error.
    TAnswer Unprinted(const TAnswer& Answer);
    TRequest Check(std::string_view Frame) const;
    void HandleReply(char Reply, TClock::time_point Now);
    void Respond(const TRequest& Request, TClock::time_point At);
    void SendNotice(TClock::time_point At);
    // The answer frame, spoiled by the faults in force, or the hang-up that
    // takes its place.
    void QueueAnswer(TClock::time_point At, uint8_t Echo, int Error, uint8_t Device,
                     std::string Data);
    // Appends to the answer stream, no earlier than what is already queued.
    TClock::time_point Queue(TClock::time_point At, std::string Bytes, const char* Label);
    // Inserts by time, independent of the answer stream (XON/XOFF).
    void Insert(TClock::time_point At, std::string Bytes, const char* Label);
    void Insert(TOutput Output);
    std::string BuildFrame(uint8_t Echo, int Error, uint8_t Device, std::string Data,
                           const std::array<bool, FaultCount>& Faults) const;
    std::array<bool, FaultCount> TakeFaults();
    void Log(std::string_view What, std::string_view Bytes) const;
    void Remember(std::string Bytes);

    TConfig FConfig;
    TEcrState FState;

    // Frame being received.
    std::string FFrame;
    TClock::time_point FFrameLast;

    std::deque<TOutput> FQueue;
    TClock::time_point FQueueEnd;  // when the last queued answer-stream bytes go out

    int FAcks = 0;  // -1: stuck at work, acknowledging without end
    std::chrono::milliseconds FAckInterval{0};
    // Stuck at work: when the next ACK goes out.
    std::optional<TClock::time_point> FNextAck;
    bool FHangUpDue = false;

    // Device-status notices of the next answered request (of one of
    // FNoticeCommands, when it names any).
    int FNotices = 0;
    uint8_t FNoticeByte = 0x0A;
    std::string FNoticeCommands;
    std::optional<TRequest> FWaiting;  // the request held while a notice awaits a reply
    TClock::time_point FReplyDeadline;
    // TFault::EndlessNotices: when the next notice goes out.
    std::optional<TClock::time_point> FNextNotice;

    std::array<int, FaultCount> FFaults{};

    // Raw output on XON/XOFF: the bytes in the input buffer, and while it is
    // held, when the printer will have printed them.
    int FBuffered = 0;
    std::optional<TClock::time_point> FXonAt;
    bool FXoffSent = false;

    std::unique_ptr<TStateFile> FStateFile;
    std::optional<TEcrState> FUndo;  // the state before the running command
    bool FOutputUnprinted = false;   // raw output the tape refused some of

    std::deque<std::string> FReceived;
    size_t FFrameCount = 0;
    size_t FRegisteredCount = 0;
    TLog FLog, FWarn;
};

}  // namespace kest::emu
