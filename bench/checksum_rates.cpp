// The checksum's rate in the shipped 32-bit Windows image, which Google
// Benchmark does not build for: the median of 15 timed passes over a 64 MiB
// and a 256 KiB buffer, beside a plain read compiled the same way.
//   wine build/pe32/bin/bench/checksum_rates.exe   (only where 32-bit code runs natively)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "checksum.h"
#include "plain_read.h"

namespace {

volatile uint64_t g_sink;

template <typename Work>
double MedianRate(const std::vector<uint8_t>& buffer, Work work)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    const int passes = static_cast<int>((size_t(1) << 28) / buffer.size()) + 1;   // some 256 MiB a sample
    std::vector<double> rates;
    for (int sample = 0; sample < 15; ++sample) {
        QueryPerformanceCounter(&start);
        for (int pass = 0; pass < passes; ++pass)
            g_sink = g_sink + work(buffer.data(), buffer.size());
        QueryPerformanceCounter(&end);
        const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        rates.push_back(double(passes) * double(buffer.size()) / seconds);
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

}  // namespace

int main()
{
    for (size_t size : {size_t(64) << 20, size_t(256) << 10}) {
        std::vector<uint8_t> buffer(size);
        uint32_t state = 1;
        for (uint8_t& b : buffer)
            b = static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
        const double read = MedianRate(buffer, PlainRead);
        const double checksum = MedianRate(buffer, OnesComplementSum);
        printf("%6u KiB  plain read %6.2f GB/s  checksum %6.2f GB/s  %.2f x read\n",
               static_cast<unsigned>(size >> 10), read / 1e9, checksum / 1e9, checksum / read);
    }
    return 0;
}
