// What the window's suites share: the message boxes read instead of shown,
// the window pointed at an emulator, its paper tape and screenshots.
#pragma once

#include <QDir>
#include <QStringList>
#include <QTest>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "Application.h"
#include "KestorEmu.h"
#include "MainUnit.h"

namespace kest::app::test {

struct TBox {
    QMessageBox::Icon Icon;
    QString Caption, Text;
    QMessageBox::StandardButtons Buttons;
};

// Stands in for the message boxes: records each and gives scripted answers
// (No once they run out).
class TBoxes {
public:
    std::vector<TBox> Shown;
    std::vector<QMessageBox::StandardButton> Answers;

    QStringList Texts() const {
        QStringList texts;
        for (const TBox& box : Shown)
            texts << box.Text;
        return texts;
    }

    TBoxes() : FShowing(kest::app::MessageBox()) {
        kest::app::MessageBox() = [this](QWidget*, QMessageBox::Icon Icon, const QString& Caption,
                                         const QString& Text,
                                         QMessageBox::StandardButtons Buttons) {
            Shown.push_back({Icon, Caption, Text, Buttons});
            if (Answers.empty()) return QMessageBox::No;
            const auto answer = Answers.front();
            Answers.erase(Answers.begin());
            return answer;
        };
    }
    ~TBoxes() { kest::app::MessageBox() = FShowing; }

private:
    kest::app::TMessageBoxFunc FShowing;
};

// The paper a register prints, written by the emulator's thread.
class TTape {
public:
    kest::emu::TTapeSink Sink() {
        return [this](std::string_view Text) {
            std::lock_guard lock(FLock);
            FText += Text;
        };
    }
    // What was printed since the last call, a line an item, blanks squeezed.
    QStringList Take() {
        std::lock_guard lock(FLock);
        QStringList lines = QString::fromStdString(FText).split(QLatin1Char('\n'));
        FText.clear();
        for (QString& line : lines)
            line = line.simplified();
        lines.removeAll(QString());
        return lines;
    }

private:
    std::mutex FLock;
    std::string FText;
};

inline kest::emu::TConfig Register(TKestEcrModel Model = mem207_1F, std::string Firmware = {}) {
    kest::emu::TConfig config;
    config.Model = Model;
    config.Firmware = std::move(Firmware);
    return config;
}

// The window's port 8 ("COM8") names the emulator's device.
inline void UsePort8(TMainForm& Form, const kest::emu::TEmulator& Emu) {
    setenv("KESTOR_COM8", Emu.DevicePath().c_str(), 1);
    Form.PortCombo->setCurrentIndex(7);
    Form.KestorFPrt->SetInternalTimeout(150);
}

// With KESTOR_SCREENSHOTS naming a directory, the widget is saved there as PNG.
inline void SaveShot(QWidget& Widget, const char* Name) {
    const QByteArray dir = qgetenv("KESTOR_SCREENSHOTS");
    if (!dir.isEmpty())
        QVERIFY(Widget.grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(Name)));
}

}  // namespace kest::app::test
