"""How Windows images run on this machine (the package winhost), from the command line:

  windows_host.py mode               where the shipped 32-bit images run: native or guest
  windows_host.py status             the mode, the guest's kernel, the prefix template's image, guests running,
                                     what killed runs left, and the build folder's Wine prefixes and displays
  windows_host.py cmake              the build table, the mode and the test limits, for CMake
  windows_host.py template           makes the prefix template's image, unless there is one
  windows_host.py run BUILD -- COMMAND...
                                     runs COMMAND where BUILD's images run: here, or in a guest (two
                                     processors) that has the prefix template's image; its output and status
                                     come back, and what it writes into the build folder's junit/
  windows_host.py make-template DIR  a new Wine prefix template in DIR (a guest runs this)

HEXALIFT_I386=native|guest forces the mode; HEXALIFT_BUILD_DIR names the build folder (build/ by default).
"""

import os
import sys
from pathlib import Path

from winhost import (
    BUILDS,
    WineSession,
    build_dir,
    decide_mode,
    display,
    guest,
    i386,
    limits,
    scratch,
)
from winhost.session import guest_dir


def cmake_settings(mode: str) -> str:
    tests = ("PREPARE", "TABLE", "GUEST_CHECK")  # limits.NAME_TEST
    settings = {
        "I386_MODE": mode,
        "WINDOWS_BUILDS": " ".join(BUILDS),
        **{f"{n}_TEST_LIMIT": getattr(limits, f"{n}_TEST") for n in tests},
    }
    for name, build in BUILDS.items():
        settings |= {
            f"WINDOWS_BUILD_{name}_TOOLCHAIN": build.toolchain,
            f"WINDOWS_BUILD_{name}_LABEL": build.label,
            f"WINDOWS_BUILD_{name}_IN_GUEST": "ON" if build.in_guest(mode) else "OFF",
        }
    return "".join(f"set({name} {value})\n" for name, value in settings.items())


def readiness(path: Path) -> str:
    return (
        "being made, or left half-made by a kill"
        if path.name.endswith(".partial")
        else "ready"
    )


def status(build: Path) -> str:
    try:
        mode, native = decide_mode(), "yes" if i386.runs_i386_natively() else "no"
    except RuntimeError as failure:
        mode, native = "undecided", f"cannot tell: {failure}"
    folder = guest_dir()
    kernel, running = folder / "vmlinuz", guest.running(folder)
    lines = [
        f"build folder: {build}",
        f"mode: {mode} (the kernel runs i386 programs: {native})",
        f"guest kernel: {kernel if kernel.exists() else 'none yet (fetched when a guest is first needed)'}",
        *(
            f"prefix template image: {image} ({readiness(image)})"
            for image in sorted(folder.glob("prefix-template-*.sqfs*"))
        ),
        "guests running: "
        + (", ".join(f"process {pid} ({job})" for pid, job in running) or "none"),
        *(
            f"left by a killed run (swept by the next): {left}"
            for parent in (
                folder / "jobs",
                folder / "downloads",
                scratch.default_parent(),
            )
            for left in scratch.left_behind(parent)
        ),
        *(
            f"prefix: {prefix} ({readiness(prefix)})"
            for prefix in sorted(build.glob("*/*/prefix*"))
            if prefix.is_dir()
        ),
    ]
    for record in sorted(build.glob("*/*/display")):
        shown = display.recorded(record)
        lines.append(
            f"display: {record.parent}: "
            + (
                f"Xvfb {shown[0]}, process {shown[1]}"
                if shown
                else "stopped (a stale record)"
            )
        )
    return "\n".join(lines)


def run(build: str, command: list) -> int:
    """The command runs as it would natively, in a guest where the build runs there."""
    session = WineSession(build_dir(), BUILDS[build], decide_mode())
    if not session.in_guest:
        os.execvp(command[0], command)
    junit = build_dir() / "junit"
    junit.mkdir(exist_ok=True)
    return session.run_in_guest([command], limits.TABLE, writable=[junit], cpus=2)


def main(argv: list) -> int:
    if argv == ["mode"]:
        print(decide_mode())
    elif argv == ["cmake"]:
        print(cmake_settings(decide_mode()), end="")
    elif argv == ["status"]:
        print(status(build_dir()))
    elif argv == ["template"]:
        WineSession(build_dir(), BUILDS["x64"], decide_mode()).make_template_image()
    elif len(argv) > 3 and argv[0] == "run" and argv[2] == "--":
        return run(argv[1], argv[3:])
    elif len(argv) == 2 and argv[0] == "make-template":
        WineSession(Path(argv[1]).parent, BUILDS["x64"], "native").make_template(
            Path(argv[1]), sys.stdout.buffer
        )
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
