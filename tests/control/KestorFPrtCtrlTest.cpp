// The status control: its drawing (picture choice, placement, lamp, frames,
// hatching), the mirror of the connection, the loading and designing states,
// and the relays of the driver's events, against the register emulator.
#include <QDir>
#include <QImage>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <cstdlib>
#include <thread>
#include <vector>

#include "KestorEmu.h"
#include "KestorFPrtCtrl.h"

using kest::emu::TConfig;
using kest::emu::TEmulator;

Q_DECLARE_METATYPE(TKestEcrModel)
Q_DECLARE_METATYPE(TKestPicture)

namespace {

// A control on port 9, which names the emulator's device, with short time-outs.
void PointAt(TKestorFPrtCtrl& Ctrl, const TEmulator& Emu) {
    setenv("KESTOR_COM9", Emu.DevicePath().c_str(), 1);
    Ctrl.SetPortNum(9);
    Ctrl.SetInternalTimeout(150);
    Ctrl.SetExternalTimeout(300);
}

TConfig Register(TKestEcrModel Model, std::string Firmware = {}) {
    TConfig config;
    config.Model = Model;
    config.Firmware = std::move(Firmware);
    return config;
}

// With KESTOR_SCREENSHOTS naming a directory, the shot is saved there as PNG.
void SaveShot(QWidget& Widget, const char* Name) {
    const QByteArray dir = qgetenv("KESTOR_SCREENSHOTS");
    if (!dir.isEmpty())
        QVERIFY(Widget.grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(Name)));
}

QImage Shot(QWidget& Widget) {
    return Widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QImage Picture(TKestPicture Picture) {
    return QImage(QStringLiteral(":/") + QLatin1String(TKestorFPrtCtrl::PictureName(Picture)),
                  "JPEG")
        .convertToFormat(QImage::Format_RGB32);
}

bool IsDark(QRgb Pixel) {
    return qRed(Pixel) < 80 && qGreen(Pixel) < 80 && qBlue(Pixel) < 80;
}

// The bounding box of the dark pixels within Area.
QRect DarkBox(const QImage& Image, const QRect& Area) {
    QRect box;
    for (int y = Area.top(); y <= Area.bottom(); ++y)
        for (int x = Area.left(); x <= Area.right(); ++x)
            if (IsDark(Image.pixel(x, y))) box |= QRect(x, y, 1, 1);
    return box;
}

// Records the messages that draw the lamp, and every repaint.
class TMessageSpy : public QObject {
public:
    std::vector<int> DrawStates;
    int Paints = 0;

    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == TKestDrawStateEvent::WMKestDrawState)
            DrawStates.push_back(
                static_cast<int>(static_cast<TKestDrawStateEvent*>(Event)->WParam));
        if (Event->type() == QEvent::Paint) ++Paints;
        return false;
    }
};

}  // namespace

class TKestorFPrtCtrlTest : public QObject {
    Q_OBJECT

private slots:
    void NewControl() {
        TKestorFPrtCtrl ctrl;
        QCOMPARE(ctrl.size(), QSize(155, 155));
        QVERIFY(ctrl.isHidden());
        QCOMPARE(ctrl.BorderSize(), 1);
        QVERIFY(ctrl.ShowState());
        QVERIFY(!ctrl.Active());
        QVERIFY(!ctrl.TabStop());
        // The published properties are the driver's.
        QCOMPARE(ctrl.property("Password").toString(), QStringLiteral("5862"));
        QCOMPARE(ctrl.property("PortNum").toInt(), 1);
        QCOMPARE(ctrl.property("BaudRate").toInt(), 9600);
        QCOMPARE(ctrl.property("ExternalTimeout").toInt(), 30000);
        QVERIFY(ctrl.setProperty("Version", QStringLiteral("9.9 (9)")));
        QCOMPARE(ctrl.property("Version").toString(), QStringLiteral("1.2 (101)"));
        QVERIFY(ctrl.setProperty("Password", QStringLiteral("1234")));
        QCOMPARE(ctrl.Password(), u"1234");

        ctrl.SetBorderSize(0);
        ctrl.SetShowState(false);
        QCOMPARE(Shot(ctrl), Picture(TKestPicture::None));
    }

    void PictureRule_data() {
        QTest::addColumn<bool>("active");
        QTest::addColumn<TKestEcrModel>("model");
        QTest::addColumn<int>("version");
        QTest::addColumn<TKestPicture>("picture");
        QTest::newRow("closed") << false << mem207_1F << 0x0300 << TKestPicture::None;
        QTest::newRow("unknown") << true << memUnknown << 0 << TKestPicture::Unknown;
        QTest::newRow("beyond the models")
            << true << static_cast<TKestEcrModel>(6) << 0 << TKestPicture::Unknown;
        QTest::newRow("207.1F MD") << true << mem207_1FMD << 0x0100 << TKestPicture::K207F03;
    }
    void PictureRule() {
        QFETCH(bool, active);
        QFETCH(TKestEcrModel, model);
        QFETCH(int, version);
        QFETCH(TKestPicture, picture);
        QCOMPARE(TKestorFPrtCtrl::ChoosePicture(active, model, version), picture);
    }

