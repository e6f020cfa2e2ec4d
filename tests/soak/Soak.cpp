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
#include <random>
#include <string>
#include <tuple>
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
// Stretches the time-outs, the XOFF holds and the operation limit alike, so
// that a busy machine's stalls are not taken for a silent register.
int TimeScale = 1;
// For setting up and reconciling, which are not under test: a busy machine
// may take long over the first exchanges.
constexpr int Patient = 10000;
// No operation may take longer than this, whatever the line does: the
// longest legitimate one waits out a few time-outs and an XOFF hold.
constexpr auto OperationLimit = 5s;

// The troubles of one operation; 1 to 7 spoil an answer frame as the faults
// of the same names do.
enum TTrouble { None, SpoiltFirst, SpoiltLast = 7, InterruptedPrint, Acks, NoticeRetry, Xoff = 12 };
constexpr int TroubleCount = Xoff + 1, NoticeCancel = NoticeRetry + 1;
constexpr const char* TroubleNames[TroubleCount] = {
    "none",       "no-answer",       "cut-short",
    "bad-bcc",    "garbage",         "etx-in-data",
    "wrong-echo", "wrong-separator", "interrupted-print",
    "acks",       "notice-retry",    "notice-cancel",
    "xoff"};

// Counters 0 sales, 1 refunds, 2 cash in, 3 cash out, 4 and 6 the sales in
// cash and by card, 11 the drawer, 12 the grand total; 0 to 10 are the
// shift's, cleared by the Z report.
constexpr int Checked[] = {0, 1, 2, 3, 4, 6, 11, 12};
constexpr int ShiftCounters = 11;

// A counter's move: its number, count and sum (hundredths).
using TMove = std::tuple<int, int, int64_t>;

struct TFigures {
    std::array<long, TroubleCount> Troubles{};  // injected, by kind
    // Requests, operations; documents and reports the driver reported
    // printed, of them after an interrupted print or a lost answer, and at the
    // second close, and those reported failed, then cancelled; shift openings
    // and reports given up on, found registered by the application; documents
    // registered by the emulator; failed queries, failures with no trouble on
    // the line, disagreements.
    long Exchanges = 0, Operations = 0, Printed = 0, Recovered = 0, Retried = 0, NotPrinted = 0,
         OpenedAfterFailure = 0, ReportsAfterFailure = 0, Registered = 0, FailedQueries = 0,
         Unexpected = 0, Disagreements = 0;
    double Longest = 0;  // seconds, the longest operation
};

const auto Cur = [](int64_t Hundredths) { return TKestCurrency::FromHundredths(Hundredths); };

// One register and the driver on it, played by a seeded random sequence.
class TSoak {
public:
    TSoak(TConfig Config, uint64_t Seed, TFigures& Figures)
        : FEmu(std::move(Config)), FRandom(Seed), FFig(Figures) {
        setenv("KESTOR_COM9", FEmu.DevicePath().c_str(), 1);
        FDrv.SetPortNum(9);
        Timeouts(Patient, Patient);
        // The requests counted, and the trouble armed before one goes on:
        // its command byte is the block after the lone STX.
        FDrv.OnDataSend = [this](TKestorFPrt&, const void* Data, int Size) {
            const auto* bytes = static_cast<const char*>(Data);
            if (FAfterStx && Size > 0 && ++FRequests && FBeforeRequest) FBeforeRequest(bytes[0]);
            FAfterStx = Size == 1 && bytes[0] == '\x02';
        };
        FDrv.Open();
        FDrv.OnPrinterError = [this](TKestorFPrt& D) { D.SetRetryOperation(FRetryNotice); };
        FDrv.QueryLastDocInfo();
        FNumber = FDrv.LastDocNumber();
        for (int n : Checked)
            FSum[n] = FDrv.QueryCounter(n).Hundredths(), FCount[n] = FDrv.CounterCount();
        FRegisteredAtStart = FEmu.Registered();
        Timeouts(ShortTimeout * TimeScale, LongTimeout * TimeScale);
    }

    void Run(long Exchanges) {
        const long start = FRequests;
        while (FRequests - start < Exchanges)
            Step();
        FFig.Exchanges += FRequests - start;
    }

