// kestor-soak: the driver against the emulator for thousands of exchanges
// with faults on the line, run as a careful cashier's program runs it:
// queries, receipts, custom and composite documents, X and Z reports, shift
// openings and non-fiscal text, each with at most one trouble (a spoilt or
// missing answer, an interrupted print, ACKs, a printer notice answered retry
// or cancel, an XOFF hold). A close that fails on the line is tried once
// more, as the driver keeps the document for that; anything else that fails
// is cancelled.
//
// After every operation the emulator's count of registered documents must
// have moved exactly as the driver reported: one for a document or report
// the driver called printed, none for one it called failed. At the end the
// register's last document number and its counters must be what the
// confirmed documents add up to. Any disagreement fails the run (exit 1);
// the figures go to standard output. A seed repeats a run as long as the
// line's timing does.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "KestorEmu.h"
#include "KestorFPrt.h"

namespace {

using namespace std::chrono_literals;
using kest::emu::TConfig;
using kest::emu::TEmulator;
using kest::emu::TFault;
using TClock = std::chrono::steady_clock;

constexpr int ShortTimeout = 100, LongTimeout = 250;  // ms: internal, external
// No operation may take longer than this, whatever the line does: the
// longest legitimate one waits out a few time-outs and an XOFF hold.
constexpr auto OperationLimit = 5s;

// The troubles of one operation; the first seven spoil an answer frame.
enum class TTrouble {
    None,
    NoAnswer,
    CutShort,
    BadBcc,
    Garbage,
    EtxInData,
    WrongEcho,
    WrongSeparator,
    InterruptedPrint,
    Acks,
    NoticeRetry,
    NoticeCancel,
    Xoff,
};
constexpr int TroubleCount = 13;
constexpr const char* TroubleNames[TroubleCount] = {
    "none",       "no-answer",       "cut-short",
    "bad-bcc",    "garbage",         "etx-in-data",
    "wrong-echo", "wrong-separator", "interrupted-print",
    "acks",       "notice-retry",    "notice-cancel",
    "xoff"};

bool SpoilsAnswer(TTrouble T) {
    return T >= TTrouble::NoAnswer && T <= TTrouble::WrongSeparator;
}

// Counters 0 sales, 1 refunds, 2 cash in, 3 cash out, 4 and 6 the sales in
// cash and by card, 11 the drawer, 12 the grand total; 0 to 10 are the
// shift's, cleared by the Z report.
constexpr int Checked[] = {0, 1, 2, 3, 4, 6, 11, 12};
constexpr int ShiftCounters = 11, CounterTotal = 13;

struct TCounterValue {
    int Count = 0;
    int64_t Sum = 0;  // hundredths
};
using TCounters = std::array<TCounterValue, CounterTotal>;

struct TMove {
    int Counter, Count;
    int64_t Sum;
};

// The driver with its requests counted, and a hook just before each request
// frame goes on (the command byte follows the STX).
class TSoakDriver : public TKestorFPrt {
public:
    explicit TSoakDriver(const std::string& Device) {
        setenv("KESTOR_COM9", Device.c_str(), 1);
        SetPortNum(9);
        SetInternalTimeout(ShortTimeout);
        SetExternalTimeout(LongTimeout);
    }
    std::function<void(char Cmd)> BeforeRequest;
    long Requests = 0;

protected:
    void SendData(const void* Data, int Size) override {
        const auto* bytes = static_cast<const char*>(Data);
        if (FAfterStx && Size > 0) {
            ++Requests;
            if (BeforeRequest) BeforeRequest(bytes[0]);
        }
        FAfterStx = Size == 1 && bytes[0] == '\x02';
        TKestorFPrt::SendData(Data, Size);
    }

private:
    bool FAfterStx = false;
};

struct TFigures {
    long Exchanges = 0, Operations = 0;
    std::array<long, TroubleCount> Troubles{};  // injected, by kind
    long Printed = 0;                           // documents and reports the driver reported printed
    long Recovered = 0;            // of them: after an interrupted print or a lost answer
    long Retried = 0;              // of them: at the second close
    long NotPrinted = 0;           // reported failed, then cancelled
    long OpenedAfterFailure = 0;   // shift openings found registered by the application
    long ReportsAfterFailure = 0;  // reports given up on, found registered by the application
    long Registered = 0;           // by the emulator
    long FailedQueries = 0;
    long Unexpected = 0;  // failures with no trouble on the line
    long Disagreements = 0;
    double Longest = 0;  // seconds, the longest operation
};

std::string Money(int64_t Hundredths) {
    return TKestCurrency::FromHundredths(Hundredths).ToString();
}

// One register and the driver on it, played by a seeded random sequence.
class TSoak {
public:
    TSoak(TConfig Config, uint64_t Seed, TFigures& Figures)
        : FEmu(std::move(Config)), FDrv(FEmu.DevicePath()), FRandom(Seed), FFig(Figures) {
        FDrv.Open();
        FDrv.OnPrinterError = [this](TKestorFPrt& D) { D.SetRetryOperation(FRetryNotice); };
        FDrv.QueryLastDocInfo();
        FNumber = FDrv.LastDocNumber();
        for (int n : Checked) {
            FExpected[n].Sum = FDrv.QueryCounter(n).Hundredths();
            FExpected[n].Count = FDrv.CounterCount();
        }
        FRegisteredAtStart = FEmu.Registered();
    }

