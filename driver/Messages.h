// The driver's message resources: head texts of the exception classes and the
// detail texts raised with them. A detail text begins with ":\r\n" so that head
// and detail read as a head line, a colon and a second line.
#pragma once

#include <string_view>
#include <system_error>

#include "KestorFPrt.h"

namespace kest::msg {

// Detail codes of EKestBadResponse.
enum TBadResponseCode : int {
    brNumber = 1,
    brHex = 2,
    brDate = 3,
    brTime = 4,
    brFormat = 5,
    brUnexpected = 6,
    brChecksum = 7,
};

// Detail codes of EKestInvalidArg raised by the link layer.
enum TInvalidArgCode : int {
    iaPortNum = 1,
    iaBaudRate = 2,
    iaBaudRateUnsupported = 3,
    iaTimeout = 4,
    iaPassword = 7,
    iaDate = 33,
};

inline constexpr std::u16string_view NoError = u"Нет ошибки";
inline constexpr std::u16string_view OutOfMemory = u"Недостаточно памяти для выполнения операции";
inline constexpr std::u16string_view SystemError = u"Ошибка операционной системы";
inline constexpr std::u16string_view UnknownError = u"Неизвестная ошибка";

// The detail text of an EKestBadResponse code (1..7); empty for other codes.
std::u16string_view BadResponseDetail(int Code);
// The detail text of a link-layer EKestInvalidArg code; empty for other codes.
std::u16string_view InvalidArgDetail(int Code);
// The register's own text for one of its error codes; empty when it has none.
std::u16string_view EcrErrorText(int Code);

// The exception with the code and its fixed detail text.
EKestBadResponse BadResponse(int Code);
EKestInvalidArg InvalidArg(int Code);

// The operating system's message for an error code, followed by " (code)".
std::u16string SystemMessage(int Code);
std::u16string SystemMessage(const std::error_code& Code);

}  // namespace kest::msg
