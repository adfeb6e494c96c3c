#include <gtest/gtest.h>

#include "flash_library.h"
#include "image_file.h"
#include "image_format.h"
#include "memory_flash.h"
#include "run_log.h"
#include "temp_files.h"

namespace {

const std::string kErased15(15, '\xFF');  // blank flash reads back as 0xFF

class ImageFileTest : public ::testing::Test {
protected:
    void SetUp() override { StartCase(); }
    void TearDown() override { EndCase(); }

    // A fresh flash and log for each case of a table.
    void StartCase()
    {
        EndCase();
        ResetLoader();
        BindMemoryFlash(flash);
        RunLog = tmpfile();
    }
    void EndCase()
    {
        if (RunLog != nullptr)
            fclose(RunLog);
        RunLog = nullptr;
        InstallerId = 0;
    }
    std::string Log() { return StreamText(RunLog); }

    FlashLibrary flash;
    TempDirectory directory;
};

// A header alone whose PayloadSize claims payloadSize bytes.
std::vector<uint8_t> Header(const std::string& verStr, uint32_t payloadSize)
{
    return WithPayloadSize(MakeImage(verStr, {}), payloadSize);
}

TEST_F(ImageFileTest, VersionDecision)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        const char* flashVersion;  // null: blank flash
        int readResult;
        int result;
        uint32_t dataSize;
        std::string log;
    };
    const std::string sixteen = "ABCDEFGHIJKLMNOP";
    const Case cases[] = {
        {"blank flash", MakeImage("1.00", {'a', 'b', 'c'}), nullptr, 1, 1, 67,
         "InstallVerStr = 1.00, DataSize = 0x00000043\nCurrentVerStr = " + kErased15 + "\n(Update)\n"},
        {"same version", MakeImage("1.00", {}), "1.00", 1, 0, 64,
         "InstallVerStr = 1.00, DataSize = 0x00000040\nCurrentVerStr = 1.00\n(Same Version)\n"},
        {"older version is written too", MakeImage("0.9", {}), "1.00", 1, 1, 64,
         "InstallVerStr = 0.9, DataSize = 0x00000040\nCurrentVerStr = 1.00\n(Update)\n"},
        {"trailing blank differs", MakeImage("1.00 ", {}), "1.00", 1, 1, 64,
         "InstallVerStr = 1.00 , DataSize = 0x00000040\nCurrentVerStr = 1.00\n(Update)\n"},
        {"both texts empty", MakeImage("", {}), "", 1, 0, 64,
         "InstallVerStr = , DataSize = 0x00000040\nCurrentVerStr = \n(Same Version)\n"},
        {"16 characters never equal the 15 read back", MakeImage(sixteen, {}), "ABCDEFGHIJKLMNOP", 1, 1, 64,
         "InstallVerStr = " + sixteen +
             ", DataSize = 0x00000040\nCurrentVerStr = ABCDEFGHIJKLMNO\n(Update)\n"},
        {"read failure 0 passed on after the CurrentVerStr line", MakeImage("1.00", {}), "1.00", 0, 0, 64,
         "InstallVerStr = 1.00, DataSize = 0x00000040\nCurrentVerStr = \nFL_Read() FALSE\n"},
        {"read failure 5 passed on", MakeImage("1.00", {}), "1.00", 5, 5, 64,
         "InstallVerStr = 1.00, DataSize = 0x00000040\nCurrentVerStr = \nFL_Read() FALSE\n"},
        {"DataSize wraps to 0: no line at all", Header("1.00", 0xFFFFFFC0u), nullptr, 1, 0, 0, ""},
        {"DataSize 0xFFFFFFFF is logged", Header("2", 0xFFFFFFBFu), "2", 1, 0, 0xFFFFFFFFu,
         "InstallVerStr = 2, DataSize = 0xffffffff\nCurrentVerStr = 2\n(Same Version)\n"},
        {"file shorter than a header reads as zero-filled",
         {0, 0, 0, 0, 0, 0, 0, 0, 'A', 'B'},
         nullptr,
         1,
         1,
         64,
         "InstallVerStr = AB, DataSize = 0x00000040\nCurrentVerStr = " + kErased15 + "\n(Update)\n"},
        {"empty file",
         {},
         "",
         1,
         0,
         64,
         "InstallVerStr = , DataSize = 0x00000040\nCurrentVerStr = \n(Same Version)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartCase();
        if (c.flashVersion != nullptr)
            StoreFlashVersion(2, c.flashVersion);
        g_flash.readResult = c.readResult;
        uint32_t dataSize = 12345;
        const std::string path = directory.Write("qd5180a.fpga", c.file);
        EXPECT_EQ(GetFileInf(path.c_str(), flash, 2, dataSize), c.result);
        EXPECT_EQ(dataSize, c.dataSize);
        EXPECT_EQ(Log(), c.log);
        const bool reads = c.dataSize != 0;
        ASSERT_EQ(g_flash.calls.size(), reads ? 1u : 0u);
        if (reads) {
            EXPECT_EQ(g_flash.calls[0].entry, "FL_Read");
            EXPECT_EQ(g_flash.calls[0].target, 2);
            EXPECT_EQ(g_flash.calls[0].offset, 8);
            EXPECT_EQ(g_flash.calls[0].length, 16);
        }
    }
}

