#include "Metrics.h"

#include <algorithm>
#include <charconv>
#include <functional>

namespace kest::hub {

namespace {

// Shortest text that reads back as the same double.
std::string Number(double Value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, Value).ptr;
    return std::string(text, end);
}

// One metric family: its HELP and TYPE lines, then a sample of each register
// that has one. Register names are letters, digits, '-' and '_', so they
// stand in label values as they are.
class TFamily {
public:
    TFamily(std::string& Out, std::string_view Name, std::string_view Type, std::string_view Help)
        : FOut(Out), FName(Name) {
        ((((FOut += "# HELP ") += Name) += ' ') += Help) += '\n';
        ((((FOut += "# TYPE ") += Name) += ' ') += Type) += '\n';
    }
    void Sample(const TRegisterMetrics& Reg, double Value, std::string_view Suffix = "",
                std::string_view Labels = "") {
        (((FOut += FName) += Suffix) += "{register=\"") += Reg.Name;
        if (!Labels.empty())
            (FOut += "\",") += Labels;
        else
            FOut += '"';
        ((FOut += "} ") += Number(Value)) += '\n';
    }

private:
    std::string& FOut;
    std::string_view FName;
};

void Gauge(std::string& Out, const std::vector<TRegisterMetrics>& Registers, std::string_view Name,
           std::string_view Help,
           const std::function<std::optional<double>(const TRegisterMetrics&)>& Value) {
    TFamily family(Out, Name, "gauge", Help);
    for (const auto& reg : Registers)
        if (const auto value = Value(reg)) family.Sample(reg, *value);
}

}  // namespace

void TCallStats::Add(std::string_view Result, double Duration) {
    const auto it = Results.find(Result);
    ++(it != Results.end() ? it->second : Results[std::string(Result)]);
    const auto bucket = std::lower_bound(Bounds.begin(), Bounds.end(), Duration);
    if (bucket != Bounds.end()) ++Buckets[static_cast<std::size_t>(bucket - Bounds.begin())];
    ++Count;
    Seconds += Duration;
}

std::string RenderMetrics(const std::vector<TRegisterMetrics>& Registers) {
    std::string out;
    const auto flag = [](bool Value) { return std::optional<double>(Value ? 1 : 0); };
    const auto count = [](std::optional<int> Value) -> std::optional<double> {
        if (!Value || *Value < 0) return {};  // not reported, or not read yet
        return *Value;
    };
    Gauge(out, Registers, "kestor_register_connected",
          "Whether the hub holds the connection to the register open.",
          [&](const auto& R) { return flag(R.Connected); });
    Gauge(out, Registers, "kestor_register_answering",
          "Whether the register answered the last exchange (no time-out, no line failure).",
          [&](const auto& R) { return flag(R.Answering); });
    Gauge(out, Registers, "kestor_register_last_error_code",
          "ErrCode of the register's last operation; 0 when it succeeded.",
          [](const auto& R) { return std::optional<double>(R.ErrCode); });
    Gauge(out, Registers, "kestor_register_last_error_code_ex",
          "ErrCodeEx of the register's last operation: the register's or the system's own code.",
          [](const auto& R) { return std::optional<double>(R.ErrCodeEx); });
    Gauge(out, Registers, "kestor_register_shift_open",
          "Whether the register's shift (fiscal day) is open; absent while not connected.",
          [&](const auto& R) { return R.ShiftOpen ? flag(*R.ShiftOpen) : std::nullopt; });
    Gauge(out, Registers, "kestor_register_shift_open_seconds",
          "How long the open shift has been open, counted from when this hub first saw it open.",
          [](const auto& R) { return R.ShiftOpenSeconds; });
    Gauge(out, Registers, "kestor_register_fiscal_memory_records_remaining",
          "Shift records left in the fiscal memory, as the register last reported.",
          [&](const auto& R) { return count(R.RecordsRemain); });
    Gauge(out, Registers, "kestor_register_fiscal_memory_rewrites_remaining",
          "Re-registrations left in the fiscal memory, as the register last reported.",
          [&](const auto& R) { return count(R.RewritesRemain); });
    Gauge(out, Registers, "kestor_register_protected_journal_remaining",
          "Days left in the protected journal (EKLZ), as the register last reported.",
          [&](const auto& R) { return count(R.JournalDaysRemain); });

    {
        TFamily family(out, "kestor_register_calls_total", "counter",
                       "Calls to the register through the hub, by outcome.");
        for (const auto& reg : Registers)
            for (const auto& [result, n] : reg.Calls.Results)
                family.Sample(reg, static_cast<double>(n), "", "result=\"" + result + '"');
    }
    {
        TFamily family(out, "kestor_register_call_duration_seconds", "histogram",
                       "How long calls to the register took, waiting for earlier calls included.");
        for (const auto& reg : Registers) {
            std::uint64_t below = 0;
            for (std::size_t i = 0; i < TCallStats::Bounds.size(); ++i) {
                below += reg.Calls.Buckets[i];
                family.Sample(reg, static_cast<double>(below), "_bucket",
                              "le=\"" + Number(TCallStats::Bounds[i]) + '"');
            }
            family.Sample(reg, static_cast<double>(reg.Calls.Count), "_bucket", "le=\"+Inf\"");
            family.Sample(reg, reg.Calls.Seconds, "_sum");
            family.Sample(reg, static_cast<double>(reg.Calls.Count), "_count");
        }
    }
    {
        TFamily family(out, "kestor_register_documents_printed_total", "counter",
                       "Documents the register printed for calls through the hub, by the "
                       "operation that ended them.");
        for (const auto& reg : Registers)
            for (const auto& [operation, n] : reg.Calls.Documents)
                family.Sample(reg, static_cast<double>(n), "", "operation=\"" + operation + '"');
    }
    return out;
}

}  // namespace kest::hub
