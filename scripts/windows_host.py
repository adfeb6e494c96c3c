"""How Windows images run on this machine (the package winhost), from the
command line:

  windows_host.py mode     the mode this machine gets: native or emulated
  windows_host.py status   the mode, our emulator handler and its users, the
                           Wine prefixes and the displays under build/
  windows_host.py cmake    the build table and the mode, as CMake settings

HEXALIFT_I386=native|emulated forces the mode.
"""

import sys
from pathlib import Path

from winhost import BUILDS, decide_mode, display, i386
from winhost.builds import PREPARE_TIMEOUT, ROOT, SKIPPED


def cmake_settings(mode: str) -> str:
    """What CMake needs of the table: the builds, and for each its
    toolchain, label, whether it runs emulated here, and its test timeout."""
    lines = [f"set(I386_MODE {mode})", f"set(WINDOWS_BUILDS {' '.join(BUILDS)})",
             f"set(WINDOWS_PREPARE_TIMEOUT {PREPARE_TIMEOUT})", f"set(SKIPPED_STATUS {SKIPPED})"]
    for name, build in BUILDS.items():
        lines += [f"set(WINDOWS_BUILD_{name}_TOOLCHAIN {build.toolchain})",
                  f"set(WINDOWS_BUILD_{name}_LABEL {build.label})",
                  f"set(WINDOWS_BUILD_{name}_EMULATED {'ON' if build.emulated(mode) else 'OFF'})",
                  f"set(WINDOWS_BUILD_{name}_TIMEOUT {build.test_timeout(mode)})"]
    return "\n".join(lines) + "\n"


def status(build_dir: Path) -> str:
    native = i386.runs_i386_natively()
    lines = [f"mode: {decide_mode()} (the kernel runs i386 programs: "
             f"{'yes' if native else 'no' if native is False else 'cannot tell, a handler takes every probe'})"]
    handlers = [h.name + ("" if h.enabled else " (disabled)") for h in i386.handlers()
                if h.matches(i386.i386_program())]
    lines.append(f"i386 handlers: {', '.join(handlers) or 'none'}"
                 + (f" ({i386.OUR_HANDLER} is ours)" if i386.our_handler_registered() else ""))
    with i386.machine_lock():
        users = i386.live_users()
    lines.append(f"users of our emulator: {', '.join(users) or 'none'}")
    prefixes = sorted(build_dir.glob("*/*/prefix*")) + sorted(build_dir.glob("*/prefix-template*"))
    for prefix in (p for p in prefixes if p.is_dir()):
        state = "being made or left half-made by a kill" if prefix.name.endswith(".partial") else "ready"
        lines.append(f"prefix: {prefix} ({state})")
    for record in sorted(build_dir.glob("*/*/display")):
        running = display.recorded(record)
        lines.append(f"display: {record.parent}: " + (f"Xvfb {running[0]}, process {running[1]}" if running
                                                       else "stopped (a stale record)"))
    return "\n".join(lines)


def main(argv: list) -> int:
    if argv == ["mode"]:
        print(decide_mode())
    elif argv == ["cmake"]:
        print(cmake_settings(decide_mode()), end="")
    elif argv == ["status"]:
        print(status(ROOT / "build"))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
