// The emulator: the protocol core driven with a fake clock, and the register
// on its pty driven with raw bytes. Expected frames are written from the wire
// format, not from the emulator's own helpers.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Frames.h"
#include "KestorEmu.h"
#include "Register.h"

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace kest::emu;
using namespace kest::emu::test;

namespace {

std::string Notice(std::string_view Device) {
    return '\x05' + std::string(Device);
}

// The identification data of the default register.
std::string DefaultIdentity() {
    std::string name = "\x8A\x85\x91\x92\x8E\x90-207.1\x94";          // КЕСТОР-207.1Ф
    std::string maker = "\x87\x80\x8E \"\x8A\xA5\xE1\xE2\xAE\xE0\"";  // ЗАО "Кестор"
    std::string firmware = "1.0 VLS B2.5";
    name.resize(31, '\0');
    maker.resize(31, '\0');
    firmware.resize(31, '\0');
    return "0000001\0"s + name + maker + firmware;
}

// The host's end of the line: the pty slave, raw, at a given rate.
class TLine {
public:
    explicit TLine(const std::string& Path) : FFd(::open(Path.c_str(), O_RDWR | O_NOCTTY)) {
        EXPECT_GE(FFd, 0) << Path;
        SetRate(B9600);
    }
    ~TLine() { ::close(FFd); }

    void SetRate(speed_t Speed) {
        termios tio{};
        ASSERT_EQ(::tcgetattr(FFd, &tio), 0);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, Speed);
        ::cfsetospeed(&tio, Speed);
        ASSERT_EQ(::tcsetattr(FFd, TCSANOW, &tio), 0);
    }
    void Write(std::string_view Bytes) {
        ASSERT_EQ(::write(FFd, Bytes.data(), Bytes.size()), ssize_t(Bytes.size()));
    }
    // Reads until Done says so or the time passes.
    std::string ReadUntil(const std::function<bool(const std::string&)>& Done,
                          std::chrono::milliseconds Timeout = 1000ms) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + Timeout;
        while (!Done(got)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd pfd{FFd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, int(left.count())) <= 0) break;
            char buf[256];
            const ssize_t n = ::read(FFd, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, n);
        }
        return got;
    }
    std::string ReadFrame() {
        return ReadUntil([](const std::string& S) {
            return !S.empty() && S.back() == '\x03' && S.find('\x02') != std::string::npos;
        });
    }
    std::string Read(size_t Count) {
        return ReadUntil([Count](const std::string& S) { return S.size() >= Count; });
    }
    int Fd() const { return FFd; }
    // Whatever arrives in a short while: for checking that nothing does.
    std::string ReadQuiet() {
        return ReadUntil([](const std::string&) { return false; }, 100ms);
    }

private:
    int FFd;
};

