// The status control against the register emulator: its drawing read back
// from its pixels (picture, placement, lamp, frames, hatching, focus), the
// mirror of the connection, the loading and designing states, and the
// driver's events relayed, also from another thread. With KESTOR_SCREENSHOTS
// naming a directory, some shots are saved there as PNG.
#include <QDir>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include "KestorEmu.h"
#include "KestorFPrtCtrl.h"

using kest::emu::TEmulator;

namespace {

// A control on port 9, which names the emulator's device.
void PointAt(TKestorFPrtCtrl& Ctrl, const TEmulator& Emu) {
    setenv("KESTOR_COM9", Emu.DevicePath().c_str(), 1);
    Ctrl.SetPortNum(9);
}

// The widget's pixels, saved as Name where KESTOR_SCREENSHOTS says.
QImage Shot(QWidget& Widget, const char* Name = nullptr) {
    const QPixmap shot = Widget.grab();
    const QString dir = qEnvironmentVariable("KESTOR_SCREENSHOTS");
    if (Name && !dir.isEmpty()) shot.save(QDir(dir).filePath(QLatin1String(Name)));
    return shot.toImage().convertToFormat(QImage::Format_RGB32);
}

// Whether the control, without frame and lamp, shows Picture alone.
bool Shows(TKestorFPrtCtrl& Ctrl, TKestPicture Picture) {
    Ctrl.SetBorderSize(0);
    Ctrl.SetShowState(false);
    const QImage picture(QStringLiteral(":/") + TKestorFPrtCtrl::PictureName(Picture), "JPEG");
    return Shot(Ctrl) == picture.convertToFormat(QImage::Format_RGB32);
}

constexpr auto IsDark = [](QRgb P) { return qRed(P) < 80 && qGreen(P) < 80 && qBlue(P) < 80; };

constexpr QRgb White = qRgb(255, 255, 255), Black = qRgb(0, 0, 0);

// Records the messages that draw the lamp, and every repaint.
struct TMessageSpy : QObject {
    std::vector<int> DrawStates;
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == TKestDrawStateEvent::WMKestDrawState)
            DrawStates.push_back(
                static_cast<int>(static_cast<TKestDrawStateEvent*>(Event)->WParam));
        Paints += Event->type() == QEvent::Paint;
        return false;
    }
};

}  // namespace

class TKestorFPrtCtrlTest : public QObject {
    Q_OBJECT

private slots:
    // The picture of each register the emulator plays, the closed one again
    // once the connection ends, and the rules for the others (the unknown
    // one shows in the designer).
    void Pictures() {
        QCOMPARE(TKestorFPrtCtrl::ChoosePicture(true, TKestEcrModel(6), 0), TKestPicture::Unknown);
        const std::tuple<TKestEcrModel, const char*, TKestPicture> registers[] = {
            {mem207_1F, "1.0 VLS B1.2", TKestPicture::K207F03},
            {mem207_1F, "2.0", TKestPicture::K207F},
            {memStationF, "", TKestPicture::StationF},
            {memPCK, "", TKestPicture::K207F03},
            {mem207_1K, "", TKestPicture::K207F}};
        for (const auto& [model, firmware, picture] : registers) {
            TEmulator emu({.Model = model, .Firmware = firmware});
            TKestorFPrtCtrl ctrl;
            PointAt(ctrl, emu);
            ctrl.SetActive(true);
            QVERIFY2(ctrl.Active() && Shows(ctrl, picture), firmware);
            ctrl.SetActive(false);
            QVERIFY(!ctrl.Active() && Shows(ctrl, TKestPicture::None));
        }
    }

