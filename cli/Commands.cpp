#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <vector>

#include "Detect.h"
#include "Output.h"
#include "Trace.h"

namespace kest {

namespace {

// Far beyond a printed page: a typo such as a binary file on the input, not
// a text meant for the register.
constexpr std::size_t MaxTextBytes = 64 * 1024;
// Long enough for the identification answer at 9600 baud, short enough that
// trying four rates on a silent port stays under a few seconds.
constexpr int DetectTimeoutMs = 250;
const std::vector<int> AllRates = {9600, 19200, 57600, 115200};

using TBody = std::function<void(TKestorFPrt& Driver, TOutput& Out)>;

// Wrong usage found after parsing: the message goes to standard error, the
// exit status is 2 and nothing is sent.
class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string ShiftText(bool Open) {
    return Open ? "open" : "closed";
}

// "shift open, bit 2" for the bits set in EcrStatus; bit 0 is the only one
// the register names.
std::string EcrStatusText(int Status) {
    std::string text;
    for (const int bit : BitsOf(Status)) {
        if (!text.empty()) text += ", ";
        text += bit == 0 ? "shift open" : "bit " + std::to_string(bit);
    }
    return HexWord(Status) + (text.empty() ? "" : " (" + text + ")");
}

std::string DevStatusText(int Status) {
    std::string text;
    for (const int bit : BitsOf(Status))
        text += (text.empty() ? "bits " : ", ") + std::to_string(bit);
    return HexWord(Status) + (text.empty() ? "" : " (" + text + ")");
}

// The status words as the last answer left them.
void StatusFields(const TKestorFPrt& Driver, TOutput& Out) {
    const bool shiftOpen = Driver.CheckEcrStatus(0) == 1;
    Out.Field("ShiftOpen", "Shift", shiftOpen, ShiftText(shiftOpen));
    // The operation means something only while a document is open.
    const TKestDocStatus doc = Driver.GetDocStatus();
    const std::string docText(NameOf(doc));
    Out.Field("DocStatus", "Document", NameValue(doc),
              doc == mdsClosed || doc == mdsUnknown
                  ? docText
                  : docText + " (" + std::string(NameOf(Driver.GetCurrentOper())) + ")");
    Out.Json("CurrentOper", NameValue(Driver.GetCurrentOper()));
    Out.Field("Protocol", "Protocol", NameValue(Driver.Protocol()));
    Out.Field("EcrStatus", "ECR status", Driver.EcrStatus(), EcrStatusText(Driver.EcrStatus()));
    Out.Json("EcrStatusBits", BitsOf(Driver.EcrStatus()));
    Out.Field("EcrStatusMask", "ECR status bits in use", Driver.EcrStatusMask(),
              HexWord(Driver.EcrStatusMask()));
    Out.Field("DevStatus", "Device status", Driver.DevStatus(), DevStatusText(Driver.DevStatus()));
    Out.Json("DevStatusBits", BitsOf(Driver.DevStatus()));
    Out.Field("DevStatusMask", "Device status bits in use", Driver.DevStatusMask(),
              HexWord(Driver.DevStatusMask()));
}

void IdentityFields(const TKestorFPrt& Driver, TOutput& Out) {
    Out.Field("ModelName", "Model", ToUtf8(Driver.ModelName()));
    Out.Field("EcrModel", "Model code", NameValue(Driver.EcrModel()));
    Out.Field("Manufacturer", "Manufacturer", ToUtf8(Driver.Manufacturer()));
    Out.Field("FirmwareVersion", "Firmware", ToUtf8(Driver.FirmwareVersion()));
    Out.Field(
        "EcrVersion", "Firmware version", Driver.EcrVersion(),
        VersionText(Driver.EcrVersion()) + ", sub-version " + VersionText(Driver.EcrSubVersion()));
    Out.Json("EcrSubVersion", Driver.EcrSubVersion());
    Out.Field("Generation", "Generation", Driver.Generation());
    Out.Field("EKLZSupported", "Journal (EKLZ)", Driver.EKLZSupported());
    Out.Field("SerialNumber", "Serial number", ToUtf8(Driver.SerialNumber()));
}

void ReportFields(const TKestorFPrt& Driver, TOutput& Out, int Number) {
    Out.Field("ReportNumber", "Report number", Number);
    Out.Field("SaleSum", "Sales", MoneyValue(Driver.SaleSum()));
    Out.Field("BuyingSum", "Purchases", MoneyValue(Driver.BuyingSum()));
    Out.Field("SerialNumber", "Serial number", ToUtf8(Driver.SerialNumber()));
}

void FiscalReportFields(const TKestorFPrt& Driver, TOutput& Out) {
    Out.Field("LastFiscalReport", "Last fiscal report", Driver.LastFiscalReport());
    Out.Field("ReportDate", "Report date", DateValue(Driver.ReportDate()),
              DateText(Driver.ReportDate()));
    Out.Field("StartDate", "First day", DateValue(Driver.StartDate()),
              DateText(Driver.StartDate(), false));
    Out.Field("EndDate", "Last day", DateValue(Driver.EndDate()),
              DateText(Driver.EndDate(), false));
    Out.Field("StartNumber", "First record", Driver.StartNumber());
    Out.Field("EndNumber", "Last record", Driver.EndNumber());
    Out.Field("SaleSum", "Sales", MoneyValue(Driver.SaleSum()));
    Out.Field("BuyingSum", "Purchases", MoneyValue(Driver.BuyingSum()));
    Out.Field("SerialNumber", "Serial number", ToUtf8(Driver.SerialNumber()));
    Out.Field("RegNumber", "Registration number", ToUtf8(Driver.RegNumber()));
    Out.Field("TaxPayerNumber", "Taxpayer number", ToUtf8(Driver.TaxPayerNumber()));
    const std::u16string* lines[] = {&Driver.HeaderLine1(), &Driver.HeaderLine2(),
                                     &Driver.HeaderLine3(), &Driver.HeaderLine4()};
    for (int i = 0; i < 4; ++i) {
        const std::string n = std::to_string(i + 1);
        Out.Field("HeaderLine" + n, "Header line " + n, ToUtf8(*lines[i]));
    }
}

// "2026-12-01" or "01.12.2026"; the time of day is not used.
TKestDateTime ParseDay(const std::string& Text) {
    int day = 0, month = 0, year = 0;
    char end = 0;
    if (std::sscanf(Text.c_str(), "%2d.%2d.%4d%c", &day, &month, &year, &end) == 3 &&
        Text.size() == 10) {
        TKestDateTime value = 0;
        if (TryMakeDateTime({year, month, day}, value)) return value;
    } else {
        try {
            return ParseIso(Text);
        } catch (const std::invalid_argument&) {
            // reported below
        }
    }
    throw EUsage("not a date: \"" + Text + "\" (2026-12-01 or 01.12.2026)");
}

// "all" or a number; -1 stands for all. A negative number would mean all to
// the driver as well: only "all" says so.
int ParseNumberOrAll(const std::string& Text) {
    if (Text == "all") return -1;
    try {
        std::size_t used = 0;
        const int value = std::stoi(Text, &used);
        if (used == Text.size() && value >= 0) return value;
    } catch (const std::exception&) {
        // reported below
    }
    throw EUsage("expected a number (0 or more) or \"all\", got \"" + Text + "\"");
}

// Each argument a line; without arguments the text on standard input.
std::string TextOf(const std::vector<std::string>& Args, bool NewLineAtEnd) {
    std::string text;
    if (Args.empty()) {
        if (isatty(STDIN_FILENO))
            std::cerr << "kestorctl: reading the text from standard input; Ctrl-D ends it\n";
        std::istreambuf_iterator<char> in(std::cin), end;
        for (; in != end && text.size() <= MaxTextBytes; ++in)
            text += *in;
    } else {
        for (std::size_t i = 0; i < Args.size(); ++i) {
            if (i > 0) text += '\n';
            text += Args[i];
        }
        if (NewLineAtEnd) text += '\n';
    }
    if (text.size() > MaxTextBytes)
        throw EUsage("the text is longer than " + std::to_string(MaxTextBytes) + " bytes");
    return text;
}

// Backslashes doubled, so that the driver's escapes leave the text as written.
std::string Literal(const std::string& Text) {
    std::string out;
    for (const char c : Text) {
        out += c;
        if (c == '\\') out += '\\';
    }
    return out;
}

TKestProtocol ProtocolOf(const std::string& Name) {
    return Name == "xonxoff" ? mprXOnXoff : mprBS;
}

}  // namespace

std::string OneLine(std::string_view Text) {
    std::string line;
    line.reserve(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text.substr(i, 2) == "\r\n") {
            line += ' ';
            ++i;
        } else {
            line += Text[i];
        }
    }
    return line;
}

