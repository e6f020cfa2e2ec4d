// A pair of spin buttons bound to an edit box: the buttons step the number
// shown in the edit within a range, and so do the Up and Down keys in it.
#pragma once

#include <QPointer>
#include <QWidget>

class QLineEdit;
class QToolButton;

class TKestUpDown : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int Min READ Min WRITE SetMin)
    Q_PROPERTY(int Max READ Max WRITE SetMax)
    Q_PROPERTY(int Position READ Position WRITE SetPosition)
    Q_PROPERTY(bool Wrap READ Wrap WRITE SetWrap)

public:
    explicit TKestUpDown(QWidget* Parent = nullptr);

    int Min() const { return FMin; }
    void SetMin(int Value);
    int Max() const { return FMax; }
    void SetMax(int Value);
    // The number in the associated edit when it holds one in range, else the
    // last position set or stepped to.
    int Position() const;
    void SetPosition(int Value);
    bool Wrap() const { return FWrap; }
    void SetWrap(bool Value) { FWrap = Value; }
    // The edit that shows the position.
    void SetAssociate(QLineEdit* Edit);

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;

private:
    void Step(int Delta);

    QToolButton* FUp;
    QToolButton* FDown;
    QPointer<QLineEdit> FAssociate;
    int FMin = 0;
    int FMax = 100;
    int FPosition = 0;
    bool FWrap = false;
};
