// kestor-hub under load and under attack: clients at once on one register,
// each call run once, as the register's own counts of the frames it received
// and the documents it printed show, while requests the hub refuses (no or a
// wrong token, a foreign origin, too large, malformed) and clients that send
// a request a byte a second reach no register and hold up no call.
// KESTOR_HUB_CALLS sets the calls of each client (50 by default); with
// KESTOR_RELIABILITY_REPORT the figures go into docs/RELIABILITY.md.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../ReliabilityReport.h"
#include "HubFixture.h"
#include "Rpc.h"

namespace kest::hub::test {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr int Clients = 8;
constexpr int ReceiptEvery = 10;  // of a client's calls, this one is a receipt

int CallsPerClient() {
    const char* text = std::getenv("KESTOR_HUB_CALLS");
    const int calls = text ? std::atoi(text) : 0;
    return calls > 0 ? calls : 50;
}

double Ms(TClock::duration D) {
    return std::chrono::duration<double, std::milli>(D).count();
}

std::string Figure(double Value, const char* Unit) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", Value, Unit);
    return text;
}

void Report(const std::string& Name, const std::string& Value) {
    kest::test::TReport::Get().Set("hub-load", "figure", Name, "value", Value);
}

// The documents the register printed: the lines of dashes that end them.
struct TTape {
    emu::TConfig Into(emu::TConfig Config) {
        Config.Tape = [this](std::string_view Text) {
            constexpr std::string_view separator = "----------------------------------------\n";
            for (auto at = Text.find(separator); at != Text.npos; at = Text.find(separator, at + 1))
                ++Documents;
        };
        return Config;
    }
    std::atomic<int> Documents = 0;
};

const std::string ReceiptBatch =
    R"([{"op": "OpenReceipt", "args": ["motSale"]},
        {"op": "AddReceiptItem", "args": ["Хлеб", "10.00", false, 1, 1, 0, 1000, 3, 0, ""]},
        {"op": "CloseReceipt", "args": ["", "mptCash", "100.00", "0.00", "", 0, "moiNumber"]}])";

bool AllOk(const httplib::Result& Result) {
    if (!Result || Result->status != 200) return false;
    TJson answers = TJson::parse(Result->body);
    if (!answers.is_array()) answers = TJson::array({answers});
    return std::all_of(answers.begin(), answers.end(),
                       [](const TJson& A) { return A.value("ok", false); });
}

class THubLoad : public THubFixture {
protected:
    int LastDocNumber() {
        const auto result =
            Rpc("till1", R"([{"op": "QueryLastDocInfo"}, {"get": "LastDocNumber"}])");
        return result ? TJson::parse(result->body)[1].value("result", -1) : -1;
    }
};

// Calls that the hub must refuse, each with its status, before the register.
struct TAttack {
    const char* What;
    int Status;
    std::string Body;
    httplib::Headers Headers;
};

