// The C interface (kestor_c.h): each call is one `kestorctl rpc` line, answered by the same
// code. Nothing thrown inside may cross into the caller's language.
#define KESTOR_C_BUILDING
#include "kestor_c.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "Rpc.h"

struct kestor {
    TKestorFPrt Driver;
    kestor_event_handler Handler = nullptr;
    void* Context = nullptr;
    // Installed while a handler is set, so that no event is built for nobody.
    std::optional<kest::TRpcEvents> Events;
};

namespace {

// A copy the caller frees with kestor_free; NULL when memory is short.
char* Copy(const std::string& Text) {
    char* copy = static_cast<char*>(std::malloc(Text.size() + 1));
    if (copy) std::memcpy(copy, Text.c_str(), Text.size() + 1);
    return copy;
}

std::string Refusal(const char* Why) {
    return kest::DumpAnswer({{"ok", false}, {"error", Why}}, "");
}

}  // namespace

extern "C" {

kestor_t* KESTOR_CALL kestor_create(void) {
    try {
        return new kestor;
    } catch (...) {
        return nullptr;
    }
}

void KESTOR_CALL kestor_destroy(kestor_t* driver) {
    try {
        delete driver;
    } catch (...) {  // a destructor that fails leaves nothing to report to
    }
}

char* KESTOR_CALL kestor_call(kestor_t* driver, const char* request_json) {
    try {
        if (!driver) return Copy(Refusal("no driver object (NULL)"));
        if (!request_json) return Copy(Refusal("no request (NULL)"));
        const std::string_view text(request_json,
                                    strnlen(request_json, kest::RpcMaxRequestBytes + 1));
        if (text.size() > kest::RpcMaxRequestBytes)
            return Copy(Refusal(
                ("request longer than " + std::to_string(kest::RpcMaxRequestBytes) + " bytes")
                    .c_str()));
        try {
            return Copy(kest::DumpAnswer(
                kest::AnswerRequest(driver->Driver, kest::ParseRpcJson(text)), text));
        } catch (const kest::ERpcMalformed& e) {
            return Copy(Refusal(e.what()));
        }
    } catch (...) {
        return nullptr;  // memory is short: nothing better can be given back
    }
}

void KESTOR_CALL kestor_free(char* answer) {
    std::free(answer);
}

void KESTOR_CALL kestor_abort(kestor_t* driver) {
    try {
        if (driver) driver->Driver.AbortRequest();
    } catch (...) {}
}

void KESTOR_CALL kestor_set_event_handler(kestor_t* driver, kestor_event_handler handler,
                                          void* context) {
    if (!driver) return;
    try {
        driver->Events.reset();
        driver->Handler = handler;
        driver->Context = context;
        if (!handler) return;
        driver->Events.emplace(driver->Driver, [driver](const kest::TJson& Event) {
            return driver->Handler(driver->Context, kest::DumpAnswer(Event, "").c_str()) != 0;
        });
    } catch (...) {
        driver->Handler = nullptr;
    }
}

const char* KESTOR_CALL kestor_version(void) {
    return KESTOR_VERSION;
}

}  // extern "C"
