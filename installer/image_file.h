// The two operations on a firmware image file that the run calls for each
// image: decide whether it must be written, then verify and write it.
#pragma once

#include <cstdint>

class FlashLibrary;

// Reads the image's header, stores its DataSize in dataSize and compares its
// version text with the one the flash target holds at offset 8.
// 1: the versions differ and the image is to be written.
// 0: nothing to write (file not opened, DataSize 0, versions equal).
// Any other value: the failure value of the flash read, passed on.
int GetFileInf(const char* path, FlashLibrary& flash, int target, uint32_t& dataSize);

// Reads the first size bytes of the image into one buffer of exactly that
// size, verifies the checksum, stamps the installer digit when asked to and
// hands the whole buffer to the flash library in one write.
// 0: nothing written (no memory, file not opened, short file, checksum);
// otherwise the flash write's result, 1 meaning success.
int ReadFileWithCheckSum(const char* path, FlashLibrary& flash, int target, uint32_t size);
