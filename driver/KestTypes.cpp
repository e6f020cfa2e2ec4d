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
    char Buf[24];
    int Len = 0;
    do {
        Buf[Len++] = static_cast<char>('0' + Value % 10);
        Value /= 10;
    } while (Value != 0);
    for (int I = Len; I < Width; ++I)
        Out += '0';
    while (Len > 0)
        Out += Buf[--Len];
}

}  // namespace

TKestCurrency TKestCurrency::FromDouble(double Value) {
    if (!std::isfinite(Value)) throw std::out_of_range("TKestCurrency: the value is not finite");
    // Rounded by hand rather than with std::nearbyint so that a host which
    // changed the FPU rounding mode still gets halves to even. Both the
    // fraction and the comparisons below are exact in binary floating point.
    const double Scaled = Value * static_cast<double>(Scale);
    double Rounded = std::floor(Scaled);
    const double Fraction = Scaled - Rounded;
    if (Fraction > 0.5 || (Fraction == 0.5 && std::fmod(Rounded, 2.0) != 0.0)) Rounded += 1.0;
    // 2^63 is exact as a double; int64 holds [-2^63, 2^63).
    constexpr double Limit = 9223372036854775808.0;
    if (Rounded < -Limit || Rounded >= Limit)
        throw std::out_of_range("TKestCurrency: the value does not fit");
    return TKestCurrency(static_cast<int64_t>(Rounded));
}

TKestCurrency TKestCurrency::Parse(std::string_view Text) {
    const auto Invalid = [Text] {
        return std::invalid_argument("TKestCurrency: not an amount: \"" + std::string(Text) + "\"");
    };
    size_t Pos = 0;
    bool Negative = false;
    if (Pos < Text.size() && (Text[Pos] == '-' || Text[Pos] == '+')) Negative = Text[Pos++] == '-';
    const size_t IntBegin = Pos;
    while (Pos < Text.size() && IsDigit(Text[Pos]))
        ++Pos;
    const std::string_view IntDigits = Text.substr(IntBegin, Pos - IntBegin);
    std::string_view FracDigits;
    if (Pos < Text.size() && Text[Pos] == '.') {
        const size_t FracBegin = ++Pos;
        while (Pos < Text.size() && IsDigit(Text[Pos]))
            ++Pos;
        FracDigits = Text.substr(FracBegin, Pos - FracBegin);
    }
    // Either side of the point may be empty (".5", "5." as people type them),
    // but not both; at most four decimals, nothing else around the number.
    if (Pos != Text.size() || (IntDigits.empty() && FracDigits.empty()) || FracDigits.size() > 4)
        throw Invalid();

    // The magnitude is gathered unsigned so that the most negative amount,
    // whose magnitude is one more than the largest positive one, still fits.
    const uint64_t Limit =
        Negative ? uint64_t{1} << 63 : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const auto OutOfRange = [Text] {
        return std::out_of_range("TKestCurrency: the amount is too large: " + std::string(Text));
    };
    uint64_t Magnitude = 0;
    for (char C : IntDigits) {
        const uint64_t Digit = static_cast<uint64_t>(C - '0');
        if (Magnitude > (Limit - Digit) / 10) throw OutOfRange();
        Magnitude = Magnitude * 10 + Digit;
    }
    if (Magnitude > Limit / Scale) throw OutOfRange();
    uint64_t Fraction = 0;
    for (size_t I = 0; I < 4; ++I)
        Fraction = Fraction * 10 +
                   (I < FracDigits.size() ? static_cast<uint64_t>(FracDigits[I] - '0') : 0);
    Magnitude *= Scale;
    if (Fraction > Limit - Magnitude) throw OutOfRange();
    Magnitude += Fraction;
    // Two's complement negation of the magnitude, well defined for 2^63.
    return TKestCurrency(Negative ? static_cast<int64_t>(0 - Magnitude)
                                  : static_cast<int64_t>(Magnitude));
}

int64_t TKestCurrency::Hundredths() const {
    int64_t Quotient = FRaw / 100;    // truncated towards zero
    const int64_t Rest = FRaw % 100;  // carries the sign of FRaw
    const int64_t AbsRest = Rest < 0 ? -Rest : Rest;
    if (AbsRest > 50 || (AbsRest == 50 && Quotient % 2 != 0)) Quotient += FRaw < 0 ? -1 : 1;
    return Quotient;
}

