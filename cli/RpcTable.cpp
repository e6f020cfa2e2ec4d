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

        // Queries
        {"QueryFirmwareInfo", Op([](D& Driver) { Driver.QueryFirmwareInfo(); })},

        // Status words
        {"CheckEcrStatus", Op([](D& Driver, int Bit) { return Driver.CheckEcrStatus(Bit); })},
        {"CheckDevStatus", Op([](D& Driver, int Bit) { return Driver.CheckDevStatus(Bit); })},
        {"GetDocStatus", Op([](D& Driver) { return Driver.GetDocStatus(); })},
        {"GetCurrentOper", Op([](D& Driver) { return Driver.GetCurrentOper(); })},

        // Hour and minute of the stored date-times
        {"GetEcrHour", Op([](D& Driver) { return Driver.GetEcrHour(); })},
        {"GetEcrMin", Op([](D& Driver) { return Driver.GetEcrMin(); })},
        {"GetReportHour", Op([](D& Driver) { return Driver.GetReportHour(); })},
        {"GetReportMin", Op([](D& Driver) { return Driver.GetReportMin(); })},
        {"GetDayHour", Op([](D& Driver) { return Driver.GetDayHour(); })},
        {"GetDayMin", Op([](D& Driver) { return Driver.GetDayMin(); })},
        {"GetLastDocHour", Op([](D& Driver) { return Driver.GetLastDocHour(); })},
        {"GetLastDocMin", Op([](D& Driver) { return Driver.GetLastDocMin(); })},

        // Field codecs, handy for checking frames in scripts
        {"EncodeString", Op([](D&, std::u16string Text, int Size, TKestCodingType Coding) {
             if (Size < 1 || Size > MaxEncodeSize)
                 throw ERpcMalformed("size must be 1.." + std::to_string(MaxEncodeSize));
             std::string buf(static_cast<std::size_t>(Size), '\0');
             D::EncodeString(Text, buf, Coding);
             return THexBytes{std::move(buf)};
         })},
        {"DecodeString", Op([](D&, THexBytes Data, TKestCodingType Coding) {
             return D::DecodeString(Data.Bytes, Coding);
         })},
        {"CountBCC", Op([](D&, THexBytes Data) {
             return static_cast<int>(
                 D::CountBCC(Data.Bytes.data(), static_cast<int>(Data.Bytes.size())));
         })},
        {"UnescapeData", Op([](D&, std::string Text) { return THexBytes{D::UnescapeData(Text)}; })},
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
