// The checksum's two implementations behind OnesComplementSum, for the
// tests (which run both on the same inputs) and the benchmarks (which say
// which one ran). The program and the tools call OnesComplementSum only.
// Each loop sums a block of bytes into wide accumulators and folds between
// blocks; the ...Blocks forms take the block size as a parameter, which
// the tests set small so that a few KiB cross the fold many times (the
// program's own size is a constant below: nothing configures it).
#pragma once

#include <cstddef>
#include <cstdint>

// x86 processors may have SSE2; on others only the portable loop exists.
#if defined(__i386__) || defined(__x86_64__)
#define HEXALIFT_CHECKSUM_SSE2 1
#else
#define HEXALIFT_CHECKSUM_SSE2 0
#endif

// The portable loop: any processor, the same result as OnesComplementSum.
uint16_t OnesComplementSumScalar(const uint8_t* data, size_t size);
// The same in blocks of blockBytes (a multiple of 16, at most
// kScalarBlockBytes, which OnesComplementSumScalar uses).
uint16_t OnesComplementSumScalarBlocks(const uint8_t* data, size_t size, size_t blockBytes);
extern const size_t kScalarBlockBytes;

#if HEXALIFT_CHECKSUM_SSE2
// The SSE2 loop: the same result; only on a processor that has SSE2.
uint16_t OnesComplementSumSse2(const uint8_t* data, size_t size);
// The same in blocks of blockBytes (a multiple of 32, at most
// kSse2BlockBytes, which OnesComplementSumSse2 uses).
uint16_t OnesComplementSumSse2Blocks(const uint8_t* data, size_t size, size_t blockBytes);
extern const size_t kSse2BlockBytes;

// What CPUID says of this processor.
bool ProcessorHasSse2();
#endif

// Whether OnesComplementSum runs the SSE2 loop on this processor.
bool ChecksumUsesSse2();
