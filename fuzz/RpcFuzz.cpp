// The rpc line parser of kestorctl: lines of fuzzed text through
// TRpcSession::Run (ParseRpcJson, AnswerRequest, the trace), once against a
// driver with no register and once against one identified as a register on
// a line that never answers. Every line that is not blank gets exactly one
// answer line, and every line written is one JSON object.
#include <sstream>

#include "EngineLine.h"
#include "Rpc.h"

namespace {

using kest::fuzz::Finding;

// A register that never answers: no input, every choice its least. Open,
// Close and the line settings stay in memory, so no port of this machine is
// touched.
struct TSilence : kest::fuzz::TSource {
    bool More() const override { return false; }
    int Pick(int Min, int) override { return Min; }
    std::string Answer(std::string_view, uint8_t) override { return {}; }
};

// Runs Input through a session, then compares the answers with the lines
// that are not blank.
void Session(TKestorFPrt& Driver, std::string_view Input, bool Trace) {
    std::ostringstream out;
    kest::TRpcSession session(Driver, out, Trace, true);
    std::istringstream in{std::string(Input)}, lines{std::string(Input)};
    session.Run(in);
    std::istringstream written(out.str());
    size_t answers = 0, requests = 0;
    for (std::string line; std::getline(written, line);) {
        const kest::TJson value = kest::TJson::parse(line, nullptr, false);
        if (!value.is_object()) Finding("an answer that is not an object", line);
        answers += !value.contains("event");
    }
    for (std::string line; std::getline(lines, line);)
        requests += line.find_first_not_of(" \t\r") != std::string::npos;
    if (answers != requests) Finding("answers and lines differ", Input);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kest::fuzz::HidePorts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    const std::string_view input(reinterpret_cast<const char*>(Bytes), Size);
    TKestorFPrt none;
    Session(none, input, false);
    TSilence silence;
    kest::fuzz::TFuzzLine silent(silence);
    silent.Attach(kest::fuzz::Kinds[Size % std::size(kest::fuzz::Kinds)], mprBS);
    Session(silent, input, true);
    return 0;
}
