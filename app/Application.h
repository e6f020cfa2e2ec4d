// The application around the test window: its title, the message boxes it
// shows, and the standard error box for whatever a handler lets escape.
#pragma once

#include <QMessageBox>
#include <QString>
#include <exception>
#include <functional>

class QWidget;

namespace kest::app {

// Sets the application's title; the question and error boxes carry it.
void Initialize();
QString Title();

// Shows a modal message box and returns the button pressed (Escape or
// closing a Yes/No box answers No).
using TMessageBoxFunc = std::function<QMessageBox::StandardButton(
    QWidget* Parent, QMessageBox::Icon Icon, const QString& Caption, const QString& Text,
    QMessageBox::StandardButtons Buttons)>;
// The function every box of the application goes through; a test replaces
// it to read the boxes instead of showing them.
TMessageBoxFunc& MessageBox();

// The message of an exception: the driver's own text for its exceptions,
// the driver's wording for system, memory and other failures.
QString ExceptionMessage(std::exception_ptr Error);
// Adds "." to a message whose last character sorts after ".".
QString AddPeriod(QString Message);
// The standard error box: the message with AddPeriod, stop icon, OK button.
void ShowException(QWidget* Parent, std::exception_ptr Error);

// Runs Handler and shows whatever it raises in the standard error box, so
// that no exception travels through the toolkit's event handling.
template <class Handler>
void Guard(QWidget* Parent, Handler&& handler) {
    try {
        handler();
    } catch (...) {
        ShowException(Parent, std::current_exception());
    }
}

}  // namespace kest::app
