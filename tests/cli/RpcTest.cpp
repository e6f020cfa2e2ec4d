// End-to-end tests of `kestorctl rpc`: the real executable, driven through its
// pipes, against the register emulator on a pseudo-terminal.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Process.h"

namespace {

using namespace kest::test;
using TJson = nlohmann::json;

// kestorctl rpc with the given options, talking to Port.
struct TCtl {
    TCtl(const std::string& Port, std::vector<std::string> Options)
        : Process(Argv(Options), {Port}) {}

    static std::vector<std::string> Argv(std::vector<std::string> Options) {
        Options.insert(Options.begin(), KESTORCTL_PATH);
        Options.push_back("rpc");
        return Options;
    }

    // Every line up to and including the answer (the line with "ok").
    std::vector<TJson> AskAll(const std::string& Request) {
        Process.WriteLine(Request);
        std::vector<TJson> lines;
        while (const auto line = Process.ReadLine()) {
            lines.push_back(TJson::parse(*line, nullptr, false));
            if (lines.back().is_discarded()) ADD_FAILURE() << "not JSON: " << *line;
            if (lines.back().contains("ok")) return lines;
        }
        ADD_FAILURE() << "no answer to " << Request;
        lines.push_back(TJson::object());
        return lines;
    }

    TJson Ask(const std::string& Request) {
        auto lines = AskAll(Request);
        EXPECT_EQ(lines.size(), 1u) << Request;
        return lines.back();
    }

    TJson Get(const std::string& Name) {
        const TJson answer = Ask(R"({"get": ")" + Name + R"("})");
        EXPECT_EQ(answer.value("ok", false), true) << answer;
        return answer.value("result", TJson());
    }

