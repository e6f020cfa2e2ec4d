// The protected journal: activation, reports by shift, number or date, and
// closing of its archive. Reports still print from a closed archive.
#include "Fields.h"
#include "Services.h"

namespace kest::emu {

namespace {

bool Activated(const TEcrState& State) {
    return State.Journal.Status & JournalActivated;
}

// What the two arguments of each report type are.
enum class TArgument { None, Shift, Document, Date };
struct TReportArguments {
    TArgument First, Second;
};
constexpr TReportArguments ReportArguments[] = {
    {TArgument::None, TArgument::None},      // 0 activation report
    {TArgument::Shift, TArgument::None},     // 1 one shift
    {TArgument::Shift, TArgument::Shift},    // 2, 3 a range of shifts
    {TArgument::Shift, TArgument::Shift},    //
    {TArgument::Date, TArgument::Date},      // 4, 5 a range of dates
    {TArgument::Date, TArgument::Date},      //
    {TArgument::Document, TArgument::None},  // 6 one document
    {TArgument::Shift, TArgument::None},     // 7 one shift's control record
};

// One argument as a key that orders like it; shifts are 1..9999.
int ReadArgument(std::string_view Data, size_t Offset, TArgument Kind, double& Key) {
    if (Kind == TArgument::None) return ecOk;
    if (Kind == TArgument::Date) return ReadDate(Data, Offset, Key);
    int64_t number = 0;
    if (const int e = ReadNumber(Data, Offset, 8, number); e != ecOk) return e;
    if (Kind == TArgument::Shift && (number < 1 || number > 9999)) return ecOutOfRange;
    Key = double(number);
    return ecOk;
}

}  // namespace

// "X": activates the journal and prints the activation report.
TAnswer ActivateJournal(TEcrState& State, const TCommand&, std::string_view) {
    if (Activated(State)) return Refused(ecJournalActivated);
    State.Journal.Status |= JournalActivated;
    return Answered({}, PrintAcks);
}

// "Y": the report type ("0".."7") and two arguments of 8 bytes, each field
// with its 0x00. A shift or document the register has not recorded yet, or a
// range backwards, holds no data.
TAnswer JournalReport(TEcrState& State, const TCommand&, std::string_view Data) {
    int64_t type = 0;
    if (const int e = ReadNumber(Data, 0, 1, type); e != ecOk) return Refused(e);
    if (type >= int64_t(std::size(ReportArguments))) return Refused(ecOutOfRange);
    const TReportArguments& kind = ReportArguments[type];
    double first = 0, last = 0;
    if (const int e = ReadArgument(Data, 2, kind.First, first); e != ecOk) return Refused(e);
    if (const int e = ReadArgument(Data, 11, kind.Second, last); e != ecOk) return Refused(e);
    if (!Activated(State)) return Refused(ecJournalNotActivated);
    const double recorded = kind.First == TArgument::Shift      ? State.Resources.LastDayClosing
                            : kind.First == TArgument::Document ? State.LastDocument.Number
                                                                : first;
    if (first > recorded || (kind.Second != TArgument::None && first > last))
        return Refused(ecJournalNoData);
    return Answered({}, PrintAcks);
}

// "Z": closes the journal's archive.
TAnswer CloseJournalArchive(TEcrState& State, const TCommand&, std::string_view) {
    if (!Activated(State)) return Refused(ecJournalNotActivated);
    if (State.Journal.Status & JournalArchiveClosed) return Refused(ecJournalClosed);
    State.Journal.Status |= JournalArchiveClosed;
    return Answered({}, PrintAcks);
}

}  // namespace kest::emu
