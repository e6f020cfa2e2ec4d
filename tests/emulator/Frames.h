// Request and answer frames written from the wire format, not from the
// emulator's own helpers, one exchange with a register, and a register whose
// paper tape a test reads.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "Register.h"

namespace kest::emu::test {

using namespace std::string_literals;

// Text NUL-padded to Width, then the separator.
inline std::string Field(std::string_view Text, size_t Width) {
    std::string field(Text);
    field.resize(Width + 1, '\0');
    return field;
}

// A register of each generation, and the Moldavian coding before and after B3.0.
inline const TConfig Gen1{.Firmware = "1.0 B"}, Gen2{.Firmware = "2.0"}, Gen3{},
    Gen6{.Model = memStationF}, Gen7{.Model = memPCK}, Gen8{.Model = mem207_1K},
    OldMd{.Model = mem207_1FMD}, NewMd{.Model = mem207_1FMD, .Firmware = "1.0 MD B3.0"};

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

// A register whose tape the test reads, its clock at 15.03.2024 10:15.
struct TTestRegister {
    std::string Tape;
    TRegister Register;

    explicit TTestRegister(TConfig Config) : Register(WithTape(std::move(Config), Tape)) {
        Exchange(Register, Request('G', "15032024\0"s + "1015\0"s));
    }
    static TConfig WithTape(TConfig Config, std::string& Tape) {
        Config.Tape = [&Tape](std::string_view Text) { Tape += Text; };
        return Config;
    }
    std::string Send(char Code, std::string_view Data = {}) {
        return Exchange(Register, Request(Code, Data));
    }
    // The tape printed since the last call.
    std::string TakeTape() { return std::exchange(Tape, {}); }
    const TCounter& Counter(int Number) const { return Register.State().Counters[Number]; }
};

// The ACKs of a printing command, and its successful answer with status
// word Status.
inline const std::string Acks = "\x06\x06";
inline std::string Printed(char Echo, std::string_view Status) {
    return Acks + Answer(Echo, "0000", {}, "08", Status);
}

// The error code of an answer.
inline std::string ErrorOf(std::string_view Answer) {
    const size_t stx = Answer.find('\x02');
    return stx == std::string_view::npos ? "" : std::string(Answer.substr(stx + 8, 4));
}

}  // namespace kest::emu::test
