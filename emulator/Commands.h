// The register's commands: table rows by command code. A row says which
// registers know the command (generations, and a model or firmware condition
// where the generation is not enough), how long its request data are and how
// long a successful answer is; the handler works on the register's state. A
// command whose layout differs between registers has one row per layout. A new
// command is a handler and a row in Commands.cpp (and state fields in State.h).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "State.h"

namespace kest::emu {

// The register's error codes.
enum TEcrError : int {
    ecOk = 0,
    ecShiftNotClosed = 2,  // a shift open too long, or opened again
    ecFiscalMemoryFull = 3,
    ecFieldTooLong = 4,
    ecBadField = 5,  // a field's characters are not what it takes
    ecBadDate = 7,
    ecBadTime = 8,
    ecInterrupted = 10,  // the host cancelled after a device-status notice
    ecBadPrinterCommand = 11,
    ecShiftNotOpen = 12,
    ecFiscalMemoryWrite = 15,  // the state file could not be written
    ecBadInspectorPassword = 17,
    ecBadPassword = 18,
    ecNoRewrites = 19,
    ecOutOfRange = 21,
    ecCounterOverflow = 23,
    ecEmptyField = 24,
    ecBadFormat = 25,  // the request as a whole
    ecBadLayout = 28,  // of document properties
    ecNoCommand = 29,
    ecBadBcc = 30,
    ecNoFiscalRecords = 31,
    ecPrinterTimeout = 33,
    ecDuplicated = 41,  // a document property that may appear once
    ecNotNow = 42,      // the register's state does not allow the command
    ecDisplayTimeout = 45,
    ecNoReportRecords = 47,
    ecJournalNoData = 56,
    ecJournalNotActivated = 74,
    ecJournalActivated = 77,
    ecJournalClosed = 79,
};

struct TAnswer {
    int Error = ecOk;
    std::string Data;         // exactly TCommand::AnswerSize bytes when Error is ecOk
    int PrintAcks = 0;        // ACKs sent before the answer: the register prints meanwhile
    uint8_t Echo = 0;         // the command code the answer carries; 0: the request's
    bool Registered = false;  // a fiscal document was registered and printed
};

inline TAnswer Refused(int Error) {
    return {Error, {}, 0, 0, false};
}
inline TAnswer Answered(std::string Data, int PrintAcks = 0) {
    return {ecOk, std::move(Data), PrintAcks, 0, false};
}

struct TCommand;
using THandler = TAnswer (*)(TEcrState& State, const TCommand& Command, std::string_view Data);
using TCondition = bool (*)(const TEcrState& State);

inline constexpr int VariableSize = -1;

struct TCommand {
    uint8_t Code;
    uint32_t Generations;  // bit G set: known on generation G
    TCondition When;       // nullptr: on every register of those generations
    int DataSize;          // length of the request data, or VariableSize
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

// Conditions of rows: a register with a protected journal; the 207.1F-MD
// from firmware B3.0 on, with a re-registration of wider texts, the short
// answer about the last document and the registration number in documents.
bool HasJournal(const TEcrState& State);
bool IsNewMoldavian(const TEcrState& State);

// The row of this code that applies to the register; nullptr when it does not
// know the command.
const TCommand* FindCommand(uint8_t Code, const TEcrState& State);

// Text as a register field: Width code page bytes, NUL-padded, then the 0x00
// separator.
std::string TextField(std::u16string_view Text, int Width, TKestCodingType Coding);

}  // namespace kest::emu
