// A scripted session of the test window, for a demonstration without a
// display: its buttons are pressed in turn as a person would press them, the
// message boxes are answered (a question with Yes, so a stopped printer is
// retried; any other box with its OK) and every step's outcome is told.
#pragma once

#include <QString>
#include <ostream>
#include <span>

class QAbstractButton;
class TMainForm;

namespace kest::app {

struct TSessionStep {
    QString Title;  // how the report names the step
    QAbstractButton* Button;
};

// Presses each step's button, also after a step has failed, and writes one
// line a step to Out: "ok   <title>: <status line>", or "FAIL <title>: <the
// error box's text>". A step fails when it shows a box other than a
// question. Returns the count of failed steps.
int RunSession(TMainForm& Form, std::span<const TSessionStep> Steps, std::ostream& Out);

}  // namespace kest::app
