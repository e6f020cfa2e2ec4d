// UnescapeData: the escapes of free text for the printer and the display.
// The output is never longer than the text before its NUL, a text without a
// backslash passes unchanged, and any bytes written as \XX escapes come back.

#include "Fuzz.h"

using kest::fuzz::Finding;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    const std::string_view input(reinterpret_cast<const char*>(Bytes), Size);
    const std::string_view text = input.substr(0, input.find('\0'));

    const std::string raw = TKestorFPrt::UnescapeData(input);
    if (raw.size() > text.size()) Finding("longer than the text", input);
    if (text.find('\\') == std::string_view::npos && raw != text)
        Finding("a text without escapes changed", input);

    std::string escaped;
    for (const char c : input) {
        char hex[3] = {'\\'};
        TKestorFPrt::ByteToHex(static_cast<uint8_t>(c), {hex + 1, 2});
        escaped.append(hex, 3);
    }
    if (TKestorFPrt::UnescapeData(escaped) != input)
        Finding("escaped bytes do not come back", input);
    return 0;
}
