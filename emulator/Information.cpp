// Taxes, the clock, counters, the last document, the fiscal memory's
// resources and the fiscal re-registration.
#include <algorithm>
#include <stdexcept>

#include "Fields.h"
#include "Services.h"

namespace kest::emu {

namespace {

// A rate as "18.00", "0.05" or "5": hundredths of a percent, 99.99 at most.
int ParseRate(std::string_view Text, int& Hundredths) {
    if (Text.empty()) return ecEmptyField;
    const size_t point = Text.find('.');
    const std::string_view whole = Text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view{} : Text.substr(point + 1);
    auto digits = [](std::string_view S) {
        return std::ranges::all_of(S, [](char C) { return C >= '0' && C <= '9'; });
    };
    if (whole.empty() || !digits(whole) || !digits(fraction) || fraction.size() > 2)
        return ecBadField;
    if (whole.size() > 2) return ecOutOfRange;
    int value = 0;
    for (char c : whole)
        value = value * 10 + (c - '0');
    for (size_t i = 0; i < 2; ++i)
        value = value * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    Hundredths = value;
    return ecOk;
}

// The last document in the long layout; the short one is the same with a
// 6-digit document number, cut after the receipt number.
std::string LastDocumentData(const TEcrState& State, int NumberWidth) {
    const TLastDocument& doc = State.LastDocument;
    return NumberField(doc.Operator, 2) + NumberField(doc.Number, NumberWidth) +
           DateField(doc.Date) + TimeField(doc.Date) + std::string{'0', doc.Type, '\0'} +
           SumField(doc.Sum) + NumberField(doc.Receipt, 5) + NumberField(doc.Report, 5) +
           SumField(doc.BuyingSum);
}

// The long form of "D"; the 36-byte form ends before the journal's resource.
std::string ResourcesData(const TEcrState& State) {
    const TResources& r = State.Resources;
    return NumberField(r.RewritesRemain, 4) + NumberField(r.DaysRemain, 4) +
           NumberField(r.LastFiscalReport, 5) + NumberField(r.LastDayClosing, 5) +
           DateField(r.DayClosed) + TimeField(r.DayClosed) + NumberField(State.Journal.Rest, 4);
}

// The flag byte of "D": 0x00 or "0" reads, "1" prints as well.
int ResourcesFlag(std::string_view Data, bool& Print) {
    if (Data[1] != '\0') return ecFieldTooLong;
    if (Data[0] != '\0' && Data[0] != '0' && Data[0] != '1') return ecBadField;
    Print = Data[0] == '1';
    return ecOk;
}

}  // namespace

// "M": the tax index (1 digit); answer the index, rate, name, date and four
// characters the host does not read.
TAnswer ReadTax(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t index = 0;
    if (const int e = ReadNumber(Data, 0, 1, index); e != ecOk) return Refused(e);
    if (index >= TaxCount) return Refused(ecOutOfRange);
    const TTax& tax = State.Taxes[index];
    return Answered(std::string(Data.substr(0, 2)) + RateField(tax.Rate) +
                    SlotField(tax.Name, TaxNameWidth) + DateField(tax.Date) + "0000" + '\0');
}

// "F": index, rate (5 characters in a 6-byte slot), name (20 bytes) and the
// date, each with its 0x00.
TAnswer SetTax(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t index = 0;
    std::string rateText;
    int rate = 0;
    TTax tax;
    if (const int e = ReadNumber(Data, 0, 1, index); e != ecOk) return Refused(e);
    if (const int e = ReadText(Data, 2, 5, rateText); e != ecOk) return Refused(e);
    if (const int e = ParseRate(rateText, rate); e != ecOk) return Refused(e);
    if (const int e = ReadText(Data, 8, TaxNameWidth, tax.Name); e != ecOk) return Refused(e);
    if (const int e = ReadDate(Data, 29, tax.Date); e != ecOk) return Refused(e);
    if (index >= TaxCount) return Refused(ecOutOfRange);
    tax.Rate = rate;
    State.Taxes[index] = std::move(tax);
    return {};
}

// "G": DDMMYYYY, 0x00, HHMM, 0x00. The register's clock runs on from there
// beside the host's.
TAnswer SetClock(TEcrState& State, const TCommand&, std::string_view Data) {
    TKestDateTime date = 0, time = 0;
    if (const int e = ReadDate(Data, 0, date); e != ecOk) return Refused(e);
    if (const int e = ReadTime(Data, 9, time); e != ecOk) return Refused(e);
    State.ClockOffset = date + time - Now();
    return {};
}

// "H": the register's clock, DDMMYYYY, 0x00, HHMM, 0x00.
TAnswer ReadClock(TEcrState& State, const TCommand&, std::string_view) {
    const TKestDateTime now = ClockNow(State);
    return Answered(DateField(now) + TimeField(now));
}

// "J", long form: 42, 48, 54 or 70 bytes by generation.
TAnswer ReadLastDocument(TEcrState& State, const TCommand& Command, std::string_view) {
    return Answered(LastDocumentData(State, 5).substr(0, Command.AnswerSize));
}

// "J", short form (49 bytes): a 6-digit document number, no report number or
// buying sum.
TAnswer ReadLastDocumentShort(TEcrState& State, const TCommand& Command, std::string_view) {
    return Answered(LastDocumentData(State, 6).substr(0, Command.AnswerSize));
}

// "L": the sums of counters 12 and 11, count and sum of ten more, and five
// sums the register keeps for itself.
TAnswer ReadCounters(TEcrState& State, const TCommand&, std::string_view) {
    constexpr int Order[] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 3};
    std::string data = SumField(State.Counters[12].Sum) + SumField(State.Counters[11].Sum);
    for (int n : Order)
        data += NumberField(State.Counters[n].Count, 5) + SumField(State.Counters[n].Sum);
    for (int i = 0; i < 5; ++i)
        data += SumField(0);
    return Answered(std::move(data));
}

