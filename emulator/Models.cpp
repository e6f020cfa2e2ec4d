#include "Models.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>

#include "KestorEmu.h"

namespace kest::emu {

namespace {

constexpr TTagGeneration Tags207_1F[] = {{"1.0 VLS", 3}, {"1.0", 1}, {"2.0", 2}, {"6.0", 6}};
constexpr TTagGeneration TagsStationF[] = {{"1.0", 1}, {"2.0", 6}};

constexpr TModelInfo ModelTable[] = {
    {mem207_1F, "207.1F", "mem207_1F", u"КЕСТОР-207.1Ф", "1.0 VLS B2.5", Tags207_1F, 3, false,
     mctGeneral},
    {memStationF, "station-f", "memStationF", u"КЕСТОР-СТАНЦИЯ-Ф", "2.0", TagsStationF, 6, false,
     mctGeneral},
    {memPCK, "pc-k", "memPCK", u"Кестор PC-K", "1.0 PCK", {}, 7, true, mctGeneral},
    {mem207_1FMD,
     "207.1F-MD",
     "mem207_1FMD",
     u"KESTOR-207.1F",
     "1.0 MD B1.2",
     {},
     3,
     false,
     mctMoldavian},
    {mem207_1K, "207.1K", "mem207_1K", u"КЕСТОР-207.1К", "1.0", {}, 8, true, mctGeneral},
};

bool SameIgnoringCase(std::string_view A, std::string_view B) {
    return std::ranges::equal(A, B, [](char X, char Y) {
        return std::tolower(static_cast<unsigned char>(X)) ==
               std::tolower(static_cast<unsigned char>(Y));
    });
}

constexpr std::string_view FaultNames[FaultCount] = {
    "no-answer",  "cut-short",       "bad-bcc", "garbage",           "etx-in-data",
    "wrong-echo", "wrong-separator", "hang-up", "interrupted-print", "endless-notices",
};

}  // namespace

std::span<const TModelInfo> Models() {
    return ModelTable;
}

const TModelInfo& ModelInfo(TKestEcrModel Model) {
    for (const TModelInfo& info : ModelTable)
        if (info.Model == Model) return info;
    throw std::invalid_argument("no register of model " + std::to_string(Model));
}

TKestEcrModel ParseModel(std::string_view Name) {
    for (const TModelInfo& info : ModelTable)
        if (SameIgnoringCase(Name, info.Option) || SameIgnoringCase(Name, info.EnumName))
            return info.Model;
    throw std::invalid_argument("unknown model \"" + std::string(Name) + "\"");
}

int GenerationOf(TKestEcrModel Model, std::string_view Firmware) {
    const TModelInfo& info = ModelInfo(Model);
    if (Firmware.empty()) Firmware = info.Firmware;
    for (const TTagGeneration& tag : info.Tags)
        if (Firmware.starts_with(tag.Prefix)) return tag.Generation;
    return info.Generation;
}

bool HasInWaitStatus(TKestEcrModel Model, std::string_view Firmware) {
    return Model == mem207_1K || (Model == mem207_1F && Firmware.starts_with("6.0"));
}

int SubVersionOf(TKestEcrModel Model, std::string_view Firmware) {
    const std::string_view prefix = Model == mem207_1F     ? "1.0 VLS B"
                                    : Model == mem207_1FMD ? "1.0 MD B"
                                                           : "";
    if (prefix.empty() || !Firmware.starts_with(prefix)) return 0;
    Firmware.remove_prefix(prefix.size());
    auto number = [&Firmware] {  // a byte: longer numbers stop at 255
        int value = 0;
        while (!Firmware.empty() && std::isdigit(static_cast<unsigned char>(Firmware[0]))) {
            value = std::min(value * 10 + (Firmware[0] - '0'), 255);
            Firmware.remove_prefix(1);
        }
        return value;
    };
    const int major = number();
    int minor = 0;
    if (Firmware.starts_with('.')) {
        Firmware.remove_prefix(1);
        minor = number();
    }
    return major * 256 + minor;
}

TFault ParseFault(std::string_view Name) {
    for (int i = 0; i < FaultCount; ++i)
        if (Name == FaultNames[i]) return static_cast<TFault>(i);
    throw std::invalid_argument("unknown fault \"" + std::string(Name) + "\"");
}

}  // namespace kest::emu
