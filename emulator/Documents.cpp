// Fiscal documents: the standard receipt "K", the custom document "N" and its
// form "P", the composite document "S" printed in portions, the copy "T" and
// the repeat "O" of the last document. A request is read and checked whole
// before anything is printed or counted, so a refused one leaves the
// register as it was.
#include <algorithm>
#include <bitset>
#include <initializer_list>
#include <vector>

#include "Documents.h"
#include "Fields.h"
#include "Services.h"

namespace kest::emu {

namespace {

constexpr int64_t MaxAmount = 9999999999;          // 99999999.99
constexpr int64_t MaxCounterSum = 99999999999999;  // the 15 characters of a counter's sum
constexpr int MaxCounterCount = 99999;
constexpr int MaxProperties = 300, MaxPropertiesGeneration1 = 60;
constexpr int CodeCount = 100;  // property codes are two digits

bool IsComposite(const TEcrState& State) {
    return State.Generation == 3 || State.Generation == 7;
}
bool IsCash(char Operation) {
    return Operation == '2' || Operation == '3';
}

struct TOperationInfo {
    char Code;
    uint32_t Generations;
    int Counter;          // the counter that counts its documents
    uint16_t StatusBits;  // its composite document in the status word
};

constexpr TOperationInfo OperationTable[] = {
    {'0', AllGenerations, CtSales, 0x0000},
    {'1', AllGenerations, CtRefunds, 0x0400},
    {'C', OnGenerations({3, 7}), CtRefundsCashless, 0x4800},
    {'A', OnGenerations({1, 2, 6}), CtVoids, 0},
    {'2', AllGenerations, CtCashIn, 0x0800},
    {'3', AllGenerations, CtCashOut, 0x0C00},
    {'D', OnGenerations({6, 8}), CtBuyings, 0},
    {'E', OnGenerations({6, 8}), CtBuyingRefunds, 0},
    {'F', OnGenerations({6}), CtVoids, 0},
};

// The operation of this one-character code that the register takes; nullptr
// when it takes none.
const TOperationInfo* FindOperation(const TEcrState& State, std::string_view Code) {
    for (const TOperationInfo& o : OperationTable)
        if (Code.size() == 1 && o.Code == Code[0] && (o.Generations & (1u << State.Generation)))
            return &o;
    return nullptr;
}
const TOperationInfo& OperationOf(char Code) {
    return *std::ranges::find(OperationTable, Code, &TOperationInfo::Code);
}

// Reads the fields of a record. The first malformed field decides the error;
// reads after it give nothing.
class TReader {
public:
    explicit TReader(std::string_view Record) : FRecord(Record) {}
    int Error() const { return FError; }
    void Fail(int Error) {
        if (FError == ecOk) FError = Error;
    }

    // The Width bytes at Offset; Separated: a 0x00 follows them.
    std::string_view Raw(size_t Offset, size_t Width, bool Separated = true) {
        if (Separated && FRecord[Offset + Width] != '\0') Fail(ecFieldTooLong);
        return FError == ecOk ? FRecord.substr(Offset, Width) : std::string_view{};
    }
    // A slot's text up to its first 0x00; a slot without one is full.
    std::string_view Text(size_t Offset, size_t Width, bool Separated = true) {
        return UpToNul(Raw(Offset, Width, Separated));
    }
    // A decimal number with up to Decimals fraction digits, scaled by
    // 10^Decimals; -1 for an empty slot. Given: the fraction digits sent.
    int64_t Decimal(size_t Offset, size_t Width, int Decimals, bool Separated = true,
                    int* Given = nullptr) {
        return Parse(Text(Offset, Width, Separated), Decimals, Given);
    }
    int64_t Number(size_t Offset, size_t Width) { return Decimal(Offset, Width, 0); }
    // Exactly Width hex digits; -1 for an empty slot.
    int64_t Hex(size_t Offset, size_t Width) {
        const std::string_view text = Text(Offset, Width);
        if (text.empty()) return -1;
        int64_t value = 0;
        for (char c : text) {
            const int digit = HexDigitValue(c);
            if (digit < 0 || text.size() != Width) {
                Fail(ecBadField);
                return -1;
            }
            value = value * 16 + digit;
        }
        return value;
    }

