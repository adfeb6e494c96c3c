// A stand-in for the platform's library loader: libraries are tables of
// named entry points registered by the test, and the loader counts what the
// bindings do with them.
#pragma once

#include <map>
#include <string>

#include "module_loader.h"

using EntryTable = std::map<std::string, EntryAddress>;

// Makes a library loadable under fileName with exactly these entry points.
void RegisterLibrary(const std::string& fileName, const EntryTable& entries);

// Forgets every library and every count.
void ResetLoader();

// How often the library was loaded and released.
int LoadCount(const std::string& fileName);
int ReleaseCount(const std::string& fileName);

template <typename Function>
EntryAddress AsEntry(Function* function)
{
    return reinterpret_cast<EntryAddress>(function);
}
