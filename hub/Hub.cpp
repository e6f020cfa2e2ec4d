#include "Hub.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "Rpc.h"
#include "Server.h"
#include "StatusPage.h"
#include "Token.h"

namespace kest::hub {

namespace {

using THandled = httplib::Server::HandlerResponse;

constexpr const char* JsonType = "application/json; charset=utf-8";
// Event streams hold a server thread each: a bound keeps calls served.
constexpr int MaxStreams = 32;
constexpr int CallThreads = 16;
// A quiet stream sends a comment this often, which also finds readers gone.
constexpr std::chrono::seconds KeepAliveInterval{5};
constexpr std::size_t MaxKeyChars = 255;

void SendJson(httplib::Response& Res, int Status, const std::string& Body) {
    Res.status = Status;
    Res.set_header("Cache-Control", "no-store");
    Res.set_content(Body, JsonType);
}

void SendError(httplib::Response& Res, int Status, const std::string& Text) {
    SendJson(Res, Status, DumpJson({{"error", Text}}));
}

bool IsLoopbackName(std::string_view Host) {
    if (Host == "localhost" || Host == "[::1]") return true;
    return Host.starts_with("127.") && std::all_of(Host.begin(), Host.end(), [](char C) {
               return C == '.' || (C >= '0' && C <= '9');
           });
}

// The host of a Host header: "[::1]:9850" -> "[::1]", "localhost:9850" -> "localhost".
std::string_view HostName(std::string_view Host) {
    if (Host.starts_with('[')) return Host.substr(0, Host.find(']') + 1);
    return Host.substr(0, Host.rfind(':'));
}

bool ValidKey(std::string_view Key) {
    return !Key.empty() && Key.size() <= MaxKeyChars &&
           std::all_of(Key.begin(), Key.end(), [](char C) { return C > ' ' && C <= '~'; });
}

}  // namespace

void ParseListen(std::string_view Text, std::string& Host, int& Port) {
    const auto colon = Text.rfind(':');
    const std::string_view host = colon == std::string_view::npos ? "" : Text.substr(0, colon);
    const std::string_view port = colon == std::string_view::npos ? "" : Text.substr(colon + 1);
    int value = -1;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (host.empty() || port.empty() || error != std::errc() || end != port.data() + port.size() ||
        value < 0 || value > 65535)
        throw std::invalid_argument("expected ADDR:PORT, got \"" + std::string(Text) + "\"");
    // getaddrinfo takes an IPv6 address without its brackets.
    Host = host.starts_with('[') && host.ends_with(']') ? host.substr(1, host.size() - 2) : host;
    Port = value;
}

std::string CheckOrigin(std::string_view Origin) {
    std::string origin(Origin);
    std::transform(origin.begin(), origin.end(), origin.begin(),
                   [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
    const auto bad = [&Origin] {
        return std::invalid_argument("expected an origin such as https://shop.example, got \"" +
                                     std::string(Origin) + "\"");
    };
    std::string_view rest = origin;
    if (rest.starts_with("http://"))
        rest.remove_prefix(7);
    else if (rest.starts_with("https://"))
        rest.remove_prefix(8);
    else
        throw bad();
    if (rest.empty() || !std::all_of(rest.begin(), rest.end(), [](char C) {
            return std::isalnum(static_cast<unsigned char>(C)) || C == '.' || C == '-' ||
                   C == ':' || C == '[' || C == ']';
        }))
        throw bad();
    return origin;
}

THub::THub(THubConfig Config) : FConfig(std::move(Config)) {
    std::set<std::string> names;
    std::set<int> ports;
    for (const auto& reg : FConfig.Registers) {
        if (!names.insert(reg.Name).second)
            throw std::invalid_argument("register " + reg.Name + " is named twice");
        if (!ports.insert(reg.PortNum).second)
            throw std::invalid_argument("register " + reg.Name + ": port " +
                                        std::to_string(reg.PortNum) + " is taken by another");
        FRegisters.push_back(std::make_unique<THubRegister>(reg, FConfig.Limits));
    }
    for (auto& origin : FConfig.AllowedOrigins)
        origin = CheckOrigin(origin);
    FServer = std::make_unique<TServer>(FConfig.RequestTime, MaxStreams + CallThreads);
    Route();
}

THub::~THub() {
    Stop();
}

int THub::Bind() {
    if (FConfig.Port == 0) {
        const int port = FServer->bind_to_any_port(FConfig.Host);
        if (port <= 0) throw std::runtime_error("cannot listen on " + FConfig.Host);
        FServer->Listen();
        return port;
    }
    if (!FServer->bind_to_port(FConfig.Host, FConfig.Port))
        throw std::runtime_error("cannot listen on " + FConfig.Host + ":" +
                                 std::to_string(FConfig.Port) + " (in use, or not this host's)");
    FServer->Listen();
    return FConfig.Port;
}

void THub::Run() {
    FServer->Serve();
}

void THub::Stop() {
    for (const auto& reg : FRegisters)
        reg->Stop();
    FServer->Stop();
}

THubRegister* THub::Find(const std::string& Name) {
    for (const auto& reg : FRegisters)
        if (reg->Name() == Name) return reg.get();
    return nullptr;
}

void THub::Route() {
    httplib::Server& server = *FServer;
    server.set_payload_max_length(RpcMaxRequestBytes);

    // A request with a body, on any path, is checked from its head before
    // the body is read, so that a client without the token cannot hold a
    // server thread by sending one slowly; the check stays on the routes too.
    FServer->SetGate(
        [this](const httplib::Request& Req, httplib::Response& Res) { return Refuse(Req, Res); });
    server.set_pre_routing_handler([this](const httplib::Request& Req, httplib::Response& Res) {
        if (!Req.path.starts_with("/api/") && Req.path != "/metrics") return THandled::Unhandled;
        return Refuse(Req, Res) ? THandled::Handled : THandled::Unhandled;
    });
    // Whatever the routes did not answer (unknown paths, a body too large)
    // still gets a JSON reason.
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& Req,
                                                                     httplib::Response& Res) {
        if (!Res.body.empty()) return THandled::Unhandled;
        switch (Res.status) {
            case 404:
                SendError(Res, 404, "no such resource: " + Req.method + " " + Req.path);
                break;
            case 413:
                SendError(
                    Res, 413,
                    "request body larger than " + std::to_string(RpcMaxRequestBytes) + " bytes");
                break;
            default:
                SendError(Res, Res.status,
                          "HTTP request refused (" + std::to_string(Res.status) + ")");
                break;
        }
        return THandled::Handled;
    }));
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& Res, std::exception_ptr Error) {
            std::string what = "unknown";
            try {
                std::rethrow_exception(Error);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {}
            SendError(Res, 500, "internal error: " + what);
        });

    server.Get("/", [](const httplib::Request&, httplib::Response& Res) {
        // The page brings everything it needs and talks only to the hub.
        Res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; "
                       "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; "
                       "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
        Res.set_header("X-Content-Type-Options", "nosniff");
        Res.set_header("Referrer-Policy", "no-referrer");
        Res.set_header("Cache-Control", "no-store");
        Res.set_content(StatusPage.data(), StatusPage.size(), "text/html; charset=utf-8");
    });
    server.Get("/metrics",
               [this](const httplib::Request&, httplib::Response& Res) { HandleMetrics(Res); });
    server.Get("/api/v1/registers",
               [this](const httplib::Request&, httplib::Response& Res) { ListRegisters(Res); });
    server.Post(
        R"(/api/v1/registers/([A-Za-z0-9_-]+)/rpc)",
        [this](const httplib::Request& Req, httplib::Response& Res) { HandleRpc(Req, Res); });
    server.Get(
        R"(/api/v1/registers/([A-Za-z0-9_-]+)/events)",
        [this](const httplib::Request& Req, httplib::Response& Res) { HandleEvents(Req, Res); });
}

