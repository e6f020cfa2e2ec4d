#include "UpDown.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>

TKestUpDown::TKestUpDown(QWidget* Parent)
    : QWidget(Parent), FUp(new QToolButton(this)), FDown(new QToolButton(this)) {
    for (QToolButton* button : {FUp, FDown}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
    }
    FUp->setArrowType(Qt::UpArrow);
    FDown->setArrowType(Qt::DownArrow);
    connect(FUp, &QToolButton::clicked, this, [this] { Step(1); });
    connect(FDown, &QToolButton::clicked, this, [this] { Step(-1); });
}

void TKestUpDown::SetMin(int Value) {
    FMin = Value;
    FMax = std::max(FMax, FMin);
    SetPosition(FPosition);
}

void TKestUpDown::SetMax(int Value) {
    FMax = Value;
    FMin = std::min(FMin, FMax);
    SetPosition(FPosition);
}

int TKestUpDown::Position() const {
    if (FAssociate) {
        bool ok = false;
        const int shown = FAssociate->text().trimmed().toInt(&ok);
        if (ok && shown >= FMin && shown <= FMax) return shown;
    }
    return FPosition;
}

void TKestUpDown::SetPosition(int Value) {
    FPosition = std::clamp(Value, FMin, FMax);
    if (FAssociate) FAssociate->setText(QString::number(FPosition));
}

void TKestUpDown::SetAssociate(QLineEdit* Edit) {
    if (FAssociate) FAssociate->removeEventFilter(this);
    FAssociate = Edit;
    if (FAssociate) {
        FAssociate->installEventFilter(this);
        SetPosition(FPosition);
    }
}

void TKestUpDown::Step(int Delta) {
    int next = Position() + Delta;
    if (next > FMax) next = FWrap ? FMin : FMax;
    if (next < FMin) next = FWrap ? FMax : FMin;
    SetPosition(next);
}

bool TKestUpDown::eventFilter(QObject* Watched, QEvent* Event) {
    // The event's type first: an edit being destroyed still sends events
    // while it is only a QWidget, and comparing with FAssociate would take it
    // for a QLineEdit.
    if (Event->type() == QEvent::KeyPress && Watched == FAssociate) {
        const int key = static_cast<QKeyEvent*>(Event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(Watched, Event);
}

void TKestUpDown::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    const int half = height() / 2;
    FUp->setGeometry(0, 0, width(), half);
    FDown->setGeometry(0, half, width(), height() - half);
}
