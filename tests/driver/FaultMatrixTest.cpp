// Every fault of the line and the register on every kind of operation: each
// case ends in its documented outcome within the bound its time-outs give,
// leaves the driver's document as it should, and once the fault is gone the
// operation works again, a document printed exactly once. With
// KESTOR_RELIABILITY_REPORT set the outcomes and times go into the fault
// matrix of docs/RELIABILITY.md.
#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include "../ReliabilityReport.h"
#include "LinkDriver.h"

namespace kest::test::faults {

using kest::emu::TFault;
using std::chrono::milliseconds;

// The driver's time-outs, and what the cases add to them, in ms. The internal
// time-out leaves a busy machine's emulator room for its first ACK or notice.
constexpr int Ti = 400, Te = 800;
constexpr int PerByte = 50;      // a read or write of n bytes may take n x 50 ms more
constexpr int Quiet = 20;        // the silence that ends the clean-up after a bad answer
constexpr int AckEvery = 50;     // between the ACKs of a register stuck at work
constexpr int NoticeEvery = 50;  // between the notices of a printer that never gets ready
constexpr int AbortAfter = 30;   // from the request to the abort from another thread
constexpr int HeadBytes = 6;     // the write of a request's command and password
constexpr int Margin = 250;      // scheduling on a busy machine
constexpr char Esc = 0x1B;

// A driver that runs an action once, just before the request of a command
// goes out (after its STX), or, for ESC, before the end of device output.
class TFaultDriver : public TLinkDriver {
public:
    explicit TFaultDriver(const std::string& Device) : TLinkDriver(Device, Ti, Te) {}
    void ArmAt(char Cmd, std::function<void()> Action) { FCmd = Cmd, FAction = std::move(Action); }

protected:
    void SendData(const void* Data, int Size) override {
        const auto* bytes = static_cast<const char*>(Data);
        if (FAction && Size > 0 &&
            (FCmd == Esc ? std::memchr(bytes, Esc, Size) != nullptr
                         : FAfterStx && bytes[0] == FCmd))
            std::exchange(FAction, nullptr)();
        FAfterStx = Size == 1 && bytes[0] == '\x02';
        TLinkDriver::SendData(Data, Size);
    }

private:
    char FCmd = 0;
    std::function<void()> FAction;
    bool FAfterStx = false;
};

void Sell(TKestorFPrt& D) {
    const auto price = TKestCurrency::Parse("100.00"), cash = TKestCurrency::Parse("500.00");
    if (D.Generation() != 3) {
        D.OpenReceipt(motSale);
        D.AddReceiptItem(u"Товар", price, false, 7, 555, 0, 2, 0, 0, u"");
        return;
    }
    D.OpenFiscalDoc(motSale);
    D.AddItem(mitItem, price, false, 7, 555, 0, 2, 0, 0, u"шт", 0, 0, 0, 0);
    D.AddTotal(0, 0, 1, 0);
    D.AddPay(mptCash, cash, {}, u"", 0, 0, 2, 0);
    D.AddChange(0, 0, 3, 0);
}

struct TOperation {
    const char* Name;
    TKestEcrModel Model;
    const char* Firmware;
    bool Connected;   // opened before the operation
    char Cmd;         // the command of the request that carries it
    char AnswerAt;    // what goes out before its last answer: Cmd, or ESC
    int Timeout;      // the time-out its last answer is awaited with
    int AnswerBytes;  // the longest read of that answer
    bool Document;    // a fiscal document, kept by the driver until it is closed
    // The register's last document settles a lost answer: a document close,
    // or a report on a register whose last document tells (not when the
    // application gave up waiting for it).
    bool Settled;
    TKestDocStatus Kept;
    void (*Prepare)(TKestorFPrt&);
    void (*Run)(TKestorFPrt&);
};

// clang-format off
const TOperation Operations[] = {
    {"identification", mem207_1K, "", false, 'E', 'E', Ti, 100, false, false, mdsUnknown, nullptr,
     [](TKestorFPrt& D) { D.Open(); }},
    {"query", mem207_1K, "", true, 'J', 'J', Ti, 70, false, false, mdsClosed, nullptr,
     [](TKestorFPrt& D) { D.QueryLastDocInfo(); }},
    {"receipt close", mem207_1K, "", true, 'K', 'K', Ti, 15, true, true, mdsReceipt, Sell,
     [](TKestorFPrt& D) { D.CloseReceipt(u"1", mptCash, TKestCurrency::Parse("500.00"), {}, u"", 0, moiNumberName); }},
    {"composite close", mem207_1F, "1.0 VLS B2.5", true, 'S', 'S', Ti, 15, true, true, mdsCached, Sell,
     [](TKestorFPrt& D) { D.CloseFiscalDoc(); }},
    {"X report", mem207_1K, "", true, '5', '5', Ti, 46, false, true, mdsClosed,
     [](TKestorFPrt& D) { if (D.CheckEcrStatus(0) != 1) D.OpenDay(1, u"Кассир", false, D.Protocol()); },
     [](TKestorFPrt& D) { D.XReport(0); }},
    {"non-fiscal print", mem207_1K, "", true, '6', Esc, Te, 15, false, false, mdsClosed, nullptr,
     [](TKestorFPrt& D) { D.PrintNonFiscal(u"Спасибо!", true, true); }},
};
// clang-format on

// What a case ended in: the failure's codes, (0, 0) for success.
using TOutcome = std::pair<int, int>;
const TOutcome Printed{0, 0}, NoResponse{3, 0}, Aborted{-1, 0}, Cancelled{18, 10};

std::string Describe(const TOutcome& O) {
    return O == Printed ? "success" : std::to_string(O.first) + "/" + std::to_string(O.second);
}

TOutcome OutcomeOf(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const EKestError& e) {
        return {e.ErrCode(), e.ErrCodeEx()};
    } catch (const std::system_error& e) {
        return {TKestorFPrt::ErrSystem, e.code().value()};
    }
    return Printed;
}

