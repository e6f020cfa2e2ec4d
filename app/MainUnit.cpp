#include "MainUnit.h"

#include <QAbstractButton>
#include <QFont>
#include <QFontInfo>
#include <QScreen>
#include <iterator>

#include "Application.h"

namespace {

QString FromU16(const std::u16string& Text) {
    return QString::fromStdU16String(Text);
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
    Bind(FirmwareInfoButton, &TMainForm::FirmwareInfoButtonClick);
    Bind(ChangeBaudButton, &TMainForm::ChangeBaudButtonClick);
    Bind(ChangePasswordButton, &TMainForm::ChangePasswordButtonClick);
    FormCreate();
}

void TMainForm::Bind(QAbstractButton* Button, TClickHandler Handler) {
    connect(Button, &QAbstractButton::clicked, this,
            [this, Button, Handler] { kest::app::Guard(this, [&] { (this->*Handler)(Button); }); });
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

// -- Services

void TMainForm::FirmwareInfoButtonClick(QObject*) {
    KestorFPrt->QueryFirmwareInfo();
    InfoLabel->setText(QStringLiteral("ККМ: ") + FromU16(KestorFPrt->ModelName()) +
                       QLatin1Char(' ') + FromU16(KestorFPrt->FirmwareVersion()) +
                       QStringLiteral(" №") + FromU16(KestorFPrt->SerialNumber()));
}

void TMainForm::ChangeBaudButtonClick(QObject*) {
    if (const auto rate = BaudRateOf(BaudRateCombo->currentIndex())) KestorFPrt->SetBaudRate(*rate);
    InfoLabel->setText(QStringLiteral("Скорость изменена."));
}

void TMainForm::ChangePasswordButtonClick(QObject*) {
    KestorFPrt->SetPassword(PasswordEdit->text().toStdU16String());
    InfoLabel->setText(QStringLiteral("Пароль изменен."));
}
