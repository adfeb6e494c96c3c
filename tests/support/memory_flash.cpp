#include "memory_flash.h"

#include <cstring>

#include "image_format.h"

MemoryFlash g_flash;

namespace {

int HEX_STDCALL Initialize()
{
    g_flash.calls.push_back({"FL_Initialize", 0, 0, 0, {}});
    return g_flash.initializeResult;
}

int HEX_STDCALL Terminate()
{
    g_flash.calls.push_back({"FL_Terminate", 0, 0, 0, {}});
    return g_flash.terminateResult;
}

int HEX_STDCALL Write(int target, int offset, void* data, int length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    g_flash.calls.push_back({"FL_Write", target, offset, length, {bytes, bytes + length}});
    if (g_flash.writeResult != 1)
        return g_flash.writeResult;
    std::vector<uint8_t>& flash = g_flash.targets[target];
    if (flash.size() < size_t(offset) + size_t(length))
        flash.resize(size_t(offset) + size_t(length), 0xFF);
    std::memcpy(flash.data() + offset, bytes, size_t(length));
    return 1;
}

int HEX_STDCALL Read(int target, int offset, void* buffer, int length)
{
    g_flash.calls.push_back({"FL_Read", target, offset, length, {}});
    if (g_flash.readResult != 1)
        return g_flash.readResult;
    const std::vector<uint8_t>& flash = g_flash.targets[target];
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (int i = 0; i < length; ++i)
        out[i] = size_t(offset + i) < flash.size() ? flash[size_t(offset + i)] : 0xFF;
    return 1;
}

int HEX_STDCALL Erase()
{
    g_flash.calls.push_back({"FL_Erase", 0, 0, 0, {}});
    return 1;
}

int HEX_STDCALL GetLastError()
{
    g_flash.calls.push_back({"FL_GetLastError", 0, 0, 0, {}});
    return 0;
}

}  // namespace

EntryTable MemoryFlashEntries(const std::string& without)
{
    EntryTable entries = {
        {"FL_Initialize", AsEntry(Initialize)}, {"FL_Terminate", AsEntry(Terminate)},
        {"FL_Write", AsEntry(Write)},           {"FL_Read", AsEntry(Read)},
        {"FL_Erase", AsEntry(Erase)},           {"FL_GetLastError", AsEntry(GetLastError)},
    };
    entries.erase(without);
    return entries;
}

void BindMemoryFlash(FlashLibrary& flash, int initializeResult)
{
    g_flash = MemoryFlash{};
    g_flash.initializeResult = initializeResult;
    RegisterLibrary("Flash.dll", MemoryFlashEntries());
    flash.Load("Flash.dll");
    flash.Initialize();
    g_flash.calls.clear();
}

void StoreFlashVersion(int target, const std::string& version)
{
    std::vector<uint8_t>& flash = g_flash.targets[target];
    flash.assign(kImageHeaderSize, 0);
    std::memcpy(flash.data() + kVerStrOffset, version.data(),
                version.size() < kVerStrSize ? version.size() : kVerStrSize);
}