    // The register against what the confirmed documents add up to.
    void Reconcile() {
        Timeouts(Patient, Patient);
        FDrv.QueryLastDocInfo();
        Expect("last document number", FDrv.LastDocNumber(), FNumber);
        const long registered = long(FEmu.Registered() - FRegisteredAtStart);
        FFig.Registered += registered;
        Expect("documents registered / reported printed", registered, FPrinted);
        for (int n : Checked) {
            Expect("sum of counter " + std::to_string(n), FDrv.QueryCounter(n).Hundredths(),
                   FSum[n]);
            if (n < ShiftCounters)
                Expect("count of counter " + std::to_string(n), FDrv.CounterCount(), FCount[n]);
        }
        std::string text;
        for (int n : {0, 1, 2, 3, 4, 6})
            text += (text.empty() ? "" : ", ") + std::to_string(FCount[n]) + " x " +
                    Cur(FSum[n]).ToString();
        std::printf("  last document %d, counters 0..4, 6: %s; drawer %s\n", FNumber, text.c_str(),
                    Cur(FSum[11]).ToString().c_str());
    }

private:
    void Timeouts(int In, int Ex) { FDrv.SetInternalTimeout(In), FDrv.SetExternalTimeout(Ex); }
    int Pick(int From, int To) { return std::uniform_int_distribution<int>(From, To)(FRandom); }
    bool Chance(int Percent) { return Pick(1, 100) <= Percent; }

    void Expect(const std::string& What, long long Got, long long Wanted) {
        if (Got != Wanted)
            Disagree("DISAGREEMENT: %s: %lld, expected %lld\n", What.c_str(), Got, Wanted);
    }
    template <typename... T>
    void Disagree(const char* Format, T... Args) {
        ++FFig.Disagreements, std::printf(Format, Args...);
    }
    bool Spoilt() const { return FTrouble >= SpoiltFirst && FTrouble <= SpoiltLast; }
    // The trouble struck, and spoilt the answer or interrupted the print.
    bool Lost() const { return FArmed && (FTrouble == InterruptedPrint || Spoilt()); }
    // The line clean again, for a second try or a question.
    void CleanLine() { FBeforeRequest = nullptr, FEmu.ClearFaults(), FEmu.SetNotices(0); }

    // Picks the operation and its trouble, runs it and checks the register's
    // count against what the driver reported.
    void Step() {
        const bool composite = FDrv.Generation() == 3 || FDrv.Generation() == 7;
        // The status word of the last answer tells whether the shift is open
        // (a failed exchange is followed by a question where it matters).
        const bool shiftOpen = FDrv.CheckEcrStatus(0) == 1;
        // Each with the command the trouble strikes (0: the first request).
        const char report = composite ? '_' : '5';
        const std::tuple<int, std::function<void()>, const char*, char> choices[] = {
            {40, [this] { Query(); }, "query", 0},
            {composite ? 0 : 20, [this] { Receipt(); }, "receipt", 'K'},
            {composite ? 0 : 12, [this] { CustomDocument(); }, "custom document", 'N'},
            {composite ? 32 : 0, [this] { CompositeDocument(); }, "composite document", 'S'},
            {10, [this] { NonFiscal(); }, "non-fiscal text", '6'},
            {5, [this] { Report(false); }, "X report", report},
            {shiftOpen ? 2 : 0, [this] { Report(true); }, "Z report", report},
            {shiftOpen ? 0 : 30, [this] { OpenDay(); }, "shift opening", '1'},
        };
        int total = 0;
        for (const auto& c : choices)
            total += std::get<0>(c);
        const auto* choice = choices;
        for (int roll = Pick(1, total); roll > std::get<0>(*choice);)
            roll -= std::get<0>(*choice++);
        const auto& [weight, run, name, cmd] = *choice;
        FMainCmd = cmd;
        FRegistering = cmd != 0 && cmd != '6';  // all but queries and text register a document

        PlanTrouble();
        const size_t before = FEmu.Registered();
        FReported = 0, FOperation = name;
        const auto start = TClock::now();
        run();
        const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
        CleanLine(), FEmu.SetAcks(0), ++FFig.Operations;
        FFig.Longest = std::max(FFig.Longest, seconds);
        if (seconds > TimeScale * std::chrono::duration<double>(OperationLimit).count())
            Disagree("HANG: %s with %s took %.1f s\n", FOperation, TroubleNames[FTrouble], seconds);
        const long registered = long(FEmu.Registered() - before);
        if (registered != FReported)
            Disagree("DISAGREEMENT: operation %ld, %s with %s: registered %ld, reported %ld\n",
                     FFig.Operations, FOperation, TroubleNames[FTrouble], registered, FReported);
    }

