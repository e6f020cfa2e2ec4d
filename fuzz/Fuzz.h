// What the fuzz targets share: how they report a finding, and the framing
// of the register's frames.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KestorFPrt.h"

namespace kest::fuzz {

// The broken rule and the input (printable bytes as they are, the others in
// hex) on standard error; then the run stops and libFuzzer keeps the input.
[[noreturn]] inline void Finding(const char* What, std::string_view Input = {}) {
    std::fprintf(stderr, "fuzz finding: %s in \"", What);
    for (const char c : Input)
        std::fprintf(stderr, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", static_cast<uint8_t>(c));
    std::fprintf(stderr, "\"\n");
    std::abort();
}

// Open on a driver with no register must find no port of this machine.
inline void HidePorts() {
    for (int port = 1; port <= 24; ++port)
        setenv(("KESTOR_COM" + std::to_string(port)).c_str(), "/nonexistent/kestor-fuzz", 1);
}

// Body between STX and ETX, its checksum after it.
inline std::string Framed(const std::string& Body) {
    char bcc[2];
    TKestorFPrt::ByteToHex(TKestorFPrt::CountBCC(Body.data(), static_cast<int>(Body.size())), bcc);
    return '\x02' + Body + std::string(bcc, 2) + '\x03';
}

}  // namespace kest::fuzz
