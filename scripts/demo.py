"""Runs hexalift.exe under Wine against the simulated optical module and shows the run log, the calls the
module received and what reached flash. scripts/demo.sh installs and builds first, then calls this.

The shipped 32-bit hexalift.exe runs natively where the kernel runs 32-bit x86 programs, else in the guest,
a small virtual machine whose kernel does. --x64 runs the x86-64 build, which is not what ships.

The simulated flash lives in BUILD/demo/module (BUILD: build/, or HEXALIFT_BUILD_DIR) and survives between
runs: the second run finds both images current. HEXSIM_* variables reach the simulator (docs/running.md)."""

import argparse
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from winhost import (
    BUILDS,
    FORCE_VARIABLE,
    WineSession,
    build_dir,
    decide_mode,
    guest,
    limits,
    windows_path,
)
from winhost.hexalift import FPGA_IMAGE, PROCESSOR_IMAGE, RUN_LOG, Setup, Tools, lay_out

BUILD = build_dir()
DEMO, MODULE = BUILD / "demo", BUILD / "demo" / "module"


def arguments():
    parser = argparse.ArgumentParser(
        prog="scripts/demo.sh", description=__doc__.split("\n\n")[0], allow_abbrev=False
    )
    parser.add_argument(
        "images",
        nargs="*",
        metavar="IMAGE",
        help="your own processor and FPGA image files (both, in that order)",
    )
    parser.add_argument(
        "--blank", action="store_true", help="erase the simulated flash first"
    )
    parser.add_argument(
        "--x64",
        action="store_true",
        help="run the x86-64 build instead of the shipped one",
    )
    parser.add_argument(
        "--screenshot",
        metavar="FILE",
        type=Path,
        help="erase the flash, slow the writes down "
        "and save a PNG of the window while an image is written",
    )
    parser.add_argument(
        "--check-arguments", action="store_true", help=argparse.SUPPRESS
    )
    args = parser.parse_args()
    if len(args.images) not in (0, 2):
        parser.error("give both image files, or none for the samples")
    if args.check_arguments:
        sys.exit(0)
    return args


def take_screenshot(session: WineSession, journal: Path, target: Path) -> None:
    """Once the first image is being written, its path is in the window."""
    for _ in range(600):
        if journal.exists() and "FL_Read(1" in journal.read_text(errors="replace"):
            break
        time.sleep(0.2)
    time.sleep(1)
    env = session.env()
    tree = subprocess.run(
        ["xwininfo", "-root", "-tree"], env=env, capture_output=True, text=True
    ).stdout
    window = next(
        line.split()[0] for line in tree.splitlines() if '"Hardware Object"' in line
    )
    subprocess.run(["import", "-window", window, str(target)], env=env, check=True)
    print(f"== The window while an image is written: {target}")


def readable(line: bytes) -> str:
    """A log line as a person reads it: printable text as it is, other bytes as \\xNN, and a version text of
    0xFF bytes only named as what it is, erased flash."""
    name, equals, value = line.partition(b" = ")
    if equals and value and set(value) == {0xFF}:
        return f"{readable(name)} = (erased flash: {len(value)} bytes of 0xFF)"
    return "".join(
        chr(byte) if 0x20 <= byte < 0x7F else f"\\x{byte:02x}" for byte in line
    )


def show_results(tools: Tools, run_dir: Path, program: Path, status: int) -> None:
    console = run_dir / "console.txt"
    print(
        f"== {program} exited with status {status}; console output: {console.stat().st_size} bytes"
    )
    log = tools.drive_c() / RUN_LOG
    print(f"\n== Run log (C:\\{RUN_LOG}, shown readably; the file itself is {log})")
    lines = log.read_bytes().split(b"\r\n") if log.exists() else [b"(none)", b""]
    print("\n".join(readable(line) for line in lines), end="")
    journal = MODULE / "journal.txt"
    for title, path in (
        (f"Calls the simulated module received ({journal})", journal),
        (
            "Board register 0x10028 (0: module held in reset, 1: running)",
            MODULE / "board-register-0x10028.txt",
        ),
    ):
        print(
            f"\n== {title}\n"
            + (path.read_text(errors="replace") if path.exists() else "(none)\n"),
            end="",
        )
    for target in (1, 2):
        print(f"\n== Flash target {target}", flush=True)
        flash = MODULE / f"flash-target-{target}.bin"
        subprocess.run(
            [str(tools.imagetool), "show", str(flash)]
        ) if flash.exists() else print("(never written)")


