#include "MainUnit.h"

#include <QAbstractButton>
#include <QDate>
#include <QFont>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLocale>
#include <QScreen>
#include <QTime>
#include <cstdint>
#include <iterator>

#include "Application.h"

namespace {

QString FromU16(const std::u16string& Text) {
    return QString::fromStdU16String(Text);
}

// Sample values of the documents.
constexpr std::u16string_view Goods = u"Какой-то товар";
constexpr std::u16string_view Account = u"0123456789";
constexpr std::u16string_view CardText = u"Карта №12345";
constexpr std::u16string_view Pieces = u"шт.";
constexpr std::u16string_view Cashier = u"Кассир Тестов";

constexpr TKestCurrency Rub(int64_t Hundredths) {
    return TKestCurrency::FromHundredths(Hundredths);
}

// Runs the calls that fill an open document. When one fails the document is
// cancelled and the failure goes on; a failing cancel goes on in its place.
template <class Calls, class Cancel>
void FillDocument(Calls&& calls, Cancel&& cancel) {
    try {
        calls();
    } catch (...) {
        cancel();
        throw;
    }
}

// Windows-1251 from 0x80 to 0xBF; from 0xC0 on the letters А..я follow in order.
constexpr char16_t Cp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

char16_t FromCp1251(uint8_t Byte) {
    if (Byte < 0x80) return Byte;
    if (Byte < 0xC0) return Cp1251High[Byte - 0x80];
    return static_cast<char16_t>(0x0410 + (Byte - 0xC0));
}

int HexDigit(QChar Digit) {
    const char16_t c = Digit.toUpper().unicode();
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

}  // namespace

TMainForm::TMainForm(QWidget* Parent) : QWidget(Parent) {
    // The button picture lives in this library; a static library's resources
    // are linked in only when named.
    Q_INIT_RESOURCE(MainUnit);
    // The control connects, if its description says so, once the layout is in.
    KestLoadForm([this] { setupUi(this); });
    // The layout is measured for "MS Sans Serif" 8 pt. Where that face is
    // missing, a condensed face at 10 px keeps every text inside its label.
    if (QFontInfo(font()).family() != font().family()) {
        QFont fallback(QStringLiteral("DejaVu Sans Condensed"));
        fallback.setPixelSize(10);
        setFont(fallback);
    }
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(size());
    if (const QScreen* shown = screen())
        move(shown->availableGeometry().center() - rect().center());
    CounterUpDown->SetAssociate(CounterEdit);

    KestorFPrt->OnPrinterError = [this](TKestorFPrtCtrl& Sender) { KestorFPrtDeviceError(Sender); };
    KestorFPrt->OnDisplayError = KestorFPrt->OnPrinterError;
    KestorFPrt->OnStatusUpdate = [this](TKestorFPrtCtrl& Sender) {
        KestorFPrtStatusUpdate(Sender);
    };
    Bind(ConnOpenButton, &TMainForm::ConnOpenButtonClick);
    Bind(ConnCloseButton, &TMainForm::ConnCloseButtonClick);
    Bind(DayOpenButton, &TMainForm::DayOpenButtonClick);
    Bind(XReportButton, &TMainForm::XReportButtonClick);
    Bind(ZReportButton, &TMainForm::ZReportButtonClick);
    Bind(RecSaleButton, &TMainForm::RecSaleButtonClick);
    Bind(RecRefundButton, &TMainForm::RecRefundButtonClick);
    Bind(RecCashButton, &TMainForm::RecCashButtonClick);
    Bind(CustomSaleButton, &TMainForm::CustomSaleButtonClick);
    Bind(CustomRefundButton, &TMainForm::CustomRefundButtonClick);
    Bind(CustomCashButton, &TMainForm::CustomCashButtonClick);
    Bind(FiscalSaleButton, &TMainForm::FiscalSaleButtonClick);
    Bind(FiscalRefundButton, &TMainForm::FiscalRefundButtonClick);
    Bind(FiscalCashButton, &TMainForm::FiscalCashButtonClick);
    Bind(NoFiscalButton, &TMainForm::NoFiscalButtonClick);
    Bind(DateTimeButton, &TMainForm::DateTimeButtonClick);
    Bind(FirmwareInfoButton, &TMainForm::FirmwareInfoButtonClick);
    Bind(QueryCounterButton, &TMainForm::QueryCounterButtonClick);
    Bind(ChangeBaudButton, &TMainForm::ChangeBaudButtonClick);
    Bind(ChangePasswordButton, &TMainForm::ChangePasswordButtonClick);
    Bind(bbtnString, &TMainForm::bbtnStringClick);
    Bind(bbtnHEX, &TMainForm::bbtnHEXClick);
    FormCreate();
}

void TMainForm::Bind(QAbstractButton* Button, TClickHandler Handler) {
    Button->installEventFilter(this);
    connect(Button, &QAbstractButton::clicked, this,
            [this, Button, Handler] { kest::app::Guard(this, [&] { (this->*Handler)(Button); }); });
}

// Qt gives Enter only to the buttons of dialogs; here it presses the focused
// button as Space does. A held key does not repeat a document.
bool TMainForm::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(Event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!key->isAutoRepeat()) static_cast<QAbstractButton*>(Watched)->click();
            return true;
        }
    }
    return QWidget::eventFilter(Watched, Event);
}

