#include "KestTypes.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <stdexcept>

// ---------------------------------------------------------------------------
// TKestCurrency

namespace {

bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

// Appends Value (non-negative) padded with zeros to at least Width digits.
void AppendPadded(std::string& Out, uint64_t Value, int Width) {
    char buf[24];
    int len = 0;
    do {
        buf[len++] = static_cast<char>('0' + Value % 10);
        Value /= 10;
    } while (Value != 0);
    for (int i = len; i < Width; ++i)
        Out += '0';
    while (len > 0)
        Out += buf[--len];
}

}  // namespace

TKestCurrency TKestCurrency::FromDouble(double Value) {
    if (!std::isfinite(Value)) throw std::out_of_range("TKestCurrency: the value is not finite");
    // Rounded by hand rather than with std::nearbyint so that a host which
    // changed the FPU rounding mode still gets halves to even. Both the
    // fraction and the comparisons below are exact in binary floating point.
    const double scaled = Value * static_cast<double>(Scale);
    double rounded = std::floor(scaled);
    const double fraction = scaled - rounded;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
    // 2^63 is exact as a double; int64 holds [-2^63, 2^63).
    constexpr double limit = 9223372036854775808.0;
    if (rounded < -limit || rounded >= limit)
        throw std::out_of_range("TKestCurrency: the value does not fit");
    return TKestCurrency(static_cast<int64_t>(rounded));
}

TKestCurrency TKestCurrency::Parse(std::string_view Text) {
    const auto invalid = [Text] {
        return std::invalid_argument("TKestCurrency: not an amount: \"" + std::string(Text) + "\"");
    };
    size_t pos = 0;
    bool negative = false;
    if (pos < Text.size() && (Text[pos] == '-' || Text[pos] == '+')) negative = Text[pos++] == '-';
    const size_t intBegin = pos;
    while (pos < Text.size() && IsDigit(Text[pos]))
        ++pos;
    const std::string_view intDigits = Text.substr(intBegin, pos - intBegin);
    std::string_view fracDigits;
    if (pos < Text.size() && Text[pos] == '.') {
        const size_t fracBegin = ++pos;
        while (pos < Text.size() && IsDigit(Text[pos]))
            ++pos;
        fracDigits = Text.substr(fracBegin, pos - fracBegin);
    }
    // Either side of the point may be empty (".5", "5." as people type them),
    // but not both; at most four decimals, nothing else around the number.
    if (pos != Text.size() || (intDigits.empty() && fracDigits.empty()) || fracDigits.size() > 4)
        throw invalid();

    // The magnitude is gathered unsigned so that the most negative amount,
    // whose magnitude is one more than the largest positive one, still fits.
    const uint64_t limit =
        negative ? uint64_t{1} << 63 : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const auto outOfRange = [Text] {
        return std::out_of_range("TKestCurrency: the amount is too large: " + std::string(Text));
    };
    uint64_t magnitude = 0;
    for (char C : intDigits) {
        const uint64_t digit = static_cast<uint64_t>(C - '0');
        if (magnitude > (limit - digit) / 10) throw outOfRange();
        magnitude = magnitude * 10 + digit;
    }
    if (magnitude > limit / Scale) throw outOfRange();
    uint64_t fraction = 0;
    for (size_t i = 0; i < 4; ++i)
        fraction = fraction * 10 +
                   (i < fracDigits.size() ? static_cast<uint64_t>(fracDigits[i] - '0') : 0);
    magnitude *= Scale;
    if (fraction > limit - magnitude) throw outOfRange();
    magnitude += fraction;
    // Two's complement negation of the magnitude, well defined for 2^63.
    return TKestCurrency(negative ? static_cast<int64_t>(0 - magnitude)
                                  : static_cast<int64_t>(magnitude));
}

int64_t TKestCurrency::Hundredths() const {
    int64_t quotient = FRaw / 100;    // truncated towards zero
    const int64_t rest = FRaw % 100;  // carries the sign of FRaw
    const int64_t absRest = rest < 0 ? -rest : rest;
    if (absRest > 50 || (absRest == 50 && quotient % 2 != 0)) quotient += FRaw < 0 ? -1 : 1;
    return quotient;
}