    // The rules, and the pixels: the lamp's outline fills its box exactly
    // (the pictures keep their lower right corner white for it), and the
    // frame is where it belongs.
    void Placement() {
        const std::tuple<QSize, int, QRect, QRect> rows[] = {
            {{169, 161}, 1, {7, 3, 155, 155}, {146, 138, 20, 20}},  // the window's
            {{155, 155}, 1, {0, 0, 155, 155}, {133, 133, 19, 19}},
            {{155, 155}, -3, {0, 0, 155, 155}, {133, 133, 20, 20}},  // no frame
            {{100, 50}, 1, {25, 0, 50, 50}, {92, 42, 5, 5}},
            {{50, 100}, 1, {0, 25, 50, 50}, {42, 92, 5, 5}}};
        for (const auto& [client, border, picture, lamp] : rows) {
            TKestorFPrtCtrl ctrl;
            ctrl.resize(client);
            ctrl.SetBorderSize(border);
            const int b = ctrl.BorderSize();
            QCOMPARE(b, std::max(border, 0));
            QCOMPARE(TKestorFPrtCtrl::PictureRect(QSize(155, 155), client), picture);
            QCOMPARE(TKestorFPrtCtrl::LampRect(client, b), lamp);
            const QImage shot = Shot(ctrl);
            QRect dark;
            for (int y = lamp.top() - 3; y < client.height() - b; ++y)
                for (int x = lamp.left() - 3; x < client.width() - b; ++x)
                    if (IsDark(shot.pixel(x, y))) dark |= QRect(x, y, 1, 1);
            QCOMPARE(dark, lamp);
            QCOMPARE(shot.pixel(0, 0), b ? Black : White);
        }
    }

    // Disabling adds white and nothing else, over the picture and the lamp;
    // the frame stays. A tab stop takes the focus when clicked and shows the
    // dotted focus rectangle inside the frame; leaving removes it.
    void DisabledAndFocused() {
        TKestorFPrtCtrl ctrl;
        const QImage enabled = Shot(ctrl);
        ctrl.setEnabled(false);
        const QImage disabled = Shot(ctrl, "control-disabled.png");
        const QRect lamp = TKestorFPrtCtrl::LampRect(ctrl.size(), 1);
        int changed = 0, changedInLamp = 0;
        for (int y = 0; y < enabled.height(); ++y)
            for (int x = 0; x < enabled.width(); ++x)
                if (enabled.pixel(x, y) != disabled.pixel(x, y)) {
                    QCOMPARE(disabled.pixel(x, y), White);
                    ++changed;
                    changedInLamp += lamp.contains(x, y);
                }
        QVERIFY(changed > 500 && changedInLamp > 0);
        QCOMPARE(disabled.pixel(0, 77), Black);

        ctrl.setEnabled(true);
        ctrl.SetBorderSize(2);
        ctrl.SetTabStop(true);
        ctrl.show();
        QVERIFY(QTest::qWaitForWindowActive(&ctrl));
        QSignalSpy clicks(&ctrl, &TKestorFPrtCtrl::clicked);
        QTest::mouseClick(&ctrl, Qt::LeftButton, {}, QPoint(70, 70));
        QVERIFY(clicks.count() == 1 && ctrl.hasFocus());
        QVERIFY(IsDark(Shot(ctrl, "control-focused.png").pixel(3, 3)));
        ctrl.clearFocus();
        QCOMPARE(Shot(ctrl).pixel(3, 3), White);
    }

    // A state change on another thread is drawn only when the control's own
    // thread handles message 1024; without ShowState nothing is drawn, but
    // the handlers still run, on the command's thread.
    void StateChangeFromAnotherThread() {
        for (const bool showState : {true, false}) {
            TEmulator emu({});
            TKestorFPrtCtrl ctrl;
            PointAt(ctrl, emu);
            ctrl.SetShowState(showState);
            ctrl.show();
            QVERIFY(QTest::qWaitForWindowExposed(&ctrl));
            TMessageSpy spy;
            ctrl.installEventFilter(&spy);
            std::vector<int> states;
            const std::thread::id main = std::this_thread::get_id();
            bool onMain = false;
            ctrl.OnConnStateUpdate = [&](TKestorFPrtCtrl& Sender) {
                states.push_back(Sender.ConnState());
                onMain |= std::this_thread::get_id() == main;
            };
            std::thread([&] { ctrl.TestConnection(); }).join();
            // Idle, writing, reading, ..., none.
            QVERIFY(states.size() >= 4 && states.back() == mcsNone && !onMain);
            QVERIFY(spy.DrawStates.empty() && spy.Paints == 0);
            QCoreApplication::sendPostedEvents(&ctrl, TKestDrawStateEvent::WMKestDrawState);
            QCOMPARE(spy.DrawStates, states);
            QCOMPARE(spy.Paints > 0, showState);
        }
    }

