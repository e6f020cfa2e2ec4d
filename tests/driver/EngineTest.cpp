// The exchange engine over a scripted line: the exact request frames, and
// how every kind of answer is accepted or refused.
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "ScriptedLine.h"

namespace {

using namespace std::string_literals;

// "7" from password 5862 to 1234; the register's plain "done" answer to it.
const std::string PasswordRequest =
    "\x02"
    "75862\0"
    "1234\0"
    "D6\x03"s;
const std::string PasswordDone =
    "\x02"
    "7\0"
    "0000\0"
    "0000\0"
    "08\0"
    "1F\x03"s;

template <class E>
E Raised(TScriptedLine& Drv, uint8_t Cmd, int OutSize = 0) {
    std::string out(static_cast<size_t>(std::max(OutSize, 0)), '\0');
    try {
        Drv.Run([&] { Drv.Transfer(Cmd, mctInternal, nullptr, 0, out.data(), OutSize); });
    } catch (const E& e) {
        return e;
    }
    throw std::logic_error("the exchange did not raise the expected exception");
}

TEST(Engine, RequestFrames) {
    TScriptedLine drv;
    drv.Connect(1);
    drv.Answers = {PasswordDone};
    drv.SetPassword(u"1234");
    // STX, the command with the old password, the data, BCC and ETX, as the
    // driver writes them: STX alone, command and password, data, BCC, ETX.
    ASSERT_EQ(drv.Written.size(), 5u);
    EXPECT_EQ(drv.Written[0], "\x02");
    EXPECT_EQ(drv.Written[3], "D6");
    EXPECT_EQ(drv.Sent(), PasswordRequest);
    EXPECT_EQ(drv.Password(), u"1234");
    EXPECT_EQ(drv.ErrMessage(), u"Нет ошибки");

    drv.SetPassword(u"1234");  // unchanged: nothing is sent
    EXPECT_TRUE(drv.Written.empty());

    // Baud-rate codes; 57600 and up only on generations 3 and 7.
    TScriptedLine g3;
    g3.Connect(3);
    const std::pair<int, std::string> rates[] = {
        {19200,
         "\x02"
         "C1234\0"
         "1\0"
         "3E\x03"s},
        {57600,
         "\x02"
         "C1234\0"
         "2\0"
         "3F\x03"s},
        {115200,
         "\x02"
         "C1234\0"
         "3\0"
         "40\x03"s},
        {9600,
         "\x02"
         "C1234\0"
         "0\0"
         "3D\x03"s},
    };
    g3.Answers = {PasswordDone};
    g3.SetPassword(u"1234");
    g3.Sent();
    for (const auto& [rate, frame] : rates) {
        g3.Answers = {AnswerFrame('C', "0000", "0000", "08")};
        g3.SetBaudRate(rate);
        EXPECT_EQ(g3.Sent(), frame) << rate;
        EXPECT_EQ(g3.BaudRate(), rate);
    }
    EXPECT_THROW(drv.SetBaudRate(57600), EKestInvalidArg);
    EXPECT_EQ(drv.ErrCodeEx(), 3);
    EXPECT_TRUE(drv.Written.empty());
}

TEST(Engine, AcknowledgementsAndTimeouts) {
    TScriptedLine g3;
    g3.Connect(3);
    g3.Answers = {"\x06\x06\x06" + AnswerFrame('E', "0000", "0000", "08", "ok\0"s)};
    std::string out(3, '?');
    g3.Run([&] { g3.Transfer('E', mctInternal, nullptr, 0, out.data(), 3); });
    EXPECT_EQ(out, "ok\0"s);
    for (int t : g3.ReadTimeouts)
        EXPECT_EQ(t, 1000);

    // Generation 1 switches to the external time-out on the first ACK.
    TScriptedLine g1;
    g1.Connect(1);
    g1.Answers = {"\x06\x06" + AnswerFrame('E', "0000", "0000", "08")};
    g1.Run([&] { g1.Transfer('E', mctInternal, nullptr, 0, nullptr, 0); });
    ASSERT_GE(g1.ReadTimeouts.size(), 3u);
    EXPECT_EQ(g1.ReadTimeouts[0], 1000);
    EXPECT_EQ(g1.ReadTimeouts[1], 30000);
    EXPECT_EQ(g1.ReadTimeouts.back(), 30000);

    // "C" waits half a second longer than its time-out.
    TScriptedLine c;
    c.Connect(1);
    c.Answers = {AnswerFrame('C', "0000", "0000", "08")};
    c.SetBaudRate(19200);
    EXPECT_EQ(c.ReadTimeouts.front(), 1500);

    // "As long as it takes" stays that, with the half second and after an ACK.
    c.SetInternalTimeout(std::numeric_limits<int>::max());
    c.SetExternalTimeout(std::numeric_limits<int>::max());
    c.ReadTimeouts.clear();
    c.Answers = {"\x06" + AnswerFrame('C', "0000", "0000", "08")};
    c.SetBaudRate(9600);
    ASSERT_FALSE(c.ReadTimeouts.empty());
    for (int t : c.ReadTimeouts)
        EXPECT_EQ(t, std::numeric_limits<int>::max());
}

TEST(Engine, PasswordsTheRegisterCanHold) {
    TScriptedLine drv;
    drv.Connect(3);
    const std::u16string refused[] = {u"12345", u"12€", u"1\0"s + u"2", u"\u0301"};
    for (const auto& password : refused) {
        EXPECT_THROW(drv.SetPassword(password), EKestInvalidArg);
        EXPECT_EQ(drv.ErrCodeEx(), 7);
        EXPECT_EQ(drv.ErrMessage(), u"Неверное значение аргумента:\r\nневерный пароль связи с ККМ");
    }
    EXPECT_TRUE(drv.Written.empty());
    EXPECT_EQ(drv.Password(), u"5862");

    // Any four characters of the code page reach the register as they are.
    drv.Answers = {AnswerFrame('7', "0000", "0000", "08")};
    drv.SetPassword(u"Ключ");
    EXPECT_EQ(drv.Password(), u"Ключ");
    EXPECT_EQ(drv.Sent().substr(7, 5), "\x8A\xAB\xEE\xE7\0"s);
}

TEST(Engine, CloseTellsOfAChangeOnly) {
    TScriptedLine drv;
    drv.Connect(3);
    drv.Answers = {AnswerFrame('E', "0001", "0000", "08")};
    drv.Run([&] { drv.Transfer('E', mctInternal, nullptr, 0, nullptr, 0); });
    int events = 0;
    // A handler that closes again must not recurse.
    drv.OnStatusUpdate = [&](TKestorFPrt& d) {
        ++events;
        d.Close(true);
    };
    drv.Close(true);
    EXPECT_EQ(events, 1);
    drv.Close(true);
    EXPECT_EQ(events, 1);
}

TEST(Engine, DeviceNotices) {
    const std::string cancelled = AnswerFrame('K', "0000", "000A", "0A");
    TScriptedLine drv;
    drv.Connect(3);
    int asked = 0;
    TKestConnState during = mcsNone;
    drv.OnPrinterError = [&](TKestorFPrt& d) {
        ++asked;
        during = d.ConnState();
    };
    drv.Answers = {
        "\x05"
        "0A",
        cancelled};
    EXPECT_EQ(Raised<EKestEcrError>(drv, 'K').ErrCodeEx(), 10);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(during, mcsPrinterError);
    EXPECT_EQ(drv.ConnState(), mcsIdle);
    EXPECT_EQ(drv.Written.back(), "\x01");  // cancel, sent on the external time-out
    EXPECT_EQ(drv.ReadTimeouts.back(), 30000);
    EXPECT_EQ(drv.CheckDevStatus(18), -1);  // raw device byte 0x0A: bits 1 and 3
    EXPECT_EQ(drv.CheckDevStatus(0), 1);

    // Retry: 0x04, and the register goes on to its answer.
    drv.OnPrinterError = [&](TKestorFPrt& d) { d.SetRetryOperation(true); };
    drv.Answers = {
        "\x05"
        "0A",
        AnswerFrame('K', "0000", "0000", "08")};
    drv.Run([&] { drv.Transfer('K', mctExternal, nullptr, 0, nullptr, 0); });
    EXPECT_EQ(drv.Written.back(), "\x04");

    // The display command asks the display handler instead.
    bool display = false;
    drv.OnDisplayError = [&](TKestorFPrt&) { display = true; };
    drv.Answers = {
        "\x05"
        "0A",
        AnswerFrame('^', "0000", "000A", "08")};
    Raised<EKestEcrError>(drv, '^');
    EXPECT_TRUE(display);

    // A handler that raises: the register is cancelled, its error 10 answer
    // read and dropped, and the handler's exception reported.
    drv.OnPrinterError = [](TKestorFPrt&) { throw std::runtime_error("нет бумаги"); };
    drv.Answers = {
        "\x05"
        "0A",
        "\x06" + cancelled};
    EXPECT_THROW(drv.Run([&] { drv.Transfer('K', mctExternal, nullptr, 0, nullptr, 0); }),
                 std::runtime_error);
    EXPECT_EQ(drv.Written.back(), "\x01");
    EXPECT_EQ(drv.ErrCode(), 999);
    EXPECT_EQ(drv.ErrMessage(), u"нет бумаги");

    // A call of the handler's own that fails, caught there: the command goes
    // on and succeeds, so it reports no error, not the handler's call's.
    drv.OnPrinterError = [](TKestorFPrt& d) {
        try {
            d.SetPassword(u"123456");
        } catch (const EKestInvalidArg&) {}
        d.SetRetryOperation(true);
    };
    drv.Answers = {
        "\x05"
        "0A",
        AnswerFrame('K', "0000", "0000", "08")};
    drv.Run([&] { drv.Transfer('K', mctExternal, nullptr, 0, nullptr, 0); });
    EXPECT_EQ(drv.ErrCode(), 0);
    EXPECT_EQ(drv.ErrCodeEx(), 0);
    EXPECT_EQ(drv.ErrMessage(), u"Нет ошибки");
}

TEST(Engine, AnswersRefused) {
    // One row per check, in the order the engine makes them.
    struct Case {
        const char* What;
        std::string Answer;
        int OutSize;
        int ErrCode, ErrCodeEx;
    };
    const std::string ok = AnswerFrame('E', "0000", "0000", "08", "12\0"s);
    std::string noEtx = ok;
    noEtx.back() = 'x';
    std::string badBcc = ok;
    badBcc[ok.size() - 2] ^= 1;
    std::string etxInData = ok;
    etxInData[17] = '\x03';
    const Case cases[] = {
        {"first byte", "x" + ok, 3, 15, 6},
        {"ETX in the header", ok.substr(0, 5) + "\x03" + ok.substr(6), 3, 15, 5},
        {"ETX in the data", etxInData, 3, 15, 5},
        {"not closed by ETX", noEtx, 3, 15, 6},
        {"checksum", badBcc, 3, 15, 7},
        {"separator",
         WithBcc("E\0"
                 "0000X"
                 "0000\0"
                 "08\0"
                 "12\0"s),
         3, 15, 5},
        {"hex in the status", AnswerFrame('E', "00G0", "0000", "08", "12\0"s), 3, 15, 2},
        {"echo", AnswerFrame('F', "0000", "0000", "08", "12\0"s), 3, 15, 6},
        {"register error", AnswerFrame('E', "0001", "0002", "08"), 3, 18, 2},
        {"cut short", ok.substr(0, 10), 3, 3, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TScriptedLine drv;
        drv.Connect(3);
        drv.Answers = {c.Answer};
        Raised<EKestError>(drv, 'E', c.OutSize);
        EXPECT_EQ(drv.ErrCode(), c.ErrCode);
        EXPECT_EQ(drv.ErrCodeEx(), c.ErrCodeEx);
        // The next command works.
        drv.Answers = {ok};
        std::string out(3, '\0');
        EXPECT_NO_THROW(
            drv.Run([&] { drv.Transfer('E', mctInternal, nullptr, 0, out.data(), 3); }));
    }
}

TEST(Engine, AnswersAccepted) {
    TScriptedLine drv;
    drv.Connect(3);
    // An error answer has no data however much was expected; the status
    // words are updated before the error is raised.
    drv.Answers = {AnswerFrame('E', "0001", "0001", "08")};
    EXPECT_EQ(Raised<EKestEcrError>(drv, 'E', 20).ErrCodeEx(), 1);
    EXPECT_EQ(drv.CheckEcrStatus(0), 1);
    EXPECT_EQ(drv.ErrMessage(),
              u"Ошибка ККМ:\r\nошибка в фискальных данных, аппарат блокирован (1)");

    // "I" and "O" are answered with the echo of another command.
    drv.Answers = {AnswerFrame('K', "0000", "0000", "08")};
    EXPECT_NO_THROW(drv.Run([&] { drv.Transfer('I', mctInternal, nullptr, 0, nullptr, 0); }));

    // "C" is answered at the old rate: its last byte need not be ETX.
    std::string baud = AnswerFrame('C', "0000", "0000", "08");
    baud.back() = '\xFF';
    drv.Answers = {baud};
    EXPECT_NO_THROW(drv.Run([&] { drv.Transfer('C', mctInternal, nullptr, 0, nullptr, 0); }));

    // Checksum digits may come in lower case.
    std::string lower = AnswerFrame('E', "0000", "0000", "08", "m\0"s);
    ASSERT_EQ(lower.substr(lower.size() - 3, 2), "9A");
    lower.replace(lower.size() - 3, 2, "9a");
    drv.Answers = {lower};
    std::string out(2, '?');
    EXPECT_NO_THROW(drv.Run([&] { drv.Transfer('E', mctInternal, nullptr, 0, out.data(), 2); }));
}

TEST(Engine, HandlerClosingTheConnection) {
    TScriptedLine drv;
    drv.Connect(3);
    drv.Answers = {AnswerFrame('E', "0000", "0000", "08")};
    drv.OnDataReceive = [&](TKestorFPrt& d, const void*, int) { d.Close(true); };
    EXPECT_EQ(Raised<EKestConnClosed>(drv, 'E').ErrCode(), 2);
    EXPECT_EQ(drv.ConnState(), mcsNone);
}

}  // namespace
