// The status control: a widget that owns one driver, offers the driver's
// properties, events and operations under the driver's names, and draws a
// picture of the connected register with a lamp that shows the connection
// state. Applications place it on a window instead of the bare driver.
#pragma once

#include <QEvent>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "KestorFPrt.h"

class QThread;
class TKestorFPrtCtrl;

// The driver of a status control: it relays every event to the control (with
// the control as Sender) before firing its own, and keeps the control's
// mirror of the connection up to date after Open and Close. With no control
// attached it behaves as the plain driver.
class TKestorFPrtProxy : public TKestorFPrt {
public:
    explicit TKestorFPrtProxy(TKestorFPrtCtrl* Control = nullptr);
    TKestorFPrtCtrl* Control() const { return FControl; }

    void Open() override;
    void Close(bool Silent = false) override;

protected:
    void DoDataSend(const void* Data, int Size) override;
    void DoDataReceive(const void* Data, int Size) override;
    void DoNoResponse() override;
    void DoPrinterError() override;
    void DoDisplayError() override;
    void DoStatusUpdate() override;
    void DoConnStateUpdate() override;

private:
    TKestorFPrtCtrl* FControl;  // not owned
};

// The control's events: as the driver's, with the control as Sender.
using TKestCtrlNotifyEvent = std::function<void(TKestorFPrtCtrl& Sender)>;
using TKestCtrlDataEvent = std::function<void(TKestorFPrtCtrl& Sender, const void* Data, int Size)>;

// Window message 1024, posted to the control when the connection state
// changes on a thread other than the control's. 1024 is QEvent::User + 24.
class TKestDrawStateEvent : public QEvent {
public:
    static constexpr QEvent::Type WMKestDrawState = static_cast<QEvent::Type>(1024);
    static_assert(QEvent::User + 24 == 1024);

    explicit TKestDrawStateEvent(TKestConnState State)
        : QEvent(WMKestDrawState), WParam(State), LParam(0) {}
    const uintptr_t WParam;  // the connection state in the low byte
    const intptr_t LParam;
};

// The pictures of the register, by their resource names.
enum class TKestPicture { None, Unknown, K207F, K207F03, StationF };
inline constexpr int KestPictureCount = 5;

class TKestorFPrtCtrl : public QWidget, public TKestComponent {
    Q_OBJECT
    // Published in the window description; the names are the driver's.
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(int PortNum READ PortNum WRITE SetPortNum)
    Q_PROPERTY(int BaudRate READ BaudRate WRITE SetBaudRate)
    Q_PROPERTY(QString Password READ PasswordText WRITE SetPasswordText)
    Q_PROPERTY(int InternalTimeout READ InternalTimeout WRITE SetInternalTimeout)
    Q_PROPERTY(int ExternalTimeout READ ExternalTimeout WRITE SetExternalTimeout)
    Q_PROPERTY(QString Version READ VersionText WRITE SetVersion)
    Q_PROPERTY(bool RetryOperation READ RetryOperation WRITE SetRetryOperation)
    Q_PROPERTY(int BorderSize READ BorderSize WRITE SetBorderSize)
    Q_PROPERTY(bool ShowState READ ShowState WRITE SetShowState)
    Q_PROPERTY(bool TabStop READ TabStop WRITE SetTabStop)

public:
    // 155 x 155, hidden until shown, frame 1, lamp shown, not a tab stop.
    // std::runtime_error when a picture resource is missing.
    explicit TKestorFPrtCtrl(QWidget* Parent = nullptr);
    ~TKestorFPrtCtrl() override;

    // -- Behaviour of its own
    bool Active() const { return FActive; }
    void SetActive(bool Value);
    // While loading or in the designer only the Active switch is set;
    // otherwise the driver connects.
    virtual void Open();
    virtual void Close(bool Silent = false);
    void Loaded() override;
    int BorderSize() const { return FBorderSize; }
    void SetBorderSize(int Value);  // below 0 counts as 0
    bool ShowState() const { return FShowState; }
    void SetShowState(bool Value);
    bool TabStop() const;
    void SetTabStop(bool Value);
    // Redraws the lamp in the given state: at once on the control's thread,
    // through message 1024 from any other.
    void DrawConnState(TKestConnState State);

