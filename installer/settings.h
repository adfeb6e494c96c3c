// The settings file: only its first byte counts.
#pragma once

#include <cstdint>

struct Settings {
    bool present;        // the file could be opened for reading
    int8_t installerId;  // 0 when absent
};

// The first byte minus '0', reduced modulo 256, as a signed 8-bit value.
int8_t InstallerIdFromByte(uint8_t firstByte);

// What a run does for its InstallerId: the forced shutdown at the end for 0
// (an absent file counts as 0), and the installer digit stamped into the
// written images for 2 to 127 (first bytes 0x32 to 0xAF).
bool RequestsShutdown(int8_t installerId);
bool StampsImages(int8_t installerId);

// Opens the file for binary reading and reads one byte into a byte that
// holds 0 before the read, so an empty file counts as a zero byte. A file
// that cannot be opened is absent.
Settings ReadSettings(const char* path);