    // One trouble in three operations; it strikes the request of the
    // operation's main command (the document, the report), or its first
    // request when it has none.
    void PlanTrouble() {
        FTrouble = None, FArmed = false;
        if (!Chance(33)) return;
        FTrouble = static_cast<TTrouble>(Pick(1, TroubleCount - 1));
        FRetryNotice = FTrouble == NoticeRetry;
        if (FTrouble == Acks)
            return ++FFig.Troubles[FTrouble],
                   FEmu.SetAcks(Pick(1, 3), std::chrono::milliseconds(Pick(0, 20)));
        FBeforeRequest = [this](char Cmd) {
            if (FArmed || (FMainCmd != 0 && Cmd != FMainCmd)) return;
            // Only what registers a document has a print to interrupt.
            if (FTrouble == InterruptedPrint && !FRegistering) return;
            FArmed = true;
            ++FFig.Troubles[FTrouble];
            if (Spoilt())
                FEmu.InjectFault(static_cast<TFault>(FTrouble - 1), 1);
            else if (FTrouble == InterruptedPrint)
                FEmu.InjectFault(TFault::InterruptedPrint, 1);
            else if (FTrouble == NoticeRetry || FTrouble == NoticeCancel)
                FEmu.SetNotices(1);
            else  // XOFF: mostly within the time-out, now and then past it
                FEmu.HoldXoff(
                    std::chrono::milliseconds(TimeScale * (Chance(80) ? Pick(10, 200) : 400)));
        };
    }

    // Queries: nothing is registered, and they fail only with a trouble.
    void Query() {
        const std::function<void()> queries[] = {
            [&] { FDrv.QueryLastDocInfo(); }, [&] { FDrv.QueryCounter(Checked[Pick(0, 7)]); },
            [&] { FDrv.QueryEcrDateTime(); }, [&] { FDrv.QueryFirmwareInfo(); },
            [&] { FDrv.TestConnection(); },   [&] { FDrv.QueryTax(Pick(0, 4)); }};
        try {
            queries[Pick(0, 5)]();
        } catch (const EKestError& e) {
            ++FFig.FailedQueries, Failed(e);
        }
    }

    // A failure is expected only where the line was troubled.
    void Failed(const EKestError& E) {
        if (FTrouble != None && FTrouble != Acks) return;
        ++FFig.Unexpected;
        std::printf("UNEXPECTED: operation %ld, %s with %s: %s\n", FFig.Operations + 1, FOperation,
                    TroubleNames[FTrouble], E.what());
    }

    // -- Documents: items of a price (hundredths) and a quantity, paid
    // exactly, with change or by card.

    enum TPay { Exact, Change, Card };
    struct TPlan {
        TKestOperType Oper = motSale;
        std::vector<std::pair<int64_t, int>> Items;
        TPay Pay = Exact;
        int64_t Total = 0, Given = 0;
    };

    void MakePlan(bool WithCashOps) {
        TPlan& p = FPlan = {};
        const int kind = Pick(0, 9);
        p.Oper = kind < 6 ? motSale : kind < 8 ? motRefund : kind == 8 ? motCashIn : motCashOut;
        if (!WithCashOps && (p.Oper == motCashIn || p.Oper == motCashOut)) p.Oper = motSale;
        if (p.Oper == motCashIn || p.Oper == motCashOut) {
            p.Items.push_back({Pick(50, 1000) * 100LL, 1});
        } else {
            const int count = p.Oper == motSale ? Pick(1, 4) : 1;
            for (int i = 0; i < count; ++i)
                p.Items.push_back({Pick(100, 50000), Pick(1, 3)});
        }
        for (const auto& [price, quantity] : p.Items)
            p.Total += price * quantity;
        if (p.Oper == motSale) p.Pay = std::array{Card, Change, Exact, Exact}[Pick(0, 3)];
        p.Given = p.Pay == Change ? (p.Total / 10000 + 1) * 10000 : p.Total;
    }

