// End-to-end tests of kestorctl's everyday subcommands: the real executable
// against the register emulator on a pseudo-terminal, and the line dump.
#include <fcntl.h>
#include <stdlib.h>

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
        {"x-report", "--department", "1", "--operator", "2"},
        {"open-day", "--protocol", "zmodem"},
        {"detect", "25"},
        {"--port=0", "identify"},
        {"--baud", "12345", "detect"},
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

}  // namespace
