"""The registry values every prefix holds, set once when its template is made
(a program's start is the dearest thing in a guest): what hexalift's runs,
the scenarios' traces and a crash need of Wine."""

# No window manager under Xvfb: unmanaged windows, or every DestroyWindow
# waits about 2 s for one.
UNMANAGED_WINDOWS = {"HKCU\\Software\\Wine\\X11 Driver": {"Managed": "N"}}

# The Win32 calls whose arguments the scenarios check, from Wine's relay
# trace; OutputDebugStringA carries the simulator's journal lines into it.
RELAY_INCLUDE = ";".join(
    [
        "user32.CreateDialogParamA",
        "user32.ShowWindow",
        "user32.GetDlgItem",
        "user32.SetWindowTextA",
        "user32.DestroyWindow",
        "user32.ExitWindowsEx",
        "advapi32.OpenProcessToken",
        "advapi32.LookupPrivilegeValueA",
        "advapi32.AdjustTokenPrivileges",
        "kernel32.GetVersion",
        "kernelbase.GetVersion",
        "kernel32.Sleep",
        "kernelbase.Sleep",
        "kernel32.OutputDebugStringA",
        "kernelbase.OutputDebugStringA",
    ]
)

# A program that crashes (a scenario's simulated library) ends at once with
# its exception's code and Wine's one-line report: the prefix names a
# debugger that does not exist, for either width. Wine's own debugger,
# started otherwise, sometimes ended the process with status 0 instead.
NO_DEBUGGER = {"Debugger": "no-debugger.exe %ld %ld", "Auto": "1"}
AE_DEBUG = "Microsoft\\Windows NT\\CurrentVersion\\AeDebug"

# The program under this name is told that it runs on Windows 98 (GetVersion's
# top bit set, outside the NT family) by the prefix's per-program settings.
WIN98_PROGRAM = "hexalift-win98.exe"

PREFIX_SETTINGS = {
    **UNMANAGED_WINDOWS,
    "HKCU\\Software\\Wine\\Debug": {"RelayInclude": RELAY_INCLUDE},
    f"HKLM\\Software\\{AE_DEBUG}": NO_DEBUGGER,
    f"HKLM\\Software\\Wow6432Node\\{AE_DEBUG}": NO_DEBUGGER,
    f"HKCU\\Software\\Wine\\AppDefaults\\{WIN98_PROGRAM}": {"Version": "win98"},
}
