// The C interface: each input, cut at its first NUL as a C caller's text
// would be, is one request to kestor_call on a driver with no register, with
// an event handler set. Every answer is one JSON object, none is NULL.
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>
#include "Fuzz.h"
#include "kestor_c.h"

namespace {

int Events = 0;

int KESTOR_CALL CountEvent(void* Context, const char* Event) {
    if (Context != &Events || !nlohmann::json::accept(Event))
        kest::fuzz::Finding("bad event", Event);
    ++Events;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kest::fuzz::HidePorts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    const std::string request(reinterpret_cast<const char*>(Bytes), Size);
    kestor_t* driver = kestor_create();
    kestor_set_event_handler(driver, Size % 2 ? CountEvent : nullptr, &Events);
    char* answer = kestor_call(driver, request.c_str());
    if (!answer) kest::fuzz::Finding("no answer", request);
    const auto value = nlohmann::json::parse(answer, nullptr, false);
    if (!value.is_object() || !value.contains("ok")) kest::fuzz::Finding("answer", answer);
    kestor_free(answer);
    kestor_destroy(driver);
    return 0;
}
