// End-to-end tests of kestorctl's everyday subcommands: the real executable
// against the register emulator on a pseudo-terminal, and the line dump.
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Process.h"
#include "Trace.h"

namespace {

using namespace kest::test;
using namespace std::string_literals;
using namespace std::chrono_literals;
using TJson = nlohmann::json;

// Only a hang runs into it; detect over silent ports takes about one second.
constexpr int RunTimeoutMs = 5000;

struct TRun {
    std::optional<int> Exit;
    std::string Out, Err;
    TJson Json() const { return TJson::parse(Out, nullptr, false); }
};

// kestorctl with Args, Env added to its environment and Input on standard input.
TRun Ctl(std::vector<std::string> Args, const std::vector<std::string>& Env,
         const std::string& Input = {}) {
    Args.insert(Args.begin(), KESTORCTL_PATH);
    TProcess process(Args, Env, true);
    process.Write(Input);
    TRun run;
    EXPECT_TRUE(process.ReadToEnd(run.Out, run.Err, RunTimeoutMs)) << Args[1];
    run.Exit = process.WaitExit();
    return run;
}

// The command bytes of the request frames in a dump, in order.
std::string CommandsSent(const std::string& Dump) {
    static const std::regex head(R"(--> ([0-9A-F]{2}) \*\* \*\* \*\* \*\* 00 )");
    std::string commands;
    for (std::sregex_iterator it(Dump.begin(), Dump.end(), head), end; it != end; ++it)
        commands += static_cast<char>(std::stoi((*it)[1], nullptr, 16));
    return commands;
}

// A request frame as the dump shows it: its command and data, a masked byte
// read as '*'.
struct TFrame {
    char Command;
    std::string Data;
};

// The request frames in a dump, in order. Their bytes may come in any blocks:
// a frame runs from STX to ETX, after the command, the password and 0x00 come
// the data and the two checksum digits.
std::vector<TFrame> FramesSent(const std::string& Dump) {
    static const std::regex entry(
        R"(\[ *\d+\.\d{3}\] (-->|<--) ((?:[0-9A-F*]{2} ){1,16}) *\|.*\|)");
    static const std::regex more(R"( {16}((?:[0-9A-F*]{2} ){1,16}) *\|.*\|)");
    std::string sent;
    bool sending = false;
    std::istringstream lines(Dump);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        std::string bytes;
        if (std::regex_match(line, m, entry)) {
            sending = m[1] == "-->";
            bytes = m[2];
        } else if (std::regex_match(line, m, more)) {
            bytes = m[1];
        }
        if (!sending) continue;
        for (std::size_t i = 0; i + 2 <= bytes.size(); i += 3)
            sent += bytes.compare(i, 2, "**") == 0
                        ? '*'
                        : static_cast<char>(std::stoi(bytes.substr(i, 2), nullptr, 16));
    }
    std::vector<TFrame> frames;
    for (std::size_t start = sent.find('\x02'); start != std::string::npos;
         start = sent.find('\x02', start + 1)) {
        const std::size_t end = sent.find('\x03', start);
        if (end == std::string::npos || end - start < 9) break;
        frames.push_back({sent[start + 1], sent.substr(start + 7, end - start - 9)});
        start = end;
    }
    return frames;
}

// The data of the one frame of Command in Dump.
std::string DataSent(const std::string& Dump, char Command) {
    std::optional<std::string> data;
    for (const TFrame& frame : FramesSent(Dump))
        if (frame.Command == Command) {
            EXPECT_FALSE(data) << "two frames of " << Command;
            data = frame.Data;
        }
    EXPECT_TRUE(data) << "no frame of " << Command << " in\n" << Dump;
    return data.value_or("");
}

// kestor-emu with its paper tape in a file of its own.
class TTill {
public:
    explicit TTill(std::vector<std::string> Args) : FFolder(MakeFolder()), FEmu(WithTape(Args)) {}
    ~TTill() {
        std::error_code ignored;
        std::filesystem::remove_all(FFolder, ignored);
    }

    TRun Ctl(const std::vector<std::string>& Args, const std::string& Input = {}) const {
        return ::Ctl(Args, {FEmu.Port}, Input);
    }
    // What the register printed since the last call. The emulator writes it
    // before it answers, so it is there when kestorctl has ended.
    std::string NewPaper() {
        std::ifstream in(FFolder / "tape.txt", std::ios::binary);
        const std::string all{std::istreambuf_iterator<char>(in), {}};
        const std::string fresh = all.substr(std::min(FRead, all.size()));
        FRead = all.size();
        return fresh;
    }

private:
    static std::filesystem::path MakeFolder() {
        char folder[] = "/tmp/kestorctl-test-XXXXXX";
        EXPECT_NE(mkdtemp(folder), nullptr);
        return folder;
    }
    std::vector<std::string> WithTape(std::vector<std::string> Args) const {
        Args.insert(Args.end(), {"--tape", (FFolder / "tape.txt").string()});
        return Args;
    }

    std::filesystem::path FFolder;
    TEmulator FEmu;
    std::size_t FRead = 0;
};

const std::string PaperEnd = std::string(40, '-') + "\n";