std::optional<int> TMainForm::BaudRateOf(int Index) {
    static constexpr int Rates[] = {9600, 19200, 57600, 115200};
    if (Index < 0 || Index >= static_cast<int>(std::size(Rates))) return std::nullopt;
    return Rates[Index];
}

void TMainForm::FormCreate() {
    PortCombo->setCurrentIndex(0);
    BaudRateCombo->setCurrentIndex(0);
}

// -- Connection

void TMainForm::ConnOpenButtonClick(QObject*) {
    KestorFPrt->SetPortNum(PortCombo->currentIndex() + 1);
    if (const auto rate = BaudRateOf(BaudRateCombo->currentIndex())) KestorFPrt->SetBaudRate(*rate);
    KestorFPrt->SetPassword(PasswordEdit->text().toStdU16String());
    KestorFPrt->Open();
    InfoLabel->setText(QStringLiteral("Соединение открыто."));
}

void TMainForm::ConnCloseButtonClick(QObject*) {
    KestorFPrt->Close(false);
    InfoLabel->setText(QStringLiteral("Соединение закрыто."));
}

// -- Status

void TMainForm::KestorFPrtStatusUpdate(TKestorFPrtCtrl&) {
    const int shiftOpen = KestorFPrt->CheckEcrStatus(0);
    if (shiftOpen > 0)
        DayStateLabel->setText(QStringLiteral("Смена: открыта"));
    else if (shiftOpen < 0)
        DayStateLabel->setText(QStringLiteral("Смена: закрыта"));
    else
        DayStateLabel->clear();
}

