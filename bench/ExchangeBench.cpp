// The driver's processor time per exchange over a line in memory, beside
// the time the same bytes take on a 115200-baud line (10 bits a byte, both
// directions): "cpu_pct" is the first as a percentage of the second.
#include <malloc.h>
#include <time.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MemoryLine.h"
#include "Register.h"

namespace {

using TBody = std::function<void(TKestorFPrt&)>;

constexpr double LineRate = 115200;

int64_t ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

TKestCurrency Money(const char* Text) {
    return TKestCurrency::Parse(Text);
}

kest::emu::TConfig Model(TKestEcrModel Model) {
    kest::emu::TConfig config;
    config.Model = Model;
    config.BaudRate = 115200;
    return config;
}

void OpenShift(TKestorFPrt& D) {
    D.OpenDay(1, u"Кассир", false, D.Protocol());
}

void Receipt196(TKestorFPrt& D) {
    D.OpenReceipt(motSale);
    for (int i = 0; i < 196; ++i)
        D.AddReceiptItem(u"Товар " + std::u16string(1, char16_t(u'А' + i % 32)), Money("1.50"),
                         false, 1 + i % 16, 1000 + i, 0, 1000 + i, 3, i % 5, u"", 0);
    D.CloseReceipt(u"", mptCash, Money("100000.00"), Money("0.00"), u"", 0, moiNumberName);
}

// 300 properties: the head, items with their names, the total, the payment
// and the change.
void Composite300(TKestorFPrt& D) {
    D.OpenFiscalDoc(motSale);
    for (int line = 1; line <= 4; ++line)
        D.AddHeaderLine(line, 0, 0, line - 1);
    D.AddSerialNumber(0, 0, 4);
    D.AddDocNumber(0, 31, 4);
    D.AddTaxPayerNumber(0, 0, 5);
    D.AddDateTime(0, 0, 6);
    D.AddReceiptNumber(0, 31, 6);
    D.AddOperInfo(moiNumberName, 0, 0, 7);
    int y = 8;
    for (int i = 0; i < 287 / 2; ++i) {
        D.AddCustom(u"Товар длинного наименования номер " + std::u16string(1, u'0' + i % 10), 0, 0,
                    y++);
        D.AddItem(mitItem, Money("2.00"), false, 1, 0, 0, -1, 0, 0, u"", 0, 0, y++, 0);
    }
    D.AddCustom(u"Итог", 0, 0, y++);
    D.AddTotal(0, 0, y++, 0);
    D.AddPay(mptCash, Money("1000.00"), Money("0.00"), u"", 0, 0, y++, 0);
    D.AddChange(0, 0, y++, 0);
    D.CloseFiscalDoc();
}

void GraphicHeader(TKestorFPrt& D) {
    std::vector<uint8_t> picture(70 * 120);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<uint8_t>(i * 37);
    D.EnableGraphicHeader(70, 120, picture);
}

// Records Body once on a fresh register (after Setup), then replays it in
// the loop.
void Exchange(benchmark::State& State, TKestEcrModel Ecr, TBody Setup, TBody Body) {
    kest::emu::TRegister reg(Model(Ecr));
    TMemoryLine drv(reg);
    int64_t bytes = 0;
    try {
        drv.Record([](TKestorFPrt& D) { D.Open(); });
        if (Setup) drv.Record(Setup);
        bytes = drv.Record(Body);
    } catch (const std::exception& e) {
        State.SkipWithError(e.what());
        return;
    }
    const int64_t cpu0 = ThreadCpuNs();
    for (auto _ : State)
        drv.Replay(Body);
    const double cpuNs = static_cast<double>(ThreadCpuNs() - cpu0) / State.iterations();
    const double lineNs = static_cast<double>(bytes) * 10 / LineRate * 1e9;
    State.counters["bytes"] = static_cast<double>(bytes);
    State.counters["line_us"] = lineNs / 1000;
    State.counters["cpu_us"] = cpuNs / 1000;
    State.counters["cpu_pct"] = 100 * cpuNs / lineNs;
}

void Identification(benchmark::State& State) {
    Exchange(State, mem207_1F, {}, [](TKestorFPrt& D) {
        D.Close();
        D.Open();
    });
}
void Query(benchmark::State& State) {
    Exchange(State, mem207_1F, {}, [](TKestorFPrt& D) { D.QueryLastDocInfo(); });
}
void XReport(benchmark::State& State) {
    Exchange(State, mem207_1F, OpenShift, [](TKestorFPrt& D) { D.XReport(); });
}
void Receipt(benchmark::State& State) {
    Exchange(State, mem207_1K, OpenShift, Receipt196);
}
void Composite(benchmark::State& State) {
    Exchange(State, mem207_1F, OpenShift, Composite300);
}
void Graphic(benchmark::State& State) {
    Exchange(State, mem207_1F, {}, GraphicHeader);
}

// The heap a connected driver holds, the largest receipt built in it.
void DriverMemory(benchmark::State& State) {
    kest::emu::TRegister reg(Model(mem207_1K));
    size_t heap = 0;
    for (auto _ : State) {
        const size_t before = mallinfo2().uordblks;
        auto drv = std::make_unique<TMemoryLine>(reg);
        drv->Record([](TKestorFPrt& D) { D.Open(); });
        drv->OpenReceipt(motSale);
        for (int i = 0; i < 196; ++i)
            drv->AddReceiptItem(u"Товар", Money("1.50"), false, 1, 1000 + i, 0, 1000, 3, 0, u"", 0);
        heap = mallinfo2().uordblks - before;
        benchmark::DoNotOptimize(drv);
    }
    State.counters["object_bytes"] = sizeof(TKestorFPrt);
    State.counters["heap_bytes"] = static_cast<double>(heap);
}

}  // namespace

BENCHMARK(Identification);
BENCHMARK(Query);
BENCHMARK(XReport);
BENCHMARK(Receipt);
BENCHMARK(Composite);
BENCHMARK(Graphic);
BENCHMARK(DriverMemory)->Iterations(1);

BENCHMARK_MAIN();