// The register, counting the documents it prints by the lines of dashes that
// end them, and the driver.
struct TBench {
    explicit TBench(const TOperation& Op) : Emu(Counted(Register(Op.Model, Op.Firmware))) {}
    kest::emu::TConfig Counted(kest::emu::TConfig Config) {
        Config.Tape = [this](std::string_view Text) {
            for (size_t at = Text.find(Dashes); at != Text.npos; at = Text.find(Dashes, at + 1))
                ++Documents;
        };
        return Config;
    }
    static constexpr std::string_view Dashes = "----------------------------------------\n";
    std::atomic<int> Documents = 0;
    kest::emu::TEmulator Emu;
    TFaultDriver Drv{Emu.DevicePath()};
    std::future<void> Abort;
    int Retries = 0;
};

using TBound = int (*)(const TOperation&);

struct TFaultCase {
    const char* Name;
    bool AtRequest;  // strikes the request; else the operation's last answer
    std::function<void(TBench&)> Inject, Clear;
    // The outcome; on an operation the last document settles, success when
    // the register printed it all the same.
    TOutcome Outcome;
    bool Printed;
    TBound Least, Bound;   // least and most time, in ms, for the operation
    bool HangsUp = false;  // needs the right to hang the line up
};

// A document close asks a stuck register once more for its last document.
int Twice(const TOperation& Op, int Once) {
    return Op.Settled && Op.Document ? 2 * Once : Once;
}

std::vector<TFaultCase> Faults() {
    const auto fault = [](TFault F) { return [F](TBench& B) { B.Emu.InjectFault(F); }; };
    const auto none = [](TBench&) {};
    // A silent register is waited for the time-out of the last answer; a
    // spoiled answer is found out before it passes.
    const TBound zero = [](const TOperation&) { return 0; };
    const TBound timeout = [](const TOperation& Op) { return Op.Timeout; };
    const TBound external = [](const TOperation&) { return Te; };
    const auto bad = [](int Code) { return TOutcome{15, Code}; };
    // clang-format off
    return {
        {"no answer", false, fault(TFault::NoAnswer), none, NoResponse, true, timeout,
         [](const TOperation& Op) { return Op.Timeout + PerByte + Quiet; }},
        {"silence mid-frame", false, fault(TFault::CutShort), none, NoResponse, true, timeout,
         [](const TOperation& Op) { return Op.Timeout + PerByte * Op.AnswerBytes + Quiet; }},
        {"bad BCC", false, fault(TFault::BadBcc), none, bad(7), true, zero, timeout},
        {"garbage before STX", false, fault(TFault::Garbage), none, bad(6), true, zero, timeout},
        {"ETX in data", false, fault(TFault::EtxInData), none, bad(5), true, zero, timeout},
        {"wrong echo", false, fault(TFault::WrongEcho), none, bad(6), true, zero, timeout},
        {"wrong separator", false, fault(TFault::WrongSeparator), none, bad(5), true, zero, timeout},
        {"endless ACKs", true, [](TBench& B) { B.Emu.SetAcks(-1, milliseconds(AckEvery)); },
         [](TBench& B) { B.Emu.SetAcks(0); }, NoResponse, false, external,
         [](const TOperation& Op) { return Twice(Op, Te + AckEvery + Ti + Quiet); }},
        // The cashier retries twice, then gives up.
        {"notices until cancel", true,
         [](TBench& B) {
             B.Emu.SetNotices(100);
             B.Drv.OnPrinterError = [&B](TKestorFPrt& D) { D.SetRetryOperation(++B.Retries < 3); };
         },
         [](TBench& B) { B.Emu.SetNotices(0), B.Drv.OnPrinterError = nullptr; },
         Cancelled, false, zero, [](const TOperation&) { return Ti; }},
        {"notices, cancel ignored", true, fault(TFault::EndlessNotices), none, NoResponse, false,
         external, [](const TOperation& Op) { return Twice(Op, Te + NoticeEvery + Ti + Quiet); }},
        // Held past the external time-out; the last write waits its own time.
        {"XOFF without XON", true, [](TBench& B) {
             B.Emu.HoldXoff(kest::emu::HoldForever);
             B.Emu.WaitForXoff(milliseconds(5000));  // the line holds before the request goes
         },
         [](TBench& B) { B.Emu.HoldXoff(milliseconds(0)); }, NoResponse, false, external,
         [](const TOperation& Op) {
             const int head = Te + Ti + PerByte * HeadBytes;
             return Op.Settled && Op.Document ? head + Te + Ti + PerByte : head;
         }},
        {"line hung up", false, fault(TFault::HangUp), none, {TKestorFPrt::ErrSystem, EIO}, true,
         zero, timeout, true},
        {"abort from another thread", false,
         [](TBench& B) {
             B.Emu.InjectFault(TFault::NoAnswer);
             B.Abort = std::async(std::launch::async, [&B] {
                 std::this_thread::sleep_for(milliseconds(AbortAfter));
                 B.Drv.AbortRequest();
             });
         },
         none, Aborted, false, zero, [](const TOperation&) { return AbortAfter + PerByte; }},
    };
    // clang-format on
}

