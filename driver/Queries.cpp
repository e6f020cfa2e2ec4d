// Queries: the register's answers about itself, stored in the driver's
// information properties, and the last-document query the document and
// report operations use.
#include <cstring>
#include <string_view>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdReadParameter = '\\';
constexpr uint8_t CmdResources = 'D';
constexpr uint8_t CmdClock = 'H';
constexpr uint8_t CmdLastDoc = 'J';
constexpr uint8_t CmdCounters = 'L';
constexpr uint8_t CmdTax = 'M';
constexpr uint8_t CmdCounter = 'U';

constexpr uint8_t Stx = 0x02;
constexpr uint8_t InWaitRequest = 0x07;  // asks for the status while a notice is pending

constexpr int ParDevExStatus = 306;
constexpr int ParTaxPayerNumber = 304;
constexpr int ParRegNumber = 305;
constexpr int ParSerialNumber = 307;

constexpr int SumSize = 15;  // sums: up to fifteen characters with two decimals

std::string_view Field(const char* At, int Size) {
    return {At, static_cast<size_t>(Size)};
}

// A fixed-width decimal field.
int DecimalField(const char* At, int Size) {
    return static_cast<int>(TKestorFPrt::DecodeFixedNumber(Field(At, Size), -Size));
}

// A sum in hundredths, taken exactly.
TKestCurrency Money(const char* At) {
    return TKestCurrency::FromHundredths(TKestorFPrt::DecodeFixedNumber(Field(At, SumSize), 2));
}

// A date DDMMYYYY at DateAt and a time HHMM at TimeAt.
TKestDateTime DateTime(const char* DateAt, const char* TimeAt) {
    return TKestorFPrt::DecodeDate(Field(DateAt, 8)) + TKestorFPrt::DecodeTime(Field(TimeAt, 4));
}

// Document types of "J", from the character after the "0".
struct TDocType {
    char Code;
    TKestOperType Oper;
    bool InShortForm;
};
constexpr TDocType DocTypes[] = {
    {'0', motSale, true},       {'1', motRefund, true},        {'2', motCashIn, true},
    {'3', motCashOut, true},    {'4', motXReport, true},       {'5', motZReport, true},
    {'6', motDayOpening, true}, {'A', motVoid, true},          {'C', motRefundCashless, true},
    {'D', motBuying, false},    {'E', motBuyingRefund, false}, {'F', motBuyingVoid, false},
};

char Upper(char C) {
    return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
}

// The layouts of the "J" answer: where each field starts.
struct TLastDocLayout {
    int DocNumberSize, DateAt, TimeAt, TypeAt, SumAt, RecAt;
    std::initializer_list<int> Separators;
};
constexpr TLastDocLayout ShortLastDoc = {6, 10, 19, 24, 27, 43, {2, 9, 18, 23, 26, 42, 48}};
constexpr TLastDocLayout LongLastDoc = {5, 9, 18, 23, 26, 42, {2, 8, 17, 22, 25, 41, 47, 53, 69}};
constexpr int LongRepAt = 48, LongBuyingAt = 54;
constexpr int LastDocBufferSize = 70;

// Where counter N (0..12) lies in the "L" snapshot; counters 11 and 12 have no count.
const TKestCountersValues::TCounter* SnapshotCounter(const TKestCountersValues& Values,
                                                     int Number) {
    static constexpr int Slots[] = {0, 1, 2, 9, 3, 4, 5, -1, 6, 7, 8};
    if (Number < 0 || Number > 10 || Slots[Number] < 0) return nullptr;
    return &Values.Counters[Slots[Number]];
}

}  // namespace

void TKestorFPrt::QueryFirmwareInfo() {
    RunCmd([&] { ReadIdentity(); });
}

// -- Extended device status

