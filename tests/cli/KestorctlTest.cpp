// End-to-end tests of kestorctl: the real executable against the register
// emulator on a pseudo-terminal; `kestorctl rpc` driven line by line through
// pipes, the other subcommands run once each.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Trace.h"

namespace {

using namespace std::string_literals;
using TJson = nlohmann::json;

// Bounds of waits that end as soon as the awaited line or exit comes; only a
// hang runs into them (detect over silent ports takes about one second).
constexpr int CtlWaitMs = 10000;

// Starts Argv with Env added to the environment and its standard streams on
// Fds (-1: this process's).
pid_t Spawn(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
            std::array<int, 3> Fds) {
    signal(SIGPIPE, SIG_IGN);  // a dead child must fail the test, not kill it
    std::vector<char*> args;
    for (const auto& arg : Argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // Built before the fork: the child of a threaded process may not allocate.
    // Env comes first, so its names win.
    std::vector<char*> env;
    for (const auto& var : Env)
        env.push_back(const_cast<char*>(var.c_str()));
    for (char** var = environ; *var; ++var)
        env.push_back(*var);
    env.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // Dies with the test, so a test that aborts does not leave an emulator
        // holding ctest's output open.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (int i = 0; i < 3; ++i)
            if (Fds[i] >= 0) dup2(Fds[i], i);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    return pid;
}

// The exit code once Pid has ended within CtlWaitMs; killed when it has not.
std::optional<int> Reap(pid_t Pid) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, Pid, 0));
    pollfd p{fd, POLLIN, 0};
    const bool ended = poll(&p, 1, CtlWaitMs) == 1;
    close(fd);
    if (!ended) kill(Pid, SIGKILL);
    int status = 0;
    waitpid(Pid, &status, 0);
    if (!ended) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// kestor-emu serving on a pseudo-terminal, its paper tape in a file of its own.
class TTill {
public:
    explicit TTill(std::vector<std::string> Args = {}) {
        char folder[] = "/tmp/kestorctl-test-XXXXXX";
        EXPECT_NE(mkdtemp(folder), nullptr);
        FFolder = folder;
        Args.insert(Args.begin(), KESTOR_EMU_PATH);
        Args.insert(Args.end(), {"--tape", (FFolder / "tape.txt").string()});
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        FPid = Spawn(Args, {}, {-1, out[1], -1});
        close(out[1]);
        // It names its port once it serves (or ends); the pipe stays open for
        // whatever else it writes.
        FOut = fdopen(out[0], "r");
        char line[512];
        while (fgets(line, sizeof line, FOut))
            if (std::string_view(line).starts_with("KESTOR_COM1=")) {
                Port = std::string(line, std::strlen(line) - 1);
                Device = Port.substr(12);
                return;
            }
        ADD_FAILURE() << "the emulator did not name its port";
    }
    ~TTill() {
        kill(FPid, SIGTERM);
        Reap(FPid);
        if (FOut) fclose(FOut);
        std::error_code ignored;
        std::filesystem::remove_all(FFolder, ignored);
    }

    // What the register printed since the last call. The emulator writes it
    // before it answers, so it is there when kestorctl has ended.
    std::string NewPaper() {
        std::ifstream in(FFolder / "tape.txt", std::ios::binary);
        const std::string all{std::istreambuf_iterator<char>(in), {}};
        return all.substr(std::min(std::exchange(FRead, all.size()), all.size()));
    }

    std::string Port, Device;  // the KESTOR_COM1 setting, the pseudo-terminal

private:
    std::filesystem::path FFolder;
    pid_t FPid = -1;
    FILE* FOut = nullptr;
    std::size_t FRead = 0;
};

struct TRun {
    std::optional<int> Exit;
    std::string Out, Err;
    TJson Json() const { return TJson::parse(Out, nullptr, false); }
};

