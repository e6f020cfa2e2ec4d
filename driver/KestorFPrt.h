// libkestor: driver of the KESTOR family of fiscal cash registers on an RS-232 line.
//
// TKestorFPrt speaks the registers' framed ASCII protocol: it identifies the
// register, exchanges commands with the access password, waits through the
// register's acknowledgements and device-status notices, checks the answers,
// keeps the status words and reports every failure as an exception of the
// EKestError tree. Every public operation runs in the command bracket, so
// ErrCode, ErrCodeEx and ErrMessage describe the outcome of the last call.
//
// Threads: operations may be called from any thread; they run one at a time
// (a call waits until the running one has ended), and the events fire on the
// calling thread inside the running operation, where a handler may call
// further operations. AbortRequest is the one call meant to run beside a
// command. The read-only properties are plain fields that a running command
// writes: read them between operations or from the events, not beside a
// command on another thread.
#pragma once

#include <atomic>
#include <bitset>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>

#include "KestRecords.h"
#include "KestTypes.h"

// ---------------------------------------------------------------------------
// Enumerations

enum TKestCodingType : uint8_t {
    mctGeneral,    // code page 866
    mctMoldavian,  // code page 866 with five Romanian letters at 0xB0..0xB4
};

enum TKestCmdType : uint8_t {
    mctInternal,  // answered at once: InternalTimeout
    mctProtocol,  // InternalTimeout on the BS protocol, ExternalTimeout otherwise
    mctExternal,  // prints or drives a peripheral: ExternalTimeout
};

enum TKestEcrModel : uint8_t {
    memUnknown,
    mem207_1F,
    memStationF,
    memPCK,
    mem207_1K,
    mem207_1FMD,
};

enum TKestProtocol : uint8_t { mprUnknown, mprBS, mprXOnXoff };

enum TKestConnState : uint8_t {
    mcsNone,          // not connected
    mcsIdle,          // connected, no transfer running
    mcsWriting,       // a write to the port is running
    mcsReading,       // a read from the port is running
    mcsNoResponse,    // OnNoResponse is being asked
    mcsPrinterError,  // OnPrinterError is being asked
    mcsDisplayError,  // OnDisplayError is being asked
};

enum TKestDocStatus : uint8_t {
    mdsUnknown,
    mdsClosed,
    mdsCached,
    mdsOpened,
    mdsTotal,
    mdsCompleted,
    mdsReceipt,
    mdsCustom,
    mdsForm,
};

enum TKestOperType : uint8_t {
    motUnknown,
    motSale,
    motRefund,
    motRefundCashless,
    motVoid,
    motCashIn,
    motCashOut,
    motBuying,
    motBuyingRefund,
    motBuyingVoid,
    motDayOpening,
    motXReport,
    motZReport,
};

// ---------------------------------------------------------------------------
// Exceptions. ErrCode is fixed per class; ErrCodeEx is a detail code, an
// operating-system error code or the register's error code. The message is a
// head text, optionally followed by a detail that starts with ":\r\n".

class EKestError : public std::exception {
public:
    int ErrCode() const { return FErrCode; }
    int ErrCodeEx() const { return FErrCodeEx; }
    const std::u16string& Message() const { return FMessage; }
    const char* what() const noexcept override { return FWhat.c_str(); }  // UTF-8

protected:
    EKestError(int ErrCode, int ErrCodeEx, std::u16string Message);

private:
    int FErrCode;
    int FErrCodeEx;
    std::u16string FMessage;
    std::string FWhat;
};

// Line problems: no answer, aborted, not open, unknown device.
class EKestConnection : public EKestError {
protected:
    using EKestError::EKestError;
};

class EKestRequestAborted : public EKestConnection {
public:
    EKestRequestAborted();
};
class EKestConnOpened : public EKestConnection {
public:
    EKestConnOpened();
};
class EKestConnClosed : public EKestConnection {
public:
    EKestConnClosed();
};
class EKestNoResponse : public EKestConnection {
public:
    EKestNoResponse();
};
class EKestUnknownDevice : public EKestConnection {
public:
    EKestUnknownDevice();
};

class EKestNoConversion : public EKestError {
public:
    EKestNoConversion(int SysCode, std::u16string_view Detail = {});
};

class EKestUnsupported : public EKestError {
public:
    explicit EKestUnsupported(std::u16string_view Detail);
};

// Document-sequence errors.
class EKestDocError : public EKestError {
protected:
    using EKestError::EKestError;
};

class EKestDocOverflow : public EKestDocError {
public:
    EKestDocOverflow();
};
class EKestNoDocument : public EKestDocError {
public:
    EKestNoDocument();
};
class EKestDocOpened : public EKestDocError {
public:
    EKestDocOpened();
};
class EKestForbidden : public EKestDocError {
public:
    explicit EKestForbidden(std::u16string_view Detail);
};
class EKestForbiddenVersion : public EKestDocError {
public:
    explicit EKestForbiddenVersion(std::u16string_view Detail);
};
class EKestDuplication : public EKestDocError {
public:
    EKestDuplication(int Code, std::u16string_view Detail);
};
class EKestNoProperty : public EKestDocError {
public:
    EKestNoProperty(int Code, std::u16string_view Detail);
};

class EKestInvalidArg : public EKestError {
public:
    EKestInvalidArg(int Code, std::u16string_view Detail);
};

class EKestBadResponse : public EKestError {
public:
    EKestBadResponse(int Code, std::u16string_view Detail);
};

// The register refused a command; ErrCodeEx is the register's error code.
class EKestEcrError : public EKestError {
public:
    explicit EKestEcrError(int Code, std::u16string_view Detail = {});
};

// ---------------------------------------------------------------------------
// Records

// The answer to the counters command "L" of generations 1 and 2, kept as the
// register sent it: fifteen-character sums with two decimals, five-digit
// counts, every field followed by 0x00.
struct TKestCountersValues {
    struct TSum {
        char Text[15];
        char End;
    };
    struct TCounter {
        char Count[5];
        char CountEnd;
        TSum Sum;
    };
    TSum Sum12;             // counter 12 has no count
    TSum Sum11;             // nor has counter 11
    TCounter Counters[10];  // counters 0, 1, 2, 4, 5, 6, 8, 9, 10, 3 in this order
    TSum Extra[5];          // not read
};
static_assert(sizeof(TKestCountersValues) == 332);