namespace {

// A check of an option's text by its parser, made while parsing, so that a
// wrong value is wrong usage.
CLI::Validator ParsedBy(std::string Name, std::function<void(const std::string&)> Parse) {
    return CLI::Validator(
        [Parse = std::move(Parse)](std::string& Text) {
            try {
                Parse(Text);
                return std::string();
            } catch (const EUsage& e) {
                return std::string(e.what());
            }
        },
        std::move(Name));
}

const CLI::Validator DayCheck = ParsedBy("DATE", [](const std::string& Value) { ParseDay(Value); });

}  // namespace

struct TCommands::TImpl {
    explicit TImpl(TGlobalOptions Options) : Global(std::move(Options)) {}

    struct TCommand {
        CLI::App* App;
        TBody Body;
        std::function<void()> Prepare;  // before the connection; may raise EUsage
    };

    TGlobalOptions Global;
    bool Dump = false;
    bool ShowPassword = false;
    TDumpSink Sink{std::cerr};

    // Arguments of the subcommands.
    bool Json = false;
    int Oper = 1;
    std::string OperName;
    bool DayFlag = false;
    std::string Protocol;
    int Flags = 0;
    std::string Department, Operator;
    std::string Inspector;
    bool Kind = false, Full = false;
    int First = 0, Last = 0;
    std::string FirstDay, LastDay;
    std::vector<std::string> TextArgs;
    bool LiteralText = false;
    std::string Text;
    int Lines = 1;
    bool Cut = false;
    bool Sync = false;
    std::vector<int> Counters;
    bool PrintResources = false;
    int Number = 0;
    std::vector<int> Ports;

