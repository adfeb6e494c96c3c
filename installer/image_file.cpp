#include "image_file.h"

#include <cstdlib>
#include <cstring>

#include "flash_library.h"
#include "image_format.h"
#include "run_log.h"
#include "settings.h"

int GetFileInf(const char* path, FlashLibrary& flash, int target, uint32_t& dataSize)
{
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        LogPrintf("GetFileInf:%s File Open Error\n", path);
        dataSize = 0;
        return 0;
    }
    // A file shorter than the header leaves the rest of it zero.
    ImageHeader header = {};
    (void)fread(header.bytes, 1, sizeof header.bytes, file);
    fclose(file);

    char installVerStr[kVerStrSize];
    CopyVersionText(header, installVerStr);
    dataSize = DataSizeOf(header);
    if (dataSize == 0)
        return 0;
    LogPrintf("InstallVerStr = %.16s, DataSize = 0x%08x\n", installVerStr, dataSize);

    // Zero-filled first, so a read that leaves it untouched compares as an
    // empty text.
    char currentVerStr[kVerStrSize] = {};
    const int readResult = flash.Read(target, kVerStrOffset, currentVerStr, kVerStrSize);
    currentVerStr[kVerStrSize - 1] = 0;
    LogPrintf("CurrentVerStr = %s\n", currentVerStr);
    if (readResult != 1) {
        LogPrintf("FL_Read() FALSE\n");
        return readResult;
    }

    // Exact byte equality up to the terminators; a 16-character version
    // never equals the at most 15 characters read back.
    if (std::strncmp(installVerStr, currentVerStr, kVerStrSize) == 0) {
        LogPrintf("(Same Version)\n");
        return 0;
    }
    LogPrintf("(Update)\n");
    return 1;
}

int ReadFileWithCheckSum(const char* path, FlashLibrary& flash, int target, uint32_t size)
{
    uint8_t* image = static_cast<uint8_t*>(std::malloc(size));
    if (image == nullptr) {
        LogPrintf("Insufficient memory available\n");
        return 0;
    }
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        std::free(image);
        return 0;
    }
    const size_t bytesRead = fread(image, 1, size, file);
    fclose(file);

    // A file shorter than its header claims cannot be trusted: its missing
    // end must never reach flash.
    if (bytesRead != size || !VerifyImageCheckSum(image, size)) {
        LogPrintf("ReadFileWithCheckSum:CheckSum Error\n");
        std::free(image);
        return 0;
    }
    // The installer digit replaces the version's first character after the
    // verification; the stored CheckSum is written as the file holds it.
    if (StampsImages(InstallerId))
        image[kVerStrOffset] = static_cast<uint8_t>('0' + InstallerId);

    const int writeResult = flash.Write(target, 0, image, static_cast<int>(size));
    if (writeResult != 1)
        LogPrintf("FL_Write() FALSE\n");
    std::free(image);
    return writeResult;
}