void TKestorFPrt::RequestDevExStatus(char (&Answer)[45]) {
    if (FDevErrorDepth == 0) {
        char request[4] = {};
        EncodeNumber(ParDevExStatus, -3, false, request);
        Transfer(CmdReadParameter, mctInternal, request, sizeof request, Answer, sizeof Answer);
        return;
    }
    // A command is waiting for its answer, so no frame may be sent: the
    // register answers the in-wait request with a "\" frame. The waiting
    // command keeps the time-outs it had.
    const TKestCommTimeouts outerTimeouts = CommTimeouts();
    const bool outerInternal = FInternalTimeoutInForce;
    const bool outerExternal = FExternalTimeoutInForce;
    const auto restore = [&] {
        FInternalTimeoutInForce = outerInternal;
        FExternalTimeoutInForce = outerExternal;
        SetCommTimeouts(outerTimeouts);
    };
    CorrectTimeouts(CmdReadParameter, mctInternal);
    try {
        SendData(&InWaitRequest, 1);
        uint8_t byte = 0;
        do
            ReceiveData(&byte, 1, true);
        while (byte != Stx);
        ReceiveResponse(CmdReadParameter, Answer, sizeof Answer);
    } catch (...) {
        try {
            restore();
        } catch (...) {
            // The exchange's own failure is the one to report.
        }
        throw;
    }
    restore();
}

void TKestorFPrt::QueryDevExStatus() {
    RunCmd([&] {
        CheckConnected();
        if (!((FEcrModel == mem207_1F && FEcrVersion == 0x0600) || FEcrModel == mem207_1K))
            throw EKestUnsupported(usDevExStatus);
        char answer[45];
        const bool suppressed = FSuppressStatusEvent;
        FSuppressStatusEvent = true;
        try {
            RequestDevExStatus(answer);
        } catch (...) {
            FSuppressStatusEvent = suppressed;
            throw;
        }
        FSuppressStatusEvent = suppressed;

        CheckSeparators({answer[3], answer[44]});
        if (DecimalField(answer, 3) != ParDevExStatus) throw BadResponse(brUnexpected);
        uint8_t extended[5];
        for (int i = 0; i < 5; ++i)
            extended[i] = HexToByte(Field(answer + 4 + 2 * i, 2));
        UpdateDevStatus(extended);
    });
}

// -- Taxes

int TKestorFPrt::QueryTax(int Index) {
    return RunCmd([&] {
        CheckConnected();
        if (FGeneration < 3) throw EKestUnsupported(usTaxes);
        CheckArg(Index >= 0 && Index <= 4, iaTaxIndex);
        char request[2] = {};
        EncodeNumber(Index, -1, true, request);
        char answer[43];
        Transfer(CmdTax, mctInternal, request, sizeof request, answer, sizeof answer);
        CheckSeparators({answer[1], answer[7], answer[28], answer[37], answer[42]});
        const auto rate = static_cast<int>(DecodeFixedNumber(Field(answer + 2, 5), 2));
        std::u16string name = DecodeString(Field(answer + 8, 20), FCoding);
        const TKestDateTime date = DecodeDate(Field(answer + 29, 8));
        FTaxName = std::move(name);
        FTaxDate = date;
        return rate;
    });
}

// -- Counters

TKestCurrency TKestorFPrt::QueryOneCounter(int Number, int Digits) {
    const int max = Digits == 3 ? 999 : 9999;
    CheckArg(Number >= 0 && Number <= max, iaCounter);
    // Generations 6 and 8: "nnn\0"; 3 and 7: "nnnn\0". The answer follows suit.
    char request[5] = {};
    EncodeNumber(Number, -Digits, false, std::span(request, static_cast<size_t>(Digits) + 1));
    char answer[27];
    const int size = Digits + 23;
    Transfer(CmdCounter, mctInternal, request, Digits + 1, answer, size);
    const char* count = answer + Digits + 1;
    const char* sum = count + 6;
    CheckSeparators({answer[Digits], count[5], sum[SumSize]});
    if (DecimalField(answer, Digits) != Number) throw BadResponse(brUnexpected);
    const int counted = DecimalField(count, 5);
    const TKestCurrency result = Money(sum);
    FCounterCount = counted;
    return result;
}

