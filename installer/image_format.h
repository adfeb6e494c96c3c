// The firmware image file: a 64-byte ImageHeader, then the payload.
// Multi-byte numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kImageHeaderSize = 64;
constexpr uint32_t kVerStrOffset = 8;  // version text, 16 bytes
constexpr uint32_t kVerStrSize = 16;
constexpr uint32_t kCheckSumOffset = 58;     // 16-bit checksum over the whole image
constexpr uint32_t kPayloadSizeOffset = 60;  // 32-bit count of payload bytes

struct ImageHeader {
    uint8_t bytes[kImageHeaderSize];
};

uint16_t CheckSumOf(const ImageHeader& header);
uint32_t PayloadSizeOf(const ImageHeader& header);

// PayloadSize + 64 in 32-bit arithmetic: it wraps, and a wrap to 0 means
// there is nothing to write.
uint32_t DataSizeOf(const ImageHeader& header);

// The bounded copy of VerStr: bytes up to and excluding the first zero, at
// most 16, the rest zero-filled. With 16 non-zero bytes there is no
// terminator, so print the result with "%.16s".
void CopyVersionText(const ImageHeader& header, char (&text)[kVerStrSize]);

// Checks the stored CheckSum against the sum of the image's first size
// bytes taken with the CheckSum field as zero. An image too short to hold
// the field (below 60 bytes) never verifies. The bytes are unchanged on
// return; nothing outside them is read or written.
bool VerifyImageCheckSum(uint8_t* image, uint32_t size);

// Stores the CheckSum that makes an image of size bytes verify (size 60 or
// more). Used by the image tool to make images.
void StoreImageCheckSum(uint8_t* image, uint32_t size);

void StoreLittleEndian32(uint8_t* at, uint32_t value);