// Asked from inside the running command; the driver clears RetryOperation
// before asking, so only Yes needs an answer.
void TMainForm::KestorFPrtDeviceError(TKestorFPrtCtrl&) {
    const QString text = KestorFPrt->ConnState() == mcsPrinterError
                             ? QStringLiteral("Ошибка принтера. Повторить попытку?")
                             : QStringLiteral("Ошибка дисплея покупателя. Повторить попытку?");
    if (kest::app::MessageBox()(this, QMessageBox::Question, kest::app::Title(), text,
                                QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
        KestorFPrt->SetRetryOperation(true);
}

// -- Shift and reports

void TMainForm::Printed() {
    InfoLabel->setText(QStringLiteral("Документ распечатан."));
}

// The register keeps its line protocol: the mode digit carries the current one.
void TMainForm::DayOpenButtonClick(QObject*) {
    const TKestProtocol protocol = KestorFPrt->Protocol();
    KestorFPrt->OpenDay(5, Cashier, false, protocol);
    Printed();
}

void TMainForm::XReportButtonClick(QObject*) {
    KestorFPrt->XReport(1);
    Printed();
}

void TMainForm::ZReportButtonClick(QObject*) {
    KestorFPrt->ZReport(1);
    Printed();
}

// -- Standard receipts

void TMainForm::RecSaleButtonClick(QObject*) {
    KestorFPrt->OpenReceipt(motSale);
    FillDocument(
        [this] {
            KestorFPrt->AddReceiptItem(Goods, Rub(20056), false, 7, 555, -300, 524, 2, 0, {}, 0);
            KestorFPrt->AddReceiptItem(Goods, Rub(10000), false, 7, 555, 0, -1, 0, 0, {}, 0);
            KestorFPrt->CloseReceipt(Account, mptCash, Rub(1000000), Rub(0), {}, 0, moiNumberName);
        },
        [this] { KestorFPrt->CancelReceipt(); });
    Printed();
}

void TMainForm::RecRefundButtonClick(QObject*) {
    KestorFPrt->OpenReceipt(motRefund);
    FillDocument(
        [this] {
            KestorFPrt->AddReceiptItem(Goods, Rub(20056), true, 7, 555, 0, 5, 0, 0, {}, 0);
            KestorFPrt->AddReceiptItem(Goods, Rub(10000), true, 7, 555, 100, -1, 0, 0, {}, 0);
            KestorFPrt->CloseReceipt(Account, mptCash, Rub(0), Rub(0), {}, 0, moiNumberName);
        },
        [this] { KestorFPrt->CancelReceipt(); });
    Printed();
}

void TMainForm::RecCashButtonClick(QObject*) {
    KestorFPrt->OpenReceipt(motCashIn);
    FillDocument(
        [this] {
            KestorFPrt->AddReceiptItem({}, Rub(1000000), false, 0, 0, 0, 0, 0, 0, {}, 0);
            KestorFPrt->CloseReceipt(Account, mptCash, Rub(0), Rub(0), {}, 0, moiNumberName);
        },
        [this] { KestorFPrt->CancelReceipt(); });
    Printed();
}

// -- Custom documents: one property a row, from row 0 down.

void TMainForm::AddCustomDocHead(bool ReceiptNumber) {
    for (int line = 1; line <= 4; ++line)
        KestorFPrt->AddHeaderLine(line, 0, 0, line - 1);
    KestorFPrt->AddSerialNumber(0, 0, 4);
    KestorFPrt->AddDocNumber(0, 32, 4);
    KestorFPrt->AddTaxPayerNumber(0, 0, 5);
    KestorFPrt->AddDateTime(0, 0, 6);
    if (ReceiptNumber) KestorFPrt->AddReceiptNumber(0, 32, 6);
    KestorFPrt->AddOperInfo(moiNumberName, 0, 0, 7);
    KestorFPrt->AddAccount(Account, 0, 0, 8);
}

void TMainForm::CustomSaleButtonClick(QObject*) {
    KestorFPrt->OpenCustomDoc(false, motSale);
    FillDocument(
        [this] {
            AddCustomDocHead(true);
            KestorFPrt->AddCustom(Goods, 0, 0, 9);
            KestorFPrt->AddItem(mitItem, Rub(10000), false, 7, 555, 1000, -1, 0, 0, {}, 0, 0, 10,
                                39);
            KestorFPrt->AddTotal(0, 0, 11, 39);
            KestorFPrt->AddPay(mptCard, Rub(0), Rub(0), CardText, 0, 0, 12, 39);
            KestorFPrt->AddFiscalSign(0, 0, 13);
            if (KestorFPrt->EKLZSupported()) KestorFPrt->AddEKLZData(0, 0, 14);
            KestorFPrt->CloseCustomDoc(mptCash, 0, 1, 1, 0, 40, 2, 0);
        },
        [this] { KestorFPrt->CancelCustomDoc(); });
    Printed();
}

void TMainForm::CustomRefundButtonClick(QObject*) {
    KestorFPrt->OpenCustomDoc(false, motRefund);
    FillDocument(
        [this] {
            AddCustomDocHead(true);
            KestorFPrt->AddCustom(Goods, 0, 0, 9);
            KestorFPrt->AddItem(mitItem, Rub(10000), false, 7, 555, 0, 2, 0, 0, {}, 0, 0, 10, 39);
            KestorFPrt->AddTotal(0, 0, 11, 39);
            KestorFPrt->AddFiscalSign(0, 0, 12);
            if (KestorFPrt->EKLZSupported()) KestorFPrt->AddEKLZData(0, 0, 13);
            KestorFPrt->CloseCustomDoc(mptCard, 0, 1, 1, 0, 40, 1, 0);
        },
        [this] { KestorFPrt->CancelCustomDoc(); });
    Printed();
}

// A form paying cash out.
void TMainForm::CustomCashButtonClick(QObject*) {
    KestorFPrt->OpenCustomDoc(true, motCashOut);
    FillDocument(
        [this] {
            AddCustomDocHead(false);
            KestorFPrt->AddItem(mitItem, Rub(1000000), false, 0, 0, 0, 0, 0, 0, {}, 0, 0, 9, 39);
            KestorFPrt->AddFiscalSign(0, 0, 10);
            if (KestorFPrt->EKLZSupported()) KestorFPrt->AddEKLZData(0, 0, 11);
            KestorFPrt->CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0);
        },
        [this] { KestorFPrt->CancelCustomDoc(); });
    Printed();
}

// -- Composite documents: the register prints them as they come, so a
// failure cancels them in the register too. The paper is fed and cut after.

void TMainForm::AddFiscalDocHead() {
    for (int line = 1; line <= 4; ++line)
        KestorFPrt->AddHeaderLine(line, 0, 0, line - 1);
    KestorFPrt->AddSerialNumber(0, 0, 4);
    KestorFPrt->AddDocNumber(0, 31, 4);
    KestorFPrt->AddTaxPayerNumber(0, 0, 5);
    KestorFPrt->AddDateTime(0, 0, 6);
    KestorFPrt->AddReceiptNumber(0, 31, 6);
    KestorFPrt->AddOperInfo(moiNumberName, 0, 0, 7);
}

void TMainForm::FiscalSaleButtonClick(QObject*) {
    KestorFPrt->OpenFiscalDoc(motSale);
    FillDocument(
        [this] {
            AddFiscalDocHead();
            KestorFPrt->AddCustom(Goods, 16, 0, 8);
            KestorFPrt->AddItem(mitItem, Rub(20089), false, 6, 0, 0, -1, 0, 1, {}, 0, 0, 9, 0);
            KestorFPrt->AddCustom(Goods, 0, 0, 10);
            KestorFPrt->AddItem(mitItem, Rub(20000), false, 7, 555, 0, 2, 0, 2, Pieces, 0, 0, 11,
                                0);
            KestorFPrt->AddTotal(0, 0, 12, 0);
            KestorFPrt->AddPay(mptCashCard, Rub(100000), Rub(0), {}, 0, 0, 13, 0);
            KestorFPrt->AddChange(0, 0, 14, 0);
            if (KestorFPrt->EcrModel() == mem207_1FMD) KestorFPrt->AddRegNumber(0, 0, 15);
            KestorFPrt->CloseFiscalDoc();
        },
        [this] { KestorFPrt->CancelFiscalDoc(false); });
    KestorFPrt->FeedAndCut(5, true);
    Printed();
}

void TMainForm::FiscalRefundButtonClick(QObject*) {
    KestorFPrt->OpenFiscalDoc(motRefund);
    FillDocument(
        [this] {
            AddFiscalDocHead();
            KestorFPrt->AddCustom(Goods, 0, 0, 8);
            KestorFPrt->AddItem(mitItem, Rub(20000), false, 7, 555, 0, 2, 0, 0, Pieces, 0, 0, 9, 0);
            KestorFPrt->AddTotal(0, 0, 10, 0);
            if (KestorFPrt->EcrModel() == mem207_1FMD) KestorFPrt->AddRegNumber(0, 0, 11);
            KestorFPrt->CloseFiscalDoc();
        },
        [this] { KestorFPrt->CancelFiscalDoc(false); });
    KestorFPrt->FeedAndCut(5, true);
    Printed();
}

void TMainForm::FiscalCashButtonClick(QObject*) {
    KestorFPrt->OpenFiscalDoc(motCashIn);
    FillDocument(
        [this] {
            AddFiscalDocHead();
            KestorFPrt->AddItem(mitItem, Rub(1000000), false, 0, 0, 0, 0, 0, 0, {}, 0, 0, 8, 0);
            KestorFPrt->AddTotal(0, 0, 9, 0);
            if (KestorFPrt->EcrModel() == mem207_1FMD) KestorFPrt->AddRegNumber(0, 0, 10);
            KestorFPrt->CloseFiscalDoc();
        },
        [this] { KestorFPrt->CancelFiscalDoc(false); });
    KestorFPrt->FeedAndCut(5, true);
    Printed();
}

// -- Non-fiscal printing: one text in twelve parts; generation 1 has no cutter.

void TMainForm::NoFiscalButtonClick(QObject*) {
    KestorFPrt->PrintNonFiscal(u"Нефискальный документ открыт!\r\n", true, false);
    for (int i = 0; i < 10; ++i)
        KestorFPrt->PrintNonFiscal(u"Нефискальный документ!\r\n", false, false);
    KestorFPrt->PrintNonFiscal(u"Нефискальный документ закрыт!\r\n", false, true);
    if (KestorFPrt->Generation() >= 2) KestorFPrt->FeedAndCut(10, true);
    Printed();
}

// -- Services

// The register's clock knows no time zone, so the zone ("t") of the
// locale's long time format is left out, quoted text kept.
QString TMainForm::EcrDateTimeText(TKestDateTime Value) {
    const TKestDateTimeParts parts = kest::SplitDateTime(Value);
    const QLocale locale;
    QString text = locale.toString(QDate(parts.Year, parts.Month, parts.Day), QLocale::ShortFormat);
    const QTime time(parts.Hour, parts.Minute, parts.Second, parts.MSec);
    if (time == QTime(0, 0)) return text;
    QString format;
    bool quoted = false;
    for (const QChar c : locale.timeFormat(QLocale::LongFormat)) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (quoted || c != QLatin1Char('t')) format += c;
    }
    return text + QLatin1Char(' ') + locale.toString(time, format.trimmed());
}