    // -- Drawing rules, shared by Paint and its tests.
    static TKestPicture ChoosePicture(bool Active, TKestEcrModel Model, int EcrVersion);
    static const char* PictureName(TKestPicture Picture);
    // Where a picture goes: centred, unscaled when it fits, else shrunk with
    // its aspect kept.
    static QRect PictureRect(QSize Picture, QSize Client);
    // The lamp's bounding box in the lower right corner, inside the frames.
    static QRect LampRect(QSize Client, int BorderSize);

    // -- Forwarded to the driver: same names, arguments and results.
    TKestConnState ConnState() const { return FDriver->ConnState(); }
    bool Connected() const { return FDriver->Connected(); }
    TKestEcrModel EcrModel() const { return FDriver->EcrModel(); }
    int EcrVersion() const { return FDriver->EcrVersion(); }
    int EcrSubVersion() const { return FDriver->EcrSubVersion(); }
    int Generation() const { return FDriver->Generation(); }
    bool EKLZSupported() const { return FDriver->EKLZSupported(); }
    TKestProtocol Protocol() const { return FDriver->Protocol(); }
    int EcrStatus() const { return FDriver->EcrStatus(); }
    int EcrStatusMask() const { return FDriver->EcrStatusMask(); }
    int DevStatus() const { return FDriver->DevStatus(); }
    int DevStatusMask() const { return FDriver->DevStatusMask(); }
    TKestDocStatus GetDocStatus() const { return FDriver->GetDocStatus(); }
    TKestOperType GetCurrentOper() const { return FDriver->GetCurrentOper(); }
    std::u16string Version() const { return FDriver->Version(); }
    int VersionNumber() const { return FDriver->VersionNumber(); }
    int BuildNumber() const { return FDriver->BuildNumber(); }
    int ErrCode() const { return FDriver->ErrCode(); }
    int ErrCodeEx() const { return FDriver->ErrCodeEx(); }
    std::u16string ErrMessage() const { return FDriver->ErrMessage(); }

    int PortNum() const { return FDriver->PortNum(); }
    void SetPortNum(int Value) { FDriver->SetPortNum(Value); }
    int BaudRate() const { return FDriver->BaudRate(); }
    void SetBaudRate(int Value) { FDriver->SetBaudRate(Value); }
    std::u16string Password() const { return FDriver->Password(); }
    void SetPassword(std::u16string_view Value) { FDriver->SetPassword(Value); }
    int InternalTimeout() const { return FDriver->InternalTimeout(); }
    void SetInternalTimeout(int Value) { FDriver->SetInternalTimeout(Value); }
    int ExternalTimeout() const { return FDriver->ExternalTimeout(); }
    void SetExternalTimeout(int Value) { FDriver->SetExternalTimeout(Value); }
    bool RetryOperation() const { return FDriver->RetryOperation(); }
    void SetRetryOperation(bool Value) { FDriver->SetRetryOperation(Value); }

    TKestCurrency SaleSum() const { return FDriver->SaleSum(); }
    TKestCurrency BuyingSum() const { return FDriver->BuyingSum(); }
    std::u16string SerialNumber() const { return FDriver->SerialNumber(); }
    std::u16string RegNumber() const { return FDriver->RegNumber(); }
    std::u16string TaxPayerNumber() const { return FDriver->TaxPayerNumber(); }
    std::u16string HeaderLine1() const { return FDriver->HeaderLine1(); }
    std::u16string HeaderLine2() const { return FDriver->HeaderLine2(); }
    std::u16string HeaderLine3() const { return FDriver->HeaderLine3(); }
    std::u16string HeaderLine4() const { return FDriver->HeaderLine4(); }
    TKestDateTime StartDate() const { return FDriver->StartDate(); }
    TKestDateTime EndDate() const { return FDriver->EndDate(); }
    int StartNumber() const { return FDriver->StartNumber(); }
    int EndNumber() const { return FDriver->EndNumber(); }
    TKestDateTime ReportDate() const { return FDriver->ReportDate(); }
    int GetReportHour() const { return FDriver->GetReportHour(); }
    int GetReportMin() const { return FDriver->GetReportMin(); }
    int LastFiscalReport() const { return FDriver->LastFiscalReport(); }