    std::vector<TCommand> Commands;
    CLI::App* DetectCommand = nullptr;
    std::optional<TLineDump> RpcDump;

    // A subcommand with --json and an example; with a Body it runs on one
    // open connection.
    CLI::App* Add(CLI::App& Parent, const char* Name, const char* Description, const char* Example,
                  TBody Body = {}) {
        CLI::App* sub = Parent.add_subcommand(Name, Description);
        sub->footer(std::string("Example:\n  ") + Example);
        sub->add_flag("--json", Json, "print the result as one JSON object");
        if (Body) Commands.push_back({sub, std::move(Body), {}});
        return sub;
    }

    void AddCommands(CLI::App& App);
    void AddReports(CLI::App& App);
    void AddPrinting(CLI::App& App);
    void AddQueries(CLI::App& App);
    void AddJournal(CLI::App& App);

    bool Tracing() const { return Global.Trace || Dump; }
    int RunOnRegister(const TCommand& Command);
    int RunDetect();
    void HandleDeviceErrors(TKestorFPrt& Driver) const;
    int Fail(const TKestorFPrt& Driver, const std::exception& Error) const;
};

void TCommands::TImpl::AddCommands(CLI::App& App) {
    Add(App, "identify", "identify the register: model, firmware, serial number, status",
        "kestorctl identify --port 1", [](TKestorFPrt& Driver, TOutput& Out) {
            IdentityFields(Driver, Out);
            StatusFields(Driver, Out);
        });

    Add(App, "status",
        "the status words, with the extended device status where the register has it",
        "kestorctl status --json", [](TKestorFPrt& Driver, TOutput& Out) {
            Out.Field("PortNum", "Port", Driver.PortNum(),
                      "COM" + std::to_string(Driver.PortNum()));
            Out.Field("BaudRate", "Baud rate", Driver.BaudRate());
            bool extended = true;
            try {
                Driver.QueryDevExStatus();
            } catch (const EKestUnsupported&) {
                extended = false;  // this register has only the status byte
            }
            StatusFields(Driver, Out);
            Out.Field("ExtendedDevStatus", "Extended device status", extended,
                      extended ? "read" : "not offered by this register");
        });

    AddReports(App);
    AddPrinting(App);
    AddQueries(App);
    AddJournal(App);

    DetectCommand = Add(
        App, "detect", "find the registers on the ports, trying 9600, 19200, 57600 and 115200 baud",
        "kestorctl detect 1 2 3     (with --baud 9600: that rate only)");
    DetectCommand
        ->add_option("ports", Ports,
                     "port numbers (default: 1 to 8 and every N with KESTOR_COM<N> set)")
        ->check(CLI::Range(1, 24));
}