TEST_F(ImageFileTest, MissingFile)
{
    uint32_t dataSize = 99;
    const std::string path = directory.Path("qd5180b.nios");
    EXPECT_EQ(GetFileInf(path.c_str(), flash, 1, dataSize), 0);
    EXPECT_EQ(dataSize, 0u);
    EXPECT_EQ(Log(), "GetFileInf:" + path + " File Open Error\n");
    EXPECT_EQ(ReadFileWithCheckSum(path.c_str(), flash, 1, 64), 0);
    EXPECT_EQ(Log(), "GetFileInf:" + path + " File Open Error\n") << "no line for the second open";
    EXPECT_TRUE(g_flash.calls.empty());
}

TEST_F(ImageFileTest, UnforwardedReadComparesAsEmptyText)
{
    // FL_Initialize gave 2: reads report success without filling anything.
    ResetLoader();
    FlashLibrary notForwarding;
    BindMemoryFlash(notForwarding, 2);
    StoreFlashVersion(1, "1.00");
    uint32_t dataSize = 0;
    const std::string written = directory.Write("a", MakeImage("1.00", {}));
    EXPECT_EQ(GetFileInf(written.c_str(), notForwarding, 1, dataSize), 1);
    const std::string empty = directory.Write("b", MakeImage("", {}));
    EXPECT_EQ(GetFileInf(empty.c_str(), notForwarding, 1, dataSize), 0);
    EXPECT_TRUE(g_flash.calls.empty());
}

TEST_F(ImageFileTest, WriteDecision)
{
    const std::vector<uint8_t> image = MakeImage("1.00", {'a', 'b', 'c'});
    std::vector<uint8_t> corrupted = image;
    corrupted[65] ^= 0x40;
    std::vector<uint8_t> longer = image;
    longer.insert(longer.end(), {9, 9, 9});
    // Would verify if the two missing bytes were read as zero.
    std::vector<uint8_t> truncated = MakeImage("1.00", {'a', 'b', 'c', 0, 0});
    truncated.resize(truncated.size() - 2);
    std::vector<uint8_t> stamped3 = image;
    stamped3[8] = '3';
    std::vector<uint8_t> stamped127 = image;
    stamped127[8] = 0xAF;
    const std::string checksumError = "ReadFileWithCheckSum:CheckSum Error\n";

    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        uint32_t size;
        int8_t installerId;
        int writeResult;
        int result;
        std::string log;
        std::vector<uint8_t> written;  // empty: no write call
    };
    const Case cases[] = {
        {"valid image written whole", image, 67, 0, 1, 1, "", image},
        {"InstallerId 1 leaves the version", image, 67, 1, 1, 1, "", image},
        {"negative InstallerId leaves the version", image, 67, -48, 1, 1, "", image},
        {"InstallerId 3 stamps '3', CheckSum as stored", image, 67, 3, 1, 1, "", stamped3},
        {"InstallerId 127 stamps 0xAF", image, 67, 127, 1, 1, "", stamped127},
        {"bytes beyond DataSize are ignored", longer, 67, 0, 1, 1, "", image},
        {"write failure value comes back", image, 67, 0, 6, 6, "FL_Write() FALSE\n", image},
        {"write failure 0 logged", image, 67, 0, 0, 0, "FL_Write() FALSE\n", image},
        {"corrupted byte", corrupted, 67, 0, 1, 0, checksumError, {}},
        {"file shorter than DataSize never reaches flash", truncated, 69, 0, 1, 0, checksumError, {}},
        {"size below 60", image, 59, 0, 1, 0, checksumError, {}},
        {"size 1", image, 1, 0, 1, 0, checksumError, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartCase();
        InstallerId = c.installerId;
        g_flash.writeResult = c.writeResult;
        const std::string path = directory.Write("qd5180b.nios", c.file);
        EXPECT_EQ(ReadFileWithCheckSum(path.c_str(), flash, 1, c.size), c.result);
        EXPECT_EQ(Log(), c.log);
        if (c.written.empty()) {
            EXPECT_TRUE(g_flash.calls.empty());
        } else {
            ASSERT_EQ(g_flash.calls.size(), 1u);
            const FlashCall& write = g_flash.calls[0];
            EXPECT_EQ(write.entry, "FL_Write");
            EXPECT_EQ(write.target, 1);
            EXPECT_EQ(write.offset, 0);
            EXPECT_EQ(write.length, int(c.size));
            EXPECT_EQ(write.data, c.written);
        }
    }
}

TEST_F(ImageFileTest, LogsNothingWithoutRunLog)
{
    fclose(RunLog);
    RunLog = nullptr;
    uint32_t dataSize = 0;
    const std::string path = directory.Write("x", MakeImage("1.00", {}));
    EXPECT_EQ(GetFileInf(path.c_str(), flash, 1, dataSize), 1);
    EXPECT_EQ(ReadFileWithCheckSum(path.c_str(), flash, 1, dataSize), 1);
    EXPECT_EQ(g_flash.calls.size(), 2u);
}

// A vendor library that ends the process must find every line written so
// far on disk: a second reader sees them while the log is still open.
TEST(RunLogTest, EachLineIsOnDiskOnceWritten)
{
    TempDirectory directory;
    const std::string path = directory.Write("zef_installer.log", {});
    RunLog = fopen(path.c_str(), "w");
    ASSERT_NE(RunLog, nullptr);
    LogPrintf("(Id:%d)\npObjFname = %s\n", 1, "a");
    LogPrintf("(Update)\n");
    FILE* reader = fopen(path.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    char seen[64] = {};
    const size_t length = fread(seen, 1, sizeof seen - 1, reader);
    fclose(reader);
    fclose(RunLog);
    RunLog = nullptr;
    EXPECT_EQ(std::string(seen, length), "(Id:1)\npObjFname = a\n(Update)\n");
}

}  // namespace
