// The test window against the register emulator: what its buttons send and
// print (read off the emulator's paper tape), what the status line and the
// shift label show, and the boxes it asks and warns with, read instead of
// shown. With KESTOR_SCREENSHOTS naming a directory, the window is saved
// there as PNG.
#include <QDir>
#include <QTest>
#include <sstream>

#include "Application.h"
#include "KestorEmu.h"
#include "MainUnit.h"
#include "Session.h"

namespace {

const QString Interrupted = QStringLiteral("Ошибка ККМ:\nоперация прервана пользователем (10)");
const QString Retry = QStringLiteral("Ошибка принтера. Повторить попытку?");
using TBoxKind = std::tuple<QMessageBox::Icon, QString, QMessageBox::StandardButtons>;

// The window on its port 8 ("COM8"), which names a fresh emulator's device,
// connected unless told otherwise. Its message boxes are not shown: their
// texts and the last one's kind are recorded; the first Yes of them are
// answered Yes, the others No.
struct TWindow {
    std::mutex PaperLock;
    std::string Paper;  // written on the emulator's thread
    std::unique_ptr<kest::emu::TEmulator> Emu;
    TMainForm Form;
    QStringList Texts;
    TBoxKind Last;
    int Yes = 0;
    kest::app::TMessageBoxFunc Showing = std::exchange(
        kest::app::MessageBox(), [this](QWidget*, QMessageBox::Icon Icon, const QString& Caption,
                                        const QString& Text, QMessageBox::StandardButtons Buttons) {
            Texts << Text;
            Last = {Icon, Caption, Buttons};
            return Yes-- > 0 ? QMessageBox::Yes : QMessageBox::No;
        });

    explicit TWindow(kest::emu::TConfig Config = {}, bool Open = true) {
        Config.Tape = [this](std::string_view Text) {
            std::lock_guard lock(PaperLock);
            Paper += Text;
        };
        Emu = std::make_unique<kest::emu::TEmulator>(Config);
        setenv("KESTOR_COM8", Emu->DevicePath().c_str(), 1);
        Form.PortCombo->setCurrentIndex(7);
        if (Open) Form.ConnOpenButton->click();
    }
    ~TWindow() { kest::app::MessageBox() = Showing; }
    void Click(const char* Button) {
        Form.InfoLabel->clear();
        Form.findChild<QAbstractButton*>(QLatin1String(Button))->click();
    }
    // The lines printed since the last call, blanks squeezed.
    QStringList Take() {
        std::lock_guard lock(PaperLock);
        QStringList lines;
        for (const QString& line : QString::fromStdString(std::exchange(Paper, {})).split('\n'))
            if (!line.simplified().isEmpty()) lines << line.simplified();
        return lines;
    }
    // How many request frames of command Code the register received.
    size_t Frames(char Code) const {
        return static_cast<size_t>(std::ranges::count_if(
            Emu->Received(),
            [&](const std::string& F) { return F.size() > 2 && F[0] == '\x02' && F[1] == Code; }));
    }
};

// Whether Wanted start lines of Lines, in this order, others between.
bool InOrder(const QStringList& Lines, const QStringList& Wanted) {
    auto line = Lines.begin();
    for (const QString& want : Wanted) {
        line = std::find_if(line, Lines.end(), [&](auto& l) { return l.startsWith(want); });
        if (line == Lines.end()) return false;
        ++line;
    }
    return true;
}

// A button on a register: the starts of the lines it prints, in this order
// ("|" between), and the feeds and cuts after; or the box's text where the
// driver refuses the sample. Before is pressed first.
struct TPress {
    const char* Button;
    TKestEcrModel Model;
    const char* Firmware;
    size_t Cuts;
    const char *Tape, *Refusal = "", *Before = "";
};

}  // namespace

Q_DECLARE_METATYPE(TPress)

class TMainFormTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        kest::app::Initialize();
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    }

    // Port, speed and password go to the control, then it opens; the shift
    // label follows the register, and is empty without one. Failures reach
    // the standard error box with "." added, the status line keeps its text;
    // Enter presses the focused button. A malformed display number shows the
    // parser's box and reaches not even the driver's connection check;
    // well-formed ones go to the display. The information and line buttons;
    // a stopped printer is asked about and retried. The counter's spin
    // buttons step its number up to 999; the edit may go before them, which
    // then keep their own position.
    void StatusLineAndBoxes() {
        TWindow at({.Password = "1234", .BaudRate = 115200}, false);
        QVERIFY(!at.Form.bbtnHEX->icon().isNull());  // the library's resources are linked in
        at.Form.edHEX->setText(QStringLiteral("1b 4"));
        at.Click("bbtnHEX");
        QCOMPARE(at.Last, TBoxKind(QMessageBox::NoIcon, "Kestor207F", QMessageBox::Ok));
        QCOMPARE(at.Form.KestorFPrt->ErrCode(), 0);
        QTest::keyClick(at.Form.ConnCloseButton, Qt::Key_Return);
        QCOMPARE(at.Last, TBoxKind(QMessageBox::Critical, "Kestor207F", QMessageBox::Ok));
        at.Form.BaudRateCombo->setCurrentIndex(3);
        at.Form.PasswordEdit->setText(QStringLiteral("1234"));
        at.Click("ConnOpenButton");
        QVERIFY(at.Form.KestorFPrt->BaudRate() == 115200 && at.Form.KestorFPrt->Active());
        QCOMPARE(at.Form.DayStateLabel->text(), QStringLiteral("Смена: закрыта"));
        QTest::keyClick(at.Form.ConnOpenButton, Qt::Key_Enter);  // PortNum refuses while open
        QCOMPARE(at.Texts,
                 (QStringList{"Неправильный формат числа?!", "Соединение с ККМ не открыто.",
                              "Соединение с ККМ не закрыто."}));
        QCOMPARE(at.Form.InfoLabel->text(), QStringLiteral("Соединение открыто."));
        at.Form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&at.Form));
        if (const QString dir = qEnvironmentVariable("KESTOR_SCREENSHOTS"); !dir.isEmpty())
            QVERIFY(at.Form.grab().save(QDir(dir).filePath("window-open.png")));

        at.Form.edString->setText(QStringLiteral("Привет"));
        at.Form.edHEX->setText(QStringLiteral("1b 40"));
        at.Click("bbtnString");
        const size_t shown = at.Frames('^');
        at.Click("bbtnHEX");
        QVERIFY(shown > 0 && at.Frames('^') > shown);

        at.Form.CounterEdit->setText(QStringLiteral("998"));
        QTest::keyClick(at.Form.CounterEdit, Qt::Key_Up);
        QTest::keyClick(at.Form.CounterEdit, Qt::Key_Up);
        QCOMPARE(at.Form.CounterEdit->text(), QStringLiteral("999"));
        at.Emu->SetNotices(1);
        at.Yes = 1;
        at.Click("FirmwareInfoButton");
        QCOMPARE(at.Texts.value(3), Retry);
        QCOMPARE(at.Last,
                 TBoxKind(QMessageBox::Question, "Kestor207F", QMessageBox::Yes | QMessageBox::No));
        QCOMPARE(at.Form.InfoLabel->text(),
                 QStringLiteral("ККМ: КЕСТОР-207.1Ф 1.0 VLS B2.5 №0000001"));
        at.Click("DateTimeButton");
        QVERIFY(at.Form.InfoLabel->text().startsWith(QStringLiteral("Дата / время ККМ: ")));
        at.Form.CounterEdit->setText(QStringLiteral("3"));
        at.Click("QueryCounterButton");
        QCOMPARE(
            at.Form.InfoLabel->text(),
            "Счетчик №3: сумма = " + TMainForm::AmountText(at.Form.KestorFPrt->QueryCounter(3)) +
                " кол-во = " + QString::number(at.Form.KestorFPrt->CounterCount()));
        at.Form.BaudRateCombo->setCurrentIndex(1);
        at.Click("ChangeBaudButton");
        QCOMPARE(at.Form.InfoLabel->text(), QStringLiteral("Скорость изменена."));
        QCOMPARE(at.Emu->BaudRate(), 19200);
        at.Form.PasswordEdit->setText(QStringLiteral("4321"));
        at.Click("ChangePasswordButton");
        QCOMPARE(at.Form.InfoLabel->text(), QStringLiteral("Пароль изменен."));
        QCOMPARE(at.Emu->Password(), "4321");

        at.Click("DayOpenButton");
        QCOMPARE(at.Form.DayStateLabel->text(), QStringLiteral("Смена: открыта"));
        at.Click("ConnCloseButton");
        QCOMPARE(at.Form.InfoLabel->text(), QStringLiteral("Соединение закрыто."));
        QCOMPARE(at.Form.DayStateLabel->text(), QString());
        QCOMPARE(at.Texts.size(), 4);
        at.Emu->Stop();
        at.Form.KestorFPrt->SetInternalTimeout(150);  // the silence is the point here
        at.Click("ConnOpenButton");
        QCOMPARE(at.Texts.value(4), QStringLiteral("ККМ не отвечает."));
        QCOMPARE(at.Form.InfoLabel->text(), QString());
        QVERIFY(!at.Form.KestorFPrt->Active());

        delete at.Form.CounterEdit;
        QCOMPARE(at.Form.CounterUpDown->Position(), 999);
        at.Form.CounterUpDown->SetPosition(5);
        QCOMPARE(at.Form.CounterUpDown->Position(), 5);
        // "." follows a last character that sorts after it.
        const QStringList periods = {"",      "",      "Готово.", "Готово.",
                                     "Стоп!", "Стоп!", "код 10",  "код 10."};
        for (qsizetype i = 0; i < periods.size(); i += 2)
            QCOMPARE(kest::app::AddPeriod(periods[i]), periods[i + 1]);
    }

    // Each button that prints, read off the paper. Where the driver refuses
    // a sample, the document is cancelled, nothing is printed and the box
    // says why.
    void Buttons_data() {
        QTest::addColumn<TPress>("press");
        const char* nonFiscal =
            "Нефискальный документ открыт!|Нефискальный документ!|Нефискальный документ закрыт!";
        // Generation 1 has no cutter; the Z report follows a sale.
        const TPress rows[] = {
            {"RecSaleButton", mem207_1K, "", 0,
             "ПРОДАЖА|ОТД 07 КОД 555|5.24 x 200.56 =1050.93|СКИДКА 3.00% =-31.53|"
             "ИТОГ =1119.40|СДАЧА =8880.60"},
            {"RecSaleButton", mem207_1F, "", 0, "",
             "Операция не поддерживается используемой ККМ:\nпроведение стандартного чека."},
            {"RecRefundButton", mem207_1K, "", 0,
             "ВОЗВРАТ ПРОДАЖИ|5 x 200.56 =1002.80|НАДБАВКА 1.00% =+1.00|ИТОГ =1103.80"},
            {"RecCashButton", mem207_1K, "", 0, "ВНЕСЕНИЕ|10000.00 =10000.00|ИТОГ =10000.00"},
            {"CustomSaleButton", mem207_1F, "1.0", 0, "СЧЕТ 0123456789|100.00 +10.00% =110.00|ФП"},
            {"CustomSaleButton", mem207_1K, "", 0, "Карта №12345 =110.00|ФП|ЭКЛЗ КПК"},
            {"CustomRefundButton", mem207_1F, "2.0", 0, "",
             "Неверное значение аргумента:\nвид оплаты не допустим для открытой операции."},
            {"CustomRefundButton", mem207_1K, "", 0, "2 x 100.00 =200.00|ИТОГ =200.00|ФП|ЭКЛЗ КПК"},
            {"CustomCashButton", mem207_1F, "2.0", 0, "СЧЕТ 0123456789|10000.00 =10000.00|ФП"},
            {"CustomCashButton", mem207_1K, "", 0, "",
             "Операция не допустима в контексте открытого типа документа, вида финансовой "
             "операции или типа оплаты:\nдобавление данных ЭКЛЗ."},
            {"FiscalSaleButton", mem207_1F, "", 1,
             "200.89 =200.89|2 шт. x 200.00 =400.00|НАЛИЧНЫМИ 1000.00 КАРТОЙ =0.00|СДАЧА "
             "=399.11|ФП"},
            {"FiscalSaleButton", mem207_1FMD, "1.0 MD B3.0", 1, "СДАЧА =399.11|РН ККМ|ФП"},
            {"FiscalRefundButton", mem207_1F, "", 1, "2 шт. x 200.00 =400.00|ИТОГ =400.00|ФП"},
            {"FiscalCashButton", memPCK, "", 1, "10000.00 =10000.00|ИТОГ =10000.00|ФП"},
            {"DayOpenButton", mem207_1K, "", 0, "ОТКРЫТИЕ СМЕНЫ|ОПЕРАТОР 05 Кассир Тестов"},
            {"XReportButton", mem207_1K, "", 0, "X-ОТЧЕТ 0001"},
            {"ZReportButton", mem207_1F, "2.0", 0, "Z-ОТЧЕТ|ПРОДАЖИ 1 =1119.40", "",
             "RecSaleButton"},
            {"NoFiscalButton", mem207_1F, "1.0", 0, nonFiscal},
            {"NoFiscalButton", mem207_1K, "", 1, nonFiscal},
        };
        for (const TPress& press : rows)
            QTest::addRow("%s %d %s", press.Button, press.Model, press.Firmware) << press;
    }
    void Buttons() {
        QFETCH(TPress, press);
        TWindow at({.Model = press.Model, .Firmware = press.Firmware});
        if (*press.Before) at.Click(press.Before);
        at.Take();
        at.Click(press.Button);
        const QStringList tape = QString::fromUtf8(press.Tape).split('|', Qt::SkipEmptyParts);
        const QStringList printed = at.Take();
        QVERIFY2(*press.Refusal ? printed.isEmpty() : InOrder(printed, tape),
                 qPrintable(printed.join('\n')));
        QCOMPARE(at.Form.KestorFPrt->GetDocStatus(), mdsClosed);  // closed, or cancelled
        QCOMPARE(at.Texts, *press.Refusal ? QStringList{press.Refusal} : QStringList());
        QCOMPARE(at.Form.InfoLabel->text(), *press.Refusal ? QString() : "Документ распечатан.");
        QCOMPARE(at.Frames('R'), press.Cuts);
        // A composite document is closed once, with no cancel after it.
        if (QByteArray(press.Button).startsWith("Fiscal")) QCOMPARE(at.Frames('S'), 1u);
    }

    // The printer stops while the document closes and the question is answered
    // No: the close ends with error 10, the document is cancelled (in the
    // driver alone: it reaches the register whole) and nothing follows, no
    // feed. The next document prints.
    void CancelAfterFailingClose_data() {
        QTest::addColumn<TPress>("press");
        QTest::newRow("receipt") << TPress{"RecSaleButton", mem207_1K, "", 0, ""};
        QTest::newRow("custom document") << TPress{"CustomSaleButton", mem207_1F, "2.0", 0, ""};
        QTest::newRow("composite document") << TPress{"FiscalSaleButton", mem207_1F, "", 0, ""};
    }
    void CancelAfterFailingClose() {
        QFETCH(TPress, press);
        TWindow at({.Model = press.Model, .Firmware = press.Firmware});
        at.Emu->SetNotices(1);
        at.Click(press.Button);
        QCOMPARE(at.Texts, (QStringList{Retry, Interrupted}));
        QCOMPARE(at.Form.InfoLabel->text(), QString());
        QCOMPARE(at.Form.KestorFPrt->GetDocStatus(), mdsClosed);
        QVERIFY(!InOrder(at.Take(), {"ИТОГ"}));
        QCOMPARE(at.Frames('R'), 0u);
        at.Click(press.Button);
        QVERIFY(InOrder(at.Take(), {"ИТОГ"}));
        QCOMPARE(at.Texts.count(Interrupted), 1);
    }

    // The clock, amounts, and the customer display's hex (none where a
    // number is not two hex digits) as the window reads and shows them.
    void Formats() {
        QCOMPARE(TMainForm::EcrDateTimeText(kest::MakeDateTime({2026, 3, 15, 0, 1})),
                 QStringLiteral("15.03.2026 00:01:00"));
        QCOMPARE(TMainForm::EcrDateTimeText(kest::MakeDateTime({2026, 3, 15})),
                 QStringLiteral("15.03.2026"));
        const std::pair<int64_t, const char*> amounts[] = {
            {1, "0,0001"}, {-315300, "-31,53"}, {12345675000, "1234567,5"}, {0, "0"}};
        for (const auto& [raw, text] : amounts)
            QCOMPARE(TMainForm::AmountText(TKestCurrency::FromRaw(raw)), QString::fromUtf8(text));

        const auto hex = [](const QString& Typed) {
            return TMainForm::HexToDisplayText(Typed).value_or(u"none");
        };
        QCOMPARE(hex(""), u"");
        QCOMPARE(hex("1b 4A 00 42"), u"\x1BJ");  // 00 ends the text
        QCOMPARE(hex("c0 ff a8 b8 b9 88"), u"АяЁё№€");
        QCOMPARE(hex(QStringLiteral("41 ").repeated(21)), std::u16string(21, u'A'));
        // 22 numbers need 65 characters: the 64th cuts the last one short.
        for (const QString& typed :
             QStringList{"1b  40", "1", "G1", " 1b", "414", QStringLiteral("41 ").repeated(22)})
            QVERIFY2(!TMainForm::HexToDisplayText(typed), qPrintable(typed));
    }

    // The demo's session: every step told, a question answered Yes, a failing
    // step reported and the session going on; the application's boxes back after.
    void Session() {
        TWindow at({.Model = mem207_1K}, false);
        at.Emu->SetNotices(1);
        const kest::app::TSessionStep steps[] = {{"Открыть", at.Form.ConnOpenButton},
                                                 {"продажа", at.Form.RecSaleButton},
                                                 {"Закрыть", at.Form.ConnCloseButton},
                                                 {"Закрыть", at.Form.ConnCloseButton}};
        std::ostringstream out;
        QCOMPARE(kest::app::RunSession(at.Form, steps, out), 1);
        QCOMPARE(QString::fromStdString(out.str()),
                 QStringLiteral("     question: Ошибка принтера. Повторить попытку? - Yes\n"
                                "ok   Открыть: Соединение открыто.\n"
                                "ok   продажа: Документ распечатан.\n"
                                "ok   Закрыть: Соединение закрыто.\n"
                                "FAIL Закрыть: Соединение с ККМ не открыто.\n"));
        at.Form.ConnCloseButton->click();  // none of the session's boxes came here
        QCOMPARE(at.Texts.size(), 1);
    }
};

QTEST_MAIN(TMainFormTest)
#include "MainFormTest.moc"
