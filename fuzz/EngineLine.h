#pragma once

// The driver's answer path fed from a fuzzed line (EngineFuzz.cpp), and the
// same operations recorded against the emulator for the seeds
// (EngineSeeds.cpp). The five port operations
// are replaced, as tests/driver/ScriptedLine.h does: every request frame the
// driver writes, and every byte it writes outside a frame (a reply to a
// notice, the in-wait status request, raw device output), is answered with the
// next chunk of the input. The public operations run across every
// generation, so each command's answer is read with its own size.
//
// Input: a TSource gives the choices and the register's bytes.
//
// What must hold after every operation, else the run stops as a finding:
// only the EKestError tree comes out of the driver, the last error records
// exactly that failure (or none), the line is idle, a document close writes
// its document at most once (exactly once when it succeeded) and a failed
// close keeps the document.
#include <algorithm>
#include <array>
#include <utility>

#include "Fuzz.h"

namespace kest::fuzz {

constexpr uint8_t Stx = 0x02, Etx = 0x03, Ack = 0x06;
// Operations an input runs at most, and the replies to OnNoResponse that
// keep waiting, each bringing the next chunk.
constexpr int MaxOperations = 24, MaxRetries = 4;

// What the device-error handler raises when it gives up; the driver passes it on.
struct THandlerGaveUp : std::exception {};

// Where the operations' choices and the register's bytes come from.
class TSource {
public:
    virtual ~TSource() = default;
    // Whether any input is left.
    virtual bool More() const = 0;
    // A choice in Min..Max.
    virtual int Pick(int Min, int Max) = 0;
    virtual int PickOperation(int Count) { return Pick(0, Count - 1); }
    bool PickBool() { return Pick(0, 1) == 1; }
    // The register's next bytes once the driver has written Written (a
    // request frame for Cmd, a reply byte, raw output; empty: nothing more
    // was written and the driver still waits).
    virtual std::string Answer(std::string_view Written, uint8_t Cmd) = 0;
};

struct TRegisterKind {
    TKestEcrModel Model;
    int Generation, Version, SubVersion;
    TKestCodingType Coding;
    bool EKLZ;
};

constexpr TRegisterKind Kinds[] = {
    {mem207_1F, 1, 0x0100, 0, mctGeneral, false},
    {mem207_1F, 2, 0x0200, 0, mctGeneral, false},
    {mem207_1F, 3, 0x0300, 0x0205, mctGeneral, false},
    {mem207_1F, 6, 0x0600, 0, mctGeneral, false},
    {memStationF, 6, 0x0200, 0, mctGeneral, false},
    {memPCK, 7, 0x0100, 0, mctGeneral, true},
    {mem207_1FMD, 3, 0x0100, 0x0300, mctMoldavian, false},
    {mem207_1K, 8, 0x0100, 0, mctGeneral, true},
};

class TFuzzLine : public TKestorFPrt {
public:
    explicit TFuzzLine(TSource& Source) : FSource(Source) {
        // No real line: the time-outs bound only the clean-up's clock.
        FInternalTimeout = 1;
        FExternalTimeout = 1;
        OnNoResponse = [this](TKestorFPrt&) {
            if (FRetries < MaxRetries && FSource.More() && FSource.PickBool()) {
                ++FRetries;
                SetRetryOperation(true);
                FInput += FSource.Answer({}, FCmd);  // the rest arrives late
            }
        };
        // Retry, ask with the in-wait request, give up, or cancel.
        OnPrinterError = OnDisplayError = [this](TKestorFPrt&) {
            const int answer = FSource.Pick(0, 3);
            if (answer == 0) SetRetryOperation(true);
            if (answer == 1) QueryDevExStatus();
            if (answer == 2) throw THandlerGaveUp();
        };
    }

    // An identified register, as Open would leave it.
    void Attach(const TRegisterKind& Kind, TKestProtocol Protocol) {
        FActive = FConnected = true;
        FConnState = mcsIdle;
        FEcrModel = Kind.Model;
        FGeneration = Kind.Generation;
        FEcrVersion = Kind.Version;
        FEcrSubVersion = Kind.SubVersion;
        FCoding = Kind.Coding;
        FEKLZSupported = Kind.EKLZ;
        FProtocol = Protocol;
        FDocStatus = mdsClosed;
    }

