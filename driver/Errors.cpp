// The exception tree, its message composition and the register's error table.
#include <iterator>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "KestorFPrt.h"
#include "Messages.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kest::msg {

namespace {

struct TEcrErrorText {
    int Code;
    std::u16string_view Text;
};

// Texts of the register's error codes; codes not listed have none.
constexpr TEcrErrorText EcrErrors[] = {
    {-13, u"буфер журнала пуст"},
    {1, u"ошибка в фискальных данных, аппарат блокирован"},
    {2, u"не закрыта смена"},
    {3, u"исчерпан ресурс сменных записей в фискальную память"},
    {4, u"превышена длина поля команды"},
    {5, u"неверный формат поля команды"},
    {6, u"ошибка чтения таймера"},
    {7, u"неверная дата"},
    {8, u"неверное время"},
    {9,
     u"попытка установить дату меньше последней даты, зарегистрированной в фискальной "
     u"памяти; аппарат блокирован"},
    {10, u"операция прервана пользователем"},
    {11, u"запрещенная команда печатающего устройства"},
    {12, u"не открыта смена"},
    {13, u"кассир не зарегистрирован"},
    {14, u"переполнение приёмного буфера"},
    {15, u"ошибка записи в фискальную память"},
    {16, u"ошибка установки таймера"},
    {17, u"неверный пароль налогового инспектора; аппарат блокирован"},
    {18, u"неверный пароль на связь"},
    {19, u"исчерпан ресурс перерегистраций"},
    {20, u"аппарат не фискализирован"},
    {21, u"значение поля команды вне диапазона"},
    {22, u"ошибка чтения фискальной памяти"},
    {23, u"переполнение счётчика"},
    {24, u"обязательное поле команды имеет нулевую длину"},
    {25, u"неверный формат команды"},
    {26, u"дата или время последнего документа в смене меньше предыдущего"},
    {27, u"исчерпан ресурс буфера журнала"},
    {28, u"ошибка в расположении реквизитов"},
    {29, u"нет такой команды"},
    {30, u"неверная  контрольная сумма (BCC)"},  // two blanks, as the register's manual has it
    {31, u"нет фискальных записей"},
    {33, u"оформление документа прервано по окончанию времени ожидания готовности принтера"},
    {36, u"буфер ответа пуст"},
    {37, u"услуга не введена"},
    {39, u"услуга не введена для повтора документа или операции аннулирования"},
    {40, u"ошибка в данных буфера журнала"},
    {41, u"дублирование обязательных реквизитов документа"},
    {42, u"текущее состояние ККМ не позволяет выполнить операцию"},
    {43, u"ошибка в данных энергонезависимой памяти, аппарат блокирован"},
    {44, u"невозможно выполнить инициализацию ФП - ФП уже инициализирована"},
    {45, u"вывод прерван по окончанию времени ожидания готовности дисплея"},
    {46, u"ошибка записи FLASH памяти"},
    {47, u"нет записей для формирования отчета"},
    {48, u"ошибка связи с ЭКЛЗ"},
    {49, u"некорректный формат или параметр команды ЭКЛЗ"},
    {50, u"некорректное состояние ЭКЛЗ"},
    {51, u"авария ЭКЛЗ"},
    {52, u"авария криптографического процессора ЭКЛЗ"},
    {53, u"исчерпан временной ресурс использования ЭКЛЗ"},
    {54, u"ЭКЛЗ переполнена"},
    {55, u"неверные дата и время в ЭКЛЗ"},
    {56, u"нет запрошенных данных в ЭКЛЗ"},
    {57, u"переполнение счетчиков ЭКЛЗ"},
    {70, u"ошибка протокола обмена ЭКЛЗ"},
    {71, u"переполнение приемного буфера ЭКЛЗ"},
    {72, u"неверная контрольная сумма ЭКЛЗ"},
    {73, u"ЭКЛЗ активирована в составе другой ККМ, аппарат блокирован"},
    {74, u"ЭКЛЗ не активизирована"},
    {75, u"неисправимая ошибка ЭКЛЗ"},
    {76, u"исчерпан ресурс активизаций ЭКЛЗ"},
    {77, u"ЭКЛЗ уже активирована"},
    {78, u"превышено количество секций в документе (по ограничению в ЭКЛЗ)"},
    {79, u"архив ЭКЛЗ закрыт или переполнен"},
    {80, u"данные ЭКЛЗ и фискальной памяти различаются"},
};

constexpr std::u16string_view BadResponseDetails[] = {
    u":\r\nчисло задано неверно",
    u":\r\nhex-число задано неверно",
    u":\r\nдата задана неверно",
    u":\r\nвремя задано неверно",
    u":\r\nневерный формат пакета",
    u":\r\nданные не соответствуют ожидаемым",
    u":\r\nневерная контрольная сумма пакета",
    u":\r\nневерный тип документа",
    u":\r\nККМ завершила режим вывода до конца текста",
};

struct TInvalidArgText {
    int Code;
    std::u16string_view Text;
};

constexpr TInvalidArgText InvalidArgDetails[] = {
    {iaPortNum, u":\r\nневерный номер порта"},
    {iaBaudRate, u":\r\nневерное значение скорости обмена данными"},
    {iaBaudRateUnsupported,
     u":\r\nзначение скорости обмена данными не поддерживается подключенной ККМ"},
    {iaTimeout, u":\r\nневерное значение таймаута"},
    {iaProtocol, u":\r\nневерный тип протокола"},
    {iaOperator, u":\r\nневерный номер оператора"},
    {iaPassword, u":\r\nневерный пароль связи с ККМ"},
    {iaDepartment, u":\r\nневерный номер отдела"},
    {iaTaxIndex, u":\r\nневерное значение индекса налоговой ставки"},
    {iaHeaderLine, u":\r\nневерный номер строки клише"},
    {iaDate, u":\r\nдата задана неверно"},
    {iaTitle, u":\r\nневерный номер программируемого заголовка"},
    {iaSerialNumber, u":\r\nневерный серийный номер ККМ"},
    {iaTaxRate, u":\r\nневерное значение налоговой ставки"},
    {iaCounter, u":\r\nневерный номер счетчика ККМ"},
    {iaCounterUnsupported, u":\r\nномер счетчика не поддерживается ККМ"},
    {iaRecordNumber, u":\r\nневерный номер фискальной записи"},
    {iaContrast, u":\r\nневерная степень контрастности принтера"},
    {iaLeading, u":\r\nневерное значение межстрочного интервала"},
    {iaPictureWidth, u":\r\nневерная ширина графического клише"},
    {iaPictureHeight, u":\r\nневерная высота графического клише"},
    {iaPictureData, u":\r\nневерные данные графического клише"},

    // Reports, printing and peripherals
    {iaPulseChannel, u":\r\nневерный номер канала управления внешним устройством"},
    {iaPulseInterval, u":\r\nневерное значение интервала импульса"},
    {iaPulseCount, u":\r\nневерное значение счетчика импульсов"},
    {iaFeedLines, u":\r\nневерное число строк прогона чековой ленты"},
    {iaFeedDirection, u":\r\nнаправление прогона чековой ленты не поддерживается используемой ККМ"},
    {iaOutputEnd, u":\r\nпоследовательность ESC ESC в тексте завершила бы режим вывода"},
    {iaInspectorPassword, u":\r\nневерный пароль налогового инспектора"},

    // Fiscal documents
    {iaOperType, u":\r\nневерный тип операции"},
    {iaOperTypeUnsupported, u":\r\nуказанный тип операции не поддерживается подключенной ККМ"},
    {iaCopies, u":\r\nневерное значение числа копий документа"},
    {iaImpressionOffset, u":\r\nневерное значение смещения оттиска документа"},
    {iaPropertyOffset, u":\r\nневерное значение смещения реквизита документа"},
    {iaCopyOverFiscalSign,
     u":\r\nпри указанном смещении копия документа перекрывает фискальный признак"},
    {iaFiscalSignOrder,
     u":\r\nфискальный признак должен иметь максимальное смещение по вертикали среди "
     u"обязательных реквизитов"},
    {iaFiscalIndex, u":\r\nневерный индекс фискального оттиска документа"},
    {iaOperInfo, u":\r\nневерно задан формат печати информации об операторе"},
    {iaPayType, u":\r\nневерный вид оплаты"},
    {iaPayTypeUnsupported, u":\r\nвид оплаты не поддерживается подключенной ККМ"},
    {iaPayTypeForbidden, u":\r\nвид оплаты не допустим для открытой операции"},
    {iaPayAmount, u":\r\nневерное значение суммы оплаты"},
    {iaItemPrice, u":\r\nневерное значение суммы позиции"},
    {iaItemCode, u":\r\nневерное значение кода позиции"},
    {iaAdjustment, u":\r\nневерное значение скидки / надбавки"},
    {iaPrecision, u":\r\nневерное значение точности количества"},
    {iaItemSum, u":\r\nслишком большая сумма позиции"},
    {iaItemType, u":\r\nневерный тип позиции"},
    {iaItemTypeUnsupported, u":\r\nвыбранный тип позиции не поддерживается используемой ККМ"},
    {iaItemTypeForbidden, u":\r\nтип позиции не допустим для открытой операции"},
    {iaAccount, u":\r\nневерно задан номер счета"},
    {iaEKLZDataOrder,
     u":\r\nданные ЭКЛЗ должны иметь максимальное смещение по вертикали среди "
     u"обязательных реквизитов"},
};

std::u16string Compose(std::u16string_view Head, std::u16string_view Detail) {
    std::u16string s(Head);
    s += Detail;
    return s;
}

std::u16string Decimal(int Value) {
    const std::string s = std::to_string(Value);
    return std::u16string(s.begin(), s.end());
}

}  // namespace

