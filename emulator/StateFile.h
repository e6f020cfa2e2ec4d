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
    // Takes Path for this register, missing or a regular file, before
    // anything is read: refuses a FIFO, a device, a symbolic link (each write
    // would replace the link by a file), a file or a folder without write
    // permission in its mode (what counts even for root, whom access() lets
    // through) or one the system will not let us write in, and a file
    // another emulator keeps. std::runtime_error naming the file and why.
    explicit TStateFile(std::string Path);
    // Removes the lock file while still holding it.
    ~TStateFile();
    TStateFile(const TStateFile&) = delete;
    TStateFile& operator=(const TStateFile&) = delete;
    const std::string& Path() const { return FPath; }

    // Reads the file into State; false when there is none. std::runtime_error
    // naming the file and the reason when it cannot be read or taken.
    bool Load(TEcrState& State, std::string_view Firmware);
    // Writes the state when it differs from what the file holds: into a new
    // file beside it, renamed over it once complete. std::runtime_error
    // naming the file when the system refuses; the file then holds the
    // state written before. The file keeps its permissions.
    void Save(const TEcrState& State, std::string_view Firmware);

private:
    std::string FPath;
    std::string FSaved;  // what the file holds
    // Path + ".lock", locked for the emulator's life. Not the file itself:
    // each write renames a new file over it, and a lock on the old one would
    // go with it.
    std::string FLockPath;
    TFd FLock;
};

}  // namespace kest::emu