// kestorctl with Args, Env added to its environment and Input on standard input.
TRun Ctl(std::vector<std::string> Args, const std::vector<std::string>& Env,
         const std::string& Input = {}) {
    Args.insert(Args.begin(), KESTORCTL_PATH);
    std::array<int, 3> fds;
    for (int& fd : fds)
        fd = memfd_create("kestorctl", MFD_CLOEXEC);
    EXPECT_EQ(write(fds[0], Input.data(), Input.size()), static_cast<ssize_t>(Input.size()));
    lseek(fds[0], 0, SEEK_SET);
    TRun run;
    run.Exit = Reap(Spawn(Args, Env, fds));
    for (auto [fd, text] : {std::pair{fds[1], &run.Out}, std::pair{fds[2], &run.Err}}) {
        lseek(fd, 0, SEEK_SET);
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
            text->append(chunk, static_cast<std::size_t>(n));
    }
    for (const int fd : fds)
        close(fd);
    return run;
}
TRun Ctl(const TTill& Till, const std::vector<std::string>& Args, const std::string& Input = {}) {
    return Ctl(Args, {Till.Port}, Input);
}

// The request frames in a dump, in order: each its command, then its data
// after the password and 0x00, '*' for a masked byte. A frame's bytes may come
// in any blocks.
std::vector<std::string> FramesSent(const std::string& Dump) {
    std::string sent;
    bool sending = false;
    std::size_t at = 0;  // where the bytes begin on the lines of an entry
    std::istringstream lines(Dump);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("[")) {
            const std::size_t arrow = std::min(line.find("-> "), line.find("<- "));
            sending = arrow != std::string::npos && line[arrow] == '-';
            at = arrow + 3;
        } else if (!line.starts_with(" ")) {
            continue;  // a message of the program
        }
        for (std::size_t i = at; sending && i + 2 <= line.size() && line[i] != ' '; i += 3)
            sent += line[i] == '*' ? '*' : static_cast<char>(std::stoi(line.substr(i, 2), 0, 16));
    }
    std::vector<std::string> frames;
    for (std::size_t start = sent.find('\x02'), end; start != std::string::npos;
         start = sent.find('\x02', end)) {
        end = sent.find('\x03', start);
        if (end == std::string::npos || end - start < 9) break;
        frames.push_back(sent[start + 1] + sent.substr(start + 7, end - start - 9));
    }
    return frames;
}

std::string CommandsSent(const std::string& Dump) {
    std::string commands;
    for (const std::string& frame : FramesSent(Dump))
        commands += frame[0];
    return commands;
}

// The words of Text, split at spaces.
std::vector<std::string> Words(const std::string& Text) {
    std::istringstream in(Text);
    return {std::istream_iterator<std::string>(in), {}};
}

// Request data written with '|' for each 0x00 byte.
std::string Nul(std::string Text) {
    std::replace(Text.begin(), Text.end(), '|', '\0');
    return Text;
}

// Every member of Expected is in Actual with the same value.
void ExpectMembers(const TJson& Actual, const TJson& Expected) {
    for (const auto& [key, value] : Expected.items())
        EXPECT_EQ(Actual.value(key, TJson()), value) << key << " in " << Actual;
}

// A terminal nobody answers on.
struct TSilentPort {
    TSilentPort() : Fd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        EXPECT_TRUE(Fd >= 0 && grantpt(Fd) == 0 && unlockpt(Fd) == 0);
    }
    ~TSilentPort() { close(Fd); }
    std::string Device() const { return ptsname(Fd); }
    int Fd;
};

const std::string PaperEnd = std::string(40, '-') + "\n";

// -- kestorctl rpc

// The start of the answer of a call the driver refused.
std::string Failed(const char* Exception, int Code, int CodeEx) {
    return R"({"ok":false,"result":null,"exception":")" + std::string(Exception) +
           R"(","ErrCode":)" + std::to_string(Code) + R"(,"ErrCodeEx":)" + std::to_string(CodeEx) +
           ",";
}

