// The hub's bearer token: made once from the operating system's random source
// and kept in a file that only its owner may read or write.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kest::hub {

// $XDG_CONFIG_HOME/kestor/hub-token, else ~/.config/kestor/hub-token;
// std::runtime_error when neither variable names a folder.
std::filesystem::path DefaultTokenPath();

// Reads the token kept in Path, or makes one there (and the folders above it)
// when there is none; Created tells which. std::runtime_error for a file that
// others may read (or another user owns), that is not a regular file or that
// holds no usable token; std::system_error when the system refuses.
std::string LoadOrCreateToken(const std::filesystem::path& Path, bool& Created);

// Whether Given equals Expected, in a time that depends only on their lengths.
bool SameToken(std::string_view Given, std::string_view Expected);

}  // namespace kest::hub
