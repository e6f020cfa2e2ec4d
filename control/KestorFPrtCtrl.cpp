// The status control and its relay driver.
#include "KestorFPrtCtrl.h"

#include <QBrush>
#include <QColor>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The controls created by the running KestLoadForm on this thread.
thread_local std::vector<QPointer<TKestorFPrtCtrl>>* GLoadingControls = nullptr;

QColor LampColour(TKestConnState State) {
    switch (State) {
        case mcsWriting:
            return QColor(0, 128, 0);
        case mcsReading:
            return QColor(255, 255, 0);
        case mcsNoResponse:
        case mcsPrinterError:
        case mcsDisplayError:
            return QColor(255, 0, 0);
        case mcsNone:
        case mcsIdle:
            break;
    }
    return QColor(255, 255, 255);
}

const QBrush WhiteHatch(Qt::white, Qt::DiagCrossPattern);

// The rectangle whose one-pixel outline covers Left .. Right - 1 and Top ..
// Bottom - 1: Qt's outline also covers the right and bottom edges of the
// rectangle it is given.
QRect Outline(int Left, int Top, int Right, int Bottom) {
    return QRect(Left, Top, Right - Left - 1, Bottom - Top - 1);
}

void DrawLamp(QPainter& P, const QRect& Box, const QBrush& Brush) {
    P.setBrush(Brush);
    P.drawEllipse(
        Outline(Box.left(), Box.top(), Box.left() + Box.width(), Box.top() + Box.height()));
}

}  // namespace

// ---------------------------------------------------------------------------
// TKestorFPrtProxy

TKestorFPrtProxy::TKestorFPrtProxy(TKestorFPrtCtrl* Control)
    : TKestorFPrt(nullptr), FControl(Control) {}

void TKestorFPrtProxy::Open() {
    TKestorFPrt::Open();
    if (FControl) FControl->SyncActive();
}

void TKestorFPrtProxy::Close(bool Silent) {
    TKestorFPrt::Close(Silent);
    if (FControl) FControl->SyncActive();
}

void TKestorFPrtProxy::DoDataSend(const void* Data, int Size) {
    if (FControl) FControl->DoDataSend(Data, Size);
    TKestorFPrt::DoDataSend(Data, Size);
}

void TKestorFPrtProxy::DoDataReceive(const void* Data, int Size) {
    if (FControl) FControl->DoDataReceive(Data, Size);
    TKestorFPrt::DoDataReceive(Data, Size);
}

void TKestorFPrtProxy::DoNoResponse() {
    if (FControl) FControl->DoNoResponse();
    TKestorFPrt::DoNoResponse();
}

void TKestorFPrtProxy::DoPrinterError() {
    if (FControl) FControl->DoPrinterError();
    TKestorFPrt::DoPrinterError();
}

void TKestorFPrtProxy::DoDisplayError() {
    if (FControl) FControl->DoDisplayError();
    TKestorFPrt::DoDisplayError();
}

void TKestorFPrtProxy::DoStatusUpdate() {
    if (FControl) FControl->DoStatusUpdate();
    TKestorFPrt::DoStatusUpdate();
}

void TKestorFPrtProxy::DoConnStateUpdate() {
    if (FControl) {
        const TKestConnState state = ConnState();
        FControl->FConnState = state;
        if (!FControl->OnOwnThread()) {
            // Widgets are drawn on their own thread only: the control draws
            // the state when it handles the message.
            QCoreApplication::postEvent(FControl, new TKestDrawStateEvent(state));
        } else if (FControl->FShowState) {
            FControl->DrawConnState(state);
        }
        FControl->DoConnStateUpdate();
    }
    TKestorFPrt::DoConnStateUpdate();
}

// ---------------------------------------------------------------------------
// TKestorFPrtCtrl

TKestorFPrtCtrl::TKestorFPrtCtrl(QWidget* Parent)
    : QWidget(Parent),
      TKestComponent(nullptr),
      FDriver(std::make_unique<TKestorFPrtProxy>(this)),
      FCreatingThread(QThread::currentThread()) {
    for (int i = 0; i < KestPictureCount; ++i) {
        const char* name = PictureName(static_cast<TKestPicture>(i));
        if (!FPictures[i].load(QStringLiteral(":/") + QLatin1String(name), "JPEG"))
            throw std::runtime_error(std::string("Resource ") + name + " not found");
    }
    resize(155, 155);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    hide();
    if (GLoadingControls) {
        BeginLoading();
        GLoadingControls->emplace_back(this);
    }
}

// The pictures go first, then the driver, which releases the port.
TKestorFPrtCtrl::~TKestorFPrtCtrl() = default;

