// The checksum against the machine's limit: a plain read of the same 64 MiB
// buffer, and the straightforward word-at-a-time loop for comparison.
//   build/bench/checksum_bench
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "checksum.h"
#include "reference_checksum.h"

namespace {

const size_t kBufferSize = size_t(64) << 20;

const std::vector<uint8_t>& Buffer()
{
    static const std::vector<uint8_t> buffer = [] {
        std::vector<uint8_t> bytes(kBufferSize);
        uint32_t state = 1;
        for (uint8_t& b : bytes) {
            state = state * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(state >> 24);
        }
        return bytes;
    }();
    return buffer;
}

void MemoryRead(benchmark::State& state)
{
    const std::vector<uint8_t>& buffer = Buffer();
    for (auto _ : state) {
        uint64_t sum = 0;
        for (size_t i = 0; i < buffer.size(); i += 8) {
            uint64_t eight;
            std::memcpy(&eight, buffer.data() + i, sizeof eight);
            sum += eight;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferSize));
}

void Checksum(benchmark::State& state)
{
    const std::vector<uint8_t>& buffer = Buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(OnesComplementSum(buffer.data(), buffer.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferSize));
}

void WordAtATime(benchmark::State& state)
{
    const std::vector<uint8_t>& buffer = Buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(ReferenceOnesComplementSum(buffer.data(), buffer.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferSize));
}

}  // namespace

BENCHMARK(MemoryRead)->Unit(benchmark::kMillisecond);
BENCHMARK(Checksum)->Unit(benchmark::kMillisecond);
BENCHMARK(WordAtATime)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
