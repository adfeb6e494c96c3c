// Windows' loader behind the bindings' three loader services.
#include "module_loader.h"

#include <windows.h>

ModuleHandle LoadModule(const char* fileName)
{
    return LoadLibraryExA(fileName, NULL, 0);
}

EntryAddress FindEntry(ModuleHandle module, const char* name)
{
    // FARPROC and EntryAddress are both function pointers; the detour through
    // void (*)() is the cast the compiler accepts without a type warning.
    return reinterpret_cast<EntryAddress>(
        reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(module), name)));
}

void ReleaseModule(ModuleHandle module)
{
    FreeLibrary(static_cast<HMODULE>(module));
}
