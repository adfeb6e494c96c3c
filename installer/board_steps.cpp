#include "board_steps.h"

#include <windows.h>

#include "board_library.h"
#include "run_log.h"

namespace {

const char kBoardLibraryName[] = "zefib.dll";
constexpr int kBoardNumber = 0;

// The module's reset register: 0 holds the module in reset, 1 lets it run.
constexpr int kRegisterSpace = 0;
constexpr int kResetRegister = 0x10028;
constexpr int kRegisterWidth = 32;
constexpr int kHoldInReset = 0;
constexpr int kNormalOperation = 1;
constexpr DWORD kResetSettleMilliseconds = 1000;

int WriteResetRegister(BoardLibrary& board, int boardHandle, int value)
{
    const int result =
        board.WriteSingleRegister(boardHandle, kRegisterSpace, kResetRegister, value, kRegisterWidth);
    if (result == 1)
        LogPrintf("IB_WriteSingleRegister( %d, 0x%x, %d, %d )\n", kRegisterSpace, kResetRegister, value,
                  kRegisterWidth);
    return result;
}

}  // namespace

int OpenBoard(BoardLibrary& board)
{
    int result = board.Load(kBoardLibraryName);
    if (result == 1)
        result = board.Initialize();
    else
        LogPrintf("Load( zefib.dll ) FALSE\n");
    if (result != 1) {
        LogPrintf("IB_Initialize() FALSE\n");
        return 0;
    }
    return board.Open(kBoardNumber);
}

void HoldModuleInReset(BoardLibrary* board, int boardHandle)
{
    if (boardHandle == 0)
        return;
    if (WriteResetRegister(*board, boardHandle, kHoldInReset) == 1)
        Sleep(kResetSettleMilliseconds);
    else
        LogPrintf("IB_WriteSingleRegister(Reset) Error\n");
}

void ReturnModuleToNormal(BoardLibrary* board, int boardHandle)
{
    if (boardHandle == 0)
        return;
    if (WriteResetRegister(*board, boardHandle, kNormalOperation) != 1)
        LogPrintf("IB_WriteSingleRegister(Normal) Error\n");
}

void ReleaseBoard(BoardLibrary& board, int boardHandle)
{
    // Terminate only after a close that succeeded; a close that failed
    // stands as the release result.
    int result = 0;
    if (boardHandle != 0)
        result = board.Close(boardHandle);
    if (result == 1)
        result = board.Terminate();
    else
        LogPrintf("IB_Close() FALSE\n");
    if (result == 0)
        LogPrintf("IB_Terminate() FALSE\n");
    board.Unload();
}
