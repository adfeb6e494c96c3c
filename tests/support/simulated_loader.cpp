#include "simulated_loader.h"

namespace {

struct Library {
    EntryTable entries;
    int loads = 0;
    int releases = 0;
};

std::map<std::string, Library>& Libraries()
{
    static std::map<std::string, Library> libraries;
    return libraries;
}

}  // namespace

void RegisterLibrary(const std::string& fileName, const EntryTable& entries)
{
    Libraries()[fileName] = Library{entries, 0, 0};
}

void ResetLoader()
{
    Libraries().clear();
}

int LoadCount(const std::string& fileName)
{
    auto found = Libraries().find(fileName);
    return found == Libraries().end() ? 0 : found->second.loads;
}

int ReleaseCount(const std::string& fileName)
{
    auto found = Libraries().find(fileName);
    return found == Libraries().end() ? 0 : found->second.releases;
}

ModuleHandle LoadModule(const char* fileName)
{
    auto found = Libraries().find(fileName);
    if (found == Libraries().end())
        return nullptr;
    ++found->second.loads;
    return &found->second;
}

EntryAddress FindEntry(ModuleHandle module, const char* name)
{
    const EntryTable& entries = static_cast<Library*>(module)->entries;
    auto found = entries.find(name);
    return found == entries.end() ? nullptr : found->second;
}

void ReleaseModule(ModuleHandle module)
{
    ++static_cast<Library*>(module)->releases;
}
