#include <gtest/gtest.h>

#include "flash_library.h"
#include "memory_flash.h"

namespace {

class FlashLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLoader();
        g_flash = MemoryFlash{};
    }
    FlashLibrary flash;
};

TEST_F(FlashLibraryTest, NewBindingForwardsNothingAndReportsSuccess)
{
    EXPECT_EQ(flash.binding.module, nullptr);
    EXPECT_EQ(flash.binding.initialised, 0);
    uint8_t buffer[16] = {};
    EXPECT_EQ(flash.Terminate(), 1);
    EXPECT_EQ(flash.Read(1, 8, buffer, 16), 1);
    EXPECT_EQ(flash.Write(1, 0, buffer, 16), 1);
    flash.Unload();
    EXPECT_TRUE(g_flash.calls.empty());
}

TEST_F(FlashLibraryTest, LibraryThatCannotBeLoaded)
{
    EXPECT_EQ(flash.Load("Flash.dll"), 0);
    EXPECT_EQ(flash.binding.module, nullptr);
    EXPECT_EQ(flash.binding.initializeEntry, nullptr);
}

TEST_F(FlashLibraryTest, LoadStopsAtTheFirstMissingEntryPoint)
{
    const char* order[] = {"FL_Initialize", "FL_Terminate", "FL_Write",
                           "FL_Read",       "FL_Erase",     "FL_GetLastError"};
    for (int missing = 0; missing < 6; ++missing) {
        RegisterLibrary("Flash.dll", MemoryFlashEntries(order[missing]));
        FlashLibrary partial;
        EXPECT_EQ(partial.Load("Flash.dll"), 0) << "without " << order[missing];
        EXPECT_NE(partial.binding.module, nullptr) << "the library stays loaded";
        const void* fields[] = {reinterpret_cast<void*>(partial.binding.initializeEntry),
                                reinterpret_cast<void*>(partial.binding.terminateEntry),
                                reinterpret_cast<void*>(partial.writeEntry),
                                reinterpret_cast<void*>(partial.readEntry),
                                reinterpret_cast<void*>(partial.eraseEntry),
                                reinterpret_cast<void*>(partial.getLastErrorEntry)};
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(fields[i] != nullptr, i < missing) << "without " << order[missing] << ", field " << i;
        partial.Unload();  // never initialised: not released
        EXPECT_EQ(ReleaseCount("Flash.dll"), 0);
    }
    EXPECT_TRUE(g_flash.calls.empty()) << "loading calls nothing";
}

TEST_F(FlashLibraryTest, InitialisedValueDecidesForwardingAndRelease)
{
    struct Case {
        int initializeResult;
        int initializeAnswer;
        bool forwards;
        int releases;
    };
    for (Case c : {Case{1, 1, true, 1}, Case{2, 1, false, 1}, Case{0, 0, false, 0}, Case{-1, 1, false, 1}}) {
        SCOPED_TRACE(c.initializeResult);
        ResetLoader();
        g_flash = MemoryFlash{};
        g_flash.initializeResult = c.initializeResult;
        g_flash.readResult = 7;
        g_flash.writeResult = 8;
        g_flash.terminateResult = 9;
        RegisterLibrary("Flash.dll", MemoryFlashEntries());
        FlashLibrary binding;
        ASSERT_EQ(binding.Load("Flash.dll"), 1);
        EXPECT_EQ(binding.Initialize(), c.initializeAnswer);
        EXPECT_EQ(binding.binding.initialised, c.initializeResult);

        uint8_t buffer[16] = {0x5A};
        EXPECT_EQ(binding.Read(1, 8, buffer, 16), c.forwards ? 7 : 1);
        EXPECT_EQ(buffer[0], 0x5A) << "an unforwarded read leaves the buffer untouched";
        EXPECT_EQ(binding.Write(2, 0, buffer, 16), c.forwards ? 8 : 1);
        EXPECT_EQ(binding.Terminate(), c.forwards ? 9 : 1);
        EXPECT_EQ(g_flash.calls.size(), c.forwards ? 4u : 1u);

        binding.Unload();
        binding.Unload();  // a second unload does nothing
        EXPECT_EQ(ReleaseCount("Flash.dll"), c.releases);
        EXPECT_EQ(binding.binding.initialised, c.releases == 1 ? 0 : c.initializeResult);
        EXPECT_NE(binding.binding.module, nullptr) << "the module field keeps its value";
    }
}

TEST_F(FlashLibraryTest, ForwardsArgumentsUnchanged)
{
    BindMemoryFlash(flash);
    uint8_t data[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(flash.Write(2, 3, data, 5), 1);
    ASSERT_EQ(g_flash.calls.size(), 1u);
    EXPECT_EQ(g_flash.calls[0].target, 2);
    EXPECT_EQ(g_flash.calls[0].offset, 3);
    EXPECT_EQ(g_flash.calls[0].length, 5);
    uint8_t back[5] = {};
    EXPECT_EQ(flash.Read(2, 3, back, 5), 1);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 5), std::vector<uint8_t>(data, data + 5));
}

}  // namespace
