#include "image_builder.h"

#include <cstring>

#include "image_format.h"

void BuildImage(const char* version, size_t versionLength, const uint8_t* payload, uint32_t payloadSize,
                uint8_t* image)
{
    std::memset(image, 0, kImageHeaderSize);
    std::memcpy(image + kVerStrOffset, version, versionLength < kVerStrSize ? versionLength : kVerStrSize);
    StoreLittleEndian32(image + kPayloadSizeOffset, payloadSize);
    if (payloadSize > 0)
        std::memcpy(image + kImageHeaderSize, payload, payloadSize);
    StoreImageCheckSum(image, payloadSize + kImageHeaderSize);
}
