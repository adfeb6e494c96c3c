// A plain read of a buffer, the checksum benchmark's baseline.
#pragma once

#include <cstddef>
#include <cstdint>

// Sums the buffer's whole 64-bit words (a tail shorter than 8 bytes is left out).
uint64_t PlainRead(const uint8_t* data, size_t size);
