// The test window: one status control, the connection group and one button
// per register function. Every handler calls the control with fixed sample
// values on the window's thread and reports success in InfoLabel; whatever
// it raises is shown by the application's standard error box.
#pragma once

#include <QWidget>
#include <optional>

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
    void FirmwareInfoButtonClick(QObject* Sender);
    void ChangeBaudButtonClick(QObject* Sender);
    void ChangePasswordButtonClick(QObject* Sender);

    // The line speed of a BaudRateCombo item; none for any other index.
    static std::optional<int> BaudRateOf(int Index);

private:
    using TClickHandler = void (TMainForm::*)(QObject* Sender);
    // Binds a button's click to a handler, under the standard error box.
    void Bind(QAbstractButton* Button, TClickHandler Handler);
};
