// The settings file: only its first byte counts.
#pragma once

#include <cstdint>

struct Settings {
    bool present;         // the file could be opened for reading
    int8_t installerId;   // 0 when absent
};

// The first byte minus '0', reduced modulo 256, as a signed 8-bit value.
int8_t InstallerIdFromByte(uint8_t firstByte);

// Opens the file for binary reading and reads one byte into a byte that
// holds 0 before the read, so an empty file counts as a zero byte. A file
// that cannot be opened is absent.
Settings ReadSettings(const char* path);
