// The printer and the devices outside fiscal documents: raw output to the
// printer "6" and the customer display "^", paper feed and cut "R" and pulses
// on the external-device channels "8". How the raw bytes travel (ACKs, XON
// and XOFF) is the line's business, in Register.cpp; here they are printed
// or shown.
#include "Documents.h"
#include "Fields.h"
#include "Services.h"

namespace kest::emu {

namespace {

constexpr char Esc = 0x1B;
constexpr int DisplayWidth = 20;  // characters a line of the customer display shows

bool OnPrinter(const TEcrState& State) {
    return State.Output.Command == '6';
}

// The line being printed or shown is complete.
void EndLine(TEcrState& State) {
    TOutputMode& out = State.Output;
    if (OnPrinter(State))
        State.Paper += ToUtf8(out.Line) + '\n';
    else
        out.Display.push_back(out.Line);
    out.Line.clear();
}

// Leaves output mode: the rest of the line is printed and the paper parted,
// or the display's lines are shown.
void EndOutput(TEcrState& State) {
    TOutputMode& out = State.Output;
    if (OnPrinter(State)) {
        if (!out.Line.empty()) EndLine(State);
        State.Paper += EndText(false);
    } else {
        if (!out.Line.empty()) EndLine(State);
        State.Paper += DisplayText(out.Display);
    }
    out = {};
}

// A byte count of two hex digits at Offset, 0..Max.
int ReadByte(std::string_view Data, size_t Offset, uint32_t Max, uint32_t& Value) {
    if (const int e = ReadHex(Data, Offset, 2, Value); e != ecOk) return e;
    return Value > Max ? ecOutOfRange : ecOk;
}

}  // namespace

// "6" and "^", bare: the register takes raw bytes from now on. The display
// may show text at any time; the printer not while a fiscal document is
// being printed.
TAnswer StartOutput(TEcrState& State, const TCommand& Command, std::string_view) {
    if (Command.Code == '6' && State.Documents.Open) return Refused(ecNotNow);
    State.Output = {};
    State.Output.Command = Command.Code;
    return Answered({});
}

int TakeOutputByte(TEcrState& State, char Byte, bool& Ended) {
    TOutputMode& out = State.Output;
    Ended = false;
    if (out.Escape) {
        out.Escape = false;
        if (Byte != Esc && !OnPrinter(State)) {
            // ESC and another byte is a command of the customer display,
            // passed on to it: ESC @ clears it.
            if (Byte == '@') out.Line.clear();
            return ecOk;
        }
        // ESC ESC ends the output; ESC and anything else would be a command
        // to the printer, and this register's printer takes none.
        Ended = true;
        EndOutput(State);
        return Byte == Esc ? ecOk : ecBadPrinterCommand;
    }
    switch (Byte) {
        case Esc:
            out.Escape = true;
            break;
        case '\n':
            EndLine(State);
            break;
        case '\r':
            break;
        default:
            out.Line += OutputChar(State, Byte);
            if (int(out.Line.size()) == (OnPrinter(State) ? PaperWidth : DisplayWidth))
                EndLine(State);
    }
    return ecOk;
}

// "R": the number of lines (2 hex digits, 0..127) and the mode (2 hex digits:
// 1 cut after feeding, 2 feed backwards, which generations 3 and 7 cannot).
// A register with its cutter switched off does not cut.
TAnswer FeedAndCut(TEcrState& State, const TCommand&, std::string_view Data) {
    constexpr uint32_t ModeCut = 1, ModeBackwards = 2;
    uint32_t lines = 0, mode = 0;
    if (const int e = ReadByte(Data, 0, 127, lines); e != ecOk) return Refused(e);
    if (const int e = ReadByte(Data, 3, ModeCut | ModeBackwards, mode); e != ecOk)
        return Refused(e);
    if ((mode & ModeBackwards) && (State.Generation == 3 || State.Generation == 7))
        return Refused(ecOutOfRange);
    if (State.Documents.Open) return Refused(ecNotNow);
    const bool cut = (mode & ModeCut) && !State.Settings.CutterDisabled;
    State.Paper += FeedText(int(lines), mode & ModeBackwards, cut);
    return Answered({}, PrintAcks);
}

// "8": the channel less one ("0" or "1"), the two intervals (2 hex digits,
// 0..127) and the pulse count (2 hex digits).
TAnswer ExternalPulse(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t channel = 0;
    uint32_t first = 0, second = 0, count = 0;
    if (const int e = ReadNumber(Data, 0, 1, channel); e != ecOk) return Refused(e);
    if (const int e = ReadByte(Data, 2, 127, first); e != ecOk) return Refused(e);
    if (const int e = ReadByte(Data, 5, 127, second); e != ecOk) return Refused(e);
    if (const int e = ReadByte(Data, 8, 255, count); e != ecOk) return Refused(e);
    if (channel > 1) return Refused(ecOutOfRange);
    State.Paper += PulseText(int(channel) + 1, int(first), int(second), int(count));
    return Answered({});
}

}  // namespace kest::emu