QString TMainForm::AmountText(TKestCurrency Value) {
    const int64_t raw = Value.Raw();
    const uint64_t magnitude = raw < 0 ? 0 - static_cast<uint64_t>(raw) : raw;
    QString text = QString::number(magnitude / TKestCurrency::Scale);
    QString fraction =
        QStringLiteral("%1").arg(magnitude % TKestCurrency::Scale, 4, 10, QLatin1Char('0'));
    while (fraction.endsWith(QLatin1Char('0')))
        fraction.chop(1);
    if (!fraction.isEmpty()) text += QLocale().decimalPoint() + fraction;
    return raw < 0 ? QLocale().negativeSign() + text : text;
}

void TMainForm::DateTimeButtonClick(QObject*) {
    const TKestDateTime now = KestorFPrt->QueryEcrDateTime();
    InfoLabel->setText(QStringLiteral("Дата / время ККМ: ") + EcrDateTimeText(now));
}

void TMainForm::FirmwareInfoButtonClick(QObject*) {
    KestorFPrt->QueryFirmwareInfo();
    InfoLabel->setText(QStringLiteral("ККМ: ") + FromU16(KestorFPrt->ModelName()) +
                       QLatin1Char(' ') + FromU16(KestorFPrt->FirmwareVersion()) +
                       QStringLiteral(" №") + FromU16(KestorFPrt->SerialNumber()));
}

