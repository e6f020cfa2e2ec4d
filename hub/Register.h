// One register served by kestor-hub: its driver, the queue of calls to it,
// the answers kept under idempotency keys and the feed of its events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "KestorFPrt.h"
#include "Metrics.h"
#include "RpcTable.h"

namespace kest::hub {

// "NAME=N[,baud][,password]": a register on port N (as for kestorctl --port).
// A password without a baud rate leaves the rate empty: "till=1,,1234".
struct TRegisterConfig {
    std::string Name;  // letters, digits, '-' and '_', at most 32
    int PortNum = 0;
    std::optional<int> BaudRate;
    std::optional<std::string> Password;
};
// std::invalid_argument says what is wrong.
TRegisterConfig ParseRegister(std::string_view Text);

// What every register of a hub shares.
struct TRegisterLimits {
    // How long a call waits for the calls queued before it.
    std::chrono::milliseconds QueueWait{20000};
    // The driver's time-outs, ms; every call starts with them.
    std::optional<int> InternalTimeout, ExternalTimeout;
    // The longest time-out a client may set for its call: a longer one
    // would keep the register from the other clients for as long.
    int MaxTimeout = 60000;
    // Answers kept under idempotency keys: for a day, and at most this many
    // and this much per register (keys, requests and answers), the oldest
    // going first.
    std::chrono::seconds KeyLifetime{24 * 3600};
    std::size_t MaxKeys = 10000;
    std::size_t MaxKeptBytes = 64 << 20;
};

// The outcome of a call, for the HTTP layer: its status and JSON body.
struct TReply {
    int Status = 200;
    std::string Body;
    bool Replayed = false;  // the stored answer to an earlier call with the key
    bool Failed = false;    // ran, and a step failed
};

// The JSON text of a value; bad UTF-8 from a register is replaced, not fatal.
std::string DumpJson(const TJson& Value);

// The events of one subscriber, as server-sent-event text. The oldest are
// dropped when a slow reader lets too many pile up.
class TEventStream {
public:
    enum class TWait { Events, Quiet, Closed };
    // Waits up to Timeout for events and moves them all into Text.
    TWait Next(std::string& Text, std::chrono::milliseconds Timeout);
    void Push(const std::string& Event);
    void Close();

private:
    static constexpr std::size_t MaxPending = 256;
    std::mutex FLock;
    std::condition_variable FCond;
    std::deque<std::string> FPending;
    bool FClosed = false;
};

class THubRegister {
public:
    // std::invalid_argument when the driver refuses a setting.
    THubRegister(TRegisterConfig Config, const TRegisterLimits& Limits);
    ~THubRegister();
    THubRegister(const THubRegister&) = delete;
    THubRegister& operator=(const THubRegister&) = delete;

    const std::string& Name() const { return FConfig.Name; }
    // The register as the last call and the driver's events left it; read
    // without waiting for a running call.
    TJson State() const;

    // Runs Requests (one request object or an array of them) in order on the
    // register, stopping at the first failure, and answers each as
    // `kestorctl rpc` would. With a Key, the answer kept for it is returned
    // instead, and a call with the same Key still running is waited for,
    // when Body (the request's text) is the first call's byte for byte;
    // another request under the Key is refused. A call that would change a
    // setting of the hub's is refused before anything runs.
    TReply Call(const TJson& Requests, const std::string& Key, std::string_view Body);

    // A new stream of the register's events; its first event is the state.
    std::shared_ptr<TEventStream> Subscribe();
    void Unsubscribe(const std::shared_ptr<TEventStream>& Stream);

    // For /metrics: reads the register's status and resources with one
    // query when the last reading is older than Interval and no call is
    // running or waiting; a call that comes meanwhile waits for it. Opens
    // the port first when the hub keeps it open and it is not.
    void RefreshStatus(std::chrono::milliseconds Interval);
    // The register's series, without an exchange.
    TRegisterMetrics Metrics() const;

    // The hub is stopping: queued calls are refused, the running one is
    // aborted (this waits for it to end), streams end.
    void Stop();

private:
    enum class TTurn { Granted, TimedOut, Stopped };
    TTurn WaitTurn();
    void EndTurn();
    struct TTurnEnd {
        THubRegister& Owner;
        ~TTurnEnd() { Owner.EndTurn(); }
    };
    // The start of a turn's work: the hub's time-outs back, a failed port
    // opened afresh, and the port opened when the hub keeps it open and
    // MayOpen. Returns the answer of an Open that failed.
    std::optional<TJson> PrepareLine(bool MayOpen);
    // After a step's Answer: a port the system fails on is opened afresh
    // before the next call.
    void NoteLineFailure(const TJson& Answer);
    // Body: the requests' text, whose ids the answers repeat as written.
    TReply Run(const TJson& Requests, std::string_view Body);
    TReply RunSteps(const TJson& Requests, std::string_view Body);  // in the call's turn
    TReply RunKeyed(const TJson& Requests, const std::string& Key, std::string_view Body);
    bool Stopping() const;
    void Publish(std::string_view Event, const TJson& Data);
    void UpdateState();  // between operations, or from the driver's events
    // Notes the shift state of a connected register (under FStateLock).
    void NoteShift(const TJson& State);
    void CountCall(const TReply& Reply, std::chrono::steady_clock::time_point Started);
    void ForgetOldKeys(std::chrono::steady_clock::time_point Now);

    const TRegisterConfig FConfig;
    const TRegisterLimits FLimits;
    TKestorFPrt FDriver;
    // The time-outs every call starts with; a client's hold for its call.
    int FInternalTimeout = 0, FExternalTimeout = 0;
    // Open the port before a call; a client's Open or Close sets it to
    // what that left.
    bool FKeepOpen = true;
    // The line failed in the system: the port is closed and opened afresh
    // before the next call.
    bool FReopen = false;

    // Calls take turns in the order they came.
    mutable std::mutex FTurnLock;
    std::condition_variable FTurnCond;
    std::deque<unsigned long long> FWaiting;
    unsigned long long FNextTicket = 0;
    bool FRunning = false;
    bool FStopped = false;

    // When the last status query for /metrics started (under FTurnLock).
    std::optional<std::chrono::steady_clock::time_point> FStatusQueried;

    mutable std::mutex FStateLock;
    TJson FState;
    // What /metrics reads, also under FStateLock.
    TRegisterMetrics FMetrics;
    std::optional<std::chrono::steady_clock::time_point> FShiftSeenOpen;

    struct TKept {
        std::string Request;  // a retry repeats it; nothing less tells it from another
        bool Done = false;
        std::string Body;
        std::chrono::steady_clock::time_point Time;
    };
    std::mutex FKeyLock;
    std::condition_variable FKeyCond;
    std::unordered_map<std::string, TKept> FKept;
    std::deque<std::string> FKeptOrder;  // done keys, oldest first
    std::size_t FKeptBytes = 0;

    // Taken before FStateLock and FTurnLock, never after.
    std::mutex FStreamLock;
    std::vector<std::shared_ptr<TEventStream>> FStreams;
    bool FStreamsClosed = false;
};

}  // namespace kest::hub
