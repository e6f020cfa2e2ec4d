// Value types shared by the driver, the control and the front ends: money,
// the day-count date-time, UTF conversions and the component base.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

// Money: a 64-bit fixed-point number with four decimals (raw = value x 10000).
class TKestCurrency {
public:
    static constexpr int64_t Scale = 10000;

    constexpr TKestCurrency() = default;
    static constexpr TKestCurrency FromRaw(int64_t Raw) { return TKestCurrency(Raw); }
    static constexpr TKestCurrency FromHundredths(int64_t Hundredths) {
        return TKestCurrency(Hundredths * 100);
    }
    // Rounds to four decimals, halves to even; std::out_of_range when the value
    // does not fit (or is not finite).
    static TKestCurrency FromDouble(double Value);
    // Parses "200.56", "-3", "0.0001"; at most four decimals. std::invalid_argument
    // on malformed text, std::out_of_range when too large.
    static TKestCurrency Parse(std::string_view Text);

    constexpr int64_t Raw() const { return FRaw; }
    // The amount in hundredths as the register takes it: rounded, halves to even.
    int64_t Hundredths() const;
    double ToDouble() const { return static_cast<double>(FRaw) / Scale; }
    // At least two decimals, four when the last two are not zero: "200.56", "0.1250".
    std::string ToString() const;

    constexpr TKestCurrency operator-() const { return TKestCurrency(-FRaw); }
    constexpr TKestCurrency operator+(TKestCurrency B) const {
        return TKestCurrency(FRaw + B.FRaw);
    }
    constexpr TKestCurrency operator-(TKestCurrency B) const {
        return TKestCurrency(FRaw - B.FRaw);
    }
    constexpr auto operator<=>(const TKestCurrency&) const = default;

private:
    constexpr explicit TKestCurrency(int64_t Raw) : FRaw(Raw) {}
    int64_t FRaw = 0;
};

// Date-time: days since 1899-12-30, the time of day as the fraction.
using TKestDateTime = double;

struct TKestDateTimeParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, MSec = 0;
    bool operator==(const TKestDateTimeParts&) const = default;
};

namespace kest {

// False for a date that is not in the calendar (31 February) or a time out of range.
bool TryMakeDateTime(const TKestDateTimeParts& Parts, TKestDateTime& Result);
// std::invalid_argument when TryMakeDateTime refuses.
TKestDateTime MakeDateTime(const TKestDateTimeParts& Parts);
// Splits a day count; the time is rounded to milliseconds.
TKestDateTimeParts SplitDateTime(TKestDateTime Value);
// The local wall-clock time.
TKestDateTime Now();
// "2026-12-06T10:15:00" (".123" added when there are milliseconds).
std::string FormatIso(TKestDateTime Value);
// "2026-12-06", "2026-12-06T10:15", "2026-12-06T10:15:00[.mmm]"; std::invalid_argument
// on anything else.
TKestDateTime ParseIso(std::string_view Text);

// UTF-8 <-> UTF-16. Malformed input becomes U+FFFD, never an exception.
std::string ToUtf8(std::u16string_view Text);
std::u16string FromUtf8(std::string_view Text);

}  // namespace kest

// The component base: an owner, the designing and loading states and the
// Loaded hook that runs once streaming of the published properties is over.
class TKestComponent {
public:
    enum TState : unsigned { csLoading = 1, csDesigning = 2 };

    explicit TKestComponent(TKestComponent* Owner) : FOwner(Owner) {}
    virtual ~TKestComponent() = default;
    TKestComponent(const TKestComponent&) = delete;
    TKestComponent& operator=(const TKestComponent&) = delete;

    TKestComponent* Owner() const { return FOwner; }
    unsigned ComponentState() const { return FState; }
    bool Designing() const { return FState & csDesigning; }
    bool Loading() const { return FState & csLoading; }

    // The form loader (or a designer) marks a component before it sets the
    // published properties, then calls Loaded.
    void SetDesigning(bool Value) { SetState(csDesigning, Value); }
    void BeginLoading() { SetState(csLoading, true); }
    virtual void Loaded() { SetState(csLoading, false); }

private:
    void SetState(TState Flag, bool On) { FState = On ? (FState | Flag) : (FState & ~Flag); }

    TKestComponent* FOwner;
    unsigned FState = 0;
};