std::string TKestCurrency::ToString() const {
    // Unsigned arithmetic: the magnitude of INT64_MIN does not fit int64.
    const uint64_t Magnitude =
        FRaw < 0 ? 0 - static_cast<uint64_t>(FRaw) : static_cast<uint64_t>(FRaw);
    const uint64_t Whole = Magnitude / Scale;
    const uint64_t Fraction = Magnitude % Scale;
    std::string Out;
    if (FRaw < 0) Out += '-';
    AppendPadded(Out, Whole, 1);
    Out += '.';
    if (Fraction % 100 == 0)
        AppendPadded(Out, Fraction / 100, 2);
    else
        AppendPadded(Out, Fraction, 4);
    return Out;
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
    const year_month_day Date{year{Parts.Year}, month{static_cast<unsigned>(Parts.Month)},
                              day{static_cast<unsigned>(Parts.Day)}};
    if (!Date.ok()) return false;
    const double Days = static_cast<double>((sys_days{Date} - Epoch).count());
    const double Time =
        static_cast<double>(((Parts.Hour * 60 + Parts.Minute) * 60 + Parts.Second) * 1000 +
                            Parts.MSec) /
        MSecPerDay;
    // Before the epoch the day still counts backwards while the time of day
    // grows away from zero: 1899-12-29 06:00 is -1.25.
    Result = Days < 0 ? Days - Time : Days + Time;
    return true;
}

TKestDateTime MakeDateTime(const TKestDateTimeParts& Parts) {
    TKestDateTime Result;
    if (!TryMakeDateTime(Parts, Result)) throw std::invalid_argument("not a valid date and time");
    return Result;
}

TKestDateTimeParts SplitDateTime(TKestDateTime Value) {
    const auto OutOfRange = [] {
        return std::out_of_range("the day count is outside years 1..9999");
    };
    // One day of slack on each side; the exact bounds are checked on the year.
    if (!std::isfinite(Value) || Value < -693594.0 || Value > 2958467.0) throw OutOfRange();
    const double WholeDays = std::trunc(Value);
    int64_t Days = static_cast<int64_t>(WholeDays);
    // The difference is exact, so is the fraction for negative days.
    int64_t MSec = std::llround(std::fabs(Value - WholeDays) * MSecPerDay);
    if (MSec >= MSecPerDay) {  // rounded up to 24:00: midnight of the next day
        MSec -= MSecPerDay;
        ++Days;
    }
    const year_month_day Date{Epoch + days{Days}};
    TKestDateTimeParts Parts;
    Parts.Year = static_cast<int>(Date.year());
    if (!InRange(Parts.Year, 1, 9999)) throw OutOfRange();
    Parts.Month = static_cast<int>(static_cast<unsigned>(Date.month()));
    Parts.Day = static_cast<int>(static_cast<unsigned>(Date.day()));
    Parts.MSec = static_cast<int>(MSec % 1000);
    MSec /= 1000;
    Parts.Second = static_cast<int>(MSec % 60);
    MSec /= 60;
    Parts.Minute = static_cast<int>(MSec % 60);
    Parts.Hour = static_cast<int>(MSec / 60);
    return Parts;
}

TKestDateTime Now() {
    const auto Clock = system_clock::now();
    const auto Seconds = std::chrono::floor<seconds>(Clock);
    const std::time_t Time = system_clock::to_time_t(Seconds);
    std::tm Local{};
#ifdef _WIN32
    localtime_s(&Local, &Time);
#else
    localtime_r(&Time, &Local);
#endif
    TKestDateTimeParts Parts;
    Parts.Year = Local.tm_year + 1900;
    Parts.Month = Local.tm_mon + 1;
    Parts.Day = Local.tm_mday;
    Parts.Hour = Local.tm_hour;
    Parts.Minute = Local.tm_min;
    Parts.Second = Local.tm_sec > 59 ? 59 : Local.tm_sec;  // a leap second
    Parts.MSec = static_cast<int>(duration_cast<milliseconds>(Clock - Seconds).count());
    return MakeDateTime(Parts);
}

std::string FormatIso(TKestDateTime Value) {
    const TKestDateTimeParts P = SplitDateTime(Value);
    std::string Out;
    const auto Field = [&Out](int Number, int Width, char Before) {
        if (Before) Out += Before;
        AppendPadded(Out, static_cast<uint64_t>(Number), Width);
    };
    Field(P.Year, 4, 0);
    Field(P.Month, 2, '-');
    Field(P.Day, 2, '-');
    Field(P.Hour, 2, 'T');
    Field(P.Minute, 2, ':');
    Field(P.Second, 2, ':');
    if (P.MSec != 0) Field(P.MSec, 3, '.');
    return Out;
}

