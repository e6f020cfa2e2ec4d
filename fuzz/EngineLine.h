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
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "KestorFPrt.h"

namespace kest::fuzz {

constexpr uint8_t Stx = 0x02, Etx = 0x03, Ack = 0x06;
constexpr int MaxOperations = 24;
constexpr int OperationCount = 34;
// Replies to OnNoResponse that keep waiting, each bringing the next chunk.
constexpr int MaxRetries = 4;

// What the device-error handler raises when it gives up; the driver passes it on.
struct THandlerGaveUp : std::exception {
    const char* what() const noexcept override { return "the handler gives up"; }
};

[[noreturn]] inline void Finding(const char* What) {
    std::fprintf(stderr, "engine fuzz: %s\n", What);
    std::abort();
}

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
        const auto deviceError = [this](TKestorFPrt&) {
            switch (FSource.Pick(0, 3)) {
                case 0:
                    SetRetryOperation(true);
                    break;
                case 1:
                    QueryDevExStatus();  // asks with the in-wait request
                    break;
                case 2:
                    throw THandlerGaveUp();
                default:
                    break;  // cancel
            }
        };
        OnPrinterError = deviceError;
        OnDisplayError = deviceError;
    }

    // An identified register, as Open would leave it.
    void Attach(TKestEcrModel Model, int Generation, int Version, int SubVersion,
                TKestCodingType Coding, bool EKLZ, TKestProtocol Protocol) {
        FActive = true;
        FConnected = true;
        FConnState = mcsIdle;
        FEcrModel = Model;
        FGeneration = Generation;
        FEcrVersion = Version;
        FEcrSubVersion = SubVersion;
        FCoding = Coding;
        FEKLZSupported = EKLZ;
        FProtocol = Protocol;
        FDocStatus = mdsClosed;
    }

    void StartOperation() {
        FRetries = 0;
        FDocFrames = 0;
    }
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
            FInFrame = true;
            FFrameStart = true;
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
    std::string FInput;
    std::string FWritten;
    bool FInFrame = false;
    bool FFrameStart = false;
    uint8_t FCmd = 0;
    int FRetries = 0;
    uint8_t FDocCmd = 0;
    int FDocFrames = 0;
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

inline const TKestCurrency Hundred = TKestCurrency::FromHundredths(10000);

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

