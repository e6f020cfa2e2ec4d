// A readable dump of what a driver writes to and reads from its line, for
// people watching an exchange: one entry per block as the driver reported it,
// with the time since the program started, the direction and the bytes in hex
// and as text, sixteen bytes a line:
//
//   [   12.408] --> 02                                               |.|
//   [   12.431] --> 45 ** ** ** ** 00                                |E****.|
//   [   15.902] <-- 02 45 00 30 30 30 30 00 30 30 00 30 41 00 30 30  |.E.0000.00.0A.00|
//                   ...
//
// The access password (the four bytes after the command byte of every request
// frame), the new password carried by the password command "7" and the tax
// inspector's password of the fiscal-memory report "B" are shown as ** unless
// the dump is told to show them. The checksum digits of a frame
// stay visible: they are what a line fault is found by.
#pragma once

#include <chrono>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "KestorFPrt.h"

namespace kest {

// Where dumps go: one stream and one clock, shared by the dumps of several
// drivers running at once (each entry is written whole).
class TDumpSink {
public:
    explicit TDumpSink(std::ostream& Out);
    // The entry's lines; Label (a port name) is put after the time stamp.
    // Masked[i]: byte i is shown as **.
    void Write(std::string_view Label, bool Sent, std::string_view Bytes,
               const std::vector<bool>& Masked);

private:
    std::ostream& FOut;
    std::mutex FLock;
    const std::chrono::steady_clock::time_point FStart;
};

class TLineDump {
public:
    TLineDump(TDumpSink& Sink, bool ShowPassword, std::string Label = {});
    TLineDump(const TLineDump&) = delete;
    TLineDump& operator=(const TLineDump&) = delete;

    // Adds the dump to Driver's data events, after any handler already set.
    // The dump must outlive the driver's use of them.
    void Attach(TKestorFPrt& Driver);
    // One block as written (Sent) or read.
    void Block(bool Sent, std::string_view Bytes);

private:
    TDumpSink& FSink;
    const bool FShowPassword;
    const std::string FLabel;
    // Position in a request head (STX alone, then command, password, 0x00)
    // of the next byte written; -1 outside a head.
    int FHeadPos = -1;
    char FCommand = 0;
    int FSecretLeft = 0;  // bytes of a password in the request data still to be written
};

}  // namespace kest
