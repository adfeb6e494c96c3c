// The benchmark's baseline: a plain read of a buffer that sums its 64-bit
// words. Compiled exactly as the checksum is (its own
// translation unit, -O3), so that the ratio between the two says how close
// the checksum comes to merely reading the bytes.
#include "plain_read.h"

#include <cstring>

uint64_t PlainRead(const uint8_t* data, size_t size)
{
    // One sum over the 64-bit words: the compiler vectorises it into wide
    // accumulators, as it does the checksum's loop.
    uint64_t sum = 0;
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        sum += word;
    }
    return sum;
}
