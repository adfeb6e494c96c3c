// The checksum's portable and SSE2 loops, and OnesComplementSum that chooses
// between them, on the same inputs against the word-at-a-time reference:
// natively on x86-64, where every processor has SSE2, all three run.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "checksum.h"
#include "checksum_paths.h"
#include "reference_checksum.h"

namespace {

struct Path {
    const char* name;
    uint16_t (*sum)(const uint8_t* data, size_t size);
};

// The SSE2 loop joins only where the processor has SSE2; on x86-64 the
// first test below fails if it does not.
std::vector<Path> Paths()
{
    std::vector<Path> paths = {{"OnesComplementSum", OnesComplementSum},
                               {"portable loop", OnesComplementSumScalar}};
#if HEXALIFT_CHECKSUM_SSE2
    if (ProcessorHasSse2())
        paths.push_back({"SSE2 loop", OnesComplementSumSse2});
#endif
    return paths;
}

struct Fill {
    const char* what;
    uint8_t (*byte)(size_t at, std::mt19937& random);
};

// Random bytes; the largest words (every lane's sum at its limit); zeros (the
// SSE2 loop's biased sum at its lowest); and the word 0x8000, which the
// bias maps to zero.
const Fill kFills[] = {
    {"random", [](size_t, std::mt19937& random) { return static_cast<uint8_t>(random()); }},
    {"all 0xFF", [](size_t, std::mt19937&) { return uint8_t(0xFF); }},
    {"all 0x00", [](size_t, std::mt19937&) { return uint8_t(0x00); }},
    {"words 0x8000", [](size_t at, std::mt19937&) { return uint8_t(at % 2 ? 0x80 : 0x00); }},
};

// A buffer that ends where the checksummed bytes end, so that the sanitizer
// and valgrind see any read past them; its start is 16-byte aligned, so
// that the bytes start at the given alignment.
std::vector<uint8_t> Filled(const Fill& fill, size_t start, size_t size, std::mt19937& random)
{
    std::vector<uint8_t> bytes(start + size);
    for (size_t at = start; at < bytes.size(); ++at)
        bytes[at] = fill.byte(at - start, random);
    return bytes;
}

TEST(ChecksumPaths, OnX86_64TheProcessorHasSse2AndTheSumChoosesIt)
{
#if defined(__x86_64__)
    EXPECT_TRUE(ProcessorHasSse2());
    EXPECT_TRUE(ChecksumUsesSse2());
    EXPECT_EQ(Paths().size(), 3u);
#else
    GTEST_SKIP() << "only x86-64 processors all have SSE2";
#endif
}

TEST(ChecksumPaths, EveryPathEqualsWordAtATimeForLengths0To300AtStartAlignments0To15)
{
    std::mt19937 random(1071);
    for (const Fill& fill : kFills)
        for (size_t start = 0; start < 16; ++start)
            for (size_t size = 0; size <= 300; ++size) {
                const std::vector<uint8_t> bytes = Filled(fill, start, size, random);
                ASSERT_EQ(reinterpret_cast<uintptr_t>(bytes.data()) % 16, 0u)
                    << "the buffer must start aligned";
                const uint16_t expected = ReferenceOnesComplementSum(bytes.data() + start, size);
                for (const Path& path : Paths())
                    ASSERT_EQ(path.sum(bytes.data() + start, size), expected)
                        << path.name << ", " << fill.what << ", start " << start << ", size " << size;
            }
}

TEST(ChecksumPaths, EveryPathEqualsWordAtATimePastTheCarryAndBlockLimits)
{
    // Past 2^17 bytes of 0xFF a sum without end-around carry has overflowed
    // 16 bits twice. The SSE2 loop folds after each whole MiB (each lane of
    // 0xFF words then just below 2^32) and steps 32 bytes at a time; the
    // sizes end a block exactly, one step and an odd tail past it, and in
    // the third block. An odd start makes every load unaligned.
    const size_t kMiB = size_t(1) << 20;
    const size_t sizes[] = {(size_t(1) << 17) + 1, kMiB, kMiB + 32 + 15, 2 * kMiB + 17};
    std::mt19937 random(58);
    for (const Fill& fill : kFills)
        for (size_t start : {0, 1})
            for (size_t size : sizes) {
                const std::vector<uint8_t> bytes = Filled(fill, start, size, random);
                const uint16_t expected = ReferenceOnesComplementSum(bytes.data() + start, size);
                for (const Path& path : Paths())
                    EXPECT_EQ(path.sum(bytes.data() + start, size), expected)
                        << path.name << ", " << fill.what << ", start " << start << ", size " << size;
            }
}

}  // namespace