void TCommands::TImpl::AddReports(CLI::App& App) {
    auto* openDay =
        Add(App, "open-day", "open the shift", "kestorctl open-day --operator 3 --name Иванова",
            [this](TKestorFPrt& Driver, TOutput& Out) {
                // Unless told, the shift keeps the line protocol in use.
                const TKestProtocol protocol =
                    Protocol.empty() ? Driver.Protocol() : ProtocolOf(Protocol);
                Driver.OpenDay(Oper, FromUtf8(OperName), DayFlag, protocol);
                Out.Line("Shift opened.");
                const bool shiftOpen = Driver.CheckEcrStatus(0) == 1;
                Out.Field("ShiftOpen", "Shift", shiftOpen, ShiftText(shiftOpen));
            });
    openDay->add_option("--operator", Oper, "operator number (0..99)")->capture_default_str();
    openDay->add_option("--name", OperName, "operator name (40 characters)");
    openDay->add_flag("--flag", DayFlag, "the register's mode flag of the shift opening");
    openDay->add_option("--protocol", Protocol, "line protocol (default: the one in use)")
        ->check(CLI::IsMember({"bs", "xonxoff"}));

    auto* xReport =
        Add(App, "x-report", "print the X report (shift totals; the shift stays open)",
            "kestorctl x-report --department all", [this](TKestorFPrt& Driver, TOutput& Out) {
                int number;
                if (!Department.empty())
                    number = Driver.XReportByDep(ParseNumberOrAll(Department), Flags);
                else if (!Operator.empty())
                    number = Driver.XReportByOper(ParseNumberOrAll(Operator), Flags);
                else
                    number = Driver.XReport(Flags);
                Out.Line("X report printed.");
                ReportFields(Driver, Out, number);
            });
    xReport->add_option("--flags", Flags, "the register's report options, bits 0 to 2");
    auto* department =
        xReport
            ->add_option("--department", Department,
                         "by department: its number or \"all\" (generations 3 and 7)")
            ->check(
                ParsedBy("NUMBER|all", [](const std::string& Value) { ParseNumberOrAll(Value); }));
    xReport
        ->add_option("--operator", Operator,
                     "by operator: the number or \"all\" (generations 3 and 7)")
        ->check(ParsedBy("NUMBER|all", [](const std::string& Value) { ParseNumberOrAll(Value); }))
        ->excludes(department);

    auto* zReport = Add(App, "z-report", "print the Z report and close the shift",
                        "kestorctl z-report", [this](TKestorFPrt& Driver, TOutput& Out) {
                            const int number = Driver.ZReport(Flags);
                            Out.Line("Z report printed, shift closed.");
                            ReportFields(Driver, Out, number);
                        });
    zReport->add_option("--flags", Flags, "the register's report options, bits 0 to 2");

    auto* fm = Add(App, "fm-report",
                   "print a fiscal-memory report by record numbers, by days or of the whole memory",
                   "kestorctl fm-report dates 01.12.2026 31.12.2026 --inspector 12345");
    fm->require_subcommand(1);
    const auto fmReport = [&](const char* Name, const char* Description, const char* Example,
                              std::function<int(TKestorFPrt&)> Report) {
        auto* sub = Add(*fm, Name, Description, Example,
                        [Report = std::move(Report)](TKestorFPrt& Driver, TOutput& Out) {
                            Report(Driver);
                            Out.Line("Fiscal-memory report printed.");
                            FiscalReportFields(Driver, Out);
                        });
        sub->add_option("--inspector", Inspector, "the tax inspector's password (5 characters)")
            ->required();
        return sub;
    };
    auto* byNumbers =
        fmReport("numbers", "records FIRST to LAST (1..9999)",
                 "kestorctl fm-report numbers 1 30 --inspector 12345", [this](TKestorFPrt& Driver) {
                     return Driver.FiscalReportByNum(FromUtf8(Inspector), Kind, First, Last);
                 });
    byNumbers->add_option("first", First, "first record")->required();
    byNumbers->add_option("last", Last, "last record")->required();
    auto* byDates =
        fmReport("dates", "days FIRST to LAST (2026-12-01 or 01.12.2026)",
                 "kestorctl fm-report dates 2026-12-01 2026-12-31 --inspector 12345",
                 [this](TKestorFPrt& Driver) {
                     return Driver.FiscalReportByDate(FromUtf8(Inspector), Kind, ParseDay(FirstDay),
                                                      ParseDay(LastDay));
                 });
    byDates->add_option("first", FirstDay, "first day")->required()->check(DayCheck);
    byDates->add_option("last", LastDay, "last day")->required()->check(DayCheck);
    for (auto* sub : {byNumbers, byDates})
        sub->add_flag("--kind", Kind, "the register's other form of a range report");
    fmReport("all", "the whole fiscal memory", "kestorctl fm-report all --inspector 12345",
             [this](TKestorFPrt& Driver) { return Driver.FiscalReportAll(FromUtf8(Inspector)); });
}

