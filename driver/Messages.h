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
    brDocType = 8,
    brOutputEnded = 9,
};

// Detail codes of EKestInvalidArg, one per kind of argument.
enum TInvalidArgCode : int {
    iaPortNum = 1,
    iaBaudRate = 2,
    iaBaudRateUnsupported = 3,
    iaTimeout = 4,
    iaProtocol = 5,
    iaOperator = 6,
    iaPassword = 7,
    iaDepartment = 22,
    iaTaxIndex = 27,
    iaHeaderLine = 29,
    iaDate = 33,
    iaTitle = 39,
    iaSerialNumber = 40,
    iaTaxRate = 41,
    iaCounter = 42,
    iaCounterUnsupported = 43,
    iaRecordNumber = 44,
    iaContrast = 45,
    iaLeading = 46,
    iaPictureWidth = 48,
    iaPictureHeight = 49,
    iaPictureData = 50,

    // Reports, printing and peripherals
    iaPulseChannel = 34,
    iaPulseInterval = 35,
    iaPulseCount = 36,
    iaFeedLines = 37,
    iaFeedDirection = 38,
    iaOutputEnd = 53,
    iaInspectorPassword = 54,

    // Fiscal documents
    iaOperType = 8,
    iaOperTypeUnsupported = 9,
    iaCopies = 10,
    iaImpressionOffset = 11,
    iaPropertyOffset = 12,
    iaCopyOverFiscalSign = 13,
    iaFiscalSignOrder = 14,
    iaFiscalIndex = 15,
    iaOperInfo = 16,
    iaPayType = 17,
    iaPayTypeUnsupported = 18,
    iaPayTypeForbidden = 19,
    iaPayAmount = 20,
    iaItemPrice = 21,
    iaItemCode = 23,
    iaAdjustment = 24,
    iaPrecision = 26,
    iaItemSum = 28,
    iaItemType = 30,
    iaItemTypeUnsupported = 31,
    iaItemTypeForbidden = 32,
    iaAccount = 51,
    iaEKLZDataOrder = 52,
};

// Detail texts of EKestUnsupported: what the register cannot do.
inline constexpr std::u16string_view usNetworkBaudRate =
    u":\r\nизменение скорости обмена через сетевой сервер последовательного порта";
inline constexpr std::u16string_view usSetParameters = u":\r\nустановка параметров ККМ";
inline constexpr std::u16string_view usQueryParameters = u":\r\nзапрос параметров ККМ";
inline constexpr std::u16string_view usDevExStatus = u":\r\nзапрос расширенного статуса устройства";
inline constexpr std::u16string_view usTaxes =
    u":\r\nчтение / изменение программируемых налоговых ставок";
inline constexpr std::u16string_view usResourcePrint =
    u":\r\nраспечатка информации о свободных ресурсах";
inline constexpr std::u16string_view usTaxPayerNumber = u":\r\nчтение ИНН владельца ККМ";
inline constexpr std::u16string_view usRegNumber = u":\r\nчтение регистрационного номера ККМ";
inline constexpr std::u16string_view usSerialNumberRead = u":\r\nчтение серийного номера ККМ";
inline constexpr std::u16string_view usSerialNumberWrite = u":\r\nизменение серийного номера ККМ";
inline constexpr std::u16string_view usHeaderLines = u":\r\nчтение строк клише";
inline constexpr std::u16string_view usTitles =
    u":\r\nчтение / изменение программируемых заголовков";
inline constexpr std::u16string_view usDepartments =
    u":\r\nчтение / изменение наименований отделов";
inline constexpr std::u16string_view usGraphicHeader = u":\r\nиспользование графического клише";
inline constexpr std::u16string_view usEKLZ = u":\r\nработа с ЭКЛЗ";

// Reports, printing and peripherals
inline constexpr std::u16string_view usXReportByDep = u":\r\nпечать X-отчета по отделам";
inline constexpr std::u16string_view usXReportByOper = u":\r\nпечать X-отчета по кассирам";
inline constexpr std::u16string_view usFiscalReportAll =
    u":\r\nфискальный отчет по всему содержимому фискальной памяти";
inline constexpr std::u16string_view usDisplay = u":\r\nвывод на дисплей покупателя";
inline constexpr std::u16string_view usFeed = u":\r\nпрогон / отрез чековой ленты";