// Every member of Expected is in Actual with the same value.
void ExpectMembers(const TJson& Actual, const TJson& Expected, const std::string& Context) {
    for (const auto& [key, value] : Expected.items())
        EXPECT_EQ(Actual.value(key, TJson()), value) << Context << ": " << key << " in " << Actual;
}

TEST(CommandsTest, QueriesPrintTextAndJson) {
    TEmulator emu({});
    const struct {
        std::vector<std::string> Args;
        TJson Members;
        const char* TextLine;  // a line of the readable result
    } cases[] = {
        {{"identify"},
         {{"ModelName", "КЕСТОР-207.1Ф"},
          {"EcrModel", "mem207_1F"},
          {"FirmwareVersion", "1.0 VLS B2.5"},
          {"EcrVersion", 0x0300},
          {"EcrSubVersion", 0x0205},
          {"Generation", 3},
          {"EKLZSupported", false},
          {"SerialNumber", "0000001"},
          {"ShiftOpen", false},
          {"DocStatus", "mdsClosed"},
          {"EcrStatusMask", 0xFF}},
         "Firmware version:          3.0, sub-version 2.5"},
        {{"status"},
         {{"PortNum", 1}, {"BaudRate", 9600}, {"Protocol", "mprBS"}, {"ExtendedDevStatus", false}},
         "Shift:                     closed"},
        {{"counter", "0", "12"},
         {{"Counters",
           {{{"Number", 0}, {"CounterCount", 0}, {"Sum", "0.00"}},
            {{"Number", 12}, {"CounterCount", 0}, {"Sum", "1045275.50"}}}}},
         "Counter 12: sum 1045275.50, count 0"},
        {{"last-doc"},
         {{"LastDocType", "motZReport"},
          {"LastDocNumber", 128},
          {"LastRecNumber", 57},
          {"LastDocSum", "47900.00"},
          {"LastDocDate", "2024-03-14T21:05:00"}},
         "Date:            2024-03-14 21:05"},
        {{"resources"},
         {{"RewritesRemain", 4},
          {"DaysRemain", 1783},
          {"LastFiscalReport", 3},
          {"LastDayClosing", 42}},
         "Shift records left:    1783"},
    };
    for (const auto& c : cases) {
        auto args = c.Args;
        const TRun text = Ctl(args, {emu.Port});
        EXPECT_EQ(text.Exit, 0) << args[0] << text.Err;
        EXPECT_NE(text.Out.find(c.TextLine + "\n"s), std::string::npos) << text.Out;
        args.push_back("--json");
        const TRun json = Ctl(args, {emu.Port});
        EXPECT_EQ(json.Exit, 0) << args[0];
        EXPECT_EQ(json.Err, "");
        ExpectMembers(json.Json(), c.Members, args[0]);
        EXPECT_EQ(json.Json().value("ok", false), true);
    }
    EXPECT_FALSE(Ctl({"resources", "--json"}, {emu.Port}).Json().contains("EKLZRest"));

    // Set, the register's clock reads the computer's minute (or the one before,
    // when a minute ends between the two).
    const TRun clock = Ctl({"datetime", "--sync", "--json"}, {emu.Port});
    EXPECT_EQ(clock.Exit, 0) << clock.Err;
    const int difference = clock.Json().value("DifferenceMinutes", 99);
    EXPECT_TRUE(difference == 0 || difference == -1) << clock.Out;
    EXPECT_TRUE(clock.Json().value("EcrDateTime", "").ends_with(":00")) << clock.Out;
}

TEST(CommandsTest, JournalAndExtendedStatusOfA207_1K) {
    TEmulator emu({"--model", "207.1K"});
    // The register's refusal: the journal is not activated yet.
    const TRun refused = Ctl({"journal", "day", "12", "--json", "--trace"}, {emu.Port});
    EXPECT_EQ(refused.Exit, 1);
    ExpectMembers(refused.Json(), {{"ok", false}, {"ErrCode", 18}, {"ErrCodeEx", 74}}, "refused");
    EXPECT_EQ(CommandsSent(refused.Err), "EY");
    EXPECT_EQ(Ctl({"rpc"}, {emu.Port}, "{\"op\": \"Open\"}\n{\"op\": \"EKLZActivate\"}\n").Exit, 0);

    const struct {
        std::vector<std::string> Args;
        const char* Sent;
    } reports[] = {
        {{"journal", "activation-report"}, "EY"},
        {{"journal", "day", "12"}, "EY"},
        {{"journal", "control", "12"}, "EY"},
        {{"journal", "document", "0"}, "EY"},
        {{"journal", "shifts", "3", "5", "--full"}, "EY"},
        {{"journal", "dates", "01.12.2026", "2026-12-06"}, "EY"},
        {{"journal", "status"}, "E\\"},
    };
    for (const auto& r : reports) {
        auto args = r.Args;
        args.push_back("--trace");
        const TRun run = Ctl(args, {emu.Port});
        EXPECT_EQ(run.Exit, 0) << args[1] << run.Err;
        EXPECT_EQ(CommandsSent(run.Err), r.Sent) << args[1];
    }
    const TJson status = Ctl({"journal", "status", "--json"}, {emu.Port}).Json();
    EXPECT_TRUE(status.value("EKLZActivated", TJson()).is_boolean()) << status;
    EXPECT_TRUE(status.value("EKLZOper", TJson()).is_string()) << status;
    EXPECT_TRUE(Ctl({"resources", "--json"}, {emu.Port}).Json().contains("EKLZRest"));
    ExpectMembers(Ctl({"status", "--json"}, {emu.Port}).Json(),
                  {{"ExtendedDevStatus", true}, {"Protocol", "mprBS"}}, "status");
}

