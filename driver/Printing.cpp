// The printer and the attached devices outside fiscal documents: free text
// for the printer and the customer display, paper feed and cut, the
// display's baud rate and pulses on the external-device channels.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdPrinter = '6';
constexpr uint8_t CmdDisplay = '^';
constexpr uint8_t CmdPulse = '8';
constexpr uint8_t CmdDisplayRate = 'C';
constexpr uint8_t CmdFeed = 'R';

constexpr char Esc = 0x1B;  // two of them end the register's output mode
constexpr uint8_t Stx = 0x02;
constexpr uint8_t Xon = 0x11;  // a line that passes flow control on as data
constexpr uint8_t Xoff = 0x13;

constexpr int MaxFeedLines = 127;
constexpr int MaxInterval = 127;
constexpr int MaxPulseCount = 255;

// The register leaves output mode at the first ESC ESC: a part may not make
// one, alone, with the ESC that ended the part before, or with the first
// byte of the terminator.
bool EndsOutput(std::string_view Text, bool EscBefore, bool Close) {
    bool esc = EscBefore;
    for (const char c : Text) {
        if (esc && c == Esc) return true;
        esc = c == Esc;
    }
    return Close && esc;
}

}  // namespace

// -- Device output

bool TKestorFPrt::SendDevBytes(uint8_t Cmd, std::string_view Data, bool Close) {
    try {
        for (size_t i = 0; i < Data.size(); ++i) {
            SendData(&Data[i], 1);
            if (!WaitResponse(Cmd)) continue;
            // The register ended the output: a refusal in its answer is the
            // failure to report.
            ReceiveResponse(Cmd, nullptr, 0);
            if (Close && i + 1 == Data.size()) return true;  // in place of the last ACK
            // Before the text's end, or before the terminator: the rest of
            // the text would go to a register reading frames.
            throw BadResponse(brOutputEnded);
        }
    } catch (const EKestBadResponse& e) {
        if (e.ErrCodeEx() != brOutputEnded) DiscardLeftovers();
        throw;
    } catch (const EKestNoResponse&) {
        DiscardLeftovers();
        throw;
    }
    return false;
}

void TKestorFPrt::CheckOutputGoesOn(uint8_t Cmd) {
    // While it takes text the register sends nothing on XON/XOFF: a byte
    // that has come (other than the flow control a device server may pass
    // on) begins the answer of an output it ended. A look costs a millisecond.
    TKestCommTimeouts look = CommTimeouts();
    look.ReadInterval = look.ReadConstant = 1;
    look.ReadMultiplier = 0;
    uint8_t byte = 0;
    try {
        do {
            SetCommTimeouts(look);
            const int n = ReceiveData(&byte, 1, false);
            CorrectTimeouts(Cmd, mctExternal);
            if (n == 0) return;
        } while (byte == Xon || byte == Xoff);
        if (byte != Stx) throw BadResponse(brUnexpected);
        ReceiveResponse(Cmd, nullptr, 0);
    } catch (const EKestBadResponse&) {
        DiscardLeftovers();
        throw;
    } catch (const EKestNoResponse&) {
        DiscardLeftovers();
        throw;
    }
    throw BadResponse(brOutputEnded);
}

