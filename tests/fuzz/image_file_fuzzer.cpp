// Fuzzes the image handling exactly as the update run drives it: GetFileInf
// on arbitrary file bytes and, when it answers 1, ReadFileWithCheckSum,
// against an in-memory flash library that checks every call it receives.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "flash_library.h"
#include "image_file.h"
#include "image_format.h"
#include "memory_flash.h"
#include "run_log.h"

namespace {

constexpr size_t kLargestShortfall = 1 << 20;

void Require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "image_file_fuzzer: %s\n", what);
        abort();
    }
}

// The image file the run reads, rewritten with each input: one file in the
// working folder (the build folder's, under ctest), whatever the run.
const std::string& ImagePath()
{
    static const std::string path = "fuzzed-image.bin";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FlashLibrary flash;
    static bool bound = false;
    if (!bound) {
        BindMemoryFlash(flash);
        RunLog = fopen("/dev/null", "w");
        bound = true;
    }
    g_flash.calls.clear();
    StoreFlashVersion(1, "1.00");
    // The settings byte varies with the input, so the stamp is exercised too.
    InstallerId = static_cast<int8_t>(size > 0 ? data[size - 1] % 5 : 0);

    FILE* file = fopen(ImagePath().c_str(), "wb");
    if (size > 0)
        fwrite(data, 1, size, file);
    fclose(file);

    uint32_t dataSize = 0xDEADBEEF;
    const int decision = GetFileInf(ImagePath().c_str(), flash, 1, dataSize);
    ImageHeader header = {};
    memcpy(header.bytes, data, size < sizeof header.bytes ? size : sizeof header.bytes);
    Require(dataSize == DataSizeOf(header), "DataSize is PayloadSize + 64 of the zero-filled header");
    Require(decision == 0 || decision == 1, "the memory flash never fails a read");
    if (dataSize == 0) {
        Require(g_flash.calls.empty(), "DataSize 0 leaves flash alone");
        return 0;
    }
    Require(g_flash.calls.size() == 1, "one flash read per image");
    const FlashCall& read = g_flash.calls[0];
    Require(read.entry == "FL_Read" && read.target == 1 && read.offset == 8 && read.length == 16,
            "the version is read at offset 8, 16 bytes, of the image's target");
    if (decision != 1)
        return 0;
    // A header that claims far more than the file holds makes the run
    // allocate up to 4 GiB only to come up short (the scenario tests cover
    // it); here the sanitizer's bookkeeping for such a buffer would cost the
    // fuzzer most of its time.
    if (dataSize > size + kLargestShortfall)
        return 0;

    ReadFileWithCheckSum(ImagePath().c_str(), flash, 1, dataSize);
    if (g_flash.calls.size() == 1)
        return 0;  // not trusted: nothing written
    Require(g_flash.calls.size() == 2, "at most one write per image");
    const FlashCall& write = g_flash.calls[1];
    Require(write.entry == "FL_Write" && write.target == 1 && write.offset == 0 &&
                static_cast<uint32_t>(write.length) == dataSize,
            "the whole image is written at offset 0 of its target");
    Require(size >= dataSize, "only a file that holds DataSize bytes is written");
    std::vector<uint8_t> expected(data, data + dataSize);
    Require(VerifyImageCheckSum(expected.data(), dataSize), "only an image that verifies is written");
    if (InstallerId > 1)
        expected[kVerStrOffset] = static_cast<uint8_t>('0' + InstallerId);
    Require(write.data == expected, "flash receives the file's bytes, stamped as the settings ask");
    return 0;
}