void TCommands::TImpl::AddPrinting(CLI::App& App) {
    // An empty text clears the display; on paper it is an empty file or a
    // lost argument, not worth a slip.
    const auto textOptions = [this](CLI::App* Sub, bool Printed) {
        Sub->add_option("text", TextArgs, "one line each (default: standard input)");
        Sub->add_flag("--literal", LiteralText,
                      "print backslashes as they are (else \\0A is a line feed, \\\\ a backslash)");
        Commands.back().Prepare = [this, Printed] {
            Text = TextOf(TextArgs, Printed);
            // Empty arguments would make only line feeds, a blank slip.
            const bool blank = TextArgs.empty()
                                   ? Text.empty()
                                   : std::all_of(TextArgs.begin(), TextArgs.end(),
                                                 [](const std::string& A) { return A.empty(); });
            if (Printed && blank) throw EUsage("nothing to print");
            if (LiteralText) Text = Literal(Text);
        };
    };
    textOptions(
        Add(App, "print", "print text outside a fiscal document",
            "kestorctl print \"Касса закрыта\" \"до 14:00\"      (or: ... print < notice.txt)",
            [this](TKestorFPrt& Driver, TOutput& Out) {
                Driver.PrintNonFiscal(FromUtf8(Text));
                Out.Line("Printed.");
            }),
        true);
    textOptions(Add(App, "display", "show text on the customer display (generations 3 and 7)",
                    "kestorctl display \"Добро пожаловать\"",
                    [this](TKestorFPrt& Driver, TOutput& Out) {
                        Driver.ShowDisplay(FromUtf8(Text));
                        Out.Line("Shown.");
                    }),
                false);

    auto* feed = Add(App, "feed", "feed the paper (backwards when negative) and cut",
                     "kestorctl feed 5 --cut", [this](TKestorFPrt& Driver, TOutput& Out) {
                         Driver.FeedAndCut(Lines, Cut);
                         Out.Field("Lines", "Fed lines", Lines);
                         Out.Field("Cut", "Cut", Cut);
                     });
    feed->add_option("lines", Lines, "lines, -127..127")->capture_default_str();
    feed->add_flag("--cut", Cut, "cut the paper after feeding");
}