    std::u16string ModelName() const { return FDriver->ModelName(); }
    std::u16string Manufacturer() const { return FDriver->Manufacturer(); }
    std::u16string FirmwareVersion() const { return FDriver->FirmwareVersion(); }
    std::u16string TaxName() const { return FDriver->TaxName(); }
    TKestDateTime TaxDate() const { return FDriver->TaxDate(); }
    int CounterCount() const { return FDriver->CounterCount(); }
    int RewritesRemain() const { return FDriver->RewritesRemain(); }
    int DaysRemain() const { return FDriver->DaysRemain(); }
    int LastDayClosing() const { return FDriver->LastDayClosing(); }
    int LastDocOper() const { return FDriver->LastDocOper(); }
    int LastDocNumber() const { return FDriver->LastDocNumber(); }
    int LastRecNumber() const { return FDriver->LastRecNumber(); }
    int LastRepNumber() const { return FDriver->LastRepNumber(); }
    TKestOperType LastDocType() const { return FDriver->LastDocType(); }
    TKestCurrency LastDocSum() const { return FDriver->LastDocSum(); }
    TKestCurrency LastBuyingSum() const { return FDriver->LastBuyingSum(); }
    TKestDateTime LastDocDate() const { return FDriver->LastDocDate(); }
    int GetLastDocHour() const { return FDriver->GetLastDocHour(); }
    int GetLastDocMin() const { return FDriver->GetLastDocMin(); }
    TKestDateTime EcrDateTime() const { return FDriver->EcrDateTime(); }
    int GetEcrHour() const { return FDriver->GetEcrHour(); }
    int GetEcrMin() const { return FDriver->GetEcrMin(); }
    TKestDateTime DayDate() const { return FDriver->DayDate(); }
    int GetDayHour() const { return FDriver->GetDayHour(); }
    int GetDayMin() const { return FDriver->GetDayMin(); }

    bool EKLZActivated() const { return FDriver->EKLZActivated(); }
    TKestOperType EKLZOper() const { return FDriver->EKLZOper(); }
    bool EKLZArchiving() const { return FDriver->EKLZArchiving(); }
    bool EKLZReporting() const { return FDriver->EKLZReporting(); }
    bool EKLZDayOpened() const { return FDriver->EKLZDayOpened(); }
    bool EKLZFatalError() const { return FDriver->EKLZFatalError(); }
    bool EKLZAttention() const { return FDriver->EKLZAttention(); }
    int EKLZRest() const { return FDriver->EKLZRest(); }

    virtual void AbortRequest() { FDriver->AbortRequest(); }
    virtual void TestConnection() { FDriver->TestConnection(); }
    int CheckEcrStatus(int Bit) const { return FDriver->CheckEcrStatus(Bit); }
    int CheckDevStatus(int Bit) const { return FDriver->CheckDevStatus(Bit); }

    // -- Forwarded operations: same names, arguments, defaults and results
    // as the driver's; its exceptions pass through unchanged.

