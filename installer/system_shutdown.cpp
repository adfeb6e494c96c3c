#include "system_shutdown.h"

#include <windows.h>

void RequestSystemShutdown()
{
    // The top bit of the version value is clear on the Windows NT family,
    // where shutting down needs the privilege switched on first.
    if ((GetVersion() & 0x80000000u) == 0) {
        HANDLE token = nullptr;  // stays open until the process ends, right after
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token);
        TOKEN_PRIVILEGES privileges = {};
        LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    }
    // Shut down to the point where power can be switched off; other programs
    // are ended without being asked.
    ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, 0);
}