TEST_F(THubLoad, ClientsAtOnceEachCallRunsOnceAndAttacksReachNothing) {
    TTape tape;
    Plug(0, tape.Into({.Model = mem207_1K}));
    ASSERT_TRUE(AllOk(Rpc("till1", R"({"op": "TestConnection"})")));
    const int number = LastDocNumber();
    const size_t frames = Emulator(0).RequestCount();
    const int documents = tape.Documents;

    const int calls = CallsPerClient();
    std::mutex lock;
    std::vector<double> latencies;
    std::atomic<int> failures = 0, receipts = 0, queries = 0, replayed = 0;
    std::atomic<bool> done = false;

    const auto client = [&](int Index) {
        auto http = Client();
        http->set_keep_alive(true);
        std::vector<double> mine;
        for (int call = 0; call < calls; ++call) {
            const bool receipt = call % ReceiptEvery == ReceiptEvery - 1;
            const std::string key = std::to_string(Index) + "-" + std::to_string(call);
            const httplib::Headers headers = receipt ? Auth({{"Idempotency-Key", key}}) : Auth();
            const auto start = TClock::now();
            const auto result = http->Post(
                "/api/v1/registers/till1/rpc", headers,
                receipt ? ReceiptBatch : R"({"op": "QueryFirmwareInfo"})", "application/json");
            mine.push_back(Ms(TClock::now() - start));
            if (!AllOk(result)) {
                ++failures;
                continue;
            }
            ++(receipt ? receipts : queries);
            if (!receipt) continue;
            // The client never saw the answer, say, and sends it again: the
            // hub answers from its memory.
            const auto again = http->Post("/api/v1/registers/till1/rpc", headers, ReceiptBatch,
                                          "application/json");
            if (again && again->body == result->body &&
                again->get_header_value("Idempotent-Replayed") == "true")
                ++replayed;
        }
        std::lock_guard guard(lock);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
    };

    // Meanwhile, calls the hub must refuse, over and over.
    const std::vector<TAttack> attacks = {
        {"no token", 401, R"({"op": "QueryFirmwareInfo"})", {}},
        {"wrong token",
         401,
         R"({"op": "QueryFirmwareInfo"})",
         {{"Authorization", "Bearer not-the-token"}}},
        {"foreign origin", 403, R"({"op": "QueryFirmwareInfo"})",
         Auth({{"Origin", "https://evil.example"}})},
        {"too large", 413, std::string(RpcMaxRequestBytes + 1, ' '), Auth()},
        {"not JSON", 400, R"({"op": )", Auth()},
        {"empty batch", 400, "[]", Auth()},
    };
    std::map<std::string, int> refused, wrong;
    auto attacker = std::async(std::launch::async, [&] {
        auto http = Client();
        while (!done) {
            for (const TAttack& a : attacks) {
                const auto result = http->Post("/api/v1/registers/till1/rpc", a.Headers, a.Body,
                                               "application/json");
                ++(result && result->status == a.Status ? refused : wrong)[a.What];
            }
        }
    });

    const auto start = TClock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < Clients; ++i)
        threads.emplace_back(client, i);
    for (auto& t : threads)
        t.join();
    const double wall = Ms(TClock::now() - start);
    done = true;
    attacker.get();

    const size_t received = Emulator(0).RequestCount() - frames;
    const int printed = tape.Documents - documents;
    const int numbered = LastDocNumber() - number;
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(queries + receipts, Clients * calls);
    EXPECT_EQ(replayed, receipts);
    // A query is one frame, a receipt two (its last document's number, then
    // the receipt): nothing more reached the register, nothing less.
    EXPECT_EQ(received, static_cast<size_t>(queries + 2 * receipts));
    EXPECT_EQ(printed, receipts);
    EXPECT_EQ(numbered, receipts);
    EXPECT_TRUE(wrong.empty());
    for (const TAttack& a : attacks)
        EXPECT_GT(refused[a.What], 0) << a.What;

    std::sort(latencies.begin(), latencies.end());
    ASSERT_FALSE(latencies.empty());
    const auto percentile = [&](double P) {
        return latencies[std::min(latencies.size() - 1, static_cast<size_t>(P * latencies.size()))];
    };
    Report("clients × calls", std::to_string(Clients) + " × " + std::to_string(calls) + " (" +
                                  std::to_string(receipts) + " receipts, each sent twice)");
    Report("calls answered",
           std::to_string(queries + receipts) + ", failed " + std::to_string(failures.load()));
    Report("throughput", Figure((queries + receipts) * 1000.0 / wall, "calls/s"));
    Report("latency p50 / p90 / p99 / max",
           Figure(percentile(0.5), "ms") + " / " + Figure(percentile(0.9), "ms") + " / " +
               Figure(percentile(0.99), "ms") + " / " + Figure(latencies.back(), "ms"));
    Report("frames the register received", std::to_string(received) + " (calls made: " +
                                               std::to_string(queries + 2 * receipts) + ")");
    Report("documents printed (tape / numbering)",
           std::to_string(printed) + " / " + std::to_string(numbered) +
               " (receipts: " + std::to_string(receipts.load()) + ")");
    Report("retries answered from the hub's memory", std::to_string(replayed.load()));
    std::string refusals;
    for (const TAttack& a : attacks)
        refusals += std::string(refusals.empty() ? "" : ", ") + a.What + " " +
                    std::to_string(a.Status) + " ×" + std::to_string(refused[a.What]);
    Report("refused meanwhile (frames sent: 0)", refusals);
}

