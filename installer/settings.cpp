#include "settings.h"

#include <cstdio>

int8_t InstallerIdFromByte(uint8_t firstByte)
{
    return static_cast<int8_t>(static_cast<uint8_t>(firstByte - '0'));
}

bool RequestsShutdown(int8_t installerId)
{
    return installerId == 0;
}

bool StampsImages(int8_t installerId)
{
    return installerId > 1;
}

Settings ReadSettings(const char* path)
{
    FILE* file = fopen(path, "rb");
    if (file == nullptr)
        return Settings{false, 0};
    uint8_t firstByte = 0;
    if (fread(&firstByte, 1, 1, file) != 1)
        firstByte = 0;
    fclose(file);
    return Settings{true, InstallerIdFromByte(firstByte)};
}