void TCommands::TImpl::AddQueries(CLI::App& App) {
    Add(App, "datetime", "the register's clock beside the computer's; --sync sets it",
        "kestorctl datetime --sync",
        [this](TKestorFPrt& Driver, TOutput& Out) {
            if (Sync) {
                Driver.SynchronizeEcrDateTime();
                Out.Line("Register clock set to the computer's.");
            }
            const TKestDateTime ecr = Driver.QueryEcrDateTime();
            const TKestDateTime host = Now();
            Out.Field("EcrDateTime", "Register", DateValue(ecr), DateText(ecr));
            Out.Field("HostDateTime", "Computer", FormatIso(host), DateText(host));
            // The register keeps whole minutes: compare with the computer's minute.
            TKestDateTimeParts parts = SplitDateTime(host);
            parts.Second = parts.MSec = 0;
            const long minutes = std::lround((ecr - MakeDateTime(parts)) * 24 * 60);
            Out.Field("DifferenceMinutes", "Register ahead by", minutes,
                      std::to_string(minutes) + " min");
        })
        ->add_flag("--sync", Sync, "set the register's clock to the computer's first");

    Add(App, "counter", "the register's counters: sum and count of each", "kestorctl counter 0 1 2",
        [this](TKestorFPrt& Driver, TOutput& Out) {
            TOutJson counters = TOutJson::array();
            bool first = true;
            for (const int number : Counters) {
                // Registers that read all counters at once answer the rest from that.
                const TKestCurrency sum = Driver.QueryCounter(number, !first);
                first = false;
                counters.push_back({{"Number", number},
                                    {"CounterCount", Driver.CounterCount()},
                                    {"Sum", MoneyValue(sum)}});
                Out.Line("Counter " + std::to_string(number) + ": sum " + sum.ToString() +
                         ", count " + std::to_string(Driver.CounterCount()));
            }
            Out.Json("Counters", counters);
        })
        ->add_option("numbers", Counters, "counter numbers")
        ->required();

    Add(App, "last-doc", "the last document the register printed", "kestorctl last-doc",
        [](TKestorFPrt& Driver, TOutput& Out) {
            Driver.QueryLastDocInfo();
            if (Driver.LastDocType() == motUnknown)
                Out.Line("The register has printed no document.");
            Out.Field("LastDocType", "Type", NameValue(Driver.LastDocType()));
            Out.Field("LastDocDate", "Date", DateValue(Driver.LastDocDate()),
                      DateText(Driver.LastDocDate()));
            Out.Field("LastDocOper", "Operator", Driver.LastDocOper());
            Out.Field("LastDocNumber", "Document number", Driver.LastDocNumber());
            Out.Field("LastRecNumber", "Receipt number", Driver.LastRecNumber());
            Out.Field("LastRepNumber", "Report number", Driver.LastRepNumber());
            Out.Field("LastDocSum", "Sum", MoneyValue(Driver.LastDocSum()));
            Out.Field("LastBuyingSum", "Purchase sum", MoneyValue(Driver.LastBuyingSum()));
        });

    Add(App, "resources", "free resources of the fiscal memory", "kestorctl resources",
        [this](TKestorFPrt& Driver, TOutput& Out) {
            Driver.QueryResourceInfo(PrintResources);
            if (PrintResources) Out.Line("Printed.");
            Out.Field("RewritesRemain", "Re-registrations left", Driver.RewritesRemain());
            Out.Field("DaysRemain", "Shift records left", Driver.DaysRemain());
            Out.Field("LastFiscalReport", "Last fiscal report", Driver.LastFiscalReport());
            Out.Field("LastDayClosing", "Last shift closing", Driver.LastDayClosing());
            Out.Field("DayDate", "Shift date", DateValue(Driver.DayDate()),
                      DateText(Driver.DayDate()));
            if (Driver.EKLZSupported())
                Out.Field("EKLZRest", "Journal (EKLZ) left", Driver.EKLZRest());
        })
        ->add_flag("--print", PrintResources,
                   "have the register print them too (not on generations 3, 7 and 8)");
}