    // What the planned document does to the counters.
    std::vector<TMove> Moves() const {
        const int64_t t = FPlan.Total;
        const TKestOperType o = FPlan.Oper;
        const bool card = FPlan.Pay == Card;
        if (o == motSale)
            return {{0, 1, t}, {card ? 6 : 4, 1, t}, {11, 0, card ? 0 : t}, {12, 0, t}};
        const bool out = o == motRefund || o == motCashOut;
        return {{o == motRefund ? 1 : o == motCashIn ? 2 : 3, 1, t}, {11, 0, out ? -t : t}};
    }

    // The close, and once more when it failed on the line or was
    // interrupted: the driver keeps the document for that. Then the
    // document the driver reported printed is counted, or it is cancelled.
    void CloseTwice(const std::function<void()>& Close, const std::function<void()>& Cancel) {
        bool printed = false, recovered = false;
        for (int attempt = 0; attempt < 2 && !printed; ++attempt) {
            try {
                Close();
                if (attempt == 1) ++FFig.Retried;
                recovered = attempt == 0 && Lost();
                printed = true;
            } catch (const EKestError& e) {
                const auto* ecr = dynamic_cast<const EKestEcrError*>(&e);
                if (ecr ? ecr->ErrCodeEx() != 10
                        : !dynamic_cast<const EKestBadResponse*>(&e) &&
                              !dynamic_cast<const EKestNoResponse*>(&e)) {
                    // A register that refuses to pay out more than its drawer holds is right.
                    if (!(ecr && ecr->ErrCodeEx() == 42 && FPlan.Oper != motSale)) Failed(e);
                    break;
                }
                CleanLine();  // the line is clean for the second try
            }
        }
        if (printed) return Confirm(Moves()), void(FFig.Recovered += recovered);
        ++FFig.NotPrinted;
        try {
            Cancel();
        } catch (const EKestError& e) {
            Failed(e);
        }
    }

    void Confirm(const std::vector<TMove>& Moves) {
        ++FReported, ++FPrinted, ++FFig.Printed, ++FNumber;
        for (const auto& [counter, count, sum] : Moves)
            FCount[counter] += count, FSum[counter] += sum;
    }

    // The total, and for a sale its payment, on rows from Row on, values
    // ending at column Edge.
    void Pay(int& Row, int Edge) {
        FDrv.AddTotal(0, 0, Row++, Edge);
        if (FPlan.Oper != motSale) return;
        if (FPlan.Pay == Card) return FDrv.AddPay(mptCard, {}, {}, u"Карта", 0, 0, Row++, Edge);
        FDrv.AddPay(mptCash, Cur(FPlan.Given), {}, u"", 0, 0, Row++, Edge);
        FDrv.AddChange(0, 0, Row++, Edge);
    }

    void Receipt() {
        MakePlan(true);
        FDrv.OpenReceipt(FPlan.Oper);
        const bool cash = FPlan.Oper == motCashIn || FPlan.Oper == motCashOut;
        for (const auto& [price, quantity] : FPlan.Items)
            FDrv.AddReceiptItem(cash ? u"" : u"Товар", Cur(price), false, cash ? 0 : 1,
                                cash ? 0 : 7, 0, cash ? 0 : quantity, 0, 0, u"");
        const TKestPayType pay = FPlan.Pay == Card ? mptCard : mptCash;
        CloseTwice(
            [&] {
                FDrv.CloseReceipt(u"", pay, Cur(FPlan.Given), {}, pay == mptCard ? u"Карта" : u"",
                                  0, moiNumberName);
            },
            [&] { FDrv.CancelReceipt(); });
    }

