// The shift and the reports: opening the shift, X and Z reports with their
// department and operator forms, and the fiscal-memory reports.
#include <cstring>
#include <string_view>
#include <system_error>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdOpenDay = '1';
constexpr uint8_t CmdReport = '5';
constexpr uint8_t CmdFiscalReport = 'B';
constexpr uint8_t CmdReportV03 = '_';

constexpr int ErrInterrupted = 10;  // the user cancelled at the printer
constexpr int SumSize = 15;
constexpr int SlotSize = 8;

std::string_view Field(const char* At, int Size) {
    return {At, static_cast<size_t>(Size)};
}

// A decimal field of at most Size digits.
int DecimalField(const char* At, int Size) {
    return static_cast<int>(TKestorFPrt::DecodeFixedNumber(Field(At, Size), -Size));
}

// A sum in hundredths, taken exactly.
TKestCurrency Money(const char* At) {
    return TKestCurrency::FromHundredths(TKestorFPrt::DecodeFixedNumber(Field(At, SumSize), 2));
}

bool IsLineProtocol(TKestProtocol Value) {
    return Value == mprBS || Value == mprXOnXoff;
}

// The answer to "B": the same fields in every layout, with the registration
// and taxpayer numbers of different widths; only layout A has a purchases total.
enum TFiscalField {
    ffSerial,
    ffRegNumber,
    ffTaxPayer,
    ffLine1,
    ffLine2,
    ffLine3,
    ffLine4,
    ffReportDate,
    ffReportTime,
    ffLastReport,
    ffStartDate,
    ffEndDate,
    ffStartNumber,
    ffEndNumber,
    ffSale,
    ffBuying,
    ffCount
};

struct TFiscalLayout {
    int Size[ffCount];
    int At[ffCount];
    int Fields;  // ffBuying + 1 with a purchases total, else ffBuying

    constexpr TFiscalLayout(int RegSize, int TaxPayerSize, bool Buying)
        : Size{7, RegSize, TaxPayerSize, 40, 40, 40, 40, 8, 4, 5, 8, 8, 4, 4, SumSize, SumSize},
          At{},
          Fields(Buying ? ffCount : ffBuying) {
        int at = 0;
        for (int i = 0; i < ffCount; ++i) {
            At[i] = at;
            at += Size[i] + 1;  // every field is followed by 0x00
        }
    }
    constexpr int End() const { return At[Fields - 1] + Size[Fields - 1] + 1; }
};

constexpr TFiscalLayout LayoutA(8, 12, true);    // 274 bytes (258 without purchases)
constexpr TFiscalLayout LayoutB(8, 13, false);   // 207.1F-MD before firmware 3.0: 259
constexpr TFiscalLayout LayoutC(10, 13, false);  // 207.1F-MD: 261
static_assert(LayoutA.End() == 274 && LayoutB.End() == 259 && LayoutC.End() == 261);
static_assert(LayoutA.At[ffSale] == 242 && LayoutB.At[ffSale] == 243 && LayoutC.At[ffSale] == 245);
constexpr int ShortLayoutASize = 258;

}  // namespace

// -- Opening the shift

void TKestorFPrt::OpenDay(int OperNumber, std::u16string_view OperName, bool Flag,
                          TKestProtocol Protocol) {
    RunCmd([&] {
        CheckConnected();
        CheckArg(OperNumber >= 0 && OperNumber <= 99, iaOperator);
        const bool modeDigit = !GenerationIn({3, 7});
        if (modeDigit && FGeneration < 8) CheckArg(IsLineProtocol(Protocol), iaProtocol);

        // Operator number, name, and on the other generations the mode digit.
        char request[46] = {};
        EncodeNumber(OperNumber, -2, false, std::span(request, 3));
        EncodeString(OperName, std::span(request + 3, 41), FCoding);
        if (!modeDigit) {
            TransferOut(CmdOpenDay, mctProtocol, request, 44);
            return;
        }
        if (FGeneration < 8) {
            int mode = Flag ? 2 : 0;
            if (Protocol == mprXOnXoff && FGeneration >= 2) mode |= 4;
            request[44] = HalfByteToHex(static_cast<uint8_t>(mode));
        }
        InvalidateCounters();
        TransferOut(CmdOpenDay, mctProtocol, request, sizeof request);
    });
}

// -- X and Z reports

