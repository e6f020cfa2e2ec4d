#include "RpcTable.h"

#include <limits>

namespace kest {

namespace {

// Sizes beyond any register field: a typo, not a request for a huge buffer.
constexpr int MaxEncodeSize = 65536;

ERpcMalformed WrongType(const char* Expected, const TJson& Value) {
    return ERpcMalformed(std::string("expected ") + Expected + ", got " + Value.type_name());
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
}

}  // namespace

std::string ToHex(std::string_view Bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(Bytes.size() * 3);
    for (const char c : Bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!text.empty()) text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

std::string FromHex(std::string_view Text) {
    std::string bytes;
    int high = -1;
    for (const char c : Text) {
        if (c == ' ') {
            if (high >= 0) throw ERpcMalformed("odd hex digit before a space");
            continue;
        }
        const int digit = HexDigit(c);
        if (digit < 0) throw ERpcMalformed("not a hex digit: '" + std::string(1, c) + "'");
        if (high < 0) {
            high = digit;
        } else {
            bytes += static_cast<char>(high << 4 | digit);
            high = -1;
        }
    }
    if (high >= 0) throw ERpcMalformed("odd count of hex digits");
    return bytes;
}

bool TCodec<bool>::FromJson(const TJson& Value) {
    if (!Value.is_boolean()) throw WrongType("a boolean", Value);
    return Value.get<bool>();
}

int TCodec<int>::FromJson(const TJson& Value) {
    if (!Value.is_number_integer()) throw WrongType("an integer", Value);
    if (Value.is_number_unsigned()) {
        const auto v = Value.get<uint64_t>();
        if (v > static_cast<uint64_t>(std::numeric_limits<int>::max()))
            throw ERpcMalformed("integer out of range");
        return static_cast<int>(v);
    }
    const auto v = Value.get<int64_t>();
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        throw ERpcMalformed("integer out of range");
    return static_cast<int>(v);
}

std::u16string TCodec<std::u16string>::FromJson(const TJson& Value) {
    return FromUtf8(TCodec<std::string>::FromJson(Value));
}

std::string TCodec<std::string>::FromJson(const TJson& Value) {
    if (!Value.is_string()) throw WrongType("a string", Value);
    return Value.get<std::string>();
}

TKestCurrency TCodec<TKestCurrency>::FromJson(const TJson& Value) {
    const std::string text = TCodec<std::string>::FromJson(Value);
    try {
        return TKestCurrency::Parse(text);
    } catch (const std::exception&) {
        throw ERpcMalformed("not an amount of money: \"" + text + "\"");
    }
}

TIsoDate TCodec<TIsoDate>::FromJson(const TJson& Value) {
    const std::string text = TCodec<std::string>::FromJson(Value);
    try {
        return {ParseIso(text)};
    } catch (const std::exception&) {
        throw ERpcMalformed("not an ISO 8601 date-time: \"" + text + "\"");
    }
}

TPicture TCodec<TPicture>::FromJson(const TJson& Value) {
    if (Value.is_string()) return {TCodec<std::u16string>::FromJson(Value)};
    if (!Value.is_array()) throw WrongType("an array of bytes or a hex string", Value);
    std::vector<uint8_t> bytes;
    bytes.reserve(Value.size());
    for (const TJson& item : Value) {
        const int byte = TCodec<int>::FromJson(item);
        if (byte < 0 || byte > 255) throw ERpcMalformed("byte value out of range 0..255");
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    return {std::move(bytes)};
}

// -- The tables. One row per public operation or property of the driver.

const TOperationTable& Operations() {
    using D = TKestorFPrt;
    static const TOperationTable table{
        // Connection
        {"Open", Op([](D& Driver) { Driver.Open(); })},
        {"Close",
         Op([](D& Driver, std::optional<bool> Silent) { Driver.Close(Silent.value_or(false)); })},
        {"TestConnection", Op([](D& Driver) { Driver.TestConnection(); })},
        {"SetPassword", Op([](D& Driver, std::u16string Value) { Driver.SetPassword(Value); })},
        {"SetActive", Op([](D& Driver, bool Value) { Driver.SetActive(Value); })},

        // Parameters
        {"QueryPrinterTimeout", Op([](D& Driver) { return Driver.QueryPrinterTimeout(); })},
        {"QueryDisplayTimeout", Op([](D& Driver) { return Driver.QueryDisplayTimeout(); })},
        {"QueryPrinterContrast", Op([](D& Driver) { return Driver.QueryPrinterContrast(); })},
        {"QueryLeading", Op([](D& Driver) { return Driver.QueryLeading(); })},
        {"QueryOperNumber", Op([](D& Driver) { return Driver.QueryOperNumber(); })},
        {"QueryHeaderAlignment", Op([](D& Driver) { return Driver.QueryHeaderAlignment(); })},
        {"QueryAutocut", Op([](D& Driver) { return Driver.QueryAutocut(); })},
        {"QueryEconomicMode", Op([](D& Driver) { return Driver.QueryEconomicMode(); })},
        {"QueryPaperJournal", Op([](D& Driver) { return Driver.QueryPaperJournal(); })},
        {"QueryFullJournal", Op([](D& Driver) { return Driver.QueryFullJournal(); })},
        {"SetParameters", Op([](D& Driver, TKestProtocol Protocol, int Timeout) {
             Driver.SetParameters(Protocol, Timeout);
         })},
        {"SetProtocol", Op([](D& Driver, TKestProtocol Value) { Driver.SetProtocol(Value); })},
        {"SetPrinterTimeout", Op([](D& Driver, int Value) { Driver.SetPrinterTimeout(Value); })},
        {"SetDisplayTimeout", Op([](D& Driver, int Value) { Driver.SetDisplayTimeout(Value); })},
        {"SetPrinterContrast", Op([](D& Driver, int Value) { Driver.SetPrinterContrast(Value); })},
        {"SetLeading", Op([](D& Driver, int Value) { Driver.SetLeading(Value); })},
        {"SetCutterDisabled", Op([](D& Driver, bool Value) { Driver.SetCutterDisabled(Value); })},
        {"SetNarrowPaper", Op([](D& Driver, bool Value) { Driver.SetNarrowPaper(Value); })},
        {"SetHeaderAlignment", Op([](D& Driver, bool Value) { Driver.SetHeaderAlignment(Value); })},
        {"SetAutocut", Op([](D& Driver, bool Value) { Driver.SetAutocut(Value); })},
        {"SetEconomicMode", Op([](D& Driver, bool Value) { Driver.SetEconomicMode(Value); })},
        {"SetPaperJournal", Op([](D& Driver, bool Value) { Driver.SetPaperJournal(Value); })},
        {"SetFullJournal", Op([](D& Driver, bool Value) { Driver.SetFullJournal(Value); })},

        // Queries
        {"QueryFirmwareInfo", Op([](D& Driver) { Driver.QueryFirmwareInfo(); })},
        {"QueryDevExStatus", Op([](D& Driver) { Driver.QueryDevExStatus(); })},
        {"QueryTax", Op([](D& Driver, int Index) { return Driver.QueryTax(Index); })},
        {"QueryCounter", Op([](D& Driver, int Number, std::optional<bool> UseSnapshot) {
             return Driver.QueryCounter(Number, UseSnapshot.value_or(false));
         })},
        {"QueryResourceInfo", Op([](D& Driver, std::optional<bool> Print) {
             Driver.QueryResourceInfo(Print.value_or(false));
         })},
        {"QueryLastDocInfo", Op([](D& Driver) { Driver.QueryLastDocInfo(); })},
        {"QuerySerialNumber", Op([](D& Driver) { return Driver.QuerySerialNumber(); })},
        {"QueryTaxPayerNumber", Op([](D& Driver) { return Driver.QueryTaxPayerNumber(); })},
        {"QueryRegNumber", Op([](D& Driver) { return Driver.QueryRegNumber(); })},
        {"QueryEcrDateTime", Op([](D& Driver) { return TIsoDate{Driver.QueryEcrDateTime()}; })},

        // Texts
        {"QueryHeaderLine", Op([](D& Driver, int Line) { return Driver.QueryHeaderLine(Line); })},
        {"QueryTitle", Op([](D& Driver, int Number) { return Driver.QueryTitle(Number); })},
        {"QueryDepartName",
         Op([](D& Driver, int Depart) { return Driver.QueryDepartName(Depart); })},
        {"QueryOperName", Op([](D& Driver, int Oper) { return Driver.QueryOperName(Oper); })},
        {"SetHeader",
         Op([](D& Driver, std::u16string Line1, std::u16string Line2, std::u16string Line3,
               std::u16string Line4) { Driver.SetHeader(Line1, Line2, Line3, Line4); })},
        {"SetTitle",
         Op([](D& Driver, int Number, std::u16string Text) { Driver.SetTitle(Number, Text); })},
        {"SetDepartName", Op([](D& Driver, int Depart, std::u16string Name) {
             Driver.SetDepartName(Depart, Name);
         })},
        {"SetTax", Op([](D& Driver, int Index, std::u16string Name, int Rate) {
             Driver.SetTax(Index, Name, Rate);
         })},
        {"SetSerialNumber",
         Op([](D& Driver, std::u16string Value) { Driver.SetSerialNumber(Value); })},

        // Clock and fiscal re-registration
        {"SynchronizeEcrDateTime", Op([](D& Driver) { Driver.SynchronizeEcrDateTime(); })},
        {"FiscalRewrite",
         Op([](D& Driver, std::u16string Text1, std::u16string Text2, std::u16string Text3,
               std::u16string Text4) { return Driver.FiscalRewrite(Text1, Text2, Text3, Text4); })},

        // Graphic header. The third argument picks the form: an array of byte
        // values is the picture itself, a string its hex text (either case):
        // {"op": "EnableGraphicHeader", "args": [2, 1, [90, 255]]} or [2, 1, "5aff"].
        {"EnableGraphicHeader", Op([](D& Driver, int Width, int Height, TPicture Picture) {
             if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&Picture.Value))
                 Driver.EnableGraphicHeader(Width, Height, *bytes);
             else
                 Driver.EnableGraphicHeader(Width, Height, std::get<std::u16string>(Picture.Value));
         })},
        {"DisableGraphicHeader", Op([](D& Driver) { Driver.DisableGraphicHeader(); })},

        // Protected journal
        {"EKLZActivate", Op([](D& Driver) { Driver.EKLZActivate(); })},
        {"EKLZActivationReport", Op([](D& Driver) { Driver.EKLZActivationReport(); })},
        {"EKLZDayReport", Op([](D& Driver, int Day) { Driver.EKLZDayReport(Day); })},
        {"EKLZReportByNum", Op([](D& Driver, bool Full, int First, int Last) {
             Driver.EKLZReportByNum(Full, First, Last);
         })},
        {"EKLZReportByDate", Op([](D& Driver, bool Full, TIsoDate First, TIsoDate Last) {
             Driver.EKLZReportByDate(Full, First.Value, Last.Value);
         })},
        {"EKLZDocByNum", Op([](D& Driver, int Number) { Driver.EKLZDocByNum(Number); })},
        {"EKLZControlByNum", Op([](D& Driver, int Day) { Driver.EKLZControlByNum(Day); })},
        {"EKLZCloseArchive", Op([](D& Driver) { Driver.EKLZCloseArchive(); })},
        {"EKLZQueryStatus", Op([](D& Driver) { Driver.EKLZQueryStatus(); })},

        // Shift and reports
        {"OpenDay",
         Op([](D& Driver, int OperNumber, std::u16string OperName, bool Flag,
               TKestProtocol Protocol) { Driver.OpenDay(OperNumber, OperName, Flag, Protocol); })},
        {"XReport",
         Op([](D& Driver, std::optional<int> Flags) { return Driver.XReport(Flags.value_or(0)); })},
        {"ZReport",
         Op([](D& Driver, std::optional<int> Flags) { return Driver.ZReport(Flags.value_or(0)); })},
        {"XReportByDep", Op([](D& Driver, int Depart, std::optional<int> Flags) {
             return Driver.XReportByDep(Depart, Flags.value_or(0));
         })},
        {"XReportByOper", Op([](D& Driver, int Oper, std::optional<int> Flags) {
             return Driver.XReportByOper(Oper, Flags.value_or(0));
         })},
        {"FiscalReportByNum",
         Op([](D& Driver, std::u16string Password, bool Kind, int First, int Last) {
             return Driver.FiscalReportByNum(Password, Kind, First, Last);
         })},
        {"FiscalReportByDate",
         Op([](D& Driver, std::u16string Password, bool Kind, TIsoDate First, TIsoDate Last) {
             return Driver.FiscalReportByDate(Password, Kind, First.Value, Last.Value);
         })},
        {"FiscalReportAll",
         Op([](D& Driver, std::u16string Password) { return Driver.FiscalReportAll(Password); })},

        // Printing and peripherals. The text is passed on as typed: the driver
        // turns its backslash escapes into raw bytes, so the JSON string
        // "AB\\0A" prints A, B and a line feed.
        {"PrintNonFiscal", Op([](D& Driver, std::u16string Text, std::optional<bool> Open,
                                 std::optional<bool> Close) {
             Driver.PrintNonFiscal(Text, Open.value_or(true), Close.value_or(true));
         })},
        {"ShowDisplay", Op([](D& Driver, std::u16string Text, std::optional<bool> Open,
                              std::optional<bool> Close) {
             Driver.ShowDisplay(Text, Open.value_or(true), Close.value_or(true));
         })},
        {"FeedAndCut", Op([](D& Driver, int Lines, std::optional<bool> Cut) {
             Driver.FeedAndCut(Lines, Cut.value_or(false));
         })},
        {"SetDisplayBaudRate", Op([](D& Driver, int Rate) { Driver.SetDisplayBaudRate(Rate); })},
        {"ExternalPulse",
         Op([](D& Driver, int Channel, int FirstInterval, int SecondInterval, int Count) {
             Driver.ExternalPulse(Channel, FirstInterval, SecondInterval, Count);
         })},

        // Standard receipt
        {"OpenReceipt", Op([](D& Driver, TKestOperType Oper) { Driver.OpenReceipt(Oper); })},
        {"AddReceiptItem",
         Op([](D& Driver, std::u16string Name, TKestCurrency Price, bool ItemFlag, int Department,
               int Code, int Adjustment, int Quantity, int Precision, int TaxIndex,
               std::u16string UnitName, std::optional<int> Reserved) {
             Driver.AddReceiptItem(Name, Price, ItemFlag, Department, Code, Adjustment, Quantity,
                                   Precision, TaxIndex, UnitName, Reserved.value_or(0));
         })},
        {"CancelReceipt", Op([](D& Driver) { Driver.CancelReceipt(); })},
        {"CloseReceipt",
         Op([](D& Driver, std::u16string Account, TKestPayType PayType, TKestCurrency Amount,
               TKestCurrency Amount2, std::u16string PayText, int Copies, TKestOperInfo OperInfo) {
             Driver.CloseReceipt(Account, PayType, Amount, Amount2, PayText, Copies, OperInfo);
         })},

        // Custom document and form
        {"OpenCustomDoc",
         Op([](D& Driver, bool Form, TKestOperType Oper) { Driver.OpenCustomDoc(Form, Oper); })},
        {"CancelCustomDoc", Op([](D& Driver) { Driver.CancelCustomDoc(); })},
        {"CloseCustomDoc",
         Op([](D& Driver, TKestPayType PayType, int DocFlags, int CopiesA, int CopiesB, int OffsetA,
               int OffsetB, int OffsetC, int FiscalIndex) {
             Driver.CloseCustomDoc(PayType, DocFlags, CopiesA, CopiesB, OffsetA, OffsetB, OffsetC,
                                   FiscalIndex);
         })},

        // Composite document and the last document
        {"OpenFiscalDoc", Op([](D& Driver, TKestOperType Oper) { Driver.OpenFiscalDoc(Oper); })},
        {"PrintFiscalDocBuffer", Op([](D& Driver) { Driver.PrintFiscalDocBuffer(); })},
        {"CloseFiscalDoc", Op([](D& Driver) { Driver.CloseFiscalDoc(); })},
        {"CancelFiscalDoc",
         Op([](D& Driver, bool LocalOnly) { Driver.CancelFiscalDoc(LocalOnly); })},
        {"CopyFiscalDoc", Op([](D& Driver) { Driver.CopyFiscalDoc(); })},
        {"RepeatOperation", Op([](D& Driver) { Driver.RepeatOperation(); })},

        // Document properties
        {"AddSerialNumber",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddSerialNumber(Flags, X, Y); })},
        {"AddHeaderLine", Op([](D& Driver, int Line, int Flags, int X, int Y) {
             Driver.AddHeaderLine(Line, Flags, X, Y);
         })},
        {"AddDateTime",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddDateTime(Flags, X, Y); })},
        {"AddOperInfo", Op([](D& Driver, TKestOperInfo Info, int Flags, int X, int Y) {
             Driver.AddOperInfo(Info, Flags, X, Y);
         })},
        {"AddDocNumber",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddDocNumber(Flags, X, Y); })},
        {"AddReceiptNumber",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddReceiptNumber(Flags, X, Y); })},
        {"AddAccount", Op([](D& Driver, std::u16string Account, int Flags, int X, int Y) {
             Driver.AddAccount(Account, Flags, X, Y);
         })},
        {"AddTaxPayerNumber",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddTaxPayerNumber(Flags, X, Y); })},
        {"AddItem",
         Op([](D& Driver, TKestItemType ItemType, TKestCurrency Price, bool ItemFlag,
               int Department, int Code, int Adjustment, int Quantity, int Precision, int TaxIndex,
               std::u16string UnitName, int Flags, int X, int Y, int Second) {
             Driver.AddItem(ItemType, Price, ItemFlag, Department, Code, Adjustment, Quantity,
                            Precision, TaxIndex, UnitName, Flags, X, Y, Second);
         })},
        {"AddDocPercentAdj",
         Op([](D& Driver, int Percent, int TaxIndex, int Flags, int X, int Y, int Second) {
             Driver.AddDocPercentAdj(Percent, TaxIndex, Flags, X, Y, Second);
         })},
        {"AddDocAmountAdj",
         Op([](D& Driver, TKestCurrency Amount, int TaxIndex, int Flags, int X, int Y, int Second) {
             Driver.AddDocAmountAdj(Amount, TaxIndex, Flags, X, Y, Second);
         })},
        {"AddTotal", Op([](D& Driver, int Flags, int X, int Y, int Second) {
             Driver.AddTotal(Flags, X, Y, Second);
         })},
        {"AddPay",
         Op([](D& Driver, TKestPayType PayType, TKestCurrency Amount, TKestCurrency Amount2,
               std::u16string PayText, int Flags, int X, int Y, int Second) {
             Driver.AddPay(PayType, Amount, Amount2, PayText, Flags, X, Y, Second);
         })},
        {"AddChange", Op([](D& Driver, int Flags, int X, int Y, int Second) {
             Driver.AddChange(Flags, X, Y, Second);
         })},
        {"AddTaxSum", Op([](D& Driver, int TaxIndex, int Flags, int X, int Y, int Second) {
             Driver.AddTaxSum(TaxIndex, Flags, X, Y, Second);
         })},
        {"AddFiscalSign",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddFiscalSign(Flags, X, Y); })},
        {"AddEKLZData",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddEKLZData(Flags, X, Y); })},
        {"AddRegNumber",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddRegNumber(Flags, X, Y); })},
        {"AddGraphicHeader",
         Op([](D& Driver, int Flags, int X, int Y) { Driver.AddGraphicHeader(Flags, X, Y); })},
        {"AddBarcode", Op([](D& Driver, int Value1, int Value2, int Value3, int Value4, int Value5,
                             bool Mark, int Flags, int X, int Y) {
             Driver.AddBarcode(Value1, Value2, Value3, Value4, Value5, Mark, Flags, X, Y);
         })},
        {"AddCustom", Op([](D& Driver, std::u16string Text, int Flags, int X, int Y) {
             Driver.AddCustom(Text, Flags, X, Y);
         })},

        // Status words
        {"CheckEcrStatus", Read([](D& Driver, int Bit) { return Driver.CheckEcrStatus(Bit); })},
        {"CheckDevStatus", Read([](D& Driver, int Bit) { return Driver.CheckDevStatus(Bit); })},
        {"GetDocStatus", Read([](D& Driver) { return Driver.GetDocStatus(); })},
        {"GetCurrentOper", Read([](D& Driver) { return Driver.GetCurrentOper(); })},

        // Hour and minute of the stored date-times
        {"GetEcrHour", Read([](D& Driver) { return Driver.GetEcrHour(); })},
        {"GetEcrMin", Read([](D& Driver) { return Driver.GetEcrMin(); })},
        {"GetReportHour", Read([](D& Driver) { return Driver.GetReportHour(); })},
        {"GetReportMin", Read([](D& Driver) { return Driver.GetReportMin(); })},
        {"GetDayHour", Read([](D& Driver) { return Driver.GetDayHour(); })},
        {"GetDayMin", Read([](D& Driver) { return Driver.GetDayMin(); })},
        {"GetLastDocHour", Read([](D& Driver) { return Driver.GetLastDocHour(); })},
        {"GetLastDocMin", Read([](D& Driver) { return Driver.GetLastDocMin(); })},

        // Field codecs, handy for checking frames in scripts
        {"EncodeString", Read([](D&, std::u16string Text, int Size, TKestCodingType Coding) {
             if (Size < 1 || Size > MaxEncodeSize)
                 throw ERpcMalformed("size must be 1.." + std::to_string(MaxEncodeSize));
             std::string buf(static_cast<std::size_t>(Size), '\0');
             D::EncodeString(Text, buf, Coding);
             return THexBytes{std::move(buf)};
         })},
        {"DecodeString", Read([](D&, THexBytes Data, TKestCodingType Coding) {
             return D::DecodeString(Data.Bytes, Coding);
         })},
        {"CountBCC", Read([](D&, THexBytes Data) {
             return static_cast<int>(
                 D::CountBCC(Data.Bytes.data(), static_cast<int>(Data.Bytes.size())));
         })},
        {"UnescapeData",
         Read([](D&, std::string Text) { return THexBytes{D::UnescapeData(Text)}; })},
    };
    return table;
}