TEST(CommandsTest, RefusedArgumentsExitOneBeforeTheirCommandIsSent) {
    TEmulator gen3({});
    TEmulator gen8({"--model", "207.1K"});
    const struct {
        const TEmulator& Emu;
        std::vector<std::string> Args;
        int ErrCode, ErrCodeEx;
    } cases[] = {
        {gen3, {"feed", "200"}, 14, 37},
        {gen3, {"feed", "-3", "--cut"}, 14, 38},  // no backward feed on generation 3
        {gen3, {"open-day", "--operator", "100"}, 14, 6},
        {gen3, {"x-report", "--department", "100"}, 14, 22},
        {gen3, {"x-report", "--operator", "100"}, 14, 6},
        {gen3, {"fm-report", "numbers", "0", "5", "--inspector", "1"}, 14, 44},
        {gen3, {"fm-report", "dates", "01.01.1999", "01.02.2026", "--inspector", "1"}, 14, 33},
        {gen3, {"journal", "day", "12"}, 6, 0},  // no journal
        {gen8, {"journal", "day", "0"}, 14, 44},
        {gen8, {"display", "Привет"}, 6, 0},
        {gen8, {"x-report", "--department", "all"}, 6, 0},
    };
    for (const auto& c : cases) {
        auto args = c.Args;
        args.insert(args.end(), {"--json", "--trace"});
        const TRun run = Ctl(args, {c.Emu.Port});
        EXPECT_EQ(run.Exit, 1) << args[0] << " " << args[1];
        ExpectMembers(run.Json(),
                      {{"ok", false}, {"ErrCode", c.ErrCode}, {"ErrCodeEx", c.ErrCodeEx}}, args[0]);
        EXPECT_EQ(CommandsSent(run.Err), "E") << args[0] << " " << args[1];
        // The driver's message, on one line.
        std::smatch message;
        EXPECT_TRUE(std::regex_search(run.Err, message, std::regex("kestorctl: ([^\n]*)\n")));
        EXPECT_EQ(message[1].str().find('\r'), std::string::npos) << message[1];
        std::string driverMessage = run.Json().value("ErrMessage", "");
        driverMessage.replace(driverMessage.find("\r\n"), 2, " ");
        EXPECT_EQ(message[1], driverMessage);
    }
}

