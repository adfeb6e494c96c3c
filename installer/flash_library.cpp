#include "flash_library.h"

int FlashLibrary::Load(const char* fileName)
{
    if (LoadBindingModule(binding, fileName) != 1)
        return 0;
    const bool resolved = ResolveEntry(binding, "FL_Initialize", binding.initializeEntry) &&
                          ResolveEntry(binding, "FL_Terminate", binding.terminateEntry) &&
                          ResolveEntry(binding, "FL_Write", writeEntry) &&
                          ResolveEntry(binding, "FL_Read", readEntry) &&
                          ResolveEntry(binding, "FL_Erase", eraseEntry) &&
                          ResolveEntry(binding, "FL_GetLastError", getLastErrorEntry);
    return resolved ? 1 : 0;
}

int FlashLibrary::Initialize()
{
    return InitializeBinding(binding);
}

int FlashLibrary::Terminate()
{
    return TerminateBinding(binding);
}

int FlashLibrary::Read(int target, int offset, void* buffer, int length)
{
    return BindingForwards(binding) ? readEntry(target, offset, buffer, length) : 1;
}

int FlashLibrary::Write(int target, int offset, void* data, int length)
{
    return BindingForwards(binding) ? writeEntry(target, offset, data, length) : 1;
}

void FlashLibrary::Unload()
{
    UnloadBinding(binding);
}