TKestCurrency TKestorFPrt::QuerySnapshotCounter(int Number, bool UseSnapshot) {
    if (!UseSnapshot || !FCountersValid) {
        // The answer lands straight in the snapshot: until it is whole and
        // checked, the snapshot is not to be used.
        FCountersValid = false;
        TransferIn(CmdCounters, mctInternal, &FCounters, sizeof FCounters);
        CheckSeparators({FCounters.Sum12.End, FCounters.Sum11.End});
        for (const auto& counter : FCounters.Counters)
            CheckSeparators({counter.CountEnd, counter.Sum.End});
        for (const auto& sum : FCounters.Extra)
            CheckSeparators({sum.End});
        FCountersValid = true;
    }
    if (Number == 11 || Number == 12) {
        const TKestCurrency result = Money((Number == 12 ? FCounters.Sum12 : FCounters.Sum11).Text);
        FCounterCount = 0;
        return result;
    }
    const TKestCountersValues::TCounter* counter = SnapshotCounter(FCounters, Number);
    CheckArg(counter != nullptr, iaCounterUnsupported);
    const int counted = DecimalField(counter->Count, 5);
    const TKestCurrency result = Money(counter->Sum.Text);
    FCounterCount = counted;
    return result;
}

TKestCurrency TKestorFPrt::QueryCounter(int Number, bool UseSnapshot) {
    return RunCmd([&] {
        CheckConnected();
        if (GenerationIn({6, 8})) return QueryOneCounter(Number, 3);
        if (GenerationIn({3, 7})) return QueryOneCounter(Number, 4);
        return QuerySnapshotCounter(Number, UseSnapshot);
    });
}

// -- Free resources

void TKestorFPrt::QueryResourceInfo(bool Print) {
    RunCmd([&] {
        CheckConnected();
        char request[2] = {};
        TKestCmdType type;
        int size = 41;
        if (GenerationIn({3, 7, 8})) {
            if (Print) throw EKestUnsupported(usResourcePrint);
            type = FGeneration == 3 ? mctInternal : mctProtocol;
            if (FGeneration == 3) size = 36;
        } else {
            request[0] = Print ? '1' : '0';
            // Printing waits for the printer; the plain query is answered at once.
            type = Print ? mctProtocol : mctInternal;
        }
        char answer[41] = {};  // the short form leaves the journal field empty
        Transfer(CmdResources, type, request, sizeof request, answer, size);
        CheckSeparators(
            {answer[4], answer[9], answer[15], answer[21], answer[30], answer[35], answer[40]});
        const int rewrites = DecimalField(answer, 4);
        const int days = DecimalField(answer + 5, 4);
        const int fiscalReport = DecimalField(answer + 10, 5);
        const int dayClosing = DecimalField(answer + 16, 5);
        const TKestDateTime dayDate = answer[31] == '\0' ? 0 : DateTime(answer + 22, answer + 31);
        const int rest = FEKLZSupported ? DecimalField(answer + 36, 4) : 0;
        FRewritesRemain = rewrites;
        FDaysRemain = days;
        FLastFiscalReport = fiscalReport;
        FLastDayClosing = dayClosing;
        FDayDate = dayDate;
        FEKLZRest = rest;
    });
}

// -- The last document

