// Writes seed inputs for fuzz_engine: the operations of EngineLine.h run
// against the emulator's register, each answer recorded as a chunk of its
// bytes and each choice as the bytes FuzzedDataProvider reads it from, so
// that the fuzzer starts from real answers of every command on every
// generation. What the driver wrote goes to the seeds of fuzz_emulator, as
// real requests of every command. Usage: fuzz_engine_seeds ENGINE_DIR EMULATOR_DIR
#include <fstream>
#include <vector>

#include "EngineLine.h"
#include "Register.h"

namespace {

using namespace kest::fuzz;

// The emulator's firmware tags for the kinds of EngineLine.h, in its order.
constexpr const char* Firmware[] = {"1.0", "2.0", "", "6.0", "", "", "", ""};
static_assert(std::size(Firmware) == std::size(Kinds));
// The same registers in the table of EmulatorFuzz.cpp, on BS and on XON/XOFF.
constexpr char EmulatorKind[][2] = {{0, 0}, {1, 2},   {3, 4},   {5, 6},
                                    {8, 9}, {10, 11}, {12, 13}, {14, 15}};
static_assert(std::size(EmulatorKind) == std::size(Kinds));

class TRecorder : public TSource {
public:
    TRecorder(int Kind, bool XonXoff, std::vector<int> Operations)
        : FKind(Kind),
          FXonXoff(XonXoff),
          FOperations(std::move(Operations)),
          FRegister({.Model = Kinds[Kind].Model, .Firmware = Firmware[Kind], .XonXoff = XonXoff}) {}

    bool More() const override { return FNext < FOperations.size(); }

    int Pick(int Min, int Max) override {
        // The register's kind, its protocol, then a fixed pseudo-random sequence.
        const int value =
            FPicks++ == 0 ? FKind
            : FPicks == 2 && Kinds[FKind].Generation > 1
                ? FXonXoff
                : Min + static_cast<int>((FRandom = FRandom * 1103515245 + 12345) >> 16) %
                            (Max - Min + 1);
        Record(value - Min, static_cast<unsigned>(Max - Min));
        return value;
    }

    int PickOperation(int Count) override {
        const int op = FOperations[FNext++];
        Record(op, static_cast<unsigned>(Count - 1));
        return op;
    }

    std::string Answer(std::string_view Written, uint8_t) override {
        FRegister.Receive(Written, FNow, 0);
        // Emulator input: the bytes as they stand, then the clock a second on.
        FHost += Chunk(Written) + "\xC0\x64";
        FNow += std::chrono::seconds(90);  // past every wait of the register
        const std::string answer = FRegister.Poll(FNow);
        FFront += Chunk(answer);
        return answer;
    }

    std::string Input() const { return FFront + std::string(FBack.rbegin(), FBack.rend()); }
    std::string HostInput() const { return EmulatorKind[FKind][FXonXoff] + FHost; }

private:
    // Bytes in a chunk of mode 0: two bytes of header, their size, then them.
    static std::string Chunk(std::string_view Bytes) {
        return std::string{static_cast<char>(Bytes.size() >> 8 & 0x3F),
                           static_cast<char>(Bytes.size() & 0xFF)} +
               std::string(Bytes);
    }

    // The bytes, most significant first, that FuzzedDataProvider takes from
    // the back for Value in a range of Range + 1.
    void Record(int Value, unsigned Range) {
        const size_t at = FBack.size();
        for (unsigned r = Range; r > 0; r >>= 8, Value >>= 8)
            FBack.insert(at, 1, static_cast<char>(Value & 0xFF));
    }

    int FKind;
    bool FXonXoff;
    std::vector<int> FOperations;
    size_t FNext = 0;
    int FPicks = 0;
    uint32_t FRandom = 1;
    kest::emu::TRegister FRegister;
    kest::emu::TRegister::TClock::time_point FNow{std::chrono::hours(1)};
    std::string FFront, FBack, FHost;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_engine_seeds ENGINE_DIR EMULATOR_DIR\n");
        return 2;
    }
    int count = 0;
    for (int kind = 0; kind < static_cast<int>(std::size(Kinds)); ++kind)
        for (const bool xonXoff : {false, true}) {
            if (xonXoff && Kinds[kind].Generation == 1) continue;
            for (int op = 0; op < OperationCount; ++op) {
                // The shift opened (19), then the operation.
                TRecorder recorder(kind, xonXoff, {19, op});
                RunInput(recorder);
                const std::string name =
                    "/seed-" + std::to_string(kind) + (xonXoff ? "x-" : "-") + std::to_string(op);
                std::ofstream(argv[1] + name, std::ios::binary) << recorder.Input();
                std::ofstream(argv[2] + name, std::ios::binary) << recorder.HostInput();
                ++count;
            }
        }
    std::printf("%d seeds\n", count);
    return 0;
}
