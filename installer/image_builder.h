// Building an image file from a version text and a payload: what the image
// tool's create writes, and what the tests start from.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the image into image, which holds payloadSize + 64 bytes: the
// header with the version text (versionLength bytes, at most 16; the rest of
// the field zero) and PayloadSize, then the payload, and the CheckSum that
// makes the image verify.
void BuildImage(const char* version, size_t versionLength, const uint8_t* payload, uint32_t payloadSize,
                uint8_t* image);