TKestDateTime ParseIso(std::string_view Text) {
    const auto Invalid = [Text] {
        return std::invalid_argument("not an ISO date-time: \"" + std::string(Text) + "\"");
    };
    // Reads Width digits at Pos, or refuses the text.
    const auto Number = [&](size_t Pos, size_t Width) {
        if (Pos + Width > Text.size()) throw Invalid();
        int Value = 0;
        for (size_t I = Pos; I < Pos + Width; ++I) {
            if (!IsDigit(Text[I])) throw Invalid();
            Value = Value * 10 + (Text[I] - '0');
        }
        return Value;
    };
    const auto Expect = [&](size_t Pos, char C) {
        if (Pos >= Text.size() || Text[Pos] != C) throw Invalid();
    };

    TKestDateTimeParts Parts;
    Parts.Year = Number(0, 4);
    Expect(4, '-');
    Parts.Month = Number(5, 2);
    Expect(7, '-');
    Parts.Day = Number(8, 2);
    Parts.Hour = Parts.Minute = Parts.Second = Parts.MSec = 0;
    if (Text.size() > 10) {
        if (Text[10] != 'T' && Text[10] != ' ') throw Invalid();
        Parts.Hour = Number(11, 2);
        Expect(13, ':');
        Parts.Minute = Number(14, 2);
        if (Text.size() > 16) {
            Expect(16, ':');
            Parts.Second = Number(17, 2);
            if (Text.size() > 19) {
                Expect(19, '.');
                const size_t Digits = Text.size() - 20;
                if (Digits < 1 || Digits > 3) throw Invalid();
                Parts.MSec = Number(20, Digits);
                for (size_t I = Digits; I < 3; ++I)
                    Parts.MSec *= 10;  // ".5" is 500 ms
            }
        }
    }
    TKestDateTime Result;
    if (!TryMakeDateTime(Parts, Result)) throw Invalid();
    return Result;
}

// ---------------------------------------------------------------------------
// UTF-8 <-> UTF-16

namespace {

constexpr char32_t Replacement = 0xFFFD;

void AppendUtf8(std::string& Out, char32_t C) {
    const auto Byte = [&Out](char32_t B) { Out += static_cast<char>(B); };
    if (C < 0x80) {
        Byte(C);
    } else if (C < 0x800) {
        Byte(0xC0 | (C >> 6));
        Byte(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
        Byte(0xE0 | (C >> 12));
        Byte(0x80 | ((C >> 6) & 0x3F));
        Byte(0x80 | (C & 0x3F));
    } else {
        Byte(0xF0 | (C >> 18));
        Byte(0x80 | ((C >> 12) & 0x3F));
        Byte(0x80 | ((C >> 6) & 0x3F));
        Byte(0x80 | (C & 0x3F));
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
    std::string Out;
    Out.reserve(Text.size());
    for (size_t I = 0; I < Text.size(); ++I) {
        char32_t C = Text[I];
        if (IsHighSurrogate(C) && I + 1 < Text.size() && IsLowSurrogate(Text[I + 1])) {
            C = 0x10000 + ((C - 0xD800) << 10) + (Text[++I] - 0xDC00);
        } else if (IsHighSurrogate(C) || IsLowSurrogate(C)) {
            C = Replacement;  // a surrogate without its partner
        }
        AppendUtf8(Out, C);
    }
    return Out;
}

std::u16string FromUtf8(std::string_view Text) {
    std::u16string Out;
    Out.reserve(Text.size());
    size_t I = 0;
    while (I < Text.size()) {
        const unsigned char Lead = static_cast<unsigned char>(Text[I]);
        if (Lead < 0x80) {
            Out += static_cast<char16_t>(Lead);
            ++I;
            continue;
        }
        // The lead byte fixes the length and the range allowed for the second
        // byte; the narrowed ranges refuse overlong forms, encoded surrogates
        // and code points above U+10FFFF.
        size_t Length = 0;
        unsigned char Low = 0x80, High = 0xBF;
        char32_t C = 0;
        if (Lead >= 0xC2 && Lead <= 0xDF) {
            Length = 2;
            C = Lead & 0x1F;
        } else if (Lead >= 0xE0 && Lead <= 0xEF) {
            Length = 3;
            C = Lead & 0x0F;
            if (Lead == 0xE0) Low = 0xA0;
            if (Lead == 0xED) High = 0x9F;
        } else if (Lead >= 0xF0 && Lead <= 0xF4) {
            Length = 4;
            C = Lead & 0x07;
            if (Lead == 0xF0) Low = 0x90;
            if (Lead == 0xF4) High = 0x8F;
        }
        size_t Used = 1;
        for (; Length != 0 && Used < Length && I + Used < Text.size(); ++Used) {
            const unsigned char Next = static_cast<unsigned char>(Text[I + Used]);
            if (Next < Low || Next > High) break;
            C = (C << 6) | (Next & 0x3F);
            Low = 0x80;
            High = 0xBF;
        }
        // A broken sequence is replaced once, up to the first byte that does
        // not fit it; that byte starts over as a lead.
        if (Used != Length) C = Replacement;
        I += Used;
        if (C >= 0x10000) {
            C -= 0x10000;
            Out += static_cast<char16_t>(0xD800 + (C >> 10));
            Out += static_cast<char16_t>(0xDC00 + (C & 0x3FF));
        } else {
            Out += static_cast<char16_t>(C);
        }
    }
    return Out;
}

}  // namespace kest
