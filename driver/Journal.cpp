// The protected journal (EKLZ): activation, its reports, closing of the
// archive and its status word.
#include <string>
#include <string_view>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdActivate = 'X';
constexpr uint8_t CmdReport = 'Y';
constexpr uint8_t CmdCloseArchive = 'Z';

constexpr int ParJournalStatus = 318;

constexpr int ReportSize = 20;
constexpr int FirstAt = 2, SecondAt = 11;
constexpr int ArgumentField = 9;  // eight characters and 0x00

// A shift, record or document number of at most Digits digits, Min..Max.
std::string JournalNumber(int Value, int Min, int Max, int Digits) {
    CheckArg(Value >= Min && Value <= Max, iaRecordNumber);
    char text[ArgumentField];
    const int length = TKestorFPrt::EncodeNumber(Value, -Digits, false, text);
    return std::string(text, static_cast<size_t>(length));
}

std::string ShiftNumber(int Value) {
    return JournalNumber(Value, 1, 9999, 4);
}

std::string JournalDate(TKestDateTime Value) {
    char text[ArgumentField];
    TKestorFPrt::EncodeDate(Value, text);
    return std::string(text, 8);
}

// The status word's journal operation, bits 0..1, when bit 5 is set.
constexpr TKestOperType JournalOpers[] = {motSale, motBuying, motRefund, motBuyingRefund};

}  // namespace

void TKestorFPrt::CheckJournal() const {
    CheckConnected();
    if (!FEKLZSupported) throw EKestUnsupported(usEKLZ);
}

void TKestorFPrt::SendJournalReport(char Type, std::string_view First, std::string_view Second) {
    char request[ReportSize] = {};
    request[0] = Type;
    First.copy(request + FirstAt, ArgumentField - 1);
    Second.copy(request + SecondAt, ArgumentField - 1);
    // The register prints: on XON/XOFF it may take the external time-out.
    TransferOut(CmdReport, mctProtocol, request, sizeof request);
}

void TKestorFPrt::EKLZActivate() {
    RunCmd([&] {
        CheckJournal();
        TransferSimple(CmdActivate, mctProtocol);
    });
}

void TKestorFPrt::EKLZActivationReport() {
    RunCmd([&] {
        CheckJournal();
        SendJournalReport('0');
    });
}

void TKestorFPrt::EKLZDayReport(int Day) {
    RunCmd([&] {
        CheckJournal();
        SendJournalReport('1', ShiftNumber(Day));
    });
}

void TKestorFPrt::EKLZReportByNum(bool Full, int First, int Last) {
    RunCmd([&] {
        CheckJournal();
        const std::string first = ShiftNumber(First);
        const std::string last = ShiftNumber(Last);
        SendJournalReport(Full ? '2' : '3', first, last);
    });
}

void TKestorFPrt::EKLZReportByDate(bool Full, TKestDateTime First, TKestDateTime Last) {
    RunCmd([&] {
        CheckJournal();
        const std::string first = JournalDate(First);
        const std::string last = JournalDate(Last);
        SendJournalReport(Full ? '4' : '5', first, last);
    });
}

void TKestorFPrt::EKLZDocByNum(int Number) {
    RunCmd([&] {
        CheckJournal();
        SendJournalReport('6', JournalNumber(Number, 0, 99999999, 8));
    });
}

void TKestorFPrt::EKLZControlByNum(int Day) {
    RunCmd([&] {
        CheckJournal();
        SendJournalReport('7', ShiftNumber(Day));
    });
}

void TKestorFPrt::EKLZCloseArchive() {
    RunCmd([&] {
        CheckJournal();
        TransferSimple(CmdCloseArchive, mctProtocol);
    });
}

void TKestorFPrt::EKLZQueryStatus() {
    RunCmd([&] {
        CheckJournal();
        TKestParamValue value;
        QueryParameter(ParJournalStatus, value);
        const uint16_t word = HexToWord(std::string_view(value, 4));
        FEKLZActivated = word & 0x0008;
        FEKLZArchiving = word & 0x0004;
        FEKLZReporting = word & 0x0010;
        FEKLZDayOpened = word & 0x0040;
        FEKLZFatalError = word & 0x0080;
        FEKLZAttention = word & 0x8000;
        FEKLZOper = word & 0x0020 ? JournalOpers[word & 3] : motUnknown;
    });
}
