#include "board_library.h"

int BoardLibrary::Load(const char* fileName)
{
    if (LoadBindingModule(binding, fileName) != 1)
        return 0;
    const bool resolved = ResolveEntry(binding, "IB_Initialize", binding.initializeEntry) &&
                          ResolveEntry(binding, "IB_Terminate", binding.terminateEntry) &&
                          ResolveEntry(binding, "IB_Open", openEntry) &&
                          ResolveEntry(binding, "IB_Close", closeEntry) &&
                          ResolveEntry(binding, "IB_WriteSingleRegister", writeSingleRegisterEntry);
    return resolved ? 1 : 0;
}

int BoardLibrary::Initialize()
{
    return InitializeBinding(binding);
}

int BoardLibrary::Terminate()
{
    return TerminateBinding(binding);
}

int BoardLibrary::Open(int board)
{
    return BindingForwards(binding) ? openEntry(board) : 0;
}

int BoardLibrary::Close(int boardHandle)
{
    return BindingForwards(binding) ? closeEntry(boardHandle) : 1;
}

int BoardLibrary::WriteSingleRegister(int boardHandle, int space, int address, int value, int width)
{
    return BindingForwards(binding) ? writeSingleRegisterEntry(boardHandle, space, address, value, width) : 1;
}

void BoardLibrary::Unload()
{
    UnloadBinding(binding);
}