const TGetterTable& Getters() {
    using D = TKestorFPrt;
    static const TGetterTable table{
        // Identity of the driver and the last error
        {"Version", Get(&D::Version)},
        {"VersionNumber", Get(&D::VersionNumber)},
        {"BuildNumber", Get(&D::BuildNumber)},
        {"ErrCode", Get(&D::ErrCode)},
        {"ErrCodeEx", Get(&D::ErrCodeEx)},
        {"ErrMessage", Get(&D::ErrMessage)},

        // Connection settings and state
        {"PortNum", Get(&D::PortNum)},
        {"BaudRate", Get(&D::BaudRate)},
        {"Password", Get(&D::Password)},
        {"InternalTimeout", Get(&D::InternalTimeout)},
        {"ExternalTimeout", Get(&D::ExternalTimeout)},
        {"Active", Get(&D::Active)},
        {"Connected", Get(&D::Connected)},
        {"ConnState", Get(&D::ConnState)},
        {"RetryOperation", Get(&D::RetryOperation)},

        // The identified register
        {"EcrModel", Get(&D::EcrModel)},
        {"EcrVersion", Get(&D::EcrVersion)},
        {"EcrSubVersion", Get(&D::EcrSubVersion)},
        {"Generation", Get(&D::Generation)},
        {"EKLZSupported", Get(&D::EKLZSupported)},
        {"Protocol", Get(&D::Protocol)},
        {"SerialNumber", Get(&D::SerialNumber)},
        {"ModelName", Get(&D::ModelName)},
        {"Manufacturer", Get(&D::Manufacturer)},
        {"FirmwareVersion", Get(&D::FirmwareVersion)},

        // Status words
        {"EcrStatus", Get(&D::EcrStatus)},
        {"EcrStatusMask", Get(&D::EcrStatusMask)},
        {"DevStatus", Get(&D::DevStatus)},
        {"DevStatusMask", Get(&D::DevStatusMask)},
        // Named as the status control shows them; also read by GetDocStatus
        // and GetCurrentOper.
        {"DocStatus", Get(&D::GetDocStatus)},
        {"CurrentOper", Get(&D::GetCurrentOper)},

        // Information read by the queries
        {"RegNumber", Get(&D::RegNumber)},
        {"TaxPayerNumber", Get(&D::TaxPayerNumber)},
        {"HeaderLine1", Get(&D::HeaderLine1)},
        {"HeaderLine2", Get(&D::HeaderLine2)},
        {"HeaderLine3", Get(&D::HeaderLine3)},
        {"HeaderLine4", Get(&D::HeaderLine4)},
        {"TaxName", Get(&D::TaxName)},
        {"SaleSum", Get(&D::SaleSum)},
        {"BuyingSum", Get(&D::BuyingSum)},
        {"LastDocSum", Get(&D::LastDocSum)},
        {"LastBuyingSum", Get(&D::LastBuyingSum)},
        {"StartDate", GetDate(&D::StartDate)},
        {"EndDate", GetDate(&D::EndDate)},
        {"ReportDate", GetDate(&D::ReportDate)},
        {"DayDate", GetDate(&D::DayDate)},
        {"LastDocDate", GetDate(&D::LastDocDate)},
        {"TaxDate", GetDate(&D::TaxDate)},
        {"EcrDateTime", GetDate(&D::EcrDateTime)},
        {"StartNumber", Get(&D::StartNumber)},
        {"EndNumber", Get(&D::EndNumber)},
        {"CounterCount", Get(&D::CounterCount)},
        {"LastFiscalReport", Get(&D::LastFiscalReport)},
        {"LastDayClosing", Get(&D::LastDayClosing)},
        {"LastDocOper", Get(&D::LastDocOper)},
        {"LastDocNumber", Get(&D::LastDocNumber)},
        {"LastRecNumber", Get(&D::LastRecNumber)},
        {"LastRepNumber", Get(&D::LastRepNumber)},
        {"RewritesRemain", Get(&D::RewritesRemain)},
        {"DaysRemain", Get(&D::DaysRemain)},
        {"LastDocType", Get(&D::LastDocType)},
        {"EKLZActivated", Get(&D::EKLZActivated)},
        {"EKLZOper", Get(&D::EKLZOper)},
        {"EKLZArchiving", Get(&D::EKLZArchiving)},
        {"EKLZReporting", Get(&D::EKLZReporting)},
        {"EKLZDayOpened", Get(&D::EKLZDayOpened)},
        {"EKLZFatalError", Get(&D::EKLZFatalError)},
        {"EKLZAttention", Get(&D::EKLZAttention)},
        {"EKLZRest", Get(&D::EKLZRest)},
    };
    return table;
}

const TSetterTable& Setters() {
    using D = TKestorFPrt;
    static const TSetterTable table{
        {"PortNum", Set(&D::SetPortNum)},
        {"BaudRate", Set(&D::SetBaudRate)},
        {"Password", Set(&D::SetPassword)},
        {"InternalTimeout", Set(&D::SetInternalTimeout)},
        {"ExternalTimeout", Set(&D::SetExternalTimeout)},
        {"Active", Set(&D::SetActive)},
        {"RetryOperation", Set(&D::SetRetryOperation)},
    };
    return table;
}

}  // namespace kest