    // Bytes up to their first 0x00; everything after it must be 0x00.
    std::string_view UpToNul(std::string_view Bytes) {
        const size_t end = std::min(Bytes.find('\0'), Bytes.size());
        if (!AllZero(Bytes, end)) Fail(ecBadField);
        return FError == ecOk ? Bytes.substr(0, end) : std::string_view{};
    }
    int64_t Parse(std::string_view Text, int Decimals, int* Given = nullptr) {
        if (Text.empty() || FError != ecOk) return -1;
        const size_t point = Text.find('.');
        const std::string_view whole = Text.substr(0, point);
        const std::string_view fraction =
            point == std::string_view::npos ? std::string_view{} : Text.substr(point + 1);
        auto digits = [](std::string_view S) {
            return std::ranges::all_of(S, [](char C) { return C >= '0' && C <= '9'; });
        };
        if (whole.empty() || !digits(whole) || !digits(fraction) ||
            (point != std::string_view::npos &&
             (fraction.empty() || fraction.size() > size_t(Decimals)))) {
            Fail(ecBadField);
            return -1;
        }
        if (whole.size() > 12) {  // beyond any sum a register keeps
            Fail(ecOutOfRange);
            return -1;
        }
        int64_t value = 0;
        for (char c : whole)
            value = value * 10 + (c - '0');
        for (int i = 0; i < Decimals; ++i)
            value = value * 10 + (i < int(fraction.size()) ? fraction[i] - '0' : 0);
        if (Given) *Given = int(fraction.size());
        return value;
    }

private:
    std::string_view FRecord;
    int FError = ecOk;
};

// Price times quantity (thousandths; -1: one), to the kopeck, halves up; -1
// when it comes to more than MaxAmount.
int64_t Times(int64_t Price, int64_t Quantity) {
    if (Quantity < 0) return Price;
    if (Price > 0 && Quantity > ((MaxAmount + 1) * 1000 - 501) / Price) return -1;
    return (Price * Quantity + 500) / 1000;
}
// Percent in hundredths of a percent of Amount, halves away from zero.
int64_t PercentOf(int64_t Amount, int Percent) {
    const int64_t value = ((Amount < 0 ? -Amount : Amount) * Percent + 5000) / 10000;
    return Amount < 0 ? -value : value;
}

int64_t Subtotal(const TDocument& Doc) {
    int64_t sum = 0;
    for (const TDocLine& line : Doc.Lines)
        sum += line.Amount;
    return sum;
}

// The item that item adjustments apply to: the last one not taken back.
const TDocLine* LastItem(const TDocument& Doc) {
    for (auto it = Doc.Lines.rbegin(); it != Doc.Lines.rend(); ++it)
        if (it->Kind == TDocLine::Item && !it->Void) return &*it;
    return nullptr;
}

// A price record at Offset: department, code, adjustment, quantity and price;
// on generations 3 and 7 a longer code, an adjustment of up to "100.00" that
// may fill its slot, and the unit.
void ReadPrice(TReader& R, size_t Offset, bool V03, TDocLine& Line) {
    Line.Department = int(R.Number(Offset, 2));
    Line.Code = int(R.Number(Offset + 3, V03 ? 6 : 4));
    const size_t adjustmentAt = Offset + (V03 ? 10 : 8);
    Line.Percent = int(std::max<int64_t>(R.Decimal(adjustmentAt, V03 ? 6 : 5, 2, !V03), 0));
    const size_t quantityAt = adjustmentAt + 6;
    Line.Quantity = R.Decimal(quantityAt, 11, 3, true, &Line.QuantityDecimals);
    Line.Price = R.Decimal(quantityAt + 12, 11, 2);
    if (V03) Line.Unit = R.Text(quantityAt + 24, 5);
}

// Checks an item of a document (or an adjustment of one, on generations 3
// and 7) by its flag word, works out what it comes to and adds it.
int AddItem(const TEcrState& State, TDocument& Doc, bool Form, uint32_t Flags, TDocLine Line) {
    const bool negative = Flags & 0x80;
    if (IsComposite(State)) {
        switch (Flags & 0x0F) {
            case 10:
                Line.Void = true;
                [[fallthrough]];
            case 2:
                Line.Kind = TDocLine::Item;
                break;
            case 8:
                Line.Void = true;
                [[fallthrough]];
            case 0:
                Line.Kind = TDocLine::ItemPercent;
                break;
            case 9:
                Line.Void = true;
                [[fallthrough]];
            case 1:
                Line.Kind = TDocLine::ItemAmount;
                break;
            default:
                return ecOutOfRange;
        }
        Line.Tax = int(Flags >> 8 & 7);
    } else {
        // The item flag, the discount, and the tax index on generations 6 and 8.
        if ((Flags & ~0xC7u) || (State.Generation < 6 && (Flags & 7))) return ecOutOfRange;
        Line.Tax = State.Generation >= 6 ? int(Flags & 7) : -1;
    }
    if (Line.Tax >= TaxCount) return ecOutOfRange;
    if (Line.Price < 0) return ecEmptyField;
    if (Line.Price > MaxAmount) return ecOutOfRange;
    if (IsCash(Doc.Operation)) {
        // Only the sum counts: the register does not read the rest.
        if (Line.Kind != TDocLine::Item) return ecOutOfRange;
        Line.Department = Line.Code = -1;
        Line.Quantity = -1;
        Line.Percent = 0;
        Line.Tax = -1;
        Line.Unit.clear();
    } else {
        if (Line.Department < 0 && (!Form || HasJournal(State))) return ecEmptyField;
        if (Line.Department == 0 && HasJournal(State)) return ecOutOfRange;
        if (Form) {  // a form's item is its price and department
            Line.Code = -1;
            Line.Quantity = -1;
            Line.Percent = 0;
        } else if (Line.Code < 0) {
            return ecEmptyField;
        }
        if (Line.Percent > (IsComposite(State) ? 10000 : 9999)) return ecOutOfRange;
    }
    const int percent = Line.Percent;
    const int sign = negative ? -1 : 1;
    if (negative) Line.Percent = -Line.Percent;
    switch (Line.Kind) {
        case TDocLine::Item:
            Line.Sum = Times(Line.Price, Line.Quantity);
            if (Line.Sum < 0) return ecOutOfRange;
            Line.Adjustment = sign * PercentOf(Line.Sum, percent);
            break;
        case TDocLine::ItemPercent:
            if (percent == 0) return ecEmptyField;
            if (!LastItem(Doc)) return ecNotNow;
            Line.Adjustment = sign * PercentOf(LastItem(Doc)->Sum, percent);
            break;
        default:  // an amount adjustment: its price
            if (!LastItem(Doc)) return ecNotNow;
            Line.Adjustment = sign * Line.Price;
    }
    Line.Amount = Line.Sum + Line.Adjustment;
    if (Line.Void) Line.Amount = -Line.Amount;
    if (Line.Amount > MaxAmount || Line.Amount < -MaxAmount) return ecOutOfRange;
    Doc.Lines.push_back(std::move(Line));
    return ecOk;
}

// Whether payment type Type may pay for the operation on this register:
// cash documents in cash, credit and card for sales (for every operation
// from generation 3 on), cash with credit or card for sales from generation 3.
bool MayPay(const TEcrState& State, char Operation, int Type) {
    switch (Type) {
        case 0:
            return true;
        case 1:
        case 2:
            return !IsCash(Operation) && (Operation == '0' || State.Generation >= 3);
        case 3:
        case 4:
            return Operation == '0' && State.Generation >= 3;
    }
    return false;
}

// A payment block of Doc.PayType: a text for credit and card; otherwise the
// cash given and, for a mixed payment, the second kind's amount, each ended
// by 0x00.
void ReadPayment(TReader& R, std::string_view Block, TDocument& Doc) {
    if (Doc.PayType == 1 || Doc.PayType == 2) {
        Doc.PayText = R.UpToNul(Block);
        return;
    }
    auto amount = [&] {
        const size_t end = std::min(Block.find('\0'), Block.size());
        const int64_t value = R.Parse(Block.substr(0, end), 2);
        Block.remove_prefix(std::min(end + 1, Block.size()));
        return value;
    };
    Doc.Cash = amount();
    Doc.Other = Doc.PayType >= 3 ? amount() : 0;
    R.UpToNul(Block);
    if (R.Error() != ecOk) return;
    if (Doc.Cash < 0 || Doc.Other < 0) return R.Fail(ecEmptyField);
    if (Doc.Cash + Doc.Other > MaxAmount) return R.Fail(ecOutOfRange);
    Doc.Given = true;
}

// The total and how it is paid. Only a sale takes money as given (cash must
// cover the total, the rest is change); other documents pay out or take in
// their total by the payment's kind.
int Settle(TDocument& Doc) {
    const int64_t total = Subtotal(Doc);
    if (total < 0 || total > MaxAmount) return ecOutOfRange;
    Doc.Total = total;
    if (Doc.Operation != '0') Doc.Given = false;
    Doc.CashPart = Doc.CreditPart = Doc.CardPart = Doc.Change = 0;
    int64_t& other = Doc.PayType == 1 || Doc.PayType == 3 ? Doc.CreditPart : Doc.CardPart;
    if (Doc.PayType == 1 || Doc.PayType == 2) {
        other = total;
        return ecOk;
    }
    if (Doc.PayType >= 3) {
        if (!Doc.Given || Doc.Other > total) return ecOutOfRange;
        other = Doc.Other;
    }
    Doc.CashPart = total - other;
    if (Doc.Given) {
        if (Doc.Cash + Doc.Other < total) return ecOutOfRange;
        Doc.Change = Doc.Cash + Doc.Other - total;
    }
    return ecOk;
}

struct TCount {
    int Counter;
    int Count;
    int64_t Sum;
};

// What the document does to the cash in the drawer.
int64_t DrawerChange(const TDocument& Doc) {
    switch (Doc.Operation) {
        case '0':
        case '2':
        case 'E':
        case 'F':
            return Doc.CashPart;
        case '1':
        case '3':
        case 'A':
        case 'D':
            return -Doc.CashPart;
    }
    return 0;
}

// The counters a document adds to.
std::vector<TCount> Counts(const TDocument& Doc) {
    std::vector<TCount> counts = {{OperationOf(Doc.Operation).Counter, 1, Doc.Total}};
    if (Doc.Operation == '0') {
        const int type = Doc.PayType;
        if (type == 0 || type >= 3) counts.push_back({CtSalesCash, 1, Doc.CashPart});
        if (type == 1 || type == 3) counts.push_back({CtSalesCredit, 1, Doc.CreditPart});
        if (type == 2 || type == 4) counts.push_back({CtSalesCard, 1, Doc.CardPart});
        counts.push_back({CtGrandTotal, 0, Doc.Total});
    }
    counts.push_back({CtDrawer, 0, DrawerChange(Doc)});
    return counts;
}

// Whether the counters take the document: no more cash out than the drawer
// holds, no count or sum beyond its field.
int Afford(const TEcrState& State, const TDocument& Doc) {
    for (const TCount& c : Counts(Doc)) {
        const TCounter& counter = State.Counters[c.Counter];
        const int64_t sum = counter.Sum + c.Sum;
        if (sum < 0) return ecNotNow;
        if (counter.Count + c.Count > MaxCounterCount || sum > MaxCounterSum)
            return ecCounterOverflow;
    }
    return ecOk;
}

void Print(TEcrState& State, TDocument& Doc, const std::string& Text) {
    Doc.Text += Text;
    State.Paper += Text;
}

int LastRow(const TDocument& Doc) {
    int last = -1;
    for (const TDocProperty& p : Doc.Properties)
        last = std::max(last, p.Y);
    return last;
}

void SetDocumentStatus(TEcrState& State) {
    State.Status &= ~EcrDocumentBits;
    if (const std::optional<TDocument>& open = State.Documents.Open)
        State.Status |= uint16_t(open->Stage << 8 | OperationOf(open->Operation).StatusBits);
}

// Counts a printed document in the register's and the shift's counters,
// gives it its numbers and keeps it as the last one. A fiscal document opens
// the shift when it is closed.
TAnswer Register(TEcrState& State, TDocument Doc, const TImprint& Imprint) {
    for (const TCount& c : Counts(Doc)) {
        State.Counters[c.Counter].Count += c.Count;
        State.Counters[c.Counter].Sum += c.Sum;
    }
    OpenShift(State, Imprint.Date);
    CountInShift(State, Doc);
    const bool buying = Doc.Operation == 'D' || Doc.Operation == 'E' || Doc.Operation == 'F';
    State.LastDocument = {.Type = Doc.Operation,
                          .Operator = State.Operator,
                          .Number = Imprint.Document,
                          .Receipt = Imprint.Receipt,
                          .Report = State.LastDocument.Report,
                          .Date = Imprint.Date,
                          .Sum = Doc.Total,
                          .BuyingSum = buying ? Doc.Total : 0};
    State.Documents.LastText = Doc.Text;
    TAnswer answer = Answered({}, PrintAcks);
    answer.Echo = Doc.Command;
    answer.Registered = true;
    State.Documents.Last = std::move(Doc);
    return answer;
}

// Settles, prints and registers a document taken whole.
TAnswer Issue(TEcrState& State, TDocument Doc) {
    if (const int e = CheckShiftAge(State); e != ecOk) return Refused(e);
    if (const int e = Settle(Doc); e != ecOk) return Refused(e);
    if (const int e = Afford(State, Doc); e != ecOk) return Refused(e);
    const TImprint imprint = NextImprint(State);
    if (Doc.Command == 'K')
        Print(State, Doc, ReceiptText(State, Doc, imprint));
    else
        Print(State, Doc, RowsText(State, Doc, imprint, 0, LastRow(Doc)));
    // Custom documents carry their fiscal sign among their properties.
    Print(State, Doc, EndText(Doc.Command == 'K' || Doc.Command == 'S'));
    return Register(State, std::move(Doc), imprint);
}

// -- The standard receipt

constexpr size_t ReceiptHeaderSize = 75, ReceiptItemSize = 82;

int ReceiptCapacity(const TEcrState& State) {
    return State.Generation == 1 ? 40 : State.Generation == 2 || State.Generation == 6 ? 193 : 196;
}

// An account on generation 1: digits, at least one.
int CheckAccount(const TEcrState& State, std::string_view Account) {
    if (State.Generation != 1) return ecOk;
    if (Account.empty()) return ecEmptyField;
    return std::ranges::all_of(Account, [](char C) { return C >= '0' && C <= '9'; }) ? ecOk
                                                                                     : ecBadField;
}

int ReadReceiptItem(const TEcrState& State, std::string_view Record, TDocument& Doc) {
    TReader r(Record);
    TDocLine line;
    line.Name = r.Text(0, 40);
    const int64_t flags = r.Hex(41, 2);
    ReadPrice(r, 44, false, line);
    if (r.Error() != ecOk) return r.Error();
    if (flags < 0) return ecEmptyField;
    if (IsCash(Doc.Operation)) line.Name.clear();
    return AddItem(State, Doc, false, uint32_t(flags), std::move(line));
}

// The header: operation, operator flags (generations 6 and 8), copies,
// payment type and block, account and item count; then the items.
int ReadReceipt(const TEcrState& State, std::string_view Data, TDocument& Doc) {
    if (Data.size() < ReceiptHeaderSize) return ecBadFormat;
    TReader r(Data.substr(0, ReceiptHeaderSize));
    const std::string_view operation = r.Text(0, 1);
    const int64_t flags = r.Hex(2, 2);
    const int64_t copies = r.Number(5, 1);
    const int64_t payType = r.Number(7, 1);
    const std::string_view payment = r.Raw(9, 20);
    Doc.Account = r.Text(30, 40);
    const int64_t count = r.Number(71, 3);
    if (r.Error() != ecOk) return r.Error();
    if (operation.empty() || copies < 0 || payType < 0 || count <= 0) return ecEmptyField;
    if (Data.size() - ReceiptHeaderSize != size_t(count) * ReceiptItemSize) return ecBadFormat;
    const TOperationInfo* op = FindOperation(State, operation);
    if (!op || count > ReceiptCapacity(State) || !MayPay(State, op->Code, int(payType)))
        return ecOutOfRange;
    // How the operator is printed: its number, name or both (0x00, 0x40,
    // 0x80); older registers have no such flags.
    if (State.Generation >= 6) {
        if (flags < 0) return ecEmptyField;
        if ((flags & 0x3F) != 0 || flags > 0x80) return ecOutOfRange;
        Doc.OperInfo = int(flags >> 6);
    } else if (flags >= 0) {
        return ecBadField;
    }
    Doc.Command = 'K';
    Doc.Operation = op->Code;
    Doc.PayType = int(payType);
    ReadPayment(r, payment, Doc);
    if (r.Error() != ecOk) return r.Error();
    if (const int e = CheckAccount(State, Doc.Account); e != ecOk) return e;
    for (int64_t i = 0; i < count; ++i)
        if (const int e = ReadReceiptItem(
                State, Data.substr(ReceiptHeaderSize + i * ReceiptItemSize, ReceiptItemSize), Doc);
            e != ecOk)
            return e;
    return ecOk;
}

// -- Document properties

struct TPropertyRule {
    int First, Last;  // codes
    uint32_t Generations;
    TCondition When;              // nullptr: on every register of those generations
    std::string_view Operations;  // the operations it may appear in; empty: all
    bool Repeats;                 // may appear more than once
    bool HasValue;                // a value whose right edge is given on generations 6 and 8
};

constexpr TPropertyRule PropertyRules[] = {
    {0, 10, AllGenerations, nullptr, "", false, false},
    {11, 11, AllGenerations, nullptr, "", true, true},
    {12, 12, AllGenerations, nullptr, "", false, true},
    {13, 13, AllGenerations, nullptr, "0D", false, true},
    {14, 14, AllGenerations, nullptr, "0", false, true},
    {15, 19, OnGenerations({3, 6, 7, 8}), nullptr, "0D", false, true},
    {20, 20, OnGenerations({1, 2, 6, 8}), nullptr, "", false, false},
    {21, 21, OnGenerations({3, 7}), nullptr, "01C", true, true},
    {22, 22, AllGenerations, HasJournal, "01DE", false, false},
    {23, 23, OnGenerations({3, 7}), nullptr, "", false, false},
    {24, 24, AllGenerations, IsNewMoldavian, "", false, false},
    {98, 98, OnGenerations({2, 6, 8}), nullptr, "", true, false},
    {99, 99, AllGenerations, nullptr, "", true, false},
};

const TPropertyRule* FindRule(int Code) {
    for (const TPropertyRule& rule : PropertyRules)
        if (Code >= rule.First && Code <= rule.Last) return &rule;
    return nullptr;
}

// A property record as read, before the document takes it.
struct TRawProperty {
    TDocProperty Property;
    std::string_view Record;
    size_t DataAt = 0, DataWidth = 0;
};

// One record: 53 bytes on generations up to 6, 54 on generation 8, 61 on
// generations 3 and 7.
int ReadProperty(const TEcrState& State, std::string_view Record, TRawProperty& Raw) {
    TReader r(Record);
    const bool v03 = IsComposite(State), wide = State.Generation == 8;
    const int64_t code = r.Number(0, 2);
    const int64_t flags = r.Hex(3, v03 ? 4 : 2);
    const int64_t x = r.Number(v03 ? 8 : 6, 2);
    // In the 53-byte record a three-digit row fills its slot.
    const int64_t y = r.Decimal(v03 ? 11 : 9, 3, 0, v03 || wide);
    Raw.DataAt = v03 ? 20 : wide ? 13 : 12;
    Raw.DataWidth = 40;
    if (v03 && code == 11) {
        Raw.DataAt = 15;
        Raw.DataWidth = 45;
    } else if (v03 && !AllZero(Record.substr(15, 5), 0)) {
        r.Fail(ecBadField);
    }
    r.Raw(Raw.DataAt, Raw.DataWidth);
    if (r.Error() != ecOk) return r.Error();
    if (code < 0 || flags < 0 || x < 0 || y < 0) return ecEmptyField;
    const TPropertyRule* rule = FindRule(int(code));
    if (!rule || (State.Generation == 1 && y > 99)) return ecOutOfRange;
    Raw.Property.Code = int(code);
    Raw.Property.Flags = uint32_t(flags);
    Raw.Property.X = int(x);
    Raw.Property.Y = int(y);
    Raw.Record = Record;
    if (rule->HasValue && (State.Generation == 6 || State.Generation == 8)) {
        // In place of the last two data bytes.
        const int64_t second = r.Number(Raw.DataAt + 38, 2);
        if (r.Error() != ecOk) return r.Error();
        if (second < 0) return ecEmptyField;
        if (second > 39) return ecOutOfRange;
        Raw.Property.Second = int(second);
        Raw.DataWidth = 38;
    }
    return ecOk;
}

// Properties in the order the paper takes them: by row, then column.
void SortByPlace(std::vector<TRawProperty>& Raws) {
    std::ranges::stable_sort(Raws, [](const TRawProperty& A, const TRawProperty& B) {
        return std::pair(A.Property.Y, A.Property.X) < std::pair(B.Property.Y, B.Property.X);
    });
}

// What the properties of one request are checked against.
struct TTaking {
    bool Form = false;
    std::bitset<CodeCount> Present;  // in the custom document, or this portion of a composite one
};

// A document adjustment, generations 3 and 7: percent or amount by its kind,
// of the lines before it.
int AddDocAdjustment(TReader& R, const TRawProperty& Raw, TDocument& Doc) {
    const uint32_t flags = Raw.Property.Flags;
    TDocLine line;
    switch (flags & 0x0F) {
        case 8:
            line.Void = true;
            [[fallthrough]];
        case 0:
            line.Kind = TDocLine::DocPercent;
            break;
        case 9:
            line.Void = true;
            [[fallthrough]];
        case 1:
            line.Kind = TDocLine::DocAmount;
            break;
        default:
            return ecOutOfRange;
    }
    line.Tax = int(flags >> 8 & 7);
    const int64_t value = R.Decimal(Raw.DataAt, Raw.DataWidth, 2, false);
    if (R.Error() != ecOk) return R.Error();
    if (value < 0) return ecEmptyField;
    const int sign = flags & 0x80 ? -1 : 1;
    if (line.Kind == TDocLine::DocPercent) {
        if (value == 0 || value > 10000) return ecOutOfRange;
        line.Percent = sign * int(value);
        line.Adjustment = sign * PercentOf(std::max<int64_t>(Subtotal(Doc), 0), int(value));
    } else {
        if (value > MaxAmount) return ecOutOfRange;
        line.Price = value;
        line.Adjustment = sign * value;
    }
    if (line.Tax >= TaxCount) return ecOutOfRange;
    line.Amount = line.Void ? -line.Adjustment : line.Adjustment;
    Doc.Lines.push_back(std::move(line));
    return ecOk;
}

// Takes one property into the document: whether this register, operation
// and document have it, whether it came before, and its data.
int TakeProperty(const TEcrState& State, TDocument& Doc, TTaking& Taking, const TRawProperty& Raw) {
    TDocProperty p = Raw.Property;
    const TPropertyRule& rule = *FindRule(p.Code);
    const bool composite = Doc.Command == 'S';
    if (!(rule.Generations & (1u << State.Generation)) || (rule.When && !rule.When(State)) ||
        (!rule.Operations.empty() && rule.Operations.find(Doc.Operation) == std::string::npos))
        return ecOutOfRange;
    // A form prints no total, and on generation 1 neither a receipt number
    // nor a payment nor change.
    if (Taking.Form &&
        (p.Code == 12 || (State.Generation == 1 && (p.Code == 8 || p.Code == 13 || p.Code == 14))))
        return ecOutOfRange;
    if (Taking.Present[p.Code] && (!rule.Repeats || (p.Code == 11 && Taking.Form)))
        return ecDuplicated;
    Taking.Present[p.Code] = true;
    // A composite document goes on in order: its lines, the total, the
    // payment, the change.
    const bool isLine = p.Code == 11 || p.Code == 21;
    if (composite && ((isLine && Doc.Stage >= TDocument::StTotal) ||
                      ((p.Code == 12 || p.Code == 13) && Doc.Stage == TDocument::StCompleted) ||
                      (p.Code == 14 && Doc.Stage != TDocument::StCompleted)))
        return ecNotNow;

    TReader r(Raw.Record);
    switch (p.Code) {
        case 6:
            // The operator by number, name or both; generations 1 and 2 have
            // no such flags and print both, as on their receipts.
            if (State.Generation >= 3) {
                if ((p.Flags & 3) == 3) return ecOutOfRange;
                Doc.OperInfo = int(p.Flags & 3);
            }
            break;
        case 9:
            p.Text = r.Text(Raw.DataAt, Raw.DataWidth, false);
            if (r.Error() != ecOk) return r.Error();
            if (const int e = CheckAccount(State, p.Text); e != ecOk) return e;
            break;
        case 11: {
            TDocLine line;
            ReadPrice(r, Raw.DataAt, IsComposite(State), line);
            if (r.Error() != ecOk) return r.Error();
            p.Line = int(Doc.Lines.size());
            if (const int e = AddItem(State, Doc, Taking.Form, p.Flags, std::move(line)); e != ecOk)
                return e;
            break;
        }
        case 13:
            // Generations 3 and 7 tell the payment type in the flag word,
            // the others in the document's header.
            if (composite) Doc.PayType = int(p.Flags & 7);
            if (!MayPay(State, Doc.Operation, Doc.PayType)) return ecOutOfRange;
            ReadPayment(r, Raw.Record.substr(Raw.DataAt, Raw.DataWidth), Doc);
            if (r.Error() != ecOk) return r.Error();
            if (composite) {
                if (const int e = Settle(Doc); e != ecOk) return e;
                Doc.Stage = TDocument::StCompleted;
            }
            break;
        case 14:  // change comes from cash
            if (Doc.PayType == 1 || Doc.PayType == 2) return ecOutOfRange;
            break;
        case 12:
            if (composite) Doc.Stage = TDocument::StTotal;
            break;
        case 21:
            p.Line = int(Doc.Lines.size());
            if (const int e = AddDocAdjustment(r, Raw, Doc); e != ecOk) return e;
            break;
        case 98:
            p.Text = r.Text(Raw.DataAt, Raw.DataWidth, false);
            if (r.Error() != ecOk) return r.Error();
            if (p.Text.size() != 40 ||
                !std::ranges::all_of(p.Text, [](char C) { return HexDigitValue(C) >= 0; }))
                return ecBadField;
            break;
        case 99:
            p.Text = r.Text(Raw.DataAt, Raw.DataWidth, false);
            if (r.Error() != ecOk) return r.Error();
            break;
    }
    Doc.Properties.push_back(std::move(p));
    return ecOk;
}

const TDocProperty* FindProperty(const TDocument& Doc, int Code) {
    const auto it = std::ranges::find(Doc.Properties, Code, &TDocProperty::Code);
    return it == Doc.Properties.end() ? nullptr : &*it;
}

// Nothing but free properties below the fiscal sign (on generation 1 nothing
// at all), and nothing below the protected journal's data.
int CheckLayout(const TEcrState& State, const TDocument& Doc) {
    const TDocProperty* sign = FindProperty(Doc, 20);
    const TDocProperty* journal = FindProperty(Doc, 22);
    for (const TDocProperty& p : Doc.Properties)
        if ((sign && p.Y > sign->Y && (p.Code < 20 || State.Generation == 1)) ||
            (journal && p.Y > journal->Y))
            return ecBadLayout;
    return ecOk;
}

// The properties a custom document and a form cannot do without.
int CheckMandatory(const TEcrState& State, const TDocument& Doc, const TTaking& Taking) {
    const bool custom = !Taking.Form, sale = Doc.Operation == '0';
    const bool cash = Doc.PayType == 0 || Doc.PayType >= 3;
    const struct {
        bool Needed;
        std::initializer_list<int> AnyOf;
    } rules[] = {
        {true, {0}},
        {true, {1, 2, 3, 4, 23}},
        {true, {5}},
        {true, {6}},
        {true, {7}},
        {State.Generation == 1, {9}},
        {true, {10}},
        {true, {11}},
        {custom, {8}},
        {custom, {12}},
        {custom && sale, {13}},
        {custom && sale && cash, {14}},
        {true, {20}},
    };
    for (const auto& rule : rules)
        if (rule.Needed &&
            std::ranges::none_of(rule.AnyOf, [&](int Code) { return Taking.Present[Code]; }))
            return ecEmptyField;
    return ecOk;
}

// -- The custom document and the form

constexpr size_t CustomHeaderSize = 24;

// The header: operation, flags (low four bits the host's, the high four the
// fiscal impression), two copy counts, three impression offsets, payment type
// and property count; then the properties.
int ReadCustomDocument(const TEcrState& State, bool Form, std::string_view Data, TDocument& Doc) {
    if (Data.size() < CustomHeaderSize) return ecBadFormat;
    TReader r(Data.substr(0, CustomHeaderSize));
    const std::string_view operation = r.Text(0, 1);
    const int64_t flags = r.Hex(2, 2);
    const int64_t copiesA = r.Number(5, 1), copiesB = r.Number(7, 1);
    const int64_t offsetA = r.Number(9, 2), offsetB = r.Number(12, 2), offsetC = r.Number(15, 2);
    const int64_t payType = r.Number(18, 1);
    const int64_t count = r.Number(20, 3);
    if (r.Error() != ecOk) return r.Error();
    if (operation.empty() ||
        std::min({flags, copiesA, copiesB, offsetA, offsetB, offsetC, payType, count}) < 0)
        return ecEmptyField;
    const size_t recordSize = State.Generation == 8 ? 54 : 53;
    if (Data.size() - CustomHeaderSize != size_t(count) * recordSize) return ecBadFormat;
    const TOperationInfo* op = FindOperation(State, operation);
    const int capacity = State.Generation == 1 ? MaxPropertiesGeneration1 : MaxProperties;
    const bool badImpression =
        State.Generation > 1 && (flags >> 4) >= (copiesA + 1) * (copiesB + 1);
    if (!op || count > capacity || payType > 4 || badImpression) return ecOutOfRange;
    Doc.Command = Form ? 'P' : 'N';
    Doc.Operation = op->Code;
    Doc.PayType = int(payType);

    std::vector<TRawProperty> raws(count);
    for (int64_t i = 0; i < count; ++i)
        if (const int e = ReadProperty(
                State, Data.substr(CustomHeaderSize + i * recordSize, recordSize), raws[i]);
            e != ecOk)
            return e;
    SortByPlace(raws);
    TTaking taking;
    taking.Form = Form;
    for (const TRawProperty& raw : raws)
        if (const int e = TakeProperty(State, Doc, taking, raw); e != ecOk) return e;
    // Without a payment property the header's type pays the total exactly.
    if (!MayPay(State, Doc.Operation, Doc.PayType) || (!taking.Present[13] && Doc.PayType >= 3))
        return ecOutOfRange;
    if (const int e = CheckMandatory(State, Doc, taking); e != ecOk) return e;
    if (const int e = CheckLayout(State, Doc); e != ecOk) return e;
    // A copy must not print over the fiscal sign.
    if (copiesA > 0 && offsetB < FindProperty(Doc, 20)->X + 27) return ecBadLayout;
    return ecOk;
}

// -- The composite document

constexpr size_t FiscalHeaderSize = 9, CompositeRecordSize = 61;
constexpr int64_t ModePrint = 0, ModeClose = 4, ModeCancel = 8;

}  // namespace

// "K": the 75-byte header, then the items of 82 bytes.
TAnswer PrintReceipt(TEcrState& State, const TCommand&, std::string_view Data) {
    TDocument doc;
    if (const int e = ReadReceipt(State, Data, doc); e != ecOk) return Refused(e);
    return Issue(State, std::move(doc));
}

// "N" and "P": the 24-byte header, then the property records.
TAnswer PrintCustomDocument(TEcrState& State, const TCommand& Command, std::string_view Data) {
    TDocument doc;
    if (const int e = ReadCustomDocument(State, Command.Code == 'P', Data, doc); e != ecOk)
        return Refused(e);
    return Issue(State, std::move(doc));
}

// "S": the header (operation, mode, property count), then the properties of
// one portion. Mode 0 prints them and keeps the document open, 4 prints them
// and closes it, 8 cancels it (the header comes alone). The rows of a
// document run on from portion to portion: a row the paper has passed is
// gone.
TAnswer PrintFiscalDocument(TEcrState& State, const TCommand&, std::string_view Data) {
    if (Data.size() < FiscalHeaderSize) return Refused(ecBadFormat);
    TReader r(Data.substr(0, FiscalHeaderSize));
    const std::string_view operation = r.Text(0, 1);
    const int64_t mode = r.Hex(2, 2);
    const int64_t count = r.Number(5, 3);
    if (r.Error() != ecOk) return Refused(r.Error());
    if (mode < 0 || count < 0) return Refused(ecEmptyField);
    std::optional<TDocument>& open = State.Documents.Open;
    if (mode == ModeCancel) {
        if (Data.size() != FiscalHeaderSize) return Refused(ecBadFormat);
        if (!open) return Refused(ecNotNow);
        open.reset();
        SetDocumentStatus(State);
        State.Paper += CancelText();
        return Answered({}, PrintAcks);
    }
    if (mode != ModePrint && mode != ModeClose) return Refused(ecOutOfRange);
    if (Data.size() - FiscalHeaderSize != size_t(count) * CompositeRecordSize)
        return Refused(ecBadFormat);
    if (count > MaxProperties) return Refused(ecOutOfRange);
    if (operation.empty()) return Refused(ecEmptyField);

    TDocument doc;
    if (open) {
        doc = *open;
        if (operation[0] != doc.Operation) return Refused(ecNotNow);
    } else {
        const TOperationInfo* op = FindOperation(State, operation);
        if (!op) return Refused(ecOutOfRange);
        if (const int e = CheckShiftAge(State); e != ecOk) return Refused(e);
        doc.Command = 'S';
        doc.Operation = op->Code;
        doc.Stage = TDocument::StOpened;
    }
    std::vector<TRawProperty> raws(count);
    for (int64_t i = 0; i < count; ++i)
        if (const int e = ReadProperty(
                State, Data.substr(FiscalHeaderSize + i * CompositeRecordSize, CompositeRecordSize),
                raws[i]);
            e != ecOk)
            return Refused(e);
    SortByPlace(raws);
    TTaking taking;
    int lastRow = -1;
    for (const TRawProperty& raw : raws) {
        if (raw.Property.Y < doc.NextRow) return Refused(ecBadLayout);
        if (const int e = TakeProperty(State, doc, taking, raw); e != ecOk) return Refused(e);
        lastRow = raw.Property.Y;
    }
    if (const int e = CheckLayout(State, doc); e != ecOk) return Refused(e);
    if (const int e = Settle(doc); e != ecOk) return Refused(e);
    if (mode == ModeClose) {
        if (doc.Lines.empty()) return Refused(ecNotNow);
        if (doc.Operation == 'C') doc.PayType = 2;  // refunded to the card
        if (const int e = Settle(doc); e != ecOk) return Refused(e);
        if (const int e = Afford(State, doc); e != ecOk) return Refused(e);
    }

    const TImprint imprint = NextImprint(State);
    OpenShift(State, imprint.Date);
    Print(State, doc, RowsText(State, doc, imprint, doc.NextRow, lastRow));
    doc.NextRow = std::max(doc.NextRow, lastRow + 1);
    if (mode == ModePrint) {
        open = std::move(doc);
        SetDocumentStatus(State);
        return Answered({}, PrintAcks);
    }
    Print(State, doc, EndText(true));
    open.reset();
    SetDocumentStatus(State);
    return Register(State, std::move(doc), imprint);
}

// "T": prints the last document again, marked as a copy; it counts nothing.
TAnswer CopyLastDocument(TEcrState& State, const TCommand&, std::string_view) {
    if (State.Documents.Open || State.Documents.LastText.empty()) return Refused(ecNotNow);
    State.Paper += CopyText(State.Documents.LastText);
    return Answered({}, PrintAcks);
}

// "O": registers and prints the last document once more, with the next
// numbers; the answer carries the command of that document.
TAnswer RepeatOperation(TEcrState& State, const TCommand&, std::string_view) {
    if (State.Documents.Open || !State.Documents.Last) return Refused(ecNotNow);
    TDocument doc = *State.Documents.Last;
    doc.Text.clear();
    return Issue(State, std::move(doc));
}

}  // namespace kest::emu