    void Run(long Exchanges) {
        const long start = FDrv.Requests;
        while (FDrv.Requests - start < Exchanges)
            Step();
        FFig.Exchanges += FDrv.Requests - start;
    }

    // The register against what the confirmed documents add up to.
    void Reconcile() {
        FDrv.QueryLastDocInfo();
        Expect(FDrv.LastDocNumber() == FNumber, "last document number", FDrv.LastDocNumber(),
               FNumber);
        const long registered = long(FEmu.Registered() - FRegisteredAtStart);
        FFig.Registered += registered;
        Expect(registered == FPrinted, "documents registered / reported printed", registered,
               FPrinted);
        for (int n : Checked) {
            const int64_t sum = FDrv.QueryCounter(n).Hundredths();
            Expect(sum == FExpected[n].Sum, "sum of counter " + std::to_string(n), sum,
                   FExpected[n].Sum);
            if (n < ShiftCounters)
                Expect(FDrv.CounterCount() == FExpected[n].Count,
                       "count of counter " + std::to_string(n), FDrv.CounterCount(),
                       FExpected[n].Count);
        }
        std::printf("  last document %d, counters 0..4, 6: %s\n", FNumber, CountersText().c_str());
    }

private:
    using TOperation = void (TSoak::*)();

    int Pick(int From, int To) { return std::uniform_int_distribution<int>(From, To)(FRandom); }
    bool Chance(int Percent) { return Pick(1, 100) <= Percent; }

    void Expect(bool Holds, const std::string& What, int64_t Got, int64_t Wanted) {
        if (Holds) return;
        ++FFig.Disagreements;
        std::printf("DISAGREEMENT: %s: %lld, expected %lld\n", What.c_str(),
                    static_cast<long long>(Got), static_cast<long long>(Wanted));
    }

    std::string CountersText() const {
        std::string text;
        for (int n : {0, 1, 2, 3, 4, 6})
            text += (text.empty() ? "" : ", ") + std::to_string(FExpected[n].Count) + " x " +
                    Money(FExpected[n].Sum);
        return text + "; drawer " + Money(FExpected[11].Sum);
    }