// As many clients as the hub has server threads, each sending its request a
// byte a second: each is cut off at the request time, and a call meanwhile
// waits for that at most.
class THubSlowClients : public THubLoad {
protected:
    std::chrono::milliseconds RequestTime() const override { return 1s; }
};

TEST_F(THubSlowClients, AreCutOffAndHoldNoCall) {
    constexpr int Slow = 48;  // the hub's server threads: event streams and calls
    ASSERT_TRUE(AllOk(Rpc("till1", R"({"op": "TestConnection"})")));
    const size_t frames = Emulator(0).RequestCount();
    const std::string request = std::string("POST /api/v1/registers/till1/rpc HTTP/1.1\r\n") +
                                "Host: 127.0.0.1\r\nAuthorization: Bearer " + Token +
                                "\r\nContent-Type: application/json\r\nContent-Length: 26\r\n"
                                "\r\n{\"op\":\"QueryFirmwareInfo\"}";
    // Each sends its first byte as soon as it is connected (the connections
    // may queue up a while on a busy machine), then a byte a second; a
    // connection is cut when the hub closes it.
    const auto start = TClock::now();
    std::vector<pollfd> sockets;
    std::vector<TClock::time_point> first;
    for (int i = 0; i < Slow; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(FPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::send(fd, request.data(), 1, MSG_NOSIGNAL), 1);
        sockets.push_back({fd, POLLIN, 0});
        first.push_back(TClock::now());
    }
    std::vector<double> cut(Slow, -1);  // ms from the first byte to the cut
    auto trickle = std::async(std::launch::async, [&] {
        size_t at = 1;
        auto nextByte = TClock::now() + 1s;
        const auto uncut = [&] { return std::count(cut.begin(), cut.end(), -1); };
        while (uncut() > 0 && TClock::now() - start < 10s) {
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(nextByte - TClock::now()).count();
            ::poll(sockets.data(), sockets.size(), static_cast<int>(std::max<int64_t>(wait, 0)));
            for (int i = 0; i < Slow; ++i) {
                if (cut[i] >= 0 || !sockets[i].revents) continue;
                char buf[256];
                const ssize_t n = ::recv(sockets[i].fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
                cut[i] = Ms(TClock::now() - first[i]);
                sockets[i].events = 0;
            }
            if (TClock::now() < nextByte) continue;
            for (int i = 0; i < Slow; ++i)
                if (cut[i] < 0 && at < request.size())
                    ::send(sockets[i].fd, &request[at], 1, MSG_NOSIGNAL);
            ++at;
            nextByte += 1s;
        }
    });
    std::this_thread::sleep_for(300ms);
    const auto callStart = TClock::now();
    const auto call = Rpc("till1", R"({"op": "QueryFirmwareInfo"})");
    const double callMs = Ms(TClock::now() - callStart);
    trickle.get();
    for (const pollfd& socket : sockets)
        ::close(socket.fd);

    EXPECT_TRUE(AllOk(call));
    EXPECT_LT(callMs, 2000);
    const double soonest = *std::min_element(cut.begin(), cut.end());
    const double last = *std::max_element(cut.begin(), cut.end());
    EXPECT_GE(soonest, 950);
    EXPECT_LT(last, 2500);
    // Of all those requests only the call's frame reached the register.
    EXPECT_EQ(Emulator(0).RequestCount(), frames + 1);
    Report("slow clients (" + std::to_string(Slow) + ", one byte a second, request time 1 s)",
           "all cut off, " + Figure(soonest, "ms") + " to " + Figure(last, "ms") +
               " after their first byte; a call meanwhile answered in " + Figure(callMs, "ms") +
               "; frames sent: 0");
}

}  // namespace
}  // namespace kest::hub::test
