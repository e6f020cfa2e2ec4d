// The test window: its layout, the connection group, the shift-state label,
// the retry question and the standard error box, against the register
// emulator. The message boxes are read instead of shown. With
// KESTOR_SCREENSHOTS naming a directory, the window is saved there as PNG.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "FormFixture.h"

using kest::emu::TConfig;
using kest::emu::TEmulator;
using namespace kest::app::test;

class TMainFormTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { kest::app::Initialize(); }

    void Layout() {
        TMainForm form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Тест Kestor207.1Ф"));
        QCOMPARE(form.size(), QSize(368, 552));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(kest::app::Title(), QStringLiteral("Kestor207F"));

        struct Row {
            const char* Name;
            QRect Geometry;
            const char* Text;
        };
        const Row rows[] = {
            {"KestorFPrt", {8, 8, 169, 161}, nullptr},
            {"ConnGroupBox", {184, 8, 177, 137}, "Соединение:"},
            {"PortLabel", {8, 24, 28, 13}, "Порт:"},
            {"BaudRateLabel", {8, 52, 51, 13}, "Скорость:"},
            {"PasswordLabel", {8, 80, 41, 13}, "Пароль:"},
            {"PortCombo", {80, 20, 81, 21}, "COM1"},
            {"BaudRateCombo", {80, 48, 81, 21}, "9600"},
            {"PasswordEdit", {80, 76, 81, 21}, "5862"},
            {"ConnOpenButton", {8, 104, 75, 25}, "Открыть"},
            {"ConnCloseButton", {88, 104, 75, 25}, "Закрыть"},
            {"DayStateLabel", {184, 152, 177, 13}, ""},
            {"DayOpenButton", {8, 176, 113, 25}, "Открыть смену"},
            {"XReportButton", {128, 176, 113, 25}, "X-Отчет"},
            {"ZReportButton", {248, 176, 113, 25}, "Z-Отчет"},
            {"ReceiptLabel", {8, 214, 90, 13}, "Стандартный чек:"},
            {"RecSaleButton", {128, 208, 73, 25}, "продажа"},
            {"RecRefundButton", {208, 208, 73, 25}, "возврат"},
            {"RecCashButton", {288, 208, 73, 25}, "внесение"},
            {"CustomDocLabel", {8, 246, 95, 13}, "Произв. документ:"},
            {"CustomSaleButton", {128, 240, 73, 25}, "продажа"},
            {"CustomRefundButton", {208, 240, 73, 25}, "возврат"},
            {"CustomCashButton", {288, 240, 73, 25}, "выплата"},
            {"FiscalDocLabel", {8, 278, 77, 13}, "Составной чек:"},
            {"FiscalSaleButton", {128, 272, 73, 25}, "продажа"},
            {"FiscalRefundButton", {208, 272, 73, 25}, "возврат"},
            {"FiscalCashButton", {288, 272, 73, 25}, "внесение"},
            {"NoFiscalButton", {8, 304, 353, 25}, "Печать нефискального документа"},
            {"DateTimeButton", {8, 336, 173, 25}, "Считать дату / время"},
            {"FirmwareInfoButton", {188, 336, 173, 25}, "Считать версию ПО"},
            {"CounterLabel", {8, 374, 62, 13}, "№ счетчика:"},
            {"QueryCounterButton", {188, 368, 173, 25}, "Считать счетчик"},
            {"CounterEdit", {104, 370, 61, 21}, "0"},
            {"CounterUpDown", {165, 370, 15, 21}, nullptr},
            {"ChangeBaudButton", {8, 400, 173, 25}, "Сменить скорость передачи"},
            {"ChangePasswordButton", {188, 400, 173, 25}, "Сменить пароль на связь"},
            {"gbDisplay", {8, 429, 352, 106}, "Дисплей покупателя"},
            {"lblString", {79, 15, 97, 13}, "Текстовые данные"},
            {"edString", {7, 32, 232, 21}, ""},
            {"bbtnString", {248, 32, 95, 21}, "Передать"},
            {"lblHEX", {32, 57, 183, 13}, "Команды -> HEX-данные ч/з пробел"},
            {"edHEX", {8, 74, 232, 21}, ""},
            {"bbtnHEX", {249, 74, 95, 21}, "Передать"},
            {"InfoLabel", {0, 539, 368, 13}, ""},
        };
        for (const Row& row : rows) {
            const auto* widget = form.findChild<QWidget*>(QLatin1String(row.Name));
            QVERIFY2(widget, row.Name);
            QCOMPARE(widget->geometry(), row.Geometry);
            if (!row.Text) continue;
            QString text;
            if (const auto* w = qobject_cast<const QLabel*>(widget)) text = w->text();
            if (const auto* w = qobject_cast<const QAbstractButton*>(widget)) text = w->text();
            if (const auto* w = qobject_cast<const QLineEdit*>(widget)) text = w->text();
            if (const auto* w = qobject_cast<const QComboBox*>(widget)) text = w->currentText();
            if (const auto* w = qobject_cast<const QGroupBox*>(widget)) text = w->title();
            QCOMPARE(text, QString::fromUtf8(row.Text));
        }
        QCOMPARE(form.PortCombo->count(), 8);
        QCOMPARE(form.PortCombo->itemText(7), QStringLiteral("COM8"));
        QCOMPARE(form.BaudRateCombo->itemText(3), QStringLiteral("115200"));
        QCOMPARE(form.PasswordEdit->maxLength(), 4);
        QVERIFY(!form.bbtnHEX->icon().isNull());
        QCOMPARE(form.InfoLabel->palette().color(QPalette::WindowText), QColor(128, 0, 0));

        // The control got its description's values and shows itself closed.
        QVERIFY(!form.KestorFPrt->isHidden());
        QVERIFY(!form.KestorFPrt->Active());
        QCOMPARE(form.KestorFPrt->Password(), u"5862");

        // Tab order: the connection group first, then the buttons by rows.
        const char* order[] = {"PortCombo",      "BaudRateCombo",   "PasswordEdit",
                               "ConnOpenButton", "ConnCloseButton", "DayOpenButton",
                               "XReportButton",  "ZReportButton",   "RecSaleButton"};
        QWidget* at = form.PortCombo;
        for (const char* name : order) {
            QCOMPARE(at->objectName(), QLatin1String(name));
            do
                at = at->nextInFocusChain();
            while (at->focusPolicy() == Qt::NoFocus);
        }
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        SaveShot(form, "window-closed.png");
        SaveShot(*form.KestorFPrt, "control-closed.png");
    }

    void CounterSpin() {
        TMainForm form;
        QCOMPARE(form.CounterUpDown->Position(), 0);
        form.CounterEdit->setText(QStringLiteral("998"));
        QTest::keyClick(form.CounterEdit, Qt::Key_Up);
        QTest::keyClick(form.CounterEdit, Qt::Key_Up);  // no wrap-around
        QCOMPARE(form.CounterEdit->text(), QStringLiteral("999"));
        QCOMPARE(form.CounterUpDown->Position(), 999);

        // The edit may go before its spin buttons, which then keep their own
        // position (the events of its destruction are no key presses).
        delete form.CounterEdit;
        QCOMPARE(form.CounterUpDown->Position(), 999);
        form.CounterUpDown->SetPosition(5);
        QCOMPARE(form.CounterUpDown->Position(), 5);
    }

    // Port, speed and password go to the control in this order, then Open.
    void OpenAndClose() {
        TConfig config = Register();
        config.BaudRate = 115200;
        config.Password = "1234";
        TEmulator emu(config);
        TMainForm form;
        TBoxes boxes;
        UsePort8(form, emu);
        form.BaudRateCombo->setCurrentIndex(3);
        form.PasswordEdit->setText(QStringLiteral("1234"));
        form.ConnOpenButton->click();
        QCOMPARE(boxes.Texts(), QStringList());
        QCOMPARE(form.KestorFPrt->PortNum(), 8);
        QCOMPARE(form.KestorFPrt->BaudRate(), 115200);
        QCOMPARE(form.KestorFPrt->Password(), u"1234");
        QVERIFY(form.KestorFPrt->Active());
        QCOMPARE(form.InfoLabel->text(), QStringLiteral("Соединение открыто."));
        QCOMPARE(form.DayStateLabel->text(), QStringLiteral("Смена: закрыта"));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        SaveShot(form, "window-open.png");
        SaveShot(*form.KestorFPrt, "control-open.png");

        form.ConnCloseButton->click();
        QCOMPARE(boxes.Texts(), QStringList());
        QVERIFY(!form.KestorFPrt->Active());
        QCOMPARE(form.InfoLabel->text(), QStringLiteral("Соединение закрыто."));
        QCOMPARE(form.DayStateLabel->text(), QString());  // nothing to tell without a register
    }

    // Failures reach the standard error box with "." added; the label keeps its text.
    void ErrorBox() {
        TEmulator emu(Register());
        TMainForm form;
        TBoxes boxes;
        UsePort8(form, emu);

        QTest::keyClick(form.ConnCloseButton, Qt::Key_Return);  // Enter presses the focused button
        QCOMPARE(boxes.Shown.size(), 1u);
        QCOMPARE(boxes.Shown[0].Text, QStringLiteral("Соединение с ККМ не открыто."));
        QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("Kestor207F"));
        QCOMPARE(boxes.Shown[0].Icon, QMessageBox::Critical);
        QCOMPARE(boxes.Shown[0].Buttons, QMessageBox::Ok);
        QCOMPARE(form.InfoLabel->text(), QString());

        form.ConnOpenButton->click();
        QTest::keyClick(form.ConnOpenButton, Qt::Key_Enter);  // PortNum refuses while connected
        QCOMPARE(boxes.Shown.size(), 2u);
        QCOMPARE(boxes.Shown[1].Text, QStringLiteral("Соединение с ККМ не закрыто."));
        QVERIFY(form.KestorFPrt->Active());

        // A register that does not answer.
        form.KestorFPrt->Close();
        emu.Stop();
        form.InfoLabel->clear();
        form.ConnOpenButton->click();
        QCOMPARE(boxes.Shown.size(), 3u);
        QCOMPARE(boxes.Shown[2].Text, QStringLiteral("ККМ не отвечает."));
        QCOMPARE(form.InfoLabel->text(), QString());
        QVERIFY(!form.KestorFPrt->Active());
    }

    void AddPeriod_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("letter") << "ККМ не отвечает"
                                << "ККМ не отвечает.";
        QTest::newRow("period") << "Готово."
                                << "Готово.";
        QTest::newRow("exclamation") << "Стоп!"
                                     << "Стоп!";
        QTest::newRow("question sorts after") << "Что?"
                                              << "Что?.";
        QTest::newRow("digit") << "код 10"
                               << "код 10.";
    }
    void AddPeriod() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(kest::app::AddPeriod(message), shown);
    }

    // The printer stops during a command: Yes retries and the command ends
    // well; No cancels, and the register's refusal reaches the error box.
    void PrinterErrorQuestion() {
        TEmulator emu(Register());
        TMainForm form;
        TBoxes boxes;
        UsePort8(form, emu);
        form.ConnOpenButton->click();

        emu.SetNotices(1);
        boxes.Answers = {QMessageBox::Yes};
        form.FirmwareInfoButton->click();
        QCOMPARE(boxes.Shown.size(), 1u);
        QCOMPARE(boxes.Shown[0].Text, QStringLiteral("Ошибка принтера. Повторить попытку?"));
        QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("Kestor207F"));
        QCOMPARE(boxes.Shown[0].Icon, QMessageBox::Question);
        QCOMPARE(boxes.Shown[0].Buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(form.InfoLabel->text(),
                 QStringLiteral("ККМ: КЕСТОР-207.1Ф 1.0 VLS B2.5 №0000001"));

        emu.SetNotices(1);
        form.InfoLabel->clear();
        form.FirmwareInfoButton->click();
        QCOMPARE(boxes.Shown.size(), 3u);
        QCOMPARE(boxes.Shown[2].Icon, QMessageBox::Critical);
        // ")" sorts before ".", so no period is added.
        QCOMPARE(boxes.Shown[2].Text,
                 QStringLiteral("Ошибка ККМ:\nоперация прервана пользователем (10)"));
        QCOMPARE(form.InfoLabel->text(), QString());
    }

    void SpeedAndPassword() {
        TEmulator emu(Register());
        TMainForm form;
        TBoxes boxes;
        UsePort8(form, emu);
        form.ConnOpenButton->click();
        form.BaudRateCombo->setCurrentIndex(1);
        form.ChangeBaudButton->click();
        QCOMPARE(form.InfoLabel->text(), QStringLiteral("Скорость изменена."));
        QCOMPARE(emu.BaudRate(), 19200);
        form.PasswordEdit->setText(QStringLiteral("4321"));
        form.ChangePasswordButton->click();
        QCOMPARE(form.InfoLabel->text(), QStringLiteral("Пароль изменен."));
        QCOMPARE(emu.Password(), "4321");
        QCOMPARE(boxes.Texts(), QStringList());
    }
};

QTEST_MAIN(TMainFormTest)
#include "MainFormTest.moc"
