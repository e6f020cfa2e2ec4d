#include "Token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace kest::hub {

namespace {

[[noreturn]] void ThrowOs(const std::string& What) {
    throw std::system_error(errno, std::system_category(), What);
}

std::string RandomToken() {
    unsigned char bytes[TokenBytes];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowOs("getrandom");
        }
        got += static_cast<std::size_t>(n);
    }
    return HexDigits(bytes, sizeof bytes);
}

// Creates the folder (owner only) and those above it that are missing.
void MakeFolders(const std::filesystem::path& Folder) {
    if (Folder.empty() || std::filesystem::exists(Folder)) return;
    MakeFolders(Folder.parent_path());
    if (mkdir(Folder.c_str(), 0700) != 0 && errno != EEXIST) ThrowOs("mkdir " + Folder.string());
}

std::string ReadToken(int Fd, const std::filesystem::path& Path) {
    struct stat info {};
    if (fstat(Fd, &info) != 0) ThrowOs("stat " + Path.string());
    if (!S_ISREG(info.st_mode)) throw std::runtime_error(Path.string() + " is not a regular file");
    // A token others can read is a token others have.
    if ((info.st_mode & 077) != 0)
        throw std::runtime_error(Path.string() + " may be read by others; chmod 600 it");
    if (info.st_uid != geteuid())
        throw std::runtime_error(Path.string() +
                                 " belongs to another user, who may read it; the hub's user must "
                                 "own it");
    std::string text;
    char buffer[256];
    for (;;) {
        const ssize_t n = read(Fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowOs("read " + Path.string());
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > MaxFileBytes)
            throw std::runtime_error(Path.string() + " is too long for a token");
    }
    return TokenInText(std::move(text), Path);
}

}  // namespace

std::filesystem::path DefaultTokenPath() {
    std::filesystem::path folder;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        folder = config;
    else if (const char* home = std::getenv("HOME"); home && *home)
        folder = std::filesystem::path(home) / ".config";
    else
        throw std::runtime_error("neither XDG_CONFIG_HOME nor HOME is set; name a --token-file");
    return folder / "kestor" / "hub-token";
}

std::string LoadOrCreateToken(const std::filesystem::path& Path, bool& Created) {
    Created = false;
    MakeFolders(Path.parent_path());
    // O_EXCL: of two hubs starting at once, one makes the token, the other reads it.
    int fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        const std::string token = RandomToken();
        const std::string text = token + '\n';
        const bool written =
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        const int error = errno;
        close(fd);
        if (!written) {
            unlink(Path.c_str());
            errno = error;
            ThrowOs("write " + Path.string());
        }
        Created = true;
        return token;
    }
    if (errno != EEXIST) ThrowOs("create " + Path.string());
    fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) ThrowOs("open " + Path.string());
    try {
        std::string token = ReadToken(fd, Path);
        close(fd);
        return token;
    } catch (...) {
        close(fd);
        throw;
    }
}

}  // namespace kest::hub