bool THub::OwnOrigin(const httplib::Request& Req, const std::string& Origin) const {
    // The status page calls from the hub's own origin. That a Host header
    // names this machine keeps a page of a foreign name that resolves here
    // (DNS rebinding) out.
    const std::string host = Req.get_header_value("Host");
    const std::string_view name = HostName(host);
    return Origin == "http://" + host && (IsLoopbackName(name) || name == FConfig.Host);
}

bool THub::Refuse(const httplib::Request& Req, httplib::Response& Res) {
    if (Req.has_header("Origin")) {
        const std::string origin = Req.get_header_value("Origin");
        const bool allowed = std::find(FConfig.AllowedOrigins.begin(), FConfig.AllowedOrigins.end(),
                                       origin) != FConfig.AllowedOrigins.end();
        if (!allowed && !OwnOrigin(Req, origin)) {
            SendError(Res, 403, "origin " + origin + " may not call the hub (see --allow-origin)");
            return true;
        }
        if (allowed) {
            Res.set_header("Access-Control-Allow-Origin", origin);
            Res.set_header("Access-Control-Expose-Headers", "Idempotent-Replayed");
            Res.set_header("Vary", "Origin");
        }
        if (Req.method == "OPTIONS") {  // a preflight carries no token
            Res.set_header("Access-Control-Allow-Methods", "GET, POST");
            Res.set_header("Access-Control-Allow-Headers",
                           "Authorization, Content-Type, Idempotency-Key");
            Res.set_header("Access-Control-Max-Age", "600");
            // A public page calling a service on this machine asks for it.
            if (Req.has_header("Access-Control-Request-Private-Network"))
                Res.set_header("Access-Control-Allow-Private-Network", "true");
            Res.status = 204;
            return true;
        }
    }
    const std::string authorization = Req.get_header_value("Authorization");
    constexpr std::string_view scheme = "Bearer ";
    if (!authorization.starts_with(scheme) ||
        !SameToken(std::string_view(authorization).substr(scheme.size()), FConfig.Token)) {
        Res.set_header("WWW-Authenticate", "Bearer realm=\"kestor-hub\"");
        SendError(Res, 401, "a valid token is needed: Authorization: Bearer TOKEN");
        return true;
    }
    return false;
}

