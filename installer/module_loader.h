// The three services of the platform's library loader that a binding uses.
// The program gets them from Windows; the native unit tests link a table of
// simulated libraries in their place.
#pragma once

// A loaded library. Held as an untyped handle so the bindings compile on
// every platform; on Windows it is the HMODULE.
using ModuleHandle = void*;

// An entry point as the loader hands it out; callers cast it to its real type.
using EntryAddress = void (*)();

// LoadLibraryExA(fileName, NULL, 0): the platform's default search order.
ModuleHandle LoadModule(const char* fileName);

// GetProcAddress by name; null when the library lacks the entry point.
EntryAddress FindEntry(ModuleHandle module, const char* name);

// FreeLibrary; its result is of no interest to the bindings.
void ReleaseModule(ModuleHandle module);