// Runs kestor-emu with Args and returns its exit code and what it wrote to
// stderr; a run that would serve is ended after a few seconds.
std::pair<int, std::string> RunProgram(const std::vector<std::string>& Args) {
    std::string command = "timeout 5 '" KESTOR_EMU_PATH "'";
    for (const std::string& arg : Args)
        command += " '" + arg + "'";
    command += " 2>&1 >/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {-1, {}};
    std::string err;
    char buf[256];
    while (const size_t n = std::fread(buf, 1, sizeof buf, pipe))
        err.append(buf, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

}  // namespace

TEST(EmulatorLine, IdentifiesWithExactBytes) {
    TEmulator emulator({});
    TLine line(emulator.DevicePath());
    line.Write("\x02\x45\x35\x38\x36\x32\x00\x31\x41\x03"s);
    std::string header = "^E_0000_0000_08_";  // ^ stands for STX, _ for 0x00
    std::ranges::replace(header, '^', '\x02');
    std::ranges::replace(header, '_', '\0');
    EXPECT_EQ(line.ReadFrame(), header + DefaultIdentity() + "9B\x03");
    EXPECT_EQ(emulator.Generation(), 3);
}

TEST(EmulatorLine, RefusesBadRequests) {
    TEmulator emulator({});
    TLine line(emulator.DevicePath());
    std::string badBcc = Request('E');
    badBcc[7] = '0';
    const std::string noSeparator = "E5862X";
    std::string lowerBcc = Request('7', "1234\0"s);  // BCC 0x7A
    lowerBcc[lowerBcc.size() - 2] = 'a';
    const struct {
        const char* Name;
        std::string Frame;
        char Echo;
        const char* Error;
    } cases[] = {
        {"bad BCC", badBcc, 'E', "001E"},
        {"lower-case BCC", lowerBcc, '7', "001E"},
        {"wrong password", Request('E', {}, "1111"), 'E', "0012"},
        {"unknown command", Request('Z'), 'Z', "001D"},
        {"data where none belong", Request('E', "1\0"s), 'E', "0019"},
        {"data too short", Request('C', "1"), 'C', "0019"},
        {"no separator after the password", '\x02' + noSeparator + Hex2(Sum(noSeparator)) + '\x03',
         'E', "0019"},
    };
    for (const auto& c : cases) {
        line.Write(c.Frame);
        EXPECT_EQ(line.ReadFrame(), Answer(c.Echo, c.Error)) << c.Name;
    }
    // Noise around a frame, and a frame cut short by a new STX, change nothing.
    line.Write("zz" + Request('E').substr(0, 4) + Request('E'));
    EXPECT_EQ(line.ReadFrame(), Answer('E', "0000", DefaultIdentity()));
}

TEST(EmulatorLine, ChangesPassword) {
    TEmulator emulator({});
    TLine line(emulator.DevicePath());
    line.Write(Request('7', "42\0\0\0"s));
    EXPECT_EQ(line.ReadFrame(), Answer('7', "0000"));
    EXPECT_EQ(emulator.Password(), "42");
    line.Write(Request('E'));
    EXPECT_EQ(line.ReadFrame(), Answer('E', "0012"));
    line.Write(Request('E', {}, "42"));
    EXPECT_EQ(line.ReadFrame(), Answer('E', "0000", DefaultIdentity()));
}

TEST(EmulatorLine, ChangesBaudRateAndIgnoresTheOldOne) {
    TEmulator emulator({});
    TLine line(emulator.DevicePath());
    line.Write(Request('C', "1\0"s));
    EXPECT_EQ(line.ReadFrame(), Answer('C', "0000"));
    EXPECT_EQ(emulator.BaudRate(), 19200);

    line.Write(Request('E'));  // the line still at 9600
    ASSERT_TRUE(emulator.WaitForRequests(2, 1000ms));
    EXPECT_EQ(line.ReadQuiet(), "");

    line.SetRate(B19200);
    line.Write(Request('E'));
    EXPECT_EQ(line.ReadFrame(), Answer('E', "0000", DefaultIdentity()));
    EXPECT_EQ(emulator.Received().size(), 3u);
}

TEST(EmulatorLine, AcksNoticesAndXoff) {
    TEmulator emulator({});
    TLine line(emulator.DevicePath());
    const std::string identity = Answer('E', "0000", DefaultIdentity());

    emulator.SetAcks(2);
    line.Write(Request('E'));
    EXPECT_EQ(line.ReadFrame(), "\x06\x06" + identity);
    emulator.SetAcks(0);

    // Two notices, each answered with a retry, then the answer.
    emulator.SetNotices(2, 0x0A);
    line.Write(Request('E'));
    EXPECT_EQ(line.Read(3), Notice("0A"));
    line.Write("\x04");
    EXPECT_EQ(line.Read(3), Notice("0A"));
    line.Write("\x04");
    EXPECT_EQ(line.ReadFrame(), identity);

    // A cancel ends the request with error 10; the command has not run.
    emulator.SetNotices(3, 0x0B);
    line.Write(Request('7', "9999\0"s));
    EXPECT_EQ(line.Read(3), Notice("0B"));
    line.Write("\x01");
    EXPECT_EQ(line.ReadFrame(), Answer('7', "000A", {}, "0B"));
    EXPECT_EQ(emulator.Password(), "5862");

    // The default model does not know the in-wait status request.
    emulator.SetNotices(1);
    line.Write(Request('E'));
    EXPECT_EQ(line.Read(3), Notice("0A"));
    line.Write("\x07");
    EXPECT_EQ(line.ReadQuiet(), "");
    line.Write("\x04");
    EXPECT_EQ(line.ReadFrame(), identity);

    // XOFF at once, XON from the serving thread's timer.
    emulator.HoldXoff(30ms);
    EXPECT_EQ(line.Read(1), "\x13");
    const auto xoff = std::chrono::steady_clock::now();
    EXPECT_EQ(line.Read(1), "\x11");
    EXPECT_GE(std::chrono::steady_clock::now() - xoff, 20ms);

    const std::vector<std::string> received = emulator.Received();
    const std::vector<std::string> replies(received.end() - 2, received.end());
    EXPECT_EQ(replies, (std::vector<std::string>{"\x07", "\x04"}));
}

// In place of the answer the line hangs up: the host's handle reads its end
// and cannot write; the device opened anew serves again.
TEST(EmulatorLine, HangUpInPlaceOfTheAnswer) {
    TEmulator emulator({});
    if (!TEmulator::CanHangUp()) {
        EXPECT_THROW(emulator.InjectFault(TFault::HangUp), std::runtime_error);
        GTEST_SKIP() << "hanging up a pseudo-terminal needs CAP_SYS_ADMIN";
    }
    const std::string identity = Answer('E', "0000", DefaultIdentity());
    {
        TLine line(emulator.DevicePath());
        emulator.InjectFault(TFault::HangUp);
        line.Write(Request('E'));
        pollfd pfd{line.Fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&pfd, 1, 1000), 1);
        EXPECT_TRUE(pfd.revents & POLLHUP);
        char byte;
        EXPECT_EQ(::read(line.Fd(), &byte, 1), 0);
        EXPECT_EQ(::write(line.Fd(), "x", 1), -1);
    }
    TLine line(emulator.DevicePath());
    line.Write(Request('E'));
    EXPECT_EQ(line.ReadFrame(), identity);
    EXPECT_EQ(emulator.RequestCount(), 2u);
    EXPECT_EQ(ParseFault("hang-up"), TFault::HangUp);
}