// "U": the counter number (3 digits on generations 6 and 8, 4 on 3 and 7);
// answer the number as received, the count (5 digits) and the sum.
TAnswer ReadCounter(TEcrState& State, const TCommand& Command, std::string_view Data) {
    int64_t number = 0;
    if (const int e = ReadNumber(Data, 0, Command.DataSize - 1, number); e != ecOk)
        return Refused(e);
    if (number >= CounterCount) return Refused(ecOutOfRange);
    const TCounter& counter = State.Counters[number];
    return Answered(std::string(Data) + NumberField(counter.Count, 5) + SumField(counter.Sum));
}

// "D" where the register does not print the information: the flag must ask
// for none.
TAnswer ReadResources(TEcrState& State, const TCommand& Command, std::string_view Data) {
    bool print = false;
    if (const int e = ResourcesFlag(Data, print); e != ecOk) return Refused(e);
    if (print) return Refused(ecOutOfRange);
    return Answered(ResourcesData(State).substr(0, Command.AnswerSize));
}

// "D" where the register prints the information on flag "1".
TAnswer PrintResources(TEcrState& State, const TCommand& Command, std::string_view Data) {
    bool print = false;
    if (const int e = ResourcesFlag(Data, print); e != ecOk) return Refused(e);
    return Answered(ResourcesData(State).substr(0, Command.AnswerSize), print ? PrintAcks : 0);
}

// "A": five fields, text 1, 2, 3, the date, text 4, each with its 0x00; texts 2
// and 3 are the new registration number and tax-payer number. Their widths
// depend on the register, told apart by the request size. Answers the
// re-registrations left (9 at most) as one digit. Texts 1 and 4 are only
// checked: they go to the fiscal memory's record, which is not kept yet.
TAnswer FiscalRewrite(TEcrState& State, const TCommand& Command, std::string_view Data) {
    struct TLayout {
        int Size, RegWidth, TaxPayerWidth;
    };
    constexpr TLayout Layouts[] = {{43, 8, 12}, {44, 8, 13}, {46, 10, 13}};
    const auto layout = std::ranges::find(Layouts, Command.DataSize, &TLayout::Size);
    if (layout == std::end(Layouts)) throw std::logic_error("no \"A\" layout of this size");
    const size_t regAt = 6, taxPayerAt = regAt + layout->RegWidth + 1,
                 dateAt = taxPayerAt + layout->TaxPayerWidth + 1, lastAt = dateAt + 9;
    std::string first, reg, taxPayer, last;
    TKestDateTime date = 0;
    if (const int e = ReadText(Data, 0, 5, first); e != ecOk) return Refused(e);
    if (const int e = ReadText(Data, regAt, layout->RegWidth, reg); e != ecOk) return Refused(e);
    if (const int e = ReadText(Data, taxPayerAt, layout->TaxPayerWidth, taxPayer); e != ecOk)
        return Refused(e);
    if (const int e = ReadDate(Data, dateAt, date); e != ecOk) return Refused(e);
    if (const int e = ReadText(Data, lastAt, 5, last); e != ecOk) return Refused(e);
    if (reg.empty() || taxPayer.empty()) return Refused(ecEmptyField);
    if (State.Resources.RewritesRemain == 0) return Refused(ecNoRewrites);
    State.RegNumber = std::move(reg);
    State.TaxPayerNumber = std::move(taxPayer);
    const int left = --State.Resources.RewritesRemain;
    return Answered(NumberField(std::min(left, 9), 1), PrintAcks);
}

}  // namespace kest::emu
