// The checksum's rate in the shipped 32-bit Windows image, which Google
// Benchmark does not build for: a plain read with SSE2 (memory's bound),
// the checksum, and its portable loop (what processors without SSE2 run),
// timed in turn over a 64 MiB and a 256 KiB buffer, 15 rounds each. It says
// first which loop the checksum runs on this processor.
//   wine build/pe32/bin/bench/checksum_rates.exe   (only where 32-bit code runs natively)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "checksum.h"
#include "checksum_paths.h"
#include "plain_read.h"

namespace {

volatile uint64_t g_sink;

// Bytes per second of one sample: some 256 MiB of passes over the buffer.
template <typename Work>
double Rate(const std::vector<uint8_t>& buffer, Work work)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    const int passes = static_cast<int>((size_t(1) << 28) / buffer.size()) + 1;
    QueryPerformanceCounter(&start);
    for (int pass = 0; pass < passes; ++pass)
        g_sink = g_sink + work(buffer.data(), buffer.size());
    QueryPerformanceCounter(&end);
    const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    return double(passes) * double(buffer.size()) / seconds;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main()
{
    printf("checksum loop: %s\n", ChecksumUsesSse2() ? "SSE2" : "portable (no SSE2)");
    for (size_t size : {size_t(64) << 20, size_t(256) << 10}) {
        std::vector<uint8_t> buffer(size);
        uint32_t state = 1;
        for (uint8_t& b : buffer)
            b = static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
        // The three are timed in turn, so that other work on the machine
        // slows those of a round alike; each ratio is the median of the
        // rounds' ratios to the read.
        std::vector<double> read, checksum, portable, checksumRatio, portableRatio;
        for (int round = 0; round < 15; ++round) {
            read.push_back(Rate(buffer, PlainRead));
            checksum.push_back(Rate(buffer, OnesComplementSum));
            portable.push_back(Rate(buffer, OnesComplementSumScalar));
            checksumRatio.push_back(checksum.back() / read.back());
            portableRatio.push_back(portable.back() / read.back());
        }
        printf(
            "%6u KiB  plain read %6.2f GB/s  checksum %6.2f GB/s %.2f x read (rounds %.2f to %.2f)"
            "  portable loop %6.2f GB/s %.2f x read\n",
            static_cast<unsigned>(size >> 10), Median(read) / 1e9, Median(checksum) / 1e9,
            Median(checksumRatio), *std::min_element(checksumRatio.begin(), checksumRatio.end()),
            *std::max_element(checksumRatio.begin(), checksumRatio.end()), Median(portable) / 1e9,
            Median(portableRatio));
    }
    return 0;
}