std::string TKestCurrency::ToString() const {
    // Unsigned arithmetic: the magnitude of INT64_MIN does not fit int64.
    const uint64_t magnitude =
        FRaw < 0 ? 0 - static_cast<uint64_t>(FRaw) : static_cast<uint64_t>(FRaw);
    const uint64_t whole = magnitude / Scale;
    const uint64_t fraction = magnitude % Scale;
    std::string out;
    if (FRaw < 0) out += '-';
    AppendPadded(out, whole, 1);
    out += '.';
    if (fraction % 100 == 0)
        AppendPadded(out, fraction / 100, 2);
    else
        AppendPadded(out, fraction, 4);
    return out;
}

// ---------------------------------------------------------------------------
// Date-time

namespace kest {

using namespace std::chrono;

namespace {

constexpr int64_t MSecPerDay = 86'400'000;
constexpr sys_days Epoch = sys_days{year{1899} / December / 30};

bool InRange(int Value, int Low, int High) {
    return Value >= Low && Value <= High;
}

}  // namespace

bool TryMakeDateTime(const TKestDateTimeParts& Parts, TKestDateTime& Result) {
    if (!InRange(Parts.Year, 1, 9999) || !InRange(Parts.Month, 1, 12) ||
        !InRange(Parts.Day, 1, 31) || !InRange(Parts.Hour, 0, 23) ||
        !InRange(Parts.Minute, 0, 59) || !InRange(Parts.Second, 0, 59) ||
        !InRange(Parts.MSec, 0, 999))
        return false;
    const year_month_day date{year{Parts.Year}, month{static_cast<unsigned>(Parts.Month)},
                              day{static_cast<unsigned>(Parts.Day)}};
    if (!date.ok()) return false;
    const double dayCount = static_cast<double>((sys_days{date} - Epoch).count());
    const double time =
        static_cast<double>(((Parts.Hour * 60 + Parts.Minute) * 60 + Parts.Second) * 1000 +
                            Parts.MSec) /
        MSecPerDay;
    // Before the epoch the day still counts backwards while the time of day
    // grows away from zero: 1899-12-29 06:00 is -1.25.
    Result = dayCount < 0 ? dayCount - time : dayCount + time;
    return true;
}

TKestDateTime MakeDateTime(const TKestDateTimeParts& Parts) {
    TKestDateTime result;
    if (!TryMakeDateTime(Parts, result)) throw std::invalid_argument("not a valid date and time");
    return result;
}

TKestDateTimeParts SplitDateTime(TKestDateTime Value) {
    const auto outOfRange = [] {
        return std::out_of_range("the day count is outside years 1..9999");
    };
    // One day of slack on each side; the exact bounds are checked on the year.
    if (!std::isfinite(Value) || Value < -693594.0 || Value > 2958467.0) throw outOfRange();
    const double wholeDays = std::trunc(Value);
    int64_t dayCount = static_cast<int64_t>(wholeDays);
    // The difference is exact, so is the fraction for negative days.
    int64_t mSec = std::llround(std::fabs(Value - wholeDays) * MSecPerDay);
    if (mSec >= MSecPerDay) {  // rounded up to 24:00: midnight of the next day
        mSec -= MSecPerDay;
        ++dayCount;
    }
    const year_month_day date{Epoch + days{dayCount}};
    TKestDateTimeParts parts;
    parts.Year = static_cast<int>(date.year());
    if (!InRange(parts.Year, 1, 9999)) throw outOfRange();
    parts.Month = static_cast<int>(static_cast<unsigned>(date.month()));
    parts.Day = static_cast<int>(static_cast<unsigned>(date.day()));
    parts.MSec = static_cast<int>(mSec % 1000);
    mSec /= 1000;
    parts.Second = static_cast<int>(mSec % 60);
    mSec /= 60;
    parts.Minute = static_cast<int>(mSec % 60);
    parts.Hour = static_cast<int>(mSec / 60);
    return parts;
}

TKestDateTime Now() {
    const auto clock = system_clock::now();
    const auto wholeSeconds = std::chrono::floor<seconds>(clock);
    const std::time_t time = system_clock::to_time_t(wholeSeconds);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &time);
#else
    localtime_r(&time, &local);
#endif
    TKestDateTimeParts parts;
    parts.Year = local.tm_year + 1900;
    parts.Month = local.tm_mon + 1;
    parts.Day = local.tm_mday;
    parts.Hour = local.tm_hour;
    parts.Minute = local.tm_min;
    parts.Second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second
    parts.MSec = static_cast<int>(duration_cast<milliseconds>(clock - wholeSeconds).count());
    return MakeDateTime(parts);
}