void THub::ListRegisters(httplib::Response& Res) {
    TJson list = TJson::array();
    for (const auto& reg : FRegisters)
        list.push_back(reg->State());
    SendJson(Res, 200, DumpJson({{"registers", std::move(list)}}));
}

void THub::HandleRpc(const httplib::Request& Req, httplib::Response& Res) {
    THubRegister* reg = Find(Req.matches[1]);
    if (!reg) return SendError(Res, 404, "no register named " + std::string(Req.matches[1]));

    TJson requests;
    try {
        requests = ParseRpcJson(Req.body);
    } catch (const ERpcMalformed& e) {
        return SendError(Res, 400, e.what());
    }
    if (!requests.is_object() && !(requests.is_array() && !requests.empty()))
        return SendError(Res, 400, "expected a request object or a non-empty array of them");

    std::string key;
    if (Req.has_header("Idempotency-Key")) {
        key = Req.get_header_value("Idempotency-Key");
        if (!ValidKey(key))
            return SendError(Res, 400,
                             "Idempotency-Key: 1 to " + std::to_string(MaxKeyChars) +
                                 " visible ASCII characters");
    }
    const TReply reply = reg->Call(requests, key, Req.body);
    if (reply.Replayed) Res.set_header("Idempotent-Replayed", "true");
    SendJson(Res, reply.Status, reply.Body);
}

void THub::HandleEvents(const httplib::Request& Req, httplib::Response& Res) {
    THubRegister* reg = Find(Req.matches[1]);
    if (!reg) return SendError(Res, 404, "no register named " + std::string(Req.matches[1]));
    if (++FStreams > MaxStreams) {
        --FStreams;
        return SendError(Res, 429, "already " + std::to_string(MaxStreams) + " event streams open");
    }
    auto stream = reg->Subscribe();
    Res.set_header("Cache-Control", "no-store");
    Res.set_chunked_content_provider(
        "text/event-stream",
        [stream](std::size_t, httplib::DataSink& Sink) {
            std::string text;
            switch (stream->Next(text, KeepAliveInterval)) {
                case TEventStream::TWait::Closed:
                    Sink.done();
                    return true;
                case TEventStream::TWait::Quiet:
                    text = ": keep-alive\n\n";
                    break;
                case TEventStream::TWait::Events:
                    break;
            }
            return Sink.write(text.data(), text.size());
        },
        [this, reg, stream](bool) {
            reg->Unsubscribe(stream);
            --FStreams;
        });
}

void THub::HandleMetrics(httplib::Response& Res) {
    // Each register is read in a thread of its own: one that does not answer
    // holds up only its own reading.
    std::vector<std::thread> readers;
    for (const auto& reg : FRegisters)
        readers.emplace_back([&reg, this] { reg->RefreshStatus(FConfig.StatusInterval); });
    for (auto& reader : readers)
        reader.join();
    std::vector<TRegisterMetrics> metrics;
    for (const auto& reg : FRegisters)
        metrics.push_back(reg->Metrics());
    Res.set_header("Cache-Control", "no-store");
    Res.set_content(RenderMetrics(metrics), "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace kest::hub
