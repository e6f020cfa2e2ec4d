// What the register puts on paper: its documents as lines of 40 characters.
#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Documents.h"

namespace kest::emu {

namespace {

const std::u16string Separator(PaperWidth, u'-');

// Register bytes as text for the paper; control characters would break the
// lines, so they show as "?".
std::u16string Decode(const TEcrState& State, std::string_view Bytes) {
    std::u16string text = TKestorFPrt::DecodeString(Bytes, State.Coding);
    std::ranges::replace_if(
        text, [](char16_t C) { return C < u' '; }, u'?');
    return text;
}

std::u16string Ascii(std::string_view Text) {
    return {Text.begin(), Text.end()};
}

std::u16string Digits(int64_t Value, int Width) {
    std::u16string out(Width, u'0');
    for (int i = Width - 1; i >= 0 && Value > 0; --i, Value /= 10)
        out[i] = static_cast<char16_t>(u'0' + Value % 10);
    return out;
}

// Hundredths as "1050.93", "-31.53".
std::u16string Money(int64_t Hundredths) {
    const std::u16string sign = Hundredths < 0 ? u"-" : u"";
    const int64_t value = Hundredths < 0 ? -Hundredths : Hundredths;
    return sign + Ascii(std::to_string(value / 100)) + u"." + Digits(value % 100, 2);
}
std::u16string Value(int64_t Hundredths) {
    return u"=" + Money(Hundredths);
}
std::u16string SignedValue(int64_t Hundredths) {
    return Hundredths > 0 ? u"=+" + Money(Hundredths) : Value(Hundredths);
}

std::u16string Quantity(const TDocLine& Line) {
    std::u16string text = Ascii(std::to_string(Line.Quantity / 1000));
    if (Line.QuantityDecimals > 0) {
        int64_t fraction = Line.Quantity % 1000;
        for (int i = Line.QuantityDecimals; i < 3; ++i)
            fraction /= 10;
        text += u"." + Digits(fraction, Line.QuantityDecimals);
    }
    return text;
}

std::u16string DateOnly(TKestDateTime Date) {
    const TKestDateTimeParts p = SplitDateTime(Date);
    return Digits(p.Day, 2) + u"." + Digits(p.Month, 2) + u"." + Digits(p.Year, 4);
}
std::u16string DateTime(TKestDateTime Date) {
    const TKestDateTimeParts p = SplitDateTime(Date);
    return DateOnly(Date) + u" " + Digits(p.Hour, 2) + u":" + Digits(p.Minute, 2);
}

std::u16string OperationName(char Operation) {
    switch (Operation) {
        case '0':
            return u"ПРОДАЖА";
        case '1':
            return u"ВОЗВРАТ ПРОДАЖИ";
        case 'C':
            return u"ВОЗВРАТ БЕЗНАЛИЧНЫЙ";
        case 'A':
            return u"АННУЛИРОВАНИЕ";
        case '2':
            return u"ВНЕСЕНИЕ";
        case '3':
            return u"ВЫПЛАТА";
        case 'D':
            return u"ПОКУПКА";
        case 'E':
            return u"ВОЗВРАТ ПОКУПКИ";
        case 'F':
            return u"АННУЛИРОВАНИЕ ПОКУПКИ";
    }
    return {};
}

std::u16string Operator(const TEcrState& State, int Info) {
    const std::u16string number = u"ОПЕРАТОР " + Digits(State.Operator, 2);
    const std::u16string name = Decode(State, State.Texts[OperatorBase + State.Operator]);
    return Info == 0 || name.empty() ? number : Info == 1 ? name : number + u" " + name;
}

std::u16string TaxName(const TEcrState& State, int Index) {
    return Decode(State, State.Taxes[Index].Name);
}

// A line of the paper as it is built: text at columns, the rest blank.
class TLine {
public:
    TLine() : FText(PaperWidth, u' ') {}
    // Text from column X; text that would run over the edge moves left.
    void Put(int X, std::u16string_view Text) {
        Text = Text.substr(0, PaperWidth);
        X = std::clamp(X, 0, PaperWidth - int(Text.size()));
        std::ranges::copy(Text, FText.begin() + X);
    }
    // Text ending at column Right.
    void PutRight(int Right, std::u16string_view Text) { Put(Right + 1 - int(Text.size()), Text); }
    std::u16string Text() const { return FText.substr(0, FText.find_last_not_of(u' ') + 1); }

private:
    std::u16string FText;
};

class TPaper {
public:
    explicit TPaper(const TEcrState& State) : FState(State) {}
    void Add(std::u16string_view Text) {
        FText += std::u16string(Text.substr(0, PaperWidth)) + u'\n';
    }
    void Add(const TLine& Line) { Add(Line.Text()); }
    void Center(std::u16string_view Text) {
        TLine line;
        line.Put((PaperWidth - int(Text.size())) / 2, Text);
        Add(line);
    }
    void Split(std::u16string_view Left, std::u16string_view Right) {
        TLine line;
        line.Put(0, Left);
        line.PutRight(PaperWidth - 1, Right);
        Add(line);
    }
    // A label, a count ending at column 27 and a value at the right edge.
    void Row(std::u16string_view Label, int64_t Count, std::u16string_view Value) {
        TLine line;
        line.Put(0, Label);
        line.PutRight(27, Ascii(std::to_string(Count)));
        line.PutRight(PaperWidth - 1, Value);
        Add(line);
    }
    void Header() {
        for (int i = 0; i < HeaderLines; ++i)
            if (!FState.Texts[HeaderBase + i].empty())
                Center(Decode(FState, FState.Texts[HeaderBase + i]));
    }
    std::string Utf8() const { return ToUtf8(FText); }
    const TEcrState& State() const { return FState; }

private:
    const TEcrState& FState;
    std::u16string FText;
};

// The parts of a payment: what each kind paid, the cash as given.
void PaymentLines(TPaper& Paper, const TDocument& Doc) {
    const std::u16string other = Doc.PayType == 1 || Doc.PayType == 3 ? u"КРЕДИТОМ" : u"КАРТОЙ";
    const std::u16string text = Decode(Paper.State(), Doc.PayText);
    switch (Doc.PayType) {
        case 0:
            Paper.Split(u"НАЛИЧНЫМИ", Value(Doc.Given ? Doc.Cash : Doc.Total));
            break;
        case 1:
        case 2:
            Paper.Split(other, Value(Doc.Total));
            if (!text.empty()) Paper.Add(text);
            break;
        default:
            Paper.Split(u"НАЛИЧНЫМИ", Value(Doc.Cash));
            Paper.Split(other, Value(Doc.Other));
    }
    if (Doc.Operation == '0' && Doc.Given && Doc.PayType != 1 && Doc.PayType != 2)
        Paper.Split(u"СДАЧА", Value(Doc.Change));
}

void ItemLines(TPaper& Paper, const TDocLine& Line) {
    if (!Line.Name.empty()) Paper.Add(Decode(Paper.State(), Line.Name));
    if (Line.Department >= 0) {
        std::u16string where = u"ОТД " + Digits(Line.Department, 2);
        if (Line.Code >= 0) where += u" КОД " + Ascii(std::to_string(Line.Code));
        if (Line.Tax >= 0) where += u" " + TaxName(Paper.State(), Line.Tax);
        Paper.Add(where);
    }
    const std::u16string price =
        Line.Quantity >= 0 ? Quantity(Line) + u" x " + Money(Line.Price) : Money(Line.Price);
    Paper.Split(u"  " + price, Value(Line.Sum));
    if (Line.Percent != 0)
        Paper.Split(Line.Percent < 0 ? u"  СКИДКА " + Money(-Line.Percent) + u"%"
                                     : u"  НАДБАВКА " + Money(Line.Percent) + u"%",
                    SignedValue(Line.Adjustment));
}

// The left part of a priced line laid out in a document.
std::u16string LineLabel(const TEcrState& State, const TDocLine& Line) {
    std::u16string label;
    switch (Line.Kind) {
        case TDocLine::Item:
            if (Line.Quantity >= 0) {
                label = Quantity(Line);
                if (!Line.Unit.empty()) label += u" " + Decode(State, Line.Unit);
                label += u" x ";
            }
            label += Money(Line.Price);
            if (Line.Percent != 0)
                label += (Line.Percent < 0 ? u" -" : u" +") +
                         Money(Line.Percent < 0 ? -Line.Percent : Line.Percent) + u"%";
            break;
        case TDocLine::ItemPercent:
        case TDocLine::ItemAmount:
        case TDocLine::DocPercent:
        case TDocLine::DocAmount: {
            const bool discount = Line.Adjustment < 0;  // of the line it takes back, when void
            label = discount ? u"СКИДКА" : u"НАДБАВКА";
            if (Line.Kind == TDocLine::DocPercent || Line.Kind == TDocLine::DocAmount)
                label += u" НА ЧЕК";
            if (Line.Kind == TDocLine::ItemPercent || Line.Kind == TDocLine::DocPercent)
                label += u" " + Money(Line.Percent < 0 ? -Line.Percent : Line.Percent) + u"%";
        }
    }
    return Line.Void ? u"СТОРНО " + label : label;
}

// The text a property prints at its place, and the value that ends at its
// right edge.
std::pair<std::u16string, std::u16string> PropertyTexts(const TEcrState& State,
                                                        const TDocument& Doc, const TDocProperty& P,
                                                        const TImprint& Imprint) {
    const std::array<int64_t, TaxCount> taxes = TaxSums(State, Doc);
    switch (P.Code) {
        case 0:
            return {u"ЗН ККМ " + Decode(State, State.Serial), {}};
        case 1:
        case 2:
        case 3:
        case 4:
            return {Decode(State, State.Texts[HeaderBase + P.Code - 1]), {}};
        case 5:
            return {DateTime(Imprint.Date), {}};
        case 6:
            return {Operator(State, Doc.OperInfo), {}};
        case 7:
            return {u"ДОК " + Digits(Imprint.Document, 5), {}};
        case 8:
            return {u"ЧЕК " + Digits(Imprint.Receipt, 5), {}};
        case 9:
            return {u"СЧЕТ " + Decode(State, P.Text), {}};
        case 10:
            return {u"ИНН " + Decode(State, State.TaxPayerNumber), {}};
        case 11:
        case 21: {
            const TDocLine& line = Doc.Lines[P.Line];
            const bool plain = line.Kind == TDocLine::Item && !line.Void;
            return {LineLabel(State, line), plain ? Value(line.Amount) : SignedValue(line.Amount)};
        }
        case 12:
            return {u"ИТОГ", Value(Doc.Total)};
        case 13: {
            const std::u16string other =
                Doc.PayType == 1 || Doc.PayType == 3 ? u"КРЕДИТОМ" : u"КАРТОЙ";
            const std::u16string text = Decode(State, Doc.PayText);
            switch (Doc.PayType) {
                case 0:
                    return {u"НАЛИЧНЫМИ", Value(Doc.Given ? Doc.Cash : Doc.Total)};
                case 1:
                case 2:
                    return {text.empty() ? other : text, Value(Doc.Total)};
                default:
                    return {u"НАЛИЧНЫМИ " + Money(Doc.Cash), other + u" " + Value(Doc.Other)};
            }
        }
        case 14:
            return {u"СДАЧА", Value(Doc.Change)};
        case 15:
        case 16:
        case 17:
        case 18:
        case 19:
            return {TaxName(State, P.Code - 15), Value(taxes[P.Code - 15])};
        case 20:
            return {u"ФП", {}};
        case 22:
            return {u"ЭКЛЗ КПК " + Digits(Imprint.Document, 5), {}};
        case 23: {
            const TGraphicHeader& h = State.GraphicHeader;
            if (!h.Enabled) return {};
            return {u"[ГРАФИЧЕСКОЕ КЛИШЕ " + Ascii(std::to_string(h.Width)) + u"x" +
                        Ascii(std::to_string(h.Height)) + u"]",
                    {}};
        }
        case 24:
            return {u"РН ККМ " + Decode(State, State.RegNumber), {}};
        case 98:
            return {u"ШК " + Decode(State, P.Text), {}};
        default:
            return {Decode(State, P.Text), {}};
    }
}

// The head of a report: the register, the date and document number, the
// shift and the operator, then the title.
void ReportHead(TPaper& Paper, const TImprint& Imprint, bool Header, std::u16string_view Title) {
    const TEcrState& state = Paper.State();
    if (Header) Paper.Header();
    Paper.Split(u"ЗН ККМ " + Decode(state, state.Serial),
                u"ИНН " + Decode(state, state.TaxPayerNumber));
    Paper.Split(DateTime(Imprint.Date), u"ДОК " + Digits(Imprint.Document, 5));
    Paper.Split(u"СМЕНА " + Digits(Imprint.Shift, 4), Operator(state, 0));
    Paper.Center(Title);
}

// The counters an X or Z report prints: the four every register has always,
// the others where the register has them and they counted something (or in
// the full form).
struct TCounterLine {
    int Counter;
    std::u16string_view Name;
    uint32_t Generations;
    bool Always;
};
constexpr TCounterLine CounterLines[] = {
    {CtSales, u"ПРОДАЖИ", AllGenerations, true},
    {CtSalesCash, u"  НАЛИЧНЫМИ", AllGenerations, false},
    {CtSalesCredit, u"  КРЕДИТОМ", AllGenerations, false},
    {CtSalesCard, u"  КАРТОЙ", AllGenerations, false},
    {CtRefunds, u"ВОЗВРАТЫ", AllGenerations, true},
    {CtRefundsCashless, u"ВОЗВРАТЫ БЕЗНАЛИЧНЫЕ", OnGenerations({3, 7}), false},
    {CtVoids, u"АННУЛИРОВАНИЯ", OnGenerations({1, 2, 6}), false},
    {CtBuyings, u"ПОКУПКИ", OnGenerations({6, 8}), false},
    {CtBuyingRefunds, u"ВОЗВРАТЫ ПОКУПОК", OnGenerations({6, 8}), false},
    {CtCashIn, u"ВНЕСЕНИЯ", AllGenerations, true},
    {CtCashOut, u"ВЫПЛАТЫ", AllGenerations, true},
};

void TotalsRows(TPaper& Paper, const TShiftTotals& Totals, bool Always) {
    if (Always || Totals.Sales.Count != 0)
        Paper.Row(u"  ПРОДАЖИ", Totals.Sales.Count, Value(Totals.Sales.Sum));
    if (Always || Totals.Refunds.Count != 0)
        Paper.Row(u"  ВОЗВРАТЫ", Totals.Refunds.Count, Value(Totals.Refunds.Sum));
}

bool Counted(const TShiftTotals& Totals) {
    return Totals.Sales.Count != 0 || Totals.Refunds.Count != 0;
}

// The departments (or operators) of the shift: the one asked for, or each
// one that counted something.
template <size_t N>
void TotalsBy(TPaper& Paper, const std::array<TShiftTotals, N>& Totals, int Which,
              const std::function<std::u16string(int)>& Title) {
    for (int i = 0; i < int(N); ++i) {
        if (Which >= 0 ? i != Which : !Counted(Totals[i])) continue;
        Paper.Add(Title(i));
        TotalsRows(Paper, Totals[i], Which >= 0);
    }
}

}  // namespace

TImprint NextImprint(const TEcrState& State) {
    return {.Document = State.LastDocument.Number + 1,
            .Receipt = State.LastDocument.Receipt + 1,
            .Shift = State.Resources.LastDayClosing + 1,
            .Date = ClockNow(State)};
}

std::array<int64_t, TaxCount> TaxSums(const TEcrState& State, const TDocument& Document) {
    std::array<int64_t, TaxCount> bases{}, sums{};
    for (const TDocLine& line : Document.Lines)
        if (line.Tax >= 0) bases[line.Tax] += line.Amount;
    for (int i = 0; i < TaxCount; ++i) {
        const int64_t rate = State.Taxes[i].Rate, base = std::max<int64_t>(bases[i], 0);
        sums[i] = (base * rate * 2 + 10000 + rate) / (2 * (10000 + rate));  // halves up
    }
    return sums;
}

bool HasTax(const TDocument& Document, int Index) {
    return std::ranges::any_of(Document.Lines, [&](const TDocLine& L) { return L.Tax == Index; });
}

std::string ReceiptText(const TEcrState& State, const TDocument& Doc, const TImprint& Imprint) {
    TPaper paper(State);
    paper.Header();
    paper.Split(u"ЗН ККМ " + Decode(State, State.Serial),
                u"ИНН " + Decode(State, State.TaxPayerNumber));
    paper.Split(DateTime(Imprint.Date), u"ДОК " + Digits(Imprint.Document, 5));
    paper.Split(u"СМЕНА " + Digits(Imprint.Shift, 4), u"ЧЕК " + Digits(Imprint.Receipt, 5));
    paper.Add(Operator(State, Doc.OperInfo));
    if (!Doc.Account.empty()) paper.Add(u"СЧЕТ " + Decode(State, Doc.Account));
    paper.Center(Decode(State, State.Texts[0]));
    paper.Center(OperationName(Doc.Operation));
    for (const TDocLine& line : Doc.Lines)
        ItemLines(paper, line);
    paper.Split(u"ИТОГ", Value(Doc.Total));
    PaymentLines(paper, Doc);
    const std::array<int64_t, TaxCount> taxes = TaxSums(State, Doc);
    for (int i = 0; i < TaxCount; ++i)
        if (HasTax(Doc, i)) paper.Split(TaxName(State, i), Value(taxes[i]));
    return paper.Utf8();
}

std::string RowsText(const TEcrState& State, const TDocument& Doc, const TImprint& Imprint,
                     int FirstRow, int LastRow) {
    if (LastRow < FirstRow) return {};
    std::vector<TLine> rows(LastRow - FirstRow + 1);
    for (const TDocProperty& p : Doc.Properties) {
        if (p.Y < FirstRow || p.Y > LastRow) continue;
        const auto [text, value] = PropertyTexts(State, Doc, p, Imprint);
        TLine& row = rows[p.Y - FirstRow];
        row.Put(p.X, text);
        if (!value.empty()) row.PutRight(p.Second > 0 ? p.Second : PaperWidth - 1, value);
    }
    TPaper paper(State);
    for (const TLine& row : rows)
        paper.Add(row);
    return paper.Utf8();
}

std::string EndText(bool FiscalSign) {
    std::u16string text;
    if (FiscalSign) text += std::u16string((PaperWidth - 2) / 2, u' ') + u"ФП\n";
    return ToUtf8(text + Separator + u'\n');
}

std::string CancelText() {
    return ToUtf8(std::u16string((PaperWidth - 15) / 2, u' ') + u"ЧЕК АННУЛИРОВАН\n" + Separator +
                  u'\n');
}

std::string CopyText(std::string_view Original) {
    return ToUtf8(std::u16string((PaperWidth - 5) / 2, u' ') + u"КОПИЯ\n") + std::string(Original);
}

void MarkInterrupted(std::string& Paper) {
    const std::string separator = ToUtf8(Separator + u'\n');
    const size_t at = Paper.ends_with(separator) ? Paper.size() - separator.size() : Paper.size();
    Paper.insert(at, ToUtf8(std::u16string((PaperWidth - 15) / 2, u' ') + u"ПЕЧАТЬ ПРЕРВАНА\n"));
}

std::string OpeningText(const TEcrState& State, const TImprint& Imprint, bool Header) {
    TPaper paper(State);
    if (Header) paper.Header();
    paper.Split(u"ЗН ККМ " + Decode(State, State.Serial),
                u"ИНН " + Decode(State, State.TaxPayerNumber));
    paper.Split(DateTime(Imprint.Date), u"ДОК " + Digits(Imprint.Document, 5));
    paper.Center(u"ОТКРЫТИЕ СМЕНЫ " + Digits(Imprint.Shift, 4));
    paper.Add(Operator(State, 2));
    return paper.Utf8() + EndText(false);
}

std::string ShiftReportText(const TEcrState& State, const TShiftReport& Report,
                            const TImprint& Imprint) {
    TPaper paper(State);
    const std::u16string number = Digits(Report.Number, 4);
    const auto departmentTitle = [&](int D) {
        const std::u16string name = Decode(State, State.Texts[DepartmentBase + D]);
        return u"ОТД " + Digits(D, 2) + (name.empty() ? u"" : u" " + name);
    };
    const auto operatorTitle = [&](int O) {
        const std::u16string name = Decode(State, State.Texts[OperatorBase + O]);
        return u"ОПЕРАТОР " + Digits(O, 2) + (name.empty() ? u"" : u" " + name);
    };
    switch (Report.Kind) {
        case TShiftReport::X:
        case TShiftReport::Z: {
            const bool z = Report.Kind == TShiftReport::Z;
            ReportHead(paper, Imprint, Report.Header, (z ? u"Z-ОТЧЕТ " : u"X-ОТЧЕТ ") + number);
            for (const TCounterLine& line : CounterLines) {
                const TCounter& c = State.Counters[line.Counter];
                if (!(line.Generations & (1u << State.Generation))) continue;
                if (line.Always || Report.Full || c.Count != 0)
                    paper.Row(line.Name, c.Count, Value(c.Sum));
            }
            paper.Split(u"НАЛИЧНОСТЬ В КАССЕ", Value(State.Counters[CtDrawer].Sum));
            paper.Split(u"НЕОБНУЛЯЕМЫЙ ИТОГ", Value(State.Counters[CtGrandTotal].Sum));
            if (Report.Full) {
                TotalsBy(paper, State.Shift.Departments, -1, departmentTitle);
                TotalsBy(paper, State.Shift.Operators, -1, operatorTitle);
            }
            if (!z) break;
            paper.Center(u"СМЕНА " + Digits(Imprint.Shift, 4) + u" ЗАКРЫТА");
            return paper.Utf8() + EndText(true);
        }
        case TShiftReport::ByDepartment:
            ReportHead(paper, Imprint, Report.Header, u"X-ОТЧЕТ " + number + u" ПО ОТДЕЛАМ");
            TotalsBy(paper, State.Shift.Departments, Report.Which, departmentTitle);
            paper.Split(u"ИТОГО ПРОДАЖИ", Value(Report.Sales));
            break;
        case TShiftReport::ByOperator:
            ReportHead(paper, Imprint, Report.Header, u"X-ОТЧЕТ " + number + u" ПО КАССИРАМ");
            TotalsBy(paper, State.Shift.Operators, Report.Which, operatorTitle);
            paper.Split(u"ИТОГО ПРОДАЖИ", Value(Report.Sales));
            break;
    }
    return paper.Utf8() + EndText(false);
}

std::string FiscalReportText(const TEcrState& State, const TFiscalReport& Report,
                             TKestDateTime Date) {
    TPaper paper(State);
    paper.Center(u"ФИСКАЛЬНЫЙ ОТЧЕТ " + Digits(Report.Number, 5));
    const std::u16string form = Report.Full ? u"ПОЛНЫЙ" : u"КРАТКИЙ";
    switch (Report.Kind) {
        case TFiscalReport::ByDates:
            paper.Center(form + u" ПО ДАТАМ");
            break;
        case TFiscalReport::ByNumbers:
            paper.Center(form + u" ПО НОМЕРАМ СМЕН");
            break;
        case TFiscalReport::All:
            paper.Center(u"ВСЯ ФИСКАЛЬНАЯ ПАМЯТЬ");
            break;
    }
    paper.Split(u"ЗН ККМ " + Decode(State, State.Serial),
                u"ИНН " + Decode(State, State.TaxPayerNumber));
    paper.Split(u"РН ККМ " + Decode(State, State.RegNumber), DateTime(Date));
    const TDayRecord& first = State.DayRecords[Report.First];
    const TDayRecord& last = State.DayRecords[Report.Last];
    paper.Split(u"СМЕНЫ " + Digits(first.Number, 4) + u"-" + Digits(last.Number, 4),
                DateOnly(first.Date) + u"-" + DateOnly(last.Date));
    if (Report.Full)
        for (size_t i = Report.First; i <= Report.Last; ++i) {
            const TDayRecord& r = State.DayRecords[i];
            paper.Split(Digits(r.Number, 4) + u" " + DateOnly(r.Date), Value(r.Sales));
            if (r.Buyings != 0) paper.Split(u"  ПОКУПКИ", Value(r.Buyings));
        }
    paper.Split(u"ПРОДАЖИ", Value(Report.Sales));
    if (Report.Buyings != 0 || State.Generation == 6 || State.Generation == 8)
        paper.Split(u"ПОКУПКИ", Value(Report.Buyings));
    return paper.Utf8() + EndText(false);
}

std::string FeedText(int Lines, bool Backwards, bool Cut) {
    std::string text;
    if (Lines > 0)
        text = ToUtf8(u"[прогон " + std::u16string(Backwards ? u"назад " : u"") +
                      Ascii(std::to_string(Lines)) + u"]\n");
    if (Cut) text += ToUtf8(u"[отрез]\n");
    return text;
}

std::string PulseText(int Channel, int FirstInterval, int SecondInterval, int Count) {
    return ToUtf8(u"[импульс: канал " + Ascii(std::to_string(Channel)) + u", " +
                  Ascii(std::to_string(FirstInterval)) + u"/" +
                  Ascii(std::to_string(SecondInterval)) + u", " + Ascii(std::to_string(Count)) +
                  u" раз]\n");
}

std::string DisplayText(const std::vector<std::u16string>& Lines) {
    if (Lines.empty()) return ToUtf8(u"[дисплей]\n");
    std::u16string text;
    for (const std::u16string& line : Lines)
        text += u"[дисплей] " + line + u'\n';
    return ToUtf8(text);
}

char16_t OutputChar(const TEcrState& State, char Byte) {
    const std::u16string text = TKestorFPrt::DecodeString(std::string(1, Byte), State.Coding);
    return text.size() == 1 && text[0] >= u' ' && text[0] != 0x7F ? text[0] : u'?';
}

}  // namespace kest::emu
