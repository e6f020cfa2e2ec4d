// The exchange engine: one request frame out, acknowledgements and
// device-status notices waited through, one answer frame in and checked.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using kest::msg::BadResponse;

constexpr uint8_t Stx = 0x02;
constexpr uint8_t Etx = 0x03;
constexpr uint8_t Enq = 0x05;
constexpr uint8_t Ack = 0x06;
constexpr uint8_t RetryReply = 0x04;
constexpr uint8_t CancelReply = 0x01;

constexpr uint8_t CmdBaudRate = 'C';  // answered at the old rate; its end byte is not checked
constexpr uint8_t CmdDisplay = '^';   // the only command whose notices concern the display
constexpr uint8_t CmdRepeat = 'O';    // these two answer with the echo of the
constexpr uint8_t CmdI = 'I';         // repeated command
constexpr int ErrInterrupted = 10;    // the register's answer to a cancel reply

constexpr int HeaderSize = 15;
// An answer of unknown length longer than this is no answer of the register's.
constexpr int MaxUnknownLength = 65536;
// Longer than any answer of known length (the counters block is 351 bytes).
constexpr int MaxAnswerBytes = 1024;

std::string_view View(const void* Data, size_t Size) {
    return {static_cast<const char*>(Data), Size};
}

}  // namespace

void TKestorFPrt::Transfer(uint8_t Cmd, TKestCmdType CmdType, const void* InData, int InSize,
                           void* OutData, int OutSize) {
    CorrectTimeouts(Cmd, CmdType);
    try {
        SendRequest(Cmd, InData, InSize);
        WaitAndReceiveResponse(Cmd, OutData, OutSize, CmdType);
    } catch (...) {
        EndExchange();
        throw;
    }
    EndExchange();
}

void TKestorFPrt::TransferOut(uint8_t Cmd, TKestCmdType CmdType, const void* InData, int InSize) {
    Transfer(Cmd, CmdType, InData, InSize, nullptr, 0);
}

void TKestorFPrt::TransferIn(uint8_t Cmd, TKestCmdType CmdType, void* OutData, int OutSize) {
    Transfer(Cmd, CmdType, nullptr, 0, OutData, OutSize);
}

void TKestorFPrt::TransferSimple(uint8_t Cmd, TKestCmdType CmdType) {
    Transfer(Cmd, CmdType, nullptr, 0, nullptr, 0);
}

void TKestorFPrt::TransferBlocks(uint8_t Cmd, TKestCmdType CmdType,
                                 std::span<const std::string_view> Blocks) {
    CorrectTimeouts(Cmd, CmdType);
    try {
        uint8_t bcc = StartRequest(Cmd);
        for (const std::string_view block : Blocks)
            DataRequest(block.data(), static_cast<int>(block.size()), bcc);
        FinishRequest(bcc);
        WaitAndReceiveResponse(Cmd, nullptr, 0, CmdType);
    } catch (...) {
        EndExchange();
        throw;
    }
    EndExchange();
}

void TKestorFPrt::EndExchange() {
    FFrameOpen = false;
    FInternalTimeoutInForce = false;
    FExternalTimeoutInForce = false;
}

void TKestorFPrt::CorrectTimeouts(uint8_t Cmd, TKestCmdType CmdType) {
    int64_t ms;
    if (CmdType == mctInternal || (CmdType == mctProtocol && FProtocol == mprBS)) {
        ms = FInternalTimeout;
        FInternalTimeoutInForce = true;
    } else {
        ms = FExternalTimeout;
        FExternalTimeoutInForce = true;
    }
    if (Cmd == CmdBaudRate) ms += 500;
    // A time-out near INT_MAX means "as long as it takes"; it must not wrap.
    const int t = static_cast<int>(std::min<int64_t>(ms, std::numeric_limits<int>::max()));
    try {
        SetCommTimeouts({t, 50, t, 50, t});
    } catch (...) {
        EndExchange();
        throw;
    }
}

uint8_t TKestorFPrt::StartRequest(uint8_t Cmd) {
    ClearPort();
    FFrameOpen = true;
    SendData(&Stx, 1);
    char head[6];
    char password[5];
    EncodeString(FPassword, password, FCoding);
    head[0] = static_cast<char>(Cmd);
    std::memcpy(head + 1, password, 4);
    head[5] = 0;
    SendData(head, sizeof head);
    return CountBCC(head, sizeof head);
}

