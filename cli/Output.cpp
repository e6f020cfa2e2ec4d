#include "Output.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace kest {

namespace {

std::string TextOf(const TOutJson& Value) {
    if (Value.is_string()) return Value.get<std::string>();
    if (Value.is_boolean()) return Value.get<bool>() ? "yes" : "no";
    if (Value.is_null()) return "-";
    return Value.dump();
}

}  // namespace

void TOutput::Field(const std::string& Key, std::string Label, TOutJson Value, std::string Text) {
    if (Text.empty()) Text = TextOf(Value);
    FJson[Key] = std::move(Value);
    FLines.emplace_back(std::move(Label), std::move(Text));
}

void TOutput::Json(const std::string& Key, TOutJson Value) {
    FJson[Key] = std::move(Value);
}

void TOutput::Line(std::string Text, std::string Label) {
    FLines.emplace_back(std::move(Label), std::move(Text));
}

void TOutput::Print(std::ostream& Out, bool AsJson) const {
    if (AsJson) {
        // A stray byte of a register text must not end the output half-way.
        Out << FJson.dump(-1, ' ', false, TOutJson::error_handler_t::replace) << '\n';
        return;
    }
    std::size_t width = 0;
    for (const auto& [label, text] : FLines)
        width = std::max(width, label.size());
    for (const auto& [label, text] : FLines) {
        if (label.empty())
            Out << text << '\n';
        else
            Out << label << ':' << std::string(width - label.size() + 1, ' ') << text << '\n';
    }
}

TOutJson MoneyValue(TKestCurrency Value) {
    return Value.ToString();
}

TOutJson DateValue(TKestDateTime Value) {
    if (Value == 0) return nullptr;
    return FormatIso(Value);
}

std::string DateText(TKestDateTime Value, bool WithTime) {
    if (Value == 0) return "-";
    const TKestDateTimeParts p = SplitDateTime(Value);
    char text[32];
    if (WithTime)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", p.Year, p.Month, p.Day, p.Hour,
                      p.Minute);
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.Year, p.Month, p.Day);
    return text;
}

std::string VersionText(int Version) {
    return std::to_string(Version >> 8) + "." + std::to_string(Version & 0xFF);
}

std::string HexWord(int Value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(Value));
    return text;
}

std::vector<int> BitsOf(int Value) {
    std::vector<int> bits;
    for (int bit = 0; bit < 32; ++bit)
        if (static_cast<unsigned>(Value) >> bit & 1u) bits.push_back(bit);
    return bits;
}

}  // namespace kest
