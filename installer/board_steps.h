// The run's use of the board interface: open board 0, hold the optical
// module in reset while images are written, return it to normal operation,
// release the library. Each step logs its own lines.
#pragma once

class BoardLibrary;

// Loads and initialises the library and opens board 0. Returns the
// BoardHandle, 0 when there is no board.
int OpenBoard(BoardLibrary& board);

// Writes 0 to the reset register and, when that succeeded, waits 1000 ms so
// the module settles before its flash is touched. Nothing without a board
// handle (and there is none without a board library).
void HoldModuleInReset(BoardLibrary* board, int boardHandle);

// Writes 1 to the reset register. Nothing without a board handle.
void ReturnModuleToNormal(BoardLibrary* board, int boardHandle);

// Closes the board, terminates the library only after a successful close,
// and unloads it.
void ReleaseBoard(BoardLibrary& board, int boardHandle);