void TCommands::TImpl::AddJournal(CLI::App& App) {
    auto* journal = Add(App, "journal", "the protected journal (EKLZ): its status and reports",
                        "kestorctl journal day 12");
    journal->require_subcommand(1);
    Add(*journal, "status", "the journal's status word", "kestorctl journal status --json",
        [](TKestorFPrt& Driver, TOutput& Out) {
            Driver.EKLZQueryStatus();
            Out.Field("EKLZActivated", "Activated", Driver.EKLZActivated());
            Out.Field("EKLZDayOpened", "Shift open", Driver.EKLZDayOpened());
            Out.Field("EKLZOper", "Operation", NameValue(Driver.EKLZOper()));
            Out.Field("EKLZReporting", "Reporting", Driver.EKLZReporting());
            Out.Field("EKLZArchiving", "Archiving", Driver.EKLZArchiving());
            Out.Field("EKLZFatalError", "Fatal error", Driver.EKLZFatalError());
            Out.Field("EKLZAttention", "Attention", Driver.EKLZAttention());
        });

    const auto report = [&](const char* Name, const char* Description, const char* Example,
                            std::function<void(TKestorFPrt&)> Print) {
        return Add(*journal, Name, Description, Example,
                   [Print = std::move(Print)](TKestorFPrt& Driver, TOutput& Out) {
                       Print(Driver);
                       Out.Line("Journal report printed.");
                   });
    };
    report("activation-report", "the activation report", "kestorctl journal activation-report",
           [](TKestorFPrt& Driver) { Driver.EKLZActivationReport(); });
    report("day", "the totals of shift N", "kestorctl journal day 12",
           [this](TKestorFPrt& Driver) { Driver.EKLZDayReport(Number); })
        ->add_option("shift", Number, "shift number (1..9999)")
        ->required();
    report("control", "the control record of shift N", "kestorctl journal control 12",
           [this](TKestorFPrt& Driver) { Driver.EKLZControlByNum(Number); })
        ->add_option("shift", Number, "shift number (1..9999)")
        ->required();
    report("document", "the document of number N", "kestorctl journal document 345",
           [this](TKestorFPrt& Driver) { Driver.EKLZDocByNum(Number); })
        ->add_option("number", Number, "document number (0..99999999)")
        ->required();
    auto* shifts =
        report("shifts", "shifts FIRST to LAST", "kestorctl journal shifts 10 12 --full",
               [this](TKestorFPrt& Driver) { Driver.EKLZReportByNum(Full, First, Last); });
    shifts->add_option("first", First, "first shift")->required();
    shifts->add_option("last", Last, "last shift")->required();
    auto* dates =
        report("dates", "days FIRST to LAST (2026-12-01 or 01.12.2026)",
               "kestorctl journal dates 01.12.2026 06.12.2026", [this](TKestorFPrt& Driver) {
                   Driver.EKLZReportByDate(Full, ParseDay(FirstDay), ParseDay(LastDay));
               });
    dates->add_option("first", FirstDay, "first day")->required()->check(DayCheck);
    dates->add_option("last", LastDay, "last day")->required()->check(DayCheck);
    for (auto* sub : {shifts, dates})
        sub->add_flag("--full", Full, "the register's full form of the report");
}

void TCommands::TImpl::HandleDeviceErrors(TKestorFPrt& Driver) const {
    const bool retry = Global.PrinterError == "retry";
    const auto handler = [retry](const char* Device) {
        return [retry, Device](TKestorFPrt& Sender) {
            std::cerr << "kestorctl: the " << Device << " is not ready; "
                      << (retry ? "waiting" : "cancelling (--printer-error retry waits)") << '\n';
            if (retry) Sender.SetRetryOperation(true);
        };
    };
    Driver.OnPrinterError = handler("printer");
    Driver.OnDisplayError = handler("customer display");
}

int TCommands::TImpl::Fail(const TKestorFPrt& Driver, const std::exception& Error) const {
    std::cerr << "kestorctl: " << OneLine(Error.what()) << '\n';
    if (Json) {
        const TOutJson failure = {{"ok", false},
                                  {"ErrCode", Driver.ErrCode()},
                                  {"ErrCodeEx", Driver.ErrCodeEx()},
                                  {"ErrMessage", ToUtf8(Driver.ErrMessage())}};
        std::cout << failure.dump(-1, ' ', false, TOutJson::error_handler_t::replace) << '\n';
    }
    return ExitDriverError;
}

int TCommands::TImpl::RunOnRegister(const TCommand& Command) {
    try {
        if (Command.Prepare) Command.Prepare();
    } catch (const EUsage& e) {
        std::cerr << "kestorctl: " << Command.App->get_name() << ": " << e.what() << '\n';
        return ExitUsage;
    }
    TKestorFPrt driver;
    if (!Global.Configure(driver)) return ExitUsage;
    std::optional<TLineDump> dump;
    if (Tracing()) {
        dump.emplace(Sink, ShowPassword);
        dump->Attach(driver);
    }
    HandleDeviceErrors(driver);
    TOutput out;
    try {
        driver.Open();
        Command.Body(driver, out);
        driver.Close();
    } catch (const std::exception& e) {
        return Fail(driver, e);
    }
    out.Print(std::cout, Json);
    return ExitOk;
}