// Runs kestorctl rpc with Options on Port, each step's request on a line of
// its own after a blank line (which gets no answer), and checks that the
// answer to each holds the step's text. Gives all it wrote, trace events too.
std::string ExpectRpc(const std::string& Port, std::vector<std::string> Options,
                      const std::vector<std::pair<std::string, std::string>>& Steps) {
    std::string input = "\n";
    for (const auto& step : Steps)
        input += step.first + "\n";
    Options.push_back("rpc");
    const TRun run = Ctl(Options, {Port}, input);
    EXPECT_EQ(run.Exit, 0) << run.Err;
    std::vector<std::string> answers;
    std::istringstream out(run.Out);
    for (std::string line; std::getline(out, line);)
        if (!line.starts_with(R"({"event":)")) answers.push_back(line);
    EXPECT_EQ(answers.size(), Steps.size()) << run.Out;
    for (std::size_t i = 0; i < std::min(answers.size(), Steps.size()); ++i)
        EXPECT_NE(answers[i].find(Steps[i].second), std::string::npos)
            << Steps[i].first.substr(0, 60) << " answered " << answers[i].substr(0, 200);
    return run.Out;
}

const std::string
    Ok = R"({"ok":true,"result":)",
    Malformed = R"("ok":false,"error":")",
    Done = R"("ok":true,"result":null,"ErrCode":0,"ErrCodeEx":0,"ErrMessage":"Нет ошибки"})";

