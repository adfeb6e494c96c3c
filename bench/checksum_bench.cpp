// The checksum against the machine's limit: a plain read of the same buffer,
// compiled as the checksum is, and for comparison the checksum's portable
// loop (the one processors without SSE2 run) and the straightforward
// word-at-a-time loop; on a 64 MiB buffer (memory) and a 256 KiB one (cache).
// After Google Benchmark's table it prints each one's median rate as a ratio
// to the read's. By default 15 repetitions, interleaved at random, so that a
// busy machine slows all of them alike (any --benchmark_ flag overrides).
//   build/bench/checksum_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "checksum.h"
#include "checksum_paths.h"
#include "plain_read.h"
#include "reference_checksum.h"

namespace {

const size_t kSizes[] = {size_t(64) << 20, size_t(256) << 10};

const std::vector<uint8_t>& Buffer(size_t size)
{
    static std::map<size_t, std::vector<uint8_t>> buffers;
    std::vector<uint8_t>& bytes = buffers[size];
    if (bytes.empty()) {
        bytes.resize(size);
        uint32_t state = 1;
        for (uint8_t& b : bytes) {
            state = state * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(state >> 24);
        }
    }
    return bytes;
}

// Bytes per second of each repetition, by buffer size and what ran.
std::map<size_t, std::map<std::string, std::vector<double>>> g_rates;

template <typename Work>
void Measure(benchmark::State& state, const char* name, Work work)
{
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t>& buffer = Buffer(size);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        benchmark::DoNotOptimize(work(buffer.data(), buffer.size()));
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    g_rates[size][name].push_back(double(state.iterations()) * double(size) / seconds.count());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void PlainReadOfBuffer(benchmark::State& state)
{
    Measure(state, "plain read", PlainRead);
}

void Checksum(benchmark::State& state)
{
    Measure(state, "checksum", OnesComplementSum);
}

void PortableLoop(benchmark::State& state)
{
    Measure(state, "portable loop", OnesComplementSumScalar);
}

void WordAtATime(benchmark::State& state)
{
    Measure(state, "word at a time", ReferenceOnesComplementSum);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Sizes(benchmark::internal::Benchmark* benchmark)
{
    for (size_t size : kSizes)
        benchmark->Arg(static_cast<int64_t>(size));
}

}  // namespace

BENCHMARK(PlainReadOfBuffer)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(Checksum)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(PortableLoop)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(WordAtATime)->Apply(Sizes)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    std::vector<char*> arguments{argv[0], const_cast<char*>("--benchmark_repetitions=15"),
                                 const_cast<char*>("--benchmark_enable_random_interleaving=true"),
                                 const_cast<char*>("--benchmark_report_aggregates_only=true")};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printf("\nchecksum loop: %s\n", ChecksumUsesSse2() ? "SSE2" : "portable (no SSE2)");
    printf("median rates, as a ratio to the plain read of the same buffer:\n");
    for (const auto& [size, rates] : g_rates) {
        if (rates.count("plain read") == 0)
            continue;
        const double read = Median(rates.at("plain read"));
        for (const auto& [name, values] : rates)
            printf("  %6zu KiB  %-15s %6.2f GB/s  %.2f x read\n", size >> 10, name.c_str(),
                   Median(values) / 1e9, Median(values) / read);
    }
    return 0;
}
