// The checksum's two implementations behind OnesComplementSum, for the
// tests (which run both on the same inputs) and the benchmarks (which say
// which one ran). The program and the tools call OnesComplementSum only.
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

#if HEXALIFT_CHECKSUM_SSE2
// The SSE2 loop: the same result; only on a processor that has SSE2.
uint16_t OnesComplementSumSse2(const uint8_t* data, size_t size);

// What CPUID says of this processor.
bool ProcessorHasSse2();
#endif

// Whether OnesComplementSum runs the SSE2 loop on this processor.
bool ChecksumUsesSse2();