class FaultMatrix : public testing::TestWithParam<TOperation> {};

TEST_P(FaultMatrix, EachFaultEndsInItsOutcomeInTimeAndIsRecoveredFrom) {
    const TOperation& op = GetParam();
    const auto report = [&op](const char* Fault, const std::string& Cell) {
        TReport::Get().Set("fault-matrix", "fault \\ operation", Fault, op.Name, Cell);
    };
    for (const TFaultCase& fault : Faults()) {
        SCOPED_TRACE(fault.Name);
        if (fault.HangsUp && !kest::emu::TEmulator::CanHangUp()) {
            report(fault.Name, "not run: needs CAP_SYS_ADMIN");
            continue;
        }
        TBench bench(op);
        TFaultDriver& drv = bench.Drv;
        // Only the case itself runs on the short time-outs: what sets it up
        // and what checks it after may wait for a busy machine.
        const auto timeouts = [&drv](int Internal, int External) {
            drv.SetInternalTimeout(Internal), drv.SetExternalTimeout(External);
        };
        timeouts(5000, 5000);
        if (op.Connected) {
            ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
            if (op.Prepare) op.Prepare(drv);
        }
        const int number = op.Connected ? drv.DocNumber() : 0;
        const int printed = bench.Documents, lastDoc = drv.LastDocNumber();
        timeouts(Ti, Te);

        drv.ArmAt(fault.AtRequest ? op.Cmd : op.AnswerAt, [&] { fault.Inject(bench); });
        const auto start = std::chrono::steady_clock::now();
        const TOutcome outcome = OutcomeOf([&] { op.Run(drv); });
        const auto ms =
            std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (bench.Abort.valid()) bench.Abort.wait();

        // A report's lost answer the application gave up waiting for stays
        // lost: no question follows.
        const bool printedAtOnce =
            op.Settled && fault.Printed && (op.Document || fault.Outcome != NoResponse);
        const TOutcome expected = printedAtOnce ? Printed : fault.Outcome;
        EXPECT_EQ(outcome, expected);
        EXPECT_EQ(TOutcome(drv.ErrCode(), drv.ErrCodeEx()), expected);
        const int bound = fault.Bound(op) + Margin;
        EXPECT_GE(ms, fault.Least(op));
        EXPECT_LE(ms, bound);
        report(fault.Name, Describe(outcome) + ", " + std::to_string(ms) + " ms (bound " +
                               std::to_string(bound) + ")");

        // What the failure left: the document kept, the rest unchanged, and
        // the line not stuck in a state of the exchange.
        EXPECT_EQ(drv.ConnState(), op.Connected ? mcsIdle : mcsNone);
        EXPECT_TRUE(op.Connected || !drv.Active());
        EXPECT_TRUE(!op.Connected || drv.GetDocStatus() == (printedAtOnce ? mdsClosed : op.Kept));
        EXPECT_TRUE(outcome == Printed || op.Cmd != 'J' || drv.LastDocNumber() == lastDoc);

        // The fault gone, the operation goes through; a document is on the
        // register's tape and in its numbering once.
        fault.Clear(bench);
        timeouts(5000, 5000);
        if (!printedAtOnce) {
            EXPECT_NO_THROW(op.Run(drv)) << kest::ToUtf8(drv.ErrMessage());
        }
        EXPECT_TRUE(!op.Document || drv.GetDocStatus() == mdsClosed);
        if (op.Settled) {
            // A report the register printed before an abort or a lost answer
            // is printed again when asked again: the driver cannot tell that
            // request from a new one. A document is printed once.
            const bool unsettled = outcome == Aborted || (fault.Printed && !printedAtOnce);
            const int prints = !op.Document && unsettled ? 2 : 1;
            EXPECT_EQ(drv.DocNumber(), number + prints);
            EXPECT_EQ(bench.Documents, printed + prints);
        }
        EXPECT_NO_THROW(drv.QueryLastDocInfo()) << kest::ToUtf8(drv.ErrMessage());
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultMatrix, testing::ValuesIn(Operations),
                         [](const auto& Info) {
                             std::string name;
                             for (const char c : std::string(Info.param.Name))
                                 if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                             return name;
                         });

}  // namespace kest::test::faults
