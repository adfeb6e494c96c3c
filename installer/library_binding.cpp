#include "library_binding.h"

int LoadBindingModule(LibraryBinding& binding, const char* fileName)
{
    binding.module = LoadModule(fileName);
    return binding.module != nullptr ? 1 : 0;
}

int InitializeBinding(LibraryBinding& binding)
{
    binding.initialised = binding.initializeEntry();
    return binding.initialised != 0 ? 1 : 0;
}

int TerminateBinding(const LibraryBinding& binding)
{
    return BindingForwards(binding) ? binding.terminateEntry() : 1;
}

void UnloadBinding(LibraryBinding& binding)
{
    if (binding.initialised != 0) {
        ReleaseModule(binding.module);
        binding.initialised = 0;
    }
}