bool TKestorFPrt::TransferReport(uint8_t Cmd, std::string_view Request, std::span<char> Answer,
                                 int& Number) {
    InvalidateCounters();
    // Whether an interrupted report was registered shows in the last
    // document's number: note it before.
    const bool recoverable = FGeneration > 6;
    const int before = recoverable ? InternalDocNumber() : 0;
    // The report is registered when the last document has moved on; its
    // number and sums are then the last document's.
    const auto registered = [&] {
        TKestOperType oper;
        TKestDateTime date;
        int operNumber, docNumber, recNumber, repNumber;
        TKestCurrency sum, buying;
        InternalLastDocInfo(oper, date, operNumber, docNumber, recNumber, repNumber, sum, buying);
        if (docNumber == before) return false;  // nothing registered: the failure stands
        FSaleSum = sum;
        FBuyingSum = buying;
        Number = repNumber;
        return true;
    };
    // A spoilt answer or a line that failed may follow a report the register
    // printed; asked in vain, the failure stands.
    const auto registeredAfterLoss = [&] {
        try {
            return registered();
        } catch (const EKestError&) {
            return false;
        } catch (const std::system_error&) {
            return false;
        }
    };
    try {
        Transfer(Cmd, mctProtocol, Request.data(), static_cast<int>(Request.size()), Answer.data(),
                 static_cast<int>(Answer.size()));
        return false;
    } catch (const EKestEcrError& e) {
        if (!recoverable || e.ErrCodeEx() != ErrInterrupted || !registered()) throw;
    } catch (const EKestConnection&) {
        // The connection is gone, or the application gave up waiting or
        // aborted: nothing more goes out.
        throw;
    } catch (...) {
        if (!recoverable || !registeredAfterLoss()) throw;
    }
    return true;
}

int TKestorFPrt::PrintReport(bool Clearing, bool Option) {
    int mode = Clearing ? 2 : 0;
    if (Option && FGeneration > 2) mode |= 4;
    const char request[2] = {HalfByteToHex(static_cast<uint8_t>(mode)), 0};
    // Older registers send no purchases total: its bytes read as empty.
    char answer[46] = {};
    int number = 0;
    if (TransferReport(CmdReport, Field(request, sizeof request),
                       std::span(answer, FGeneration > 2 ? 46 : 30), number))
        return number;
    CheckSeparators({answer[7], answer[13], answer[29], answer[45]});
    std::u16string serial = DecodeString(Field(answer, 7), FCoding);
    number = DecimalField(answer + 8, 5);
    const TKestCurrency sale = Money(answer + 14);
    const TKestCurrency buying = Money(answer + 30);
    FSerialNumber = std::move(serial);
    FSaleSum = sale;
    FBuyingSum = buying;
    return number;
}

int TKestorFPrt::PrintReportV03(char ReportType, bool OptionA, bool OptionB, bool OptionC,
                                int Number) {
    const int mode =
        (OptionB ? 1 : 0) | (OptionC ? 2 : 0) | (OptionA ? 4 : 0) | (Number >= 0 ? 8 : 0);
    char request[8] = {};
    request[0] = ReportType;
    ByteToHex(static_cast<uint8_t>(mode), std::span(request + 2, 2));
    if (Number >= 0) EncodeNumber(Number, -2, false, std::span(request + 5, 3));
    char answer[30];
    int number = 0;
    if (TransferReport(CmdReportV03, Field(request, sizeof request), answer, number)) return number;
    CheckSeparators({answer[7], answer[13], answer[29]});
    std::u16string serial = DecodeString(Field(answer, 7), FCoding);
    number = DecimalField(answer + 8, 5);
    const TKestCurrency sale = Money(answer + 14);
    FSerialNumber = std::move(serial);
    FSaleSum = sale;
    FBuyingSum = {};
    return number;
}

int TKestorFPrt::XReport(int Flags) {
    return RunCmd([&] {
        CheckConnected();
        if (GenerationIn({3, 7})) return PrintReportV03('1', Flags & 1, Flags & 2, Flags & 4, -1);
        return PrintReport(false, Flags & 1);
    });
}

int TKestorFPrt::ZReport(int Flags) {
    return RunCmd([&] {
        CheckConnected();
        if (GenerationIn({3, 7})) return PrintReportV03('0', Flags & 1, Flags & 2, Flags & 4, -1);
        return PrintReport(true, Flags & 1);
    });
}

int TKestorFPrt::XReportByDep(int Depart, int Flags) {
    return RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usXReportByDep);
        CheckArg(Depart <= 99, iaDepartment);
        return PrintReportV03('3', Flags & 1, false, false, Depart);
    });
}

int TKestorFPrt::XReportByOper(int Oper, int Flags) {
    return RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usXReportByOper);
        CheckArg(Oper <= 99, iaOperator);
        return PrintReportV03('2', Flags & 1, false, false, Oper);
    });
}