    TProcess Process;
};

void ExpectFailure(const TJson& Answer, int ErrCode, int ErrCodeEx, const char* Exception) {
    EXPECT_EQ(Answer.value("ok", true), false) << Answer;
    EXPECT_TRUE(Answer.contains("result") && Answer["result"].is_null()) << Answer;
    EXPECT_EQ(Answer.value("ErrCode", -1), ErrCode) << Answer;
    EXPECT_EQ(Answer.value("ErrCodeEx", -1), ErrCodeEx) << Answer;
    EXPECT_EQ(Answer.value("exception", ""), Exception) << Answer;
}

bool HasEvent(const std::vector<TJson>& Lines, const std::string& Event) {
    for (const auto& line : Lines)
        if (line.value("event", "") == Event) return true;
    return false;
}

TEST(RpcTest, OpensIdentifiesAndKeepsGoingAfterBadLines) {
    TEmulator emu({});
    TCtl ctl(emu.Port, {"--internal-timeout", "200"});

    // Values of a driver that has read nothing yet, in their JSON forms.
    EXPECT_EQ(ctl.Get("SaleSum"), "0.00");
    EXPECT_EQ(ctl.Get("EcrDateTime"), "1899-12-30T00:00:00");
    EXPECT_EQ(ctl.Get("EcrModel"), "memUnknown");

    const TJson opened = ctl.Ask(R"({"op": "Open", "id": 1})");
    EXPECT_EQ(opened, TJson::parse(R"({"id": 1, "ok": true, "result": null, "ErrCode": 0,
                                       "ErrCodeEx": 0, "ErrMessage": "Нет ошибки"})"));
    EXPECT_EQ(ctl.Get("EcrModel"), "mem207_1F");
    EXPECT_EQ(ctl.Get("Generation"), 3);
    EXPECT_EQ(ctl.Get("EcrVersion"), 0x0300);
    EXPECT_EQ(ctl.Get("EcrSubVersion"), 0x0205);
    EXPECT_EQ(ctl.Get("ModelName"), "КЕСТОР-207.1Ф");
    EXPECT_EQ(ctl.Get("ConnState"), "mcsIdle");

    // The register takes the new password: the next command carries it.
    EXPECT_EQ(ctl.Ask(R"({"op": "SetPassword", "args": ["1234"]})").value("ok", false), true);
    EXPECT_EQ(ctl.Get("Password"), "1234");
    EXPECT_EQ(ctl.Ask(R"({"op": "TestConnection"})").value("ok", false), true);

    ExpectFailure(ctl.Ask(R"({"op": "Open"})"), 1, 0, "EKestConnOpened");

    for (const char* bad : {
             R"({"op": })",
             R"(["Open"])",
             R"({"op": "Frobnicate"})",
             R"({"get": "NoSuchProperty"})",
             R"({"set": "Version", "value": "9"})",
             R"({"op": "SetPassword"})",
             R"({"op": "SetPassword", "args": [1234]})",
             R"({"op": "Close", "args": [false, true]})",
             R"({"op": "Open", "get": "EcrModel"})",
             R"({"op": "DecodeString", "args": ["41", "mctKlingon"]})",
             R"({"op": "CountBCC", "args": ["4"]})",
             R"({"id": 5})",
         }) {
        const TJson answer = ctl.Ask(bad);
        EXPECT_EQ(answer.value("ok", true), false) << bad;
        EXPECT_TRUE(answer.contains("error") && answer["error"].is_string()) << bad << answer;
        EXPECT_FALSE(answer.contains("ErrCode")) << bad;
    }

    // Still connected and answering; blank lines get no answer.
    ctl.Process.WriteLine("");
    const TJson after = ctl.Ask(R"({"op": "TestConnection", "id": "after"})");
    EXPECT_EQ(after.value("ok", false), true) << after;
    EXPECT_EQ(after.value("id", ""), "after");
    EXPECT_EQ(ctl.Ask(R"({"op": "Close"})").value("ok", false), true);

    ctl.Process.CloseInput();
    EXPECT_EQ(ctl.Process.WaitExit(), 0);
}

TEST(RpcTest, HostileLinesAreRefusedAndTheSessionGoesOn) {
    TCtl ctl("KESTOR_COM1=/dev/null", {});  // no line reaches the driver's port
    const auto nested = [](int Levels) {
        return std::string(Levels, '[') + std::string(Levels, ']');
    };
    const std::string deep = nested(50000);
    std::string deepObject;
    for (int i = 0; i < 50000; ++i)
        deepObject += R"({"a":)";
    deepObject += "1" + std::string(50000, '}');
    const std::string countBcc = R"("op": "CountBCC", "args": ["41 42"])";

    const struct {
        std::string Line;
        const char* Error;
    } cases[] = {
        {R"({"op": "CountBCC", "args": [1e400]})", "number overflow"},
        {R"({"set": "BaudRate", "value": -1e400})", "number overflow"},
        {R"({"id": 1e400, )" + countBcc + "}", "number overflow"},
        // Deep values in every member, also before a later key.
        {R"({"op": "CountBCC", "args": )" + deep + "}", "nested more than 64 levels"},
        {R"({"args": )" + deep + R"(, "op": "CountBCC"})", "nested more than 64 levels"},
        {R"({"id": )" + deepObject + ", " + countBcc + "}", "nested more than 64 levels"},
        {R"({"set": "BaudRate", "value": )" + deep + R"(, "id": 3})", "nested more than 64 levels"},
        {deep, "nested more than 64 levels"},
        {R"({"id": )" + nested(64) + ", " + countBcc + "}", "nested more than 64 levels"},
        // The parser would stop at the NUL and take the line for a get.
        {R"({"get": "Password"})" + std::string(1, '\0') + "{}", "NUL byte"},
        {R"({"op": "CountBCC", "args": [")" + std::string(2'000'000, '4') + R"("]})",
         "line longer than 1048576 bytes"},
    };
    for (const auto& c : cases) {
        const std::string shown = c.Line.substr(0, 60);
        const TJson refused = ctl.Ask(c.Line);
        EXPECT_EQ(refused.value("ok", true), false) << shown << refused;
        EXPECT_NE(refused.value("error", "").find(c.Error), std::string::npos) << shown << refused;
        EXPECT_FALSE(refused.contains("ErrCode")) << shown;
        const TJson next = ctl.Ask("{" + countBcc + "}");
        EXPECT_EQ(next.value("result", TJson()), 0x83) << shown << next;
    }

    // Sixty-four levels, and a line near the size limit, are still requests.
    const TJson deepest = ctl.Ask(R"({"id": )" + nested(63) + ", " + countBcc + "}");
    EXPECT_EQ(deepest.value("id", TJson()), TJson::parse(nested(63))) << deepest;
    const TJson large =
        ctl.Ask(R"({"op": "CountBCC", "args": [")" + std::string(1'000'000, '4') + R"("]})");
    EXPECT_EQ(large.value("result", TJson()), (0x44 * 500'000) % 256) << large;

    // A number as id comes back as written, also one no 64-bit integer holds.
    for (const std::string id : {"18446744073709551616", "-1.50"}) {
        ctl.Process.WriteLine(R"({"id": )" + id + ", " + countBcc + "}");
        EXPECT_EQ(ctl.Process.ReadLine(), R"({"id":)" + id + R"(,"ok":true,"result":131})");
    }

    ctl.Process.CloseInput();
    EXPECT_EQ(ctl.Process.WaitExit(), 0);
}

TEST(RpcTest, TraceShowsBlocksBeforeTheAnswer) {
    TEmulator emu({});
    TCtl ctl(emu.Port, {"--trace", "--internal-timeout", "200"});

    const auto lines = ctl.AskAll(R"({"op": "Open"})");
    ASSERT_GE(lines.size(), 6u);
    // The "E" request as the driver writes it: STX, command and password, checksum, ETX.
    const char* request[] = {"02", "45 35 38 36 32 00", "31 41", "03"};
    for (size_t i = 0; i < std::size(request); ++i)
        EXPECT_EQ(lines[i], TJson({{"event", "send"}, {"hex", request[i]}}));
    EXPECT_TRUE(HasEvent(lines, "receive"));
    const std::regex hex("[0-9A-F]{2}( [0-9A-F]{2})*");
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i].value("hex", ""), hex)) << lines[i];
    }
    EXPECT_EQ(lines.back().value("ok", false), true) << lines.back();
}

