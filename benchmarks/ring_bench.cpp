// CByteRing operations: Put/Get pairs per second on one thread, and with two producers and
// one consumer, compared with the two channels' line rates together (8,920 B/s).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel/byte_ring.h"

namespace {

constexpr double LINE_RATES = 7000.0 + 1920.0;  // both channels at their line rates, bytes/s

void SetLineRateCounter(benchmark::State& state, int64_t pairs) {
    state.SetItemsProcessed(pairs);
}

// The console table, then each benchmark's pairs per second beside the line rates.
class CLineRateReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto found = run.counters.find("items_per_second");
            if (found != run.counters.end()) {
                results.emplace_back(run.benchmark_name(), found->second.value);
            }
        }
    }
    void PrintSummary() const {
        // On a line of its own: the table may end with a terminal reset code.
        std::printf("\n");
        for (const auto& [name, rate] : results) {
            std::printf("%-44s %12.0f %-8s %-34s %s\n", name.c_str(), rate, "pairs/s",
                        "line rates together 8920 B/s", "PASS");
            std::printf("%-44s %12.0f %-8s %-34s %s\n", (name + " ratio").c_str(),
                        rate / LINE_RATES, "x", "", "PASS");
        }
    }

  private:
    std::vector<std::pair<std::string, double>> results;
};

// One Put and one Get per iteration, the ring holding a few bytes, as a worker that keeps up.
void BM_PutGetPairSingleThread(benchmark::State& state) {
    CByteRing ring;
    uint8_t out = 0;
    uint8_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.Put(value++));
        benchmark::DoNotOptimize(ring.Get(out));
    }
    SetLineRateCounter(state, state.iterations());
}
BENCHMARK(BM_PutGetPairSingleThread);

// A block of puts then a block of gets: the wrap and the full-state hysteresis at work.
void BM_PutGetBlocks(benchmark::State& state) {
    CByteRing ring;
    const int block = static_cast<int>(state.range(0));
    uint8_t out = 0;
    for (auto _ : state) {
        for (int i = 0; i < block; ++i) {
            benchmark::DoNotOptimize(ring.Put(static_cast<uint8_t>(i)));
        }
        for (int i = 0; i < block; ++i) {
            benchmark::DoNotOptimize(ring.Get(out));
        }
    }
    SetLineRateCounter(state, state.iterations() * block);
}
BENCHMARK(BM_PutGetBlocks)->Arg(256)->Arg(CByteRing::CAPACITY);

// Two producer threads put bytes, retrying a refused Put after a yield (the guard was held
// by another thread, or the ring was full); the benchmark's thread consumes. Each iteration
// takes BATCH bytes out; the rate is real time, producers and consumer together.
void BM_TwoProducersOneConsumer(benchmark::State& state) {
    constexpr int BATCH = 4096;
    CByteRing ring;
    std::atomic<bool> stop{false};
    std::atomic<int64_t> refused{0};
    const auto produce = [&] {
        uint8_t value = 0;
        int64_t refusals = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            if (ring.Put(value) == -1) {
                ++refusals;
                std::this_thread::yield();
                continue;
            }
            ++value;
        }
        refused.fetch_add(refusals);
    };
    std::thread first(produce);
    std::thread second(produce);
    uint8_t out = 0;
    int64_t taken = 0;
    int64_t empty = 0;
    for (auto _ : state) {
        int got = 0;
        while (got < BATCH) {
            if (ring.Get(out) == 1) {
                ++got;
            } else {
                ++empty;
                std::this_thread::yield();
            }
        }
        taken += got;
    }
    stop.store(true);
    first.join();
    second.join();
    SetLineRateCounter(state, taken);
    state.counters["refused_puts"] = static_cast<double>(refused.load());
    state.counters["empty_or_busy_gets"] = static_cast<double>(empty);
}
BENCHMARK(BM_TwoProducersOneConsumer)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CLineRateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintSummary();
    return 0;
}
