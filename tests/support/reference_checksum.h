// The checksum as the image format defines it, one 16-bit word at a time
// with a fold after every addition: the oracle for the fast sum.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint16_t ReferenceOnesComplementSum(const uint8_t* data, size_t size)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) {
        sum += uint32_t(data[i]) | (uint32_t(data[i + 1]) << 8);
        if (sum > 0xFFFF)
            sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (size % 2 != 0)
        sum += data[size - 1];
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}