inline void RunOperation(TFuzzLine& Drv, TSource& Data) {
    const TKestDateTime day = 45000;  // 2023-03-15
    switch (Data.PickOperation(OperationCount)) {
        case 0:
            Drv.Close(true);
            Drv.Open();
            break;
        case 1:
            Drv.TestConnection();
            break;
        case 2:
            Drv.QueryFirmwareInfo();
            break;
        case 3:
            Drv.QueryDevExStatus();
            break;
        case 4:
            Drv.QueryTax(Data.Pick(0, 4));
            break;
        case 5:
            Drv.QueryCounter(Data.Pick(0, 12), Data.PickBool());
            break;
        case 6:
            Drv.QueryResourceInfo(Data.PickBool());
            break;
        case 7:
            Drv.QueryLastDocInfo();
            break;
        case 8:
            Drv.QuerySerialNumber();
            Drv.QueryTaxPayerNumber();
            Drv.QueryRegNumber();
            break;
        case 9:
            Drv.QueryEcrDateTime();
            break;
        case 10:
            Drv.QueryHeaderLine(Data.Pick(1, 4));
            Drv.QueryTitle(Data.Pick(0, 999));
            Drv.QueryDepartName(Data.Pick(0, 99));
            Drv.QueryOperName(Data.Pick(0, 99));
            break;
        case 11:
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
            break;
        case 12:
            Drv.EKLZQueryStatus();
            break;
        case 13:
            if (Drv.GetDocStatus() != mdsReceipt) BuildReceipt(Drv, Data.Pick(1, 3));
            CloseDocument(
                Drv, 'K',
                [&] {
                    Drv.CloseReceipt(u"", mptCash, Hundred, {}, u"", Data.Pick(0, 2), moiNumber);
                },
                &TFuzzLine::Items);
            break;
        case 14: {
            const bool form = Drv.GetDocStatus() == mdsForm;
            if (!form) BuildForm(Drv);
            CloseDocument(
                Drv, 'P', [&] { Drv.CloseCustomDoc(mptCash, 1, 0, 0, 0, 0, 0, 0); },
                &TFuzzLine::Properties);
            break;
        }
        case 15:
            if (Drv.Properties() == 0) BuildComposite(Drv);
            Drv.PrintFiscalDocBuffer();
            break;
        case 16:
            if (Drv.Properties() == 0 && Drv.GetDocStatus() == mdsClosed) BuildComposite(Drv);
            CloseDocument(
                Drv, 'S', [&] { Drv.CloseFiscalDoc(); }, &TFuzzLine::Properties);
            break;
        case 17:
            Drv.CancelFiscalDoc(Data.PickBool());
            break;
        case 18:
            Drv.CopyFiscalDoc();
            Drv.RepeatOperation();
            break;
        case 19:
            Drv.OpenDay(Data.Pick(0, 99), u"Кассир", Data.PickBool(),
                        Data.PickBool() ? mprBS : mprXOnXoff);
            break;
        case 20:
            Data.PickBool() ? Drv.XReport(Data.Pick(0, 7)) : Drv.ZReport(Data.Pick(0, 7));
            break;
        case 21:
            Data.PickBool() ? Drv.XReportByDep(Data.Pick(-1, 99), 1)
                            : Drv.XReportByOper(Data.Pick(-1, 99), 0);
            break;
        case 22:
            switch (Data.Pick(0, 2)) {
                case 0:
                    Drv.FiscalReportByNum(u"12345", Data.PickBool(), 1, 9999);
                    break;
                case 1:
                    Drv.FiscalReportByDate(u"12345", Data.PickBool(), day, day + 30);
                    break;
                default:
                    Drv.FiscalReportAll(u"12345");
                    break;
            }
            break;
        case 23:
            Drv.PrintNonFiscal(u"Строка\\0Aвторая\\0A", Data.PickBool(), Data.PickBool());
            break;
        case 24:
            Drv.ShowDisplay(u"Итого 100.00", Data.PickBool(), Data.PickBool());
            break;
        case 25:
            Drv.FeedAndCut(Data.Pick(-3, 3), Data.PickBool());
            Drv.ExternalPulse(1, 10, 10, 2);
            break;
        case 26:
            Drv.SetPassword(Data.PickBool() ? u"1234" : u"5862");
            break;
        case 27:
            Drv.SetBaudRate(Data.PickBool() ? 19200 : 9600);
            break;
        case 28:
            Drv.SynchronizeEcrDateTime();
            Drv.SetTax(Data.Pick(0, 4), u"НДС", 2000);
            break;
        case 29:
            switch (Data.Pick(0, 4)) {
                case 0:
                    Drv.EKLZActivate();
                    break;
                case 1:
                    Drv.EKLZDayReport(1);
                    break;
                case 2:
                    Drv.EKLZReportByNum(Data.PickBool(), 1, 2);
                    break;
                case 3:
                    Drv.EKLZReportByDate(Data.PickBool(), day, day + 1);
                    break;
                default:
                    Drv.EKLZDocByNum(1);
                    break;
            }
            break;
        case 30:
            Drv.SetParameters(Data.PickBool() ? mprBS : mprXOnXoff, 30);
            Drv.SetPrinterContrast(3);
            break;
        case 31:
            Drv.SetHeader(u"Магазин", u"", u"", u"");
            Drv.SetTitle(1, u"Молоко");
            Drv.SetSerialNumber(u"1234567");
            break;
        case 32: {
            const uint8_t picture[2] = {0xFF, 0x81};
            Drv.EnableGraphicHeader(2, 1, picture);
            break;
        }
        default:
            // Every case calls the driver, so that the last error is this call's.
            switch (Drv.GetDocStatus()) {
                case mdsReceipt:
                    Drv.CancelReceipt();
                    break;
                case mdsForm:
                case mdsCustom:
                    Drv.CancelCustomDoc();
                    break;
                default:
                    Drv.CancelFiscalDoc(false);
                    break;
            }
            break;
    }
}

}  // namespace kest::fuzz

namespace kest::fuzz {

// One input: the register's kind, its protocol, then operations while input
// is left, each checked.
inline void RunInput(TSource& Source) {
    TFuzzLine drv(Source);
    const TRegisterKind& kind = Kinds[Source.Pick(0, static_cast<int>(std::size(Kinds)) - 1)];
    drv.Attach(kind.Model, kind.Generation, kind.Version, kind.SubVersion, kind.Coding, kind.EKLZ,
               kind.Generation > 1 && Source.PickBool() ? mprXOnXoff : mprBS);

    for (int i = 0; i < MaxOperations && Source.More(); ++i) {
        drv.StartOperation();
        int expected = 0;
        try {
            RunOperation(drv, Source);
        } catch (const EKestError& e) {
            expected = e.ErrCode();
        } catch (const THandlerGaveUp&) {
            expected = TKestorFPrt::ErrOther;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "engine fuzz: %s\n", e.what());
            Finding("an exception outside the EKestError tree");
        }
        if (drv.ErrCode() != expected) {
            std::fprintf(stderr, "engine fuzz: ErrCode %d (%d), the call raised %d\n",
                         drv.ErrCode(), drv.ErrCodeEx(), expected);
            Finding("the last error is not the call's failure");
        }
        if (!drv.Idle()) Finding("the line is not idle after the call");
    }
}

}  // namespace kest::fuzz