    // Picks the operation and its trouble, runs it and checks the register's
    // count against what the driver reported.
    void Step() {
        struct TChoice {
            int Weight;
            TOperation Run;
            const char* Name;
        };
        const bool composite = FDrv.Generation() == 3 || FDrv.Generation() == 7;
        // The status word of the last answer tells whether the shift is open
        // (a failed exchange is followed by a question where it matters).
        const bool shiftOpen = FDrv.CheckEcrStatus(0) == 1;
        const TChoice choices[] = {
            {40, &TSoak::Query, "query"},
            {composite ? 0 : 20, &TSoak::Receipt, "receipt"},
            {composite ? 0 : 12, &TSoak::CustomDocument, "custom document"},
            {composite ? 32 : 0, &TSoak::CompositeDocument, "composite document"},
            {10, &TSoak::NonFiscal, "non-fiscal text"},
            {5, &TSoak::XReport, "X report"},
            {shiftOpen ? 2 : 0, &TSoak::ZReport, "Z report"},
            {shiftOpen ? 0 : 30, &TSoak::OpenDay, "shift opening"},
        };
        int total = 0;
        for (const TChoice& c : choices)
            total += c.Weight;
        int roll = Pick(1, total);
        const TChoice* choice = choices;
        while (roll > choice->Weight)
            roll -= (choice++)->Weight;

        PlanTrouble();
        const size_t before = FEmu.Registered();
        FReported = 0;
        FOperation = choice->Name;
        const auto start = TClock::now();
        (this->*choice->Run)();
        const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
        FDrv.BeforeRequest = nullptr;
        FEmu.ClearFaults();
        FEmu.SetAcks(0);
        FEmu.SetNotices(0);
        ++FFig.Operations;
        FFig.Longest = std::max(FFig.Longest, seconds);
        if (seconds > std::chrono::duration<double>(OperationLimit).count()) {
            ++FFig.Disagreements;
            std::printf("HANG: %s with %s took %.1f s\n", FOperation, TroubleNames[int(FTrouble)],
                        seconds);
        }
        const long registered = long(FEmu.Registered() - before);
        if (registered != FReported) {
            ++FFig.Disagreements;
            std::printf("DISAGREEMENT: operation %ld, %s with %s: registered %ld, reported %ld\n",
                        FFig.Operations, FOperation, TroubleNames[int(FTrouble)], registered,
                        FReported);
        }
    }

    // One trouble in three operations; it strikes the request of the
    // operation's main command (the document, the report), or its first
    // request when it has none.
    void PlanTrouble() {
        FTrouble = TTrouble::None;
        FArmed = false;
        if (!Chance(33)) return;
        FTrouble = static_cast<TTrouble>(Pick(1, TroubleCount - 1));
        FRetryNotice = FTrouble == TTrouble::NoticeRetry;
        if (FTrouble == TTrouble::Acks) {
            FEmu.SetAcks(Pick(1, 3), std::chrono::milliseconds(Pick(0, 20)));
            Count();
            return;
        }
        FDrv.BeforeRequest = [this](char Cmd) {
            if (FArmed || (FMainCmd != 0 && Cmd != FMainCmd)) return;
            // Only what registers a document has a print to interrupt.
            if (FTrouble == TTrouble::InterruptedPrint && !FRegistering) return;
            FArmed = true;
            Count();
            if (SpoilsAnswer(FTrouble) || FTrouble == TTrouble::InterruptedPrint) {
                FEmu.InjectFault(static_cast<TFault>(int(FTrouble) - 1), 1);
            } else if (FTrouble == TTrouble::NoticeRetry || FTrouble == TTrouble::NoticeCancel) {
                FEmu.SetNotices(1);
            } else if (FTrouble == TTrouble::Xoff) {
                // Mostly within the time-out, now and then past it.
                FEmu.HoldXoff(std::chrono::milliseconds(Chance(80) ? Pick(10, 200) : 400));
            }
        };
    }
    void Count() { ++FFig.Troubles[int(FTrouble)]; }
    // The command the trouble strikes (0: the first request), and whether
    // the operation registers a document.
    void Main(char Cmd, bool Registering) {
        FMainCmd = Cmd;
        FRegistering = Registering;
    }

    // -- Queries: nothing is registered, and they fail only with a trouble.

    void Query() {
        Main(0, false);
        try {
            switch (Pick(0, 5)) {
                case 0:
                    FDrv.QueryLastDocInfo();
                    break;
                case 1:
                    FDrv.QueryCounter(Checked[Pick(0, 7)]);
                    break;
                case 2:
                    FDrv.QueryEcrDateTime();
                    break;
                case 3:
                    FDrv.QueryFirmwareInfo();
                    break;
                case 4:
                    FDrv.TestConnection();
                    break;
                default:
                    FDrv.QueryTax(Pick(0, 4));
                    break;
            }
        } catch (const EKestError& e) {
            ++FFig.FailedQueries;
            Failed(e);
        }
    }