    void StartOperation() { FRetries = FDocFrames = 0; }
    void SetDocCommand(uint8_t Cmd) { FDocCmd = Cmd; }
    int DocFrames() const { return FDocFrames; }
    int Items() const { return FReceiptItemCount; }
    int Properties() const { return FDoc.Count; }
    bool Idle() const { return FConnState == (FConnected ? mcsIdle : mcsNone); }

protected:
    void OpenPort() override { FConnected = true; }
    void ClosePort(bool) override { FConnected = false; }
    void ClearPort() override { FInput.clear(); }

    void SendData(const void* Data, int Size) override {
        CheckAbort();
        const std::string_view block(static_cast<const char*>(Data), static_cast<size_t>(Size));
        DoDataSend(Data, Size);
        FWritten += block;
        // A frame is answered at its ETX, anything outside one at once.
        if (block.size() == 1 && block[0] == Stx) {
            FInFrame = FFrameStart = true;
        } else if (FInFrame && block.size() == 1 && block[0] == Etx) {
            FInFrame = false;
        } else if (FInFrame && FFrameStart) {
            FFrameStart = false;
            FCmd = static_cast<uint8_t>(block[0]);
            FDocFrames += FDocCmd != 0 && FCmd == FDocCmd;
        }
        if (!FInFrame) FInput += FSource.Answer(std::exchange(FWritten, {}), FCmd);
    }