    // The picture drawn for each register the emulator plays (the other
    // models), and again the closed one once the connection ends.
    void PictureOfTheConnectedRegister_data() {
        QTest::addColumn<TKestEcrModel>("model");
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<TKestPicture>("picture");
        QTest::newRow("207.1F VLS") << mem207_1F << "1.0 VLS B1.2" << TKestPicture::K207F03;
        QTest::newRow("207.1F 2.0") << mem207_1F << "2.0" << TKestPicture::K207F;
        QTest::newRow("station") << memStationF << "" << TKestPicture::StationF;
        QTest::newRow("PC-K") << memPCK << "" << TKestPicture::K207F03;
        QTest::newRow("207.1K") << mem207_1K << "" << TKestPicture::K207F;
    }
    void PictureOfTheConnectedRegister() {
        QFETCH(TKestEcrModel, model);
        QFETCH(QString, firmware);
        QFETCH(TKestPicture, picture);
        TEmulator emu(Register(model, firmware.toStdString()));
        TKestorFPrtCtrl ctrl;
        PointAt(ctrl, emu);
        ctrl.SetBorderSize(0);
        ctrl.SetShowState(false);
        ctrl.SetActive(true);
        QVERIFY(ctrl.Active());
        QCOMPARE(Shot(ctrl), Picture(picture));
        ctrl.SetActive(false);
        QVERIFY(!ctrl.Active());
        QCOMPARE(Shot(ctrl), Picture(TKestPicture::None));
    }

    void Placement_data() {
        QTest::addColumn<QSize>("client");
        QTest::addColumn<int>("border");
        QTest::addColumn<QRect>("picture");
        QTest::addColumn<QRect>("lamp");
        QTest::newRow("window") << QSize(169, 161) << 1 << QRect(7, 3, 155, 155)
                                << QRect(QPoint(146, 138), QSize(20, 20));
        QTest::newRow("own size") << QSize(155, 155) << 1 << QRect(0, 0, 155, 155)
                                  << QRect(QPoint(133, 133), QSize(19, 19));
        QTest::newRow("no frame") << QSize(155, 155) << -3 << QRect(0, 0, 155, 155)
                                  << QRect(QPoint(133, 133), QSize(20, 20));
        QTest::newRow("wide") << QSize(100, 50) << 1 << QRect(25, 0, 50, 50)
                              << QRect(QPoint(92, 42), QSize(5, 5));
        QTest::newRow("tall") << QSize(50, 100) << 1 << QRect(0, 25, 50, 50)
                              << QRect(QPoint(42, 92), QSize(5, 5));
    }
    // The rules, and the pixels: the lamp's outline fills its box exactly,
    // the picture stays inside its rectangle and the frames are where they belong.
    void Placement() {
        QFETCH(QSize, client);
        QFETCH(int, border);
        QFETCH(QRect, picture);
        QFETCH(QRect, lamp);
        TKestorFPrtCtrl ctrl;
        ctrl.resize(client);
        ctrl.SetBorderSize(border);
        QCOMPARE(ctrl.BorderSize(), std::max(border, 0));
        QCOMPARE(TKestorFPrtCtrl::PictureRect(QSize(155, 155), client), picture);
        QCOMPARE(TKestorFPrtCtrl::LampRect(client, ctrl.BorderSize()), lamp);

        const QImage shot = Shot(ctrl);
        const QRect inner = ctrl.rect().adjusted(ctrl.BorderSize(), ctrl.BorderSize(),
                                                 -ctrl.BorderSize(), -ctrl.BorderSize());
        // The pictures keep their lower right corner white for the lamp.
        const QRect corner(lamp.topLeft() - QPoint(3, 3), inner.bottomRight());
        QCOMPARE(DarkBox(shot, corner), lamp);
        for (int x = inner.left(); x < picture.left(); ++x)
            QCOMPARE(shot.pixel(x, client.height() / 2), qRgb(255, 255, 255));
        const QRgb frame = border > 0 ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
        for (const QPoint edge : {QPoint(0, 0), QPoint(client.width() - 1, client.height() - 1)})
            QCOMPARE(shot.pixel(edge), frame);
    }