bool TKestorFPrtCtrl::OnOwnThread() const {
    return QThread::currentThread() == FCreatingThread;
}

void TKestorFPrtCtrl::Repaint() {
    if (OnOwnThread())
        repaint();
    else
        QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void TKestorFPrtCtrl::SyncActive() {
    FActive = FDriver->Active();
    FEcrModel = FDriver->EcrModel();
    FEcrVersion = FDriver->EcrVersion();
    Repaint();
}

// -- Connection

void TKestorFPrtCtrl::Open() {
    if (Loading() || Designing()) {
        FActive = true;
        Repaint();
        return;
    }
    FDriver->Open();
}

void TKestorFPrtCtrl::Close(bool Silent) {
    // Open set only the switch here, so there is no connection to close;
    // the driver would refuse and the switch could never be turned off.
    if (Loading() || Designing()) {
        FActive = false;
        Repaint();
        return;
    }
    FDriver->Close(Silent);
}

void TKestorFPrtCtrl::SetActive(bool Value) {
    if (Value)
        Open();
    else
        Close(false);
}

void TKestorFPrtCtrl::Loaded() {
    TKestComponent::Loaded();
    if (FActive) Open();
}

void KestLoadForm(const std::function<void()>& Create) {
    std::vector<QPointer<TKestorFPrtCtrl>> controls;
    auto* const outer = GLoadingControls;
    GLoadingControls = &controls;
    try {
        Create();
    } catch (...) {
        GLoadingControls = outer;
        throw;
    }
    GLoadingControls = outer;
    for (const auto& control : controls)
        if (control) control->Loaded();
}

// -- Settings of the control

void TKestorFPrtCtrl::SetBorderSize(int Value) {
    Value = std::max(Value, 0);
    if (Value == FBorderSize) return;
    FBorderSize = Value;
    Repaint();
}

void TKestorFPrtCtrl::SetShowState(bool Value) {
    if (Value == FShowState) return;
    FShowState = Value;
    Repaint();
}

bool TKestorFPrtCtrl::TabStop() const {
    return focusPolicy() != Qt::NoFocus;
}

// A click takes the focus itself (Click), so only the Tab key is Qt's.
void TKestorFPrtCtrl::SetTabStop(bool Value) {
    setFocusPolicy(Value ? Qt::TabFocus : Qt::NoFocus);
}

// -- Events relayed by the driver

void TKestorFPrtCtrl::DoDataSend(const void* Data, int Size) {
    if (OnDataSend) OnDataSend(*this, Data, Size);
}

void TKestorFPrtCtrl::DoDataReceive(const void* Data, int Size) {
    if (OnDataReceive) OnDataReceive(*this, Data, Size);
}

void TKestorFPrtCtrl::DoNoResponse() {
    if (OnNoResponse) OnNoResponse(*this);
}

void TKestorFPrtCtrl::DoPrinterError() {
    if (OnPrinterError) OnPrinterError(*this);
}

void TKestorFPrtCtrl::DoDisplayError() {
    if (OnDisplayError) OnDisplayError(*this);
}

void TKestorFPrtCtrl::DoStatusUpdate() {
    if (OnStatusUpdate) OnStatusUpdate(*this);
}

void TKestorFPrtCtrl::DoConnStateUpdate() {
    if (OnConnStateUpdate) OnConnStateUpdate(*this);
}

// -- Drawing rules

TKestPicture TKestorFPrtCtrl::ChoosePicture(bool Active, TKestEcrModel Model, int EcrVersion) {
    if (!Active) return TKestPicture::None;
    switch (Model) {
        case mem207_1F:
            return EcrVersion == 0x0300 ? TKestPicture::K207F03 : TKestPicture::K207F;
        case mem207_1K:
            return TKestPicture::K207F;
        case memPCK:
        case mem207_1FMD:
            return TKestPicture::K207F03;
        case memStationF:
            return TKestPicture::StationF;
        case memUnknown:
            break;
    }
    return TKestPicture::Unknown;
}

const char* TKestorFPrtCtrl::PictureName(TKestPicture Picture) {
    switch (Picture) {
        case TKestPicture::Unknown:
            return "KEST_UNKNOWN";
        case TKestPicture::K207F:
            return "KEST_207F";
        case TKestPicture::K207F03:
            return "KEST_207F03";
        case TKestPicture::StationF:
            return "KEST_STATION_F";
        case TKestPicture::None:
            break;
    }
    return "KEST_NONE";
}

QRect TKestorFPrtCtrl::PictureRect(QSize Picture, QSize Client) {
    QSize target = Picture;
    if (Picture.width() > Client.width() || Picture.height() > Client.height()) {
        // Shrink along the side that overflows more; the other follows the aspect.
        if (Picture.width() - Client.width() < Picture.height() - Client.height())
            target = QSize(Picture.width() * Client.height() / Picture.height(), Client.height());
        else
            target = QSize(Client.width(), Picture.height() * Client.width() / Picture.width());
    }
    return QRect(
        QPoint((Client.width() - target.width()) / 2, (Client.height() - target.height()) / 2),
        target);
}

QRect TKestorFPrtCtrl::LampRect(QSize Client, int BorderSize) {
    const int room = std::min(std::min(155, Client.width() - 2 * BorderSize - 4),
                              std::min(155, Client.height() - 2 * BorderSize - 4));
    const int d = 4 * room / 30;
    const int x2 = Client.width() - BorderSize - 2;
    const int y2 = Client.height() - BorderSize - 2;
    return QRect(QPoint(x2 - d, y2 - d), QSize(d, d));
}

// -- Drawing

void TKestorFPrtCtrl::DrawConnState(TKestConnState State) {
    // Another thread may not touch the widget: the message draws it later.
    if (!OnOwnThread()) {
        QCoreApplication::postEvent(this, new TKestDrawStateEvent(State));
        return;
    }
    // Qt draws a widget only in its paint event: repaint the lamp's corner
    // now, with this state.
    FDrawState = State;
    repaint(LampRect(size(), FBorderSize));
    FDrawState.reset();
}

void TKestorFPrtCtrl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width(), h = height(), b = FBorderSize;

    const QImage& picture =
        FPictures[static_cast<int>(ChoosePicture(FActive, FEcrModel, FEcrVersion))];
    p.fillRect(rect(), Qt::white);
    const QRect target = PictureRect(picture.size(), size());
    if (target.size() == picture.size())
        p.drawImage(target.topLeft(), picture);
    else
        p.drawImage(target, picture);

    if (FShowState) {
        const QRect lamp = LampRect(size(), b);
        p.setPen(QPen(Qt::black, 1, Qt::SolidLine));
        DrawLamp(p, lamp, LampColour(FDrawState.value_or(FConnState.load())));
        if (!isEnabled()) {
            p.setBackgroundMode(Qt::TransparentMode);
            DrawLamp(p, lamp, WhiteHatch);
        }
    }
    if (!isEnabled()) {
        p.setPen(Qt::NoPen);
        p.setBrush(WhiteHatch);
        p.setBackgroundMode(Qt::TransparentMode);
        p.drawRect(rect());
    }
    if (hasFocus()) {
        p.setPen(QPen(Qt::black, 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.setBackgroundMode(Qt::OpaqueMode);
        p.setBackground(Qt::white);
        p.drawRect(Outline(b + 1, b + 1, w - b - 1, h - b - 1));
    }
    if (b > 0) {
        p.setPen(QPen(Qt::black, 1, Qt::SolidLine));
        p.setBrush(Qt::NoBrush);
        for (int i = 1; i <= b; ++i)
            p.drawRect(Outline(i - 1, i - 1, w - i + 1, h - i + 1));
    }
}

void TKestorFPrtCtrl::WMKestDrawState(const TKestDrawStateEvent& Message) {
    if (FShowState) DrawConnState(static_cast<TKestConnState>(Message.WParam & 0xFF));
}

void TKestorFPrtCtrl::customEvent(QEvent* Event) {
    if (Event->type() == TKestDrawStateEvent::WMKestDrawState)
        WMKestDrawState(static_cast<const TKestDrawStateEvent&>(*Event));
    else
        QWidget::customEvent(Event);
}

void TKestorFPrtCtrl::CMEnabledChanged() {
    Repaint();
}

void TKestorFPrtCtrl::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::EnabledChange) CMEnabledChanged();
}

// Entering and leaving show and hide the focus rectangle.
void TKestorFPrtCtrl::focusInEvent(QFocusEvent* Event) {
    QWidget::focusInEvent(Event);
    update();
}

void TKestorFPrtCtrl::focusOutEvent(QFocusEvent* Event) {
    QWidget::focusOutEvent(Event);
    update();
}

void TKestorFPrtCtrl::Click() {
    emit clicked();
    if (TabStop()) setFocus(Qt::MouseFocusReason);
}

void TKestorFPrtCtrl::mousePressEvent(QMouseEvent* Event) {
    FMousePressed = Event->button() == Qt::LeftButton;
    QWidget::mousePressEvent(Event);
}

void TKestorFPrtCtrl::mouseReleaseEvent(QMouseEvent* Event) {
    const bool click = FMousePressed && Event->button() == Qt::LeftButton &&
                       rect().contains(Event->position().toPoint());
    FMousePressed = false;
    QWidget::mouseReleaseEvent(Event);
    if (click) Click();
}
