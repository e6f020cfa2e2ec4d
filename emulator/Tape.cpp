// What the register puts on paper: its documents as lines of 40 characters.
#include <algorithm>
#include <utility>
#include <vector>

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

std::u16string DateTime(TKestDateTime Date) {
    const TKestDateTimeParts p = SplitDateTime(Date);
    return Digits(p.Day, 2) + u"." + Digits(p.Month, 2) + u"." + Digits(p.Year, 4) + u" " +
           Digits(p.Hour, 2) + u":" + Digits(p.Minute, 2);
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
    for (int i = 0; i < HeaderLines; ++i)
        if (!State.Texts[HeaderBase + i].empty())
            paper.Center(Decode(State, State.Texts[HeaderBase + i]));
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

}  // namespace kest::emu