TEST(CommandsTest, WrongUsageExitsTwoAndSendsNothing) {
    // No register: a connection attempt would end with exit status 1.
    const std::vector<std::string> env = {"KESTOR_COM1=/nonexistent/kestor1"};
    const std::vector<std::string> usages[] = {
        {"nosuch"},
        {"feed", "abc"},
        {"counter"},
        {"journal"},
        {"fm-report", "numbers", "1", "2"},  // no --inspector
        {"fm-report", "dates", "32.01.2026", "01.02.2026", "--inspector", "1"},
        {"x-report", "--department", "x"},
        {"x-report", "--operator", "-1"},  // "all" says all
        {"x-report", "--department", "1", "--operator", "2"},
        {"open-day", "--protocol", "zmodem"},
        {"detect", "25"},
        {"--port=0", "identify"},
        {"--baud", "12345", "detect"},
        {"print", ""},  // a blank slip
    };
    for (const auto& args : usages) {
        const TRun run = Ctl(args, env);
        EXPECT_EQ(run.Exit, 2) << args[0];
        EXPECT_EQ(run.Out, "") << args[0];
        EXPECT_NE(run.Err, "") << args[0];
    }
    const TRun tooLong = Ctl({"print"}, env, std::string(70'000, 'x'));
    EXPECT_EQ(tooLong.Exit, 2);
    EXPECT_EQ(tooLong.Err, "kestorctl: print: the text is longer than 65536 bytes\n");

    for (const char* command : {"identify", "status", "open-day", "x-report", "z-report",
                                "fm-report numbers", "print", "display", "feed", "datetime",
                                "counter", "last-doc", "resources", "journal dates", "detect"}) {
        std::vector<std::string> args;
        std::istringstream words(command);
        for (std::string word; words >> word;)
            args.push_back(word);
        args.push_back("--help");
        const TRun help = Ctl(args, env);
        EXPECT_EQ(help.Exit, 0) << command;
        EXPECT_NE(help.Out.find("Example:\n  kestorctl " + args[0]), std::string::npos)
            << command << help.Out;
    }
}

TEST(CommandsTest, DetectFindsEachRegisterAtItsRate) {
    TEmulator at9600({});
    TEmulator at19200({"--model", "207.1K", "--baud", "19200"});
    const int silent = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);  // nobody answers
    ASSERT_GE(silent, 0);
    ASSERT_EQ(grantpt(silent), 0);
    ASSERT_EQ(unlockpt(silent), 0);
    std::vector<std::string> env = {"KESTOR_COM2="s + ptsname(silent),
                                    "KESTOR_COM3=" + at9600.Device,
                                    "KESTOR_COM12=" + at19200.Device};
    for (const int port : {1, 4, 5, 6, 7, 8})
        env.push_back("KESTOR_COM" + std::to_string(port) + "=/nonexistent/kestor" +
                      std::to_string(port));

    // Ports 1 to 8 and 12, the one set beyond them.
    const TRun all = Ctl({"detect", "--json", "--internal-timeout", "150"}, env);
    EXPECT_EQ(all.Exit, 0) << all.Err;
    const TJson ports = all.Json().value("Ports", TJson::array());
    ASSERT_EQ(ports.size(), 9u) << all.Out;
    EXPECT_EQ(all.Json().value("Found", 0), 2);
    ExpectMembers(ports[1], {{"PortNum", 2}, {"Found", false}}, "silent");
    EXPECT_FALSE(ports[1].contains("BaudRate"));
    ExpectMembers(ports[2],
                  {{"PortNum", 3},
                   {"Found", true},
                   {"BaudRate", 9600},
                   {"EcrModel", "mem207_1F"},
                   {"Generation", 3}},
                  "9600");
    ExpectMembers(ports[8],
                  {{"PortNum", 12},
                   {"Found", true},
                   {"BaudRate", 19200},
                   {"EcrModel", "mem207_1K"},
                   {"SerialNumber", "0000001"}},
                  "19200");
    EXPECT_NE(ports[0].value("Error", "").find("No such file"), std::string::npos) << ports[0];

    // Once a rate answers, no other is tried; the dump names the port.
    const TRun one = Ctl({"detect", "12", "--trace"}, env);
    EXPECT_EQ(one.Exit, 0);
    EXPECT_NE(one.Out.find("COM12 (" + at19200.Device +
                           "): 19200 baud: КЕСТОР-207.1К, serial 0000001, firmware \"1.0\", "
                           "generation 8\n"),
              std::string::npos)
        << one.Out;
    EXPECT_EQ(CommandsSent(one.Err), "EE") << one.Err;  // 9600 unanswered, then 19200
    EXPECT_NE(one.Err.find("] COM12 --> 02"), std::string::npos);

    const TRun none = Ctl({"detect", "2", "--baud", "9600"}, env);
    EXPECT_EQ(none.Exit, 1);
    EXPECT_NE(none.Err.find("kestorctl: no register answered\n"), std::string::npos) << none.Err;
    close(silent);
}

TEST(CommandsTest, TraceDumpsEveryBlockAndMasksThePassword) {
    TEmulator emu({});
    const TRun masked = Ctl({"--trace", "identify"}, {emu.Port});
    EXPECT_EQ(masked.Exit, 0);
    // An entry: time stamp, direction, up to sixteen bytes and their text;
    // longer blocks go on in lines indented to the bytes.
    const std::regex entry(R"(\[ *(\d+\.\d{3})\] (-->|<--) ((?:[0-9A-F*]{2} ){1,16}) *\|.*\|)");
    const std::regex more(R"( {16}((?:[0-9A-F]{2} ){1,16}) *\|.*\|)");
    std::istringstream lines(masked.Err);
    double last = 0;
    int entries = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry)) {
            ++entries;
            EXPECT_GE(std::stod(m[1]), last);
            last = std::stod(m[1]);
        } else {
            EXPECT_TRUE(std::regex_match(line, more)) << line;
        }
    }
    EXPECT_EQ(entries, 9);  // four blocks written, five read
    EXPECT_NE(masked.Err.find("] --> 02" + std::string(46, ' ') + " |.|\n"), std::string::npos);
    EXPECT_NE(masked.Err.find("] --> 45 ** ** ** ** 00" + std::string(31, ' ') + " |E****.|\n"),
              std::string::npos)
        << masked.Err;
    EXPECT_NE(masked.Err.find("|0000001.КЕСТОР-2|"), std::string::npos);
    EXPECT_EQ(masked.Err.find("35 38 36 32"), std::string::npos);

    const TRun shown = Ctl({"--trace", "--trace-password", "identify"}, {emu.Port});
    EXPECT_NE(shown.Err.find("] --> 45 35 38 36 32 00"), std::string::npos);
    EXPECT_NE(shown.Err.find("|E5862.|"), std::string::npos);

    // rpc: --trace stays the JSON events on standard output, --dump adds the
    // readable dump; the new password of "7" is masked as well.
    const TRun rpc = Ctl({"--trace", "--dump", "rpc"}, {emu.Port},
                         R"({"op": "Open"})"
                         "\n"
                         R"({"op": "SetPassword", "args": ["1234"]})"
                         "\n");
    EXPECT_EQ(rpc.Exit, 0);
    EXPECT_NE(rpc.Out.find(R"({"event":"send","hex":"31 32 33 34 00"})"), std::string::npos);
    EXPECT_EQ(CommandsSent(rpc.Err), "E7");
    EXPECT_NE(rpc.Err.find("] --> ** ** ** ** 00 "), std::string::npos) << rpc.Err;
    EXPECT_EQ(rpc.Err.find("31 32 33 34"), std::string::npos) << rpc.Err;
}

