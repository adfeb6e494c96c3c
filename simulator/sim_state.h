// What the simulated optical module keeps between calls and between runs:
// its state directory, the call journal and the settings that tell it what
// to answer. Shared by the simulated "Flash.dll" and "zefib.dll".
#pragma once

#include <windows.h>

#include <cstddef>

// Records which library this is and where it lives; called from DllMain.
void SimAttach(HMODULE module, const char* libraryName);

// Journals the library's own unloading: by FreeLibrary or at process exit.
void SimDetach(bool freedByFreeLibrary);

// The DllMain of a simulated library: journals its loading and unloading.
#define SIM_DLL_MAIN(libraryName)                                        \
    BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) \
    {                                                                    \
        if (reason == DLL_PROCESS_ATTACH)                                \
            SimAttach(module, libraryName);                              \
        else if (reason == DLL_PROCESS_DETACH)                           \
            SimDetach(reserved == nullptr);                              \
        return TRUE;                                                     \
    }

// Appends one line to "journal.txt" in the state directory, prefixed with a
// millisecond time stamp, and passes it to OutputDebugStringA. printf-style.
void SimJournal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An integer setting from the environment ("HEXSIM_..."), or fallback when
// it is not set. Decimal, or hexadecimal with 0x; negative values allowed.
int SimSetting(const char* name, int fallback);

// True when the setting is "crash": the entry point journals its call with
// "= access violation" and then calls SimCrash instead of answering.
bool SimCrashes(const char* name);

// Writes through an address no process maps, as a faulty vendor library
// would: an access violation that nothing in the program handles.
void SimCrash();

// An entry point without arguments: answers the setting (or fallback) and
// journals "entry() = answer".
int SimAnswer(const char* entry, const char* setting, int fallback);

// Full path of a file in the state directory: HEXSIM_DIR when set, else the
// folder the simulated library was loaded from.
void SimStatePath(const char* fileName, char (&path)[MAX_PATH]);

// Reads length bytes at offset of a state file; bytes the file does not
// hold read as 0xFF, like erased flash.
void SimReadFile(const char* fileName, unsigned offset, void* buffer, size_t length);

// Writes length bytes at offset of a state file, creating it and filling
// any gap before offset with 0xFF; with replace, the file holds only these
// bytes afterwards. False when the file cannot be written.
bool SimWriteFile(const char* fileName, unsigned offset, const void* data, size_t length,
                  bool replace = false);
