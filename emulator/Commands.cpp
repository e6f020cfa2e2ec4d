#include "Commands.h"

#include <array>
#include <vector>

#include "Services.h"

namespace kest::emu {

namespace {

// Whether the fixed-width text field at Offset is followed by its separator.
bool HasSeparator(std::string_view Data, size_t Offset, size_t Width) {
    return Data[Offset + Width] == '\0';
}

// "E": serial number, model name, manufacturer, firmware tag.
TAnswer Identify(TEcrState& State, const TCommand&, std::string_view) {
    return Answered(State.Serial + State.ModelName + State.Manufacturer + State.Firmware);
}

// "7": the new password, 4 characters at most. The request itself still
// carried the old one.
TAnswer ChangePassword(TEcrState& State, const TCommand&, std::string_view Data) {
    if (!HasSeparator(Data, 0, 4)) return Refused(ecFieldTooLong);
    State.Password.assign(Data.substr(0, 4));
    return {};
}

// "C": the new rate by code, "0".."3" for the register's own line. The answer
// still goes out at the old rate; the host re-programs its line after
// reading it. Generations 3 and 7 take "4".."7" for the customer display's
// line, which leaves the register's own alone.
TAnswer ChangeBaudRate(TEcrState& State, const TCommand&, std::string_view Data) {
    if (!HasSeparator(Data, 0, 1)) return Refused(ecBadFormat);
    static constexpr std::array<int, 4> Rates = {9600, 19200, 57600, 115200};
    constexpr int DisplayCodes = 4;
    const bool fastLine = State.Generation == 3 || State.Generation == 7;
    int code = Data[0] - '0';
    const bool display = fastLine && code >= DisplayCodes;
    if (display) code -= DisplayCodes;
    if (code < 0 || code >= static_cast<int>(Rates.size())) return Refused(ecOutOfRange);
    if (display) {
        State.DisplayBaudRate = Rates[code];
        return {};
    }
    if (Rates[code] > 19200 && !fastLine) return Refused(ecOutOfRange);
    State.BaudRate = Rates[code];
    return {};
}

bool IsOldMoldavian(const TEcrState& State) {
    return State.Model->Model == mem207_1FMD && State.SubVersion < 0x0300;
}

constexpr uint32_t FromGeneration2 = OnGenerations({2, 3, 6, 7, 8});
constexpr uint32_t FromGeneration3 = OnGenerations({3, 6, 7, 8});
constexpr uint32_t Generations3And7 = OnGenerations({3, 7});
// Standard receipts and custom documents; generations 3 and 7 have composite
// documents instead.
constexpr uint32_t WithoutComposite = OnGenerations({1, 2, 6, 8});

// The first row of a code that fits the register applies.
constexpr TCommand CommandTable[] = {
    // code, generations, condition, request size, answer size, handler
    {'E', AllGenerations, nullptr, 0, 101, Identify},
    {'7', AllGenerations, nullptr, 5, 0, ChangePassword},
    {'C', AllGenerations, nullptr, 2, 0, ChangeBaudRate},

    {'\\', OnGenerations({2}), nullptr, 4, 25, ReadTitle},
    {'\\', FromGeneration3, nullptr, 4, 45, ReadParameter},
    {'W', OnGenerations({1, 2, 6}), nullptr, 9, 0, SetLineParameters},
    {'W', OnGenerations({3, 7, 8}), nullptr, 9, 0, SetParameter},
    {'9', AllGenerations, nullptr, 164, 0, SetHeader},
    {'[', FromGeneration2, nullptr, 25, 0, SetTitle},
    {'V', Generations3And7, nullptr, 44, 0, SetDepartName},
    {']', FromGeneration2, nullptr, 25, 0, SetSerialNumber},
    {'3', Generations3And7, nullptr, VariableSize, 0, LoadGraphicHeader},

    {'M', FromGeneration3, nullptr, 2, 43, ReadTax},
    {'F', FromGeneration3, nullptr, 38, 0, SetTax},
    {'G', AllGenerations, nullptr, 14, 0, SetClock},
    {'H', AllGenerations, nullptr, 0, 14, ReadClock},
    {'J', AllGenerations, IsNewMoldavian, 0, 49, ReadLastDocumentShort},
    {'J', OnGenerations({1, 2}), nullptr, 0, 42, ReadLastDocument},
    {'J', OnGenerations({3, 4, 5, 6}), nullptr, 0, 48, ReadLastDocument},
    {'J', OnGenerations({7}), nullptr, 0, 54, ReadLastDocument},
    {'J', OnGenerations({8}), nullptr, 0, 70, ReadLastDocument},
    {'L', OnGenerations({1, 2}), nullptr, 0, 332, ReadCounters},
    {'U', OnGenerations({6, 8}), nullptr, 4, 26, ReadCounter},
    {'U', Generations3And7, nullptr, 5, 27, ReadCounter},
    {'D', OnGenerations({3}), nullptr, 2, 36, ReadResources},
    {'D', OnGenerations({7, 8}), nullptr, 2, 41, ReadResources},
    {'D', OnGenerations({1, 2, 6}), nullptr, 2, 41, PrintResources},
    {'A', AllGenerations, IsOldMoldavian, 44, 2, FiscalRewrite},
    {'A', AllGenerations, IsNewMoldavian, 46, 2, FiscalRewrite},
    {'A', AllGenerations, nullptr, 43, 2, FiscalRewrite},

    {'K', WithoutComposite, nullptr, VariableSize, 0, PrintReceipt},
    {'N', WithoutComposite, nullptr, VariableSize, 0, PrintCustomDocument},
    {'P', WithoutComposite, nullptr, VariableSize, 0, PrintCustomDocument},
    {'S', Generations3And7, nullptr, VariableSize, 0, PrintFiscalDocument},
    {'T', Generations3And7, nullptr, 0, 0, CopyLastDocument},
    {'O', AllGenerations, nullptr, 0, 0, RepeatOperation},

    {'1', Generations3And7, nullptr, 44, 0, OpenDay},
    {'1', AllGenerations, nullptr, 46, 0, OpenDay},
    {'5', OnGenerations({1, 2}), nullptr, 2, 30, ShiftReport},
    {'5', OnGenerations({6, 8}), nullptr, 2, 46, ShiftReport},
    {'_', Generations3And7, nullptr, 8, 30, ShiftReportV03},
    // Layouts by the widths of the registration and tax-payer numbers, and
    // whether purchases are counted.
    {'B', AllGenerations, IsOldMoldavian, 26, 259, FiscalMemoryReport},
    {'B', AllGenerations, IsNewMoldavian, 26, 261, FiscalMemoryReport},
    {'B', OnGenerations({6, 8}), nullptr, 26, 274, FiscalMemoryReport},
    {'B', AllGenerations, nullptr, 26, 258, FiscalMemoryReport},

    {'6', AllGenerations, nullptr, 0, 0, StartOutput},
    {'^', Generations3And7, nullptr, 0, 0, StartOutput},
    {'R', FromGeneration2, nullptr, 6, 0, FeedAndCut},
    {'8', AllGenerations, nullptr, 11, 0, ExternalPulse},

    {'X', AllGenerations, HasJournal, 0, 0, ActivateJournal},
    {'Y', AllGenerations, HasJournal, 20, 0, JournalReport},
    {'Z', AllGenerations, HasJournal, 0, 0, CloseJournalArchive},
};

}  // namespace

bool HasJournal(const TEcrState& State) {
    return State.Model->ProtectedJournal;
}

bool IsNewMoldavian(const TEcrState& State) {
    return State.Model->Model == mem207_1FMD && State.SubVersion >= 0x0300;
}

const TCommand* FindCommand(uint8_t Code, const TEcrState& State) {
    for (const TCommand& command : CommandTable)
        if (command.Code == Code && (command.Generations & (1u << State.Generation)) &&
            (!command.When || command.When(State)))
            return &command;
    return nullptr;
}

std::string TextField(std::u16string_view Text, int Width, TKestCodingType Coding) {
    std::vector<char> buf(Width + 1);
    TKestorFPrt::EncodeString(Text, buf, Coding);
    return std::string(buf.begin(), buf.end());
}

}  // namespace kest::emu