def run_in_guest(session: WineSession, args) -> int:
    """This demo again, in the guest: the simulated module's folder (and the
    screenshot's) are shared with it, so what reached flash stays here."""
    why = (
        f"{FORCE_VARIABLE}=guest is set"
        if os.environ.get(FORCE_VARIABLE)
        else "This machine's kernel does not run 32-bit x86 programs"
    )
    print(
        f"== {why}: the shipped image runs in the guest, a small virtual machine whose\n"
        f"   kernel does (qemu-system-x86_64; about half a minute, three more the first time).\n"
        f"   For a quick look at the same sources built for x86-64: scripts/demo.sh --x64",
        flush=True,
    )
    MODULE.mkdir(parents=True, exist_ok=True)
    writable = [
        MODULE,
        *([args.screenshot.resolve().parent] if args.screenshot else []),
    ]
    return session.run_in_guest(
        [[sys.executable, *sys.argv]], limits.GUEST_RUN, writable=writable
    )


def main() -> int:
    args = arguments()
    build = BUILDS["x64" if args.x64 else "pe32"]
    session = WineSession(DEMO / build.name, build, decide_mode())
    if session.in_guest:
        return run_in_guest(session, args)
    tools = Tools(build.folder(BUILD), BUILD / "tools" / "imagetool", session)
    program = tools.windows_bin / "hexalift.exe"
    print(
        f"== Running {program}{' in the guest' if guest.inside() else ''}: {build.description}",
        flush=True,
    )

    session.prepare()
    images = (
        {
            PROCESSOR_IMAGE: Path(args.images[0]).read_bytes(),
            FPGA_IMAGE: Path(args.images[1]).read_bytes(),
        }
        if args.images
        else {
            PROCESSOR_IMAGE: tools.make_image("1.00", b"\x55" * 65536),
            FPGA_IMAGE: tools.make_image("2.5", b"\xaa" * 200000),
        }
    )
    run_dir = session.work / "run"
    # First byte "1": a run log, and no shutdown at the end.
    lay_out(tools, run_dir, Setup(settings=b"1", images=images))
    MODULE.mkdir(parents=True, exist_ok=True)
    erased = MODULE.glob("flash-target-*.bin") if args.blank or args.screenshot else ()
    for old in (MODULE / "journal.txt", *erased):
        old.unlink(missing_ok=True)

    simulator = (
        {"HEXSIM_FL_WRITE_DELAY_MS": "3000"} if args.screenshot else {}
    )  # the environment's wins
    simulator |= {k: v for k, v in os.environ.items() if k.startswith("HEXSIM_")}
    simulator["HEXSIM_DIR"] = windows_path(MODULE)
    with ThreadPoolExecutor(1) as pool:  # the run, beside the screenshot
        run = pool.submit(
            session.run, ["hexalift.exe"], run_dir, run_dir / "console.txt", **simulator
        )
        try:
            if args.screenshot:
                take_screenshot(
                    session, MODULE / "journal.txt", args.screenshot.resolve()
                )
        finally:
            run.exception()  # waits for the run
            session.stop()
    status = run.result()  # or what the run raised
    show_results(tools, run_dir, program, status)
    if status != 0:
        raise RuntimeError(
            f"{program} exited with status {status} (always 0 when it ran); "
            f"Wine's messages are in {run_dir / 'console.txt'}"
        )
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (
        Exception
    ) as failure:  # noqa: BLE001  (a demo says what went wrong, never nothing)
        print(f"\ndemo: FAILED: {failure}", file=sys.stderr)
        print(
            "What to do: the messages above say which step failed. Rerun scripts/demo.sh once the cause "
            "is fixed;\nscripts/demo.sh --x64 runs the x86-64 build of the same sources, which needs no "
            "32-bit support.",
            file=sys.stderr,
        )
        sys.exit(1)
