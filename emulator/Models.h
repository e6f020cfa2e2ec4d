// The registers the emulator can play: names, firmware tags, generations.
#pragma once

#include <span>
#include <string_view>

#include "KestorFPrt.h"

namespace kest::emu {

// A firmware tag prefix and the generation it stands for.
struct TTagGeneration {
    std::string_view Prefix;
    int Generation;
};

struct TModelInfo {
    TKestEcrModel Model;
    std::string_view Option;               // the command-line name, "207.1F"
    std::string_view EnumName;             // the driver's enum name, "mem207_1F"
    std::u16string_view Name;              // reported by identification
    std::string_view Firmware;             // default firmware tag
    std::span<const TTagGeneration> Tags;  // checked in order, the first match wins
    int Generation;                        // when no tag matches
    bool ProtectedJournal;
    TKestCodingType Coding;
};

std::span<const TModelInfo> Models();
// std::invalid_argument for memUnknown.
const TModelInfo& ModelInfo(TKestEcrModel Model);
// Whether the register answers the in-wait status request (0x07) while it
// waits for the host's reply to a device-status notice.
bool HasInWaitStatus(TKestEcrModel Model, std::string_view Firmware);
// The firmware sub-version, major * 256 + minor, from a tag such as
// "1.0 VLS B2.5" or "1.0 MD B3.0"; 0 for a tag without one.
int SubVersionOf(TKestEcrModel Model, std::string_view Firmware);

}  // namespace kest::emu
