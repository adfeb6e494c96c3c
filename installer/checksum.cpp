#include "checksum.h"

#include <cstring>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the wide-word sum below reads the image's little-endian words in host order"
#endif

namespace {

// Folds a wide sum to 16 bits with end-around carry. A non-zero sum never
// folds to 0, so the result matches folding after every single word.
uint16_t Fold(uint64_t sum)
{
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// Bytes summed between two folds: 2^29 bytes add less than 2^60 to each
// accumulator, far from overflowing it.
constexpr size_t kBlockBytes = size_t(1) << 29;

}  // namespace

// 65536 is 1 modulo 65535, so a 32-bit little-endian word adds the same as
// its two 16-bit halves. Summing 32-bit halves of 64-bit loads into a wide
// accumulator lets the compiler vectorise the loop and keeps pace with
// memory; the result equals the word-at-a-time sum, end-around carry and
// odd tail included.
uint16_t OnesComplementSum(const uint8_t* data, size_t size)
{
    uint64_t sum = 0;
    while (size >= 16) {
        const size_t block = (size < kBlockBytes ? size : kBlockBytes) & ~size_t(15);
        uint64_t whole = 0, high = 0;
        for (size_t i = 0; i < block; i += 16) {
            uint64_t first, second;
            std::memcpy(&first, data + i, sizeof first);
            std::memcpy(&second, data + i + 8, sizeof second);
            whole += first + second;
            high += (first >> 32) + (second >> 32);
        }
        // whole is the sum of high * 2^32 + low over the words, modulo 2^64;
        // the true sum of the low halves stays below 2^64, so this recovers
        // it exactly without masking every word.
        const uint64_t low = whole - (high << 32);
        sum = Fold(sum + Fold(low) + Fold(high));
        data += block;
        size -= block;
    }
    // Up to fifteen bytes remain; zero-padding them on the high side adds
    // the last byte of an odd length as the low byte of its word.
    uint8_t tail[16] = {};
    if (size > 0)
        std::memcpy(tail, data, size);
    uint64_t first, second;
    std::memcpy(&first, tail, sizeof first);
    std::memcpy(&second, tail + 8, sizeof second);
    return Fold(sum + (first & 0xFFFFFFFFu) + (first >> 32) + (second & 0xFFFFFFFFu) + (second >> 32));
}
