#include "Register.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "Documents.h"
#include "Services.h"
#include "StateFile.h"

namespace kest::emu {

namespace {

constexpr size_t MaxFrame = 65536;  // longer input is no request (the largest is ~18 KB)
// The device status byte of a printer that stopped: DevReady clear.
constexpr uint8_t DevStopped = 0x00;
constexpr char HexDigits[] = "0123456789ABCDEF";

std::string Hex2(uint8_t Value) {
    return {HexDigits[Value >> 4], HexDigits[Value & 0x0F]};
}
std::string Hex4(uint16_t Value) {
    return Hex2(Value >> 8) + Hex2(Value & 0xFF);
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;  // the register takes upper-case digits only
}

uint8_t Sum(std::string_view Bytes) {
    unsigned sum = 0;
    for (char c : Bytes)
        sum += static_cast<uint8_t>(c);
    return static_cast<uint8_t>(sum);
}

std::string HexDump(std::string_view Bytes) {
    std::string out;
    for (char c : Bytes)
        out += " " + Hex2(static_cast<uint8_t>(c));
    return out;
}

constexpr bool IsRateKnown(int Rate) {
    return Rate == 9600 || Rate == 19200 || Rate == 57600 || Rate == 115200;
}

}  // namespace

TRegister::TRegister(const TConfig& Config) : FConfig(Config) {
    const TModelInfo& info = ModelInfo(Config.Model);
    if (FConfig.Firmware.empty()) FConfig.Firmware = info.Firmware;
    if (FConfig.ModelName.empty()) FConfig.ModelName = info.Name;
    const std::u16string serial = FromUtf8(FConfig.Serial);
    const std::u16string password = FromUtf8(FConfig.Password);
    if (serial.size() > 7)
        throw std::invalid_argument("the serial number has 7 characters at most");
    if (password.size() > 4) throw std::invalid_argument("the password has 4 characters at most");
    if (!IsRateKnown(FConfig.BaudRate))
        throw std::invalid_argument("no register runs at " + std::to_string(FConfig.BaudRate));

    FState.Model = &info;
    FState.Coding = info.Coding;
    FState.Generation = GenerationOf(FConfig.Model, FConfig.Firmware);
    if (FConfig.XonXoff && FState.Generation <= 1)
        throw std::invalid_argument("generation 1 registers have no XON/XOFF protocol");
    FState.Serial = TextField(serial, 7, info.Coding);
    FState.ModelName = TextField(FConfig.ModelName, 30, info.Coding);
    FState.Manufacturer = TextField(u"ЗАО \"Кестор\"", 30, info.Coding);
    FState.Firmware = TextField(FromUtf8(FConfig.Firmware), 30, info.Coding);
    FState.Password = TextField(password, 4, info.Coding).substr(0, 4);
    FState.BaudRate = FConfig.BaudRate;
    FState.Status = FConfig.XonXoff ? EcrXonXoff : 0;
    InitServiceState(FState, FConfig);

    if (FConfig.StateFile.empty()) return;
    FStateFile = std::make_unique<TStateFile>(FConfig.StateFile);
    if (!FStateFile->Load(FState, FConfig.Firmware)) {
        FStateFile->Save(FState, FConfig.Firmware);
        return;
    }
    // What the register kept is in force.
    FConfig.Serial = ToUtf8(TKestorFPrt::DecodeString(
        std::string_view(FState.Serial).substr(0, FState.Serial.find('\0')), FState.Coding));
    FConfig.Password = Password();
    FConfig.BaudRate = FState.BaudRate;
    FConfig.XonXoff = FState.Status & EcrXonXoff;
}

void TRegister::Receive(std::string_view Bytes, TClock::time_point Now, int LineRate) {
    for (char c : Bytes) {
        // In output mode every byte is text, whatever it is.
        if (FState.Output.Command != 0) {
            TakeOutput(c, Now);
            continue;
        }
        if (!FFrame.empty() && Now - FFrameLast >= FrameIdle) FFrame.clear();
        if (c == Stx) {
            if (!FFrame.empty()) Log("dropped unfinished", FFrame);
            FFrame.assign(1, Stx);
            FFrameLast = Now;
        } else if (!FFrame.empty()) {
            FFrame += c;
            FFrameLast = Now;
            if (c == Etx) {
                HandleFrame(std::exchange(FFrame, {}), Now, LineRate);
            } else if (FFrame.size() > MaxFrame) {
                Log("dropped overlong", FFrame.substr(0, 16));
                FFrame.clear();
            }
        } else if (c == RetryReply || c == CancelReply || c == InWaitRequest) {
            HandleReply(c, Now);
        }
    }
}

std::string TRegister::Poll(TClock::time_point Now) {
    if (!FFrame.empty() && Now - FFrameLast >= FrameIdle) {
        Log("dropped unfinished", FFrame);
        FFrame.clear();
    }
    if (FWaiting && Now >= FReplyDeadline) {
        Log("no reply to the notice, dropped", {});
        FWaiting.reset();
        FNotices = 0;
    }
    while (FNextAck && *FNextAck <= Now) {
        Queue(*FNextAck, std::string(1, Ack), "ack");
        *FNextAck += std::max(FAckInterval, std::chrono::milliseconds(StuckAckInterval));
    }
    while (FNextNotice && *FNextNotice <= Now) {
        Queue(*FNextNotice, Enq + Hex2(FNoticeByte), "notice");
        *FNextNotice += EndlessNoticeInterval;
    }
    std::string out;
    while (!FQueue.empty() && FQueue.front().At <= Now) {
        const TOutput o = std::move(FQueue.front());
        FQueue.pop_front();
        if (o.Label) Log(o.Label, o.Bytes);
        if (o.HangUp) {
            // Whatever was half received or awaited a reply is gone with the line.
            FHangUpDue = true;
            FFrame.clear();
            FWaiting.reset();
            FNotices = 0;
            break;
        }
        if (o.Bytes.size() == 1 && (o.Bytes[0] == Xoff || o.Bytes[0] == Xon))
            FXoffSent = o.Bytes[0] == Xoff;
        out += o.Bytes;
    }
    return out;
}

TRegister::TClock::time_point TRegister::NextDeadline() const {
    TClock::time_point next = TClock::time_point::max();
    if (!FQueue.empty()) next = FQueue.front().At;
    if (!FFrame.empty()) next = std::min(next, FFrameLast + FrameIdle);
    if (FWaiting) next = std::min(next, FReplyDeadline);
    if (FNextAck) next = std::min(next, *FNextAck);
    if (FNextNotice) next = std::min(next, *FNextNotice);
    return next;
}

void TRegister::InjectFault(TFault Fault, int Count) {
    FFaults[static_cast<int>(Fault)] = Count;
}

void TRegister::SetAcks(int Count, std::chrono::milliseconds Interval) {
    FAcks = Count < 0 ? -1 : Count;
    FAckInterval = std::max(Interval, std::chrono::milliseconds{0});
    // A register stuck at work that comes back has forgotten the request.
    if (FAcks >= 0) FNextAck.reset();
}

void TRegister::SetNotices(int Count, uint8_t DeviceByte, std::string Commands) {
    FNotices = std::max(Count, 0);
    FNoticeByte = DeviceByte;
    FNoticeCommands = std::move(Commands);
}

void TRegister::HoldXoff(std::chrono::milliseconds Time, TClock::time_point Now) {
    Insert(Now, std::string(1, Xoff), "xoff");
    if (Time >= std::chrono::milliseconds{0}) Insert(Now + Time, std::string(1, Xon), "xon");
}

std::string TRegister::Password() const {
    return ToUtf8(TKestorFPrt::DecodeString(FState.Password, FState.Coding));
}

void TRegister::HandleFrame(std::string Frame, TClock::time_point Now, int LineRate) {
    Log("request", Frame);
    Remember(Frame);
    ++FFrameCount;
    // The register reads bytes sent at another rate as noise.
    if (LineRate != 0 && LineRate != FState.BaudRate) {
        Log("line at " + std::to_string(LineRate) + ", ignored", {});
        return;
    }
    TRequest request = Check(Frame);
    if (request.Code == 0) return;
    // A new request while a notice awaits its reply: the host has given up.
    if (FWaiting) {
        FWaiting.reset();
        FNotices = 0;
    }
    FNextNotice.reset();

    TClock::time_point at = std::max(Now, FQueueEnd);
    if (FAcks < 0) {
        // Stuck at work: acknowledged from now on, never answered.
        FNextAck = at;
        return;
    }
    if (int& endless = FFaults[static_cast<int>(TFault::EndlessNotices)]; endless != 0) {
        // The printer never gets ready, and no reply is waited for.
        if (endless > 0) --endless;
        FNextNotice = at;
        return;
    }
    for (int i = 0; i < FAcks; ++i)
        at = Queue(at, std::string(1, Ack), "ack") + FAckInterval;
    const char code = static_cast<char>(request.Code);
    if (FNotices > 0 &&
        (FNoticeCommands.empty() || FNoticeCommands.find(code) != std::string::npos)) {
        FWaiting = std::move(request);
        SendNotice(at);
    } else {
        Respond(request, at);
    }
}

TRegister::TRequest TRegister::Check(std::string_view Frame) const {
    const std::string_view body = Frame.substr(1, Frame.size() - 2);  // without STX, ETX
    TRequest request;
    if (body.empty()) return request;
    request.Code = static_cast<uint8_t>(body[0]);
    // Code, password, separator and the BCC digits at least.
    if (body.size() < 8) {
        request.Error = ecBadFormat;
        return request;
    }
    const std::string_view summed = body.substr(0, body.size() - 2);
    const int high = HexDigit(body[body.size() - 2]), low = HexDigit(body[body.size() - 1]);
    if (high < 0 || low < 0 || high * 16 + low != Sum(summed)) {
        request.Error = ecBadBcc;
    } else if (body[5] != '\0') {
        request.Error = ecBadFormat;
    } else if (body.substr(1, 4) != FState.Password) {
        request.Error = ecBadPassword;
    } else if (const TCommand* command = FindCommand(request.Code, FState); !command) {
        request.Error = ecNoCommand;
    } else if (command->DataSize != VariableSize &&
               summed.size() - 6 != static_cast<size_t>(command->DataSize)) {
        request.Error = ecBadFormat;
    } else {
        request.Command = command;
        request.Data = summed.substr(6);
    }
    return request;
}

void TRegister::HandleReply(char Reply, TClock::time_point Now) {
    Remember(std::string(1, Reply));
    Log("reply", std::string_view(&Reply, 1));
    if (!FWaiting) return;
    const TClock::time_point at = std::max(Now, FQueueEnd);
    switch (Reply) {
        case RetryReply:
            if (FNotices > 0) {
                SendNotice(at);
            } else {
                const TRequest request = std::move(*FWaiting);
                FWaiting.reset();
                Respond(request, at);
            }
            break;
        case CancelReply: {
            const uint8_t code = FWaiting->Code;
            FWaiting.reset();
            FNotices = 0;
            QueueAnswer(at, code, ecInterrupted, FNoticeByte, {});
            break;
        }
        case InWaitRequest:
            if (FState.HasExtendedStatus) {
                const auto sent =
                    Queue(at, BuildFrame('\\', ecOk, FNoticeByte, ExtendedStatusAnswer(FState), {}),
                          "status");
                FReplyDeadline = sent + ReplyWait;
            }
            break;
    }
}

void TRegister::TakeOutput(char Byte, TClock::time_point Now) {
    const uint8_t command = FState.Output.Command;
    bool ended = false;
    const int error = TakeOutputByte(FState, Byte, ended);
    if (ended && command == '^') Log(FState.Paper.substr(0, FState.Paper.size() - 1), {});
    if (!HandPaper()) FOutputUnprinted = true;
    const auto answer = [&](TClock::time_point At) {
        Log("output ended", {});
        // Text the tape did not take is not reported as printed or shown.
        if (std::exchange(FOutputUnprinted, false))
            QueueAnswer(At, command, command == '^' ? ecDisplayTimeout : ecPrinterTimeout,
                        DevStopped, {});
        else
            QueueAnswer(At, command, error, DevReady, {});
    };
    if (!XonXoffProtocol(FState)) {
        // BS: an ACK for every byte the register took, the answer after the
        // last one, or in place of the ACK for one it refuses.
        if (error == ecOk) Queue(Now, std::string(1, Ack), nullptr);
        if (ended) answer(Now);
        return;
    }
    if (FXonAt && Now >= *FXonAt) {  // printed meanwhile
        FXonAt.reset();
        FBuffered = 0;
    }
    if (ended) {
        // The answer once the printer has printed what the buffer holds.
        answer(FXonAt ? *FXonAt : Now);
        FXonAt.reset();
        FBuffered = 0;
    } else if (++FBuffered >= InputBuffer && !FXonAt) {
        const int lines = (FBuffered + PaperWidth - 1) / PaperWidth;
        FXonAt = Now + FConfig.LineTime * lines;
        Insert(Now, std::string(1, Xoff), "xoff");
        Insert(*FXonAt, std::string(1, Xon), "xon");
    }
}

TAnswer TRegister::Run(const TRequest& Request) {
    const TCommand& command = *Request.Command;
    if (!FStateFile && !FConfig.Tape) return command.Handler(FState, command, Request.Data);
    FUndo = FState;
    TAnswer answer = command.Handler(FState, command, Request.Data);
    if (!FStateFile) return answer;
    try {
        FStateFile->Save(FState, FConfig.Firmware);
    } catch (const std::runtime_error& e) {
        // A register that cannot write its memory does not do what it could
        // not keep.
        if (FWarn) FWarn(e.what());
        FState = std::move(*FUndo);
        FUndo.reset();
        return Refused(ecFiscalMemoryWrite);
    }
    return answer;
}

TAnswer TRegister::Unprinted(const TAnswer& Answer) {
    if (Answer.Registered) --FRegisteredCount;
    if (!FUndo) return Refused(ecPrinterTimeout);
    FState = std::move(*FUndo);
    try {
        if (FStateFile) FStateFile->Save(FState, FConfig.Firmware);
    } catch (const std::runtime_error& e) {
        // Kept in memory; the next change writes it.
        if (FWarn) FWarn(e.what());
    }
    return Refused(ecPrinterTimeout);
}

bool TRegister::HandPaper() {
    if (FState.Paper.empty()) return true;
    bool taken = true;
    try {
        if (FConfig.Tape) FConfig.Tape(FState.Paper);
    } catch (const std::exception& e) {
        if (FWarn) FWarn(std::string("tape: ") + e.what());
        taken = false;
    }
    FState.Paper.clear();
    return taken;
}

void TRegister::Respond(const TRequest& Request, TClock::time_point At) {
    TAnswer answer = Refused(Request.Error);
    if (Request.Error == ecOk) {
        answer = Run(Request);
        if (answer.Error == ecOk && answer.Data.size() != size_t(Request.Command->AnswerSize))
            throw std::logic_error("the answer to " + Hex2(Request.Code) + " has " +
                                   std::to_string(answer.Data.size()) + " bytes");
        if (answer.Registered) ++FRegisteredCount;
        int& interrupt = FFaults[static_cast<int>(TFault::InterruptedPrint)];
        if (answer.Registered && interrupt != 0) {
            if (interrupt > 0) --interrupt;
            MarkInterrupted(FState.Paper);
            answer.Error = ecInterrupted;
        }
        if (answer.Error != ecOk) answer.Data.clear();
    }
    // A print the tape did not take did not happen: the register answers as
    // its printer stopped, the command undone.
    const bool printed = HandPaper();
    if (!printed) answer = Unprinted(answer);
    FUndo.reset();
    for (int i = 0; i < answer.PrintAcks; ++i)
        At = Queue(At, std::string(1, Ack), "ack") + FAckInterval;
    const uint8_t echo = answer.Echo ? answer.Echo : Request.Code;
    QueueAnswer(At, echo, answer.Error, printed ? DevReady : DevStopped, std::move(answer.Data));
}

void TRegister::QueueAnswer(TClock::time_point At, uint8_t Echo, int Error, uint8_t Device,
                            std::string Data) {
    const std::array<bool, FaultCount> faults = TakeFaults();
    if (faults[static_cast<int>(TFault::HangUp)]) {
        FQueueEnd = std::max(At, FQueueEnd);
        Insert(TOutput{FQueueEnd, {}, "hang-up", true});
        return;
    }
    Queue(At, BuildFrame(Echo, Error, Device, std::move(Data), faults), "answer");
}

void TRegister::SendNotice(TClock::time_point At) {
    --FNotices;
    FReplyDeadline = Queue(At, Enq + Hex2(FNoticeByte), "notice") + ReplyWait;
}

TRegister::TClock::time_point TRegister::Queue(TClock::time_point At, std::string Bytes,
                                               const char* Label) {
    At = std::max(At, FQueueEnd);
    Insert(At, std::move(Bytes), Label);
    FQueueEnd = At;
    return At;
}

void TRegister::Insert(TClock::time_point At, std::string Bytes, const char* Label) {
    Insert(TOutput{At, std::move(Bytes), Label});
}

void TRegister::Insert(TOutput Output) {
    auto it = std::upper_bound(FQueue.begin(), FQueue.end(), Output.At,
                               [](TClock::time_point T, const TOutput& O) { return T < O.At; });
    FQueue.insert(it, std::move(Output));
}

std::string TRegister::BuildFrame(uint8_t Echo, int Error, uint8_t Device, std::string Data,
                                  const std::array<bool, FaultCount>& Faults) const {
    auto has = [&](TFault F) { return Faults[static_cast<int>(F)]; };
    if (has(TFault::NoAnswer)) return {};
    if (has(TFault::EtxInData) && !Data.empty()) Data[Data.size() / 2] = Etx;

    std::string frame(1, Stx);
    frame += static_cast<char>(has(TFault::WrongEcho) ? (Echo == 'E' ? '7' : 'E') : Echo);
    frame += '\0';
    frame += Hex4(FState.Status);
    frame += has(TFault::WrongSeparator) ? 'X' : '\0';
    frame += Hex4(static_cast<uint16_t>(Error));
    frame += '\0';
    frame += Hex2(Device);
    if (has(TFault::EtxInData) && Data.empty()) frame.back() = Etx;
    frame += '\0';
    frame += Data;
    // Summed over what is sent, so that each fault is the only one in the frame.
    uint8_t bcc = Sum(std::string_view(frame).substr(1));
    if (has(TFault::BadBcc)) ++bcc;
    frame += Hex2(bcc);
    frame += Etx;

    if (has(TFault::CutShort)) frame.resize(frame.size() / 2);
    if (has(TFault::Garbage)) frame.insert(0, "x?!");
    return frame;
}

std::array<bool, FaultCount> TRegister::TakeFaults() {
    std::array<bool, FaultCount> active{};
    // An interrupted print spoils a document's answer only, and Respond takes
    // it; endless notices come in place of an answer, HandleFrame takes them.
    for (int i = 0; i < static_cast<int>(TFault::InterruptedPrint); ++i) {
        active[i] = FFaults[i] != 0;
        if (FFaults[i] > 0) --FFaults[i];
    }
    return active;
}

void TRegister::Log(std::string_view What, std::string_view Bytes) const {
    if (FLog) FLog(std::string(What) + (Bytes.empty() ? "" : ":" + HexDump(Bytes)));
}

void TRegister::Remember(std::string Bytes) {
    if (FReceived.size() == ReceivedKept) FReceived.pop_front();
    FReceived.push_back(std::move(Bytes));
}

}  // namespace kest::emu