TEST(RpcTest, PrinterNoticeIsCancelledOrRetried) {
    for (const bool retry : {false, true}) {
        SCOPED_TRACE(retry ? "retry" : "cancel");
        TEmulator emu({"--notices", "1"});
        TCtl ctl(emu.Port, {"--printer-error", retry ? "retry" : "cancel", "--trace",
                            "--internal-timeout", "200"});

        const auto lines = ctl.AskAll(R"({"op": "Open"})");
        EXPECT_TRUE(HasEvent(lines, "printer-error"));
        if (retry) {
            EXPECT_EQ(lines.back().value("ok", false), true) << lines.back();
            EXPECT_EQ(ctl.Get("EcrModel"), "mem207_1F");
        } else {
            ExpectFailure(lines.back(), 18, 10, "EKestEcrError");
            EXPECT_EQ(lines.back().value("ErrMessage", ""),
                      "Ошибка ККМ:\r\nоперация прервана пользователем (10)");
        }
    }
}

TEST(RpcTest, WorksWithoutARegister) {
    // A refused command-line setting ends the program before any request.
    for (const char* option : {"--baud=5", "--port=0", "--internal-timeout=-1"}) {
        TProcess ctl({KESTORCTL_PATH, option, "rpc"});
        EXPECT_EQ(ctl.WaitExit(), 2) << option;
        EXPECT_EQ(ctl.ReadLine(), std::nullopt) << option;
    }

    // A terminal nobody answers on.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    TCtl ctl(std::string("KESTOR_COM1=") + ptsname(master),
             {"--trace", "--internal-timeout", "100"});

    const auto lines = ctl.AskAll(R"({"op": "Open"})");
    EXPECT_TRUE(HasEvent(lines, "no-response"));
    ExpectFailure(lines.back(), 3, 0, "EKestNoResponse");
    // A get answers for itself: the last error is not in its answer, it is
    // read as a property of its own.
    EXPECT_EQ(ctl.Ask(R"({"get": "InternalTimeout", "id": 7})"),
              TJson::parse(R"({"id": 7, "ok": true, "result": 100})"));
    EXPECT_EQ(ctl.Ask(R"({"get": "ErrCode"})"), TJson::parse(R"({"ok": true, "result": 3})"));
    // So does an operation that only reads what the driver holds.
    EXPECT_EQ(ctl.Ask(R"({"op": "GetDocStatus"})"),
              TJson::parse(R"({"ok": true, "result": "mdsUnknown"})"));
    EXPECT_EQ(ctl.Get("DocStatus"), "mdsUnknown");
    EXPECT_EQ(ctl.Get("CurrentOper"), "motUnknown");

    ExpectFailure(ctl.Ask(R"({"set": "BaudRate", "value": 12345})"), 14, 2, "EKestInvalidArg");
    EXPECT_EQ(ctl.Ask(R"({"set": "InternalTimeout", "value": 150})").value("ok", false), true);
    EXPECT_EQ(ctl.Get("InternalTimeout"), 150);

    // The field codecs, in both directions.
    const struct {
        const char* Request;
        TJson Result;
    } codecs[] = {
        {R"({"op": "EncodeString", "args": ["Привет", 8, "mctGeneral"]})",
         "8F E0 A8 A2 A5 E2 00 00"},
        {R"({"op": "EncodeString", "args": ["Привет", 4, "mctGeneral"]})", "8F E0 A8 00"},
        {R"({"op": "DecodeString", "args": ["8F E0 A8 A2 A5 E2", "mctGeneral"]})", "Привет"},
        {R"({"op": "CountBCC", "args": ["453538363200"]})", 0x1A},
        {R"({"op": "UnescapeData", "args": ["\\41\\4\\\\"]})", "41 04 5C"},
    };
    for (const auto& codec : codecs) {
        const TJson answer = ctl.Ask(codec.Request);
        EXPECT_EQ(answer.value("ok", false), true) << codec.Request << answer;
        EXPECT_EQ(answer.value("result", TJson()), codec.Result) << codec.Request;
    }

    // The service operations take their arguments in every JSON form; with no
    // register they end with the driver's own refusal, not a malformed line.
    const struct {
        const char* Request;
        int ErrCode, ErrCodeEx;
    } services[] = {
        {R"({"op": "EnableGraphicHeader", "args": [2, 1, [90, 255]]})", 2, 0},
        {R"({"op": "EnableGraphicHeader", "args": [2, 1, "5aff"]})", 2, 0},
        {R"({"op": "QueryCounter", "args": [3]})", 2, 0},
        {R"({"op": "QueryCounter", "args": [3, true]})", 2, 0},
        {R"({"op": "EKLZReportByDate", "args": [true, "2026-12-01", "2026-12-06"]})", 2, 0},
        {R"({"op": "SetHeader", "args": ["Магазин", "", "", ""]})", 2, 0},
        {R"({"op": "SetProtocol", "args": ["mprUnknown"]})", 14, 5},
        {R"({"op": "SetLeading", "args": [256]})", 14, 46},
    };
    for (const auto& service : services) {
        const TJson answer = ctl.Ask(service.Request);
        EXPECT_EQ(answer.value("ok", true), false) << service.Request;
        EXPECT_EQ(answer.value("ErrCode", -1), service.ErrCode) << service.Request << answer;
        EXPECT_EQ(answer.value("ErrCodeEx", -1), service.ErrCodeEx) << service.Request;
    }
    for (const char* bad : {
             R"({"op": "EnableGraphicHeader", "args": [1, 1, [256]]})",
             R"({"op": "EnableGraphicHeader", "args": [1, 1, 90]})",
             R"({"op": "QueryCounter"})",
             R"({"op": "EKLZReportByDate", "args": [true, "1.12.2026", "2026-12-06"]})",
         }) {
        const TJson answer = ctl.Ask(bad);
        EXPECT_TRUE(answer.contains("error") && !answer.contains("ErrCode")) << bad << answer;
    }

    ctl.Process.CloseInput();
    EXPECT_EQ(ctl.Process.WaitExit(), 0);
    close(master);
}

}  // namespace