    void Head(int NumberX, bool Account) {
        for (int line = 1; line <= 4; ++line)
            FDrv.AddHeaderLine(line, 0, 0, line - 1);
        FDrv.AddSerialNumber(0, 0, 4), FDrv.AddDocNumber(0, NumberX, 4);
        FDrv.AddTaxPayerNumber(0, 0, 5);
        FDrv.AddDateTime(0, 0, 6), FDrv.AddReceiptNumber(0, NumberX, 6);
        FDrv.AddOperInfo(moiNumberName, 0, 0, 7);
        if (Account) FDrv.AddAccount(u"0123456789", 0, 0, 8);
    }

    void CustomDocument() {
        MakePlan(false);
        FDrv.OpenCustomDoc(false, FPlan.Oper);
        Head(32, true);
        int row = 9;
        for (const auto& [price, quantity] : FPlan.Items)
            FDrv.AddItem(mitItem, Cur(price), false, 1, 7, 0, quantity, 0, 0, u"", 0, 0, row++, 39);
        Pay(row, 39);
        FDrv.AddFiscalSign(0, 0, row++);
        if (FDrv.EKLZSupported()) FDrv.AddEKLZData(0, 0, row++);
        CloseTwice([&] { FDrv.CloseCustomDoc(mptCash, 0, 0, 0, 0, 0, 0, 0); },
                   [&] { FDrv.CancelCustomDoc(); });
    }

    // A composite document, now and then in two portions. A portion whose
    // print failed leaves the register's document in doubt: it is cancelled
    // there, once the status word tells that it is open.
    void CompositeDocument() {
        MakePlan(true);
        if (FPlan.Oper == motCashOut) FPlan.Oper = motCashIn;
        FDrv.OpenFiscalDoc(FPlan.Oper);
        Head(31, false);
        const bool cash = FPlan.Oper == motCashIn, portions = Chance(30);
        int row = 8;
        for (size_t i = 0; i < FPlan.Items.size(); ++i) {
            FDrv.AddItem(mitItem, Cur(FPlan.Items[i].first), false, cash ? 0 : 7, 0, 0,
                         cash ? 0 : FPlan.Items[i].second, 0, cash ? 0 : 1, cash ? u"" : u"шт.", 0,
                         0, row++, 0);
            if (!portions || i != 0) continue;
            try {
                FDrv.PrintFiscalDocBuffer();
            } catch (const EKestError& e) {
                if (!(FArmed || FTrouble == Acks)) Failed(e);
                return ++FFig.NotPrinted, CancelComposite();
            }
        }
        Pay(row, 0);
        CloseTwice([&] { FDrv.CloseFiscalDoc(); }, [&] { CancelComposite(); });
    }

    void CancelComposite() {
        CleanLine();
        FDrv.CancelFiscalDoc(false);
        FDrv.QueryLastDocInfo();  // its status word tells whether the register's is open
        if (FDrv.GetDocStatus() != mdsClosed) FDrv.CancelFiscalDoc(false);
    }

    // -- Reports, the shift and non-fiscal text

    // A report or a shift opening, Run, registering a document of Type.
    // Once the application stops waiting after a report the driver asks
    // nothing more, and it has no check of its own after a failed opening (it
    // notes no document number before it): whether the document came out,
    // the application asks itself, counting it in Found.
    bool Registers(const std::function<void()>& Run, TKestOperType Type, long& Found) {
        const bool opening = Type == motDayOpening;
        try {
            Run();
            if (!opening && Lost()) ++FFig.Recovered;
        } catch (const EKestError& e) {
            if (!(opening || dynamic_cast<const EKestNoResponse*>(&e)) || !NewLastDocument(Type)) {
                ++FFig.NotPrinted;
                if (!FArmed) Failed(e);
                return false;
            }
            ++Found;
        }
        Confirm({});
        return true;
    }
    // Whether the register's last document, the trouble gone, is one of Type
    // after the one the application knows.
    bool NewLastDocument(TKestOperType Type) {
        CleanLine();
        FDrv.QueryLastDocInfo();
        return FDrv.LastDocNumber() != FNumber && FDrv.LastDocType() == Type;
    }
    void Report(bool Z) {
        if (Registers([&] { Z ? FDrv.ZReport() : FDrv.XReport(); }, Z ? motZReport : motXReport,
                      FFig.ReportsAfterFailure))
            for (int n = 0; Z && n < ShiftCounters; ++n)
                FCount[n] = 0, FSum[n] = 0;
    }