    // Standard receipt.
    void OpenReceipt(TKestOperType Oper) { FDriver->OpenReceipt(Oper); }
    void AddReceiptItem(std::u16string_view Name, TKestCurrency Price, bool ItemFlag,
                        int Department, int Code, int Adjustment, int Quantity, int Precision,
                        int TaxIndex, std::u16string_view UnitName, int Reserved = 0) {
        FDriver->AddReceiptItem(Name, Price, ItemFlag, Department, Code, Adjustment, Quantity,
                                Precision, TaxIndex, UnitName, Reserved);
    }
    void CancelReceipt() { FDriver->CancelReceipt(); }
    void CloseReceipt(std::u16string_view Account, TKestPayType PayType, TKestCurrency Amount,
                      TKestCurrency Amount2, std::u16string_view PayText, int Copies,
                      TKestOperInfo OperInfo) {
        FDriver->CloseReceipt(Account, PayType, Amount, Amount2, PayText, Copies, OperInfo);
    }

    // Custom document.
    void OpenCustomDoc(bool Form, TKestOperType Oper) { FDriver->OpenCustomDoc(Form, Oper); }
    void CancelCustomDoc() { FDriver->CancelCustomDoc(); }
    void CloseCustomDoc(TKestPayType PayType, int DocFlags, int CopiesA, int CopiesB, int OffsetA,
                        int OffsetB, int OffsetC, int FiscalIndex) {
        FDriver->CloseCustomDoc(PayType, DocFlags, CopiesA, CopiesB, OffsetA, OffsetB, OffsetC,
                                FiscalIndex);
    }

    // Composite document.
    void OpenFiscalDoc(TKestOperType Oper) { FDriver->OpenFiscalDoc(Oper); }
    void CancelFiscalDoc(bool LocalOnly) { FDriver->CancelFiscalDoc(LocalOnly); }
    void PrintFiscalDocBuffer() { FDriver->PrintFiscalDocBuffer(); }
    void CloseFiscalDoc() { FDriver->CloseFiscalDoc(); }
    void CopyFiscalDoc() { FDriver->CopyFiscalDoc(); }
    void RepeatOperation() { FDriver->RepeatOperation(); }

    // Document properties.
    void AddSerialNumber(int Flags, int X, int Y) { FDriver->AddSerialNumber(Flags, X, Y); }
    void AddHeaderLine(int Line, int Flags, int X, int Y) {
        FDriver->AddHeaderLine(Line, Flags, X, Y);
    }
    void AddDateTime(int Flags, int X, int Y) { FDriver->AddDateTime(Flags, X, Y); }
    void AddOperInfo(TKestOperInfo Info, int Flags, int X, int Y) {
        FDriver->AddOperInfo(Info, Flags, X, Y);
    }
    void AddDocNumber(int Flags, int X, int Y) { FDriver->AddDocNumber(Flags, X, Y); }
    void AddReceiptNumber(int Flags, int X, int Y) { FDriver->AddReceiptNumber(Flags, X, Y); }
    void AddAccount(std::u16string_view Account, int Flags, int X, int Y) {
        FDriver->AddAccount(Account, Flags, X, Y);
    }
    void AddTaxPayerNumber(int Flags, int X, int Y) { FDriver->AddTaxPayerNumber(Flags, X, Y); }
    void AddItem(TKestItemType ItemType, TKestCurrency Price, bool ItemFlag, int Department,
                 int Code, int Adjustment, int Quantity, int Precision, int TaxIndex,
                 std::u16string_view UnitName, int Flags, int X, int Y, int Second) {
        FDriver->AddItem(ItemType, Price, ItemFlag, Department, Code, Adjustment, Quantity,
                         Precision, TaxIndex, UnitName, Flags, X, Y, Second);
    }
    void AddDocPercentAdj(int Percent, int TaxIndex, int Flags, int X, int Y, int Second) {
        FDriver->AddDocPercentAdj(Percent, TaxIndex, Flags, X, Y, Second);
    }
    void AddDocAmountAdj(TKestCurrency Amount, int TaxIndex, int Flags, int X, int Y, int Second) {
        FDriver->AddDocAmountAdj(Amount, TaxIndex, Flags, X, Y, Second);
    }
    void AddTotal(int Flags, int X, int Y, int Second) { FDriver->AddTotal(Flags, X, Y, Second); }
    void AddPay(TKestPayType PayType, TKestCurrency Amount, TKestCurrency Amount2,
                std::u16string_view PayText, int Flags, int X, int Y, int Second) {
        FDriver->AddPay(PayType, Amount, Amount2, PayText, Flags, X, Y, Second);
    }
    void AddChange(int Flags, int X, int Y, int Second) { FDriver->AddChange(Flags, X, Y, Second); }
    void AddTaxSum(int TaxIndex, int Flags, int X, int Y, int Second) {
        FDriver->AddTaxSum(TaxIndex, Flags, X, Y, Second);
    }
    void AddFiscalSign(int Flags, int X, int Y) { FDriver->AddFiscalSign(Flags, X, Y); }
    void AddEKLZData(int Flags, int X, int Y) { FDriver->AddEKLZData(Flags, X, Y); }
    void AddRegNumber(int Flags, int X, int Y) { FDriver->AddRegNumber(Flags, X, Y); }
    void AddGraphicHeader(int Flags, int X, int Y) { FDriver->AddGraphicHeader(Flags, X, Y); }
    void AddBarcode(int Value1, int Value2, int Value3, int Value4, int Value5, bool Mark,
                    int Flags, int X, int Y) {
        FDriver->AddBarcode(Value1, Value2, Value3, Value4, Value5, Mark, Flags, X, Y);
    }
    void AddCustom(std::u16string_view Text, int Flags, int X, int Y) {
        FDriver->AddCustom(Text, Flags, X, Y);
    }

