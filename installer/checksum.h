// The 16-bit ones' complement sum with end-around carry over little-endian
// words (the Internet checksum's sum). One implementation serves the
// program, the image tool and the tests: checksum.cpp, which runs an SSE2
// loop where the processor has SSE2 and a portable one elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

// Folded sum of the bytes taken as little-endian 16-bit words; an odd last
// byte counts as the low byte of a word whose high byte is zero. The result
// is 0 only when every byte is 0, otherwise 1 to 0xFFFF.
uint16_t OnesComplementSum(const uint8_t* data, size_t size);
