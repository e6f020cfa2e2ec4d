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
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "Fuzz.h"
#include "KestorFPrt.h"

namespace kest::fuzz {

constexpr uint8_t Stx = 0x02, Etx = 0x03, Ack = 0x06;
constexpr int MaxOperations = 24;
// Replies to OnNoResponse that keep waiting, each bringing the next chunk.
constexpr int MaxRetries = 4;

// What the device-error handler raises when it gives up; the driver passes it on.
struct THandlerGaveUp : std::exception {
    const char* what() const noexcept override { return "the handler gives up"; }
};

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
        const auto deviceError = [this](TKestorFPrt&) {
            const int answer = FSource.Pick(0, 3);
            if (answer == 0) SetRetryOperation(true);
            if (answer == 1) QueryDevExStatus();
            if (answer == 2) throw THandlerGaveUp();
        };
        OnPrinterError = deviceError;
        OnDisplayError = deviceError;
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
        bool answered = !FInFrame;
        if (block.size() == 1 && block[0] == Stx) {
            FInFrame = FFrameStart = true;
            answered = false;
        } else if (FInFrame && block.size() == 1 && block[0] == Etx) {
            FInFrame = false;
            answered = true;
        } else if (FInFrame && FFrameStart) {
            FFrameStart = false;
            FCmd = static_cast<uint8_t>(block[0]);
            FDocFrames += FDocCmd != 0 && FCmd == FDocCmd;
        }
        if (answered) FInput += FSource.Answer(std::exchange(FWritten, {}), FCmd);
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
void CloseDocument(TFuzzLine& Drv, uint8_t Cmd, Close&& Body, int (TFuzzLine::*Size)() const) {
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

// The operations, by the number the input picks; each ends in a call of the
// driver, so that the last error is that call's.
using TOperation = void (*)(TFuzzLine& Drv, TSource& Data);
inline const TOperation Operations[] = {
    [](TFuzzLine& Drv, TSource&) {
        Drv.Close(true);
        Drv.Open();
    },
    [](TFuzzLine& Drv, TSource&) { Drv.TestConnection(); },
    [](TFuzzLine& Drv, TSource&) { Drv.QueryFirmwareInfo(); },
    [](TFuzzLine& Drv, TSource&) { Drv.QueryDevExStatus(); },
    [](TFuzzLine& Drv, TSource& Data) { Drv.QueryTax(Data.Pick(0, 4)); },
    [](TFuzzLine& Drv, TSource& Data) { Drv.QueryCounter(Data.Pick(0, 12), Data.PickBool()); },
    [](TFuzzLine& Drv, TSource& Data) { Drv.QueryResourceInfo(Data.PickBool()); },
    [](TFuzzLine& Drv, TSource&) { Drv.QueryLastDocInfo(); },
    [](TFuzzLine& Drv, TSource&) {
        Drv.QuerySerialNumber();
        Drv.QueryTaxPayerNumber();
        Drv.QueryRegNumber();
    },
    [](TFuzzLine& Drv, TSource&) { Drv.QueryEcrDateTime(); },
    [](TFuzzLine& Drv, TSource& Data) {
        Drv.QueryHeaderLine(Data.Pick(1, 4));
        Drv.QueryTitle(Data.Pick(0, 999));
        Drv.QueryDepartName(Data.Pick(0, 99));
        Drv.QueryOperName(Data.Pick(0, 99));
    },
    [](TFuzzLine& Drv, TSource&) {
        Drv.QueryPrinterTimeout();
        Drv.QueryDisplayTimeout();
        Drv.QueryPrinterContrast();
        Drv.QueryLeading();
        Drv.QueryOperNumber();
        Drv.QueryHeaderAlignment();
        Drv.QueryAutocut();
        Drv.QueryEconomicMode();
        Drv.QueryPaperJournal();
        Drv.QueryFullJournal();
    },
    [](TFuzzLine& Drv, TSource&) { Drv.EKLZQueryStatus(); },
    [](TFuzzLine& Drv, TSource& Data) {
        if (Drv.GetDocStatus() != mdsReceipt) BuildReceipt(Drv, Data.Pick(1, 3));
        CloseDocument(
            Drv, 'K',
            [&] { Drv.CloseReceipt(u"", mptCash, Hundred, {}, u"", Data.Pick(0, 2), moiNumber); },
            &TFuzzLine::Items);
    },
    [](TFuzzLine& Drv, TSource&) {
        if (Drv.GetDocStatus() != mdsForm) BuildForm(Drv);
        CloseDocument(
            Drv, 'P', [&] { Drv.CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0); },
            &TFuzzLine::Properties);
    },
    [](TFuzzLine& Drv, TSource&) {
        if (Drv.Properties() == 0) BuildComposite(Drv);
        Drv.PrintFiscalDocBuffer();
    },
    [](TFuzzLine& Drv, TSource&) {
        if (Drv.Properties() == 0 && Drv.GetDocStatus() == mdsClosed) BuildComposite(Drv);
        CloseDocument(
            Drv, 'S', [&] { Drv.CloseFiscalDoc(); }, &TFuzzLine::Properties);
    },
    [](TFuzzLine& Drv, TSource& Data) { Drv.CancelFiscalDoc(Data.PickBool()); },
    [](TFuzzLine& Drv, TSource&) {
        Drv.CopyFiscalDoc();
        Drv.RepeatOperation();
    },
    [](TFuzzLine& Drv, TSource& Data) {
        Drv.OpenDay(Data.Pick(0, 99), u"Кассир", Data.PickBool(),
                    Data.PickBool() ? mprBS : mprXOnXoff);
    },
    [](TFuzzLine& Drv, TSource& Data) {
        Data.PickBool() ? Drv.XReport(Data.Pick(0, 7)) : Drv.ZReport(Data.Pick(0, 7));
    },
    [](TFuzzLine& Drv, TSource& Data) {
        Data.PickBool() ? Drv.XReportByDep(Data.Pick(-1, 99), 1)
                        : Drv.XReportByOper(Data.Pick(-1, 99), 0);
    },
    [](TFuzzLine& Drv, TSource& Data) {
        const int kind = Data.Pick(0, 2);
        if (kind == 0) Drv.FiscalReportByNum(u"12345", Data.PickBool(), 1, 9999);
        if (kind == 1) Drv.FiscalReportByDate(u"12345", Data.PickBool(), Day, Day + 30);
        if (kind == 2) Drv.FiscalReportAll(u"12345");
    },
    [](TFuzzLine& Drv, TSource& Data) {
        Drv.PrintNonFiscal(u"Строка\\0Aвторая\\0A", Data.PickBool(), Data.PickBool());
    },
    [](TFuzzLine& Drv, TSource& Data) {
        Drv.ShowDisplay(u"Итого 100.00", Data.PickBool(), Data.PickBool());
    },
    [](TFuzzLine& Drv, TSource& Data) {
        Drv.FeedAndCut(Data.Pick(-3, 3), Data.PickBool());
        Drv.ExternalPulse(1, 10, 10, 2);
    },
    [](TFuzzLine& Drv, TSource& Data) { Drv.SetPassword(Data.PickBool() ? u"1234" : u"5862"); },
    [](TFuzzLine& Drv, TSource& Data) { Drv.SetBaudRate(Data.PickBool() ? 19200 : 9600); },
    [](TFuzzLine& Drv, TSource& Data) {
        Drv.SynchronizeEcrDateTime();
        Drv.SetTax(Data.Pick(0, 4), u"НДС", 2000);
    },
    [](TFuzzLine& Drv, TSource& Data) {
        const int kind = Data.Pick(0, 4);
        if (kind == 0) Drv.EKLZActivate();
        if (kind == 1) Drv.EKLZDayReport(1);
        if (kind == 2) Drv.EKLZReportByNum(Data.PickBool(), 1, 2);
        if (kind == 3) Drv.EKLZReportByDate(Data.PickBool(), Day, Day + 1);
        if (kind == 4) Drv.EKLZDocByNum(1);
    },
    [](TFuzzLine& Drv, TSource& Data) {
        Drv.SetParameters(Data.PickBool() ? mprBS : mprXOnXoff, 30);
        Drv.SetPrinterContrast(3);
    },
    [](TFuzzLine& Drv, TSource&) {
        Drv.SetHeader(u"Магазин", u"", u"", u"");
        Drv.SetTitle(1, u"Молоко");
        Drv.SetSerialNumber(u"1234567");
    },
    [](TFuzzLine& Drv, TSource&) {
        const uint8_t picture[2] = {0xFF, 0x81};
        Drv.EnableGraphicHeader(2, 1, picture);
    },
    // Cancels whatever document is open.
    [](TFuzzLine& Drv, TSource&) {
        const TKestDocStatus doc = Drv.GetDocStatus();
        if (doc == mdsReceipt)
            Drv.CancelReceipt();
        else if (doc == mdsForm || doc == mdsCustom)
            Drv.CancelCustomDoc();
        else
            Drv.CancelFiscalDoc(false);
    },
};
constexpr int OperationCount = 34;
static_assert(std::size(Operations) == OperationCount);

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