// ---------------------------------------------------------------------------
// The driver

namespace kest {
class TLine;
class TWakeup;
}  // namespace kest

// Time-outs of the serial line, in milliseconds. A read of n bytes ends after
// ReadConstant + n x ReadMultiplier, or when ReadInterval passes between two
// bytes; a write of n bytes after WriteConstant + n x WriteMultiplier. Zero
// turns a bound off; all zero waits without limit.
struct TKestCommTimeouts {
    int ReadInterval = 0;
    int ReadMultiplier = 0;
    int ReadConstant = 0;
    int WriteMultiplier = 0;
    int WriteConstant = 0;
    bool operator==(const TKestCommTimeouts&) const = default;
};

class TKestorFPrt;
using TKestNotifyEvent = std::function<void(TKestorFPrt& Sender)>;
using TKestDataEvent = std::function<void(TKestorFPrt& Sender, const void* Data, int Size)>;

class TKestorFPrt : public TKestComponent {
public:
    // Codes recorded for failures outside the EKestError tree.
    static constexpr int ErrOutOfMemory = 16;
    static constexpr int ErrSystem = 17;
    static constexpr int ErrOther = 999;

    explicit TKestorFPrt(TKestComponent* Owner = nullptr);
    ~TKestorFPrt() override;

    // -- Field codecs: class-level, no connection needed; bad input raises
    // EKestBadResponse (decoders), EKestInvalidArg (EncodeDate) or
    // EKestNoConversion (text). Decoders stop at a NUL or at the end of the
    // view, whichever comes first; encoders never write past their span.

    // Value >= 0. Digits > 0: fixed point with Digits decimals; Digits < 0: an
    // integer of at most -Digits digits (exactly -Digits when Fixed). Writes the
    // text and a NUL; returns the count of characters before the NUL.
    // std::length_error when Buf cannot hold them.
    static int EncodeNumber(int64_t Value, int Digits, bool Fixed, std::span<char> Buf);
    static int64_t DecodeNumber(std::string_view Text, int Digits, int& FracDigits);
    static int64_t DecodeFixedNumber(std::string_view Text, int Digits);

    static char HalfByteToHex(uint8_t Value);
    static uint8_t HexToHalfByte(char Digit);
    static void ByteToHex(uint8_t Value, std::span<char> Out);         // 2 characters
    static uint8_t HexToByte(std::string_view Text);                   // 2 characters
    static void WordToHex(uint16_t Value, std::span<char> Out);        // 4 characters
    static uint16_t HexToWord(std::string_view Text);                  // 4 characters
    static void EncodeDate(TKestDateTime Value, std::span<char> Out);  // DDMMYYYY + NUL
    static TKestDateTime DecodeDate(std::string_view Text);
    static void EncodeTime(TKestDateTime Value, std::span<char> Out);  // HHMM + NUL
    static TKestDateTime DecodeTime(std::string_view Text);

    // Sum of the bytes modulo 256; 0 for Size <= 0.
    static uint8_t CountBCC(const void* Data, int Size);
    // Raises the frame-format error unless every byte is 0x00.
    static void CheckSeparators(std::initializer_list<char> Separators);

    // Fills all of Buf with 0x00 and writes at most Buf.size() - 1 bytes of
    // Text; characters without a register form become "?".
    static void EncodeString(std::u16string_view Text, std::span<char> Buf, TKestCodingType Coding);
    static std::u16string DecodeString(std::string_view Data, TKestCodingType Coding);
    // Turns a text with backslash escapes (\41, \4, \\) into raw bytes.
    static std::string UnescapeData(std::string_view Text);

    // -- Identity of the driver
    const std::u16string& Version() const { return FVersion; }
    int VersionNumber() const { return FVersionNumber; }
    int BuildNumber() const { return FBuildNumber; }

    // -- Last error
    int ErrCode() const { return FErrCode; }
    int ErrCodeEx() const { return FErrCodeEx; }
    const std::u16string& ErrMessage() const { return FErrMessage; }

    // -- Connection. Open opens the port and identifies the register; Close
    // (Silent: no error when not open) releases the port and forgets the
    // register's state. TestConnection proves that the register answers.
    virtual void Open();
    virtual void Close(bool Silent = false);
    virtual void TestConnection();
    void SetActive(bool Value);
    void Loaded() override;
    // Changes the access password, on the register too when connected.
    void SetPassword(std::u16string_view Value);

    // -- Port settings. PortNum N is /dev/ttyS<N-1>, or the device named by
    // the environment variable KESTOR_COM<N> (a USB adapter, a pseudo-terminal).
    void SetPortNum(int Value);          // 1..24, only while not connected
    void SetBaudRate(int Value);         // 9600, 19200, 57600, 115200; tells the register
    void SetInternalTimeout(int Value);  // ms, >= 0
    void SetExternalTimeout(int Value);  // ms, >= 0

    // Every operation below raises EKestConnClosed when not connected and
    // makes its refusals (EKestUnsupported, EKestInvalidArg) before any byte
    // is sent.

