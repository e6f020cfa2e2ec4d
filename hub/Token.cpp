#include "Token.h"

#include <stdexcept>

namespace kest::hub {

std::string HexDigits(const unsigned char* Bytes, std::size_t Count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < Count; ++i) {
        text += digits[Bytes[i] >> 4];
        text += digits[Bytes[i] & 0x0F];
    }
    return text;
}

std::string TokenInText(std::string Text, const std::filesystem::path& Path) {
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r'))
        Text.pop_back();
    // It travels in an HTTP header: visible ASCII only.
    if (Text.size() < MinTokenChars)
        throw std::runtime_error(Path.string() + " holds no token of at least " +
                                 std::to_string(MinTokenChars) + " characters");
    for (const char c : Text)
        if (c <= ' ' || c > '~')
            throw std::runtime_error(Path.string() + " holds a character a token may not have");
    return Text;
}

bool SameToken(std::string_view Given, std::string_view Expected) {
    // Every byte of Expected is looked at whatever Given holds; only the
    // lengths show in the time taken.
    unsigned difference = Given.size() == Expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < Expected.size(); ++i) {
        const char given = i < Given.size() ? Given[i] : '\0';
        difference |= static_cast<unsigned char>(given ^ Expected[i]);
    }
    return difference == 0;
}

}  // namespace kest::hub