std::string FormatIso(TKestDateTime Value) {
    const TKestDateTimeParts p = SplitDateTime(Value);
    std::string out;
    const auto field = [&out](int Number, int Width, char Before) {
        if (Before) out += Before;
        AppendPadded(out, static_cast<uint64_t>(Number), Width);
    };
    field(p.Year, 4, 0);
    field(p.Month, 2, '-');
    field(p.Day, 2, '-');
    field(p.Hour, 2, 'T');
    field(p.Minute, 2, ':');
    field(p.Second, 2, ':');
    if (p.MSec != 0) field(p.MSec, 3, '.');
    return out;
}

TKestDateTime ParseIso(std::string_view Text) {
    const auto invalid = [Text] {
        return std::invalid_argument("not an ISO date-time: \"" + std::string(Text) + "\"");
    };
    // Reads Width digits at Pos, or refuses the text.
    const auto number = [&](size_t Pos, size_t Width) {
        if (Pos + Width > Text.size()) throw invalid();
        int value = 0;
        for (size_t i = Pos; i < Pos + Width; ++i) {
            if (!IsDigit(Text[i])) throw invalid();
            value = value * 10 + (Text[i] - '0');
        }
        return value;
    };
    const auto expect = [&](size_t Pos, char C) {
        if (Pos >= Text.size() || Text[Pos] != C) throw invalid();
    };

    TKestDateTimeParts parts;
    parts.Year = number(0, 4);
    expect(4, '-');
    parts.Month = number(5, 2);
    expect(7, '-');
    parts.Day = number(8, 2);
    parts.Hour = parts.Minute = parts.Second = parts.MSec = 0;
    if (Text.size() > 10) {
        if (Text[10] != 'T' && Text[10] != ' ') throw invalid();
        parts.Hour = number(11, 2);
        expect(13, ':');
        parts.Minute = number(14, 2);
        if (Text.size() > 16) {
            expect(16, ':');
            parts.Second = number(17, 2);
            if (Text.size() > 19) {
                expect(19, '.');
                const size_t digits = Text.size() - 20;
                if (digits < 1 || digits > 3) throw invalid();
                parts.MSec = number(20, digits);
                for (size_t i = digits; i < 3; ++i)
                    parts.MSec *= 10;  // ".5" is 500 ms
            }
        }
    }
    TKestDateTime result;
    if (!TryMakeDateTime(parts, result)) throw invalid();
    return result;
}

// ---------------------------------------------------------------------------
// UTF-8 <-> UTF-16

namespace {

constexpr char32_t Replacement = 0xFFFD;

void AppendUtf8(std::string& Out, char32_t C) {
    const auto byte = [&Out](char32_t B) { Out += static_cast<char>(B); };
    if (C < 0x80) {
        byte(C);
    } else if (C < 0x800) {
        byte(0xC0 | (C >> 6));
        byte(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
        byte(0xE0 | (C >> 12));
        byte(0x80 | ((C >> 6) & 0x3F));
        byte(0x80 | (C & 0x3F));
    } else {
        byte(0xF0 | (C >> 18));
        byte(0x80 | ((C >> 12) & 0x3F));
        byte(0x80 | ((C >> 6) & 0x3F));
        byte(0x80 | (C & 0x3F));
    }
}

bool IsHighSurrogate(char32_t C) {
    return C >= 0xD800 && C <= 0xDBFF;
}
bool IsLowSurrogate(char32_t C) {
    return C >= 0xDC00 && C <= 0xDFFF;
}

}  // namespace

std::string ToUtf8(std::u16string_view Text) {
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        char32_t c = Text[i];
        if (IsHighSurrogate(c) && i + 1 < Text.size() && IsLowSurrogate(Text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (Text[++i] - 0xDC00);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            c = Replacement;  // a surrogate without its partner
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string FromUtf8(std::string_view Text) {
    std::u16string out;
    out.reserve(Text.size());
    size_t i = 0;
    while (i < Text.size()) {
        const unsigned char lead = static_cast<unsigned char>(Text[i]);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        // The lead byte fixes the length and the range allowed for the second
        // byte; the narrowed ranges refuse overlong forms, encoded surrogates
        // and code points above U+10FFFF.
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        char32_t c = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        size_t used = 1;
        for (; length != 0 && used < length && i + used < Text.size(); ++used) {
            const unsigned char next = static_cast<unsigned char>(Text[i + used]);
            if (next < low || next > high) break;
            c = (c << 6) | (next & 0x3F);
            low = 0x80;
            high = 0xBF;
        }
        // A broken sequence is replaced once, up to the first byte that does
        // not fit it; that byte starts over as a lead.
        if (used != length) c = Replacement;
        i += used;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace kest