TEST(CommandsTest, DumpMasksPasswordsWrittenInPieces) {
    std::ostringstream out;
    kest::TDumpSink sink(out);
    kest::TLineDump dump(sink, false);
    const std::pair<bool, std::string> blocks[] = {
        // The line may take a write in parts, and an XON report may come between.
        {true, "\x02"},
        {true, "712"},
        {false, "\x11"},
        {true, "34\0"s},
        {true, "5678"},
        {true, "\0"s},
        {true, "1F"},
        {false, "\x06"},
        {true, "7"},  // not after STX: text, not a frame
        // The tax inspector's password of the fiscal-memory report.
        {true, "\x02"},
        {true, "B5862\0"s},
        {true, "12345\0"s + "4"},
    };
    for (const auto& [sent, bytes] : blocks)
        dump.Block(sent, bytes);
    std::string hex;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        std::string bytes = line.substr(16, 48);
        hex += bytes.erase(bytes.find_last_not_of(' ') + 1) + "/";
    }
    EXPECT_EQ(hex,
              "02/37 ** **/11/** ** 00/** ** ** **/00/31 46/06/37/"
              "02/42 ** ** ** ** 00/** ** ** ** ** 00 34/")
        << out.str();
}

TEST(CommandsTest, OpenDayByGeneration) {
    const struct {
        std::vector<std::string> Emu, Args;
        std::size_t Size;      // of the request
        char Mode;             // its mode digit; 0: none, or left 0x00
        const char* Protocol;  // the line's afterwards
        bool Header;           // printed on the slip (the flag)
    } cases[] = {
        // Generation 3 has no mode digit: flag and protocol are not sent.
        {{}, {"--operator", "3", "--name", "Иванова", "--flag"}, 44, 0, "mprBS", false},
        // Generation 1 knows the flag only.
        {{"--firmware", "1.0"}, {"--flag", "--protocol", "xonxoff"}, 46, '2', "mprBS", true},
        {{"--firmware", "2.0"}, {"--protocol", "xonxoff"}, 46, '4', "mprXOnXoff", false},
        // Unless told, the shift keeps the protocol in use.
        {{"--model", "station-f", "--protocol", "xonxoff"},
         {"--flag"},
         46,
         '6',
         "mprXOnXoff",
         true},
        {{"--model", "station-f", "--protocol", "xonxoff"},
         {"--protocol", "bs"},
         46,
         '0',
         "mprBS",
         false},
        // Generation 8 leaves the digit empty and its line as it is.
        {{"--model", "207.1K"}, {"--flag", "--protocol", "xonxoff"}, 46, 0, "mprBS", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Emu.empty() ? "207.1F" : c.Emu[1]);
        TTill till(c.Emu);
        std::vector<std::string> args = {"open-day", "--trace"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const TRun run = till.Ctl(args);
        EXPECT_EQ(run.Exit, 0) << run.Err;
        EXPECT_EQ(run.Out, "Shift opened.\nShift: open\n");
        const std::string data = DataSent(run.Err, '1');
        ASSERT_EQ(data.size(), c.Size);
        if (c.Size == 46) {
            EXPECT_EQ(data[44], c.Mode ? c.Mode : '\0');
            EXPECT_EQ(data[45], '\0');
        }

        ExpectMembers(till.Ctl({"status", "--json"}).Json(),
                      {{"ShiftOpen", true}, {"Protocol", c.Protocol}}, "status");
        const std::string slip = till.NewPaper();
        EXPECT_NE(slip.find("ОТКРЫТИЕ СМЕНЫ 0043\n"), std::string::npos) << slip;
        EXPECT_EQ(slip.find("ООО \"Ромашка\"") != std::string::npos, c.Header) << slip;
        if (c.Args[0] == "--operator") {
            EXPECT_NE(slip.find("ОПЕРАТОР 03 Иванова\n"), std::string::npos) << slip;
        }

        const TRun again = till.Ctl({"open-day", "--json"});
        EXPECT_EQ(again.Exit, 1);
        ExpectMembers(again.Json(), {{"ErrCode", 18}, {"ErrCodeEx", 2}}, "open again");
        EXPECT_EQ(till.NewPaper(), "");
    }
}

// A sale of 25.00 in department 1 by operator 1: two items of 12.50 paid with 50.00.
const std::string ReceiptSale = R"({"op": "Open"}
{"op": "OpenReceipt", "args": ["motSale"]}
{"op": "AddReceiptItem", "args": ["Товар", "12.50", false, 1, 0, 0, 2000, 3, 0, ""]}
{"op": "CloseReceipt", "args": ["", "mptCash", "50.00", "0.00", "", 0, "moiNumberName"]}
)";
const std::string CompositeSale = R"({"op": "Open"}
{"op": "OpenFiscalDoc", "args": ["motSale"]}
{"op": "AddDateTime", "args": [0, 0, 0]}
{"op": "AddDocNumber", "args": [0, 31, 0]}
{"op": "AddItem", "args": ["mitItem", "12.50", false, 1, 0, 0, 2000, 3, 0, "шт.", 0, 0, 1, 0]}
{"op": "AddTotal", "args": [0, 0, 2, 0]}
{"op": "AddPay", "args": ["mptCash", "50.00", "0.00", "", 0, 0, 3, 0]}
{"op": "CloseFiscalDoc"}
)";

