#include "image_format.h"

#include "checksum.h"

namespace {

uint16_t LoadLittleEndian16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t LoadLittleEndian32(const uint8_t* at)
{
    return uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) | (uint32_t(at[3]) << 24);
}

void StoreLittleEndian16(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

constexpr uint32_t kCheckSumEnd = kCheckSumOffset + 2;

// The sum over the image with its CheckSum field as zero. The field is
// cleared for the sum and put back afterwards.
uint16_t SumWithoutCheckSum(uint8_t* image, uint32_t size)
{
    const uint16_t stored = LoadLittleEndian16(image + kCheckSumOffset);
    StoreLittleEndian16(image + kCheckSumOffset, 0);
    const uint16_t sum = OnesComplementSum(image, size);
    StoreLittleEndian16(image + kCheckSumOffset, stored);
    return sum;
}

}  // namespace

uint16_t CheckSumOf(const ImageHeader& header)
{
    return LoadLittleEndian16(header.bytes + kCheckSumOffset);
}

uint32_t PayloadSizeOf(const ImageHeader& header)
{
    return LoadLittleEndian32(header.bytes + kPayloadSizeOffset);
}

uint32_t DataSizeOf(const ImageHeader& header)
{
    return PayloadSizeOf(header) + kImageHeaderSize;
}

void CopyVersionText(const ImageHeader& header, char (&text)[kVerStrSize])
{
    const uint8_t* verStr = header.bytes + kVerStrOffset;
    uint32_t i = 0;
    for (; i < kVerStrSize && verStr[i] != 0; ++i)
        text[i] = static_cast<char>(verStr[i]);
    for (; i < kVerStrSize; ++i)
        text[i] = 0;
}

bool VerifyImageCheckSum(uint8_t* image, uint32_t size)
{
    if (size < kCheckSumEnd)
        return false;
    const uint16_t stored = LoadLittleEndian16(image + kCheckSumOffset);
    return stored == static_cast<uint16_t>(0xFFFF - SumWithoutCheckSum(image, size));
}

void StoreImageCheckSum(uint8_t* image, uint32_t size)
{
    StoreLittleEndian16(image + kCheckSumOffset,
                        static_cast<uint16_t>(0xFFFF - SumWithoutCheckSum(image, size)));
}

void StoreLittleEndian32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}