std::u16string_view BadResponseDetail(int Code) {
    if (Code < brNumber || Code > brOutputEnded) return {};
    return BadResponseDetails[Code - brNumber];
}

std::u16string_view InvalidArgDetail(int Code) {
    for (const auto& e : InvalidArgDetails)
        if (e.Code == Code) return e.Text;
    return {};
}

std::u16string_view PropertyDetail(int Code) {
    static constexpr std::u16string_view details[] = {
        prSerialNumber,   prHeaderLine, prHeaderLine, prHeaderLine,    prHeaderLine,
        prDateTime,       prOperInfo,   prDocNumber,  prReceiptNumber, prAccount,
        prTaxPayerNumber, prItem,       prTotal,      prPayment,       prChange,
        prTaxSum,         prTaxSum,     prTaxSum,     prTaxSum,        prTaxSum,
        prFiscalSign,     {},           prEKLZData,   prGraphicHeader, prRegNumber,
    };
    if (Code < 0 || Code >= static_cast<int>(std::size(details))) return {};
    return details[Code];
}

std::u16string_view EcrErrorText(int Code) {
    for (const auto& e : EcrErrors)
        if (e.Code == Code) return e.Text;
    return {};
}

EKestBadResponse BadResponse(int Code) {
    return EKestBadResponse(Code, BadResponseDetail(Code));
}