// -- Fiscal-memory reports

int TKestorFPrt::FiscalReport(std::u16string_view Password, char ReportType,
                              const TKestReportSlot& First, const TKestReportSlot& Last) {
    // The register takes five characters; a longer password cut short would
    // be one the inspector never gave.
    CheckArg(Password.size() <= 5, iaInspectorPassword);
    char request[26] = {};
    EncodeString(Password, std::span(request, 6), FCoding);
    request[6] = ReportType;
    std::memcpy(request + 8, First, SlotSize);
    std::memcpy(request + 17, Last, SlotSize);

    const TFiscalLayout* layout = &LayoutA;
    int size = FGeneration == 6 || FGeneration == 8 ? LayoutA.End() : ShortLayoutASize;
    if (FEcrModel == mem207_1FMD) {
        layout = FEcrVersion == 0x0100 && FEcrSubVersion < 0x0300 ? &LayoutB : &LayoutC;
        size = layout->End();
    }
    const TFiscalLayout& l = *layout;
    // A purchases total the register does not send reads as empty.
    char answer[LayoutA.End()] = {};
    InvalidateCounters();
    Transfer(CmdFiscalReport, mctProtocol, request, sizeof request, answer, size);
    for (int i = 0; i < l.Fields; ++i)
        CheckSeparators({answer[l.At[i] + l.Size[i]]});

    const auto text = [&](TFiscalField F) {
        return DecodeString(Field(answer + l.At[F], l.Size[F]), FCoding);
    };
    const auto date = [&](TFiscalField F) { return DecodeDate(Field(answer + l.At[F], 8)); };
    std::u16string serial = text(ffSerial);
    std::u16string regNumber = text(ffRegNumber);
    std::u16string taxPayer = text(ffTaxPayer);
    std::u16string lines[4] = {text(ffLine1), text(ffLine2), text(ffLine3), text(ffLine4)};
    const TKestDateTime reportDate =
        date(ffReportDate) + DecodeTime(Field(answer + l.At[ffReportTime], 4));
    const int lastReport = DecimalField(answer + l.At[ffLastReport], 5);
    const TKestDateTime startDate = date(ffStartDate);
    const TKestDateTime endDate = date(ffEndDate);
    const int startNumber = DecimalField(answer + l.At[ffStartNumber], 4);
    const int endNumber = DecimalField(answer + l.At[ffEndNumber], 4);
    const TKestCurrency sale = Money(answer + l.At[ffSale]);
    const TKestCurrency buying =
        l.Fields > ffBuying ? Money(answer + l.At[ffBuying]) : TKestCurrency();

    // Stored only once the whole answer has been read.
    FSerialNumber = std::move(serial);
    FRegNumber = std::move(regNumber);
    FTaxPayerNumber = std::move(taxPayer);
    for (int i = 0; i < 4; ++i)
        FHeaderLines[i] = std::move(lines[i]);
    FReportDate = reportDate;
    FLastFiscalReport = lastReport;
    FStartDate = startDate;
    FEndDate = endDate;
    FStartNumber = startNumber;
    FEndNumber = endNumber;
    FSaleSum = sale;
    FBuyingSum = buying;
    return FLastFiscalReport;
}

int TKestorFPrt::FiscalReportByNum(std::u16string_view Password, bool Kind, int First, int Last) {
    return RunCmd([&] {
        CheckConnected();
        CheckArg(First >= 1 && First <= 9999, iaRecordNumber);
        CheckArg(Last >= 1 && Last <= 9999, iaRecordNumber);
        TKestReportSlot first = {}, last = {};
        EncodeNumber(First, -4, false, first);
        EncodeNumber(Last, -4, false, last);
        return FiscalReport(Password, Kind ? '2' : '3', first, last);
    });
}

int TKestorFPrt::FiscalReportByDate(std::u16string_view Password, bool Kind, TKestDateTime First,
                                    TKestDateTime Last) {
    return RunCmd([&] {
        CheckConnected();
        TKestReportSlot first = {}, last = {};
        EncodeDate(First, first);
        EncodeDate(Last, last);
        return FiscalReport(Password, Kind ? '0' : '1', first, last);
    });
}

int TKestorFPrt::FiscalReportAll(std::u16string_view Password) {
    return RunCmd([&] {
        CheckConnected();
        if (FGeneration <= 2 || FGeneration == 6) throw EKestUnsupported(usFiscalReportAll);
        const TKestReportSlot none = {};
        return FiscalReport(Password, '4', none, none);
    });
}
