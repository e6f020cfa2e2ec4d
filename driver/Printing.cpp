// The printer and the attached devices outside fiscal documents: free text
// for the printer and the customer display, paper feed and cut, the
// display's baud rate and pulses on the external-device channels.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

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

constexpr int MaxFeedLines = 127;
constexpr int MaxInterval = 127;
constexpr int MaxPulseCount = 255;

}  // namespace

// -- Device output

bool TKestorFPrt::SendDevBytes(uint8_t Cmd, std::string_view Data) {
    try {
        for (const char byte : Data) {
            SendData(&byte, 1);
            if (WaitResponse(Cmd)) {
                // The register ended the output by itself: its answer ends the call.
                ReceiveResponse(Cmd, nullptr, 0);
                return true;
            }
        }
    } catch (const EKestBadResponse&) {
        DiscardLeftovers();
        throw;
    } catch (const EKestNoResponse&) {
        DiscardLeftovers();
        throw;
    }
    return false;
}

void TKestorFPrt::SendDevData(uint8_t Cmd, std::u16string_view Text, bool Open, bool Close) {
    // Coded before anything is sent: a text that cannot be coded leaves the
    // register as it was.
    std::string coded(Text.size() + 1, '\0');
    EncodeString(Text, coded, FCoding);
    std::string data = UnescapeData(coded);
    if (Close) data.append(2, Esc);

    if (Open) TransferSimple(Cmd, mctInternal);
    if (data.empty()) return;

    CorrectTimeouts(Cmd, mctExternal);
    try {
        bool answered = false;
        if (FProtocol == mprXOnXoff) {
            // One write; the register paces it with XOFF and XON.
            for (size_t at = 0; at < data.size();) {
                const size_t n =
                    std::min<size_t>(data.size() - at, std::numeric_limits<int>::max());
                SendData(data.data() + at, static_cast<int>(n));
                at += n;
            }
        } else {
            answered = SendDevBytes(Cmd, data);
        }
        if (Close && !answered) WaitAndReceiveResponse(Cmd, nullptr, 0, mctExternal);
    } catch (...) {
        EndExchange();
        throw;
    }
    EndExchange();
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
