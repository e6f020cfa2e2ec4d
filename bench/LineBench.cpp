// The driver over a real line: the register at the end of KESTOR_BENCH_DEVICE
// (a pseudo-terminal of kestor-emu or kestor-bench-peer) at
// KESTOR_BENCH_BAUD (115200 when unset).
//   Query: the round trip of "E" (QueryFirmwareInfo), the figure to set
//     beside kestor-bench-floor on the same device.
//   GraphicHeader, Text: with the emulator pacing its line, the time beside
//     the line time of the bytes that crossed it (10 bits a byte):
//     "efficiency_pct"; "overhead_us" is the time beyond the line's.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "KestorFPrt.h"

namespace {

int BenchBaudRate() {
    const char* baud = std::getenv("KESTOR_BENCH_BAUD");
    return baud && *baud ? std::atoi(baud) : 115200;
}

// The driver on the bench device, its line bytes counted through the data events.
class TBenchDriver : public TKestorFPrt {
public:
    TBenchDriver() {
        const char* device = std::getenv("KESTOR_BENCH_DEVICE");
        if (!device || !*device) throw std::runtime_error("KESTOR_BENCH_DEVICE is not set");
        // Opened before the driver takes the line exclusively, to let it go
        // again for the other clients once the driver has closed.
        FWatch = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        setenv("KESTOR_COM9", device, 1);
        SetPortNum(9);
        SetBaudRate(BenchBaudRate());
        // A pty takes the whole request at once, so the wait for the answer
        // begins while a paced register is still taking it in.
        SetInternalTimeout(120'000);
        SetExternalTimeout(120'000);
        Open();
    }
    ~TBenchDriver() override {
        Close(true);
        if (FWatch >= 0) {
            ioctl(FWatch, TIOCNXCL);
            close(FWatch);
        }
    }
    int64_t Bytes = 0;

protected:
    void DoDataSend(const void* Data, int Size) override {
        Bytes += Size;
        TKestorFPrt::DoDataSend(Data, Size);
    }
    void DoDataReceive(const void* Data, int Size) override {
        Bytes += Size;
        TKestorFPrt::DoDataReceive(Data, Size);
    }

private:
    int FWatch = -1;
};

template <class F>
void Run(benchmark::State& State, F&& Body) {
    std::unique_ptr<TBenchDriver> drv;
    try {
        drv = std::make_unique<TBenchDriver>();
    } catch (const std::exception& e) {
        State.SkipWithError(e.what());
        return;
    }
    drv->Bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : State) {
        try {
            Body(*drv);
        } catch (const std::exception& e) {
            State.SkipWithError(e.what());
            return;
        }
    }
    const double wallUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count() /
        State.iterations();
    const double lineUs =
        static_cast<double>(drv->Bytes) / State.iterations() * 10 / BenchBaudRate() * 1e6;
    State.counters["bytes"] = static_cast<double>(drv->Bytes) / State.iterations();
    State.counters["line_us"] = lineUs;
    State.counters["efficiency_pct"] = 100 * lineUs / wallUs;
    State.counters["overhead_us"] = wallUs - lineUs;
}

void Query(benchmark::State& State) {
    Run(State, [](TKestorFPrt& D) { D.QueryFirmwareInfo(); });
}

void GraphicHeader(benchmark::State& State) {
    std::vector<uint8_t> picture(70 * 120);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<uint8_t>(i * 37);
    Run(State, [&](TKestorFPrt& D) { D.EnableGraphicHeader(70, 120, picture); });
}

// 4 KB of text: 100 lines of 40 characters and a line feed.
void Text(benchmark::State& State) {
    std::u16string text;
    for (int i = 0; i < 100; ++i)
        text += std::u16string(40, char16_t(u'A' + i % 26)) + u"\\0A";
    Run(State, [&](TKestorFPrt& D) { D.PrintNonFiscal(text); });
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // A fixed count of queries (KESTOR_BENCH_ITERATIONS), for counting the
    // system calls of one.
    auto* query = benchmark::RegisterBenchmark("Query", Query)->UseRealTime();
    if (const char* count = std::getenv("KESTOR_BENCH_ITERATIONS"))
        query->Iterations(std::atoi(count));
    benchmark::RegisterBenchmark("GraphicHeader", GraphicHeader)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Text", Text)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