// Always a fresh reading, never the snapshot of an earlier one.
void TMainForm::QueryCounterButtonClick(QObject*) {
    const int number = CounterUpDown->Position();
    const TKestCurrency sum = KestorFPrt->QueryCounter(number, false);
    InfoLabel->setText(QStringLiteral("Счетчик №") + QString::number(number) +
                       QStringLiteral(": сумма = ") + AmountText(sum) +
                       QStringLiteral(" кол-во = ") + QString::number(KestorFPrt->CounterCount()));
}

void TMainForm::ChangeBaudButtonClick(QObject*) {
    if (const auto rate = BaudRateOf(BaudRateCombo->currentIndex())) KestorFPrt->SetBaudRate(*rate);
    InfoLabel->setText(QStringLiteral("Скорость изменена."));
}

void TMainForm::ChangePasswordButtonClick(QObject*) {
    KestorFPrt->SetPassword(PasswordEdit->text().toStdU16String());
    InfoLabel->setText(QStringLiteral("Пароль изменен."));
}

// -- Customer display

void TMainForm::bbtnStringClick(QObject*) {
    KestorFPrt->ShowDisplay(edString->text().toStdU16String(), true, true);
}

std::optional<std::u16string> TMainForm::HexToDisplayText(const QString& Text) {
    // Every blank ends a number, so a leading blank or two in a row leave an
    // empty one, which is refused; a final blank only ends the last number.
    // 64 characters hold at most 21 numbers.
    const QString typed = Text.left(64);
    std::u16string text;
    if (typed.isEmpty()) return text;
    QStringList numbers = typed.split(QLatin1Char(' '));
    if (numbers.back().isEmpty()) numbers.removeLast();
    for (const QString& number : numbers) {
        if (number.size() != 2) return std::nullopt;
        const int high = HexDigit(number[0]), low = HexDigit(number[1]);
        if (high < 0 || low < 0) return std::nullopt;
        text += FromCp1251(static_cast<uint8_t>(high * 16 + low));
    }
    // The text ends at its first byte 00.
    return text.substr(0, text.find(u'\0'));
}

void TMainForm::bbtnHEXClick(QObject*) {
    const std::optional<std::u16string> text = HexToDisplayText(edHEX->text());
    if (!text) {
        kest::app::MessageBox()(this, QMessageBox::NoIcon, kest::app::Title(),
                                QStringLiteral("Неправильный формат числа?!"), QMessageBox::Ok);
        return;
    }
    KestorFPrt->ShowDisplay(*text, true, true);
}
