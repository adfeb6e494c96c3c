"""The program's own Win32 calls as the scenarios state them: the progress
window, the shutdown, and the simulator's journal lines in between."""

import re

from harness import ADDRESS, JOURNAL_LINE
from winhost.hexalift import TARGET_OF

WARNING = "Do not turn off power."
# Arguments shown as 'ptr' (unless the trace decodes them as text).
POINTERS = {
    "CreateDialogParamA": {3},
    "OpenProcessToken": {2},
    "LookupPrivilegeValueA": {1, 2},
    "AdjustTokenPrivileges": {2},
}


def image_line(path: str) -> str:
    return f"The program\n {path}\n is written in hardware."


def describe(calls, bits: int) -> list:
    """One text per call, with handles named: 'dialog' for the window,
    'item' for the control just looked up, 'token' for the process token,
    'ptr' for buffers, -1 for the process pseudo-handle of a bits-wide
    build. Journal lines become 'journal: <call>'."""
    dialog, item, texts = None, None, []
    all_ones = (1 << bits) - 1
    for call in calls:
        if call.function == "OutputDebugStringA":
            _, entry = JOURNAL_LINE.match(call.arguments[0].rstrip("\n")).groups()
            texts.append("journal: " + ADDRESS.sub("*", entry))
            continue
        shown = []
        for index, value in enumerate(call.arguments):
            if isinstance(value, str):
                shown.append(repr(value))
            elif index in POINTERS.get(call.function, ()):
                shown.append("ptr" if value else "0")
            elif call.function == "AdjustTokenPrivileges" and index == 0:
                shown.append("token" if value else "0")
            elif value != 0 and value == dialog:
                shown.append("dialog")
            elif value != 0 and value == item:
                shown.append("item")
            elif value == all_ones:  # GetCurrentProcess()
                shown.append("-1")
            else:
                shown.append(str(value))
        text = f"{call.function}({', '.join(shown)})"
        if call.function == "CreateDialogParamA":
            dialog = call.result
            text += " = dialog" if call.result else " = 0"
        if call.function == "GetDlgItem":
            item = call.result
            text += " = item" if call.result else " = 0"
        texts.append(text)
    return texts


LOOKUP = "LookupPrivilegeValueA(0, 'SeShutdownPrivilege', ptr)"


def same_calls(actual: list, wanted: list) -> bool:
    return len(actual) == len(wanted) and all(
        a in w if isinstance(w, tuple) else a == w for a, w in zip(actual, wanted)
    )


def window_and_shutdown(
    window: bool,
    named: list,
    shutdown: bool,
    bits: int = 32,
    nt_family: bool = True,
    destroyed: bool = True,
) -> list:
    """What the program calls, journal aside: the window (or the attempts on
    a window that was not created), an image line per image written, and
    the shutdown for InstallerId 0, which enables the shutdown privilege in
    the token first on the NT family only; a run that ends while the images
    are handled never destroys the window. An entry may be a tuple of the
    texts that are accepted there: a 64-bit trace (bits 64) may show the
    privilege's name or only its address."""
    dialog, item = ("dialog", "item") if window else ("0", "0")
    calls = [
        f"CreateDialogParamA(0, 101, 0, ptr, 0) = {dialog}",
        f"ShowWindow({dialog}, 5)",
        f"GetDlgItem({dialog}, 1002) = {item}",
        f"SetWindowTextA({item}, {WARNING!r})",
    ]
    for path in named:
        calls += [
            f"GetDlgItem({dialog}, 1001) = {item}",
            f"SetWindowTextA({item}, {image_line(path)!r})",
        ]
    if destroyed:
        calls.append(f"DestroyWindow({dialog})")
    if shutdown:
        calls.append("GetVersion()")
        if nt_family:
            calls += [
                "OpenProcessToken(-1, 40, ptr)",
                LOOKUP
                if bits == 32
                else (LOOKUP, "LookupPrivilegeValueA(0, ptr, ptr)"),
                "AdjustTokenPrivileges(token, 0, ptr, 0, 0, 0)",
            ]
        calls.append("ExitWindowsEx(5, 0)")
    return calls


def width_problems(calls, bits: int) -> list:
    """The trace must come from a program of the build's width: a 64-bit
    image lies above 4 GiB, so every call returns there, a 32-bit one below."""
    wrong = [
        call.function for call in calls if (call.returns_to >= 1 << 32) != (bits == 64)
    ]
    return (
        [f"calls returning to code of another width than {bits} bits: {wrong}"]
        if wrong
        else []
    )


TARGET = re.compile(r"journal: FL_(Read|Write)\((\d+),")


def order_problems(described: list) -> list:
    """The window opens after the module was put into reset, names each
    image between its version check and its write, and is gone before the
    module returns to normal operation."""
    problems = []

    def index_of(prefix):
        return next(
            (i for i, text in enumerate(described) if text.startswith(prefix)), None
        )

    create, destroy = index_of("CreateDialogParamA"), index_of("DestroyWindow")
    reset = index_of("journal: IB_WriteSingleRegister(7, 0, 0x10028, 0, 32)")
    normal = index_of("journal: IB_WriteSingleRegister(7, 0, 0x10028, 1, 32)")
    flash = [i for i, text in enumerate(described) if TARGET.match(text)]
    if reset is not None and create is not None and create < reset:
        problems.append("the window opened before the module was put into reset")
    if normal is not None and destroy is not None and destroy > normal:
        problems.append(
            "the window was still there when the module returned to normal operation"
        )
    if flash and destroy is not None and destroy < flash[-1]:
        problems.append("the window was destroyed before the flash was done with")
    for index, text in enumerate(described):
        if not text.startswith("SetWindowTextA(item, 'The program"):
            continue
        target = next(t for name, t in TARGET_OF.items() if name in text)
        before = [TARGET.match(described[i]).groups() for i in flash if i < index]
        after = [TARGET.match(described[i]).groups() for i in flash if i > index]
        if before and before[-1] != ("Read", str(target)):
            problems.append(
                f"image line for target {target} not right after its version check"
            )
        if after and after[0][0] == "Write" and after[0][1] != str(target):
            problems.append(
                f"image line for target {target} shown while another target was written"
            )
    return problems
