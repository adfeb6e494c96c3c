// What the flash and board bindings have in common: the first four fields
// (module, initialised value, initialise and terminate entry points) and the
// load, initialise, terminate and unload rules that work on them. Each
// binding holds one LibraryBinding as its first member and resolves its own
// remaining entry points with ResolveEntry.
#pragma once

#include "module_loader.h"
#include "stdcall.h"

using InitializeEntry = int(HEX_STDCALL*)();
using TerminateEntry = int(HEX_STDCALL*)();

struct LibraryBinding {
    ModuleHandle module = nullptr;  // null until loaded, or when the load failed
    int initialised = 0;            // what the initialise entry returned; 0 = not initialised
    InitializeEntry initializeEntry = nullptr;
    TerminateEntry terminateEntry = nullptr;
};

// Loads the library and stores its handle, null included. 1 when loaded.
int LoadBindingModule(LibraryBinding& binding, const char* fileName);

// Resolves one entry point into its field; false when the library lacks it.
template <typename Entry>
bool ResolveEntry(const LibraryBinding& binding, const char* name, Entry& field)
{
    field = reinterpret_cast<Entry>(FindEntry(binding.module, name));
    return field != nullptr;
}

// Calls the initialise entry and keeps its result; 1 when that is not 0.
int InitializeBinding(LibraryBinding& binding);

// Calls are forwarded to the library only when it initialised to exactly 1.
inline bool BindingForwards(const LibraryBinding& binding)
{
    return binding.initialised == 1;
}

// The terminate entry's result, or 1 when the binding does not forward.
int TerminateBinding(const LibraryBinding& binding);

// Releases a library that reached an initialised value other than 0 and
// clears that value; a library that never did stays loaded. The module
// field keeps its old value either way.
void UnloadBinding(LibraryBinding& binding);
