// The buttons of the test window against the register emulator: the sample
// documents read off the paper tape, the cancel after a failing close, the
// shift, report and device-output buttons, the information buttons, the
// customer display's hex parser and the scripted session of the demo.
#include <QLocale>
#include <sstream>

#include "Commands.h"
#include "FormFixture.h"
#include "Register.h"
#include "Session.h"

using kest::emu::TConfig;
using kest::emu::TEmulator;
using namespace kest::app::test;

Q_DECLARE_METATYPE(TKestEcrModel)
Q_DECLARE_METATYPE(std::optional<std::u16string>)

namespace {

// Whether the emulator answers command Code on this register. Until it
// does, the window must show the register's refusal.
bool Knows(const TConfig& Config, char Code) {
    const kest::emu::TRegister reg(Config);
    return kest::emu::FindCommand(static_cast<uint8_t>(Code), reg.State()) != nullptr;
}

// The request frames of command Code the register received, oldest first.
std::vector<std::string> Frames(const TEmulator& Emu, char Code) {
    std::vector<std::string> frames;
    for (std::string& frame : Emu.Received())
        if (frame.size() > 2 && frame[0] == '\x02' && frame[1] == Code)
            frames.push_back(std::move(frame));
    return frames;
}

// Whether Wanted appear in Lines in this order, each as the start of a line.
bool InOrder(const QStringList& Lines, const QStringList& Wanted) {
    auto line = Lines.begin();
    for (const QString& want : Wanted) {
        line =
            std::find_if(line, Lines.end(), [&](const QString& l) { return l.startsWith(want); });
        if (line == Lines.end()) return false;
        ++line;
    }
    return true;
}

const QString Printed = QStringLiteral("Документ распечатан.");
const QString NoCommand = QStringLiteral("Ошибка ККМ:\nнет такой команды (29)");
const QString Interrupted = QStringLiteral("Ошибка ККМ:\nоперация прервана пользователем (10)");

// A window connected to a fresh register whose paper the test reads.
struct TConnected {
    TTape Paper;
    TConfig Config;
    std::unique_ptr<TEmulator> Emu;
    TMainForm Form;
    TBoxes Boxes;

    TConnected(TKestEcrModel Model, const QString& Firmware)
        : Config(Register(Model, Firmware.toStdString())) {
        Config.Tape = Paper.Sink();
        Emu = std::make_unique<TEmulator>(Config);
        UsePort8(Form, *Emu);
        Form.ConnOpenButton->click();
        Paper.Take();
    }
    void Click(const QString& Button) {
        Form.InfoLabel->clear();
        Form.findChild<QAbstractButton*>(Button)->click();
    }
};

}  // namespace

class TButtonsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        kest::app::Initialize();
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    }

    // Each sample document on registers that have it, read off the paper.
    // Where the driver refuses a sample (standard receipts on generation 3,
    // a card payment on generations 1 and 2, journal data in a cash-out),
    // the document is cancelled, nothing is printed and the box tells why.
    void Documents_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<TKestEcrModel>("model");
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<QString>("tape");  // line starts in this order, "|" between
        QTest::addColumn<QString>("refusal");
        const QString none;
        auto row = [](const char* Name, const char* Button, TKestEcrModel Model,
                      const char* Firmware, const char* Tape, const QString& Refusal) {
            QTest::newRow(Name) << Button << Model << Firmware << Tape << Refusal;
        };
        const char* receiptSale =
            "ПРОДАЖА|Какой-то товар|ОТД 07 КОД 555|5.24 x 200.56 =1050.93|СКИДКА 3.00% =-31.53|"
            "Какой-то товар|100.00 =100.00|ИТОГ =1119.40|НАЛИЧНЫМИ =10000.00|СДАЧА =8880.60";
        row("receipt sale, generation 8", "RecSaleButton", mem207_1K, "", receiptSale, none);
        row("receipt sale, generation 2", "RecSaleButton", mem207_1F, "2.0", receiptSale, none);
        row("receipt sale, generation 3", "RecSaleButton", mem207_1F, "", "",
            "Операция не поддерживается используемой ККМ:\nпроведение стандартного чека.");
        row("receipt refund", "RecRefundButton", mem207_1K, "",
            "ВОЗВРАТ ПРОДАЖИ|5 x 200.56 =1002.80|100.00 =100.00|НАДБАВКА 1.00% =+1.00|"
            "ИТОГ =1103.80|НАЛИЧНЫМИ =1103.80",
            none);
        row("receipt cash in", "RecCashButton", mem207_1K, "",
            "ВНЕСЕНИЕ|10000.00 =10000.00|ИТОГ =10000.00", none);
        const char* customSale =
            "СЧЕТ 0123456789|Какой-то товар|100.00 +10.00% =110.00|ИТОГ =110.00|"
            "Карта №12345 =110.00|ФП";
        row("custom sale, generation 1", "CustomSaleButton", mem207_1F, "1.0", customSale, none);
        row("custom sale with the journal", "CustomSaleButton", mem207_1K, "",
            "Карта №12345 =110.00|ФП|ЭКЛЗ КПК", none);
        const QString noCard =
            "Неверное значение аргумента:\nвид оплаты не допустим для открытой операции.";
        row("custom refund, generation 1", "CustomRefundButton", mem207_1F, "1.0", "", noCard);
        row("custom refund, generation 2", "CustomRefundButton", mem207_1F, "2.0", "", noCard);
        row("custom refund with the journal", "CustomRefundButton", mem207_1K, "",
            "Какой-то товар|2 x 100.00 =200.00|ИТОГ =200.00|ФП|ЭКЛЗ КПК", none);
        row("custom cash out", "CustomCashButton", mem207_1F, "2.0",
            "СЧЕТ 0123456789|10000.00 =10000.00|ФП", none);
        row("custom cash out with the journal", "CustomCashButton", mem207_1K, "", "",
            "Операция не допустима в контексте открытого типа документа, вида финансовой "
            "операции или типа оплаты:\nдобавление данных ЭКЛЗ.");
        const char* compositeSale =
            "Какой-то товар|200.89 =200.89|Какой-то товар|2 шт. x 200.00 =400.00|ИТОГ =600.89|"
            "НАЛИЧНЫМИ 1000.00 КАРТОЙ =0.00|СДАЧА =399.11|ФП";
        row("composite sale, generation 3", "FiscalSaleButton", mem207_1F, "", compositeSale, none);
        row("composite sale, 207.1F-MD", "FiscalSaleButton", mem207_1FMD, "1.0 MD B3.0",
            "СДАЧА =399.11|РН ККМ|ФП", none);
        row("composite refund", "FiscalRefundButton", mem207_1F, "",
            "Какой-то товар|2 шт. x 200.00 =400.00|ИТОГ =400.00|ФП", none);
        row("composite cash in, generation 7", "FiscalCashButton", memPCK, "",
            "10000.00 =10000.00|ИТОГ =10000.00|ФП", none);
    }
    void Documents() {
        QFETCH(QString, button);
        QFETCH(TKestEcrModel, model);
        QFETCH(QString, firmware);
        QFETCH(QString, tape);
        QFETCH(QString, refusal);
        TConnected at(model, firmware);
        QCOMPARE(at.Boxes.Texts(), QStringList());
        const TKestDocStatus idle = at.Form.KestorFPrt->GetDocStatus();

        at.Click(button);
        const QStringList printed = at.Paper.Take();
        QVERIFY2(InOrder(printed, tape.split(QLatin1Char('|'), Qt::SkipEmptyParts)),
                 qPrintable(printed.join(QLatin1Char('\n'))));
        QCOMPARE(at.Form.KestorFPrt->GetDocStatus(), idle);  // closed, or cancelled
        if (!refusal.isEmpty()) {
            QCOMPARE(at.Boxes.Texts(), QStringList{refusal});
            QCOMPARE(at.Form.InfoLabel->text(), QString());
            QVERIFY(printed.isEmpty());
            return;
        }
        // The composite documents are fed and cut after they are closed; a
        // register that refuses the feed leaves the document printed.
        const bool composite = button.startsWith(QLatin1String("Fiscal"));
        const bool refusesFeed = composite && !Knows(at.Config, 'R');
        QCOMPARE(at.Boxes.Texts(), refusesFeed ? QStringList{NoCommand} : QStringList());
        QCOMPARE(at.Form.InfoLabel->text(), refusesFeed ? QString() : Printed);
        if (composite) {
            QCOMPARE(Frames(*at.Emu, 'S').size(), 1u);  // the close, no cancel after it
            QCOMPARE(Frames(*at.Emu, 'R').size(), 1u);
        }
    }

    // The printer stops while the document closes and the question is
    // answered No: the register ends the close with error 10, the document
    // is cancelled and the box shows the close's error. The next document
    // prints. (The register never had these documents open: they reach it
    // whole when closed, so even the composite one is cancelled in the
    // driver alone.)
    void CancelAfterFailingClose_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<TKestEcrModel>("model");
        QTest::addColumn<QString>("firmware");
        QTest::newRow("receipt") << "RecSaleButton" << mem207_1K << "";
        QTest::newRow("custom document") << "CustomSaleButton" << mem207_1F << "2.0";
        QTest::newRow("composite document") << "FiscalSaleButton" << mem207_1F << "";
    }
    void CancelAfterFailingClose() {
        QFETCH(QString, button);
        QFETCH(TKestEcrModel, model);
        QFETCH(QString, firmware);
        TConnected at(model, firmware);
        const TKestDocStatus idle = at.Form.KestorFPrt->GetDocStatus();

        at.Emu->SetNotices(1);
        at.Click(button);
        QCOMPARE(at.Boxes.Texts(),
                 (QStringList{"Ошибка принтера. Повторить попытку?", Interrupted}));
        QCOMPARE(at.Form.InfoLabel->text(), QString());
        QCOMPARE(at.Form.KestorFPrt->GetDocStatus(), idle);
        QVERIFY(!InOrder(at.Paper.Take(), {"ИТОГ"}));
        // Nothing follows a failed close: no feed.
        QVERIFY(Frames(*at.Emu, 'R').empty());

        at.Boxes.Shown.clear();
        at.Click(button);
        QVERIFY(InOrder(at.Paper.Take(), {"ИТОГ"}));
        QVERIFY(!at.Boxes.Texts().contains(Interrupted));
    }

    // The shift, report and non-fiscal buttons send their commands with the
    // window's arguments; "Документ распечатан." once the register prints,
    // its refusal in the box while it does not know the command.
    void ReportsAndOutput_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<TKestEcrModel>("model");
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<char>("command");
        QTest::addColumn<QString>("before");  // a sale first opens the shift
        QTest::newRow("open shift") << "DayOpenButton" << mem207_1K << "" << '1' << "";
        QTest::newRow("X report") << "XReportButton" << mem207_1K << "" << '5' << "";
        QTest::newRow("X report, generation 3") << "XReportButton" << mem207_1F << "" << '_' << "";
        QTest::newRow("Z report") << "ZReportButton" << mem207_1F << "2.0" << '5'
                                  << "RecSaleButton";
        QTest::newRow("non-fiscal, generation 1")
            << "NoFiscalButton" << mem207_1F << "1.0" << '6' << "";
        QTest::newRow("non-fiscal, generation 8")
            << "NoFiscalButton" << mem207_1K << "" << '6' << "";
    }
    void ReportsAndOutput() {
        QFETCH(QString, button);
        QFETCH(TKestEcrModel, model);
        QFETCH(QString, firmware);
        QFETCH(char, command);
        QFETCH(QString, before);
        TConnected at(model, firmware);
        if (!before.isEmpty()) at.Click(before);
        QCOMPARE(at.Boxes.Texts(), QStringList());

        at.Click(button);
        const std::vector<std::string> sent = Frames(*at.Emu, command);
        QVERIFY(!sent.empty());
        if (Knows(at.Config, command)) {
            QCOMPARE(at.Boxes.Texts(), QStringList());
            QCOMPARE(at.Form.InfoLabel->text(), Printed);
            // Generation 1 has no cutter; the others feed 10 lines and cut.
            if (command == '6') QCOMPARE(Frames(*at.Emu, 'R').size(), firmware == "1.0" ? 0u : 1u);
        } else {
            QCOMPARE(at.Boxes.Texts(), QStringList{NoCommand});
            QCOMPARE(at.Form.InfoLabel->text(), QString());
        }
        if (command == '1') {
            // Operator 5, "Кассир Тестов" in code page 866.
            QVERIFY(sent[0].find(std::string(
                        "5\0\0\x8A\xA0\xE1\xE1\xA8\xE0 \x92\xA5\xE1\xE2\xAE\xA2", 16)) !=
                    std::string::npos);
        }
    }

    // A counter in InfoLabel; one the register does not have is refused.
    void CounterButton() {
        TConnected at(mem207_1K, {});
        at.Form.CounterEdit->setText(QStringLiteral("3"));
        at.Click(QStringLiteral("QueryCounterButton"));
        const QString sum = TMainForm::AmountText(at.Form.KestorFPrt->QueryCounter(3));
        QCOMPARE(at.Form.InfoLabel->text(),
                 "Счетчик №3: сумма = " + sum +
                     " кол-во = " + QString::number(at.Form.KestorFPrt->CounterCount()));

        TConnected first(mem207_1F, QStringLiteral("1.0"));
        first.Form.CounterEdit->setText(QStringLiteral("7"));
        first.Click(QStringLiteral("QueryCounterButton"));
        QCOMPARE(
            first.Boxes.Texts(),
            QStringList{"Неверное значение аргумента:\nномер счетчика не поддерживается ККМ."});
        QCOMPARE(first.Form.InfoLabel->text(), QString());
    }

    void Formats() {
        auto at = [](int Year, int Month, int Day, int Hour, int Minute) {
            return kest::MakeDateTime({Year, Month, Day, Hour, Minute});
        };
        QCOMPARE(TMainForm::EcrDateTimeText(at(2026, 3, 15, 10, 5)),
                 QStringLiteral("15.03.2026 10:05:00"));
        QCOMPARE(TMainForm::EcrDateTimeText(at(2026, 3, 15, 0, 0)), QStringLiteral("15.03.2026"));
        QCOMPARE(TMainForm::EcrDateTimeText(at(2026, 3, 15, 0, 1)),
                 QStringLiteral("15.03.2026 00:01:00"));

        const std::pair<int64_t, const char*> amounts[] = {
            {11194000, "1119,4"}, {1000000, "100"},           {1, "0,0001"},
            {-315300, "-31,53"},  {12345675000, "1234567,5"}, {0, "0"},
        };
        for (const auto& [raw, text] : amounts)
            QCOMPARE(TMainForm::AmountText(TKestCurrency::FromRaw(raw)), QString::fromUtf8(text));
    }

    void HexParser_data() {
        using TText = std::optional<std::u16string>;
        QTest::addColumn<QString>("typed");
        QTest::addColumn<TText>("text");
        QTest::newRow("two bytes") << "1b 40" << TText(u"\x1B@");
        QTest::newRow("upper case") << "1B 4a" << TText(u"\x1BJ");
        QTest::newRow("empty") << "" << TText(u"");
        QTest::newRow("final blank") << "41 " << TText(u"A");
        QTest::newRow("00 ends the text") << "41 00 42" << TText(u"A");
        QTest::newRow("Windows-1251") << "c0 ff a8 b8 b9 88" << TText(u"АяЁё№€");
        QTest::newRow("two blanks") << "1b  40" << TText();
        QTest::newRow("one digit") << "1" << TText();
        QTest::newRow("not hex") << "G1" << TText();
        QTest::newRow("leading blank") << " 1b" << TText();
        QTest::newRow("blank only") << " " << TText();
        QTest::newRow("three digits") << "414" << TText();
        // 22 numbers need 65 characters: the 64th cuts the last one short.
        QTest::newRow("beyond 64") << QStringLiteral("41 ").repeated(22) << TText();
        QTest::newRow("21 numbers")
            << QStringLiteral("41 ").repeated(21) << TText(std::u16string(21, u'A'));
    }
    void HexParser() {
        QFETCH(QString, typed);
        QFETCH(std::optional<std::u16string>, text);
        QCOMPARE(TMainForm::HexToDisplayText(typed), text);
    }

    // A malformed number shows the parser's box and nothing reaches the
    // driver, not even its connection check; well-formed ones do.
    void HexButton() {
        TMainForm form;
        TBoxes boxes;
        form.edHEX->setText(QStringLiteral("1b 4"));
        form.bbtnHEX->click();
        QCOMPARE(boxes.Texts(), QStringList{"Неправильный формат числа?!"});
        QVERIFY(boxes.Shown[0].Icon == QMessageBox::NoIcon &&
                boxes.Shown[0].Caption == "Kestor207F" &&
                boxes.Shown[0].Buttons == QMessageBox::Ok);
        QCOMPARE(form.KestorFPrt->ErrCode(), 0);

        form.edHEX->setText(QStringLiteral("1b 40"));
        form.bbtnHEX->click();
        QCOMPARE(boxes.Texts().value(1), QStringLiteral("Соединение с ККМ не открыто."));

        TConnected at(mem207_1F, {});
        for (const char* button : {"bbtnString", "bbtnHEX"}) {
            at.Form.edString->setText(QStringLiteral("Привет"));
            at.Form.edHEX->setText(QStringLiteral("1b 40"));
            at.Click(QLatin1String(button));
            QCOMPARE(at.Boxes.Texts(),
                     Knows(at.Config, '^') ? QStringList() : QStringList{NoCommand});
            QVERIFY(!Frames(*at.Emu, '^').empty());
            at.Boxes.Shown.clear();
        }
    }

    // The demo's session: every step told, a question answered Yes, a failing
    // step reported and the session going on; the application's boxes back after.
    void Session() {
        TTape paper;
        TConfig config = Register(mem207_1K);
        config.Tape = paper.Sink();
        TEmulator emu(config);
        TMainForm form;
        TBoxes boxes;
        UsePort8(form, emu);
        emu.SetNotices(1);
        const kest::app::TSessionStep steps[] = {
            {QStringLiteral("Открыть"), form.ConnOpenButton},
            {QStringLiteral("продажа"), form.RecSaleButton},
            {QStringLiteral("Закрыть"), form.ConnCloseButton},
            {QStringLiteral("Закрыть"), form.ConnCloseButton},
        };
        std::ostringstream out;
        QCOMPARE(kest::app::RunSession(form, steps, out), 1);
        QCOMPARE(QString::fromStdString(out.str()),
                 QStringLiteral("     question: Ошибка принтера. Повторить попытку? - Yes\n"
                                "ok   Открыть: Соединение открыто.\n"
                                "ok   продажа: Документ распечатан.\n"
                                "ok   Закрыть: Соединение закрыто.\n"
                                "FAIL Закрыть: Соединение с ККМ не открыто.\n"));
        QVERIFY(InOrder(paper.Take(), {"ПРОДАЖА", "ИТОГ =1119.40"}));
        QVERIFY(boxes.Shown.empty());
        form.ConnCloseButton->click();
        QCOMPARE(boxes.Shown.size(), 1u);
    }
};

QTEST_MAIN(TButtonsTest)
#include "ButtonsTest.moc"