int TCommands::TImpl::RunDetect() {
    TKestorFPrt settings;  // checks the global options once
    if (!Global.Configure(settings)) return ExitUsage;
    TDetectRequest request;
    request.Ports = !Ports.empty()           ? Ports
                    : Global.Given("--port") ? std::vector<int>{settings.PortNum()}
                                             : DefaultPorts();
    request.Rates = Global.Given("--baud") ? std::vector<int>{settings.BaudRate()} : AllRates;
    request.Password = settings.Password();
    request.InternalTimeout =
        Global.Given("--internal-timeout") ? settings.InternalTimeout() : DetectTimeoutMs;
    if (Tracing()) request.Sink = &Sink;
    request.ShowPassword = ShowPassword;

    TOutput out;
    TOutJson ports = TOutJson::array();
    int found = 0;
    for (const TDetectResult& r : Detect(request)) {
        const std::string where = "COM" + std::to_string(r.PortNum) + " (" + r.Device + ")";
        TOutJson port = {{"PortNum", r.PortNum}, {"Device", r.Device}};
        switch (r.Outcome) {
            case TDetectOutcome::Found:
                ++found;
                port["Found"] = true;
                port["BaudRate"] = r.BaudRate;
                port["EcrModel"] = NameValue(r.EcrModel);
                port["ModelName"] = ToUtf8(r.ModelName);
                port["SerialNumber"] = ToUtf8(r.SerialNumber);
                port["FirmwareVersion"] = ToUtf8(r.FirmwareVersion);
                port["Generation"] = r.Generation;
                port["EKLZSupported"] = r.EKLZSupported;
                out.Line(std::to_string(r.BaudRate) + " baud: " + ToUtf8(r.ModelName) +
                             ", serial " + ToUtf8(r.SerialNumber) + ", firmware \"" +
                             ToUtf8(r.FirmwareVersion) + "\", generation " +
                             std::to_string(r.Generation),
                         where);
                break;
            case TDetectOutcome::Answered:
                port["Found"] = false;
                port["BaudRate"] = r.BaudRate;
                port["Error"] = r.Error;
                out.Line(std::to_string(r.BaudRate) + " baud: answers, but " + r.Error, where);
                break;
            case TDetectOutcome::Silent:
                port["Found"] = false;
                port["Error"] = r.Error;
                out.Line("no answer", where);
                break;
            case TDetectOutcome::Unavailable:
                port["Found"] = false;
                port["Error"] = r.Error;
                out.Line("cannot be opened: " + r.Error, where);
                break;
        }
        ports.push_back(std::move(port));
    }
    out.Json("Ports", std::move(ports));
    out.Json("Found", found);
    out.Print(std::cout, Json);
    if (found == 0) {
        std::cerr << "kestorctl: no register answered\n";
        return ExitDriverError;
    }
    return ExitOk;
}

TCommands::TCommands(CLI::App& App, TGlobalOptions Options)
    : FImpl(std::make_unique<TImpl>(std::move(Options))) {
    App.add_flag(
        "--dump", FImpl->Dump,
        "a readable dump of the line on standard error (also for rpc, beside its --trace)");
    App.add_flag("--trace-password", FImpl->ShowPassword,
                 "show the access password in the dump instead of **");
    FImpl->AddCommands(App);
}

TCommands::~TCommands() = default;

int TCommands::Run() {
    for (const auto& command : FImpl->Commands)
        if (command.App->parsed()) return FImpl->RunOnRegister(command);
    if (FImpl->DetectCommand->parsed()) return FImpl->RunDetect();
    return ExitOk;
}

void TCommands::AttachDump(TKestorFPrt& Driver) {
    // The dump lives as long as this object, which outlives the session.
    if (!FImpl->Dump) return;
    FImpl->RpcDump.emplace(FImpl->Sink, FImpl->ShowPassword);
    FImpl->RpcDump->Attach(Driver);
}

}  // namespace kest