void TKestorFPrt::DataRequest(const void* Data, int Size, uint8_t& BCC) {
    if (Size > 0) SendData(Data, Size);
    BCC = static_cast<uint8_t>(BCC + CountBCC(Data, Size));
}

void TKestorFPrt::FinishRequest(uint8_t BCC) {
    char digits[2];
    ByteToHex(BCC, digits);
    SendData(digits, sizeof digits);
    FFrameOpen = false;
    SendData(&Etx, 1);
}

void TKestorFPrt::SendRequest(uint8_t Cmd, const void* Data, int Size) {
    uint8_t bcc = StartRequest(Cmd);
    DataRequest(Data, Size, bcc);
    FinishRequest(bcc);
}

bool TKestorFPrt::WaitResponse(uint8_t Cmd) {
    using TClock = std::chrono::steady_clock;
    // When the application first cancelled. A register that goes on with
    // notices instead of answering the cancel must not hang the application:
    // past the external time-out it counts as one that does not answer, as
    // with ACKs. A retry is the application's own choice to wait.
    std::optional<TClock::time_point> cancelled;
    const auto overdue = [this](TClock::time_point Since) {
        return FExternalTimeout > 0 &&
               TClock::now() - Since > std::chrono::milliseconds(FExternalTimeout);
    };
    for (;;) {
        uint8_t byte = 0;
        ReceiveData(&byte, 1, true);
        if (byte == Stx) return true;
        if (byte == Ack) return false;
        if (byte != Enq) throw BadResponse(kest::msg::brUnexpected);

        // A device-status notice: the register waits for its printer or display.
        char status[2];
        ReceiveData(status, sizeof status, true);
        FRawDevStatus = HexToByte(View(status, sizeof status));
        UpdateDevStatus();
        if (cancelled && overdue(*cancelled)) {
            ThenIdle([&] { AskNoResponse(); });
            cancelled = TClock::now();
        }
        const bool display = Cmd == CmdDisplay;
        ChangeConnState(display ? mcsDisplayError : mcsPrinterError);
        ThenIdle([&] {
            FRetryOperation = false;
            std::exception_ptr handlerError;
            ++FDevErrorDepth;
            try {
                display ? DoDisplayError() : DoPrinterError();
            } catch (...) {
                handlerError = std::current_exception();
            }
            --FDevErrorDepth;

            if (handlerError) {
                // The register still waits: cancel, take its answer, then report
                // what the handler raised (unless the answer brings worse news).
                CorrectTimeouts(Cmd, mctExternal);
                SendData(&CancelReply, 1);
                for (auto since = TClock::now();;) {
                    ReceiveData(&byte, 1, true);
                    if (byte == Stx) break;
                    if (overdue(since)) {
                        ThenIdle([&] { AskNoResponse(); });
                        since = TClock::now();
                    }
                }
                try {
                    ReceiveResponse(Cmd, nullptr, -1);
                } catch (const EKestEcrError& e) {
                    if (e.ErrCodeEx() != ErrInterrupted) throw;
                }
                std::rethrow_exception(handlerError);
            }
            if (FRetryOperation) {
                SendData(&RetryReply, 1);
                cancelled.reset();
            } else {
                CorrectTimeouts(Cmd, mctExternal);
                SendData(&CancelReply, 1);
                if (!cancelled) cancelled = TClock::now();
            }
        });
    }
}

void TKestorFPrt::WaitAndReceiveResponse(uint8_t Cmd, void* OutData, int OutSize,
                                         TKestCmdType CmdType) {
    using TClock = std::chrono::steady_clock;
    try {
        if (!WaitResponse(Cmd)) {
            // Older registers acknowledge a command that takes long: wait for it
            // as for a printing one.
            if ((FGeneration == 0 || FGeneration == 1) && CmdType != mctExternal)
                CorrectTimeouts(Cmd, mctExternal);
            // A register that acknowledges without end must not hang the
            // application: past the external time-out of ACKs it counts as
            // one that does not answer, and the application may keep waiting
            // for another such time. A time-out of 0 waits without limit.
            auto since = TClock::now();
            while (!WaitResponse(Cmd)) {
                if (FExternalTimeout <= 0 ||
                    TClock::now() - since <= std::chrono::milliseconds(FExternalTimeout))
                    continue;
                ThenIdle([&] { AskNoResponse(); });
                since = TClock::now();
            }
        }
        ReceiveResponse(Cmd, OutData, OutSize);
    } catch (const EKestBadResponse&) {
        DiscardLeftovers();
        throw;
    } catch (const EKestNoResponse&) {
        DiscardLeftovers();
        throw;
    }
}

