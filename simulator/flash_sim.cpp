// The simulated "Flash.dll": the optical module's flash memory kept in files
// "flash-target-1.bin" and "flash-target-2.bin" of the state directory, so a
// later run reads back what an earlier one wrote. Every call is journaled.
//
// Settings (environment variables; the value each entry point returns):
//   HEXSIM_FL_INITIALIZE  default 1 (0: not initialised; 2: initialised,
//                         but the program forwards nothing and so handles
//                         no image)
//   HEXSIM_FL_TERMINATE   default 1
//   HEXSIM_FL_READ        default 1; any other value is a failing read that
//                         leaves the caller's buffer untouched
//   HEXSIM_FL_WRITE       default 1; any other value is a failing write that
//                         leaves flash untouched; "crash": the write raises
//                         an access violation and writes nothing
//   HEXSIM_FL_WRITE_DELAY_MS  default 0: how long a write takes
// Targets other than 1 and 2 do not exist: reads and writes to them fail with 0.
//
// Built once per missing entry point as well (SIM_WITHOUT_<name>), to stand
// for an incomplete library.
#include <windows.h>

#include <cstdio>

#include "sim_state.h"

#define SIM_EXPORT extern "C" __declspec(dllexport)

namespace {

bool TargetFile(int target, char (&fileName)[32])
{
    if (target != 1 && target != 2)
        return false;
    snprintf(fileName, sizeof fileName, "flash-target-%d.bin", target);
    return true;
}

int g_lastError = 0;

// A buffer's address as the journal shows it.
unsigned Address(const void* buffer)
{
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(buffer));
}

}  // namespace

SIM_DLL_MAIN("Flash.dll")

#ifndef SIM_WITHOUT_FL_Initialize
SIM_EXPORT int __stdcall FL_Initialize()
{
    return SimAnswer("FL_Initialize", "HEXSIM_FL_INITIALIZE", 1);
}
#endif

#ifndef SIM_WITHOUT_FL_Terminate
SIM_EXPORT int __stdcall FL_Terminate()
{
    return SimAnswer("FL_Terminate", "HEXSIM_FL_TERMINATE", 1);
}
#endif

#ifndef SIM_WITHOUT_FL_Write
SIM_EXPORT int __stdcall FL_Write(int target, int offset, void* data, int length)
{
    Sleep(static_cast<DWORD>(SimSetting("HEXSIM_FL_WRITE_DELAY_MS", 0)));
    if (SimCrashes("HEXSIM_FL_WRITE")) {
        SimJournal("FL_Write(%d, %d, 0x%08x, %d) = access violation", target, offset, Address(data), length);
        SimCrash();
    }
    int result = SimSetting("HEXSIM_FL_WRITE", 1);
    char fileName[32];
    if (!TargetFile(target, fileName) || offset < 0 || length < 0)
        result = 0;
    else if (result == 1 &&
             !SimWriteFile(fileName, static_cast<unsigned>(offset), data, static_cast<size_t>(length)))
        result = 0;
    if (result != 1)
        g_lastError = result;
    SimJournal("FL_Write(%d, %d, 0x%08x, %d) = %d", target, offset, Address(data), length, result);
    return result;
}
#endif

#ifndef SIM_WITHOUT_FL_Read
SIM_EXPORT int __stdcall FL_Read(int target, int offset, void* buffer, int length)
{
    int result = SimSetting("HEXSIM_FL_READ", 1);
    char fileName[32];
    if (!TargetFile(target, fileName) || offset < 0 || length < 0)
        result = 0;
    else if (result == 1)
        SimReadFile(fileName, static_cast<unsigned>(offset), buffer, static_cast<size_t>(length));
    if (result != 1)
        g_lastError = result;
    SimJournal("FL_Read(%d, %d, 0x%08x, %d) = %d", target, offset, Address(buffer), length, result);
    return result;
}
#endif

#ifndef SIM_WITHOUT_FL_Erase
SIM_EXPORT int __stdcall FL_Erase(int target)
{
    char fileName[32];
    char path[MAX_PATH];
    int result = 0;
    if (TargetFile(target, fileName)) {
        SimStatePath(fileName, path);
        DeleteFileA(path);
        result = 1;
    }
    SimJournal("FL_Erase(%d) = %d", target, result);
    return result;
}
#endif

#ifndef SIM_WITHOUT_FL_GetLastError
SIM_EXPORT int __stdcall FL_GetLastError()
{
    SimJournal("FL_GetLastError() = %d", g_lastError);
    return g_lastError;
}
#endif