TEST(CommandsTest, ShiftReportsByGeneration) {
    struct TStep {
        std::vector<std::string> Args;
        char Command;
        std::string Data;  // of the request
        int Number;
        const char* Sales;
        const char* Printed;  // a line of the report
    };
    const struct {
        std::vector<std::string> Emu;
        const std::string& Sale;
        std::vector<TStep> Steps;
    } tills[] = {
        {{},
         CompositeSale,
         {{{"x-report"},
           '_',
           "1\0"
           "00\0\0\0\0"s,
           1,
           "25.00",
           "X-ОТЧЕТ 0001"},
          {{"x-report", "--flags", "1"},
           '_',
           "1\0"
           "04\0\0\0\0"s,
           2,
           "25.00",
           "ОТД 01 Бакалея"},
          {{"x-report", "--department", "1"},
           '_',
           "3\0"
           "08\0"
           "1\0\0"s,
           3,
           "25.00",
           "X-ОТЧЕТ 0003 ПО ОТДЕЛАМ"},
          {{"x-report", "--department", "2"},
           '_',
           "3\0"
           "08\0"
           "2\0\0"s,
           4,
           "0.00",
           "ИТОГО ПРОДАЖИ                      =0.00"},
          {{"x-report", "--operator", "all", "--flags", "1"},
           '_',
           "2\0"
           "04\0\0\0\0"s,
           5,
           "25.00",
           "X-ОТЧЕТ 0005 ПО КАССИРАМ"},
          {{"z-report"},
           '_',
           "0\0"
           "00\0\0\0\0"s,
           43,
           "25.00",
           "СМЕНА 0043 ЗАКРЫТА"}}},
        {{"--model", "pc-k"},
         CompositeSale,
         {{{"x-report", "--department", "all"},
           '_',
           "3\0"
           "00\0\0\0\0"s,
           1,
           "25.00",
           "X-ОТЧЕТ 0001 ПО ОТДЕЛАМ"},
          {{"x-report", "--operator", "1"},
           '_',
           "2\0"
           "08\0"
           "1\0\0"s,
           2,
           "25.00",
           "ОПЕРАТОР 01 Кассир Иванова А.П."},
          {{"z-report", "--flags", "1"},
           '_',
           "0\0"
           "04\0\0\0\0"s,
           43,
           "25.00",
           "Z-ОТЧЕТ 0043"}}},
        // Below generation 3 the option bit is not sent.
        {{"--firmware", "2.0"},
         ReceiptSale,
         {{{"x-report", "--flags", "1"}, '5', "0\0"s, 1, "25.00", "X-ОТЧЕТ 0001"},
          {{"z-report"}, '5', "2\0"s, 43, "25.00", "Z-ОТЧЕТ 0043"}}},
        {{"--model", "207.1K"},
         ReceiptSale,
         {{{"x-report"}, '5', "0\0"s, 1, "25.00", "X-ОТЧЕТ 0001"},
          {{"x-report", "--flags", "1"}, '5', "4\0"s, 2, "25.00", "ОТД 01 Бакалея"},
          {{"z-report", "--flags", "1"}, '5', "6\0"s, 43, "25.00", "СМЕНА 0043 ЗАКРЫТА"}}},
    };
    for (const auto& t : tills) {
        SCOPED_TRACE(t.Emu.empty() ? "207.1F" : t.Emu[1]);
        std::vector<std::string> emu = t.Emu;
        emu.insert(emu.end(), {"--serial", "7654321"});
        TTill till(emu);
        ASSERT_EQ(till.Ctl({"rpc"}, t.Sale).Out.find("\"ok\":false"), std::string::npos);
        till.NewPaper();
        for (const TStep& step : t.Steps) {
            std::vector<std::string> args = step.Args;
            args.insert(args.end(), {"--json", "--trace"});
            const TRun run = till.Ctl(args);
            EXPECT_EQ(run.Exit, 0) << args[0] << run.Err;
            EXPECT_EQ(DataSent(run.Err, step.Command), step.Data) << args[0];
            EXPECT_EQ(run.Json(), TJson({{"ok", true},
                                         {"ReportNumber", step.Number},
                                         {"SaleSum", step.Sales},
                                         {"BuyingSum", "0.00"},
                                         {"SerialNumber", "7654321"}}));
            const std::string paper = till.NewPaper();
            EXPECT_NE(paper.find(step.Printed + "\n"s), std::string::npos) << paper;
            EXPECT_TRUE(paper.ends_with(PaperEnd)) << paper;
        }
        EXPECT_EQ(till.Ctl({"status", "--json"}).Json().value("ShiftOpen", true), false);
        const TRun again = till.Ctl({"z-report", "--json"});
        EXPECT_EQ(again.Exit, 1);
        ExpectMembers(again.Json(), {{"ErrCode", 18}, {"ErrCodeEx", 12}}, "closed shift");
    }
}

