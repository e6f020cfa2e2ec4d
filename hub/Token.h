// The hub's bearer token: made once from the operating system's random source
// and kept in a file that only its owner may read or write.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kest::hub {

// $XDG_CONFIG_HOME/kestor/hub-token, else ~/.config/kestor/hub-token; on
// Windows %LOCALAPPDATA%\kestor\hub-token. std::runtime_error when the
// variables name no folder.
std::filesystem::path DefaultTokenPath();

// Reads the token kept in Path, or makes one there (and the folders above it)
// when there is none; Created tells which. std::runtime_error for a file that
// others may read (or another user owns), that is not a regular file or that
// holds no usable token; std::system_error when the system refuses.
std::string LoadOrCreateToken(const std::filesystem::path& Path, bool& Created);

// Whether Given equals Expected, in a time that depends only on their lengths.
bool SameToken(std::string_view Given, std::string_view Expected);

// What the platforms' token files (TokenPosix.cpp, TokenWin32.cpp) share:
// 32 random bytes make a token of 64 hex digits, and a file longer than
// MaxFileBytes is not one of ours.
constexpr std::size_t TokenBytes = 32;
constexpr std::size_t MaxFileBytes = 1024;
constexpr std::size_t MinTokenChars = 16;
std::string HexDigits(const unsigned char* Bytes, std::size_t Count);
// The token a file's Text holds, line ends trimmed; std::runtime_error naming
// Path when it holds none.
std::string TokenInText(std::string Text, const std::filesystem::path& Path);

}  // namespace kest::hub