void TKestorFPrt::SendDevData(uint8_t Cmd, std::u16string_view Text, bool Open, bool Close) {
    // Coded and checked before anything is sent: a text that cannot be coded,
    // or that would end the output before its end, leaves the register as it was.
    std::string coded(Text.size() + 1, '\0');
    EncodeString(Text, coded, FCoding);
    std::string data = UnescapeData(coded);
    bool& escSent = Cmd == CmdDisplay ? FDisplayEscSent : FPrinterEscSent;
    const bool escBefore = !Open && escSent;
    CheckArg(!EndsOutput(data, escBefore, Close), iaOutputEnd);
    // What the register took last is known again once this part went out whole.
    escSent = false;
    const bool escAfter = !Close && (data.empty() ? escBefore : data.back() == Esc);
    if (Close) data.append(2, Esc);

    if (Open) TransferSimple(Cmd, mctInternal);
    if (data.empty()) {
        escSent = escAfter;
        return;
    }

    CorrectTimeouts(Cmd, mctExternal);
    try {
        bool answered = false;
        if (FProtocol == mprXOnXoff) {
            // An output ended during the part before is found before this one goes.
            if (!Open) CheckOutputGoesOn(Cmd);
            // One write; the register paces it with XOFF and XON.
            for (size_t at = 0; at < data.size();) {
                const size_t n =
                    std::min<size_t>(data.size() - at, std::numeric_limits<int>::max());
                SendData(data.data() + at, static_cast<int>(n));
                at += n;
            }
            if (!Close) CheckOutputGoesOn(Cmd);
        } else {
            answered = SendDevBytes(Cmd, data, Close);
        }
        if (Close && !answered) WaitAndReceiveResponse(Cmd, nullptr, 0, mctExternal);
    } catch (...) {
        EndExchange();
        throw;
    }
    EndExchange();
    escSent = escAfter;
}

void TKestorFPrt::PrintNonFiscal(std::u16string_view Text, bool Open, bool Close) {
    RunCmd([&] {
        CheckConnected();
        SendDevData(CmdPrinter, Text, Open, Close);
    });
}

void TKestorFPrt::ShowDisplay(std::u16string_view Text, bool Open, bool Close) {
    RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usDisplay);
        SendDevData(CmdDisplay, Text, Open, Close);
    });
}

// -- Paper, display line, external devices

void TKestorFPrt::FeedAndCut(int Lines, bool Cut) {
    RunCmd([&] {
        CheckConnected();
        if (FGeneration < 2) throw EKestUnsupported(usFeed);
        CheckArg(Lines >= -MaxFeedLines && Lines <= MaxFeedLines, iaFeedLines);
        int mode = Cut ? 1 : 0;
        if (Lines < 0) {
            CheckArg(!GenerationIn({3, 7}), iaFeedDirection);
            mode |= 2;
        }
        char request[6] = {};
        ByteToHex(static_cast<uint8_t>(std::abs(Lines)), std::span(request, 2));
        ByteToHex(static_cast<uint8_t>(mode), std::span(request + 3, 2));
        TransferOut(CmdFeed, mctProtocol, request, sizeof request);
    });
}

void TKestorFPrt::SetDisplayBaudRate(int Rate) {
    RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usDisplay);
        char code;
        switch (Rate) {
            case 9600:
                code = '4';
                break;
            case 19200:
                code = '5';
                break;
            case 57600:
                code = '6';
                break;
            case 115200:
                code = '7';
                break;
            default:
                throw InvalidArg(iaBaudRate);
        }
        // The register's own line keeps its rate: the port is not touched.
        const char request[2] = {code, 0};
        TransferOut(CmdDisplayRate, mctInternal, request, sizeof request);
    });
}

void TKestorFPrt::ExternalPulse(int Channel, int FirstInterval, int SecondInterval, int Count) {
    RunCmd([&] {
        CheckConnected();
        CheckArg(Channel == 1 || Channel == 2, iaPulseChannel);
        CheckArg(FirstInterval >= 0 && FirstInterval <= MaxInterval, iaPulseInterval);
        CheckArg(SecondInterval >= 0 && SecondInterval <= MaxInterval, iaPulseInterval);
        CheckArg(Count >= 0 && Count <= MaxPulseCount, iaPulseCount);
        char request[11] = {};
        request[0] = static_cast<char>('0' + Channel - 1);
        ByteToHex(static_cast<uint8_t>(FirstInterval), std::span(request + 2, 2));
        ByteToHex(static_cast<uint8_t>(SecondInterval), std::span(request + 5, 2));
        ByteToHex(static_cast<uint8_t>(Count), std::span(request + 8, 2));
        TransferOut(CmdPulse, mctProtocol, request, sizeof request);
    });
}
