"""How Windows images run on this machine (the package winhost), from the
command line:

  windows_host.py mode     where the shipped 32-bit images run: native
                           (on this machine) or vm (in the guest)
  windows_host.py status   the mode, the guest's kernel and prefix images,
                           guests still running, and the Wine prefixes and
                           displays under build/
  windows_host.py cmake    the build table and the mode, as CMake settings
  windows_host.py make-template DIR
                           a new Wine prefix template in DIR, its output on
                           stdout (the guest runs this to make the image)

HEXALIFT_I386=native|vm forces the mode.
"""

import sys
from pathlib import Path

from winhost import BUILDS, WineSession, decide_mode, display, guest, i386
from winhost.builds import PREPARE_TIMEOUT, ROOT, SKIPPED
from winhost.session import GUEST_DIR


def cmake_settings(mode: str) -> str:
    """What CMake needs of the table: the builds, and for each its
    toolchain, label, whether it runs in the guest here, and its test
    timeout."""
    lines = [f"set(I386_MODE {mode})", f"set(WINDOWS_BUILDS {' '.join(BUILDS)})",
             f"set(WINDOWS_PREPARE_TIMEOUT {PREPARE_TIMEOUT})", f"set(SKIPPED_STATUS {SKIPPED})"]
    for name, build in BUILDS.items():
        lines += [f"set(WINDOWS_BUILD_{name}_TOOLCHAIN {build.toolchain})",
                  f"set(WINDOWS_BUILD_{name}_LABEL {build.label})",
                  f"set(WINDOWS_BUILD_{name}_IN_GUEST {'ON' if build.in_guest(mode) else 'OFF'})",
                  f"set(WINDOWS_BUILD_{name}_TIMEOUT {build.test_timeout()})"]
    return "\n".join(lines) + "\n"


def readiness(path: Path) -> str:
    return "being made, or left half-made by a kill" if path.name.endswith(".partial") else "ready"


def status(build_dir: Path) -> str:
    native = i386.runs_i386_natively()
    lines = [f"mode: {decide_mode()} (the kernel runs i386 programs: "
             f"{'yes' if native else 'no' if native is False else 'cannot tell, a handler takes every probe'})"]
    kernel = GUEST_DIR / "vmlinuz"
    lines.append(f"guest kernel: {kernel if kernel.exists() else 'none yet (downloaded when a guest is first needed)'}")
    for image in sorted(build_dir.glob("*/prefix-template.sqfs*")):
        lines.append(f"guest prefix image: {image} ({readiness(image)})")
    running = guest.running(GUEST_DIR)
    lines.append("guests running: " + (", ".join(f"process {pid} ({job})" for pid, job in running) or "none"))
    prefixes = sorted(build_dir.glob("*/*/prefix*")) + sorted(build_dir.glob("*/prefix-template*"))
    for prefix in (p for p in prefixes if p.is_dir()):
        lines.append(f"prefix: {prefix} ({readiness(prefix)})")
    for record in sorted(build_dir.glob("*/*/display")):
        shown = display.recorded(record)
        lines.append(f"display: {record.parent}: " + (f"Xvfb {shown[0]}, process {shown[1]}" if shown
                                                       else "stopped (a stale record)"))
    return "\n".join(lines)


def main(argv: list) -> int:
    if argv == ["mode"]:
        print(decide_mode())
    elif argv == ["cmake"]:
        print(cmake_settings(decide_mode()), end="")
    elif argv == ["status"]:
        print(status(ROOT / "build"))
    elif len(argv) == 2 and argv[0] == "make-template":
        session = WineSession(Path(argv[1]).parent, BUILDS["x64"], "native")
        session.make_template(Path(argv[1]), sys.stdout)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
