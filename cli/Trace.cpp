#include "Trace.h"

#include <cstdio>
#include <ostream>
#include <utility>

namespace kest {

namespace {

constexpr char Stx = 0x02;
constexpr char Xon = 0x11;
constexpr char Xoff = 0x13;
constexpr int PasswordSize = 4;

// Bytes at the start of a request's data that hold a secret: the new access
// password of "7", the tax inspector's password of the fiscal-memory report "B".
int SecretSize(char Command) {
    switch (Command) {
        case '7':
            return PasswordSize;
        case 'B':
            return 5;
        default:
            return 0;
    }
}
constexpr std::size_t BytesPerLine = 16;

// A byte in the text column: ASCII as it is, the Russian letters of the
// register's code page as letters, anything else as a dot.
std::string TextOf(unsigned char Byte) {
    if (Byte >= 0x20 && Byte < 0x7F) return std::string(1, static_cast<char>(Byte));
    if ((Byte >= 0x80 && Byte <= 0xAF) || (Byte >= 0xE0 && Byte <= 0xF1)) {
        const char c = static_cast<char>(Byte);
        return ToUtf8(TKestorFPrt::DecodeString(std::string_view(&c, 1), mctGeneral));
    }
    return ".";
}

}  // namespace

TDumpSink::TDumpSink(std::ostream& Out) : FOut(Out), FStart(std::chrono::steady_clock::now()) {}

void TDumpSink::Write(std::string_view Label, bool Sent, std::string_view Bytes,
                      const std::vector<bool>& Masked) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const std::chrono::duration<double, std::milli> since =
        std::chrono::steady_clock::now() - FStart;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%9.3f] ", since.count());
    std::string head = stamp;
    if (!Label.empty()) head.append(Label).append(" ");
    head += Sent ? "--> " : "<-- ";
    const std::string indent(head.size(), ' ');

    std::string text;
    for (std::size_t line = 0; line == 0 || line < Bytes.size(); line += BytesPerLine) {
        std::string hex, chars;
        for (std::size_t i = line; i < Bytes.size() && i < line + BytesPerLine; ++i) {
            const auto b = static_cast<unsigned char>(Bytes[i]);
            if (!hex.empty()) hex += ' ';
            if (Masked[i]) {
                hex += "**";
                chars += '*';
            } else {
                hex += digits[b >> 4];
                hex += digits[b & 0x0F];
                chars += TextOf(b);
            }
        }
        hex.resize(BytesPerLine * 3, ' ');
        text.append(line == 0 ? head : indent).append(hex).append(" |").append(chars).append("|\n");
    }
    const std::lock_guard lock(FLock);
    FOut << text << std::flush;
}

TLineDump::TLineDump(TDumpSink& Sink, bool ShowPassword, std::string Label)
    : FSink(Sink), FShowPassword(ShowPassword), FLabel(std::move(Label)) {}

void TLineDump::Attach(TKestorFPrt& Driver) {
    const auto chain = [this](TKestDataEvent Before, bool Sent) {
        return [this, Before = std::move(Before), Sent](TKestorFPrt& Sender, const void* Data,
                                                        int Size) {
            if (Before) Before(Sender, Data, Size);
            Block(Sent, {static_cast<const char*>(Data), static_cast<std::size_t>(Size)});
        };
    };
    Driver.OnDataSend = chain(std::move(Driver.OnDataSend), true);
    Driver.OnDataReceive = chain(std::move(Driver.OnDataReceive), false);
}

void TLineDump::Block(bool Sent, std::string_view Bytes) {
    std::vector<bool> masked(Bytes.size(), false);
    if (!Sent) {
        // Flow control reported while a frame is written does not end it.
        if (Bytes != std::string_view(&Xon, 1) && Bytes != std::string_view(&Xoff, 1)) {
            FHeadPos = -1;
            FSecretLeft = 0;
        }
    } else if (Bytes == std::string_view(&Stx, 1)) {
        FHeadPos = 0;  // the driver writes STX alone, then the head
        FSecretLeft = 0;
    } else {
        // A block may be any part of a head or of the new password: the line
        // may take a write in pieces.
        for (std::size_t i = 0; i < Bytes.size(); ++i) {
            if (FHeadPos == 0) {
                FCommand = Bytes[i];
            } else if (FHeadPos > 0 && FHeadPos <= PasswordSize) {
                masked[i] = true;
            } else if (FHeadPos < 0 && FSecretLeft > 0) {
                masked[i] = true;
                --FSecretLeft;
            }
            if (FHeadPos >= 0 && ++FHeadPos > PasswordSize + 1) {  // past the 0x00
                FHeadPos = -1;
                FSecretLeft = SecretSize(FCommand);
            }
        }
    }
    if (FShowPassword) masked.assign(Bytes.size(), false);
    FSink.Write(FLabel, Sent, Bytes, masked);
}

}  // namespace kest