    // -- Fiscal documents. A document is assembled in the driver and reaches
    // the register in one command when it is closed (a composite document
    // also when its buffer is printed). A refused call changes nothing; a
    // close that fails in the register keeps the document, to be closed again
    // or cancelled. A close whose print the register reports interrupted
    // (error 10) while its last document number has moved on with the same
    // operation counts as printed. Every amount lies in 0..MaxAmount.
    static constexpr TKestCurrency MaxAmount = TKestCurrency::FromRaw(999'999'999'900);

    // Standard receipt (not on generations 3 and 7): at most 40 items on
    // generation 1, 193 on 2 and 6, 196 on 8, and one payment; command "K".
    void OpenReceipt(TKestOperType Oper);
    // Price per unit; Adjustment in hundredths of a per cent, negative for a
    // discount; Quantity in units of 10^-Precision (Precision 0..3), negative
    // when none is printed; TaxIndex 0..4 on generations 6 and 8. UnitName
    // and Reserved are not used by standard receipts.
    void AddReceiptItem(std::u16string_view Name, TKestCurrency Price, bool ItemFlag,
                        int Department, int Code, int Adjustment, int Quantity, int Precision,
                        int TaxIndex, std::u16string_view UnitName, int Reserved = 0);
    void CancelReceipt();
    // Account: digits only on generation 1; Copies 0..9; OperInfo on
    // generations 6 and 8.
    void CloseReceipt(std::u16string_view Account, TKestPayType PayType, TKestCurrency Amount,
                      TKestCurrency Amount2, std::u16string_view PayText, int Copies,
                      TKestOperInfo OperInfo);

    // Custom document (Form false, command "N") or form (command "P"), not on
    // generations 3 and 7: properties placed with the Add operations below.
    void OpenCustomDoc(bool Form, TKestOperType Oper);
    void CancelCustomDoc();
    // PayType counts when no payment property was added; DocFlags' low four
    // bits go to the register; CopiesA, CopiesB 0..9; the impression offsets
    // 0..99; FiscalIndex chooses the fiscal one of the (CopiesA + 1) x
    // (CopiesB + 1) impressions (at most 15).
    void CloseCustomDoc(TKestPayType PayType, int DocFlags, int CopiesA, int CopiesB, int OffsetA,
                        int OffsetB, int OffsetC, int FiscalIndex);

    // Composite document (generations 3 and 7), command "S": kept in the
    // driver until its buffer is printed; the register keeps it open until it
    // is closed or cancelled. LocalOnly drops the driver's buffer only.
    void OpenFiscalDoc(TKestOperType Oper);
    void PrintFiscalDocBuffer();
    void CloseFiscalDoc();
    void CancelFiscalDoc(bool LocalOnly);
    // A copy of the last document ("T", generations 3 and 7); the last
    // operation again ("O").
    void CopyFiscalDoc();
    void RepeatOperation();

    // Document properties of an open custom or composite document. X is
    // 0..99, Y 0..999 (0..99 on generation 1), Second the second horizontal
    // offset of priced properties (0..39, generations 6 and 8). Flags are the
    // caller's print flags. The fiscal sign and the journal data come below
    // every mandatory property (codes 0..20).
    void AddSerialNumber(int Flags, int X, int Y);
    void AddHeaderLine(int Line, int Flags, int X, int Y);  // Line 1..4
    void AddDateTime(int Flags, int X, int Y);
    void AddOperInfo(TKestOperInfo Info, int Flags, int X, int Y);
    void AddDocNumber(int Flags, int X, int Y);
    void AddReceiptNumber(int Flags, int X, int Y);
    void AddAccount(std::u16string_view Account, int Flags, int X, int Y);
    void AddTaxPayerNumber(int Flags, int X, int Y);
    // As AddReceiptItem; adjustments and voids on generations 3 and 7 only
    // (Flags 0x800 voids there).
    void AddItem(TKestItemType ItemType, TKestCurrency Price, bool ItemFlag, int Department,
                 int Code, int Adjustment, int Quantity, int Precision, int TaxIndex,
                 std::u16string_view UnitName, int Flags, int X, int Y, int Second);
    // Adjustments of the whole document (generations 3 and 7): Percent in
    // hundredths of a per cent, -10000..10000 but not 0; Amount in
    // -MaxAmount..MaxAmount; negative values are discounts.
    void AddDocPercentAdj(int Percent, int TaxIndex, int Flags, int X, int Y, int Second);
    void AddDocAmountAdj(TKestCurrency Amount, int TaxIndex, int Flags, int X, int Y, int Second);
    void AddTotal(int Flags, int X, int Y, int Second);
    void AddPay(TKestPayType PayType, TKestCurrency Amount, TKestCurrency Amount2,
                std::u16string_view PayText, int Flags, int X, int Y, int Second);
    void AddChange(int Flags, int X, int Y, int Second);
    void AddTaxSum(int TaxIndex, int Flags, int X, int Y, int Second);  // generations 3 and up
    void AddFiscalSign(int Flags, int X, int Y);                        // not on 3 and 7
    void AddEKLZData(int Flags, int X, int Y);
    void AddRegNumber(int Flags, int X, int Y);      // 207.1F-MD from firmware 3.0
    void AddGraphicHeader(int Flags, int X, int Y);  // always at X 0; generations 3 and 7
    // Five values for the register's barcode (generations 2, 6 and 8).
    void AddBarcode(int Value1, int Value2, int Value3, int Value4, int Value5, bool Mark,
                    int Flags, int X, int Y);
    void AddCustom(std::u16string_view Text, int Flags, int X, int Y);  // 40 characters

    // -- Parameters: the register's numbered settings (commands "\" and "W").
    // The queries run on generations 3, 7 and 8 (display time-out, contrast,
    // leading, header alignment, autocut and economic mode on 3 and 7 only,
    // full journal on 8 only); the setters on every generation but 1, 2 and 6.
    int QueryPrinterTimeout();
    int QueryDisplayTimeout();
    int QueryPrinterContrast();
    int QueryLeading();
    int QueryOperNumber();
    bool QueryHeaderAlignment();
    bool QueryAutocut();
    bool QueryEconomicMode();
    bool QueryPaperJournal();
    bool QueryFullJournal();
    // The line protocol and the print time-out (0..900); on generations 1, 2
    // and 6 in one command of their own.
    void SetParameters(TKestProtocol Protocol, int Timeout);
    void SetProtocol(TKestProtocol Value);  // mprBS or mprXOnXoff
    void SetPrinterTimeout(int Value);      // 0..900
    void SetDisplayTimeout(int Value);      // 0..900
    void SetPrinterContrast(int Value);     // 0..7
    void SetLeading(int Value);             // 0..255
    void SetCutterDisabled(bool Value);
    void SetNarrowPaper(bool Value);
    void SetHeaderAlignment(bool Value);
    void SetAutocut(bool Value);
    void SetEconomicMode(bool Value);
    void SetPaperJournal(bool Value);
    void SetFullJournal(bool Value);

    // -- Queries: the register about itself, stored in the information properties.
    // Reads the identity strings again (command "E").
    void QueryFirmwareInfo();
    // The extended device status into DevStatus (207.1F firmware 6.0 and
    // 207.1K). Also callable from OnPrinterError / OnDisplayError while
    // another command waits: it then asks with the in-wait request 0x07.
    void QueryDevExStatus();
    // Tax Index (0..4): TaxName and TaxDate; returns the rate in hundredths
    // of a percent. Generations 3 and above.
    int QueryTax(int Index);
    // The sum of counter Number; its count goes to CounterCount. Generations 1
    // and 2 read all counters at once and may answer from that snapshot.
    TKestCurrency QueryCounter(int Number, bool UseSnapshot = false);
    // The free resources of the fiscal memory; Print has the register print
    // them too (not on generations 3, 7 and 8).
    void QueryResourceInfo(bool Print = false);
    // The last document into the LastDoc... properties.
    void QueryLastDocInfo();
    // Generations 3 and above; the text is also stored in the property.
    std::u16string QuerySerialNumber();
    std::u16string QueryTaxPayerNumber();
    std::u16string QueryRegNumber();
    // The register's clock, also stored in EcrDateTime.
    TKestDateTime QueryEcrDateTime();

    // -- Texts: header lines, titles, departments, operators, taxes, serial number
    std::u16string QueryHeaderLine(int Line);    // 1..4, generations 3 and above
    std::u16string QueryTitle(int Number);       // 0..999, generations 2 and above
    std::u16string QueryDepartName(int Depart);  // 0..99, generations 3 and 7
    std::u16string QueryOperName(int Oper);      // 0..99, generations 3 and 7
    // All four lines at once (40 characters each); the properties keep them uncut.
    void SetHeader(std::u16string_view Line1, std::u16string_view Line2, std::u16string_view Line3,
                   std::u16string_view Line4);
    void SetTitle(int Number, std::u16string_view Text);       // 20 characters
    void SetDepartName(int Depart, std::u16string_view Name);  // 40 characters
    // Tax Index (0..4) with its name and Rate (0..9999 hundredths of a
    // percent), dated today. Generations 3 and above.
    void SetTax(int Index, std::u16string_view Name, int Rate);
    // At most 7 decimal digits; generations 2 and above.
    void SetSerialNumber(std::u16string_view Value);

    // -- Clock and fiscal re-registration
    // Sets the register's clock to the host's; the last two commands carry
    // the same date even when midnight passes meanwhile.
    void SynchronizeEcrDateTime();
    // The re-registration record dated today; returns the register's digit.
    int FiscalRewrite(std::u16string_view Text1, std::u16string_view Text2,
                      std::u16string_view Text3, std::u16string_view Text4);

    // -- Graphic header (generations 3 and 7): a picture of Width (1..70) x
    // Height (1..120) bytes printed at the head of documents, given as the
    // bytes, row by row, or as their hexadecimal text (two digits a byte).
    void EnableGraphicHeader(int Width, int Height, std::span<const uint8_t> Picture);
    void EnableGraphicHeader(int Width, int Height, std::u16string_view HexText);
    void DisableGraphicHeader();

    // -- Protected journal (EKLZSupported registers). Shift and record
    // numbers are 1..9999, document numbers 0..99999999. Full selects between
    // the register's two forms of a range report.
    void EKLZActivate();
    void EKLZActivationReport();
    void EKLZDayReport(int Day);
    void EKLZReportByNum(bool Full, int First, int Last);
    void EKLZReportByDate(bool Full, TKestDateTime First, TKestDateTime Last);
    void EKLZDocByNum(int Number);
    void EKLZControlByNum(int Day);
    void EKLZCloseArchive();
    // The journal's status word into the EKLZ... properties.
    void EKLZQueryStatus();

    // -- Shift and reports. Each report returns the number the register gave
    // it and refreshes SerialNumber, SaleSum and BuyingSum; the fiscal-memory
    // reports also the registration, header and range properties.
    // Opens the shift for operator OperNumber (0..99) with OperName (40
    // characters). Flag and the line Protocol (mprBS or mprXOnXoff) go into the
    // mode digit of the generations that have one (all but 3, 7 and 8).
    void OpenDay(int OperNumber, std::u16string_view OperName, bool Flag, TKestProtocol Protocol);
    // Flags bits 0..2 are the register's report options.
    int XReport(int Flags = 0);
    int ZReport(int Flags = 0);
    // Generations 3 and 7; a negative number reports all departments or
    // operators. Flags bit 0 only.
    int XReportByDep(int Depart, int Flags = 0);
    int XReportByOper(int Oper, int Flags = 0);
    // The fiscal memory by records First..Last (1..9999), by days or whole
    // (not on generations 1, 2 and 6), with the tax inspector's password (5
    // characters). Kind selects between the register's two forms of a range
    // report. They return LastFiscalReport.
    int FiscalReportByNum(std::u16string_view Password, bool Kind, int First, int Last);
    int FiscalReportByDate(std::u16string_view Password, bool Kind, TKestDateTime First,
                           TKestDateTime Last);
    int FiscalReportAll(std::u16string_view Password);

    // -- Printing and peripherals
    // Free text for the printer, or for the customer display (generations 3
    // and 7). Backslash escapes in Text (\0A, \1B, \\) become raw bytes. Open
    // puts the register into output mode first; Close ends it and waits for
    // the register's answer. A text in parts: Open on the first call, Close on
    // the last, no other command in between. A call that fails half-way leaves
    // the register in output mode. ESC ESC ends the output: a text that would
    // make it (alone, with an ESC that ended the part before, or with the
    // terminator) is refused before anything is sent, and a register that
    // ends the output before the text's end fails the call.
    void PrintNonFiscal(std::u16string_view Text, bool Open = true, bool Close = true);
    void ShowDisplay(std::u16string_view Text, bool Open = true, bool Close = true);
    // Feeds Lines (-127..127; backwards when negative, not on generations 3
    // and 7) and cuts. Generations 2 and above.
    void FeedAndCut(int Lines, bool Cut = false);
    // The customer display's line: 9600, 19200, 57600 or 115200. Generations 3 and 7.
    void SetDisplayBaudRate(int Rate);
    // Count (0..255) pulses on external-device Channel 1 or 2, with the two
    // intervals (0..127) in the register's units.
    void ExternalPulse(int Channel, int FirstInterval, int SecondInterval, int Count);

    // -- Connection settings and state
    int PortNum() const { return FPortNum; }
    int BaudRate() const { return FBaudRate; }
    const std::u16string& Password() const { return FPassword; }
    int InternalTimeout() const { return FInternalTimeout; }
    int ExternalTimeout() const { return FExternalTimeout; }
    bool Active() const { return FActive; }
    bool Connected() const { return FConnected; }
    TKestConnState ConnState() const { return FConnState; }
    bool RetryOperation() const { return FRetryOperation; }
    void SetRetryOperation(bool Value);

    // -- The identified register
    TKestEcrModel EcrModel() const { return FEcrModel; }
    int EcrVersion() const { return FEcrVersion; }
    int EcrSubVersion() const { return FEcrSubVersion; }
    int Generation() const { return FGeneration; }
    bool EKLZSupported() const { return FEKLZSupported; }
    TKestProtocol Protocol() const { return FProtocol; }
    const std::u16string& SerialNumber() const { return FSerialNumber; }
    const std::u16string& ModelName() const { return FModelName; }
    const std::u16string& Manufacturer() const { return FManufacturer; }
    const std::u16string& FirmwareVersion() const { return FFirmwareVersion; }

    // -- Status words. CheckEcrStatus / CheckDevStatus answer 1 when the bit is
    // set, -1 when clear, 0 when the bit means nothing for this register.
    int EcrStatus() const { return FEcrStatus; }
    int EcrStatusMask() const { return FEcrStatusMask; }
    int DevStatus() const { return FDevStatus; }
    int DevStatusMask() const { return FDevStatusMask; }
    int CheckEcrStatus(int Bit) const;
    int CheckDevStatus(int Bit) const;
    TKestDocStatus GetDocStatus() const;
    TKestOperType GetCurrentOper() const;

    // -- Information read by the query operations
    const std::u16string& RegNumber() const { return FRegNumber; }
    const std::u16string& TaxPayerNumber() const { return FTaxPayerNumber; }
    const std::u16string& HeaderLine1() const { return FHeaderLines[0]; }
    const std::u16string& HeaderLine2() const { return FHeaderLines[1]; }
    const std::u16string& HeaderLine3() const { return FHeaderLines[2]; }
    const std::u16string& HeaderLine4() const { return FHeaderLines[3]; }
    const std::u16string& TaxName() const { return FTaxName; }
    TKestCurrency SaleSum() const { return FSaleSum; }
    TKestCurrency BuyingSum() const { return FBuyingSum; }
    TKestCurrency LastDocSum() const { return FLastDocSum; }
    TKestCurrency LastBuyingSum() const { return FLastBuyingSum; }
    TKestDateTime StartDate() const { return FStartDate; }
    TKestDateTime EndDate() const { return FEndDate; }
    TKestDateTime ReportDate() const { return FReportDate; }
    TKestDateTime DayDate() const { return FDayDate; }
    TKestDateTime LastDocDate() const { return FLastDocDate; }
    TKestDateTime TaxDate() const { return FTaxDate; }
    TKestDateTime EcrDateTime() const { return FEcrDateTime; }
    int StartNumber() const { return FStartNumber; }
    int EndNumber() const { return FEndNumber; }
    int CounterCount() const { return FCounterCount; }
    int LastFiscalReport() const { return FLastFiscalReport; }
    int LastDayClosing() const { return FLastDayClosing; }
    int LastDocOper() const { return FLastDocOper; }
    int LastDocNumber() const { return FLastDocNumber; }
    int LastRecNumber() const { return FLastRecNumber; }
    int LastRepNumber() const { return FLastRepNumber; }
    int RewritesRemain() const { return FRewritesRemain; }
    int DaysRemain() const { return FDaysRemain; }
    TKestOperType LastDocType() const { return FLastDocType; }
    bool EKLZActivated() const { return FEKLZActivated; }
    TKestOperType EKLZOper() const { return FEKLZOper; }
    bool EKLZArchiving() const { return FEKLZArchiving; }
    bool EKLZReporting() const { return FEKLZReporting; }
    bool EKLZDayOpened() const { return FEKLZDayOpened; }
    bool EKLZFatalError() const { return FEKLZFatalError; }
    bool EKLZAttention() const { return FEKLZAttention; }
    int EKLZRest() const { return FEKLZRest; }

    int GetEcrHour() const;
    int GetEcrMin() const;
    int GetReportHour() const;
    int GetReportMin() const;
    int GetDayHour() const;
    int GetDayMin() const;
    int GetLastDocHour() const;
    int GetLastDocMin() const;

    // -- Events, fired synchronously on the command's thread. A handler that
    // closes the connection makes the running operation end with EKestConnClosed.
    TKestDataEvent OnDataSend;        // every block written to the line
    TKestDataEvent OnDataReceive;     // every block read from the line
    TKestNotifyEvent OnNoResponse;    // set RetryOperation to keep waiting
    TKestNotifyEvent OnPrinterError;  // set RetryOperation to retry, else cancel
    TKestNotifyEvent OnDisplayError;  // the same for the customer display
    TKestNotifyEvent OnStatusUpdate;
    TKestNotifyEvent OnConnStateUpdate;

    // Ends the running command with EKestRequestAborted; meant for another
    // thread. Returns once the command has ended (at once when idle).
    virtual void AbortRequest();

protected:
    // -- Command bracket. RunCmd runs Body between StartCmd and FinishCmd and
    // records a failure with HandleError before passing it on; a Body that
    // returns leaves no error, even when a call nested in an event handler
    // failed and Body went on (or that failure was caught). Only the
    // outermost bracket touches the command lock and the command-idle event,
    // so a bracket nested in an event handler neither waits for a running
    // AbortRequest nor signals the command idle while the outer one runs.
    virtual void StartCmd();
    virtual void ClearError();
    virtual void HandleError(std::exception_ptr Error);
    virtual void FinishCmd();

    template <class Body>
    decltype(auto) RunCmd(Body&& body) {
        StartCmd();
        try {
            if constexpr (std::is_void_v<decltype(body())>) {
                body();
                ClearError();
                FinishCmd();
            } else {
                auto result = body();
                ClearError();
                FinishCmd();
                return result;
            }
        } catch (...) {
            HandleError(std::current_exception());
            FinishCmd();
            throw;
        }
    }

    // -- Event firing
    virtual void DoDataSend(const void* Data, int Size);
    virtual void DoDataReceive(const void* Data, int Size);
    virtual void DoNoResponse();
    virtual void DoPrinterError();
    virtual void DoDisplayError();
    virtual void DoStatusUpdate();
    virtual void DoConnStateUpdate();

    // -- Status
    void ChangeConnState(TKestConnState State);
    // Runs Body, then sets ConnState back to idle however Body ended; a
    // failure of the state event never hides Body's own.
    template <class Body>
    void ThenIdle(Body&& body) {
        try {
            body();
        } catch (...) {
            try {
                ChangeConnState(mcsIdle);
            } catch (...) {
                // The first failure is the one to report.
            }
            throw;
        }
        ChangeConnState(mcsIdle);
    }
    void UpdateEcrStatus();
    void UpdateDevStatus();
    void UpdateDevStatus(const uint8_t (&Extended)[5]);
    // The register answers the extended device-status query.
    bool HasExtendedDevStatus() const;
    // Raises EKestRequestAborted when AbortRequest asked to end the command.
    void CheckAbort() const;

    // -- Transport: the five port operations are the seam between the engine
    // and the line. The defaults drive the serial line; a derived class may
    // replace them all (it then keeps FConnected itself).
    virtual void OpenPort();
    virtual void ClosePort(bool Silent);
    virtual void ClearPort();
    // Writes all bytes, asking OnNoResponse when the line does not take them.
    virtual void SendData(const void* Data, int Size);
    // Reads up to Size bytes; with Wait, asks OnNoResponse until all arrive.
    virtual int ReceiveData(void* Buffer, int Size, bool Wait);

    // Asks OnNoResponse whether to keep waiting; raises EKestNoResponse if not.
    void AskNoResponse();

    // The time-outs last applied to the line (also while no line is open).
    const TKestCommTimeouts& CommTimeouts() const { return FCommTimeouts; }
    void SetCommTimeouts(const TKestCommTimeouts& Timeouts);

    // -- Exchange engine. OutSize is the exact length of the answer data; a
    // negative OutSize reads an answer of unknown length and keeps nothing.
    void Transfer(uint8_t Cmd, TKestCmdType CmdType, const void* InData, int InSize, void* OutData,
                  int OutSize);
    void TransferOut(uint8_t Cmd, TKestCmdType CmdType, const void* InData, int InSize);
    void TransferIn(uint8_t Cmd, TKestCmdType CmdType, void* OutData, int OutSize);
    void TransferSimple(uint8_t Cmd, TKestCmdType CmdType);
    // The steps of one exchange, for requests whose data lie in several buffers:
    // CorrectTimeouts, then StartRequest / DataRequest... / FinishRequest and
    // WaitAndReceiveResponse in an EndExchange guard.
    void CorrectTimeouts(uint8_t Cmd, TKestCmdType CmdType);
    uint8_t StartRequest(uint8_t Cmd);
    void DataRequest(const void* Data, int Size, uint8_t& BCC);
    void FinishRequest(uint8_t BCC);
    void SendRequest(uint8_t Cmd, const void* Data, int Size);
    bool WaitResponse(uint8_t Cmd);
    void ReceiveResponse(uint8_t Cmd, void* OutData, int OutSize);
    void WaitAndReceiveResponse(uint8_t Cmd, void* OutData, int OutSize, TKestCmdType CmdType);
    // Clears both time-out-in-force flags; ends every exchange.
    void EndExchange();
    // One exchange whose request data are Blocks joined, each sent as one
    // write; the answer carries no data.
    void TransferBlocks(uint8_t Cmd, TKestCmdType CmdType,
                        std::span<const std::string_view> Blocks);

    // Opens the port and identifies the register.
    void StartConnection();

    // -- Checks made before a command is sent
    void CheckConnected() const;  // EKestConnClosed
    bool GenerationIn(std::initializer_list<int> Generations) const;

    // -- Parameters, inside the caller's command. A value is 40 bytes of text
    // and its 0x00.
    using TKestParamValue = char[41];
    void QueryParameter(int Number, TKestParamValue& Value);
    std::u16string QueryParameterStr(int Number);
    int64_t QueryParameterInt(int Number);  // callers keep the low 32 bits
    // Refused on generations 1, 2 and 6, which have no parameter table.
    void SetParameter(uint16_t Index, int Value);

    // -- The last document, inside the caller's command (the document and
    // report operations need the number of what they printed). All outputs
    // are 0 when the register has printed nothing.
    void InternalLastDocInfo(TKestOperType& Oper, TKestDateTime& Date, int& Operator,
                             int& DocNumber, int& RecNumber, int& RepNumber, TKestCurrency& DocSum,
                             TKestCurrency& BuyingSum);
    int InternalDocNumber(TKestOperType& Oper);  // 0 when Oper is motUnknown
    int InternalDocNumber();

    // Every operation that moves the register's counters (documents, reports,
    // Close) calls this, so that QueryCounter reads them afresh.
    void InvalidateCounters() { FCountersValid = false; }

    // -- Dated records, inside the caller's command and without the connection
    // test; the public forms take the date from Now.
    void SetEcrDateTime(TKestDateTime Value);
    void SetTaxDate(int Index, std::u16string_view Name, int Rate, TKestDateTime Date);
    int FiscalRewriteDate(std::u16string_view Text1, std::u16string_view Text2,
                          std::u16string_view Text3, std::u16string_view Text4, TKestDateTime Date);
    // The host's local clock; a test may put another in its place.
    virtual TKestDateTime Now() const;
    // Now without the time of day.
    TKestDateTime Today() const;

    // -- Settings
    int FPortNum = 1;
    int FBaudRate = 9600;
    std::u16string FPassword = u"5862";
    int FInternalTimeout = 1000;
    int FExternalTimeout = 30000;

    // -- Connection
    bool FActive = false;
    std::atomic<bool> FConnected = false;  // the port is open
    TKestConnState FConnState = mcsNone;
    bool FRetryOperation = false;
    std::atomic<bool> FIoInProgress = false;
    std::atomic<bool> FAbort = false;
    bool FInternalTimeoutInForce = false;
    bool FExternalTimeoutInForce = false;
    // Between a request's STX and its last block: SendData may leave the
    // blocks in the line's buffer, to go out with the last one.
    bool FFrameOpen = false;
    TKestCommTimeouts FCommTimeouts;

    // -- Identified register
    TKestEcrModel FEcrModel = memUnknown;
    int FEcrVersion = 0;
    int FEcrSubVersion = 0;
    TKestCodingType FCoding = mctGeneral;
    int FGeneration = 0;
    bool FEKLZSupported = false;
    std::u16string FSerialNumber, FModelName, FManufacturer, FFirmwareVersion;

    // -- Status words
    TKestProtocol FProtocol = mprUnknown;
    uint16_t FRawEcrStatus = 0;
    int FEcrStatus = 0;
    int FEcrStatusMask = 0;
    uint8_t FRawDevStatus = 0;
    int FDevStatus = 0;
    int FDevStatusMask = 0;
    TKestDocStatus FDocStatus = mdsUnknown;
    TKestOperType FOper = motUnknown;
    bool FSuppressStatusEvent = false;
    TKestOperType FCachedOper = motUnknown;  // non-zero while a document is cached
    int FDevErrorDepth = 0;                  // > 0 while a device-error handler runs

    // -- Information
    std::u16string FRegNumber, FTaxPayerNumber, FHeaderLines[4], FTaxName;
    TKestCurrency FSaleSum, FBuyingSum, FLastDocSum, FLastBuyingSum;
    TKestDateTime FStartDate = 0, FEndDate = 0, FReportDate = 0, FDayDate = 0;
    TKestDateTime FLastDocDate = 0, FTaxDate = 0, FEcrDateTime = 0;
    int FStartNumber = 0, FEndNumber = 0, FCounterCount = 0;
    int FLastFiscalReport = 0, FLastDayClosing = 0, FLastDocOper = 0;
    int FLastDocNumber = 0, FLastRecNumber = 0, FLastRepNumber = 0;
    int FRewritesRemain = 0, FDaysRemain = 0;
    TKestOperType FLastDocType = motUnknown;
    TKestOperType FEKLZOper = motUnknown;
    bool FEKLZActivated = false, FEKLZArchiving = false;
    bool FEKLZReporting = false, FEKLZDayOpened = false, FEKLZFatalError = false;
    bool FEKLZAttention = false;
    int FEKLZRest = 0;

    // -- Counters snapshot (generations 1 and 2)
    TKestCountersValues FCounters{};
    bool FCountersValid = false;

    // -- Fiscal documents, inside the caller's command. Checks raise before
    // anything in the buffers changes.
    static constexpr int MaxReceiptItems = 196;
    static constexpr int MaxDocProperties = 300;
    // Generations 3 and 7 keep their documents in the V03 layouts.
    bool HasV03Layout() const;
    // The register's operation code; EKestInvalidArg for an operation that
    // is none or that the register does not take.
    char ConvertOperType(TKestOperType Oper) const;
    // Fills Buf (at least the layout's size) with the price record of the
    // generation; returns the item flag word.
    uint16_t FillPriceData(TKestItemType ItemType, TKestCurrency Price, bool ItemFlag,
                           int Department, int Code, int Adjustment, int Quantity, int Precision,
                           int TaxIndex, std::u16string_view UnitName, std::span<char> Buf) const;
    // Fills all of Buf with the payment information block; returns the
    // payment type code character.
    char FillPayInfo(TKestPayType PayType, TKestCurrency Amount, TKestCurrency Amount2,
                     std::u16string_view PayText, std::span<char> Buf) const;
    // The caller's print flags as the V03 property flag word (0 elsewhere).
    uint16_t ConvertFlagsV03(int Flags) const;
    // Appends one property record after checking capacity, offsets and the
    // vertical order of the fiscal sign and the journal data.
    void AddDocProperty(uint8_t Code, uint16_t Flags, const void* Data, int Size, int X, int Y,
                        int Second, bool HasSecond);
    void AddDocProperty(uint8_t Code, uint16_t Flags, int X, int Y, int Second, bool HasSecond);
    // Prints the composite document's buffer (mode 0), closes (4) or cancels
    // (8) it with command "S".
    void SendFiscalData(bool Close, bool Cancel);
    // Sends a document in one exchange of Cmd. With Printed, an interruption
    // (error 10), a lost or spoiled answer, or an abort counts as success when
    // the register's last document number has moved on with the document's
    // operation; when that cannot be asked at once, the next close of the
    // same document asks it before sending again.
    void SendDocument(uint8_t Cmd, std::span<const std::string_view> Blocks, bool Printed);
    // A close whose outcome the register never told: its last document
    // number before it, and the document's operation. Any end of the
    // document, or a new one, forgets it.
    struct TUnsettledClose {
        int Number;
        TKestOperType Oper;
    };
    std::optional<TUnsettledClose> FUnsettledClose;
    // Empties the property buffer and sets its bounds to their initial values.
    void ResetPropertyBuffer();

    // -- Receipt buffer
    TKestReceiptHeader FReceiptHeader{};
    int FReceiptItemCount = 0;
    TKestItemData FReceiptItems[MaxReceiptItems]{};

    // -- Property buffer of custom and composite documents: a generation uses
    // the records of its own layout. The constructor, Close, opening and
    // cancelling a document and a successful close set it to these values.
    static constexpr int NoFiscalSignX = -27;
    struct TKestPropertyBuffer {
        TKestDocPropertyData Records[MaxDocProperties]{};
        TKestDocPropertyDataV03 RecordsV03[MaxDocProperties]{};
        int Count = 0;
        std::bitset<256> Present;  // property codes in the document
        int FiscalSignX = NoFiscalSignX;
        int FiscalSignY = INT_MAX;
        int EKLZDataY = INT_MAX;
        int MandatoryY = -1;  // the largest Y among codes 0..20
        TKestPayType LastPayType = mptCash;
        TKestCustomDocHeader Header{};
    };
    TKestPropertyBuffer FDoc;

private:
    // The identification answer: serial number, model name, manufacturer and
    // firmware tag, each followed by 0x00.
    using TIdentityAnswer = char[101];
    void RequestIdentity(TIdentityAnswer& Answer);
    void StoreIdentity(const TIdentityAnswer& Answer);
    void ReadIdentity();
    // Forgets everything learnt from the register (Close).
    void ResetRegisterState();
    // What OnStatusUpdate reports a change of.
    struct TStatusView {
        int EcrStatus, EcrStatusMask, DevStatus, DevStatusMask;
        TKestDocStatus DocStatus;
        TKestOperType Oper;
        TKestProtocol Protocol;
        bool operator==(const TStatusView&) const = default;
    };
    TStatusView StatusView() const;

    // Reads exactly Count answer bytes; ETX among them is a format error.
    void ReadExact(void* Buffer, int Count);
    // After a malformed or missing answer: reads and drops what still arrives
    // until the line is quiet, so the next command meets only its own answer.
    void DiscardLeftovers();

    // After a password or rate change whose answer was lost, a harmless query
    // tells which setting the register now uses.
    enum class TProbe { Answered, WrongPassword, Silent };
    // Runs the exchange that changes a setting; when its answer is lost (not
    // refused, not aborted), runs Resync before the failure goes on.
    void ChangeSetting(const std::function<void()>& Exchange, const std::function<void()>& Resync);
    TProbe ProbeRegister();
    void ResyncPassword(std::u16string Old, std::u16string New);  // copies: Old may be FPassword
    void ResyncBaudRate(int Old, int New);
    // Sets the open line's rate (the register's rate is told with "C").
    void SetLineRate(int BaudRate);

    // A typed parameter query of the listed generations.
    int64_t QuerySetting(int Number, std::initializer_list<int> Generations);
    // "\" for parameter 306 as a frame, or with the in-wait request 0x07
    // while a device-error handler runs.
    void RequestDevExStatus(char (&Answer)[45]);
    // The counters of generations 6 and 8 ("U", three-digit numbers) or 3 and 7
    // (four digits), and of the others from the "L" snapshot.
    TKestCurrency QueryOneCounter(int Number, int Digits);
    // A registration text read as a parameter into its property (generations 3 and above).
    std::u16string QueryRegistration(int Number, std::u16string_view Unsupported,
                                     std::u16string& Property);
    TKestCurrency QuerySnapshotCounter(int Number, bool UseSnapshot);
    // Command "3" with the picture's hex text (2 x Width x Height digits and 0x00).
    void SendGraphicHeader(int Width, int Height, std::string_view HexText);
    // The connection and the journal are there.
    void CheckJournal() const;
    // A journal report "Y" of Type with its two argument fields (at most 8 characters).
    void SendJournalReport(char Type, std::string_view First = {}, std::string_view Second = {});
    // -- Fiscal documents: the open document is of the operation's kind.
    void CheckReceiptOpen() const;    // a standard receipt
    void CheckCustomDocOpen() const;  // a custom document or form
    void CheckFiscalDocOpen() const;  // a composite document
    // Connected, and a property may join the open document;
    // CheckUniqueProperty: Code is not in it yet.
    void CheckPropertyDocOpen() const;
    void CheckUniqueProperty(int Code) const;
    // The properties a custom document cannot be closed without.
    void CheckMandatoryProperties() const;
    // The document adjustment (code 21) of Kind with its value Text.
    void AddDocAdjustment(int Kind, bool Discount, std::string_view Text, int TaxIndex, int Flags,
                          int X, int Y, int Second);
    // The receipt or custom document is over: the register's status says so.
    void EndDocument();

    // -- Reports and device output, inside the caller's command.
    // X or Z report with "5" (generations other than 3 and 7).
    int PrintReport(bool Clearing, bool Option);
    // X or Z report, by operator or by department with "_" (generations 3
    // and 7); Number < 0: none.
    int PrintReportV03(char ReportType, bool OptionA, bool OptionB, bool OptionC, int Number);
    // Sends report command Cmd. On generations 7 and 8 a report the user
    // interrupted (error 10), or whose answer was spoilt or the line failed,
    // may still have been registered: then true, with Number, SaleSum and
    // BuyingSum from the register's last document. Once the application has
    // given up waiting, or aborted, nothing more is asked.
    bool TransferReport(uint8_t Cmd, std::string_view Request, std::span<char> Answer, int& Number);
    // Fiscal-memory report "B" of ReportType over two 8-byte argument slots.
    using TKestReportSlot = char[9];  // eight characters and a NUL
    int FiscalReport(std::u16string_view Password, char ReportType, const TKestReportSlot& First,
                     const TKestReportSlot& Last);
    // A device-output sequence of Cmd ("6" printer, "^" display), see PrintNonFiscal.
    void SendDevData(uint8_t Cmd, std::u16string_view Text, bool Open, bool Close);
    // Raw bytes one at a time, each acknowledged; true when the register
    // answered in place of the last ACK of a closing part. An answer before
    // that raises: the register ended the output early.
    bool SendDevBytes(uint8_t Cmd, std::string_view Data, bool Close);
    // On XON/XOFF: raises when the register has answered, which ends the output.
    void CheckOutputGoesOn(uint8_t Cmd);
    // The last byte sent of an unfinished output sequence of the printer or
    // the display was ESC: a next part beginning with ESC would end the output.
    bool FPrinterEscSent = false;
    bool FDisplayEscSent = false;

    std::unique_ptr<kest::TWakeup> FWakeup;  // wakes a blocked read or write
    std::unique_ptr<kest::TLine> FLine;      // the open line

    // -- Last error
    int FErrCode = 0;
    int FErrCodeEx = 0;
    std::u16string FErrMessage;

    const int FVersionNumber = 0x0102;
    const int FBuildNumber = 101;
    const std::u16string FVersion;

    // Commands run one at a time: the outermost bracket holds FExecLock for the
    // whole command; brackets nested on the same thread pass (FExecOwner).
    std::mutex FExecLock;
    std::atomic<std::thread::id> FExecOwner{};
    int FCmdDepth = 0;  // brackets open on the command thread (under FExecLock)

    // Command lock and the manual-reset command-idle event: AbortRequest holds
    // the lock so that no command starts between its check and its wait.
    std::mutex FCmdLock;
    std::mutex FIdleMutex;
    std::condition_variable FIdleCond;
    bool FIdle = true;
    std::thread::id FCmdThread;  // thread of the running command (under FIdleMutex)
};