    // A failure is expected only where the line was troubled.
    void Failed(const EKestError& E) {
        if (FTrouble != TTrouble::None && FTrouble != TTrouble::Acks) return;
        ++FFig.Unexpected;
        std::printf("UNEXPECTED: operation %ld, %s with %s: %s\n", FFig.Operations + 1, FOperation,
                    TroubleNames[int(FTrouble)], E.what());
    }

    // -- Documents

    struct TItem {
        int64_t Price;  // hundredths
        int Quantity;
    };
    enum class TPay { Exact, Change, Card };
    struct TPlan {
        TKestOperType Oper = motSale;
        std::vector<TItem> Items;
        TPay Pay = TPay::Exact;
        int64_t Total = 0, Given = 0;
    };

    TPlan MakePlan(bool WithCashOps) {
        TPlan plan;
        const int kind = Pick(0, 9);
        plan.Oper = kind < 6 ? motSale : kind < 8 ? motRefund : kind == 8 ? motCashIn : motCashOut;
        if (!WithCashOps && (plan.Oper == motCashIn || plan.Oper == motCashOut))
            plan.Oper = motSale;
        if (plan.Oper == motCashIn || plan.Oper == motCashOut) {
            plan.Items.push_back({Pick(50, 1000) * 100LL, 1});
        } else {
            const int count = plan.Oper == motSale ? Pick(1, 4) : 1;
            for (int i = 0; i < count; ++i)
                plan.Items.push_back({Pick(100, 50000), Pick(1, 3)});
        }
        for (const TItem& item : plan.Items)
            plan.Total += item.Price * item.Quantity;
        if (plan.Oper == motSale) {
            const int pay = Pick(0, 3);
            plan.Pay = pay == 0 ? TPay::Card : pay == 1 ? TPay::Change : TPay::Exact;
        }
        plan.Given = plan.Pay == TPay::Change ? (plan.Total / 10000 + 1) * 10000 : plan.Total;
        return plan;
    }

    std::vector<TMove> Moves(const TPlan& Plan) const {
        const int64_t cash = Plan.Pay == TPay::Card ? 0 : Plan.Total;
        switch (Plan.Oper) {
            case motSale:
                return {{0, 1, Plan.Total},
                        {Plan.Pay == TPay::Card ? 6 : 4, 1, Plan.Total},
                        {11, 0, cash},
                        {12, 0, Plan.Total}};
            case motRefund:
                return {{1, 1, Plan.Total}, {11, 0, -Plan.Total}};
            case motCashIn:
                return {{2, 1, Plan.Total}, {11, 0, Plan.Total}};
            default:
                return {{3, 1, Plan.Total}, {11, 0, -Plan.Total}};
        }
    }

