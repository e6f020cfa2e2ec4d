// The rpc line parser of kestorctl: lines of fuzzed text through
// TRpcSession::Run (ParseRpcJson, AnswerRequest, the trace), once against a
// driver with no register and once against one identified as a register on
// a line that never answers. Every line that is not blank gets exactly one
// answer line, and every line written is one JSON object.
#include <sstream>
#include <string>

#include "Fuzz.h"
#include "Rpc.h"

namespace {

using kest::fuzz::Finding;

// A register that never answers; Open, Close and the line settings stay in
// memory, so no port of this machine is touched.
class TSilentLine : public TKestorFPrt {
public:
    void Attach(int Generation) {
        FActive = FConnected = true;
        FConnState = mcsIdle;
        FGeneration = Generation;
        FEcrModel = Generation == 8 ? mem207_1K : Generation == 7 ? memPCK : mem207_1F;
        FEKLZSupported = Generation >= 7;
        FDocStatus = mdsClosed;
        FInternalTimeout = FExternalTimeout = 1;
    }

protected:
    void OpenPort() override { FConnected = true; }
    void ClosePort(bool) override { FConnected = false; }
    void ClearPort() override {}
    void SendData(const void* Data, int Size) override {
        CheckAbort();
        DoDataSend(Data, Size);
    }
    int ReceiveData(void*, int Size, bool Wait) override {
        CheckAbort();
        if (Wait && Size > 0) ThenIdle([&] { AskNoResponse(); });
        return 0;
    }
};

size_t AnswerLines(const std::string& Output) {
    size_t answers = 0;
    std::istringstream lines(Output);
    for (std::string line; std::getline(lines, line);) {
        const kest::TJson value = kest::TJson::parse(line, nullptr, false);
        if (!value.is_object()) Finding("an answer that is not an object", line);
        answers += !value.contains("event");
    }
    return answers;
}

size_t RequestLines(std::string_view Input) {
    size_t requests = 0;
    std::istringstream lines{std::string(Input)};
    for (std::string line; std::getline(lines, line);)
        requests += line.find_first_not_of(" \t\r") != std::string::npos;
    return requests;
}

void Session(TKestorFPrt& Driver, std::string_view Input, bool Trace) {
    std::ostringstream out;
    kest::TRpcSession session(Driver, out, Trace, true);
    std::istringstream in{std::string(Input)};
    session.Run(in);
    if (AnswerLines(out.str()) != RequestLines(Input)) Finding("answers and lines differ", Input);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Open on the driver with no register must find no port of this machine.
    for (int port = 1; port <= 24; ++port)
        setenv(("KESTOR_COM" + std::to_string(port)).c_str(), "/nonexistent/kestor-fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    const std::string_view input(reinterpret_cast<const char*>(Bytes), Size);
    TKestorFPrt none;
    Session(none, input, false);
    TSilentLine silent;
    constexpr int Generations[] = {1, 2, 3, 6, 7, 8};
    silent.Attach(Generations[Size % std::size(Generations)]);
    Session(silent, input, true);
    return 0;
}