void TKestorFPrt::InternalLastDocInfo(TKestOperType& Oper, TKestDateTime& Date, int& Operator,
                                      int& DocNumber, int& RecNumber, int& RepNumber,
                                      TKestCurrency& DocSum, TKestCurrency& BuyingSum) {
    const bool isShort =
        FEcrModel == mem207_1FMD && FEcrVersion == 0x0100 && FEcrSubVersion >= 0x0300;
    const TLastDocLayout& layout = isShort ? ShortLastDoc : LongLastDoc;
    int size = 49;
    if (!isShort) size = FGeneration == 8 ? 70 : FGeneration == 7 ? 54 : FGeneration >= 3 ? 48 : 42;

    // Fields beyond what the register sends read as empty, that is 0.
    char answer[LastDocBufferSize] = {};
    TransferIn(CmdLastDoc, mctInternal, answer, size);
    for (int at : layout.Separators)
        CheckSeparators({answer[at]});

    // The type reads as a hexadecimal byte first; 0xFF: nothing printed yet.
    const char* type = answer + layout.TypeAt;
    if (HexToByte(Field(type, 2)) == 0xFF) {
        Oper = motUnknown;
        Date = 0;
        Operator = DocNumber = RecNumber = RepNumber = 0;
        DocSum = BuyingSum = {};
        return;
    }
    const TDocType* found = nullptr;
    if (type[0] == '0') {
        for (const TDocType& row : DocTypes)
            if (row.Code == Upper(type[1]) && (row.InShortForm || !isShort)) found = &row;
    }
    if (!found) throw BadResponse(brDocType);

    const int oper = DecimalField(answer, 2);
    const int docNumber = DecimalField(answer + 3, layout.DocNumberSize);
    const TKestDateTime date = DateTime(answer + layout.DateAt, answer + layout.TimeAt);
    const TKestCurrency sum = Money(answer + layout.SumAt);
    const int recNumber = DecimalField(answer + layout.RecAt, 5);
    const int repNumber = isShort ? 0 : DecimalField(answer + LongRepAt, 5);
    const TKestCurrency buying = isShort ? TKestCurrency() : Money(answer + LongBuyingAt);

    Oper = found->Oper;
    Date = date;
    Operator = oper;
    DocNumber = docNumber;
    RecNumber = recNumber;
    RepNumber = repNumber;
    DocSum = sum;
    BuyingSum = buying;
}

int TKestorFPrt::InternalDocNumber(TKestOperType& Oper) {
    TKestDateTime date;
    int oper, docNumber, recNumber, repNumber;
    TKestCurrency sum, buying;
    InternalLastDocInfo(Oper, date, oper, docNumber, recNumber, repNumber, sum, buying);
    return Oper == motUnknown ? 0 : docNumber;
}

int TKestorFPrt::InternalDocNumber() {
    TKestOperType oper;
    return InternalDocNumber(oper);
}

void TKestorFPrt::QueryLastDocInfo() {
    RunCmd([&] {
        CheckConnected();
        TKestOperType type;
        TKestDateTime date;
        int oper, docNumber, recNumber, repNumber;
        TKestCurrency sum, buying;
        InternalLastDocInfo(type, date, oper, docNumber, recNumber, repNumber, sum, buying);
        FLastDocType = type;
        FLastDocDate = date;
        FLastDocOper = oper;
        FLastDocNumber = docNumber;
        FLastRecNumber = recNumber;
        FLastRepNumber = repNumber;
        FLastDocSum = sum;
        FLastBuyingSum = buying;
    });
}

// -- Registration numbers

std::u16string TKestorFPrt::QuerySerialNumber() {
    return QueryRegistration(ParSerialNumber, usSerialNumberRead, FSerialNumber);
}

std::u16string TKestorFPrt::QueryTaxPayerNumber() {
    return QueryRegistration(ParTaxPayerNumber, usTaxPayerNumber, FTaxPayerNumber);
}

std::u16string TKestorFPrt::QueryRegNumber() {
    return QueryRegistration(ParRegNumber, usRegNumber, FRegNumber);
}

std::u16string TKestorFPrt::QueryRegistration(int Number, std::u16string_view Unsupported,
                                              std::u16string& Property) {
    return RunCmd([&] {
        CheckConnected();
        if (FGeneration < 3) throw EKestUnsupported(Unsupported);
        Property = QueryParameterStr(Number);
        return Property;
    });
}

// -- The register's clock

TKestDateTime TKestorFPrt::QueryEcrDateTime() {
    return RunCmd([&] {
        CheckConnected();
        char answer[14];
        TransferIn(CmdClock, mctInternal, answer, sizeof answer);
        CheckSeparators({answer[8], answer[13]});
        FEcrDateTime = DateTime(answer, answer + 9);
        return FEcrDateTime;
    });
}
