#include "Register.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "Rpc.h"

namespace kest::hub {

namespace {

constexpr std::size_t MaxNameChars = 32;

int ParseInt(std::string_view Text, const char* What) {
    int value = 0;
    const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
    if (Text.empty() || error != std::errc() || end != Text.data() + Text.size())
        throw std::invalid_argument(std::string(What) + " \"" + std::string(Text) +
                                    "\" is not a number");
    return value;
}

TJson ErrorBody(const std::string& Text) {
    return {{"error", Text}};
}

// Steps that open or close the connection themselves: a call that starts
// with one runs as written, and its outcome says whether to keep the port open.
bool IsConnectionStep(const TJson& Request) {
    if (!Request.is_object()) return false;
    const auto op = Request.find("op");
    if (op != Request.end() && op->is_string()) {
        const auto& name = op->get_ref<const std::string&>();
        return name == "Open" || name == "Close" || name == "SetActive";
    }
    const auto set = Request.find("set");
    return set != Request.end() && set->is_string() && *set == "Active";
}

// Why the hub refuses Request, or nothing. The port, its rate and the
// register's password are the administrator's: a client that changed them
// would point the register's name at another device or lock every later
// client out. A time-out is the client's for its call, within bounds.
std::optional<std::string> RefusedSetting(const TJson& Request, int MaxTimeout) {
    if (!Request.is_object()) return {};
    const auto op = Request.find("op");
    const auto set = Request.find("set");
    const std::string name = op != Request.end() && *op == "SetPassword" ? "Password"
                             : set != Request.end() && set->is_string()  ? set->get<std::string>()
                                                                         : "";
    if (name == "PortNum" || name == "BaudRate" || name == "Password")
        return name + " is the hub's setting (--register); clients may not change it";
    if (name != "InternalTimeout" && name != "ExternalTimeout") return {};
    const auto value = Request.find("value");
    if (value == Request.end() || !value->is_number() || (*value >= 1 && *value <= MaxTimeout))
        return {};
    return name + " through the hub: 1 to " + std::to_string(MaxTimeout) + " ms (--max-timeout)";
}

// The operations that end a printed document: receipts, custom and fiscal
// documents, their copies and the reports.
bool PrintsDocument(const std::string& Operation) {
    static const std::set<std::string, std::less<>> operations{
        "CloseReceipt",      "CloseCustomDoc",     "CloseFiscalDoc",   "CopyFiscalDoc",
        "XReport",           "XReportByDep",       "XReportByOper",    "ZReport",
        "FiscalReportByNum", "FiscalReportByDate", "FiscalReportAll",  "EKLZActivationReport",
        "EKLZDayReport",     "EKLZReportByNum",    "EKLZReportByDate", "EKLZDocByNum",
        "EKLZControlByNum"};
    return operations.contains(Operation);
}

// Failures that mean the register did not answer at all.
bool NoAnswer(int ErrCode) {
    static const int noResponse = EKestNoResponse().ErrCode(),
                     unknownDevice = EKestUnknownDevice().ErrCode();
    return ErrCode == noResponse || ErrCode == unknownDevice || ErrCode == TKestorFPrt::ErrSystem;
}

bool Succeeded(const TJson& Answer) {
    const auto ok = Answer.find("ok");
    return ok != Answer.end() && *ok == true;
}

TJson ReadState(const TKestorFPrt& Driver) {
    return {
        {"PortNum", Driver.PortNum()},
        {"Connected", Driver.Connected()},
        {"ConnState", TCodec<TKestConnState>::ToJson(Driver.ConnState())},
        {"EcrModel", TCodec<TKestEcrModel>::ToJson(Driver.EcrModel())},
        {"ModelName", ToUtf8(Driver.ModelName())},
        {"Generation", Driver.Generation()},
        {"SerialNumber", ToUtf8(Driver.SerialNumber())},
        {"EcrStatus", Driver.EcrStatus()},
        {"DevStatus", Driver.DevStatus()},
        {"DocStatus", TCodec<TKestDocStatus>::ToJson(Driver.GetDocStatus())},
        {"ErrCode", Driver.ErrCode()},
        {"ErrCodeEx", Driver.ErrCodeEx()},
        {"ErrMessage", ToUtf8(Driver.ErrMessage())},
    };
}

}  // namespace

TRegisterConfig ParseRegister(std::string_view Text) {
    const auto equals = Text.find('=');
    if (equals == std::string_view::npos)
        throw std::invalid_argument("expected NAME=N[,baud][,password], got \"" +
                                    std::string(Text) + "\"");
    TRegisterConfig config;
    config.Name = std::string(Text.substr(0, equals));
    // The name stands in URLs as it is.
    if (config.Name.empty() || config.Name.size() > MaxNameChars ||
        !std::all_of(config.Name.begin(), config.Name.end(), [](char C) {
            return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
                   C == '-' || C == '_';
        }))
        throw std::invalid_argument("register name \"" + config.Name +
                                    "\": 1 to 32 letters, digits, '-' or '_'");

    std::vector<std::string_view> fields;
    for (std::string_view rest = Text.substr(equals + 1);;) {
        const auto comma = rest.find(',');
        fields.push_back(rest.substr(0, comma));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (fields.size() > 3)
        throw std::invalid_argument("register " + config.Name + ": more than N, baud, password");
    config.PortNum = ParseInt(fields[0], "port");
    if (fields.size() > 1 && !fields[1].empty()) config.BaudRate = ParseInt(fields[1], "baud rate");
    if (fields.size() > 2) config.Password = std::string(fields[2]);
    return config;
}

std::string DumpJson(const TJson& Value) {
    return Value.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

// -- TEventStream

TEventStream::TWait TEventStream::Next(std::string& Text, std::chrono::milliseconds Timeout) {
    std::unique_lock lock(FLock);
    FCond.wait_for(lock, Timeout, [this] { return FClosed || !FPending.empty(); });
    if (FClosed) return TWait::Closed;
    if (FPending.empty()) return TWait::Quiet;
    Text.clear();
    for (const auto& event : FPending)
        Text += event;
    FPending.clear();
    return TWait::Events;
}

void TEventStream::Push(const std::string& Event) {
    {
        const std::lock_guard lock(FLock);
        if (FPending.size() == MaxPending) FPending.pop_front();
        FPending.push_back(Event);
    }
    FCond.notify_all();
}

void TEventStream::Close() {
    {
        const std::lock_guard lock(FLock);
        FClosed = true;
    }
    FCond.notify_all();
}

// -- THubRegister

THubRegister::THubRegister(TRegisterConfig Config, const TRegisterLimits& Limits)
    : FConfig(std::move(Config)), FLimits(Limits) {
    const auto apply = [this](const char* Setting, auto&& Set) {
        try {
            Set();
        } catch (const std::exception& e) {
            throw std::invalid_argument("register " + FConfig.Name + ": " + Setting + ": " +
                                        e.what());
        }
    };
    apply("port", [&] { FDriver.SetPortNum(FConfig.PortNum); });
    if (FConfig.BaudRate) apply("baud rate", [&] { FDriver.SetBaudRate(*FConfig.BaudRate); });
    if (FConfig.Password)
        apply("password", [&] { FDriver.SetPassword(FromUtf8(*FConfig.Password)); });
    if (FLimits.InternalTimeout)
        apply("internal time-out", [&] { FDriver.SetInternalTimeout(*FLimits.InternalTimeout); });
    if (FLimits.ExternalTimeout)
        apply("external time-out", [&] { FDriver.SetExternalTimeout(*FLimits.ExternalTimeout); });
    FInternalTimeout = FDriver.InternalTimeout();
    FExternalTimeout = FDriver.ExternalTimeout();
    FState = ReadState(FDriver);
    FMetrics.Name = FConfig.Name;

    // The events fire on the thread of the running call, where the
    // properties may be read.
    FDriver.OnConnStateUpdate = [this](TKestorFPrt& Sender) {
        TJson data{{"ConnState", TCodec<TKestConnState>::ToJson(Sender.ConnState())},
                   {"Connected", Sender.Connected()}};
        {
            const std::lock_guard lock(FStateLock);
            FState["ConnState"] = data["ConnState"];
            FState["Connected"] = data["Connected"];
        }
        Publish("conn", data);
    };
    FDriver.OnStatusUpdate = [this](TKestorFPrt& Sender) {
        const TJson data = StatusJson(Sender);
        {
            const std::lock_guard lock(FStateLock);
            FState["EcrStatus"] = data["EcrStatus"];
            FState["DevStatus"] = data["DevStatus"];
            FState["DocStatus"] = data["DocStatus"];
            NoteShift(FState);
        }
        Publish("status", data);
    };
}

THubRegister::~THubRegister() {
    // The handlers refer to this object.
    FDriver.OnConnStateUpdate = nullptr;
    FDriver.OnStatusUpdate = nullptr;
}

TJson THubRegister::State() const {
    TJson state{{"name", FConfig.Name}};
    {
        const std::lock_guard lock(FStateLock);
        state.update(FState);
    }
    {
        const std::lock_guard lock(FTurnLock);
        state["busy"] = FRunning || !FWaiting.empty();
    }
    return state;
}

void THubRegister::UpdateState() {
    TJson state = ReadState(FDriver);
    const std::lock_guard lock(FStateLock);
    FState = std::move(state);
    FMetrics.Connected = FDriver.Connected();
    FMetrics.Answering = FMetrics.Connected && !NoAnswer(FDriver.ErrCode());
    FMetrics.ErrCode = FDriver.ErrCode();
    FMetrics.ErrCodeEx = FDriver.ErrCodeEx();
    FMetrics.RewritesRemain = FDriver.RewritesRemain();
    FMetrics.RecordsRemain = FDriver.DaysRemain();
    FMetrics.JournalDaysRemain =
        FDriver.EKLZSupported() ? std::optional(FDriver.EKLZRest()) : std::nullopt;
    NoteShift(FState);
}

void THubRegister::NoteShift(const TJson& State) {
    // Bit 0 of the status is the shift, valid for every identified register.
    if (!State.value("Connected", false)) {
        FMetrics.ShiftOpen.reset();
        return;
    }
    FMetrics.ShiftOpen = (State.value("EcrStatus", 0) & 1) != 0;
    if (!*FMetrics.ShiftOpen)
        FShiftSeenOpen.reset();
    else if (!FShiftSeenOpen)
        FShiftSeenOpen = std::chrono::steady_clock::now();
}

TRegisterMetrics THubRegister::Metrics() const {
    const std::lock_guard lock(FStateLock);
    TRegisterMetrics metrics = FMetrics;
    if (metrics.ShiftOpen.value_or(false) && FShiftSeenOpen)
        metrics.ShiftOpenSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - *FShiftSeenOpen)
                .count();
    return metrics;
}

void THubRegister::RefreshStatus(std::chrono::milliseconds Interval) {
    {
        const std::lock_guard lock(FTurnLock);
        const auto now = std::chrono::steady_clock::now();
        if (FStopped || FRunning || !FWaiting.empty() ||
            (FStatusQueried && now - *FStatusQueried < Interval))
            return;
        FStatusQueried = now;
        FRunning = true;  // the turn is this query's
    }
    {
        const TTurnEnd end{*this};
        if (!PrepareLine(true) && FDriver.Connected())
            NoteLineFailure(AnswerRequest(FDriver, {{"op", "QueryResourceInfo"}}));
        UpdateState();
    }
    Publish("register", State());
}

void THubRegister::CountCall(const TReply& Reply, std::chrono::steady_clock::time_point Started) {
    const std::string_view result = Reply.Replayed        ? "replayed"
                                    : Reply.Status == 200 ? (Reply.Failed ? "failed" : "ok")
                                    : Reply.Status == 409 ? "busy"
                                    : Reply.Status == 502 ? "unreachable"
                                    : Reply.Status == 503 ? "stopping"
                                                          : "refused";
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
    const std::lock_guard lock(FStateLock);
    FMetrics.Calls.Add(result, seconds);
}

void THubRegister::Publish(std::string_view Event, const TJson& Data) {
    const std::string text = "event: " + std::string(Event) + "\ndata: " + DumpJson(Data) + "\n\n";
    const std::lock_guard lock(FStreamLock);
    for (const auto& stream : FStreams)
        stream->Push(text);
}

std::shared_ptr<TEventStream> THubRegister::Subscribe() {
    auto stream = std::make_shared<TEventStream>();
    // The state is read under the stream lock: an event that changes it
    // later is published to this stream too.
    const std::lock_guard lock(FStreamLock);
    stream->Push("event: register\ndata: " + DumpJson(State()) + "\n\n");
    if (FStreamsClosed) stream->Close();
    FStreams.push_back(stream);
    return stream;
}

void THubRegister::Unsubscribe(const std::shared_ptr<TEventStream>& Stream) {
    const std::lock_guard lock(FStreamLock);
    std::erase(FStreams, Stream);
}

void THubRegister::Stop() {
    {
        std::unique_lock lock(FTurnLock);
        FStopped = true;
        FTurnCond.notify_all();
        // The running call ends now, not at its time-outs. Aborted again
        // until it has ended: an abort between two of its commands finds
        // the driver idle and is gone when the next command starts.
        while (FRunning) {
            lock.unlock();
            FDriver.AbortRequest();
            lock.lock();
            FTurnCond.wait_for(lock, std::chrono::milliseconds(20), [this] { return !FRunning; });
        }
    }
    const std::lock_guard lock(FStreamLock);
    FStreamsClosed = true;
    for (const auto& stream : FStreams)
        stream->Close();
}

// -- Turns

THubRegister::TTurn THubRegister::WaitTurn() {
    std::unique_lock lock(FTurnLock);
    const unsigned long long ticket = FNextTicket++;
    FWaiting.push_back(ticket);
    const bool granted = FTurnCond.wait_for(lock, FLimits.QueueWait, [this, ticket] {
        return FStopped || (!FRunning && FWaiting.front() == ticket);
    }) && !FStopped;
    if (!granted) {
        std::erase(FWaiting, ticket);
        const TTurn outcome = FStopped ? TTurn::Stopped : TTurn::TimedOut;
        lock.unlock();
        FTurnCond.notify_all();  // the next in line may be the first now
        return outcome;
    }
    FWaiting.pop_front();
    FRunning = true;
    return TTurn::Granted;
}

bool THubRegister::Stopping() const {
    const std::lock_guard lock(FTurnLock);
    return FStopped;
}

void THubRegister::EndTurn() {
    {
        const std::lock_guard lock(FTurnLock);
        FRunning = false;
    }
    FTurnCond.notify_all();
}

// -- Calls

TReply THubRegister::Call(const TJson& Requests, const std::string& Key, std::string_view Body) {
    const auto started = std::chrono::steady_clock::now();
    const TReply reply = [&]() -> TReply {
        for (const TJson& request : Requests.is_array() ? Requests : TJson::array({Requests}))
            if (const auto refusal = RefusedSetting(request, FLimits.MaxTimeout))
                return {403, DumpJson(ErrorBody(*refusal))};
        if (Key.empty()) return Run(Requests, Body);
        return RunKeyed(Requests, Key, Body);
    }();
    CountCall(reply, started);
    return reply;
}

TReply THubRegister::RunKeyed(const TJson& Requests, const std::string& Key,
                              std::string_view Body) {
    {
        std::unique_lock lock(FKeyLock);
        for (;;) {
            ForgetOldKeys(std::chrono::steady_clock::now());
            const auto it = FKept.find(Key);
            if (it == FKept.end()) {
                FKept[Key].Request = Body;  // running: a retry waits for it
                break;
            }
            if (it->second.Request != Body)
                return {422, DumpJson(ErrorBody("Idempotency-Key \"" + Key +
                                                "\" was used for another request"))};
            if (it->second.Done) return {200, it->second.Body, true};
            // The first call with this key is running: its answer is this one's.
            FKeyCond.wait(lock);
        }
    }
    TReply reply;
    try {
        reply = Run(Requests, Body);
    } catch (...) {
        {
            const std::lock_guard lock(FKeyLock);
            FKept.erase(Key);
        }
        FKeyCond.notify_all();
        throw;
    }
    {
        const std::lock_guard lock(FKeyLock);
        const auto now = std::chrono::steady_clock::now();
        if (reply.Status == 200) {
            TKept& kept = FKept[Key];
            kept.Done = true;
            kept.Body = reply.Body;
            kept.Time = now;
            FKeptOrder.push_back(Key);
            FKeptBytes += Key.size() + kept.Request.size() + kept.Body.size();
        } else {
            // Nothing reached the register: a retry may run.
            FKept.erase(Key);
        }
        ForgetOldKeys(now);
    }
    FKeyCond.notify_all();
    return reply;
}

void THubRegister::ForgetOldKeys(std::chrono::steady_clock::time_point Now) {
    while (!FKeptOrder.empty()) {
        const auto it = FKept.find(FKeptOrder.front());
        const bool old = Now - it->second.Time > FLimits.KeyLifetime;
        if (!old && FKeptOrder.size() <= FLimits.MaxKeys && FKeptBytes <= FLimits.MaxKeptBytes)
            break;
        FKeptBytes -= it->first.size() + it->second.Request.size() + it->second.Body.size();
        FKept.erase(it);
        FKeptOrder.pop_front();
    }
}

TReply THubRegister::Run(const TJson& Requests, std::string_view Body) {
    switch (WaitTurn()) {
        case TTurn::Granted:
            break;
        case TTurn::TimedOut:
            return {409, DumpJson(ErrorBody("register " + FConfig.Name + " is busy: waited " +
                                            std::to_string(FLimits.QueueWait.count()) +
                                            " ms for the calls before this one"))};
        case TTurn::Stopped:
            return {503, DumpJson(ErrorBody("the hub is stopping"))};
    }
    TReply reply;
    {
        const TTurnEnd end{*this};
        reply = RunSteps(Requests, Body);
    }
    Publish("register", State());
    return reply;
}

std::optional<TJson> THubRegister::PrepareLine(bool MayOpen) {
    // A client's time-outs are its own call's: the next starts with the hub's.
    if (FDriver.InternalTimeout() != FInternalTimeout) FDriver.SetInternalTimeout(FInternalTimeout);
    if (FDriver.ExternalTimeout() != FExternalTimeout) FDriver.SetExternalTimeout(FExternalTimeout);
    if (FReopen) {
        FReopen = false;
        FDriver.Close(true);
    }
    if (FKeepOpen && !FDriver.Connected() && MayOpen) {
        TJson open = AnswerRequest(FDriver, {{"op", "Open"}});
        UpdateState();
        if (!Succeeded(open)) return open;
    }
    return {};
}

void THubRegister::NoteLineFailure(const TJson& Answer) {
    // A port the system fails on is likely gone (a USB adapter pulled).
    if (!Succeeded(Answer) && Answer.value("ErrCode", 0) == TKestorFPrt::ErrSystem &&
        FDriver.Connected())
        FReopen = true;
}

TReply THubRegister::RunSteps(const TJson& Requests, std::string_view Body) {
    const bool batch = Requests.is_array();
    const TJson& first = batch ? Requests.front() : Requests;
    if (auto open = PrepareLine(!IsConnectionStep(first)))
        return {502, DumpJson({{"error", "register " + FConfig.Name + " cannot be opened"},
                               {"open", std::move(*open)}})};

    const TJson steps = batch ? Requests : TJson::array({Requests});
    TJson answers = TJson::array();
    bool connectionStep = false;
    for (const TJson& request : steps) {
        if (Stopping()) {
            TJson stopped = TJson::object();
            if (request.is_object() && request.contains("id")) stopped["id"] = request["id"];
            stopped["ok"] = false;
            stopped["error"] = "the hub is stopping";
            answers.push_back(std::move(stopped));
            break;
        }
        answers.push_back(AnswerRequest(FDriver, request));
        connectionStep = connectionStep || IsConnectionStep(request);
        const TJson& answer = answers.back();
        if (Succeeded(answer)) {
            const auto op = request.find("op");
            if (op != request.end() && op->is_string() &&
                PrintsDocument(op->get_ref<const std::string&>())) {
                const std::lock_guard lock(FStateLock);
                ++FMetrics.Calls.Documents[op->get<std::string>()];
            }
            continue;
        }
        NoteLineFailure(answer);
        break;
    }
    // After a client's own Open or Close the register stays as that left it:
    // closed until a client opens it.
    if (connectionStep) FKeepOpen = FDriver.Connected();
    UpdateState();
    // Ids come back as the client wrote them, a large number too.
    TReply reply{200, DumpAnswer(batch ? answers : answers.front(), Body)};
    reply.Failed = !Succeeded(answers.back());
    return reply;
}

}  // namespace kest::hub
