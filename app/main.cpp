// kestor-test: the test window for a KESTOR register.
#include <QApplication>
#include <exception>

#include "Application.h"
#include "MainUnit.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    try {
        kest::app::Initialize();
        TMainForm form;
        form.show();
        QApplication::exec();
    } catch (...) {
        kest::app::ShowException(nullptr, std::current_exception());
    }
    return 0;
}
