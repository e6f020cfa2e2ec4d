// kestor-hub's connections from raw sockets: clients that send nothing hold
// up no call, every request is framed once and bounded while it is read,
// nothing a refused request carries reaches a register, and a client without
// the token is refused before its body. With KESTOR_RELIABILITY_REPORT the
// idle, chunked, header-flood and tokenless figures go into
// docs/RELIABILITY.md beside the hub's load figures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "../ReliabilityReport.h"
#include "HubFixture.h"
#include "Rpc.h"

namespace kest::hub::test {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

double Ms(TClock::duration D) {
    return std::chrono::duration<double, std::milli>(D).count();
}

void Report(const std::string& Name, const std::string& Value) {
    kest::test::TReport::Get().Set("hub-load", "figure", Name, "value", Value);
}

std::string Figure(double Value, const char* Unit) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", Value, Unit);
    return text;
}

int Connect(int Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(Port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    pollfd ready{fd, POLLOUT, 0};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        (errno != EINPROGRESS || ::poll(&ready, 1, 5000) != 1))
        ADD_FAILURE() << "cannot connect";
    return fd;
}

// The process's peak resident memory since the last reset, in MiB.
double PeakMiB(bool Reset) {
    if (Reset) std::ofstream("/proc/self/clear_refs") << "5";
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stod(line.substr(6)) / 1024;
    return 0;
}

double CpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// What a client sent and got: Start, Repeat Times over, End, as fast as the
// hub takes them, then its half of the connection closed; the answers
// until the hub closes its half, at most 5 s.
struct TExchange {
    std::string Statuses;  // "401 200": each answer's status, 1xx left out
    std::size_t Sent = 0;
    double Took = 0;  // ms
};