    void OpenDay() {
        Registers([&] { FDrv.OpenDay(1, u"Кассир Тестов", false, FDrv.Protocol()); }, motDayOpening,
                  FFig.OpenedAfterFailure);
    }

    // Text for the printer; a call that failed half-way may leave the
    // register in output mode, which only its end (ESC ESC) leaves.
    void NonFiscal() {
        std::u16string text;
        for (int i = 0, lines = Pick(1, 6); i < lines; ++i)
            text += u"Строка " + kest::FromUtf8(std::to_string(Pick(1, 99999))) + u"\\0A";
        try {
            FDrv.PrintNonFiscal(text);
        } catch (const EKestError& e) {
            if (!FArmed) Failed(e);
            FBeforeRequest = nullptr, FEmu.ClearFaults();
            try {
                FDrv.PrintNonFiscal(u"", false, true);
            } catch (const EKestError&) {
                // It was not in output mode: the ESC ESC went nowhere.
            }
        }
    }

    TEmulator FEmu;
    TKestorFPrt FDrv;
    std::mt19937_64 FRandom;
    TFigures& FFig;

    std::array<int, 13> FCount{};
    std::array<int64_t, 13> FSum{};  // hundredths
    std::function<void(char Cmd)> FBeforeRequest;
    int FNumber = 0;
    size_t FRegisteredAtStart = 0;

    // The running operation: its trouble, the command it strikes, whether
    // the operation registers a document; the requests sent, the documents
    // printed on this register, and the registrations the driver reported.
    const char* FOperation = "";
    TTrouble FTrouble = None;
    char FMainCmd = 0;
    bool FAfterStx = false, FRegistering = false, FArmed = false, FRetryNotice = false;
    long FRequests = 0, FPrinted = 0, FReported = 0;
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
    app.add_option("--time-scale", TimeScale,
                   "Multiplies the driver's time-outs, the XOFF holds and the operation limit")
        ->check(CLI::Range(1, 100));
    CLI11_PARSE(app, argc, argv);

    TFigures f;
    const auto start = TClock::now();
    try {
        for (size_t i = 0; i < models.size(); ++i) {
            const TKestEcrModel model = kest::emu::ParseModel(models[i]);
            const TConfig config{.Model = model, .XonXoff = model == mem207_1K, .LineTime = 1ms};
            TSoak soak(config, seed + i, f);
            std::printf("%s, generation %d%s:\n", models[i].c_str(),
                        kest::emu::GenerationOf(model, {}), config.XonXoff ? ", XON/XOFF" : "");
            soak.Run(exchanges / long(models.size()));
            soak.Reconcile();
        }
    } catch (const std::exception& e) {
        std::printf("soak: %s\n", e.what());
        return 1;
    }
    std::printf(
        "seed %llu: %ld exchanges, %ld operations in %.1f s (longest %.2f s), peak memory "
        "%.1f MiB\n",
        static_cast<unsigned long long>(seed), f.Exchanges, f.Operations,
        std::chrono::duration<double>(TClock::now() - start).count(), f.Longest,
        PeakMemory() / 1024.0);
    for (int t = 1; t < TroubleCount; ++t)
        std::printf("%s%s %ld", t > 1 ? ", " : "troubles: ", TroubleNames[t], f.Troubles[t]);
    std::printf(
        "\ndocuments and reports: %ld registered by the register, %ld reported printed by the "
        "driver (%ld recovered, %ld at the second close), %ld reported not printed\n"
        "shift openings that failed on the line but were registered, found by the application: "
        "%ld\nreports whose lost answer was given up on but that were registered, found by the "
        "application: %ld\nqueries failed on a troubled line: %ld; failures without trouble: "
        "%ld\ndisagreements: %ld\n",
        f.Registered, f.Printed, f.Recovered, f.Retried, f.NotPrinted, f.OpenedAfterFailure,
        f.ReportsAfterFailure, f.FailedQueries, f.Unexpected, f.Disagreements);
    return f.Disagreements == 0 && f.Unexpected == 0 ? 0 : 1;
}
