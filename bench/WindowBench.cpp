// kestor-bench-window bare|text|test: the time from main() to the first
// paint of a bare QWidget, of one with a line of text (which loads the fonts,
// as every window with text does), or of the test window, and the process's
// peak memory then.
// Prints "<milliseconds> <peak KiB>" and exits; run it once per sample, as a
// fresh process, so each start pays for what a user's start pays for.
#include <sys/resource.h>

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "Application.h"
#include "MainUnit.h"

namespace {

// Quits once the first paint of the watched window has been done, all of
// it: the repaint of a window paints its children in the same pass, and the
// zero timer runs when that pass is over.
class TFirstPaint : public QObject {
public:
    TFirstPaint(QWidget& Window, std::chrono::steady_clock::time_point Start)
        : FWindow(Window), FStart(Start) {}

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Watched == &FWindow && Event->type() == QEvent::Paint && !FSeen) {
            FSeen = true;
            QTimer::singleShot(0, [this] {
                const double ms = std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - FStart)
                                      .count();
                rusage usage{};
                getrusage(RUSAGE_SELF, &usage);
                std::printf("%.2f %ld\n", ms, usage.ru_maxrss);
                QApplication::quit();
            });
        }
        return false;
    }

private:
    QWidget& FWindow;
    std::chrono::steady_clock::time_point FStart;
    bool FSeen = false;
};

}  // namespace

int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    const std::string kind = argc > 1 ? argv[1] : "";
    if (kind != "bare" && kind != "text" && kind != "test") {
        std::fprintf(stderr, "usage: kestor-bench-window bare|text|test\n");
        return 2;
    }
    QApplication application(argc, argv);
    std::unique_ptr<QWidget> window;
    if (kind == "test") {
        kest::app::Initialize();
        window = std::make_unique<TMainForm>();
    } else {
        window = std::make_unique<QWidget>();
        window->resize(640, 480);
        if (kind == "text") new QLabel(QStringLiteral("Кестор"), window.get());
    }
    TFirstPaint watch(*window, start);
    window->installEventFilter(&watch);
    window->show();
    return QApplication::exec();
}