TEST(CommandsTest, FiscalMemoryReports) {
    TTill gen3({});
    const struct {
        std::vector<std::string> Args;
        std::string Data;  // after the password
        TJson Fields;
        const char* Printed;
    } cases[] = {
        {{"numbers", "40", "42"},
         "3\0"
         "40\0\0\0\0\0\0\0"
         "42\0\0\0\0\0\0\0"s,
         {{"LastFiscalReport", 4},
          {"StartNumber", 40},
          {"EndNumber", 42},
          {"StartDate", "2024-03-12T00:00:00"},
          {"EndDate", "2024-03-14T00:00:00"},
          {"SaleSum", "96552.46"}},
         "КРАТКИЙ ПО НОМЕРАМ СМЕН"},
        {{"numbers", "42", "41", "--kind"},  // backwards: no records
         "2\0"
         "42\0\0\0\0\0\0\0"
         "41\0\0\0\0\0\0\0"s,
         {{"ok", false}, {"ErrCode", 18}, {"ErrCodeEx", 47}},
         nullptr},
        {{"numbers", "41", "42", "--kind"},
         "2\0"
         "41\0\0\0\0\0\0\0"
         "42\0\0\0\0\0\0\0"s,
         {{"LastFiscalReport", 5}, {"StartNumber", 41}, {"SaleSum", "72226.23"}},
         "0041 13.03.2024                =24326.23"},
        {{"dates", "01.03.2024", "2024-03-14"},
         "1\0"
         "01032024\0"
         "14032024\0"s,
         {{"LastFiscalReport", 6},
          {"StartNumber", 29},
          {"EndNumber", 42},
          {"StartDate", "2024-03-01T00:00:00"},
          {"SaleSum", "364140.99"},
          {"RegNumber", "00012345"},
          {"HeaderLine1", "ООО \"Ромашка\""}},
         "КРАТКИЙ ПО ДАТАМ"},
        {{"dates", "2024-03-14", "2024-03-14", "--kind"},
         "0\0"
         "14032024\0"
         "14032024\0"s,
         {{"StartNumber", 42}, {"EndNumber", 42}, {"SaleSum", "47900.00"}},
         "ПОЛНЫЙ ПО ДАТАМ"},
        {{"all"},
         "4"s + std::string(19, '\0'),
         {{"LastFiscalReport", 8},
          {"StartNumber", 1},
          {"EndNumber", 42},
          {"SaleSum", "1045275.50"}},
         "ВСЯ ФИСКАЛЬНАЯ ПАМЯТЬ"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"fm-report", "--inspector", "00000", "--json", "--trace"};
        args.insert(args.begin() + 1, c.Args.begin(), c.Args.end());
        const TRun run = gen3.Ctl(args);
        EXPECT_EQ(run.Exit, c.Printed ? 0 : 1) << c.Args[0] << run.Err;
        ExpectMembers(run.Json(), c.Fields, c.Args[0]);
        // The inspector's password stays out of the dump.
        EXPECT_EQ(DataSent(run.Err, 'B'), "*****\0"s + c.Data) << c.Args[0];
        const std::string paper = gen3.NewPaper();
        if (c.Printed)
            EXPECT_NE(paper.find(c.Printed + "\n"s), std::string::npos) << paper;
        else
            EXPECT_EQ(paper, "");
    }
    const TRun shown =
        gen3.Ctl({"fm-report", "all", "--inspector", "00000", "--trace", "--trace-password"});
    EXPECT_EQ(DataSent(shown.Err, 'B').substr(0, 7),
              "00000\0"
              "4"s);
    const TRun wrong = gen3.Ctl({"fm-report", "all", "--inspector", "12345", "--json"});
    EXPECT_EQ(wrong.Exit, 1);
    ExpectMembers(wrong.Json(), {{"ErrCode", 18}, {"ErrCodeEx", 17}}, "wrong password");

    // The whole memory: not on generation 6, on 8 with the purchases.
    TTill gen6({"--model", "station-f"});
    const TRun refused =
        gen6.Ctl({"fm-report", "all", "--inspector", "00000", "--json", "--trace"});
    EXPECT_EQ(refused.Exit, 1);
    ExpectMembers(refused.Json(), {{"ErrCode", 6}}, "generation 6");
    EXPECT_EQ(CommandsSent(refused.Err), "E");
    TTill gen8({"--model", "207.1K"});
    const TRun all = gen8.Ctl({"fm-report", "all", "--inspector", "00000", "--json"});
    EXPECT_EQ(all.Exit, 0) << all.Err;
    ExpectMembers(all.Json(), {{"EndNumber", 42}, {"BuyingSum", "0.00"}}, "generation 8");
    EXPECT_NE(gen8.NewPaper().find("ПОКУПКИ" + std::string(28, ' ') + "=0.00\n"),
              std::string::npos);
}

