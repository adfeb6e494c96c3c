// FlashLibrary: the binding of "Flash.dll", through which every access to
// the optical module's flash memory goes.
#pragma once

#include "library_binding.h"

using FlashWriteEntry = int(HEX_STDCALL*)(int target, int offset, void* data, int length);
using FlashReadEntry = int(HEX_STDCALL*)(int target, int offset, void* buffer, int length);
using FlashEraseEntry = int(HEX_STDCALL*)();         // must exist; never called
using FlashGetLastErrorEntry = int(HEX_STDCALL*)();  // must exist; never called

class FlashLibrary {
public:
    // 1 when the library loaded and all six entry points resolved, else 0.
    // Stops at the first missing entry point and leaves the library loaded.
    int Load(const char* fileName);
    // 1 when FL_Initialize returned anything but 0. Only after a Load of 1.
    int Initialize();
    // Forwarded only when FL_Initialize returned exactly 1; otherwise
    // nothing is called and the answer is 1.
    int Terminate();
    int Read(int target, int offset, void* buffer, int length);
    int Write(int target, int offset, void* data, int length);
    void Unload();

    // Fields in the library's order: module, initialised value,
    // FL_Initialize, FL_Terminate, FL_Write, FL_Read, FL_Erase, FL_GetLastError.
    LibraryBinding binding;
    FlashWriteEntry writeEntry = nullptr;
    FlashReadEntry readEntry = nullptr;
    FlashEraseEntry eraseEntry = nullptr;
    FlashGetLastErrorEntry getLastErrorEntry = nullptr;
};
