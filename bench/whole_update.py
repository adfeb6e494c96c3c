"""A whole update, timed: hexalift.exe under Wine writes two images of each
size into the simulated module (blank flash, settings byte "1", so no
shutdown), several runs per size.

  PYTHONPATH=scripts python3 bench/whole_update.py [--runs N] [--sizes MiB,MiB,...] [--x64]

It times the shipped 32-bit build: natively where this machine runs 32-bit
x86 programs, else in the guest, whose figures say little; --x64
times the x86-64 build of the same sources.

Reports, per image size (medians): the run's time beyond the 1000 ms reset
wait, as the whole process took it (Wine's start and end included) and from
the simulator's journal (from loading the flash library to unloading it);
the time from the first flash read to the last flash write; and hexalift's
peak memory beyond that of a run with tiny images, against the DataSize of
one image.
"""

import argparse
import random
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

from winhost import BUILDS, WineSession, build_dir, decide_mode, limits, windows_path
from winhost.hexalift import FPGA_IMAGE, PROCESSOR_IMAGE, Setup, Tools, lay_out

RESET_WAIT_S = 1.0


def one_run(tools: Tools, run_dir: Path, setup: Setup, module_dir: Path):
    """The simulated module keeps its flash in memory (module_dir on tmpfs),
    so the figures are hexalift's and not the disk's."""
    lay_out(tools, run_dir, setup)
    shutil.rmtree(
        module_dir, ignore_errors=True
    )  # blank flash: both images are written
    module_dir.mkdir(parents=True)
    timing = run_dir / "time.txt"
    status = tools.session.run(
        ["hexalift.exe"],
        run_dir,
        run_dir / "console.txt",
        wrapper=("/usr/bin/time", "-f", "%e %M", "-o", str(timing)),
        HEXSIM_DIR=windows_path(module_dir),
    )
    if status != 0:
        sys.exit(f"hexalift ended with status {status}: see {run_dir / 'console.txt'}")
    wall, peak_kib = timing.read_text().split()[-2:]
    stamps = [
        (float(line.split()[0]), line.split(" ", 1)[1])
        for line in (module_dir / "journal.txt").read_text().splitlines()
    ]
    flash = [t for t, call in stamps if call.startswith(("FL_Read", "FL_Write"))]
    program = (stamps[-1][0] - stamps[0][0]) / 1000.0 - RESET_WAIT_S
    return (
        float(wall) - RESET_WAIT_S,
        program,
        (flash[-1] - flash[0]) / 1000.0,
        int(peak_kib) * 1024,
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes", default="8,16,32", help="image payload sizes in MiB")
    parser.add_argument("--build", type=Path, default=build_dir())
    parser.add_argument(
        "--x64", action="store_true", help="time the x86-64 build instead"
    )
    args = parser.parse_args()
    build = BUILDS["x64" if args.x64 else "pe32"]
    session = WineSession(
        args.build / "bench-update" / build.name, build, decide_mode()
    )
    if session.in_guest:
        print(
            "32-bit programs run here only in a virtual machine under software emulation: these are its "
            "times, not the program's (--x64 times the x86-64 build natively)",
            flush=True,
        )
        return session.run_in_guest([[sys.executable, *sys.argv]], limits.GUEST_RUN)
    tools = Tools(build.folder(args.build), args.build / "tools" / "imagetool", session)
    session.prepare()
    module_dir = Path(tempfile.mkdtemp(prefix="hexalift-module-", dir="/dev/shm"))
    random.seed(1)
    try:
        rows = []
        for mib in [0] + [int(size) for size in args.sizes.split(",")]:
            payload = random.randbytes(mib << 20) if mib else b"abc"
            images = {
                PROCESSOR_IMAGE: tools.make_image("9.1", payload),
                FPGA_IMAGE: tools.make_image("9.2", payload),
            }
            setup = Setup(images=images)
            results = [
                one_run(tools, tools.session.work / "run", setup, module_dir)
                for _ in range(args.runs)
            ]
            rows.append(
                (
                    mib,
                    len(images[PROCESSOR_IMAGE]),
                    *[statistics.median(r[i] for r in results) for i in range(3)],
                    max(r[3] for r in results),
                )
            )
    finally:
        session.stop()
        shutil.rmtree(module_dir, ignore_errors=True)

    tiny_peak, tiny_program = rows[0][5], rows[0][3]
    print(
        f"{'images':>14} {'beyond wait':>12} {'(program)':>10} {'flash work':>11} {'per MiB':>8} "
        f"{'extra memory':>13} {'/ DataSize':>10}"
    )
    for mib, data_size, wall, program, flash, peak in rows:
        per_mib = f"{(program - tiny_program) / (2 * mib) * 1000:6.2f}ms" if mib else ""
        extra = peak - tiny_peak
        ratio = f"{extra / data_size:10.2f}" if mib else ""
        label = f"2 x {mib} MiB" if mib else "2 x 67 bytes"
        print(
            f"{label:>14} {wall:11.3f}s {program:9.3f}s {flash:10.3f}s {per_mib:>8} "
            f"{extra / 2**20:11.1f}MiB {ratio}"
        )


if __name__ == "__main__":
    sys.exit(main())