    // Shift and reports.
    void OpenDay(int OperNumber, std::u16string_view OperName, bool Flag, TKestProtocol Protocol) {
        FDriver->OpenDay(OperNumber, OperName, Flag, Protocol);
    }
    int XReport(int Flags = 0) { return FDriver->XReport(Flags); }
    int XReportByDep(int Depart, int Flags = 0) { return FDriver->XReportByDep(Depart, Flags); }
    int XReportByOper(int Oper, int Flags = 0) { return FDriver->XReportByOper(Oper, Flags); }
    int ZReport(int Flags = 0) { return FDriver->ZReport(Flags); }
    int FiscalReportByNum(std::u16string_view Password, bool Kind, int First, int Last) {
        return FDriver->FiscalReportByNum(Password, Kind, First, Last);
    }
    int FiscalReportByDate(std::u16string_view Password, bool Kind, TKestDateTime First,
                           TKestDateTime Last) {
        return FDriver->FiscalReportByDate(Password, Kind, First, Last);
    }
    int FiscalReportAll(std::u16string_view Password) { return FDriver->FiscalReportAll(Password); }

    // Fiscal memory rewrite.
    int FiscalRewrite(std::u16string_view Text1, std::u16string_view Text2,
                      std::u16string_view Text3, std::u16string_view Text4) {
        return FDriver->FiscalRewrite(Text1, Text2, Text3, Text4);
    }

    // Printing and peripherals.
    void FeedAndCut(int Lines, bool Cut = false) { FDriver->FeedAndCut(Lines, Cut); }
    void PrintNonFiscal(std::u16string_view Text, bool Open = true, bool Close = true) {
        FDriver->PrintNonFiscal(Text, Open, Close);
    }
    void ShowDisplay(std::u16string_view Text, bool Open = true, bool Close = true) {
        FDriver->ShowDisplay(Text, Open, Close);
    }
    void SetDisplayBaudRate(int Rate) { FDriver->SetDisplayBaudRate(Rate); }
    void ExternalPulse(int Channel, int FirstInterval, int SecondInterval, int Count) {
        FDriver->ExternalPulse(Channel, FirstInterval, SecondInterval, Count);
    }