TEST(EmulatorLine, PacedAnswersTakeTheLineTime) {
    TEmulator emulator({.Paced = true});
    TLine line(emulator.DevicePath());
    const std::string identity = Answer('E', "0000", DefaultIdentity());
    ASSERT_EQ(identity.size(), 120u);
    const auto sent = std::chrono::steady_clock::now();
    line.Write(Request('E'));
    EXPECT_EQ(line.ReadFrame(), identity);
    // The request's 10 bytes come in and the answer's 120 go out at 10 bits
    // a byte: 135 ms at 9600 baud.
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 130ms);
}

TEST(EmulatorLine, InWaitStatusOn207_1K) {
    TEmulator emulator({.Model = mem207_1K});
    TLine line(emulator.DevicePath());
    emulator.SetExtendedStatus({0x01, 0x00, 0xA5, 0x00, 0x10});
    emulator.SetNotices(1, 0x0A);
    line.Write(Request('7', "1\0\0\0\0"s));
    EXPECT_EQ(line.Read(3), Notice("0A"));
    line.Write("\x07");
    const std::string status = "306"s + '\0' + "0100A50010" + std::string(31, '\0');
    EXPECT_EQ(line.ReadFrame(), Answer('\\', "0000", status, "0A"));
    line.Write("\x04");
    EXPECT_EQ(line.ReadFrame(), Answer('7', "0000"));
    EXPECT_EQ(emulator.Password(), "1");
}

