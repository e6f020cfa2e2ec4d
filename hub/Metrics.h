// The hub's GET /metrics: what a head office's Prometheus scrapes from every
// till, in Prometheus' text exposition format.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest::hub {

// The calls to one register since the hub started.
struct TCallStats {
    // Upper bounds of the latency histogram, s: a status query takes tens of
    // milliseconds, a long receipt or a report tens of seconds.
    static constexpr std::array<double, 10> Bounds{0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};
    // By outcome; every outcome is there from the start, so that rates work
    // from the first scrape.
    std::map<std::string, std::uint64_t, std::less<>> Results{
        {"ok", 0},      {"failed", 0},   {"busy", 0},    {"unreachable", 0},
        {"refused", 0}, {"replayed", 0}, {"stopping", 0}};
    std::array<std::uint64_t, Bounds.size()> Buckets{};  // each call in its first bucket
    std::uint64_t Count = 0;
    double Seconds = 0;
    // Documents printed, by the operation that ended them.
    std::map<std::string, std::uint64_t, std::less<>> Documents;

    void Add(std::string_view Result, double Duration);
};

// One register's series, read without an exchange with the register.
struct TRegisterMetrics {
    std::string Name;
    bool Connected = false;
    // The last exchange got an answer: no time-out, no failing line.
    bool Answering = false;
    int ErrCode = 0, ErrCodeEx = 0;
    // Known while connected.
    std::optional<bool> ShiftOpen;
    // Since the hub first saw this shift open.
    std::optional<double> ShiftOpenSeconds;
    // As the register reported them in its last answer about its resources.
    std::optional<int> RewritesRemain, RecordsRemain, JournalDaysRemain;
    TCallStats Calls;
};

std::string RenderMetrics(const std::vector<TRegisterMetrics>& Registers);

}  // namespace kest::hub