EKestInvalidArg InvalidArg(int Code) {
    return EKestInvalidArg(Code, InvalidArgDetail(Code));
}

namespace {

#ifdef _WIN32
// The system's text in the user's language: the run-time's own text of a
// system error is in the ANSI code page, not UTF-8.
std::u16string SystemText(const std::error_code& Code) {
    if (Code.category() != std::system_category()) return FromUtf8(Code.message());
    wchar_t* text = nullptr;
    const DWORD size = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(Code.value()), 0, reinterpret_cast<wchar_t*>(&text), 0,
        nullptr);
    if (size == 0) return FromUtf8(Code.message());
    std::u16string s(reinterpret_cast<const char16_t*>(text), size);
    LocalFree(text);
    // As the run-time writes it: without the closing ".\r\n".
    while (!s.empty() && (s.back() == u'\n' || s.back() == u'\r' || s.back() == u' '))
        s.pop_back();
    if (s.ends_with(u'.')) s.pop_back();
    return s;
}
#else
std::u16string SystemText(const std::error_code& Code) {
    return FromUtf8(Code.message());
}
#endif

}  // namespace

std::u16string SystemMessage(const std::error_code& Code) {
    return SystemText(Code) + u" (" + Decimal(Code.value()) + u")";
}

std::u16string SystemMessage(int Code) {
    return SystemMessage(std::error_code(Code, std::system_category()));
}

}  // namespace kest::msg

using namespace kest::msg;

EKestError::EKestError(int ErrCode, int ErrCodeEx, std::u16string Message)
    : FErrCode(ErrCode),
      FErrCodeEx(ErrCodeEx),
      FMessage(std::move(Message)),
      FWhat(kest::ToUtf8(FMessage)) {}

EKestRequestAborted::EKestRequestAborted()
    : EKestConnection(-1, 0, u"Выполнение запроса было прервано") {}
