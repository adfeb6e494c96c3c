// The benchmark's baseline: a plain read of a buffer that sums its 64-bit
// words. In its own translation unit, -O3, and with SSE2 in every build
// (the pe32 build adds -msse2 for this file alone), so that the ratio
// between the two says how close the checksum comes to merely reading the
// bytes.
#include "plain_read.h"

#include <cstring>

uint64_t PlainRead(const uint8_t* data, size_t size)
{
    // One sum over the 64-bit words: the compiler vectorises it, one load
    // and one add per 16 bytes.
    uint64_t sum = 0;
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        sum += word;
    }
    return sum;
}