TEST(RegisterCore, CommandsByModelAndGeneration) {
    const struct {
        const char* Name;
        TConfig Config;
        std::string Request;
        std::string Answer;
    } cases[] = {
        {"57600 on generation 3", {}, Request('C', "2\0"s), Answer('C', "0000")},
        {"57600 on generation 1", {.Firmware = "1.0 B"}, Request('C', "2\0"s), Answer('C', "0015")},
        {"115200 on pc-k", {.Model = memPCK}, Request('C', "3\0"s), Answer('C', "0000")},
        {"115200 on 207.1K", {.Model = mem207_1K}, Request('C', "3\0"s), Answer('C', "0015")},
        {"no such rate", {}, Request('C', "8\0"s), Answer('C', "0015")},
        {"display rate code on generation 8",
         {.Model = mem207_1K},
         Request('C', "4\0"s),
         Answer('C', "0015")},
        {"rate without separator", {}, Request('C', "19"), Answer('C', "0019")},
        {"password of 5 characters", {}, Request('7', "12345"), Answer('7', "0004")},
        {"XON/XOFF status bit",
         {.XonXoff = true},
         Request('7', "1\0\0\0\0"s),
         Answer('7', "0000", {}, "08", "0080")},
    };
    for (const auto& c : cases) {
        TRegister reg(c.Config);
        EXPECT_EQ(Exchange(reg, c.Request), c.Answer) << c.Name;
    }

    // The Moldavian coding prints Ă Î Ş Ţ Â at 0xB0..0xB4.
    TRegister moldavian({.Model = mem207_1FMD});
    EXPECT_EQ(Exchange(moldavian, Request('E')).substr(16 + 8, 14), "KESTOR-207.1F\0"s);
    TRegister renamed({.Model = mem207_1FMD, .ModelName = u"ĂÎŞŢÂ-ș"});
    EXPECT_EQ(Exchange(renamed, Request('E')).substr(16 + 8, 8), "\xB0\xB1\xB2\xB3\xB4-\xB2\0"s);
    EXPECT_EQ(renamed.Generation(), 3);
}

TEST(RegisterCore, ModelsAndGenerations) {
    const struct {
        const char* Name;
        TKestEcrModel Model;
        const char* Firmware;
        int Generation;
    } cases[] = {
        {"207.1F", mem207_1F, "", 3},           {"MEM207_1F", mem207_1F, "1.0 VLS X", 3},
        {"207.1f", mem207_1F, "1.0 B", 1},      {"207.1F", mem207_1F, "2.0", 2},
        {"207.1F", mem207_1F, "6.0.1", 6},      {"station-f", memStationF, "", 6},
        {"memStationF", memStationF, "1.0", 1}, {"pc-k", memPCK, "", 7},
        {"207.1F-MD", mem207_1FMD, "", 3},      {"mem207_1K", mem207_1K, "", 8},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseModel(c.Name), c.Model) << c.Name;
        EXPECT_EQ(GenerationOf(c.Model, c.Firmware), c.Generation) << c.Name << " " << c.Firmware;
    }
    EXPECT_THROW(ParseModel("207"), std::invalid_argument);
    EXPECT_THROW(TRegister({.Serial = "12345678"}), std::invalid_argument);
    EXPECT_THROW(TRegister({.Firmware = "1.0", .XonXoff = true}), std::invalid_argument);
    EXPECT_THROW(TRegister({.BaudRate = 38400}), std::invalid_argument);
}

TEST(RegisterCore, FaultsSpoilOnlyTheAnswer) {
    const std::string clean = Answer('E', "0000", DefaultIdentity());
    const std::string cleanEmpty = Answer('7', "0000");
    auto sumOk = [](const std::string& F) {
        return F.size() > 3 && Hex2(Sum(F.substr(1, F.size() - 4))) == F.substr(F.size() - 3, 2);
    };
    const struct {
        TFault Fault;
        std::function<bool(const std::string& Answer, const std::string& NoData)> Expected;
    } cases[] = {
        {TFault::NoAnswer, [&](auto& A, auto& N) { return A.empty() && N.empty(); }},
        {TFault::CutShort, [&](auto& A, auto&) { return A == clean.substr(0, clean.size() / 2); }},
        {TFault::BadBcc,
         [&](auto& A, auto&) {
             return A == clean.substr(0, clean.size() - 3) + "9C\x03";  // 9B + 1
         }},
        {TFault::Garbage,
         [&](auto& A, auto&) { return A.size() == clean.size() + 3 && A.substr(3) == clean; }},
        {TFault::EtxInData,
         [&](auto& A, auto& N) {
             int diffs = 0;
             for (size_t i = 16; i < 117 && A.size() == clean.size(); ++i)
                 diffs += A[i] != clean[i] && A[i] == '\x03';
             return diffs == 1 && sumOk(A) && N.substr(0, 14) == cleanEmpty.substr(0, 14) &&
                    N[14] == '\x03' && sumOk(N);
         }},
        {TFault::WrongEcho,
         [&](auto& A, auto&) {
             return A[1] != 'E' && A.substr(2, 115) == clean.substr(2, 115) && sumOk(A);
         }},
        {TFault::WrongSeparator,
         [&](auto& A, auto&) {
             return A[7] == 'X' && A.substr(8, 109) == clean.substr(8, 109) && sumOk(A);
         }},
    };
    for (const auto& c : cases) {
        TRegister reg({});
        reg.SetAcks(1, {});
        reg.InjectFault(c.Fault, 2);
        const std::string a = Exchange(reg, Request('E')),
                          n = Exchange(reg, Request('7', "5862\0"s));
        ASSERT_FALSE(a.empty() && c.Fault != TFault::NoAnswer);
        EXPECT_EQ(a[0], '\x06') << int(c.Fault);  // faults leave ACKs alone
        EXPECT_TRUE(c.Expected(a.substr(1), n.substr(1))) << int(c.Fault);
        EXPECT_EQ(Exchange(reg, Request('E')), "\x06" + clean) << int(c.Fault);
    }
    TRegister reg({});
    reg.InjectFault(TFault::NoAnswer, -1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Exchange(reg, Request('E')), "");
    reg.ClearFaults();
    EXPECT_EQ(Exchange(reg, Request('E')), clean);
}

