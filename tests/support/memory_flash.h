// An in-memory "Flash.dll" for the native tests: two flash targets held in
// vectors, the calls recorded, and the results chosen by the test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flash_library.h"
#include "simulated_loader.h"

struct FlashCall {
    std::string entry;
    int target;
    int offset;
    int length;
    std::vector<uint8_t> data;  // what a write handed over
};

struct MemoryFlash {
    std::vector<uint8_t> targets[3];  // index 1 and 2; unwritten bytes read as 0xFF
    std::vector<FlashCall> calls;
    int initializeResult = 1;
    int readResult = 1;   // other values: the read fails and fills nothing
    int writeResult = 1;  // other values: the write fails and changes nothing
    int terminateResult = 1;
};

// The one simulated flash the entry points work on; reset by BindMemoryFlash.
extern MemoryFlash g_flash;

// The FL_* entry points over g_flash, all six or without the one named.
EntryTable MemoryFlashEntries(const std::string& without = "");

// Registers a fresh memory flash as "Flash.dll", loads and initialises
// flash through it, and clears the call record.
void BindMemoryFlash(FlashLibrary& flash, int initializeResult = 1);

// Puts a version text at offset 8 of a target, as a written image leaves it.
void StoreFlashVersion(int target, const std::string& version);