TEST(RpcTest, OpensIdentifiesAndKeepsGoingAfterBadLines) {
    TTill till({"--notices", "1"});
    std::vector<std::pair<std::string, std::string>> steps = {
        // Values of a driver that has read nothing yet: money, date-time, enumeration.
        {R"({"get": "SaleSum"})", Ok + R"("0.00"})"},
        {R"({"get": "EcrDateTime"})", Ok + R"("1899-12-30T00:00:00"})"},
        {R"({"get": "EcrModel"})", Ok + R"("memUnknown"})"},
        // The register's first answer is a printer notice, cancelled as asked.
        {R"({"op": "Open"})",
         Failed("EKestEcrError", 18, 10) +
             R"x("ErrMessage":"Ошибка ККМ:\r\nоперация прервана пользователем (10)"})x"},
        {R"({"op": "Open", "id": 1})", R"({"id":1,)" + Done},
        {R"({"get": "EcrModel"})", Ok + R"("mem207_1F"})"},
        // The register takes the new password: the next command carries it.
        {R"({"op": "SetPassword", "args": ["1234"]})", "{" + Done},
        {R"({"get": "Password"})", Ok + R"("1234"})"},
        {R"({"op": "TestConnection"})", "{" + Done},
        {R"({"op": "Open"})", Failed("EKestConnOpened", 1, 0)}};
    for (const char* bad :
         {R"({"op": })", R"(["Open"])", R"({"op": "Frobnicate"})", R"({"get": "NoSuchProperty"})",
          R"({"set": "Version", "value": "9"})", R"({"op": "SetPassword"})",
          R"({"op": "SetPassword", "args": [1234]})", R"({"op": "Close", "args": [false, true]})",
          R"({"op": "Open", "get": "EcrModel"})", R"({"op": "TestConnection", "args": {}})",
          R"({"op": "DecodeString", "args": ["41", "mctKlingon"]})",
          R"({"op": "CountBCC", "args": ["4"]})", R"({"op": "CountBCC", "args": ["0 1"]})",
          R"({"id": 5})"})
        steps.push_back({bad, Malformed});
    // Still connected and answering.
    steps.push_back({R"({"op": "TestConnection", "id": "after"})", R"({"id":"after",)" + Done});
    const std::string out = ExpectRpc(
        till.Port, {"--printer-error", "cancel", "--trace", "--internal-timeout", "2000"}, steps);
    // The "E" request as the driver writes it: STX, command and password,
    // checksum, ETX; then the register's notice. Between the blocks the line
    // goes idle.
    std::string data;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with(R"({"event":"conn")") && !line.starts_with(R"({"event":"status")"))
            data += line + '\n';
    EXPECT_NE(out.find(R"({"event":"conn","ConnState":"mcsPrinterError","Connected":true})"),
              std::string::npos);
    EXPECT_NE(data.find(R"({"event":"send","hex":"02"}
{"event":"send","hex":"45 35 38 36 32 00"}
{"event":"send","hex":"31 41"}
{"event":"send","hex":"03"}
{"event":"receive","hex":"05"})"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(R"({"event":"printer-error")"), std::string::npos) << out;
}

// With no register, each kind of argument is converted and reaches the
// driver, or is refused as a malformed line before it does.
TEST(RpcTest, ConvertsEachKindOfArgumentWithoutARegister) {
    TSilentPort silent;
    const std::string noRegister = Failed("EKestConnClosed", 2, 0);
    std::vector<std::pair<std::string, std::string>> steps = {
        {R"({"op": "Open"})", Failed("EKestNoResponse", 3, 0)},
        // A get answers for itself: the last error is a property of its own.
        {R"({"get": "InternalTimeout", "id": 7})", R"({"id":7,"ok":true,"result":100})"},
        {R"({"get": "ErrCode"})", Ok + "3}"},
        // So does an operation that only reads what the driver holds.
        {R"({"op": "GetDocStatus"})", Ok + R"("mdsUnknown"})"},
        {R"({"set": "InternalTimeout", "value": 150})", Ok},
        {R"({"get": "InternalTimeout"})", Ok + "150}"},
        // Text, hex bytes and numbers.
        {R"({"op": "EncodeString", "args": ["Привет", 4, "mctGeneral"]})",
         Ok + R"("8F E0 A8 00"})"},
        {R"({"op": "DecodeString", "args": ["8F E0 A8 A2 A5 E2", "mctGeneral"]})",
         Ok + R"("Привет"})"},
        {R"({"op": "CountBCC", "args": ["453538363200"]})", Ok + "26}"},
        {R"({"op": "UnescapeData", "args": ["\\41\\4\\\\"]})", Ok + R"("41 04 5C"})"},
        // Pictures as bytes or hex, optional arguments, dates, money, enumerations.
        {R"({"op": "EnableGraphicHeader", "args": [2, 1, [90, 255]]})", noRegister},
        {R"({"op": "EnableGraphicHeader", "args": [2, 1, "5aff"]})", noRegister},
        {R"({"op": "QueryCounter", "args": [3, true]})", noRegister},
        {R"({"op": "EKLZReportByDate", "args": [true, "2026-12-01", "2026-12-06"]})", noRegister},
        {R"({"op": "AddReceiptItem", "args": ["a", "12.50", false, 1, 0, 0, 1, 3, 0, ""]})",
         noRegister},
        {R"({"op": "OpenReceipt", "args": ["motSale"]})", noRegister},
    };
    for (const char* bad :
         {R"({"op": "EnableGraphicHeader", "args": [1, 1, [256]]})",
          R"({"op": "EnableGraphicHeader", "args": [1, 1, 90]})", R"({"op": "QueryCounter"})",
          R"({"op": "QueryCounter", "args": [3000000000]})",
          R"({"op": "OpenReceipt", "args": [1]})",
          R"({"op": "EKLZReportByDate", "args": [true, "1.12.2026", "2026-12-06"]})",
          R"({"op": "AddReceiptItem", "args": ["a", 12.5, false, 1, 0, 0, 1, 3, 0, ""]})"})
        steps.push_back({bad, Malformed});
    const auto nested = [](int Levels) {
        return std::string(Levels, '[') + std::string(Levels, ']');
    };
    const std::string deep = nested(50000);
    std::string deepObject;
    for (int i = 0; i < 50000; ++i)
        deepObject += R"({"a":)";
    deepObject += "1" + std::string(50000, '}');
    const std::string bcc = R"("op": "CountBCC", "args": ["41 42"])";
    const std::string tooDeep = "nested more than 64 levels";
    const std::pair<std::string, std::string> hostile[] = {
        {R"({"op": "CountBCC", "args": [1e400]})", "number overflow"},
        // Deep values in every member, also before a later key.
        {R"({"op": "CountBCC", "args": )" + deep + "}", tooDeep},
        {R"({"id": )" + deepObject + ", " + bcc + "}", tooDeep},
        {R"({"id": )" + nested(64) + ", " + bcc + "}", tooDeep},
        // The parser would stop at the NUL and take the line for a get.
        {R"({"get": "Password"})" + std::string(1, '\0') + "{}", "NUL byte"},
        {R"({"op": "CountBCC", "args": [")" + std::string(2'000'000, '4') + R"("]})",
         "line longer than 1048576 bytes"}};
    // Hostile lines are refused, and the session goes on.
    for (const auto& [line, error] : hostile) {
        steps.push_back({line, error});
        steps.push_back({"{" + bcc + "}", Ok + "131}"});
    }
    // Sixty-four levels are still a request;
    // a number as id comes back as written, also one no 64-bit integer holds.
    steps.push_back({R"({"id": )" + nested(63) + ", " + bcc + "}",
                     R"({"id":)" + nested(63) + R"(,"ok":true,"result":131})"});
    for (const std::string id : {"18446744073709551616", "-1.50"})
        steps.push_back({R"({"id": )" + id + ", " + bcc + "}",
                         R"({"id":)" + id + R"(,"ok":true,"result":131})"});
    const std::string out = ExpectRpc("KESTOR_COM1=" + silent.Device(),
                                      {"--trace", "--internal-timeout", "100"}, steps);
    EXPECT_NE(out.find(R"({"event":"no-response")"), std::string::npos);
}

// -- The other subcommands

// Each subcommand once against a generation 3 and a generation 8 register,
// in the order a day goes: its JSON members (an ErrCode: exit status 1), the
// commands it sent and the data of the last ('|' for 0x00), and a line it
// printed ("": nothing).
TEST(CommandsTest, EachSubcommandAgainstTheEmulator) {
    TTill f, k({"--model", "207.1K"});
    const auto check = [](TTill& Till, const std::string& Command, const std::string& Members,
                          const std::string& Sent, const std::string& Printed) {
        SCOPED_TRACE(Command);
        const TRun run = Ctl(Till, Words(Command + " --json --trace"));
        const TJson expected = TJson::parse(Members);
        EXPECT_EQ(run.Exit, expected.contains("ErrCode") ? 1 : 0) << run.Err;
        ExpectMembers(run.Json(), expected);
        const auto frames = FramesSent(run.Err);
        std::string sent = CommandsSent(run.Err);
        if (Sent.find(':') != std::string::npos && !frames.empty())
            sent += ":" + frames.back().substr(1);
        EXPECT_EQ(sent, Nul(Sent)) << run.Err;
        const std::string paper = Till.NewPaper();
        EXPECT_TRUE(Printed.empty() ? paper.empty() : paper.find(Printed) != paper.npos) << paper;
        if (!expected.contains("ErrCode")) return;
        // The driver's message, on one line.
        std::string message = run.Json().value("ErrMessage", "");
        if (const auto crlf = message.find("\r\n"); crlf != std::string::npos)
            message.replace(crlf, 2, " ");
        EXPECT_NE(run.Err.find("kestorctl: " + message + "\n"), std::string::npos) << run.Err;
    };
    // Readable, the output has a line of each of its values.
    for (const auto& [command, line] : std::initializer_list<std::pair<const char*, const char*>>{
             {"identify", "Firmware version:          3.0, sub-version 2.5"},
             {"status", "Shift:                     closed"},
             {"last-doc", "Date:            2024-03-14 21:05"}}) {
        const TRun run = Ctl(f, Words(command));
        EXPECT_NE(run.Out.find(line + "\n"s), std::string::npos) << run.Out;
    }
    // Set, the register's clock reads the computer's minute (or the one before,
    // when a minute ends between the two).
    const TRun clock = Ctl(f, {"datetime", "--sync", "--json"});
    EXPECT_EQ(clock.Exit, 0) << clock.Err;
    const int difference = clock.Json().value("DifferenceMinutes", 99);
    EXPECT_TRUE(difference == 0 || difference == -1) << clock.Out;
    EXPECT_TRUE(clock.Json().value("EcrDateTime", "").ends_with(":00")) << clock.Out;
    check(f, "identify",
          R"({"ModelName": "КЕСТОР-207.1Ф", "Generation": 3, "FirmwareVersion": "1.0 VLS B2.5",)"
          R"("EKLZSupported": false, "SerialNumber": "0000001", "DocStatus": "mdsClosed"})",
          "E", "");
    check(f, "counter 0 12",
          R"({"Counters": [{"Number": 0, "CounterCount": 0, "Sum": "0.00"},)"
          R"({"Number": 12, "CounterCount": 0, "Sum": "1045275.50"}]})",
          "EUU", "");
    check(f, "last-doc",
          R"({"LastDocType": "motZReport", "LastDocNumber": 128, "LastDocSum": "47900.00"})", "EJ",
          "");
    check(f, "resources", R"({"RewritesRemain": 4, "DaysRemain": 1783, "EKLZRest": null})", "ED",
          "");
    check(f, "display Касса", R"({"ok": true})", "E^", "[дисплей] Касса\n");
    // Refused by the driver before their command is sent.
    check(f, "feed 200", R"({"ok": false, "ErrCode": 14, "ErrCodeEx": 37})", "E", "");
    // The register's refusal: the journal is not activated yet.
    check(k, "journal day 12", R"({"ErrCode": 18, "ErrCodeEx": 74})", "EY", "");
    // A day on generation 3; the inspector's password stays out of the dump.
    check(f, "open-day --operator 3 --name Иванова --flag", R"({"ok": true})", "E1",
          "ОПЕРАТОР 03 Иванова\n");
    check(f, "x-report --department 1", R"({"ReportNumber": 1, "SaleSum": "0.00"})", "E_:3|08|1||",
          "X-ОТЧЕТ 0001 ПО ОТДЕЛАМ\n");
    check(f, "z-report", R"({"ReportNumber": 43, "BuyingSum": "0.00", "SerialNumber": "0000001"})",
          "E_:0|00||||", "СМЕНА 0043 ЗАКРЫТА\n");
    check(f, "fm-report numbers 41 42 --kind --inspector 00000",
          R"({"StartNumber": 41, "EndDate": "2024-03-14T00:00:00", "SaleSum": "72226.23"})",
          "EB:*****|2|41|||||||42|||||||", "0041 13.03.2024                =24326.23\n");
    check(f, "fm-report dates 01.03.2024 2024-03-14 --inspector 00000",
          R"({"StartNumber": 29, "StartDate": "2024-03-01T00:00:00", "SaleSum": "364140.99",)"
          R"("HeaderLine1": "ООО \"Ромашка\""})",
          "EB:*****|1|01032024|14032024|", "КРАТКИЙ ПО ДАТАМ\n");
    // Generation 8: the purchases, the option bit of its reports, its journal.
    check(k, "fm-report all --inspector 00000", R"({"EndNumber": 42, "BuyingSum": "0.00"})",
          "EB:*****|4|||||||||||||||||||", "ПОКУПКИ                            =0.00\n");
    check(k, "x-report --flags 1", R"({"ReportNumber": 1})", "EJ5:4|",
          "СМЕНА 0043                   ОПЕРАТОР 01\n");
    Ctl(k, {"rpc"}, "{\"op\": \"Open\"}\n{\"op\": \"EKLZActivate\"}\n");
    check(k, "journal dates 01.12.2026 2026-12-06", R"({"ok": true})", "EY", "");
    check(k, "journal status", R"({"EKLZActivated": true})", "E\\", "");
    check(k, "status", R"({"ExtendedDevStatus": true, "Protocol": "mprBS"})", "E\\", "");
}

