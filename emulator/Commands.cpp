#include "Commands.h"

#include <array>
#include <vector>

namespace kest::emu {

namespace {

// Whether the fixed-width text field at Offset is followed by its separator.
bool HasSeparator(std::string_view Data, size_t Offset, size_t Width) {
    return Data[Offset + Width] == '\0';
}

// "E": serial number, model name, manufacturer, firmware tag.
TAnswer Identify(TEcrState& State, std::string_view) {
    return {ecOk, State.Serial + State.ModelName + State.Manufacturer + State.Firmware};
}

// "7": the new password, 4 characters at most. The request itself still
// carried the old one.
TAnswer ChangePassword(TEcrState& State, std::string_view Data) {
    if (!HasSeparator(Data, 0, 4)) return {ecFieldTooLong, {}};
    State.Password.assign(Data.substr(0, 4));
    return {};
}

// "C": the new rate by code. The answer still goes out at the old rate; the
// host re-programs its line after reading it.
TAnswer ChangeBaudRate(TEcrState& State, std::string_view Data) {
    if (!HasSeparator(Data, 0, 1)) return {ecBadFormat, {}};
    static constexpr std::array<int, 4> Rates = {9600, 19200, 57600, 115200};
    const int code = Data[0] - '0';
    if (code < 0 || code >= static_cast<int>(Rates.size())) return {ecOutOfRange, {}};
    const bool fastLine = State.Generation == 3 || State.Generation == 7;
    if (Rates[code] > 19200 && !fastLine) return {ecOutOfRange, {}};
    State.BaudRate = Rates[code];
    return {};
}

constexpr TCommand CommandTable[] = {
    // code, generations, request size, answer size, handler
    {'E', AllGenerations, 0, 101, Identify},
    {'7', AllGenerations, 5, 0, ChangePassword},
    {'C', AllGenerations, 2, 0, ChangeBaudRate},
};

}  // namespace

const TCommand* FindCommand(uint8_t Code) {
    for (const TCommand& command : CommandTable)
        if (command.Code == Code) return &command;
    return nullptr;
}

std::string TextField(std::u16string_view Text, int Width, TKestCodingType Coding) {
    std::vector<char> buf(Width + 1);
    TKestorFPrt::EncodeString(Text, buf, Coding);
    return std::string(buf.begin(), buf.end());
}

}  // namespace kest::emu