    // Calls through the control: refused with the driver's exception while
    // not connected; then the application's handler sees the control as
    // Sender, the lamp is green while writing and white when idle, and a
    // receipt's status changes arrive. (The window's tests answer a printer
    // error through the control.)
    void DriverThroughTheControl() {
        TEmulator emu({.Model = mem207_1K});
        TKestorFPrtCtrl ctrl;
        PointAt(ctrl, emu);
        QVERIFY_THROWS_EXCEPTION(EKestConnClosed, ctrl.OpenReceipt(motSale));
        QCOMPARE(ctrl.ErrCode(), 2);
        std::vector<TKestDocStatus> seen;
        ctrl.OnStatusUpdate = [&](TKestorFPrtCtrl& Sender) {
            QCOMPARE(&Sender, &ctrl);
            seen.push_back(Sender.GetDocStatus());
        };
        const QPoint lamp = TKestorFPrtCtrl::LampRect(ctrl.size(), 1).center();
        QRgb writing = 0;  // the lamp at the first write
        ctrl.OnDataSend = [&](TKestorFPrtCtrl& Sender, const void*, int) {
            writing = writing ? writing : Shot(Sender).pixel(lamp);
        };
        ctrl.Open();
        QVERIFY(!seen.empty());
        QCOMPARE(writing, qRgb(0, 128, 0));
        QCOMPARE(Shot(ctrl).pixel(lamp), White);
        seen.clear();
        ctrl.OpenReceipt(motSale);
        ctrl.AddReceiptItem(u"Хлеб", TKestCurrency::FromHundredths(4550), false, 1, 0, 0, 2, 0, 0,
                            {});
        ctrl.CloseReceipt(u"", mptCash, TKestCurrency::FromHundredths(10000), {}, {}, 0, moiNumber);
        QVERIFY(seen.size() >= 2 && seen.front() == mdsReceipt && seen.back() == mdsClosed);
    }

    // A new control, and the published properties, which are the driver's. A
    // failed open leaves the mirror off. A description with Active true
    // connects once loading is over; in the designer the switch turns on and
    // off without a connection.
    void StatesAndProperties() {
        TKestorFPrtCtrl designed;
        QCOMPARE(designed.size(), QSize(155, 155));
        QVERIFY(designed.isHidden() && designed.ShowState() && !designed.Active() &&
                !designed.TabStop() && designed.BorderSize() == 1);
        QVERIFY(designed.setProperty("Version", QStringLiteral("9.9 (9)")));  // read only
        QCOMPARE(designed.property("Version").toString(), QStringLiteral("1.2 (101)"));
        QVERIFY(designed.setProperty("Password", QStringLiteral("1234")));
        QCOMPARE(designed.Password(), u"1234");

        TEmulator renamed({.ModelName = u"КАССА-1"});
        TKestorFPrtCtrl refused;
        PointAt(refused, renamed);
        QVERIFY_THROWS_EXCEPTION(EKestUnknownDevice, refused.Open());
        QVERIFY(!refused.Active() && Shows(refused, TKestPicture::None));

        TEmulator emu({.Model = memStationF});
        QPointer<TKestorFPrtCtrl> loaded;
        KestLoadForm([&] {
            loaded = new TKestorFPrtCtrl;
            PointAt(*loaded, emu);
            QVERIFY(loaded->setProperty("Active", true));
            QVERIFY(loaded->Active() && !loaded->Connected());
        });
        QVERIFY(loaded->Connected());
        QCOMPARE(loaded->EcrModel(), memStationF);
        delete loaded;

        designed.SetDesigning(true);
        designed.SetActive(true);
        QVERIFY(designed.Active() && !designed.Connected());
        QVERIFY(Shows(designed, TKestPicture::Unknown));
        designed.SetActive(false);
        QVERIFY(!designed.Active());
    }
};

QTEST_MAIN(TKestorFPrtCtrlTest)
#include "KestorFPrtCtrlTest.moc"
