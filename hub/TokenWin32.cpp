// The token file on Windows. Made new, the file and the folders the hub
// makes for it get a protected access list that lets in their user alone,
// not what the folder above would hand down; a file that is there already
// must belong to the hub's user and let nobody else but the system and the
// administrators read it.
#include "Token.h"

#include <windows.h>

#include <aclapi.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace kest::hub {

namespace {

// The last error, or Error, taken before anything else may change it.
[[noreturn]] void ThrowWin(const char* What, const std::filesystem::path& Path = {},
                           DWORD Error = 0) {
    const DWORD error = Error ? Error : GetLastError();
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            Path.empty() ? What : What + (" " + Path.string()));
}

struct THandle {
    HANDLE Handle;
    ~THandle() {
        if (Handle != INVALID_HANDLE_VALUE && Handle) CloseHandle(Handle);
    }
};

std::string RandomToken() {
    unsigned char bytes[TokenBytes];
    const NTSTATUS status =
        BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
        throw std::runtime_error(std::string("BCryptGenRandom failed: ") + code);
    }
    return HexDigits(bytes, sizeof bytes);
}

// The process's user, and security attributes that let in that user alone.
class TOwnerOnly {
public:
    TOwnerOnly() {
        THandle token{nullptr};
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.Handle))
            ThrowWin("OpenProcessToken");
        DWORD size = 0;
        GetTokenInformation(token.Handle, TokenUser, nullptr, 0, &size);
        FUser.resize(size);
        if (!GetTokenInformation(token.Handle, TokenUser, FUser.data(), size, &size))
            ThrowWin("GetTokenInformation");
        const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(User());
        FAcl.resize(aclSize);
        const auto acl = reinterpret_cast<PACL>(FAcl.data());
        // Folders hand the same list down to what is made in them.
        if (!InitializeAcl(acl, aclSize, ACL_REVISION) ||
            !AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   FILE_ALL_ACCESS, User()) ||
            !InitializeSecurityDescriptor(&FDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&FDescriptor, TRUE, acl, FALSE) ||
            !SetSecurityDescriptorControl(&FDescriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            ThrowWin("owner-only access list");
        FAttributes = {sizeof FAttributes, &FDescriptor, FALSE};
    }
    PSID User() { return reinterpret_cast<TOKEN_USER*>(FUser.data())->User.Sid; }
    SECURITY_ATTRIBUTES* Attributes() { return &FAttributes; }

private:
    std::vector<unsigned char> FUser, FAcl;
    SECURITY_DESCRIPTOR FDescriptor{};
    SECURITY_ATTRIBUTES FAttributes{};
};

void MakeFolders(const std::filesystem::path& Folder, TOwnerOnly& Owner) {
    if (Folder.empty() || std::filesystem::exists(Folder)) return;
    MakeFolders(Folder.parent_path(), Owner);
    if (!CreateDirectoryW(Folder.c_str(), Owner.Attributes()) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        ThrowWin("mkdir", Folder);
}

// The owner and the readers of an existing file: its user's, with the
// system and the administrators, who may read every file anyway.
void CheckReaders(HANDLE File, const std::filesystem::path& Path, TOwnerOnly& Owner) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (const DWORD error = GetSecurityInfo(File, SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                            &owner, nullptr, &dacl, nullptr, &descriptor))
        ThrowWin("GetSecurityInfo", Path, error);
    std::string refusal;
    if (!owner || !EqualSid(owner, Owner.User()))
        refusal = " belongs to another user, who may read it; the hub's user must own it";
    else if (!dacl)
        refusal = " may be read by everyone; give its user alone access to it";
    for (WORD i = 0; dacl && refusal.empty() && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) continue;
        const auto ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (ace->Header.AceFlags & INHERIT_ONLY_ACE) ||
            !(ace->Mask & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)))
            continue;
        const PSID sid = &ace->SidStart;
        if (!EqualSid(sid, Owner.User()) && !IsWellKnownSid(sid, WinLocalSystemSid) &&
            !IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
            refusal = " may be read by others; give its user alone access to it";
    }
    LocalFree(descriptor);
    if (!refusal.empty()) throw std::runtime_error(Path.string() + refusal);
}

std::string ReadToken(HANDLE File, const std::filesystem::path& Path, TOwnerOnly& Owner) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(File, &info)) ThrowWin("stat", Path);
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        throw std::runtime_error(Path.string() + " is not a regular file");
    CheckReaders(File, Path, Owner);
    std::string text(MaxFileBytes + 1, '\0');
    DWORD read = 0, got = 0;
    while (
        read < text.size() &&
        ReadFile(File, text.data() + read, static_cast<DWORD>(text.size() - read), &got, nullptr) &&
        got > 0)
        read += got;
    if (read > MaxFileBytes) throw std::runtime_error(Path.string() + " is too long for a token");
    text.resize(read);
    return TokenInText(std::move(text), Path);
}

}  // namespace

std::filesystem::path DefaultTokenPath() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (!local || !*local) throw std::runtime_error("LOCALAPPDATA is not set; name a --token-file");
    return std::filesystem::path(local) / "kestor" / "hub-token";
}

std::string LoadOrCreateToken(const std::filesystem::path& Path, bool& Created) {
    Created = false;
    TOwnerOnly owner;
    MakeFolders(Path.parent_path(), owner);
    // CREATE_NEW: of two hubs starting at once, one makes the token, the
    // other reads it.
    THandle file{CreateFileW(Path.c_str(), GENERIC_WRITE, 0, owner.Attributes(), CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.Handle != INVALID_HANDLE_VALUE) {
        const std::string token = RandomToken();
        const std::string text = token + '\n';
        DWORD written = 0;
        if (!WriteFile(file.Handle, text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
            written != text.size()) {
            const DWORD error = GetLastError();
            CloseHandle(std::exchange(file.Handle, INVALID_HANDLE_VALUE));
            DeleteFileW(Path.c_str());
            ThrowWin("write", Path, error);
        }
        Created = true;
        return token;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) ThrowWin("create", Path);
    // A link is opened as itself, and refused as no regular file.
    file.Handle = CreateFileW(Path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file.Handle == INVALID_HANDLE_VALUE) ThrowWin("open", Path);
    return ReadToken(file.Handle, Path, owner);
}

}  // namespace kest::hub
