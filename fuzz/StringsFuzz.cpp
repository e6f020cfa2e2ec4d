// The register's text in both codings: DecodeString turns any bytes into
// text that EncodeString turns back into the same bytes, and encoding is
// stable: what was encoded, decoded and encoded again stays the same, never
// longer than its field and always ending in NUL.
//
// Input: the first byte picks the coding and the field size, the rest is the
// register's bytes, or (as UTF-16) a caller's text.
#include <algorithm>
#include <cstring>

#include "Fuzz.h"

namespace {

using kest::fuzz::Finding;

constexpr auto UpToNul = [](std::string_view Text) { return Text.substr(0, Text.find('\0')); };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    if (Size == 0) return 0;
    const TKestCodingType coding = Bytes[0] & 1 ? mctMoldavian : mctGeneral;
    const size_t field = Bytes[0] >> 1;  // 0..127
    const std::string_view data(reinterpret_cast<const char*>(Bytes + 1), Size - 1);

    // Bytes -> text -> bytes.
    const std::u16string text = TKestorFPrt::DecodeString(data, coding);
    const std::string_view bytes = UpToNul(data);
    if (text.size() != bytes.size()) Finding("one character a byte", data);
    std::string back(bytes.size() + 1, '\x7F');
    TKestorFPrt::EncodeString(text, back, coding);
    if (back.back() != '\0' || std::string_view(back.data(), bytes.size()) != bytes)
        Finding("the register's bytes do not come back", data);

    // Text -> bytes -> text -> bytes. A caller's text ends at its first
    // U+0000, as the field's text does at its NUL.
    std::u16string caller(data.size() / 2, u'\0');
    std::memcpy(caller.data(), data.data(), caller.size() * 2);
    caller.resize(std::min(caller.size(), caller.find(u'\0')));
    std::string once(field, '\x7F');
    TKestorFPrt::EncodeString(caller, once, coding);
    if (!once.empty()) {
        const std::string_view used = UpToNul(once);
        if (used.size() >= once.size()) Finding("the field has no NUL", data);
        if (once.find_first_not_of('\0', used.size()) != std::string::npos)
            Finding("the field's rest is not NUL", data);
    }
    std::string twice(field, '\x7F');
    TKestorFPrt::EncodeString(TKestorFPrt::DecodeString(once, coding), twice, coding);
    if (twice != once) Finding("encoding is not stable", data);
    return 0;
}
