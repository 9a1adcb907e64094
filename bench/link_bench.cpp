// Speed of the CRC engine's block form and of page-frame building, measured
// against Boost.CRC's table-driven CRC-16/CCITT-FALSE in the same run.
#include <benchmark/benchmark.h>
#include <boost/crc.hpp>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "link/crc.h"
#include "link/frame.h"

namespace {

using BoostCcittFalse = boost::crc_optimal<16, 0x1021, 0xFFFF, 0, false, false>;

gimbal::Bytes randomData(std::size_t n) {
    std::mt19937 rng(42);
    gimbal::Bytes data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    return data;
}

void BM_CcrcBlock(benchmark::State& state) {
    const auto data = randomData(static_cast<std::size_t>(state.range(0)));
    const gimbal::Ccrc& crc = gimbal::linkCrc();
    for (auto _ : state) benchmark::DoNotOptimize(crc.crctablefast(data.data(), data.size()));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_BoostCrcBlock(benchmark::State& state) {
    const auto data = randomData(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        BoostCcittFalse crc;
        crc.process_bytes(data.data(), data.size());
        benchmark::DoNotOptimize(crc.checksum());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Reconfiguring on every call, as an engine that is not configured once would.
void BM_CcrcBlockWithInit(benchmark::State& state) {
    const auto data = randomData(static_cast<std::size_t>(state.range(0)));
    gimbal::Ccrc crc;
    for (auto _ : state) {
        gimbal::configureLinkCrc(crc);
        benchmark::DoNotOptimize(crc.crctablefast(data.data(), data.size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_PageFrame(benchmark::State& state) {
    const auto block = randomData(1024);
    std::uint16_t page = 0;
    for (auto _ : state) benchmark::DoNotOptimize(gimbal::buildBlockFrame(page++, block));
}

BENCHMARK(BM_CcrcBlock)->Arg(1024)->Arg(512 * 1024);
BENCHMARK(BM_BoostCrcBlock)->Arg(1024)->Arg(512 * 1024);
BENCHMARK(BM_CcrcBlockWithInit)->Arg(1024);
BENCHMARK(BM_PageFrame);

// Console output as usual, plus the times kept for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* size : {"1024", "524288"}) {
        const auto ours = reporter.times.find(std::string("BM_CcrcBlock/") + size);
        const auto boost = reporter.times.find(std::string("BM_BoostCrcBlock/") + size);
        if (ours != reporter.times.end() && boost != reporter.times.end() && boost->second > 0)
            std::printf("Ccrc / Boost.CRC time ratio at %s bytes: %.2f\n", size, ours->second / boost->second);
    }
    benchmark::Shutdown();
    return 0;
}
