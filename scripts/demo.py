"""Runs hexalift.exe under Wine against the simulated optical module and
shows the run log, the calls the module received and what reached flash.
scripts/demo.sh installs and builds first, then calls this.

The shipped 32-bit hexalift.exe runs wherever that is possible: natively
where this machine runs 32-bit x86 code, under emulation (minutes) where it
does not. --x64 runs the x86-64 build of the same sources instead, which
is quick everywhere but is not what ships.

The simulated flash lives in build/demo/module and survives between runs:
run the demo twice and the second run finds both images current. HEXSIM_*
variables in the environment reach the simulator (see README.md).
"""

import argparse
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from harness import FPGA_IMAGE, PROCESSOR_IMAGE, Setup, Tools, lay_out  # noqa: E402
from windows_host import (EMULATED_SECONDS_PER_PROCESS, FORCE_VARIABLE, WineSession, decide_mode,  # noqa: E402
                          windows_path)

BUILD = ROOT / "build"
DEMO = BUILD / "demo"
MODULE = DEMO / "module"
BUILDS = {"pe32": ("shipped 32-bit (PE32) build", BUILD / "windows" / "bin"),
          "x64": ("x86-64 build of the same sources (a stand-in, not what ships)",
                  BUILD / "windows-x64" / "bin")}


def arguments():
    parser = argparse.ArgumentParser(prog="scripts/demo.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("images", nargs="*", metavar="IMAGE",
                        help="your own processor and FPGA image files (both, in that order)")
    parser.add_argument("--blank", action="store_true", help="erase the simulated flash first")
    parser.add_argument("--x64", action="store_true", help="run the x86-64 build instead of the shipped one")
    parser.add_argument("--screenshot", metavar="FILE", type=Path,
                        help="erase the flash, slow the writes down and save a PNG of the window "
                             "while an image is written")
    parser.add_argument("--check-arguments", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if len(args.images) not in (0, 2):
        parser.error("give both image files, or none for the samples")
    if args.check_arguments:
        sys.exit(0)
    return args


def sample_images(tools: Tools) -> dict:
    return {PROCESSOR_IMAGE: tools.make_image("1.00", b"\x55" * 65536),
            FPGA_IMAGE: tools.make_image("2.5", b"\xaa" * 200000)}


def take_screenshot(session: WineSession, journal: Path, target: Path) -> None:
    """Once the first image is being written, its path is in the window."""
    for _ in range(100 if not session.emulated else 3000):
        if journal.exists() and "FL_Read(1" in journal.read_text(errors="replace"):
            break
        time.sleep(0.2)
    time.sleep(1)
    env = session.env()
    tree = subprocess.run(["xwininfo", "-root", "-tree"], env=env, capture_output=True, text=True).stdout
    window = next(line.split()[0] for line in tree.splitlines() if '"Hardware Object"' in line)
    subprocess.run(["import", "-window", window, str(target)], env=env, check=True)
    print(f"== The window while an image is written: {target}")


def show_results(tools: Tools, run_dir: Path, program: Path, status: int) -> None:
    console = run_dir / "console.txt"
    print(f"== {program} exited with status {status}; console output: {console.stat().st_size} bytes")
    print("\n== Run log (C:\\zef_installer.log)")
    log = tools.drive_c() / "zef_installer.log"
    # Blank flash reads back as 0xFF bytes, shown here as M-^?.
    text = log.read_bytes().replace(b"\r", b"") if log.exists() else b"(none)\n"
    print("".join(chr(b) if b < 0x80 else "M-" + ("^?" if b == 0xFF else chr(b - 0x80)) for b in text), end="")
    print(f"\n== Calls the simulated module received ({MODULE / 'journal.txt'})")
    journal = MODULE / "journal.txt"
    print(journal.read_text(errors="replace") if journal.exists() else "(none)\n", end="")
    print("\n== Board register 0x10028 (0: module held in reset, 1: running)")
    register = MODULE / "board-register-0x10028.txt"
    print(register.read_text() if register.exists() else "(never written)\n", end="")
    for target in (1, 2):
        print(f"\n== Flash target {target}")
        flash = MODULE / f"flash-target-{target}.bin"
        sys.stdout.flush()
        if flash.exists():
            subprocess.run([str(tools.imagetool), "show", str(flash)])
        else:
            print("(never written)")


def main() -> int:
    args = arguments()
    flavour = "x64" if args.x64 else "pe32"
    what, windows_bin = BUILDS[flavour]
    mode = decide_mode()
    session = WineSession(DEMO / flavour, flavour, mode)
    program = windows_bin / "hexalift.exe"
    print(f"== Running {program}: the {what}")
    if session.emulated:
        minutes = (3 * EMULATED_SECONDS_PER_PROCESS + 59) // 60
        why = (f"{FORCE_VARIABLE}=emulated is set" if os.environ.get(FORCE_VARIABLE)
               else "This machine does not run 32-bit x86 code itself")
        print(f"   {why}: the shipped image runs under emulation (qemu-user),\n"
              f"   which takes about {minutes} minutes. For a quick look at the same sources\n"
              f"   built for x86-64: scripts/demo.sh --x64")
    sys.stdout.flush()

    tools = Tools(windows_bin, BUILD / "tools" / "imagetool", session)
    session.prepare()
    images = ({PROCESSOR_IMAGE: Path(args.images[0]).read_bytes(), FPGA_IMAGE: Path(args.images[1]).read_bytes()}
              if args.images else sample_images(tools))
    run_dir = session.work / "run"
    # First byte "1": a run log, and no shutdown at the end.
    lay_out(tools, run_dir, Setup(settings=b"1", images=images))
    MODULE.mkdir(parents=True, exist_ok=True)
    if args.blank or args.screenshot:
        for old in MODULE.glob("flash-target-*.bin"):
            old.unlink()
    (MODULE / "journal.txt").unlink(missing_ok=True)

    simulator = {k: v for k, v in os.environ.items() if k.startswith("HEXSIM_")}
    simulator["HEXSIM_DIR"] = windows_path(MODULE)
    if args.screenshot:
        simulator.setdefault("HEXSIM_FL_WRITE_DELAY_MS", "3000")
    result = {}
    runner = threading.Thread(target=lambda: result.update(
        status=session.run(["hexalift.exe"], run_dir, run_dir / "console.txt", **simulator)))
    (run_dir / "console.txt").unlink(missing_ok=True)
    runner.start()
    try:
        if args.screenshot:
            take_screenshot(session, MODULE / "journal.txt", args.screenshot.resolve())
    finally:
        runner.join()
        session.stop()
    if "status" not in result:
        raise RuntimeError(f"{program} did not finish within {session.timeout} s")
    show_results(tools, run_dir, program, result["status"])
    if result["status"] != 0:
        raise RuntimeError(f"{program} exited with status {result['status']} (always 0 when it ran); "
                           f"Wine's messages are in {run_dir / 'console.txt'}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as failure:   # noqa: BLE001  (a demo says what went wrong, never nothing)
        print(f"\ndemo: FAILED: {failure}", file=sys.stderr)
        print("What to do: the messages above say which step failed. Rerun scripts/demo.sh once the cause "
              "is fixed;\nscripts/demo.sh --x64 runs the x86-64 build of the same sources, which needs no "
              "32-bit support.", file=sys.stderr)
        sys.exit(1)