TExchange Exchange(int Port, const std::string& Start, const std::string& Repeat = "",
                   std::size_t Times = 0, const std::string& End = "") {
    const auto start = TClock::now();
    const int fd = Connect(Port);
    std::string received;
    std::size_t sent = 0, piece = 0, at = 0;
    const auto current = [&]() -> const std::string& {
        return piece == 0 ? Start : piece <= Times ? Repeat : End;
    };
    bool writing = true;
    while (TClock::now() - start < 5s) {
        while (writing && piece <= Times + 1 && at == current().size())
            ++piece, at = 0;
        if (writing && piece > Times + 1) {
            ::shutdown(fd, SHUT_WR);
            writing = false;
        }
        pollfd ready{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        if (ready.revents & POLLIN) {
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0 && !(n < 0 && errno == EAGAIN)) break;
            received.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        if (writing && (ready.revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n =
                ::send(fd, current().data() + at, current().size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                writing = false;  // the hub has closed: what it answered is still to read
            else if (n > 0)
                sent += n, at += n;
        }
    }
    ::close(fd);
    TExchange result{.Statuses = {}, .Sent = sent, .Took = Ms(TClock::now() - start)};
    // Each answer's status line; JSON bodies hold no such text.
    constexpr std::string_view line = "HTTP/1.1 ";
    for (auto i = received.find(line); i != received.npos; i = received.find(line, i + 1))
        result.Statuses +=
            (result.Statuses.empty() ? "" : " ") + received.substr(i + line.size(), 3);
    return result;
}

std::string Post(const std::string& Headers, const std::string& Body) {
    return "POST /api/v1/registers/till1/rpc HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Headers +
           "Content-Length: " + std::to_string(Body.size()) + "\r\n\r\n" + Body;
}

const std::string Query = R"({"op":"QueryFirmwareInfo"})";
const std::string Authorised = std::string("Authorization: Bearer ") + Token + "\r\n";

using THubConnections = THubFixture;

TEST_F(THubConnections, IdleSocketsHoldUpNoCall) {
    constexpr int Idle = 150;
    std::vector<int> idle;
    for (int i = 0; i < Idle; ++i)
        idle.push_back(Connect(FPort));
    const auto start = TClock::now();
    const auto call = Rpc("till1", Query);
    const double callMs = Ms(TClock::now() - start);
    for (const int fd : idle)
        ::close(fd);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->status, 200);
    EXPECT_LT(callMs, 1000);
    Report("idle clients (" + std::to_string(Idle) + " sockets that send nothing)",
           "a call meanwhile answered in " + Figure(callMs, "ms"));
}

// Each request on a connection of its own; the statuses of the answers, and
// how many frames reached the register.
TEST_F(THubConnections, RequestsAreFramedOnceAndBoundedWhileRead) {
    ASSERT_TRUE(Rpc("till1", R"({"op": "TestConnection"})"));
    const std::string chunk(0x10000, ' ');
    const std::string flood = "X-Flood: " + std::string(990, 'a') + "\r\n";
    const std::string head = "POST /api/v1/registers/till1/rpc HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                             Authorised + "Transfer-Encoding: chunked\r\n\r\n";
    struct TCase {
        const char* What;
        std::string Start, Repeat;
        std::size_t Times;
        std::string End, Statuses;
        std::size_t Frames;
    };
    const std::vector<TCase> cases = {
        {"a request after another", Post(Authorised, Query) + Post(Authorised, Query), "", 0, "",
         "200 200", 2},
        {"a chunked body", head + "a\r\n{\"op\":\"Que\r\n10\r\nryFirmwareInfo\"}\r\n0\r\n\r\n", "",
         0, "", "200", 1},
        // The refused request's body is no request of its own.
        {"a request in a refused body",
         Post("Origin: https://evil.example\r\n" + Authorised, Post(Authorised, Query)), "", 0, "",
         "403", 0},
        {"Content-Length twice", Post(Authorised + "Content-Length: 26\r\n", Query), "", 0, "",
         "400", 0},
        {"Content-Length and chunked", Post(Authorised + "Transfer-Encoding: chunked\r\n", Query),
         "", 0, "", "400", 0},
        {"an empty key", Post(Authorised + "Idempotency-Key:\r\n", Query), "", 0, "", "400", 0},
        {"two keys", Post(Authorised + "Idempotency-Key: a\r\nIdempotency-Key: b\r\n", Query), "",
         0, "", "400", 0},
        {"gzip body", Post(Authorised + "Content-Encoding: gzip\r\n", Query), "", 0, "", "415", 0},
        {"100 MiB chunked", head, "10000\r\n" + chunk + "\r\n", 1600, "0\r\n\r\n", "413", 0},
        {"4.8 MB of headers", "GET /api/v1/registers HTTP/1.1\r\n", flood, 4800, "\r\n", "431", 0},
    };
    for (const TCase& c : cases) {
        const std::size_t frames = Emulator(0).RequestCount();
        const double cpu = CpuMs(), peak = PeakMiB(true);
        const TExchange got = Exchange(FPort, c.Start, c.Repeat, c.Times, c.End);
        EXPECT_EQ(got.Statuses, c.Statuses) << c.What;
        EXPECT_EQ(Emulator(0).RequestCount() - frames, c.Frames) << c.What;
        if (c.Times == 0) continue;
        // The client stops at the refusal: what it sent is what the hub took
        // and the system's buffers held.
        EXPECT_LT(got.Sent, 16u << 20) << c.What;
        Report(std::string("client sending ") + c.What,
               c.Statuses + " after " + Figure(got.Sent / 1048576.0, "MiB") + " sent, in " +
                   Figure(got.Took, "ms") + "; CPU (hub and client) " +
                   Figure(CpuMs() - cpu, "ms") + ", peak memory " +
                   Figure(std::max(PeakMiB(false) - peak, 0.0), "MiB") + " above the start");
    }
}

// Clients without the token each send a head announcing a large body, then
// nothing: each is refused from its head and its connection closed, and none
// holds up a call.
TEST_F(THubConnections, ClientsWithoutTheTokenAreRefusedBeforeTheirBody) {
    constexpr int Clients = 60;  // more than the hub's workers
    const std::string head =
        "POST /api/v1/registers/till1/rpc HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Length: 1000000\r\n\r\n";
    const auto start = TClock::now();
    std::vector<int> fds;
    std::vector<pollfd> open;
    for (int i = 0; i < Clients; ++i) {
        fds.push_back(Connect(FPort));
        ::send(fds.back(), head.data(), head.size(), MSG_NOSIGNAL);
        open.push_back({fds.back(), POLLIN, 0});
    }
    const auto callStart = TClock::now();
    const auto call = Rpc("till1", Query);
    const double callMs = Ms(TClock::now() - callStart);
    // Each client's answer, until the hub closes its half of the connection.
    std::vector<std::string> answers(Clients);
    int closed = 0;
    while (closed < Clients && TClock::now() - start < 3s) {
        ::poll(open.data(), open.size(), 100);
        for (int i = 0; i < Clients; ++i) {
            if (open[i].fd < 0 || !open[i].revents) continue;
            char buf[1024];
            const ssize_t n = ::recv(fds[i], buf, sizeof buf, 0);
            if (n > 0) answers[i].append(buf, static_cast<std::size_t>(n));
            if (n == 0 || (n < 0 && errno != EAGAIN)) open[i].fd = -1, ++closed;
        }
    }
    const double refusedMs = Ms(TClock::now() - start);
    for (const int fd : fds)
        ::close(fd);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->status, 200);
    EXPECT_LT(callMs, 1000);
    EXPECT_EQ(closed, Clients);
    EXPECT_EQ(std::count_if(answers.begin(), answers.end(),
                            [](const std::string& A) { return A.starts_with("HTTP/1.1 401 "); }),
              Clients);
    Report("clients without the token (" + std::to_string(Clients) +
               ", each a head announcing 1 MB of body, then nothing)",
           "all refused 401 and closed with the body unread within " + Figure(refusedMs, "ms") +
               "; a call meanwhile answered in " + Figure(callMs, "ms"));
}

}  // namespace
}  // namespace kest::hub::test