    // Queries.
    void QueryDevExStatus() { FDriver->QueryDevExStatus(); }
    void QueryFirmwareInfo() { FDriver->QueryFirmwareInfo(); }
    int QueryTax(int Index) { return FDriver->QueryTax(Index); }
    TKestCurrency QueryCounter(int Number, bool UseSnapshot = false) {
        return FDriver->QueryCounter(Number, UseSnapshot);
    }
    void QueryResourceInfo(bool Print = false) { FDriver->QueryResourceInfo(Print); }
    void QueryLastDocInfo() { FDriver->QueryLastDocInfo(); }
    std::u16string QuerySerialNumber() { return FDriver->QuerySerialNumber(); }
    std::u16string QueryTaxPayerNumber() { return FDriver->QueryTaxPayerNumber(); }
    std::u16string QueryRegNumber() { return FDriver->QueryRegNumber(); }
    TKestDateTime QueryEcrDateTime() { return FDriver->QueryEcrDateTime(); }

    // Names and header.
    std::u16string QueryHeaderLine(int Line) { return FDriver->QueryHeaderLine(Line); }
    std::u16string QueryDepartName(int Depart) { return FDriver->QueryDepartName(Depart); }
    std::u16string QueryTitle(int Number) { return FDriver->QueryTitle(Number); }
    std::u16string QueryOperName(int Oper) { return FDriver->QueryOperName(Oper); }
    void SetTax(int Index, std::u16string_view Name, int Rate) {
        FDriver->SetTax(Index, Name, Rate);
    }
    void SetSerialNumber(std::u16string_view Value) { FDriver->SetSerialNumber(Value); }
    void SetHeader(std::u16string_view Line1, std::u16string_view Line2, std::u16string_view Line3,
                   std::u16string_view Line4) {
        FDriver->SetHeader(Line1, Line2, Line3, Line4);
    }
    void SetDepartName(int Depart, std::u16string_view Name) {
        FDriver->SetDepartName(Depart, Name);
    }
    void SetTitle(int Number, std::u16string_view Text) { FDriver->SetTitle(Number, Text); }

    // Parameters.
    int QueryPrinterTimeout() { return FDriver->QueryPrinterTimeout(); }
    int QueryDisplayTimeout() { return FDriver->QueryDisplayTimeout(); }
    int QueryPrinterContrast() { return FDriver->QueryPrinterContrast(); }
    int QueryLeading() { return FDriver->QueryLeading(); }
    bool QueryHeaderAlignment() { return FDriver->QueryHeaderAlignment(); }
    int QueryOperNumber() { return FDriver->QueryOperNumber(); }
    bool QueryAutocut() { return FDriver->QueryAutocut(); }
    bool QueryEconomicMode() { return FDriver->QueryEconomicMode(); }
    bool QueryPaperJournal() { return FDriver->QueryPaperJournal(); }
    bool QueryFullJournal() { return FDriver->QueryFullJournal(); }
    void SetParameters(TKestProtocol Protocol, int Timeout) {
        FDriver->SetParameters(Protocol, Timeout);
    }
    void SetProtocol(TKestProtocol Value) { FDriver->SetProtocol(Value); }
    void SetPrinterTimeout(int Value) { FDriver->SetPrinterTimeout(Value); }
    void SetDisplayTimeout(int Value) { FDriver->SetDisplayTimeout(Value); }
    void SetPrinterContrast(int Value) { FDriver->SetPrinterContrast(Value); }
    void SetLeading(int Value) { FDriver->SetLeading(Value); }
    void SetCutterDisabled(bool Value) { FDriver->SetCutterDisabled(Value); }
    void SetNarrowPaper(bool Value) { FDriver->SetNarrowPaper(Value); }
    void SetHeaderAlignment(bool Value) { FDriver->SetHeaderAlignment(Value); }
    void SetAutocut(bool Value) { FDriver->SetAutocut(Value); }
    void SetEconomicMode(bool Value) { FDriver->SetEconomicMode(Value); }
    void SetPaperJournal(bool Value) { FDriver->SetPaperJournal(Value); }
    void SetFullJournal(bool Value) { FDriver->SetFullJournal(Value); }

    // Date and time.
    void SynchronizeEcrDateTime() { FDriver->SynchronizeEcrDateTime(); }