TEST(CommandsTest, WrongUsageExitsTwoAndSendsNothing) {
    // No register: a connection attempt would end with exit status 1.
    const std::vector<std::string> env = {"KESTOR_COM1=/nonexistent/kestor1"};
    // fm-report needs --inspector; "all" says all operators; print needs a
    // text that is not blank.
    std::istringstream usages(
        "nosuch;feed abc;counter;journal;fm-report numbers 1 2;detect 25;print;"
        "fm-report dates 32.01.2026 01.02.2026 --inspector 1;journal dates 2026-12-01 00.12.2026;"
        "x-report --department x;x-report --operator -1;x-report --department 1 --operator 2;"
        "open-day --protocol zmodem;--port=0 identify;--baud 12345 detect;--baud=5 rpc;"
        "--internal-timeout=-1 rpc");
    for (std::string usage; std::getline(usages, usage, ';');) {
        const TRun run = Ctl(Words(usage), env);
        EXPECT_TRUE(run.Exit == 2 && run.Out.empty() && !run.Err.empty()) << usage;
    }
    EXPECT_EQ(Ctl({"print", ""}, env).Exit, 2);
    EXPECT_EQ(Ctl({"print"}, env, std::string(70'000, 'x')).Err,
              "kestorctl: print: the text is longer than 65536 bytes\n");
    EXPECT_NE(Ctl({"fm-report", "numbers", "--help"}, env).Out.find("Example:\n  kestorctl fm"),
              std::string::npos);
}

TEST(CommandsTest, DetectFindsEachRegisterAtItsRate) {
    TTill at9600, at19200({"--model", "207.1K", "--baud", "19200"});
    TSilentPort silent;
    std::vector<std::string> env = {"KESTOR_COM2=" + silent.Device(),
                                    "KESTOR_COM3=" + at9600.Device,
                                    "KESTOR_COM12=" + at19200.Device};
    for (const int port : {1, 4, 5, 6, 7, 8})
        env.push_back("KESTOR_COM" + std::to_string(port) + "=/nonexistent/" +
                      std::to_string(port));  // each its own: detect tries a device once

    // Ports 1 to 8 and 12, the one set beyond them.
    const TRun all = Ctl({"detect", "--json", "--internal-timeout", "400"}, env);
    EXPECT_EQ(all.Exit, 0) << all.Err;
    const TJson ports = all.Json().value("Ports", TJson::array());
    ASSERT_EQ(ports.size(), 9u) << all.Out;
    ExpectMembers(ports[1], {{"PortNum", 2}, {"Found", false}, {"BaudRate", nullptr}});
    ExpectMembers(ports[2], {{"PortNum", 3}, {"BaudRate", 9600}, {"EcrModel", "mem207_1F"}});
    ExpectMembers(ports[8], {{"PortNum", 12}, {"BaudRate", 19200}, {"EcrModel", "mem207_1K"}});
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
}

TEST(CommandsTest, TraceDumpsEveryBlockAndMasksThePassword) {
    TTill till;
    const TRun masked = Ctl(till, {"--trace", "identify"});
    EXPECT_EQ(masked.Exit, 0);
    // An entry: a time stamp, the direction, up to sixteen bytes and their
    // text; longer blocks go on in lines indented to the bytes.
    EXPECT_NE(masked.Err.find("\n                30 37 2E 31 94 00"), std::string::npos)
        << masked.Err;
    EXPECT_NE(masked.Err.find("] --> 45 ** ** ** ** 00" + std::string(31, ' ') + " |E****.|\n"),
              std::string::npos)
        << masked.Err;
    EXPECT_NE(masked.Err.find("|0000001.КЕСТОР-2|"), std::string::npos);
    EXPECT_EQ(masked.Err.find("35 38 36 32"), std::string::npos);

    const TRun shown = Ctl(till, {"--trace", "--trace-password", "identify"});
    EXPECT_NE(shown.Err.find("] --> 45 35 38 36 32 00"), std::string::npos);
    const TRun inspector =
        Ctl(till, {"fm-report", "all", "--inspector", "00000", "--trace", "--trace-password"});
    EXPECT_EQ(FramesSent(inspector.Err).back().substr(0, 8), Nul("B00000|4"));

    // rpc: --trace stays the JSON events on standard output, --dump adds the
    // readable dump; the new password of "7" is masked as well.
    const TRun rpc = Ctl(till, {"--trace", "--dump", "rpc"},
                         "{\"op\": \"Open\"}\n{\"op\": \"SetPassword\", \"args\": [\"1234\"]}\n");
    EXPECT_NE(rpc.Out.find(R"({"event":"send","hex":"31 32 33 34 00"})"), std::string::npos);
    EXPECT_EQ(CommandsSent(rpc.Err), "E7");
    EXPECT_NE(rpc.Err.find("] --> ** ** ** ** 00 "), std::string::npos) << rpc.Err;
    EXPECT_EQ(rpc.Err.find("31 32 33 34"), std::string::npos) << rpc.Err;

    // The line may take a write in parts, and an XON report may come between.
    std::ostringstream out;
    kest::TDumpSink sink(out);
    kest::TLineDump dump(sink, false);
    // Then "7" not after STX: text, not a frame; then the tax inspector's
    // password of the fiscal-memory report.
    const std::pair<bool, std::string> blocks[] = {
        {true, "\x02"}, {true, "712"},  {false, "\x11"},    {true, "34\0"s},
        {true, "5678"}, {true, "\0"s},  {true, "1F"},       {false, "\x06"},
        {true, "7"},    {true, "\x02"}, {true, "B5862\0"s}, {true, "12345\0"s + "4"}};
    for (const auto& [sent, bytes] : blocks)
        dump.Block(sent, bytes);
    std::string hex;
    std::istringstream dumped(out.str());
    for (std::string line; std::getline(dumped, line);) {
        std::string bytes = line.substr(16, 48);
        hex += bytes.erase(bytes.find_last_not_of(' ') + 1) + "/";
    }
    EXPECT_EQ(hex,
              "02/37 ** **/11/** ** 00/** ** ** **/00/31 46/06/37/"
              "02/42 ** ** ** ** 00/** ** ** ** ** 00 34/")
        << out.str();
}

TEST(CommandsTest, PrintOnBothLineProtocols) {
    // More than the register's input buffer of 64 bytes takes at once.
    std::string longText;
    for (int i = 0; i < 6; ++i)
        longText += std::string(35, static_cast<char>('a' + i)) + " end\n";
    const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
        {{"print", "", "до\\0A14:00"}, "", "\nдо\n14:00\n"},  // an empty first line stays
        {{"print", "--literal", "C:\\0A\\new"}, "", "C:\\0A\\new\n"},
        {{"print"}, longText, longText}};
    for (const std::string protocol : {"bs", "xonxoff"}) {
        SCOPED_TRACE(protocol);
        TTill till({"--model", "207.1K", "--protocol", protocol, "--line-time", "40"});
        for (const auto& [lines, input, printed] : cases) {
            const auto start = std::chrono::steady_clock::now();
            const TRun run = Ctl(till, lines, input);
            EXPECT_EQ(run.Out, "Printed.\n") << run.Err;
            EXPECT_EQ(till.NewPaper(), printed + PaperEnd);
            // On XON/XOFF the register sends XOFF once 64 bytes wait, XON
            // when their two lines are printed, and answers after that.
            const bool paced = input == longText && protocol == "xonxoff";
            EXPECT_GE(std::chrono::steady_clock::now() - start,
                      std::chrono::milliseconds(paced ? 80 : 0));
        }

        // The printer is not ready when the print begins: the notices answer
        // the print's command, after the connection's.
        for (const std::string answer : {"retry", "cancel"}) {
            SCOPED_TRACE(answer);
            TTill waiting({"--model", "207.1K", "--protocol", protocol, "--notices", "2",
                           "--notices-on", "6"});
            const TRun run =
                Ctl(waiting, {"print", "--printer-error", answer, "--json", "--trace", "Чек"});
            const std::size_t print = run.Err.find("] --> 36 ** ** ** ** 00 ");
            EXPECT_EQ(CommandsSent(run.Err.substr(0, print)), "E");
            std::size_t notices = 0;
            for (auto at = run.Err.find("not ready", print); at != std::string::npos;
                 at = run.Err.find("not ready", at + 1))
                ++notices;
            const bool retry = answer == "retry";
            EXPECT_EQ(run.Exit, retry ? 0 : 1);
            EXPECT_EQ(notices, retry ? 2u : 1u) << run.Err;
            EXPECT_NE(run.Err.find(retry ? "kestorctl: the printer is not ready; waiting\n"
                                         : "kestorctl: the printer is not ready; cancelling"),
                      std::string::npos);
            EXPECT_EQ(waiting.NewPaper(), retry ? "Чек\n" + PaperEnd : "");
            if (!retry) ExpectMembers(run.Json(), {{"ErrCode", 18}, {"ErrCodeEx", 10}});
        }
    }
}

}  // namespace