void TKestorFPrt::DiscardLeftovers() {
    using TClock = std::chrono::steady_clock;
    // The rest of a bad answer, or a late one, is still on its way; read as
    // the next answer it would spoil the next command. Quiet means no byte
    // for ten byte times (a byte is 10 bits), and never less than 20 ms, as
    // USB adapters pass bytes on in bursts some milliseconds apart. A line
    // that never falls quiet is left after the time of a long answer.
    const int byteUs = 10'000'000 / FBaudRate;
    const int limit = std::max(FInternalTimeout, 1);
    const int quiet = std::min(std::max(20, (10 * byteUs + 999) / 1000), limit);
    const auto until =
        TClock::now() + std::max(std::chrono::milliseconds(limit),
                                 std::chrono::milliseconds(MaxAnswerBytes * byteUs / 1000));
    try {
        SetCommTimeouts({quiet, 0, quiet, 50, quiet});
        uint8_t buf[256];
        while (ReceiveData(buf, sizeof buf, false) > 0 && TClock::now() < until) {}
    } catch (...) {
        // An abort or a closed line ends the clean-up; the answer's fault is
        // the one to report.
    }
}

void TKestorFPrt::ReadExact(void* Buffer, int Count) {
    auto* p = static_cast<uint8_t*>(Buffer);
    while (Count > 0) {
        const int n = ReceiveData(p, Count, false);
        if (std::memchr(p, Etx, static_cast<size_t>(n))) throw BadResponse(kest::msg::brFormat);
        p += n;
        Count -= n;
        if (Count > 0) ThenIdle([&] { AskNoResponse(); });
    }
}

void TKestorFPrt::ReceiveResponse(uint8_t Cmd, void* OutData, int OutSize) {
    uint8_t header[HeaderSize];
    ReadExact(header, HeaderSize);
    uint8_t bcc = CountBCC(header, HeaderSize);
    const uint16_t error = HexToWord(View(header + 7, 4));
    if (error != 0) OutSize = 0;  // a refusal carries no data

    char bccText[2];
    uint8_t end = Etx;
    if (OutSize >= 0) {
        ReadExact(OutData, OutSize);
        bcc = static_cast<uint8_t>(bcc + CountBCC(OutData, OutSize));
        ReadExact(bccText, sizeof bccText);
        ReceiveData(&end, 1, true);
    } else {
        std::string rest;
        for (;;) {
            uint8_t byte = 0;
            ReceiveData(&byte, 1, true);
            if (byte == Etx) break;
            if (rest.size() >= MaxUnknownLength) throw BadResponse(kest::msg::brFormat);
            rest += static_cast<char>(byte);
        }
        if (rest.size() < 2) throw BadResponse(kest::msg::brFormat);
        bcc = static_cast<uint8_t>(bcc + CountBCC(rest.data(), static_cast<int>(rest.size() - 2)));
        std::memcpy(bccText, rest.data() + rest.size() - 2, 2);
    }

    if (end != Etx && Cmd != CmdBaudRate) throw BadResponse(kest::msg::brUnexpected);
    if (HexToByte(View(bccText, sizeof bccText)) != bcc) throw BadResponse(kest::msg::brChecksum);
    CheckSeparators({static_cast<char>(header[1]), static_cast<char>(header[6]),
                     static_cast<char>(header[11]), static_cast<char>(header[14])});
    FRawEcrStatus = HexToWord(View(header + 2, 4));
    UpdateEcrStatus();
    FRawDevStatus = HexToByte(View(header + 12, 2));
    UpdateDevStatus();
    // The status words are up to date even when the register refused.
    if (error != 0) throw EKestEcrError(error);
    if (Cmd != CmdI && Cmd != CmdRepeat && header[0] != Cmd)
        throw BadResponse(kest::msg::brUnexpected);
}
