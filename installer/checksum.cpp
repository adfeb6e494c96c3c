// The image checksum's two implementations and the choice between them: a
// portable loop for any processor, and an SSE2 loop for x86 processors that
// have SSE2, chosen once by CPUID. The shipped 32-bit image is built for
// processors without SSE2, so only the SSE2 function may use its registers.
#include "checksum.h"

#include "checksum_paths.h"

#include <cstring>

#if HEXALIFT_CHECKSUM_SSE2
#include <cpuid.h>
#include <emmintrin.h>
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the wide-word sums below read the image's little-endian words in host order"
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

}  // namespace

// Bytes the portable loop sums between two folds: 2^29 bytes add less than
// 2^60 to each accumulator, far from overflowing it.
const size_t kScalarBlockBytes = size_t(1) << 29;

// 65536 is 1 modulo 65535, so a 32-bit little-endian word adds the same as
// its two 16-bit halves. Summing 32-bit halves of 64-bit loads into a wide
// accumulator lets the compiler vectorise the loop where the target has
// vectors; the result equals the word-at-a-time sum, end-around carry and
// odd tail included.
uint16_t OnesComplementSumScalarBlocks(const uint8_t* data, size_t size, size_t blockBytes)
{
    uint64_t sum = 0;
    while (size >= 16) {
        const size_t block = (size < blockBytes ? size : blockBytes) & ~size_t(15);
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

uint16_t OnesComplementSumScalar(const uint8_t* data, size_t size)
{
    return OnesComplementSumScalarBlocks(data, size, kScalarBlockBytes);
}

#if HEXALIFT_CHECKSUM_SSE2

// Bytes the SSE2 loop sums between two folds. Each 32-bit lane of each of
// its two accumulators takes 2^16 words of them, whose true sum (at most
// 2^16 * 0xFFFF) stays below 2^32.
const size_t kSse2BlockBytes = size_t(1) << 20;

// The same sum with SSE2, 32 bytes a step into two accumulators. pmaddwd,
// multiplying by 1, adds each pair of adjacent words into a 32-bit lane
// exactly, but takes the words as signed: XOR with 0x8000 first turns each
// word w into the signed w - 32768, and the 32768s are added back per
// block. Per 16 bytes that is a load, an XOR, a pmaddwd and an add, against
// a load and an add for a plain read.
__attribute__((target("sse2"))) uint16_t OnesComplementSumSse2Blocks(const uint8_t* data, size_t size,
                                                                     size_t blockBytes)
{
    const __m128i bias = _mm_set1_epi16(-32768), ones = _mm_set1_epi16(1);
    uint64_t sum = 0;
    while (size >= 32) {
        const size_t block = (size < blockBytes ? size : blockBytes) & ~size_t(31);
        __m128i first = _mm_setzero_si128(), second = _mm_setzero_si128();
        for (size_t i = 0; i < block; i += 32) {
            const __m128i front = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            const __m128i back = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16));
            first = _mm_add_epi32(first, _mm_madd_epi16(_mm_xor_si128(front, bias), ones));
            second = _mm_add_epi32(second, _mm_madd_epi16(_mm_xor_si128(back, bias), ones));
        }
        // Each lane took block / 16 words and 32768 less for each; adding
        // that back modulo 2^32 gives the lane's true sum, which is below
        // 2^32.
        const uint32_t biasTaken = static_cast<uint32_t>(block / 16) * 32768u;
        uint32_t lanes[8];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), first);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 4), second);
        for (uint32_t lane : lanes)
            sum += static_cast<uint32_t>(lane + biasTaken);
        sum = Fold(sum);
        data += block;
        size -= block;
    }
    // Fewer than 32 bytes remain, from a word boundary: the portable loop
    // sums them, an odd last byte included.
    return Fold(sum + OnesComplementSumScalar(data, size));
}

uint16_t OnesComplementSumSse2(const uint8_t* data, size_t size)
{
    return OnesComplementSumSse2Blocks(data, size, kSse2BlockBytes);
}

// CPUID leaf 1 reports SSE2 in bit 26 of EDX; a processor too old to have
// CPUID at all (which __get_cpuid checks first) has no SSE2 either.
bool ProcessorHasSse2()
{
    unsigned eax, ebx, ecx, edx;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & bit_SSE2) != 0;
}

namespace {

// Asked once, as the program starts: the processor does not change while it
// runs. Start-up code elsewhere that checksums before this is set sees false
// and takes the portable loop, which gives the same sum.
const bool kUsesSse2 = ProcessorHasSse2();

}  // namespace

bool ChecksumUsesSse2()
{
    return kUsesSse2;
}

uint16_t OnesComplementSum(const uint8_t* data, size_t size)
{
    return ChecksumUsesSse2() ? OnesComplementSumSse2(data, size) : OnesComplementSumScalar(data, size);
}

#else

bool ChecksumUsesSse2()
{
    return false;
}

uint16_t OnesComplementSum(const uint8_t* data, size_t size)
{
    return OnesComplementSumScalar(data, size);
}

#endif
