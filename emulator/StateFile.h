// What a register keeps when it is switched off, in a JSON file: its
// identity and settings, texts, taxes, clock, counters, the last document,
// the shift, the fiscal memory and the protected journal. What a command is
// doing (an open composite document, raw output, the last document kept for
// repeating) is lost, as on a real register.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "State.h"

namespace kest::emu {

// Larger files are no state of ours: the largest real one, a full fiscal
// memory, is about 1.5 MB.
inline constexpr uintmax_t MaxStateFileSize = 4 << 20;

// The state as JSON text, and back. ReadState expects the identity part of
// State (model, coding, generation) filled in and takes the rest from Text;
// std::runtime_error naming the faulty value when Text is not a state this
// register can take, leaving State as it was.
std::string StateJson(const TEcrState& State, std::string_view Firmware);
void ReadState(TEcrState& State, std::string_view Firmware, std::string_view Text);

class TStateFile {
public:
    explicit TStateFile(std::string Path) : FPath(std::move(Path)) {}
    const std::string& Path() const { return FPath; }

    // Reads the file into State; false when there is none. std::runtime_error
    // naming the file and the reason when it cannot be read or taken.
    bool Load(TEcrState& State, std::string_view Firmware);
    // Writes the state when it differs from what the file holds: into a new
    // file beside it, renamed over it once complete. std::runtime_error
    // naming the file when the system refuses; the file then holds the
    // state written before.
    void Save(const TEcrState& State, std::string_view Firmware);

private:
    std::string FPath;
    std::string FSaved;  // what the file holds
};

}  // namespace kest::emu