TEST(RegisterCore, Timing) {
    using TClock = TRegister::TClock;
    const TClock::time_point t0 = TClock::now();
    const std::string identity = Answer('E', "0000", DefaultIdentity());
    const std::string request = Request('E');
    TRegister reg({});

    // A frame left idle is dropped; its tail then is noise.
    reg.Receive(request.substr(0, 5), t0);
    EXPECT_EQ(reg.NextDeadline(), t0 + TRegister::FrameIdle);
    reg.Receive(request.substr(5), t0 + 2100ms);
    EXPECT_EQ(reg.Poll(t0 + 2100ms), "");
    EXPECT_EQ(reg.FrameCount(), 0u);

    // A frame at another line rate is not for this register.
    reg.Receive(request, t0, 19200);
    EXPECT_EQ(reg.Poll(t0), "");
    EXPECT_EQ(reg.FrameCount(), 1u);

    // ACKs spaced by the interval, the answer one interval after the last.
    reg.SetAcks(2, 100ms);
    reg.Receive(request, t0, 9600);
    EXPECT_EQ(reg.Poll(t0), "\x06");
    EXPECT_EQ(reg.NextDeadline(), t0 + 100ms);
    EXPECT_EQ(reg.Poll(t0 + 199ms), "\x06");
    EXPECT_EQ(reg.Poll(t0 + 200ms), identity);
    reg.SetAcks(0, {});

    // A notice nobody answers: the request is dropped after the wait.
    const TClock::time_point t2 = t0 + 2s;
    reg.SetNotices(1, 0x0A);
    reg.Receive(request, t2);
    EXPECT_EQ(reg.Poll(t2), Notice("0A"));
    EXPECT_EQ(reg.NextDeadline(), t2 + TRegister::ReplyWait);
    EXPECT_EQ(reg.Poll(t2 + TRegister::ReplyWait), "");
    reg.Receive("\x04", t2 + TRegister::ReplyWait);
    EXPECT_EQ(reg.Poll(t2 + TRegister::ReplyWait), "");
    EXPECT_EQ(reg.NextDeadline(), TClock::time_point::max());

    // Stuck at work: ACKs at the interval, 10 ms at least, and no answer,
    // whatever comes, until the ACKs are set again; the request is then lost.
    const TClock::time_point t3 = t2 + 2 * TRegister::ReplyWait;
    reg.SetAcks(-1, 1ms);
    reg.Receive(request, t3);
    EXPECT_EQ(reg.Poll(t3), "\x06");
    EXPECT_EQ(reg.NextDeadline(), t3 + TRegister::StuckAckInterval);
    EXPECT_EQ(reg.Poll(t3 + 35ms), "\x06\x06\x06");
    reg.Receive(request, t3 + 35ms);  // a second one is acknowledged at once, not answered
    EXPECT_EQ(reg.Poll(t3 + 45ms), "\x06\x06");
    reg.SetAcks(0, {});
    EXPECT_EQ(reg.NextDeadline(), TClock::time_point::max());
    EXPECT_EQ(reg.Poll(t3 + 1s), "");
    reg.Receive(request, t3 + 1s);
    EXPECT_EQ(reg.Poll(t3 + 1s), identity);

    // XOFF for good: no XON is due until the next hold lets go.
    const TClock::time_point t4 = t3 + 2s;
    reg.HoldXoff(HoldForever, t4);
    EXPECT_EQ(reg.Poll(t4), "\x13");
    EXPECT_TRUE(reg.XoffSent());
    EXPECT_EQ(reg.NextDeadline(), TClock::time_point::max());
    reg.HoldXoff(0ms, t4 + 1h);
    EXPECT_EQ(reg.Poll(t4 + 1h), "\x13\x11");
    EXPECT_FALSE(reg.XoffSent());

    // A printer that never gets ready: notices at the interval, the cancel
    // ignored, until the next request, which is answered.
    const TClock::time_point t5 = t4 + 2h;
    reg.InjectFault(TFault::EndlessNotices, 1);
    reg.Receive(request, t5);
    EXPECT_EQ(reg.Poll(t5), Notice("0A"));
    reg.Receive("\x01", t5);
    EXPECT_EQ(reg.NextDeadline(), t5 + TRegister::EndlessNoticeInterval);
    EXPECT_EQ(reg.Poll(t5 + 100ms), Notice("0A") + Notice("0A"));
    reg.Receive(request, t5 + 100ms);
    EXPECT_EQ(reg.Poll(t5 + 1s), identity);
}

