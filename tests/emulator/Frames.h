// Request and answer frames written from the wire format, not from the
// emulator's own helpers, and one exchange with a register.
#pragma once

#include <string>
#include <string_view>

#include "Register.h"

namespace kest::emu::test {

using namespace std::string_literals;

inline std::string Hex2(unsigned Value) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(Value >> 4) & 0x0F], digits[Value & 0x0F]};
}

inline unsigned Sum(std::string_view Bytes) {
    unsigned sum = 0;
    for (char c : Bytes)
        sum += static_cast<uint8_t>(c);
    return sum % 256;
}

inline std::string Request(char Code, std::string_view Data = {}, std::string Password = "5862") {
    Password.resize(4, '\0');
    const std::string body = Code + Password + '\0' + std::string(Data);
    return '\x02' + body + Hex2(Sum(body)) + '\x03';
}

inline std::string Answer(char Echo, std::string_view Error, std::string_view Data = {},
                          std::string_view Device = "08", std::string_view Status = "0000") {
    const std::string body = Echo + "\0"s + std::string(Status) + '\0' + std::string(Error) + '\0' +
                             std::string(Device) + '\0' + std::string(Data);
    return '\x02' + body + Hex2(Sum(body)) + '\x03';
}

// Feeds one request to a register and returns what it sends at once.
inline std::string Exchange(TRegister& Register, std::string_view Bytes) {
    const auto now = TRegister::TClock::now();
    Register.Receive(Bytes, now);
    return Register.Poll(now);
}

}  // namespace kest::emu::test
