// The simulated "zefib.dll": register access on the optical module's board
// interface. Register values are kept in "board-register-<address>.txt" of
// the state directory, so after a run the reset register (0x10028) shows
// whether the module was left in reset (0) or running (1). Every call is
// journaled, in the same journal as the simulated "Flash.dll".
//
// Settings (environment variables; the value each entry point returns):
//   HEXSIM_IB_INITIALIZE    default 1 (0: not initialised; 2: initialised,
//                           but the program forwards nothing)
//   HEXSIM_IB_OPEN          default 7: the board handle; 0 is no board
//   HEXSIM_IB_WRITE_RESET   default 1: writing 0 to a register (reset)
//   HEXSIM_IB_WRITE_NORMAL  default 1: writing any other value (normal)
//   HEXSIM_IB_CLOSE         default 1 (0 and -1 are failures)
//   HEXSIM_IB_TERMINATE     default 1 (0 is a failure)
// "crash" for either write: it raises an access violation instead, and the
// register stays as it was. A failing write leaves the register as it was. A handle other than the
// one IB_Open gave fails with 0.
//
// Built once per missing entry point as well (SIM_WITHOUT_<name>).
#include <windows.h>

#include <cstdio>

#include "sim_state.h"

#define SIM_EXPORT extern "C" __declspec(dllexport)

namespace {

int g_openHandle = 0;

}  // namespace

SIM_DLL_MAIN("zefib.dll")

#ifndef SIM_WITHOUT_IB_Initialize
SIM_EXPORT int __stdcall IB_Initialize()
{
    return SimAnswer("IB_Initialize", "HEXSIM_IB_INITIALIZE", 1);
}
#endif

#ifndef SIM_WITHOUT_IB_Terminate
SIM_EXPORT int __stdcall IB_Terminate()
{
    return SimAnswer("IB_Terminate", "HEXSIM_IB_TERMINATE", 1);
}
#endif

#ifndef SIM_WITHOUT_IB_Open
SIM_EXPORT int __stdcall IB_Open(int board)
{
    const int result = SimSetting("HEXSIM_IB_OPEN", 7);
    g_openHandle = result;
    SimJournal("IB_Open(%d) = %d", board, result);
    return result;
}
#endif

#ifndef SIM_WITHOUT_IB_Close
SIM_EXPORT int __stdcall IB_Close(int boardHandle)
{
    const bool open = boardHandle != 0 && boardHandle == g_openHandle;
    const int result = open ? SimSetting("HEXSIM_IB_CLOSE", 1) : 0;
    if (result == 1)
        g_openHandle = 0;
    SimJournal("IB_Close(%d) = %d", boardHandle, result);
    return result;
}
#endif

#ifndef SIM_WITHOUT_IB_WriteSingleRegister
SIM_EXPORT int __stdcall IB_WriteSingleRegister(int boardHandle, int space, int address, int value, int width)
{
    int result = 0;
    if (boardHandle != 0 && boardHandle == g_openHandle) {
        const char* setting = value == 0 ? "HEXSIM_IB_WRITE_RESET" : "HEXSIM_IB_WRITE_NORMAL";
        if (SimCrashes(setting)) {
            SimJournal("IB_WriteSingleRegister(%d, %d, 0x%x, %d, %d) = access violation", boardHandle, space,
                       static_cast<unsigned>(address), value, width);
            SimCrash();
        }
        result = SimSetting(setting, 1);
        char fileName[48];
        char text[16];
        snprintf(fileName, sizeof fileName, "board-register-0x%x.txt", static_cast<unsigned>(address));
        const int length = snprintf(text, sizeof text, "%d\n", value);
        if (result == 1 && !SimWriteFile(fileName, 0, text, static_cast<size_t>(length), true))
            result = 0;
    }
    SimJournal("IB_WriteSingleRegister(%d, %d, 0x%x, %d, %d) = %d", boardHandle, space,
               static_cast<unsigned>(address), value, width, result);
    return result;
}
#endif
