// The test window: one status control, the connection group and one button
// per register function. Every handler calls the control with fixed sample
// values on the window's thread and reports success in InfoLabel; whatever
// it raises is shown by the application's standard error box.
#pragma once

#include <QWidget>
#include <optional>
#include <string>

#include "ui_MainUnit.h"

class QAbstractButton;

class TMainForm : public QWidget, public Ui::TMainForm {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* Parent = nullptr);

    // -- Handlers, by the events they are bound to.
    void FormCreate();
    void KestorFPrtStatusUpdate(TKestorFPrtCtrl& Sender);
    void KestorFPrtDeviceError(TKestorFPrtCtrl& Sender);
    void ConnOpenButtonClick(QObject* Sender);
    void ConnCloseButtonClick(QObject* Sender);
    void DayOpenButtonClick(QObject* Sender);
    void XReportButtonClick(QObject* Sender);
    void ZReportButtonClick(QObject* Sender);
    void RecSaleButtonClick(QObject* Sender);
    void RecRefundButtonClick(QObject* Sender);
    void RecCashButtonClick(QObject* Sender);
    void CustomSaleButtonClick(QObject* Sender);
    void CustomRefundButtonClick(QObject* Sender);
    void CustomCashButtonClick(QObject* Sender);
    void FiscalSaleButtonClick(QObject* Sender);
    void FiscalRefundButtonClick(QObject* Sender);
    void FiscalCashButtonClick(QObject* Sender);
    void NoFiscalButtonClick(QObject* Sender);
    void DateTimeButtonClick(QObject* Sender);
    void FirmwareInfoButtonClick(QObject* Sender);
    void QueryCounterButtonClick(QObject* Sender);
    void ChangeBaudButtonClick(QObject* Sender);
    void ChangePasswordButtonClick(QObject* Sender);
    void bbtnStringClick(QObject* Sender);
    void bbtnHEXClick(QObject* Sender);

    // The line speed of a BaudRateCombo item; none for any other index.
    static std::optional<int> BaudRateOf(int Index);
    // The customer-display text typed as hexadecimal bytes separated by
    // single blanks (only the first 64 characters count), read as Windows-1251
    // text up to the first byte 00; none when a number is not two hex digits.
    static std::optional<std::u16string> HexToDisplayText(const QString& Text);
    // The register's clock as the InfoLabel shows it: the locale's short date
    // and long time without a zone, the time left out at midnight exactly.
    static QString EcrDateTimeText(TKestDateTime Value);
    // An amount in the locale's decimal notation, without trailing zeros in
    // the fraction or a thousands separator: "1145,6".
    static QString AmountText(TKestCurrency Value);

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    using TClickHandler = void (TMainForm::*)(QObject* Sender);
    // Binds a button's click to a handler, under the standard error box.
    void Bind(QAbstractButton* Button, TClickHandler Handler);

    // The heads of the sample documents: the custom documents' (with the
    // receipt number unless it is the cash document) and the composite ones'.
    void AddCustomDocHead(bool ReceiptNumber);
    void AddFiscalDocHead();
    void Printed();
};
