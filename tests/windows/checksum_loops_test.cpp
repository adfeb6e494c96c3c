// Both checksum loops as this build compiles them, where its images run
// (under Wine, or in the guest): the SSE2 loop, and the portable one, which
// a processor without SSE2 takes and the pe32 program otherwise never runs
// here, against the word-at-a-time reference. Every length 0 to 300 at
// each start alignment 0 to 15, and 3 MiB of random bytes (past the SSE2
// loop's 1 MiB fold) from an odd start; then all of it again in blocks of a
// few dozen bytes, so that each loop's fold is crossed at every place in a
// block and some 50000 times in the 3 MiB (the portable loop's own 512 MiB
// is beyond a 32-bit test's memory).
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "checksum_paths.h"
#include "reference_checksum.h"

namespace {

int g_passed = 0;
int g_failed = 0;

struct Loop {
    const char* name;
    uint16_t (*sum)(const uint8_t* data, size_t size, size_t blockBytes);
    size_t blockBytes;  // the program's own
    size_t smallBlock;  // a multiple of the loop's step
};

void Check(const Loop& loop, size_t blockBytes, const char* content, const uint8_t* data, size_t start,
           size_t size)
{
    const uint16_t expected = ReferenceOnesComplementSum(data + start, size);
    const uint16_t sum = loop.sum(data + start, size, blockBytes);
    ++(sum == expected ? g_passed : g_failed);
    if (sum != expected && g_failed <= 20)
        printf("FAILED: %s in blocks of %lu, %s, start %lu, size %lu: 0x%04X, not 0x%04X\n", loop.name,
               static_cast<unsigned long>(blockBytes), content, static_cast<unsigned long>(start),
               static_cast<unsigned long>(size), sum, expected);
}

// Bytes that start 16-byte aligned, so that data + start has alignment start.
uint8_t* Aligned(std::vector<uint8_t>& bytes)
{
    return bytes.data() + (16 - reinterpret_cast<uintptr_t>(bytes.data()) % 16) % 16;
}

}  // namespace

int main()
{
    if (!ProcessorHasSse2()) {
        printf("FAILED: CPUID reports no SSE2, so the SSE2 loop cannot run here\n");
        return 1;
    }
    const Loop loops[] = {
        {"portable loop", OnesComplementSumScalarBlocks, kScalarBlockBytes, 48},
        {"SSE2 loop", OnesComplementSumSse2Blocks, kSse2BlockBytes, 64},
    };
    std::mt19937 random(1071);
    std::vector<uint8_t> small(16 + 15 + 300), large(16 + 1 + 3 * (size_t(1) << 20) + 17);
    // Random bytes, and the largest words, whose sums carry most.
    for (const char* content : {"random", "all 0xFF"}) {
        for (std::vector<uint8_t>* bytes : {&small, &large})
            for (uint8_t& byte : *bytes)
                byte = content[0] == 'r' ? static_cast<uint8_t>(random()) : 0xFF;
        for (const Loop& loop : loops)
            for (size_t blockBytes : {loop.blockBytes, loop.smallBlock}) {
                for (size_t start = 0; start < 16; ++start)
                    for (size_t size = 0; size <= 300; ++size)
                        Check(loop, blockBytes, content, Aligned(small), start, size);
                Check(loop, blockBytes, content, Aligned(large), 1, large.size() - 17);
            }
    }
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
