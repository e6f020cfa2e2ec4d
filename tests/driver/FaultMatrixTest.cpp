// Every fault of the line and the register on every kind of operation: each
// case ends in its documented outcome within the bound its time-outs give,
// leaves the driver's document as it should, and once the fault is gone the
// operation works again, a document printed exactly once. With
// KESTOR_RELIABILITY_REPORT set the outcomes and times go into the fault
// matrix of docs/RELIABILITY.md.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "../ReliabilityReport.h"
#include "KestorEmu.h"
#include "KestorFPrt.h"
#include "LinkDriver.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;
using kest::emu::TEmulator;
using kest::emu::TFault;

// The driver's time-outs, and what the cases add to them, in ms.
constexpr int Ti = 100, Te = 250;
constexpr int PerByte = 50;      // a read or write of n bytes may take n x 50 ms more
constexpr int Quiet = 20;        // the silence that ends the clean-up after a bad answer
constexpr int AckEvery = 50;     // between the ACKs of a register stuck at work
constexpr int NoticeEvery = 50;  // between the notices of a printer that never gets ready
constexpr int AbortAfter = 30;   // from the request to the abort from another thread
constexpr int HeadBytes = 6;     // the write of a request's command and password
// Scheduling on a busy machine.
constexpr int Margin = 250;

constexpr char Esc = 0x1B;

TKestCurrency Money(const char* Text) {
    return TKestCurrency::Parse(Text);
}

// A driver that runs an action once, just before the request of a command
// goes out (after its STX), or, for ESC, before the end of device output.
class TFaultDriver : public TLinkDriver {
public:
    TFaultDriver(const std::string& Device) : TLinkDriver(Device, Ti, Te) {}

