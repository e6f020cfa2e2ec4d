// The result of a subcommand, written once for people (aligned "Label: text"
// lines) or as one JSON object for scripts. JSON keys are the driver's
// property names; enumerations travel by name, money as a decimal string,
// date-times as ISO 8601 (null when the register gave none).
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestorFPrt.h"
#include "Names.h"

namespace kest {

using TOutJson = nlohmann::ordered_json;

class TOutput {
public:
    // Shown as "Label: Text" and in JSON as Key: Value; an empty Text is
    // made from Value.
    void Field(const std::string& Key, std::string Label, TOutJson Value, std::string Text = {});
    // A JSON member that people read in another line.
    void Json(const std::string& Key, TOutJson Value);
    // A line of its own for people only; with a Label aligned as the fields are.
    void Line(std::string Text, std::string Label = {});
    void Print(std::ostream& Out, bool AsJson) const;

private:
    TOutJson FJson = {{"ok", true}};
    std::vector<std::pair<std::string, std::string>> FLines;  // label (may be empty), text
};

// Field values in their JSON forms.
TOutJson MoneyValue(TKestCurrency Value);
TOutJson DateValue(TKestDateTime Value);  // null for 0
template <class E>
TOutJson NameValue(E Value) {
    const std::string_view name = NameOf(Value);
    if (name.empty()) return static_cast<int>(Value);
    return name;
}

// "2026-12-06 10:15", or "2026-12-06" without the time; "-" for 0.
std::string DateText(TKestDateTime Value, bool WithTime = true);
// 0x0205 -> "2.5".
std::string VersionText(int Version);
// "0x00000021".
std::string HexWord(int Value);
// The numbers of the bits set in Value.
std::vector<int> BitsOf(int Value);

}  // namespace kest
