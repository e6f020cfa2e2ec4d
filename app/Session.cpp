#include "Session.h"

#include <QAbstractButton>
#include <QStringList>

#include "Application.h"
#include "MainUnit.h"

namespace kest::app {

namespace {

std::string OneLine(QString Text) {
    Text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return Text.toStdString();
}

}  // namespace

int RunSession(TMainForm& Form, std::span<const TSessionStep> Steps, std::ostream& Out) {
    QStringList errors;  // the boxes of the running step
    // The application's own boxes come back however the session ends.
    struct TRestore {
        TMessageBoxFunc Showing = MessageBox();
        ~TRestore() { MessageBox() = Showing; }
    } restore;
    MessageBox() = [&](QWidget*, QMessageBox::Icon, const QString&, const QString& Text,
                       QMessageBox::StandardButtons Buttons) {
        if (Buttons.testFlag(QMessageBox::Yes)) {
            Out << "     question: " << OneLine(Text) << " - Yes\n";
            return QMessageBox::Yes;
        }
        errors << Text;
        return QMessageBox::Ok;
    };
    int failed = 0;
    for (const TSessionStep& step : Steps) {
        errors.clear();
        Form.InfoLabel->clear();
        step.Button->click();
        if (errors.isEmpty()) {
            Out << "ok   " << OneLine(step.Title) << ": " << OneLine(Form.InfoLabel->text())
                << '\n';
        } else {
            ++failed;
            Out << "FAIL " << OneLine(step.Title) << ": " << OneLine(errors.join(QLatin1Char(' ')))
                << '\n';
        }
        Out.flush();
    }
    return failed;
}

}  // namespace kest::app
