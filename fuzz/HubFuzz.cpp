// The request handling of kestor-hub without a socket: a fuzzed request's
// method, path, headers and body through the checks of every /api call
// (origin, token) and the rpc route (body, Idempotency-Key), as the HTTP
// server would call them. The register behind the hub has no device.
//
// What must hold: a call without the right bearer token is refused (401, or
// 403 and 204 for origins), every refusal is a JSON object with "error",
// and every answer is JSON.
//
// Input: "METHOD PATH" on the first line, "Name: value" lines, an empty line,
// the body.
#include <httplib.h>

#include <regex>

#include "Fuzz.h"
#include "Hub.h"

namespace {

using namespace kest::hub;

constexpr const char* Token = "fuzz-token-0123456789abcdef";

[[noreturn]] void Finding(const char* What, const httplib::Response& Res) {
    kest::fuzz::Finding(What, std::to_string(Res.status) + " " + Res.body);
}

std::string_view NextLine(std::string_view& Text) {
    const size_t end = Text.find('\n');
    std::string_view line = Text.substr(0, end);
    Text.remove_prefix(end == std::string_view::npos ? Text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

httplib::Request Parse(std::string_view Text) {
    httplib::Request req;
    const std::string_view first = NextLine(Text);
    const size_t space = first.find(' ');
    req.method = first.substr(0, space);
    req.path = space == std::string_view::npos ? "" : first.substr(space + 1);
    while (!Text.empty()) {
        const std::string_view line = NextLine(Text);
        if (line.empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view value = line.substr(colon + 1);
        value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
        req.headers.emplace(line.substr(0, colon), value);
    }
    req.body = Text;
    return req;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("KESTOR_COM1", "/nonexistent/kestor-fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    static const std::regex rpcPath(R"(/api/v1/registers/([A-Za-z0-9_-]+)/rpc)");
    httplib::Request req = Parse(std::string_view(reinterpret_cast<const char*>(Bytes), Size));
    if (!req.path.starts_with("/api/")) return 0;

    THubConfig config;
    config.Token = Token;
    config.AllowedOrigins = {"https://shop.example"};
    config.Registers.push_back({"till1", 1, {}, {}});
    config.Limits.InternalTimeout = config.Limits.ExternalTimeout = 1;
    THub hub(config);

    httplib::Response res;
    if (hub.Refuse(req, res)) {
        if (res.status != 401 && res.status != 403 && res.status != 204)
            Finding("a refusal of another status", res);
        if (res.status != 204 && !kest::TJson::parse(res.body, nullptr, false).contains("error"))
            Finding("a refusal without its reason", res);
        return 0;
    }
    if (req.get_header_value("Authorization") != std::string("Bearer ") + Token)
        Finding("a call without the token passed", res);
    if (req.method != "POST" || !std::regex_match(req.path, req.matches, rpcPath)) return 0;
    hub.HandleRpc(req, res);
    const kest::TJson body = kest::TJson::parse(res.body, nullptr, false);
    if (body.is_discarded()) Finding("an answer that is not JSON", res);
    if (res.status >= 400 && !body.contains("error")) Finding("a refusal without its reason", res);
    return 0;
}
