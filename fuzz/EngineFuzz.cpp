// The engine's answer path (EngineLine.h) on fuzzed input: the operations'
// choices from the back of the input, the register's bytes from the front in
// chunks of two bytes of header (mode in the top two bits, then a 14-bit
// length) and their bytes. Modes: 0 the bytes as they stand; 1 an answer
// frame around them, its echo the request's command and its checksum right;
// 2 an ACK, then such a frame; 3 a frame around them with the checksum right.
#include <fuzzer/FuzzedDataProvider.h>

#include "EngineLine.h"

namespace {

using namespace kest::fuzz;

class TFuzzedSource : public TSource {
public:
    TFuzzedSource(const uint8_t* Bytes, size_t Size) : FData(Bytes, Size) {}

    bool More() const override { return FData.remaining_bytes() > 0; }
    int Pick(int Min, int Max) override { return FData.ConsumeIntegralInRange(Min, Max); }

    std::string Answer(std::string_view, uint8_t Cmd) override {
        if (FData.remaining_bytes() < 2) return {};
        const auto head = FData.ConsumeBytes<uint8_t>(2);
        const int mode = head[0] >> 6;
        const size_t size = static_cast<size_t>((head[0] & 0x3F) << 8 | head[1]);
        std::string bytes = FData.ConsumeBytesAsString(size);
        if (mode == 0) return bytes;
        if (mode != 3) bytes.insert(bytes.begin(), static_cast<char>(Cmd));
        return (mode == 2 ? std::string(1, Ack) : std::string()) + Framed(bytes);
    }

private:
    mutable FuzzedDataProvider FData;  // remaining_bytes is not const
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    TFuzzedSource source(Bytes, Size);
    RunInput(source);
    return 0;
}
