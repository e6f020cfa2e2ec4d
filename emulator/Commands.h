// The register's commands: one table row per command code. A row says which
// generations know the command, how long its request data are and how long a
// successful answer is; the handler works on the register's state. A new
// command is a handler and a row in Commands.cpp (and state fields here).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "Models.h"

namespace kest::emu {

// The register's error codes.
enum TEcrError : int {
    ecOk = 0,
    ecFieldTooLong = 4,
    ecInterrupted = 10,  // the host cancelled after a device-status notice
    ecBadPassword = 18,
    ecOutOfRange = 21,
    ecBadFormat = 25,
    ecNoCommand = 29,
    ecBadBcc = 30,
};

// Status word bits.
inline constexpr uint16_t EcrShiftOpen = 0x0001;
inline constexpr uint16_t EcrXonXoff = 0x0080;
// Device status byte: bit 3 is the printer ready.
inline constexpr uint8_t DevReady = 0x08;

// What the commands read and change.
struct TEcrState {
    const TModelInfo* Model = nullptr;
    TKestCodingType Coding = mctGeneral;
    int Generation = 0;
    // Identification fields as the register sends them: code page bytes,
    // NUL-padded to the field width, and the separator.
    std::string Serial, ModelName, Manufacturer, Firmware;
    std::string Password;  // 4 bytes, zero-filled
    int BaudRate = 9600;
    uint16_t Status = 0;  // status word
};

struct TAnswer {
    int Error = ecOk;
    std::string Data;  // exactly TCommand::AnswerSize bytes when Error is ecOk
};

using THandler = TAnswer (*)(TEcrState& State, std::string_view Data);

struct TCommand {
    uint8_t Code;
    uint32_t Generations;  // bit G set: known on generation G
    int DataSize;          // length of the request data
    int AnswerSize;        // length of a successful answer's data
    THandler Handler;
};

inline constexpr uint32_t AllGenerations = ~0u;
constexpr uint32_t OnGenerations(std::initializer_list<int> List) {
    uint32_t mask = 0;
    for (int g : List)
        mask |= 1u << g;
    return mask;
}

// nullptr for a code no register knows.
const TCommand* FindCommand(uint8_t Code);

// Text as a register field: Width code page bytes, NUL-padded, then the 0x00
// separator.
std::string TextField(std::u16string_view Text, int Width, TKestCodingType Coding);

}  // namespace kest::emu
