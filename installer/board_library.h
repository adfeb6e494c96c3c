// BoardLibrary: the binding of "zefib.dll", the register access on the
// optical module's board interface. The run uses it to hold the module in
// reset while images are written.
#pragma once

#include "library_binding.h"

using BoardOpenEntry = int(HEX_STDCALL*)(int board);
using BoardCloseEntry = int(HEX_STDCALL*)(int boardHandle);
using BoardWriteSingleRegisterEntry = int(HEX_STDCALL*)(int boardHandle, int space, int address, int value,
                                                        int width);

class BoardLibrary {
public:
    // 1 when the library loaded and all five entry points resolved, else 0.
    // Stops at the first missing entry point and leaves the library loaded.
    int Load(const char* fileName);
    // 1 when IB_Initialize returned anything but 0. Only after a Load of 1.
    int Initialize();
    // Forwarded only when IB_Initialize returned exactly 1; otherwise
    // nothing is called and the answer is 1, except for Open, whose answer
    // is then 0: no board.
    int Terminate();
    int Open(int board);
    int Close(int boardHandle);
    int WriteSingleRegister(int boardHandle, int space, int address, int value, int width);
    void Unload();

    // Fields in the library's order: module, initialised value,
    // IB_Initialize, IB_Terminate, IB_Open, IB_Close, IB_WriteSingleRegister.
    LibraryBinding binding;
    BoardOpenEntry openEntry = nullptr;
    BoardCloseEntry closeEntry = nullptr;
    BoardWriteSingleRegisterEntry writeSingleRegisterEntry = nullptr;
};