    void LampFollowsTheExchange() {
        TEmulator emu(Register(mem207_1F));
        TKestorFPrtCtrl ctrl;
        PointAt(ctrl, emu);
        const QPoint centre = TKestorFPrtCtrl::LampRect(ctrl.size(), 1).center();
        std::vector<QRgb> colours;
        ctrl.OnDataSend = [&](TKestorFPrtCtrl& Sender, const void*, int) {
            colours.push_back(Shot(Sender).pixel(centre));
        };
        ctrl.OnDataReceive = ctrl.OnDataSend;
        ctrl.Open();
        QVERIFY(colours.size() >= 2);
        QCOMPARE(colours.front(), qRgb(0, 128, 0));
        QCOMPARE(colours.back(), qRgb(255, 255, 0));
        QCOMPARE(Shot(ctrl).pixel(centre), qRgb(255, 255, 255));
    }

    // Disabling adds white and nothing else, over the picture and the lamp;
    // the frame stays.
    void DisabledHatch() {
        TKestorFPrtCtrl ctrl;
        const QImage enabled = Shot(ctrl);
        ctrl.setEnabled(false);
        const QImage disabled = Shot(ctrl);
        const QRect lamp = TKestorFPrtCtrl::LampRect(ctrl.size(), 1);
        int changed = 0, changedInLamp = 0;
        for (int y = 0; y < enabled.height(); ++y)
            for (int x = 0; x < enabled.width(); ++x)
                if (enabled.pixel(x, y) != disabled.pixel(x, y)) {
                    QCOMPARE(disabled.pixel(x, y), qRgb(255, 255, 255));
                    ++changed;
                    changedInLamp += lamp.contains(x, y);
                }
        QVERIFY(changed > 500);
        QVERIFY(changedInLamp > 0);
        QCOMPARE(disabled.pixel(0, 77), qRgb(0, 0, 0));
        SaveShot(ctrl, "control-disabled.png");
    }

    // A tab stop takes the focus when clicked and shows the focus rectangle
    // inside the frame; leaving removes it.
    void FocusRectangle() {
        TKestorFPrtCtrl ctrl;
        ctrl.SetBorderSize(2);
        ctrl.SetTabStop(true);
        ctrl.show();
        QVERIFY(QTest::qWaitForWindowActive(&ctrl));
        QSignalSpy clicks(&ctrl, &TKestorFPrtCtrl::clicked);
        QTest::mouseClick(&ctrl, Qt::LeftButton, {}, QPoint(70, 70));
        QCOMPARE(clicks.count(), 1);
        QVERIFY(ctrl.hasFocus());
        const QImage focused = Shot(ctrl);
        SaveShot(ctrl, "control-focused.png");
        // Dotted: along the top edge inside the frame, black and white alternate.
        int dark = 0;
        for (int x = 3; x < 152; ++x)
            dark += IsDark(focused.pixel(x, 3));
        QVERIFY(dark > 30 && dark < 120);
        QCOMPARE(focused.pixel(3, 2), qRgb(255, 255, 255));
        QVERIFY(IsDark(focused.pixel(1, 70)));
        ctrl.clearFocus();
        QCOMPARE(Shot(ctrl).pixel(3, 3), qRgb(255, 255, 255));
    }

    // A state change on another thread is drawn only when the control's own
    // thread handles message 1024; without ShowState nothing is drawn, but
    // the handlers still run, on the command's thread.
    void StateChangeFromAnotherThread_data() {
        QTest::addColumn<bool>("showState");
        QTest::newRow("shown") << true;
        QTest::newRow("hidden lamp") << false;
    }
    void StateChangeFromAnotherThread() {
        QFETCH(bool, showState);
        TEmulator emu(Register(mem207_1F));
        TKestorFPrtCtrl ctrl;
        PointAt(ctrl, emu);
        ctrl.SetShowState(showState);
        ctrl.show();
        QVERIFY(QTest::qWaitForWindowExposed(&ctrl));
        TMessageSpy spy;
        ctrl.installEventFilter(&spy);
        std::vector<int> states;
        std::vector<std::thread::id> threads;
        ctrl.OnConnStateUpdate = [&](TKestorFPrtCtrl& Sender) {
            states.push_back(Sender.ConnState());
            threads.push_back(std::this_thread::get_id());
        };

        std::thread worker([&] { ctrl.TestConnection(); });
        const std::thread::id workerId = worker.get_id();
        worker.join();
        QVERIFY(states.size() >= 4);  // idle, writing, reading, ..., none
        QCOMPARE(states.back(), static_cast<int>(mcsNone));
        for (const auto& id : threads)
            QCOMPARE(id, workerId);
        QVERIFY(spy.DrawStates.empty());
        QCOMPARE(spy.Paints, 0);

        QCoreApplication::sendPostedEvents(&ctrl, TKestDrawStateEvent::WMKestDrawState);
        QCOMPARE(spy.DrawStates, states);
        QCOMPARE(spy.Paints > 0, showState);
    }