TEST(CommandsTest, PrintOnBothLineProtocols) {
    // More than the register's input buffer of 64 bytes takes at once.
    std::string longText;
    for (int i = 0; i < 6; ++i)
        longText += std::string(35, static_cast<char>('a' + i)) + " end\n";
    const struct {
        std::vector<std::string> Args;
        std::string Input, Paper;
    } cases[] = {
        {{"Касса закрыта", "до 14:00"}, "", "Касса закрыта\nдо 14:00\n"},
        {{"", "перерыв"}, "", "\nперерыв\n"},  // an empty first line stays
        {{"one\\0Atwo"}, "", "one\ntwo\n"},
        {{"--literal", "C:\\0A\\new"}, "", "C:\\0A\\new\n"},
        {{}, "строка 1\nстрока 2\n", "строка 1\nстрока 2\n"},
        {{}, longText, longText},
    };
    for (const char* protocol : {"bs", "xonxoff"}) {
        SCOPED_TRACE(protocol);
        TTill till({"--model", "207.1K", "--protocol", protocol, "--line-time", "40"});
        for (const auto& c : cases) {
            std::vector<std::string> args = {"print"};
            args.insert(args.end(), c.Args.begin(), c.Args.end());
            const auto start = std::chrono::steady_clock::now();
            const TRun run = till.Ctl(args, c.Input);
            const auto took = std::chrono::steady_clock::now() - start;
            EXPECT_EQ(run.Exit, 0) << run.Err;
            EXPECT_EQ(run.Out, "Printed.\n");
            EXPECT_EQ(till.NewPaper(), c.Paper + PaperEnd);
            // On XON/XOFF the register sends XOFF once 64 bytes wait, XON
            // when their two lines are printed, and answers after that.
            if (c.Input == longText && protocol == "xonxoff"s) {
                EXPECT_GE(took, 80ms);
            }
        }
        EXPECT_EQ(till.Ctl({"print"}, "").Exit, 2);  // nothing to print

        // The printer is not ready when the print begins.
        for (const char* answer : {"retry", "cancel"}) {
            SCOPED_TRACE(answer);
            TTill waiting({"--model", "207.1K", "--protocol", protocol, "--notices", "2",
                           "--notices-on", "6"});
            const TRun run =
                waiting.Ctl({"print", "--printer-error", answer, "--json", "--trace", "Чек"});
            // The notices answer the print's command, after the connection's.
            const std::size_t print = run.Err.find("] --> 36 ** ** ** ** 00 ");
            EXPECT_EQ(CommandsSent(run.Err.substr(0, print)), "E");
            const std::string notice = "kestorctl: the printer is not ready; ";
            const auto noticesAfter = [&](const std::string& Text) {
                std::size_t count = 0;
                for (std::size_t at = run.Err.find(Text, print); at != std::string::npos;
                     at = run.Err.find(Text, at + 1))
                    ++count;
                return count;
            };
            if (answer == "retry"s) {
                EXPECT_EQ(run.Exit, 0);
                EXPECT_EQ(noticesAfter(notice + "waiting\n"), 2u) << run.Err;
                EXPECT_EQ(waiting.NewPaper(), "Чек\n" + PaperEnd);
            } else {
                EXPECT_EQ(run.Exit, 1);
                ExpectMembers(run.Json(), {{"ErrCode", 18}, {"ErrCodeEx", 10}}, answer);
                EXPECT_EQ(noticesAfter(notice + "cancelling"), 1u) << run.Err;
                EXPECT_EQ(waiting.NewPaper(), "");
            }
        }
    }
}

TEST(CommandsTest, DisplayAndFeed) {
    for (const char* model : {"207.1F", "pc-k"}) {
        TTill till({"--model", model});
        const TRun run = till.Ctl({"display", "Добро пожаловать"});
        EXPECT_EQ(run.Exit, 0) << model << run.Err;
        EXPECT_EQ(run.Out, "Shown.\n");
        EXPECT_EQ(till.NewPaper(), "[дисплей] Добро пожаловать\n") << model;
    }

    TTill gen2({"--firmware", "2.0"});
    const struct {
        std::vector<std::string> Args;
        TJson Json;
        const char* Paper;
    } feeds[] = {
        {{"feed", "5", "--cut"},
         {{"ok", true}, {"Lines", 5}, {"Cut", true}},
         "[прогон 5]\n[отрез]\n"},
        {{"feed", "-3"}, {{"ok", true}, {"Lines", -3}, {"Cut", false}}, "[прогон назад 3]\n"},
    };
    for (const auto& f : feeds) {
        std::vector<std::string> args = f.Args;
        args.push_back("--json");
        const TRun run = gen2.Ctl(args);
        EXPECT_EQ(run.Exit, 0) << run.Err;
        EXPECT_EQ(run.Json(), f.Json);
        EXPECT_EQ(gen2.NewPaper(), f.Paper);
    }
    TTill gen1({"--firmware", "1.0"});
    const TRun refused = gen1.Ctl({"feed", "5", "--cut", "--json", "--trace"});
    EXPECT_EQ(refused.Exit, 1);
    ExpectMembers(refused.Json(), {{"ErrCode", 6}}, "generation 1");
    EXPECT_EQ(CommandsSent(refused.Err), "E");
    EXPECT_EQ(gen1.NewPaper(), "");
}

}  // namespace
