// kestor-hub: registers served over local HTTP to browser point-of-sale pages.
//
//   GET  /                              the status page
//   GET  /api/v1/registers              every register's state
//   POST /api/v1/registers/NAME/rpc     one rpc request object or an array of them
//   GET  /api/v1/registers/NAME/events  server-sent events of one register
//   GET  /metrics                       every register's series for Prometheus
//
// Every /api call and /metrics need "Authorization: Bearer TOKEN"; cross-origin calls come
// only from the allowed origins. Refusals are JSON objects {"error": ...}.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Register.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace kest::hub {

class TServer;

struct THubConfig {
    std::vector<TRegisterConfig> Registers;
    std::string Host = "127.0.0.1";
    int Port = 9850;  // 0: any free port
    std::string Token;
    std::vector<std::string> AllowedOrigins;  // "https://shop.example"
    TRegisterLimits Limits;
    // How long a client may take to send one request, headers and body: one
    // that trickles it in a byte at a time is cut off then, and does not
    // keep a server thread from the calls of others.
    std::chrono::milliseconds RequestTime{10000};
    // The shortest time between two status queries /metrics makes to a
    // register: scrapes more often than this read what the last one found.
    std::chrono::milliseconds StatusInterval{15000};
};

// "ADDR:PORT", with an IPv6 address in brackets; std::invalid_argument.
void ParseListen(std::string_view Text, std::string& Host, int& Port);
// An origin as browsers send it: scheme://host[:port], nothing after;
// std::invalid_argument otherwise.
std::string CheckOrigin(std::string_view Origin);

class THub {
public:
    // std::invalid_argument for a register setting or a name given twice.
    explicit THub(THubConfig Config);
    ~THub();
    THub(const THub&) = delete;
    THub& operator=(const THub&) = delete;

    // Takes the listening socket; returns its port. std::runtime_error when
    // the address cannot be had.
    int Bind();
    // Serves until Stop; call after Bind.
    void Run();
    // From any thread (a signal watcher, a test): ends streams, aborts the
    // running calls, refuses queued ones, lets Run return.
    void Stop();

    // The request handling as the server calls it, public so that it runs
    // in-process without a socket too (fuzz/HubFuzz.cpp).
    // Origin and token checks of every /api call; true when it was answered.
    bool Refuse(const httplib::Request& Req, httplib::Response& Res);
    // POST /api/v1/registers/NAME/rpc, NAME in Req.matches[1].
    void HandleRpc(const httplib::Request& Req, httplib::Response& Res);

private:
    void Route();
    bool OwnOrigin(const httplib::Request& Req, const std::string& Origin) const;
    THubRegister* Find(const std::string& Name);
    void ListRegisters(httplib::Response& Res);
    void HandleEvents(const httplib::Request& Req, httplib::Response& Res);
    void HandleMetrics(httplib::Response& Res);

    THubConfig FConfig;
    std::vector<std::unique_ptr<THubRegister>> FRegisters;
    std::unique_ptr<TServer> FServer;
    std::atomic<int> FStreams = 0;
};

}  // namespace kest::hub
