#include "Application.h"

#include <QCoreApplication>
#include <new>
#include <system_error>

#include "KestorFPrt.h"
#include "Messages.h"

namespace kest::app {

namespace {

QMessageBox::StandardButton ShowMessageBox(QWidget* Parent, QMessageBox::Icon Icon,
                                           const QString& Caption, const QString& Text,
                                           QMessageBox::StandardButtons Buttons) {
    QMessageBox box(Icon, Caption, Text, Buttons, Parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString FromU16(std::u16string_view Text) {
    return QString::fromUtf16(Text.data(), static_cast<qsizetype>(Text.size()));
}

}  // namespace

void Initialize() {
    QCoreApplication::setApplicationName(QStringLiteral("Kestor207F"));
}

QString Title() {
    return QCoreApplication::applicationName();
}

TMessageBoxFunc& MessageBox() {
    static TMessageBoxFunc function = ShowMessageBox;
    return function;
}

QString ExceptionMessage(std::exception_ptr Error) {
    try {
        std::rethrow_exception(std::move(Error));
    } catch (const EKestError& e) {
        return FromU16(e.Message());
    } catch (const std::bad_alloc&) {
        return FromU16(kest::msg::OutOfMemory);
    } catch (const std::system_error& e) {
        return FromU16(kest::msg::SystemError) + QStringLiteral(":\r\n") +
               FromU16(kest::msg::SystemMessage(e.code()));
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return FromU16(kest::msg::UnknownError);
    }
}

QString AddPeriod(QString Message) {
    if (!Message.isEmpty() && Message.back() > QLatin1Char('.')) Message += QLatin1Char('.');
    return Message;
}

void ShowException(QWidget* Parent, std::exception_ptr Error) {
    // The driver's messages break their lines with CR LF; a box wants LF.
    QString text = AddPeriod(ExceptionMessage(std::move(Error)));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    MessageBox()(Parent, QMessageBox::Critical, Title(), text, QMessageBox::Ok);
}

}  // namespace kest::app