    // The close, and once more when it failed on the line or was
    // interrupted: the driver keeps the document for that. Returns whether
    // the driver reported it printed.
    bool CloseTwice(const std::function<void()>& Close) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                Close();
                if (attempt == 1) ++FFig.Retried;
                FRecovered = attempt == 0 && FArmed &&
                             (FTrouble == TTrouble::InterruptedPrint || SpoilsAnswer(FTrouble));
                return true;
            } catch (const EKestEcrError& e) {
                if (e.ErrCodeEx() != 10) return Refused(e);
            } catch (const EKestBadResponse&) {
            } catch (const EKestNoResponse&) {
            } catch (const EKestError& e) {
                return Refused(e);
            }
            // The line is clean for the second try.
            FDrv.BeforeRequest = nullptr;
            FEmu.ClearFaults();
            FEmu.SetNotices(0);
        }
        return false;
    }
    bool Refused(const EKestError& E) {
        // A register that refuses to pay out more than its drawer holds is right.
        constexpr int NotNow = 42;
        if (!(dynamic_cast<const EKestEcrError*>(&E) && E.ErrCodeEx() == NotNow &&
              FPlan.Oper != motSale))
            Failed(E);
        return false;
    }

    // Counts the document the driver reported printed, or cancels it.
    void Settle(bool Printed, const std::function<void()>& Cancel) {
        if (Printed) {
            Confirm(Moves(FPlan));
            if (FRecovered) ++FFig.Recovered;
            return;
        }
        ++FFig.NotPrinted;
        try {
            Cancel();
        } catch (const EKestError& e) {
            Failed(e);
        }
    }

    void Confirm(const std::vector<TMove>& Moves) {
        ++FReported;
        ++FPrinted;
        ++FFig.Printed;
        ++FNumber;
        for (const TMove& m : Moves) {
            FExpected[m.Counter].Count += m.Count;
            FExpected[m.Counter].Sum += m.Sum;
        }
    }

    void Receipt() {
        FPlan = MakePlan(true);
        FRecovered = false;
        Main('K', true);
        FDrv.OpenReceipt(FPlan.Oper);
        const bool cash = FPlan.Oper == motCashIn || FPlan.Oper == motCashOut;
        for (const TItem& item : FPlan.Items)
            FDrv.AddReceiptItem(cash ? u"" : u"Товар", TKestCurrency::FromHundredths(item.Price),
                                false, cash ? 0 : 1, cash ? 0 : 7, 0, cash ? 0 : item.Quantity, 0,
                                0, u"");
        const TKestPayType pay = FPlan.Pay == TPay::Card ? mptCard : mptCash;
        const bool printed = CloseTwice([&] {
            FDrv.CloseReceipt(u"", pay, TKestCurrency::FromHundredths(FPlan.Given), {},
                              pay == mptCard ? u"Карта" : u"", 0, moiNumberName);
        });
        Settle(printed, [&] { FDrv.CancelReceipt(); });
    }

    void Head(int NumberX, bool ReceiptNumber, bool Account) {
        for (int line = 1; line <= 4; ++line)
            FDrv.AddHeaderLine(line, 0, 0, line - 1);
        FDrv.AddSerialNumber(0, 0, 4);
        FDrv.AddDocNumber(0, NumberX, 4);
        FDrv.AddTaxPayerNumber(0, 0, 5);
        FDrv.AddDateTime(0, 0, 6);
        if (ReceiptNumber) FDrv.AddReceiptNumber(0, NumberX, 6);
        FDrv.AddOperInfo(moiNumberName, 0, 0, 7);
        if (Account) FDrv.AddAccount(u"0123456789", 0, 0, 8);
    }

    void CustomDocument() {
        FPlan = MakePlan(false);
        FRecovered = false;
        Main('N', true);
        FDrv.OpenCustomDoc(false, FPlan.Oper);
        Head(32, true, true);
        int row = 9;
        for (const TItem& item : FPlan.Items)
            FDrv.AddItem(mitItem, TKestCurrency::FromHundredths(item.Price), false, 1, 7, 0,
                         item.Quantity, 0, 0, u"", 0, 0, row++, 39);
        FDrv.AddTotal(0, 0, row++, 39);
        if (FPlan.Oper == motSale) {
            if (FPlan.Pay == TPay::Card) {
                FDrv.AddPay(mptCard, {}, {}, u"Карта", 0, 0, row++, 39);
            } else {
                FDrv.AddPay(mptCash, TKestCurrency::FromHundredths(FPlan.Given), {}, u"", 0, 0,
                            row++, 39);
                FDrv.AddChange(0, 0, row++, 39);
            }
        }
        FDrv.AddFiscalSign(0, 0, row++);
        if (FDrv.EKLZSupported()) FDrv.AddEKLZData(0, 0, row++);
        const bool printed = CloseTwice([&] { FDrv.CloseCustomDoc(mptCash, 0, 0, 0, 0, 0, 0, 0); });
        Settle(printed, [&] { FDrv.CancelCustomDoc(); });
    }

    // A composite document, now and then in two portions. A portion whose
    // print failed leaves the register's document in doubt: it is cancelled
    // there, once the status word tells that it is open.
    void CompositeDocument() {
        FPlan = MakePlan(true);
        if (FPlan.Oper == motCashOut) FPlan.Oper = motCashIn;
        FRecovered = false;
        Main('S', true);
        FDrv.OpenFiscalDoc(FPlan.Oper);
        Head(31, true, false);
        const bool cash = FPlan.Oper == motCashIn;
        const bool portions = Chance(30);
        int row = 8;
        for (size_t i = 0; i < FPlan.Items.size(); ++i) {
            const TItem& item = FPlan.Items[i];
            FDrv.AddItem(mitItem, TKestCurrency::FromHundredths(item.Price), false, cash ? 0 : 7, 0,
                         0, cash ? 0 : item.Quantity, 0, cash ? 0 : 1, cash ? u"" : u"шт.", 0, 0,
                         row++, 0);
            if (portions && i == 0) {
                try {
                    FDrv.PrintFiscalDocBuffer();
                } catch (const EKestError& e) {
                    if (!(FArmed || FTrouble == TTrouble::Acks)) Failed(e);
                    ++FFig.NotPrinted;
                    CancelComposite();
                    return;
                }
            }
        }
        FDrv.AddTotal(0, 0, row++, 0);
        if (FPlan.Oper == motSale) {
            if (FPlan.Pay == TPay::Card) {
                FDrv.AddPay(mptCard, {}, {}, u"Карта", 0, 0, row++, 0);
            } else {
                FDrv.AddPay(mptCash, TKestCurrency::FromHundredths(FPlan.Given), {}, u"", 0, 0,
                            row++, 0);
                FDrv.AddChange(0, 0, row++, 0);
            }
        }
        const bool printed = CloseTwice([&] { FDrv.CloseFiscalDoc(); });
        Settle(printed, [&] { CancelComposite(); });
    }

    void CancelComposite() {
        FDrv.BeforeRequest = nullptr;
        FEmu.ClearFaults();
        FEmu.SetNotices(0);
        FDrv.CancelFiscalDoc(false);
        FDrv.QueryLastDocInfo();  // its status word tells whether the register's is open
        if (FDrv.GetDocStatus() != mdsClosed) FDrv.CancelFiscalDoc(false);
    }

    // -- Reports, the shift and non-fiscal text

    void Report(bool Z) {
        Main(FDrv.Generation() == 3 || FDrv.Generation() == 7 ? '_' : '5', true);
        try {
            if (Z)
                FDrv.ZReport();
            else
                FDrv.XReport();
            if (FArmed && (FTrouble == TTrouble::InterruptedPrint || SpoilsAnswer(FTrouble)))
                ++FFig.Recovered;
            Confirm({});
        } catch (const EKestError& e) {
            // Once the application stops waiting the driver asks nothing more:
            // whether the report came out, the application asks itself.
            if (dynamic_cast<const EKestNoResponse*>(&e) &&
                NewLastDocument(Z ? motZReport : motXReport)) {
                ++FFig.ReportsAfterFailure;
                Confirm({});
            } else {
                ++FFig.NotPrinted;
                if (!FArmed) Failed(e);
                return;
            }
        }
        if (!Z) return;
        for (int n = 0; n < ShiftCounters; ++n)
            FExpected[n] = {};
    }
    void XReport() { Report(false); }
    void ZReport() { Report(true); }

    // Whether the register's last document, the trouble gone, is one of Type
    // after the one the application knows.
    bool NewLastDocument(TKestOperType Type) {
        FDrv.BeforeRequest = nullptr;
        FEmu.ClearFaults();
        FEmu.SetNotices(0);
        FDrv.QueryLastDocInfo();
        return FDrv.LastDocNumber() != FNumber && FDrv.LastDocType() == Type;
    }

    // The driver has no check of its own after a failed opening (it notes no
    // document number before it): the application asks whether the last
    // document is an opening that came after the one it knows.
    void OpenDay() {
        Main('1', true);
        try {
            FDrv.OpenDay(1, u"Кассир Тестов", false, FDrv.Protocol());
        } catch (const EKestError& e) {
            if (NewLastDocument(motDayOpening)) {
                ++FFig.OpenedAfterFailure;
                Confirm({});
                return;
            }
            ++FFig.NotPrinted;
            if (!FArmed) Failed(e);
            return;
        }
        Confirm({});
    }

    // Text for the printer; a call that failed half-way may leave the
    // register in output mode, which only its end (ESC ESC) leaves.
    void NonFiscal() {
        Main('6', false);
        std::u16string text;
        const int lines = Pick(1, 6);
        for (int i = 0; i < lines; ++i)
            text += u"Строка " + kest::FromUtf8(std::to_string(Pick(1, 99999))) + u"\\0A";
        try {
            FDrv.PrintNonFiscal(text);
        } catch (const EKestError& e) {
            if (!FArmed) Failed(e);
            FDrv.BeforeRequest = nullptr;
            FEmu.ClearFaults();
            try {
                FDrv.PrintNonFiscal(u"", false, true);
            } catch (const EKestError&) {
                // It was not in output mode: the ESC ESC went nowhere.
            }
        }
    }

    TEmulator FEmu;
    TSoakDriver FDrv;
    std::mt19937_64 FRandom;
    TFigures& FFig;

    TCounters FExpected{};
    int FNumber = 0;
    size_t FRegisteredAtStart = 0;
    long FPrinted = 0;  // on this register

    // The running operation.
    const char* FOperation = "";
    TTrouble FTrouble = TTrouble::None;
    char FMainCmd = 0;
    bool FRegistering = false;  // the operation registers a document
    bool FArmed = false, FRetryNotice = false, FRecovered = false;
    long FReported = 0;  // registrations the driver reported
    TPlan FPlan;
};

