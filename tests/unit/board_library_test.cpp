#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_library.h"
#include "simulated_loader.h"

namespace {

// An in-memory "zefib.dll" that records its calls.
std::vector<std::string> g_calls;
int g_initializeResult = 1;

int HEX_STDCALL Initialize()
{
    g_calls.push_back("IB_Initialize");
    return g_initializeResult;
}
int HEX_STDCALL Terminate()
{
    g_calls.push_back("IB_Terminate");
    return 5;
}
int HEX_STDCALL Open(int board)
{
    g_calls.push_back("IB_Open " + std::to_string(board));
    return 42;
}
int HEX_STDCALL Close(int handle)
{
    g_calls.push_back("IB_Close " + std::to_string(handle));
    return -1;
}
int HEX_STDCALL WriteSingleRegister(int handle, int space, int address, int value, int width)
{
    g_calls.push_back("IB_WriteSingleRegister " + std::to_string(handle) + " " + std::to_string(space) + " " +
                      std::to_string(address) + " " + std::to_string(value) + " " + std::to_string(width));
    return 3;
}

const char* const kOrder[] = {"IB_Initialize", "IB_Terminate", "IB_Open", "IB_Close",
                              "IB_WriteSingleRegister"};

EntryTable BoardEntries(const std::string& without = "")
{
    EntryTable entries = {{"IB_Initialize", AsEntry(Initialize)},
                          {"IB_Terminate", AsEntry(Terminate)},
                          {"IB_Open", AsEntry(Open)},
                          {"IB_Close", AsEntry(Close)},
                          {"IB_WriteSingleRegister", AsEntry(WriteSingleRegister)}};
    entries.erase(without);
    return entries;
}

class BoardLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLoader();
        g_calls.clear();
        g_initializeResult = 1;
    }
};

TEST_F(BoardLibraryTest, LoadStopsAtTheFirstMissingEntryPoint)
{
    for (int missing = 0; missing < 5; ++missing) {
        RegisterLibrary("zefib.dll", BoardEntries(kOrder[missing]));
        BoardLibrary board;
        EXPECT_EQ(board.Load("zefib.dll"), 0) << kOrder[missing];
        const void* fields[] = {reinterpret_cast<void*>(board.binding.initializeEntry),
                                reinterpret_cast<void*>(board.binding.terminateEntry),
                                reinterpret_cast<void*>(board.openEntry),
                                reinterpret_cast<void*>(board.closeEntry),
                                reinterpret_cast<void*>(board.writeSingleRegisterEntry)};
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(fields[i] != nullptr, i < missing) << "without " << kOrder[missing] << ", field " << i;
    }
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(BoardLibraryTest, NotForwardingOpenAnswersNoBoardTheRestSuccess)
{
    // A new binding, one whose library did not initialise, and one that
    // initialised to 2: none of them forwards.
    for (int initializeResult : {-100, 0, 2}) {
        SCOPED_TRACE(initializeResult);
        SetUp();
        BoardLibrary board;
        if (initializeResult != -100) {
            g_initializeResult = initializeResult;
            RegisterLibrary("zefib.dll", BoardEntries());
            ASSERT_EQ(board.Load("zefib.dll"), 1);
            EXPECT_EQ(board.Initialize(), initializeResult != 0 ? 1 : 0);
            g_calls.clear();
        }
        EXPECT_EQ(board.Open(0), 0);
        EXPECT_EQ(board.Close(42), 1);
        EXPECT_EQ(board.WriteSingleRegister(42, 0, 0x10028, 0, 32), 1);
        EXPECT_EQ(board.Terminate(), 1);
        EXPECT_TRUE(g_calls.empty());
        board.Unload();
        EXPECT_EQ(ReleaseCount("zefib.dll"), initializeResult == 2 ? 1 : 0);
    }
}

TEST_F(BoardLibraryTest, ForwardsArgumentsAndResultsUnchanged)
{
    RegisterLibrary("zefib.dll", BoardEntries());
    BoardLibrary board;
    ASSERT_EQ(board.Load("zefib.dll"), 1);
    ASSERT_EQ(board.Initialize(), 1);
    EXPECT_EQ(board.Open(0), 42);
    EXPECT_EQ(board.WriteSingleRegister(42, 0, 0x10028, 1, 32), 3);
    EXPECT_EQ(board.Close(42), -1);
    EXPECT_EQ(board.Terminate(), 5);
    board.Unload();
    EXPECT_EQ(ReleaseCount("zefib.dll"), 1);
    const std::vector<std::string> expected = {"IB_Initialize", "IB_Open 0",
                                               "IB_WriteSingleRegister 42 0 65576 1 32", "IB_Close 42",
                                               "IB_Terminate"};
    EXPECT_EQ(g_calls, expected);
}

}  // namespace
