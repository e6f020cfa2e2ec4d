// The shift and its reports: opening the shift "1", the X and Z reports "5"
// and "_" (with their department and operator forms), and the fiscal-memory
// reports "B" over the Z records. A report is a document: it takes the next
// document number and becomes the last document, so that a host that lost
// its answer can tell from "J" whether it was registered.
#include <algorithm>

#include "Documents.h"
#include "Fields.h"
#include "Services.h"

namespace kest::emu {

namespace {

constexpr int ShiftHours = 24;

// The last document becomes this report or opening.
void SetLastDocument(TEcrState& State, char Type, const TImprint& Imprint, int64_t Sum,
                     int64_t BuyingSum, int Report) {
    State.LastDocument = {.Type = Type,
                          .Operator = State.Operator,
                          .Number = Imprint.Document,
                          .Receipt = State.LastDocument.Receipt,
                          .Report = Report,
                          .Date = Imprint.Date,
                          .Sum = Sum,
                          .BuyingSum = BuyingSum};
}

TAnswer Registered(std::string Data) {
    TAnswer answer = Answered(std::move(Data), PrintAcks);
    answer.Registered = true;
    return answer;
}

// Writes the shift's Z record, clears its counters and totals and closes it.
void CloseShift(TEcrState& State, const TImprint& Imprint) {
    State.DayRecords.push_back(
        {Imprint.Shift, Imprint.Date, State.Counters[CtSales].Sum, State.Counters[CtBuyings].Sum});
    State.Resources.LastDayClosing = Imprint.Shift;
    State.Resources.DayClosed = Imprint.Date;
    --State.Resources.DaysRemain;
    std::fill_n(State.Counters.begin(), ShiftCounters, TCounter{});
    State.Shift.Departments = {};
    State.Shift.Operators = {};
    State.Status &= ~EcrShiftOpen;
    // A new shift has nothing to repeat or copy.
    State.Documents.Last.reset();
    State.Documents.LastText.clear();
}

// The sales a report answers with.
int64_t ReportSales(const TEcrState& State, const TShiftReport& Report) {
    const auto sum = [&](const auto& Totals) {
        if (Report.Which >= 0) return Totals[Report.Which].Sales.Sum;
        int64_t total = 0;
        for (const TShiftTotals& t : Totals)
            total += t.Sales.Sum;
        return total;
    };
    switch (Report.Kind) {
        case TShiftReport::ByDepartment:
            return sum(State.Shift.Departments);
        case TShiftReport::ByOperator:
            return sum(State.Shift.Operators);
        default:
            return State.Counters[CtSales].Sum;
    }
}

// Prints the report, registers it and answers with the serial number, the
// report's number, the sales and, in the 46-byte answer, the purchases.
TAnswer PrintShiftReport(TEcrState& State, TShiftReport Report, bool WithBuyings) {
    if (State.Documents.Open) return Refused(ecNotNow);
    const bool z = Report.Kind == TShiftReport::Z;
    if (z) {
        if (!ShiftOpen(State)) return Refused(ecShiftNotOpen);
        if (State.Resources.DaysRemain <= 0 || State.Resources.LastDayClosing >= MaxDayRecords ||
            State.DayRecords.size() >= size_t(MaxDayRecords))
            return Refused(ecFiscalMemoryFull);
    }
    const TImprint imprint = NextImprint(State);
    Report.Number = z ? imprint.Shift : State.Shift.LastXReport + 1;
    Report.Sales = ReportSales(State, Report);
    const bool total = Report.Kind == TShiftReport::X || z;
    const int64_t buyings = total ? State.Counters[CtBuyings].Sum : 0;
    State.Paper += ShiftReportText(State, Report, imprint);
    if (z)
        CloseShift(State, imprint);
    else
        State.Shift.LastXReport = Report.Number;
    SetLastDocument(State, z ? '5' : '4', imprint, Report.Sales, buyings, Report.Number);
    std::string data = State.Serial + NumberField(Report.Number, 5) + SumField(Report.Sales);
    if (WithBuyings) data += SumField(buyings);
    return Registered(std::move(data));
}

// One hex digit in a slot that may be left 0x00 (then 0).
int ReadModeDigit(std::string_view Data, size_t Offset, uint32_t& Mode) {
    Mode = 0;
    if (Data[Offset] == '\0' && Data[Offset + 1] == '\0') return ecOk;
    return ReadHex(Data, Offset, 1, Mode);
}

// A record number of the fiscal memory in its 8-byte slot.
int ReadRecordNumber(std::string_view Data, size_t Offset, int& Number) {
    int64_t value = 0;
    if (const int e = ReadNumber(Data, Offset, 8, value); e != ecOk) return e;
    if (value < 1 || value > MaxDayRecords) return ecOutOfRange;
    Number = int(value);
    return ecOk;
}

}  // namespace

bool ShiftOpen(const TEcrState& State) {
    return State.Status & EcrShiftOpen;
}

void OpenShift(TEcrState& State, TKestDateTime At) {
    if (ShiftOpen(State)) return;
    State.Status |= EcrShiftOpen;
    State.Shift.Opened = At;
}

int CheckShiftAge(const TEcrState& State) {
    if (ShiftOpen(State) && ClockNow(State) - State.Shift.Opened > ShiftHours / 24.0)
        return ecShiftNotClosed;
    return ecOk;
}

void CountInShift(TEcrState& State, const TDocument& Doc) {
    const bool sale = Doc.Operation == '0', refund = Doc.Operation == '1' || Doc.Operation == 'C';
    if (!sale && !refund) return;
    const auto add = [&](TShiftTotals& Totals, int64_t Sum) {
        TCounter& counter = sale ? Totals.Sales : Totals.Refunds;
        ++counter.Count;
        counter.Sum += Sum;
    };
    add(State.Shift.Operators[State.Operator], Doc.Total);
    std::array<int64_t, DepartmentCount> sums{};
    std::array<bool, DepartmentCount> present{};
    for (const TDocLine& line : Doc.Lines)
        if (line.Department >= 0 && line.Department < DepartmentCount) {
            sums[line.Department] += line.Amount;
            present[line.Department] = true;
        }
    for (int d = 0; d < DepartmentCount; ++d)
        if (present[d]) add(State.Shift.Departments[d], sums[d]);
}

// "1": the operator's number (2 digits) and name (40 bytes), each with its
// 0x00; on the registers with a 46-byte request also the mode digit: 2 prints
// the header lines on the slip, 4 switches the line to XON/XOFF (clear: BS).
// Generation 8 leaves the digit 0x00 and keeps its protocol.
TAnswer OpenDay(TEcrState& State, const TCommand& Command, std::string_view Data) {
    constexpr uint32_t ModeHeader = 2, ModeXonXoff = 4;
    int64_t oper = 0;
    std::string name;
    uint32_t mode = 0;
    if (const int e = ReadNumber(Data, 0, 2, oper); e != ecOk) return Refused(e);
    if (const int e = ReadText(Data, 3, ValueWidth, name); e != ecOk) return Refused(e);
    const bool modeDigit = Command.DataSize == 46;
    if (modeDigit)
        if (const int e = ReadModeDigit(Data, 44, mode); e != ecOk) return Refused(e);
    const uint32_t allowed = State.Generation >= 8   ? 0
                             : State.Generation >= 2 ? ModeHeader | ModeXonXoff
                                                     : ModeHeader;
    if (mode & ~allowed) return Refused(ecOutOfRange);
    if (State.Documents.Open) return Refused(ecNotNow);
    if (ShiftOpen(State)) return Refused(ecShiftNotClosed);

    State.Operator = int(oper);
    if (!name.empty()) State.Texts[OperatorBase + oper] = std::move(name);
    if (modeDigit && State.Generation < 8) SetProtocol(State, mode & ModeXonXoff);
    const TImprint imprint = NextImprint(State);
    OpenShift(State, imprint.Date);
    State.Paper += OpeningText(State, imprint, mode & ModeHeader);
    SetLastDocument(State, '6', imprint, 0, 0, State.LastDocument.Report);
    return Registered({});
}

// "5": the mode digit and 0x00. Mode 2 closes the shift (Z), 4 the full form
// (from generation 3 on).
TAnswer ShiftReport(TEcrState& State, const TCommand& Command, std::string_view Data) {
    constexpr uint32_t ModeClearing = 2, ModeFull = 4;
    uint32_t mode = 0;
    if (const int e = ReadHex(Data, 0, 1, mode); e != ecOk) return Refused(e);
    if (mode & ~(ModeClearing | (State.Generation > 2 ? ModeFull : 0)))
        return Refused(ecOutOfRange);
    TShiftReport report;
    report.Kind = mode & ModeClearing ? TShiftReport::Z : TShiftReport::X;
    report.Full = mode & ModeFull;
    return PrintShiftReport(State, report, Command.AnswerSize == 46);
}

// "_": the report type ("0" Z, "1" X, "2" by operator, "3" by department), the
// mode (2 hex digits: 1 cuts the paper after it, 2 prints the header lines, 4
// the full form, 8 a number follows) and the operator's or department's
// number (2 digits), each with its 0x00.
TAnswer ShiftReportV03(TEcrState& State, const TCommand&, std::string_view Data) {
    constexpr uint32_t ModeCut = 1, ModeHeader = 2, ModeFull = 4, ModeNumber = 8;
    if (Data[1] != '\0') return Refused(ecFieldTooLong);
    uint32_t mode = 0;
    if (const int e = ReadHex(Data, 2, 2, mode); e != ecOk) return Refused(e);
    int64_t number = -1;
    if (mode & ModeNumber) {
        if (const int e = ReadNumber(Data, 5, 2, number); e != ecOk) return Refused(e);
    } else if (!AllZero(Data.substr(5, 3), 0)) {
        return Refused(ecBadField);
    }
    TShiftReport report;
    switch (Data[0]) {
        case '0':
            report.Kind = TShiftReport::Z;
            break;
        case '1':
            report.Kind = TShiftReport::X;
            break;
        case '2':
            report.Kind = TShiftReport::ByOperator;
            break;
        case '3':
            report.Kind = TShiftReport::ByDepartment;
            break;
        case '\0':
            return Refused(ecEmptyField);
        default:
            return Refused(ecOutOfRange);
    }
    const bool byNumber =
        report.Kind == TShiftReport::ByOperator || report.Kind == TShiftReport::ByDepartment;
    if (mode > 0x0F || ((mode & ModeNumber) && !byNumber)) return Refused(ecOutOfRange);
    report.Which = int(number);
    report.Full = mode & ModeFull;
    report.Header = mode & ModeHeader;
    TAnswer answer = PrintShiftReport(State, report, false);
    if (answer.Error == ecOk && (mode & ModeCut)) State.Paper += FeedText(0, false, true);
    return answer;
}

// "B": the tax inspector's password (5 bytes), the report type ("0"/"1" by
// dates, "2"/"3" by record numbers, the even one full; "4" the whole memory)
// and the first and last day (DDMMYYYY) or record number (up to 4 digits) in
// 8-byte slots, each with its 0x00. Answers the register's identity, the
// report's date and number, the range of records it covered and their sales
// and, in layout A of 274 bytes, purchases. The widths of the registration
// and tax-payer numbers follow the answer size.
TAnswer FiscalMemoryReport(TEcrState& State, const TCommand& Command, std::string_view Data) {
    std::string password;
    if (const int e = ReadText(Data, 0, InspectorPasswordWidth, password); e != ecOk)
        return Refused(e);
    if (!AllZero(Data.substr(0, InspectorPasswordWidth), password.size()))
        return Refused(ecBadField);
    if (Data[7] != '\0' || Data[16] != '\0' || Data[25] != '\0') return Refused(ecFieldTooLong);
    TFiscalReport report;
    const char type = Data[6];
    switch (type) {
        case '0':
        case '1':
            report.Kind = TFiscalReport::ByDates;
            break;
        case '2':
        case '3':
            report.Kind = TFiscalReport::ByNumbers;
            break;
        case '4':
            report.Kind = TFiscalReport::All;
            break;
        case '\0':
            return Refused(ecEmptyField);
        default:
            return Refused(ecOutOfRange);
    }
    report.Full = type == '0' || type == '2';
    // Which records: by closing day, by number, or all of them.
    const std::vector<TDayRecord>& days = State.DayRecords;
    auto from = days.begin(), to = days.end();
    if (report.Kind == TFiscalReport::ByDates) {
        TKestDateTime first = 0, last = 0;
        if (const int e = ReadDate(Data, 8, first); e != ecOk) return Refused(e);
        if (const int e = ReadDate(Data, 17, last); e != ecOk) return Refused(e);
        from = std::ranges::find_if(days, [&](const TDayRecord& R) { return R.Date >= first; });
        to = std::ranges::find_if(days, [&](const TDayRecord& R) { return R.Date >= last + 1; });
    } else if (report.Kind == TFiscalReport::ByNumbers) {
        int first = 0, last = 0;
        if (const int e = ReadRecordNumber(Data, 8, first); e != ecOk) return Refused(e);
        if (const int e = ReadRecordNumber(Data, 17, last); e != ecOk) return Refused(e);
        from = std::ranges::find_if(days, [&](const TDayRecord& R) { return R.Number >= first; });
        to = std::ranges::find_if(days, [&](const TDayRecord& R) { return R.Number > last; });
    } else if (State.Generation <= 2 || State.Generation == 6) {
        return Refused(ecOutOfRange);
    }
    if (password != State.InspectorPassword) return Refused(ecBadInspectorPassword);
    if (State.Documents.Open) return Refused(ecNotNow);
    if (days.empty()) return Refused(ecNoFiscalRecords);
    // A range backwards, or beyond the records, covers none.
    if (from >= to) return Refused(ecNoReportRecords);

    report.First = size_t(from - days.begin());
    report.Last = size_t(to - days.begin()) - 1;
    for (auto r = from; r != to; ++r) {
        report.Sales += r->Sales;
        report.Buyings += r->Buyings;
    }
    report.Number = ++State.Resources.LastFiscalReport;
    const TKestDateTime now = ClockNow(State);
    State.Paper += FiscalReportText(State, report, now);

    const bool wide = Command.AnswerSize == 261,
               longTaxPayer = Command.AnswerSize == 259 || Command.AnswerSize == 261;
    std::string data = State.Serial + SlotField(State.RegNumber, wide ? 10 : 8) +
                       SlotField(State.TaxPayerNumber, longTaxPayer ? 13 : 12);
    for (int i = 0; i < HeaderLines; ++i)
        data += SlotField(State.Texts[HeaderBase + i], ValueWidth);
    data += DateField(now) + TimeField(now) + NumberField(report.Number, 5) +
            DateField(from->Date) + DateField((to - 1)->Date) + NumberField(from->Number, 4) +
            NumberField((to - 1)->Number, 4) + SumField(report.Sales);
    if (Command.AnswerSize == 274) data += SumField(report.Buyings);
    return Answered(std::move(data), PrintAcks);
}

}  // namespace kest::emu