    // Graphic header.
    void EnableGraphicHeader(int Width, int Height, std::span<const uint8_t> Picture) {
        FDriver->EnableGraphicHeader(Width, Height, Picture);
    }
    void EnableGraphicHeader(int Width, int Height, std::u16string_view HexText) {
        FDriver->EnableGraphicHeader(Width, Height, HexText);
    }
    void DisableGraphicHeader() { FDriver->DisableGraphicHeader(); }

    // Protected journal.
    void EKLZActivate() { FDriver->EKLZActivate(); }
    void EKLZActivationReport() { FDriver->EKLZActivationReport(); }
    void EKLZDayReport(int Day) { FDriver->EKLZDayReport(Day); }
    void EKLZReportByNum(bool Full, int First, int Last) {
        FDriver->EKLZReportByNum(Full, First, Last);
    }
    void EKLZReportByDate(bool Full, TKestDateTime First, TKestDateTime Last) {
        FDriver->EKLZReportByDate(Full, First, Last);
    }
    void EKLZDocByNum(int Number) { FDriver->EKLZDocByNum(Number); }
    void EKLZControlByNum(int Day) { FDriver->EKLZControlByNum(Day); }
    void EKLZCloseArchive() { FDriver->EKLZCloseArchive(); }
    void EKLZQueryStatus() { FDriver->EKLZQueryStatus(); }

    // -- Events, fired on the thread that runs the command.
    TKestCtrlDataEvent OnDataSend;
    TKestCtrlDataEvent OnDataReceive;
    TKestCtrlNotifyEvent OnNoResponse;
    TKestCtrlNotifyEvent OnPrinterError;
    TKestCtrlNotifyEvent OnDisplayError;
    TKestCtrlNotifyEvent OnStatusUpdate;
    TKestCtrlNotifyEvent OnConnStateUpdate;

signals:
    void clicked();

protected:
    // Fire the control's handlers; the proxy calls them before the driver's own.
    virtual void DoDataSend(const void* Data, int Size);
    virtual void DoDataReceive(const void* Data, int Size);
    virtual void DoNoResponse();
    virtual void DoPrinterError();
    virtual void DoDisplayError();
    virtual void DoStatusUpdate();
    virtual void DoConnStateUpdate();

    virtual void Click();
    void WMKestDrawState(const TKestDrawStateEvent& Message);
    void CMEnabledChanged();

    void paintEvent(QPaintEvent* Event) override;
    void customEvent(QEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    friend class TKestorFPrtProxy;

    // The Version property is the driver's own; a stored value is ignored.
    QString VersionText() const { return QString::fromStdU16String(Version()); }
    void SetVersion(const QString&) {}
    QString PasswordText() const { return QString::fromStdU16String(Password()); }
    void SetPasswordText(const QString& Value) { SetPassword(Value.toStdU16String()); }

    // Copies the driver's connection into the mirror and repaints.
    void SyncActive();
    // Repaints now on the control's thread, later from any other.
    void Repaint();
    bool OnOwnThread() const;

    std::unique_ptr<TKestorFPrtProxy> FDriver;
    std::array<QImage, KestPictureCount> FPictures;
    QThread* FCreatingThread;

    // What Paint reads of the driver, written by the thread that runs the
    // command and read by the control's thread.
    std::atomic<bool> FActive = false;
    std::atomic<TKestEcrModel> FEcrModel = memUnknown;
    std::atomic<int> FEcrVersion = 0;
    std::atomic<TKestConnState> FConnState = mcsNone;

    int FBorderSize = 1;
    bool FShowState = true;
    bool FMousePressed = false;
    // The state DrawConnState asked for, while its repaint runs.
    std::optional<TKestConnState> FDrawState;
};

// Builds a window from its description (Create, typically a setupUi call)
// the way a stored form loads: status controls created meanwhile are in the
// loading state, so that a description with Active true connects only when
// all their properties are set. Then calls Loaded of each, in creation order;
// a failure to connect leaves this function.
void KestLoadForm(const std::function<void()>& Create);