    int ReceiveData(void* Buffer, int Size, bool Wait) override {
        CheckAbort();
        const int n = std::min(Size, static_cast<int>(FInput.size()));
        FInput.copy(static_cast<char*>(Buffer), static_cast<size_t>(n));
        FInput.erase(0, static_cast<size_t>(n));
        if (n > 0) DoDataReceive(Buffer, n);
        if (Wait && n < Size) ThenIdle([&] { AskNoResponse(); });
        return n;
    }

private:
    TSource& FSource;
    std::string FInput, FWritten;
    bool FInFrame = false, FFrameStart = false;
    uint8_t FCmd = 0, FDocCmd = 0;
    int FRetries = 0, FDocFrames = 0;
};

inline const TKestCurrency Hundred = TKestCurrency::FromHundredths(10000);
constexpr TKestDateTime Day = 45000;  // 2023-03-15

inline void BuildReceipt(TFuzzLine& Drv, int Items) {
    Drv.OpenReceipt(motSale);
    for (int i = 0; i < Items; ++i)
        Drv.AddReceiptItem(u"Товар", Hundred, false, 1, 2, 0, 1000, 3, 0, u"");
}

// Every property a form needs, then one free line.
inline void BuildForm(TFuzzLine& Drv) {
    Drv.OpenCustomDoc(true, motCashOut);
    Drv.AddSerialNumber(0, 0, 0);
    Drv.AddHeaderLine(1, 0, 0, 1);
    Drv.AddDateTime(0, 0, 2);
    Drv.AddOperInfo(moiNumber, 0, 0, 3);
    Drv.AddDocNumber(0, 0, 4);
    Drv.AddTaxPayerNumber(0, 0, 5);
    if (Drv.Generation() == 1) Drv.AddAccount(u"0123456789", 0, 0, 6);
    Drv.AddItem(mitItem, Hundred, false, 0, 0, 0, 0, 0, 0, u"", 0, 0, 7, 39);
    Drv.AddFiscalSign(0, 0, 8);
    Drv.AddCustom(u"Спасибо", 0, 0, 9);
}

inline void BuildComposite(TFuzzLine& Drv) {
    Drv.OpenFiscalDoc(motSale);
    Drv.AddItem(mitItem, Hundred, false, 1, 2, 0, 1000, 3, 0, u"шт", 0, 0, 0, 39);
    Drv.AddTotal(0, 0, 1, 39);
    Drv.AddPay(mptCash, Hundred, {}, u"", 0, 0, 2, 39);
}

// A close: its document command, the close, and the document's size before.
template <class Close>
void CloseDocument(TFuzzLine& Drv, uint8_t Cmd, int (TFuzzLine::*Size)() const, Close&& Body) {
    const int before = (Drv.*Size)();
    Drv.SetDocCommand(Cmd);
    try {
        Body();
    } catch (...) {
        Drv.SetDocCommand(0);
        if ((Drv.*Size)() != before && Drv.Connected()) Finding("a failed close lost the document");
        if (Drv.DocFrames() > 1) Finding("a close wrote its document twice");
        throw;
    }
    Drv.SetDocCommand(0);
    if (Drv.DocFrames() != 1) Finding("a close wrote its document other than once");
}

// Calls the driver's operations without arguments, in order.
template <class... TCall>
void CallEach(TFuzzLine& Drv, TCall... Calls) {
    ((Drv.*Calls)(), ...);
}

// The operations, by the number the input picks; each ends in a call of the
// driver, so that the last error is that call's.
using TOperation = void (*)(TFuzzLine& Drv, TSource& Data);
inline const TOperation Operations[] = {
    [](auto& Drv, auto&) { Drv.Close(true), Drv.Open(); },
    [](auto& Drv, auto&) { Drv.TestConnection(); },
    [](auto& Drv, auto&) { Drv.QueryFirmwareInfo(); },
    [](auto& Drv, auto&) { Drv.QueryDevExStatus(); },
    [](auto& Drv, auto& Data) { Drv.QueryTax(Data.Pick(0, 4)); },
    [](auto& Drv, auto& Data) { Drv.QueryCounter(Data.Pick(0, 12), Data.PickBool()); },
    [](auto& Drv, auto& Data) { Drv.QueryResourceInfo(Data.PickBool()); },
    [](auto& Drv, auto&) { Drv.QueryLastDocInfo(); },
    [](auto& Drv, auto&) {
        CallEach(Drv, &TFuzzLine::QuerySerialNumber, &TFuzzLine::QueryTaxPayerNumber,
                 &TFuzzLine::QueryRegNumber);
    },
    [](auto& Drv, auto&) { Drv.QueryEcrDateTime(); },
    [](auto& Drv, auto& Data) {
        Drv.QueryHeaderLine(Data.Pick(1, 4)), Drv.QueryTitle(Data.Pick(0, 999)),
            Drv.QueryDepartName(Data.Pick(0, 99)), Drv.QueryOperName(Data.Pick(0, 99));
    },
    [](auto& Drv, auto&) {
        CallEach(Drv, &TFuzzLine::QueryPrinterTimeout, &TFuzzLine::QueryDisplayTimeout,
                 &TFuzzLine::QueryPrinterContrast, &TFuzzLine::QueryLeading,
                 &TFuzzLine::QueryOperNumber, &TFuzzLine::QueryHeaderAlignment,
                 &TFuzzLine::QueryAutocut, &TFuzzLine::QueryEconomicMode,
                 &TFuzzLine::QueryPaperJournal, &TFuzzLine::QueryFullJournal);
    },
    [](auto& Drv, auto&) { Drv.EKLZQueryStatus(); },
    [](auto& Drv, auto& Data) {
        if (Drv.GetDocStatus() != mdsReceipt) BuildReceipt(Drv, Data.Pick(1, 3));
        CloseDocument(Drv, 'K', &TFuzzLine::Items, [&] {
            Drv.CloseReceipt(u"", mptCash, Hundred, {}, u"", Data.Pick(0, 2), moiNumber);
        });
    },
    [](auto& Drv, auto&) {
        if (Drv.GetDocStatus() != mdsForm) BuildForm(Drv);
        CloseDocument(Drv, 'P', &TFuzzLine::Properties,
                      [&] { Drv.CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0); });
    },
    [](auto& Drv, auto&) {
        if (Drv.Properties() == 0) BuildComposite(Drv);
        Drv.PrintFiscalDocBuffer();
    },
    [](auto& Drv, auto&) {
        if (Drv.Properties() == 0 && Drv.GetDocStatus() == mdsClosed) BuildComposite(Drv);
        CloseDocument(Drv, 'S', &TFuzzLine::Properties, [&] { Drv.CloseFiscalDoc(); });
    },
    [](auto& Drv, auto& Data) { Drv.CancelFiscalDoc(Data.PickBool()); },
    [](auto& Drv, auto&) { Drv.CopyFiscalDoc(), Drv.RepeatOperation(); },
    [](auto& Drv, auto& Data) {
        Drv.OpenDay(Data.Pick(0, 99), u"Кассир", Data.PickBool(),
                    Data.PickBool() ? mprBS : mprXOnXoff);
    },
    [](auto& Drv, auto& Data) {
        Data.PickBool() ? Drv.XReport(Data.Pick(0, 7)) : Drv.ZReport(Data.Pick(0, 7));
    },
    [](auto& Drv, auto& Data) {
        Data.PickBool() ? Drv.XReportByDep(Data.Pick(-1, 99), 1)
                        : Drv.XReportByOper(Data.Pick(-1, 99), 0);
    },
    [](auto& Drv, auto& Data) {
        const int kind = Data.Pick(0, 2);
        if (kind == 0) Drv.FiscalReportByNum(u"12345", Data.PickBool(), 1, 9999);
        if (kind == 1) Drv.FiscalReportByDate(u"12345", Data.PickBool(), Day, Day + 30);
        if (kind == 2) Drv.FiscalReportAll(u"12345");
    },
    [](auto& Drv, auto& Data) {
        Drv.PrintNonFiscal(u"Строка\\0Aвторая\\0A", Data.PickBool(), Data.PickBool());
    },
    [](auto& Drv, auto& Data) {
        Drv.ShowDisplay(u"Итого 100.00", Data.PickBool(), Data.PickBool());
    },
    [](auto& Drv, auto& Data) {
        Drv.FeedAndCut(Data.Pick(-3, 3), Data.PickBool()), Drv.ExternalPulse(1, 10, 10, 2);
    },
    [](auto& Drv, auto& Data) { Drv.SetPassword(Data.PickBool() ? u"1234" : u"5862"); },
    [](auto& Drv, auto& Data) { Drv.SetBaudRate(Data.PickBool() ? 19200 : 9600); },
    [](auto& Drv, auto& Data) {
        Drv.SynchronizeEcrDateTime(), Drv.SetTax(Data.Pick(0, 4), u"НДС", 2000);
    },
    [](auto& Drv, auto& Data) {
        const int kind = Data.Pick(0, 4);
        if (kind == 0) Drv.EKLZActivate();
        if (kind == 1) Drv.EKLZDayReport(1);
        if (kind == 2) Drv.EKLZReportByNum(Data.PickBool(), 1, 2);
        if (kind == 3) Drv.EKLZReportByDate(Data.PickBool(), Day, Day + 1);
        if (kind == 4) Drv.EKLZDocByNum(1);
    },
    [](auto& Drv, auto& Data) {
        Drv.SetParameters(Data.PickBool() ? mprBS : mprXOnXoff, 30), Drv.SetPrinterContrast(3);
    },
    [](auto& Drv, auto&) {
        Drv.SetHeader(u"Магазин", u"", u"", u""), Drv.SetTitle(1, u"Молоко"),
            Drv.SetSerialNumber(u"1234567");
    },
    [](auto& Drv, auto&) {
        Drv.EnableGraphicHeader(2, 1, std::array<uint8_t, 2>{0xFF, 0x81});
    },
    // Cancels whatever document is open.
    [](auto& Drv, auto&) {
        const TKestDocStatus doc = Drv.GetDocStatus();
        if (doc == mdsReceipt) return Drv.CancelReceipt();
        if (doc == mdsForm || doc == mdsCustom) return Drv.CancelCustomDoc();
        Drv.CancelFiscalDoc(false);
    },
};
constexpr int OperationCount = sizeof(Operations) / sizeof(Operations[0]);

// One input: the register's kind, its protocol, then operations while input
// is left, each checked.
inline void RunInput(TSource& Source) {
    TFuzzLine drv(Source);
    const TRegisterKind& kind = Kinds[Source.Pick(0, static_cast<int>(std::size(Kinds)) - 1)];
    drv.Attach(kind, kind.Generation > 1 && Source.PickBool() ? mprXOnXoff : mprBS);

    for (int i = 0; i < MaxOperations && Source.More(); ++i) {
        drv.StartOperation();
        int expected = 0;
        try {
            Operations[Source.PickOperation(OperationCount)](drv, Source);
        } catch (const EKestError& e) {
            expected = e.ErrCode();
        } catch (const THandlerGaveUp&) {
            expected = TKestorFPrt::ErrOther;
        } catch (const std::exception& e) {
            Finding("an exception outside the EKestError tree", e.what());
        }
        if (drv.ErrCode() != expected)
            Finding("the last error is not the call's failure: ErrCode (ErrCodeEx), raised",
                    std::to_string(drv.ErrCode()) + " (" + std::to_string(drv.ErrCodeEx()) + "), " +
                        std::to_string(expected));
        if (!drv.Idle()) Finding("the line is not idle after the call");
    }
}

}  // namespace kest::fuzz
