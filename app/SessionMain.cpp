// kestor-test-session: the test window pressed by a script, for the demo
// without a display: open the connection on COM1, an X report, a sale receipt
// (the composite one on registers without standard receipts), a picture of the
// connected window, close. Exits 1 when a step failed.
#include <QApplication>
#include <QCommandLineParser>
#include <iostream>
#include <vector>

#include "Application.h"
#include "MainUnit.h"
#include "Session.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    kest::app::Initialize();
    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("Presses the buttons of the test window: open, X report, sale, close."));
    options.addHelpOption();
    const QCommandLineOption shotOption(QStringLiteral("screenshot"),
                                        QStringLiteral("Save the connected window as PNG to FILE."),
                                        QStringLiteral("FILE"));
    options.addOption(shotOption);
    options.process(application);

    TMainForm form;
    form.show();
    using kest::app::TSessionStep;
    int failed = kest::app::RunSession(
        form,
        std::vector<TSessionStep>{{QStringLiteral("Открыть"), form.ConnOpenButton},
                                  {QStringLiteral("X-Отчет"), form.XReportButton}},
        std::cout);
    if (form.KestorFPrt->Active())
        std::cout << "     register: " << kest::ToUtf8(form.KestorFPrt->ModelName())
                  << ", firmware " << kest::ToUtf8(form.KestorFPrt->FirmwareVersion())
                  << ", generation " << form.KestorFPrt->Generation() << '\n';
    const int generation = form.KestorFPrt->Generation();
    const bool composite = generation == 3 || generation == 7;
    failed += kest::app::RunSession(
        form,
        std::vector<TSessionStep>{
            composite
                ? TSessionStep{QStringLiteral("Составной чек: продажа"), form.FiscalSaleButton}
                : TSessionStep{QStringLiteral("Стандартный чек: продажа"), form.RecSaleButton}},
        std::cout);
    if (options.isSet(shotOption)) {
        const QString path = options.value(shotOption);
        if (form.grab().save(path, "PNG")) {
            std::cout << "screenshot: " << path.toStdString() << '\n';
        } else {
            std::cout << "FAIL screenshot: cannot write " << path.toStdString() << '\n';
            ++failed;
        }
    }
    failed += kest::app::RunSession(
        form, std::vector<TSessionStep>{{QStringLiteral("Закрыть"), form.ConnCloseButton}},
        std::cout);
    return failed > 0 ? 1 : 0;
}