EKestConnOpened::EKestConnOpened() : EKestConnection(1, 0, u"Соединение с ККМ не закрыто") {}
EKestConnClosed::EKestConnClosed() : EKestConnection(2, 0, u"Соединение с ККМ не открыто") {}
EKestNoResponse::EKestNoResponse() : EKestConnection(3, 0, u"ККМ не отвечает") {}
EKestUnknownDevice::EKestUnknownDevice() : EKestConnection(4, 0, u"ККМ не опознана") {}

EKestNoConversion::EKestNoConversion(int SysCode, std::u16string_view Detail)
    : EKestError(5, SysCode, [&] {
          std::u16string s = u"Невозможно произвести перекодировку строки";
          if (SysCode != 0) s += u":\r\n" + SystemMessage(SysCode);
          if (!Detail.empty()) (s += u" ") += Detail;
          return s;
      }()) {}

EKestUnsupported::EKestUnsupported(std::u16string_view Detail)
    : EKestError(6, 0, Compose(u"Операция не поддерживается используемой ККМ", Detail)) {}

EKestDocOverflow::EKestDocOverflow()
    : EKestDocError(7, 0, u"Слишком большое число позиций чека или реквизитов документа") {}
EKestNoDocument::EKestNoDocument() : EKestDocError(8, 0, u"Нет открытого фискального документа") {}
EKestDocOpened::EKestDocOpened() : EKestDocError(9, 0, u"Фискальный документ уже открыт") {}

EKestForbidden::EKestForbidden(std::u16string_view Detail)
    : EKestDocError(10, 0,
                    Compose(u"Операция не допустима в контексте открытого типа документа, вида "
                            u"финансовой операции или типа оплаты",
                            Detail)) {}

EKestForbiddenVersion::EKestForbiddenVersion(std::u16string_view Detail)
    : EKestDocError(11, 0,
                    Compose(u"Операция не поддерживается используемой ККМ в контексте открытого "
                            u"типа документа, вида финансовой операции или типа оплаты",
                            Detail)) {}

EKestDuplication::EKestDuplication(int Code, std::u16string_view Detail)
    : EKestDocError(12, Code,
                    Compose(u"Дублирование реквизита в открытом документе не допустимо", Detail)) {}

EKestNoProperty::EKestNoProperty(int Code, std::u16string_view Detail)
    : EKestDocError(13, Code, Compose(u"В документе отсутствует обязательный реквизит", Detail)) {}

EKestInvalidArg::EKestInvalidArg(int Code, std::u16string_view Detail)
    : EKestError(14, Code, Compose(u"Неверное значение аргумента", Detail)) {}

EKestBadResponse::EKestBadResponse(int Code, std::u16string_view Detail)
    : EKestError(15, Code, Compose(u"Неверный ответ ККМ", Detail)) {}

EKestEcrError::EKestEcrError(int Code, std::u16string_view Detail)
    : EKestError(18, Code, [&] {
          std::u16string s = u"Ошибка ККМ";
          if (auto text = EcrErrorText(Code); !text.empty()) (s += u":\r\n") += text;
          s += u" (" + Decimal(Code) + u")";
          if (!Detail.empty()) (s += u" ") += Detail;
          return s;
      }()) {}

// -- Recording the last error

void TKestorFPrt::ClearError() {
    FErrCode = 0;
    FErrCodeEx = 0;
    FErrMessage = NoError;
}

void TKestorFPrt::HandleError(std::exception_ptr Error) {
    try {
        std::rethrow_exception(std::move(Error));
    } catch (const EKestError& e) {
        FErrCode = e.ErrCode();
        FErrCodeEx = e.ErrCodeEx();
        FErrMessage = e.Message();
    } catch (const std::bad_alloc&) {
        FErrCode = ErrOutOfMemory;
        FErrCodeEx = 0;
        FErrMessage = OutOfMemory;
    } catch (const std::system_error& e) {
        FErrCode = ErrSystem;
        FErrCodeEx = e.code().value();
        FErrMessage = std::u16string(SystemError) + u":\r\n" + SystemMessage(e.code());
    } catch (const std::exception& e) {
        FErrCode = ErrOther;
        FErrCodeEx = 0;
        FErrMessage = kest::FromUtf8(e.what());
    } catch (...) {
        FErrCode = ErrOther;
        FErrCodeEx = 0;
        FErrMessage = UnknownError;
    }
}