TEST(RegisterCore, KeepsOnlyTheLastReceived) {
    // Frames told apart by their (wrong) passwords, then a reply byte.
    TRegister reg({});
    const size_t total = TRegister::ReceivedKept + 50;
    for (size_t i = 0; i < total; ++i)
        Exchange(reg, Request('E', {}, std::to_string(i)));
    Exchange(reg, "\x04");
    EXPECT_EQ(reg.FrameCount(), total);
    ASSERT_EQ(reg.Received().size(), TRegister::ReceivedKept);
    EXPECT_EQ(reg.Received().front(), Request('E', {}, std::to_string(total - 255)));
    EXPECT_EQ(reg.Received().back(), "\x04");
}

TEST(EmulatorProgram, NamesTheOptionOfABadValue) {
    const std::string count = ": the count must be a positive whole number";
    const std::string hexByte = ": the device status byte is one or two hex digits";
    const struct {
        std::vector<std::string> Args;
        std::string Message;  // the first line on stderr
    } cases[] = {
        {{"--fault", "bad-bcc:x"}, R"(kestor-emu: --fault "bad-bcc:x")" + count},
        {{"--fault", "bad-bcc:0"}, R"(kestor-emu: --fault "bad-bcc:0")" + count},
        {{"--fault", "cut-short:2x"}, R"(kestor-emu: --fault "cut-short:2x")" + count},
        {{"--fault", "garbage:"}, R"(kestor-emu: --fault "garbage:")" + count},
        {{"--fault", "garbage:99999999999"},
         R"(kestor-emu: --fault "garbage:99999999999": the count is too large)"},
        {{"--fault", "nosuch:2"}, R"(kestor-emu: --fault "nosuch:2": unknown fault "nosuch")"},
        {{"--notice-byte", "zz"}, R"(kestor-emu: --notice-byte "zz")" + hexByte},
        {{"--notice-byte", "100"}, R"(kestor-emu: --notice-byte "100")" + hexByte},
        {{"--notice-byte", "0x0A"}, R"(kestor-emu: --notice-byte "0x0A")" + hexByte},
        {{"--notice-byte", "-1"}, R"(kestor-emu: --notice-byte "-1")" + hexByte},
        {{"--tape", "/nonexistent/tape.txt"},
         "kestor-emu: open /nonexistent/tape.txt: No such file or directory"},
        {{"--state", "/nonexistent/register.json"},
         "kestor-emu: state file /nonexistent/register.json: folder /nonexistent: No such file or "
         "directory"},
        // Every ACK is queued at once: a huge count is refused, not tried.
        {{"--acks", "2000000000"}, "--acks: Value 2000000000 not in range 0 to 1000"},
    };
    for (const auto& c : cases) {
        const auto [code, err] = RunProgram(c.Args);
        EXPECT_NE(code, 0) << c.Args[1];
        EXPECT_EQ(err.substr(0, err.find('\n')), c.Message);
    }
}