// The peak resident memory of this process, in KiB.
long PeakMemory() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Soak: the driver against the emulator with random faults on the line");
    long exchanges = 10000;
    uint64_t seed = 1;
    std::vector<std::string> models = {"207.1K", "pc-k"};
    app.add_option("--exchanges", exchanges, "Requests in all, shared by the registers")
        ->check(CLI::PositiveNumber);
    app.add_option("--seed", seed,
                   "Seed of the random sequence; the same seed repeats a run as long as the line's "
                   "timing does");
    app.add_option("--models", models, "Registers to play (the 207.1K on XON/XOFF)");
    CLI11_PARSE(app, argc, argv);

    TFigures figures;
    const auto start = TClock::now();
    try {
        for (size_t i = 0; i < models.size(); ++i) {
            TConfig config;
            config.Model = kest::emu::ParseModel(models[i]);
            config.XonXoff = config.Model == mem207_1K;
            config.LineTime = 1ms;
            TSoak soak(config, seed + i, figures);
            std::printf("%s, generation %d%s:\n", models[i].c_str(),
                        kest::emu::GenerationOf(config.Model, {}),
                        config.XonXoff ? ", XON/XOFF" : "");
            soak.Run(exchanges / long(models.size()));
            soak.Reconcile();
        }
    } catch (const std::exception& e) {
        std::printf("soak: %s\n", e.what());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();

    std::printf(
        "seed %llu: %ld exchanges, %ld operations in %.1f s (longest %.2f s), peak memory "
        "%.1f MiB\n",
        static_cast<unsigned long long>(seed), figures.Exchanges, figures.Operations, seconds,
        figures.Longest, PeakMemory() / 1024.0);
    std::string troubles;
    for (int t = 1; t < TroubleCount; ++t)
        troubles += std::string(t > 1 ? ", " : "") + TroubleNames[t] + " " +
                    std::to_string(figures.Troubles[t]);
    std::printf("troubles: %s\n", troubles.c_str());
    std::printf(
        "documents and reports: %ld registered by the register, %ld reported printed by "
        "the driver (%ld recovered, %ld at the second close), %ld reported not printed\n",
        figures.Registered, figures.Printed, figures.Recovered, figures.Retried,
        figures.NotPrinted);
    std::printf(
        "shift openings that failed on the line but were registered, found by the "
        "application: %ld\n",
        figures.OpenedAfterFailure);
    std::printf(
        "reports whose lost answer was given up on but that were registered, found by the "
        "application: %ld\n",
        figures.ReportsAfterFailure);
    std::printf("queries failed on a troubled line: %ld; failures without trouble: %ld\n",
                figures.FailedQueries, figures.Unexpected);
    std::printf("disagreements: %ld\n", figures.Disagreements);
    return figures.Disagreements == 0 && figures.Unexpected == 0 ? 0 : 1;
}