    void ArmAt(char Cmd, std::function<void()> Action) {
        FCmd = Cmd;
        FAction = std::move(Action);
    }

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

// The documents a register printed: the lines of dashes that end them.
class TTapeCount {
public:
    kest::emu::TConfig Into(kest::emu::TConfig Config) {
        Config.Tape = [this](std::string_view Text) {
            std::lock_guard lock(FLock);
            for (size_t at = Text.find(Separator); at != Text.npos;
                 at = Text.find(Separator, at + 1))
                ++FCount;
        };
        return Config;
    }
    int Count() {
        std::lock_guard lock(FLock);
        return FCount;
    }

private:
    static constexpr std::string_view Separator = "----------------------------------------\n";
    std::mutex FLock;
    int FCount = 0;
};

// -- Operations

void Sell(TKestorFPrt& D) {
    if (D.Generation() == 3) {
        D.OpenFiscalDoc(motSale);
        D.AddItem(mitItem, Money("100.00"), false, 7, 555, 0, 2, 0, 0, u"шт", 0, 0, 0, 0);
        D.AddTotal(0, 0, 1, 0);
        D.AddPay(mptCash, Money("500.00"), {}, u"", 0, 0, 2, 0);
        D.AddChange(0, 0, 3, 0);
        return;
    }
    D.OpenReceipt(motSale);
    D.AddReceiptItem(u"Товар", Money("100.00"), false, 7, 555, 0, 2, 0, 0, u"");
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

void PrintTo(const TOperation& Op, std::ostream* Os) {
    *Os << Op.Name;
}

const TOperation Operations[] = {
    {"identification", mem207_1K, "", false, 'E', 'E', Ti, 100, false, false, mdsUnknown,
     [](TKestorFPrt&) {}, [](TKestorFPrt& D) { D.Open(); }},
    {"query", mem207_1K, "", true, 'J', 'J', Ti, 70, false, false, mdsClosed, [](TKestorFPrt&) {},
     [](TKestorFPrt& D) { D.QueryLastDocInfo(); }},
    {"receipt close", mem207_1K, "", true, 'K', 'K', Ti, 15, true, true, mdsReceipt, Sell,
     [](TKestorFPrt& D) {
         D.CloseReceipt(u"1", mptCash, Money("500.00"), {}, u"", 0, moiNumberName);
     }},
    {"composite close", mem207_1F, "1.0 VLS B2.5", true, 'S', 'S', Ti, 15, true, true, mdsCached,
     Sell, [](TKestorFPrt& D) { D.CloseFiscalDoc(); }},
    {"X report", mem207_1K, "", true, '5', '5', Ti, 46, false, true, mdsClosed,
     [](TKestorFPrt& D) {
         if (D.CheckEcrStatus(0) != 1) D.OpenDay(1, u"Кассир", false, D.Protocol());
     },
     [](TKestorFPrt& D) { D.XReport(0); }},
    {"non-fiscal print", mem207_1K, "", true, '6', Esc, Te, 15, false, false, mdsClosed,
     [](TKestorFPrt&) {}, [](TKestorFPrt& D) { D.PrintNonFiscal(u"Спасибо!", true, true); }},
};

// -- Faults

// What a case ended in.
struct TOutcome {
    std::string Class;  // "" for success
    int ErrCode = 0, ErrCodeEx = 0;
    bool operator==(const TOutcome&) const = default;
};

std::string Describe(const TOutcome& O) {
    if (O.Class.empty()) return "success";
    return O.Class + " " + std::to_string(O.ErrCode) + "/" + std::to_string(O.ErrCodeEx);
}

void PrintTo(const TOutcome& O, std::ostream* Os) {
    *Os << Describe(O);
}

const TOutcome Printed{};
const TOutcome NoResponse{"EKestNoResponse", 3, 0};
const TOutcome Aborted{"EKestRequestAborted", -1, 0};
const TOutcome Cancelled{"EKestEcrError", 18, 10};
const TOutcome LineGone{"std::system_error", TKestorFPrt::ErrSystem, EIO};
TOutcome Bad(int Code) {
    return {"EKestBadResponse", 15, Code};
}

struct TBench;

struct TFaultCase {
    const char* Name;
    bool AtRequest;  // strikes the request; else the operation's last answer
    void (*Inject)(TBench&);
    void (*Clear)(TBench&);
    // The outcome; on an operation the last document settles, success when
    // the register printed it all the same.
    TOutcome Outcome;
    bool Printed;
    // Least and most time, in ms, for the operation.
    int (*Least)(const TOperation&);
    int (*Bound)(const TOperation&);
    bool HangsUp = false;  // needs the right to hang the line up
};

struct TBench {
    explicit TBench(const TOperation& Op)
        : Emu(Tape.Into(Register(Op.Model, Op.Firmware))), Drv(Emu.DevicePath()) {}
    TTapeCount Tape;
    TEmulator Emu;
    TFaultDriver Drv;
    std::future<void> Abort;
    int Retries = 0;
};

int Zero(const TOperation&) {
    return 0;
}
// The time-out of the last answer: a silent register is waited for that
// long; a spoiled answer is found out before it passes.
int TimeoutOf(const TOperation& Op) {
    return Op.Timeout;
}
// A document close asks a stuck register once more for its last document.
int Twice(const TOperation& Op, int Once) {
    return Op.Settled && Op.Document ? 2 * Once : Once;
}

const TFaultCase Faults[] = {
    {"no answer", false, [](TBench& B) { B.Emu.InjectFault(TFault::NoAnswer); }, [](TBench&) {},
     NoResponse, true, TimeoutOf,
     [](const TOperation& Op) { return Op.Timeout + PerByte + Quiet; }},
    {"silence mid-frame", false, [](TBench& B) { B.Emu.InjectFault(TFault::CutShort); },
     [](TBench&) {}, NoResponse, true, TimeoutOf,
     [](const TOperation& Op) { return Op.Timeout + PerByte * Op.AnswerBytes + Quiet; }},
    {"bad BCC", false, [](TBench& B) { B.Emu.InjectFault(TFault::BadBcc); }, [](TBench&) {}, Bad(7),
     true, Zero, TimeoutOf},
    {"garbage before STX", false, [](TBench& B) { B.Emu.InjectFault(TFault::Garbage); },
     [](TBench&) {}, Bad(6), true, Zero, TimeoutOf},
    {"ETX in data", false, [](TBench& B) { B.Emu.InjectFault(TFault::EtxInData); }, [](TBench&) {},
     Bad(5), true, Zero, TimeoutOf},
    {"wrong echo", false, [](TBench& B) { B.Emu.InjectFault(TFault::WrongEcho); }, [](TBench&) {},
     Bad(6), true, Zero, TimeoutOf},
    {"wrong separator", false, [](TBench& B) { B.Emu.InjectFault(TFault::WrongSeparator); },
     [](TBench&) {}, Bad(5), true, Zero, TimeoutOf},
    {"endless ACKs", true,
     [](TBench& B) { B.Emu.SetAcks(-1, std::chrono::milliseconds(AckEvery)); },
     [](TBench& B) { B.Emu.SetAcks(0); }, NoResponse, false, [](const TOperation&) { return Te; },
     [](const TOperation& Op) { return Twice(Op, Te + AckEvery + Ti + Quiet); }},
    {"notices until cancel", true,
     [](TBench& B) {
         // The cashier retries twice, then gives up.
         B.Emu.SetNotices(100);
         B.Drv.OnPrinterError = [&B](TKestorFPrt& D) { D.SetRetryOperation(++B.Retries < 3); };
     },
     [](TBench& B) {
         B.Emu.SetNotices(0);
         B.Drv.OnPrinterError = nullptr;
     },
     Cancelled, false, Zero, [](const TOperation&) { return Ti; }},
    {"notices, cancel ignored", true, [](TBench& B) { B.Emu.InjectFault(TFault::EndlessNotices); },
     [](TBench&) {}, NoResponse, false, [](const TOperation&) { return Te; },
     [](const TOperation& Op) { return Twice(Op, Te + NoticeEvery + Ti + Quiet); }},
    {"XOFF without XON", true, [](TBench& B) { B.Emu.HoldXoff(kest::emu::HoldForever); },
     [](TBench& B) { B.Emu.HoldXoff(0ms); }, NoResponse, false,
     [](const TOperation&) { return Te; },
     [](const TOperation& Op) {
         // Held past the external time-out; the last write waits its own time.
         const int head = Te + Ti + PerByte * HeadBytes;
         return Op.Settled && Op.Document ? head + Te + Ti + PerByte : head;
     }},
    {"line hung up", false, [](TBench& B) { B.Emu.InjectFault(TFault::HangUp); }, [](TBench&) {},
     LineGone, true, Zero, TimeoutOf, true},
    {"abort from another thread", false,
     [](TBench& B) {
         B.Emu.InjectFault(TFault::NoAnswer);
         B.Abort = std::async(std::launch::async, [&B] {
             std::this_thread::sleep_for(std::chrono::milliseconds(AbortAfter));
             B.Drv.AbortRequest();
         });
     },
     [](TBench&) {}, Aborted, false, Zero, [](const TOperation&) { return AbortAfter + PerByte; }},
};

TOutcome OutcomeOf(const std::function<void()>& Call) {
    try {
        Call();
        return {};
    } catch (const EKestNoResponse& e) {
        return {"EKestNoResponse", e.ErrCode(), e.ErrCodeEx()};
    } catch (const EKestRequestAborted& e) {
        return {"EKestRequestAborted", e.ErrCode(), e.ErrCodeEx()};
    } catch (const EKestBadResponse& e) {
        return {"EKestBadResponse", e.ErrCode(), e.ErrCodeEx()};
    } catch (const EKestEcrError& e) {
        return {"EKestEcrError", e.ErrCode(), e.ErrCodeEx()};
    } catch (const EKestError& e) {
        return {"EKestError", e.ErrCode(), e.ErrCodeEx()};
    } catch (const std::system_error& e) {
        return {"std::system_error", TKestorFPrt::ErrSystem, e.code().value()};
    }
}

class FaultMatrix : public testing::TestWithParam<TOperation> {};

TEST_P(FaultMatrix, EachFaultEndsInItsOutcomeInTimeAndIsRecoveredFrom) {
    const TOperation& op = GetParam();
    for (const TFaultCase& fault : Faults) {
        SCOPED_TRACE(fault.Name);
        if (fault.HangsUp && !TEmulator::CanHangUp()) {
            kest::test::TReport::Get().Set("fault-matrix", "fault \\ operation", fault.Name,
                                           op.Name, "not run: needs CAP_SYS_ADMIN");
            continue;
        }
        TBench bench(op);
        TFaultDriver& drv = bench.Drv;
        if (op.Connected) {
            ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
            op.Prepare(drv);
        }
        const int number = op.Connected ? drv.DocNumber() : 0;
        const int printed = bench.Tape.Count();
        const int lastDoc = drv.LastDocNumber();

        drv.ArmAt(fault.AtRequest ? op.Cmd : op.AnswerAt, [&] { fault.Inject(bench); });
        const auto start = TClock::now();
        const TOutcome outcome = OutcomeOf([&] { op.Run(drv); });
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
        if (bench.Abort.valid()) bench.Abort.wait();

        // A report's lost answer the application gave up waiting for stays
        // lost: no question follows.
        const bool printedAtOnce =
            op.Settled && fault.Printed && (op.Document || fault.Outcome != NoResponse);
        const TOutcome expected = printedAtOnce ? Printed : fault.Outcome;
        EXPECT_EQ(outcome, expected) << Describe(outcome);
        EXPECT_EQ(drv.ErrCode(), expected.ErrCode);
        EXPECT_EQ(drv.ErrCodeEx(), expected.ErrCodeEx);
        const int least = fault.Least(op), bound = fault.Bound(op);
        EXPECT_GE(ms, least);
        EXPECT_LE(ms, bound + Margin);
        kest::test::TReport::Get().Set("fault-matrix", "fault \\ operation", fault.Name, op.Name,
                                       Describe(outcome) + ", " + std::to_string(ms) +
                                           " ms (bound " + std::to_string(bound + Margin) + ")");

        // What the failure left: the document kept, the rest unchanged, and
        // the line not stuck in a state of the exchange.
        if (!op.Connected) {
            EXPECT_FALSE(drv.Active());
            EXPECT_EQ(drv.ConnState(), mcsNone);
        } else {
            EXPECT_EQ(drv.GetDocStatus(), printedAtOnce ? mdsClosed : op.Kept);
            EXPECT_EQ(drv.ConnState(), mcsIdle);
            if (!outcome.Class.empty() && op.Cmd == 'J') {
                EXPECT_EQ(drv.LastDocNumber(), lastDoc);
            }
        }

        // The fault gone, the operation goes through; a document is on the
        // register's tape and in its numbering once.
        fault.Clear(bench);
        if (!printedAtOnce) {
            EXPECT_NO_THROW(op.Run(drv)) << kest::ToUtf8(drv.ErrMessage());
        }
        if (op.Document) {
            EXPECT_EQ(drv.GetDocStatus(), mdsClosed);
        }
        if (op.Settled) {
            // A report the register printed before an abort or a lost answer
            // is printed again when asked again: the driver cannot tell that
            // request from a new one. A document is printed once.
            const bool unsettled = outcome == Aborted || (fault.Printed && !printedAtOnce);
            const int prints = !op.Document && unsettled ? 2 : 1;
            EXPECT_EQ(drv.DocNumber(), number + prints);
            EXPECT_EQ(bench.Tape.Count(), printed + prints);
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

}  // namespace