    // The application's handlers see the control as Sender, before the driver's.
    void EventsCarryTheControl() {
        TEmulator emu(Register(mem207_1F, "1.0 VLS"));
        TKestorFPrtCtrl ctrl;
        PointAt(ctrl, emu);
        int statusEvents = 0;
        ctrl.OnStatusUpdate = [&](TKestorFPrtCtrl& Sender) {
            QCOMPARE(&Sender, &ctrl);
            ++statusEvents;
        };
        int printerErrors = 0;
        ctrl.OnPrinterError = [&](TKestorFPrtCtrl& Sender) {
            QCOMPARE(Sender.ConnState(), mcsPrinterError);
            Sender.SetRetryOperation(++printerErrors < 2);
        };
        ctrl.Open();
        QVERIFY(statusEvents >= 1);
        emu.SetNotices(1);
        ctrl.QueryFirmwareInfo();
        QCOMPARE(printerErrors, 1);
        QCOMPARE(ctrl.ErrCode(), 0);
    }

    // A failed open leaves the mirror off; the driver's refusals pass unchanged.
    void MirrorAndRefusals() {
        TConfig renamed = Register(mem207_1F);
        renamed.ModelName = u"КАССА-1";
        TEmulator emu(renamed);
        TKestorFPrtCtrl ctrl;
        PointAt(ctrl, emu);
        QVERIFY_THROWS_EXCEPTION(EKestUnknownDevice, ctrl.Open());
        QVERIFY(!ctrl.Active());
        QCOMPARE(ctrl.ErrCode(), 4);
        QVERIFY_THROWS_EXCEPTION(EKestConnClosed, ctrl.Close());
        QCOMPARE(ctrl.ErrMessage(), u"Соединение с ККМ не открыто");
        ctrl.SetBorderSize(0);
        ctrl.SetShowState(false);
        QCOMPARE(Shot(ctrl), Picture(TKestPicture::None));
    }

    // A receipt through the control: refused with the driver's exception
    // while not connected; then its status changes reach the application's
    // handler with the control as Sender, and the counter read through the
    // control has counted it.
    void DocumentThroughTheControl() {
        TEmulator emu(Register(mem207_1K));
        TKestorFPrtCtrl ctrl;
        PointAt(ctrl, emu);
        QVERIFY_THROWS_EXCEPTION(EKestConnClosed, ctrl.OpenReceipt(motSale));
        QCOMPARE(ctrl.ErrCode(), 2);
        ctrl.Open();
        const TKestCurrency before = ctrl.QueryCounter(0);
        const int count = ctrl.CounterCount();
        std::vector<TKestDocStatus> seen;
        ctrl.OnStatusUpdate = [&](TKestorFPrtCtrl& Sender) {
            if (&Sender == &ctrl) seen.push_back(Sender.GetDocStatus());
        };
        ctrl.OpenReceipt(motSale);
        ctrl.AddReceiptItem(u"Хлеб", TKestCurrency::FromHundredths(4550), false, 1, 0, 0, 2, 0, 0,
                            {});
        ctrl.CloseReceipt(u"", mptCash, TKestCurrency::FromHundredths(10000), {}, {}, 0, moiNumber);
        QVERIFY(seen.size() >= 2);
        QCOMPARE(seen.front(), mdsReceipt);
        QCOMPARE(seen.back(), mdsClosed);
        QCOMPARE(ctrl.QueryCounter(0).Raw(), (before + TKestCurrency::FromHundredths(9100)).Raw());
        QCOMPARE(ctrl.CounterCount(), count + 1);
    }

    // A description with Active true connects once loading is over; in the
    // designer the switch turns on and off without a connection.
    void LoadingAndDesigning() {
        TEmulator emu(Register(memStationF));
        QPointer<TKestorFPrtCtrl> loaded;
        KestLoadForm([&] {
            loaded = new TKestorFPrtCtrl;
            PointAt(*loaded, emu);
            QVERIFY(loaded->setProperty("Active", true));
            QVERIFY(loaded->Active());
            QVERIFY(!loaded->Connected());
        });
        QVERIFY(loaded->Connected());
        QCOMPARE(loaded->EcrModel(), memStationF);
        delete loaded;

        TKestorFPrtCtrl designed;
        designed.SetDesigning(true);
        designed.SetActive(true);
        QVERIFY(designed.Active());
        QVERIFY(!designed.Connected());
        designed.SetBorderSize(0);
        designed.SetShowState(false);
        QCOMPARE(Shot(designed), Picture(TKestPicture::Unknown));
        designed.SetActive(false);
        QVERIFY(!designed.Active());
    }
};

QTEST_MAIN(TKestorFPrtCtrlTest)
#include "KestorFPrtCtrlTest.moc"