// Detail texts of the fiscal documents' refusals (EKestUnsupported,
// EKestForbidden, EKestForbiddenVersion): what cannot be done.
inline constexpr std::u16string_view dtReceipt = u":\r\nпроведение стандартного чека";
inline constexpr std::u16string_view dtCustomDoc =
    u":\r\nпроведение произвольного фискального документа";
inline constexpr std::u16string_view dtFiscalDoc =
    u":\r\nпроведение фискального документа (составного чека)";
inline constexpr std::u16string_view dtCopyDoc = u":\r\nпечать копии ранее проведенного документа";
inline constexpr std::u16string_view dtAddProperty =
    u":\r\nдобавление реквизитов фискального документа";
inline constexpr std::u16string_view dtPayment = u":\r\nоплата чека";
inline constexpr std::u16string_view dtChange = u":\r\nпечать суммы сдачи";
inline constexpr std::u16string_view dtTotal = u":\r\nпечать итога документа";
inline constexpr std::u16string_view dtReceiptNumber = u":\r\nуказание номера чека";
inline constexpr std::u16string_view dtTaxSums = u":\r\nвычисление налогов";
inline constexpr std::u16string_view dtFiscalSign = u":\r\nуказание фискального признака";
inline constexpr std::u16string_view dtDocAdjustment = u":\r\nначисление скидок / надбавок на чек";
inline constexpr std::u16string_view dtEKLZData = u":\r\nдобавление данных ЭКЛЗ";
inline constexpr std::u16string_view dtRegNumberPrint = u":\r\nпечать регистрационного номера ККМ";
inline constexpr std::u16string_view dtBarcode = u":\r\nдобавление штрих-кода";

// Detail texts of EKestDuplication and EKestNoProperty: the property, by its
// code (the header lines 1..4 share one).
inline constexpr std::u16string_view prSerialNumber = u":\r\nсерийный номер ККМ";
inline constexpr std::u16string_view prHeaderLine = u":\r\nстрока клише";
inline constexpr std::u16string_view prDateTime = u":\r\nдата и время совершения операции";
inline constexpr std::u16string_view prOperInfo = u":\r\nинформация об операторе";
inline constexpr std::u16string_view prDocNumber = u":\r\nномер документа";
inline constexpr std::u16string_view prReceiptNumber = u":\r\nномер чека";
inline constexpr std::u16string_view prAccount = u":\r\nномер счета";
inline constexpr std::u16string_view prTaxPayerNumber = u":\r\nИНН";
inline constexpr std::u16string_view prItem = u":\r\nцена услуги или сумма";
inline constexpr std::u16string_view prTotal = u":\r\nитоговая сумма";
inline constexpr std::u16string_view prPayment = u":\r\nинформация об оплате";
inline constexpr std::u16string_view prChange = u":\r\nсумма сдачи";
inline constexpr std::u16string_view prTaxSum = u":\r\nсумма налога";
inline constexpr std::u16string_view prFiscalSign = u":\r\nфискальный признак";
inline constexpr std::u16string_view prEKLZData = u":\r\nданные ЭКЛЗ";
inline constexpr std::u16string_view prGraphicHeader = u":\r\nграфическое клише";
inline constexpr std::u16string_view prRegNumber = u":\r\nрегистрационный номер ККМ";
// The text of property Code; empty for codes that may repeat.
std::u16string_view PropertyDetail(int Code);

inline constexpr std::u16string_view NoError = u"Нет ошибки";
inline constexpr std::u16string_view OutOfMemory = u"Недостаточно памяти для выполнения операции";
inline constexpr std::u16string_view SystemError = u"Ошибка операционной системы";
inline constexpr std::u16string_view UnknownError = u"Неизвестная ошибка";

// The detail text of an EKestBadResponse code (1..9); empty for other codes.
std::u16string_view BadResponseDetail(int Code);
// The detail text of an EKestInvalidArg code; empty for other codes.
std::u16string_view InvalidArgDetail(int Code);
// The register's own text for one of its error codes; empty when it has none.
std::u16string_view EcrErrorText(int Code);

// The exception with the code and its fixed detail text.
EKestBadResponse BadResponse(int Code);
EKestInvalidArg InvalidArg(int Code);

// Raises InvalidArg(Code) unless Valid.
inline void CheckArg(bool Valid, int Code) {
    if (!Valid) throw InvalidArg(Code);
}

// The operating system's message for an error code, followed by " (code)".
std::u16string SystemMessage(int Code);
std::u16string SystemMessage(const std::error_code& Code);

}  // namespace kest::msg
