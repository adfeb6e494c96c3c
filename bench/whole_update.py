"""A whole update, timed: hexalift.exe under Wine writes two images of each
size into the simulated module (blank flash, settings byte "1", so no
shutdown), several runs per size.

  python3 bench/whole_update.py [--runs N] [--sizes MiB,MiB,...]

Reports, per image size, the run's wall time beyond the 1000 ms reset wait,
the time between the first flash read and the last flash write (from the
simulator's journal), and hexalift's peak memory beyond that of a run with
tiny images, against the DataSize of one image.
"""

import argparse
import random
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from harness import (FPGA_IMAGE, PROCESSOR_IMAGE, Setup, Tools, lay_out,  # noqa: E402
                     prepare_prefix, stop_prefix, wine_env)

RESET_WAIT_S = 1.0


def one_run(tools: Tools, run_dir: Path, setup: Setup):
    lay_out(tools, run_dir, setup)   # blank flash: both images are written
    timing = run_dir / "time.txt"
    with open(run_dir / "console.txt", "wb") as out:
        subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", str(timing), "wine", "hexalift.exe"],
                       cwd=run_dir, env=wine_env(tools), stdout=out, stderr=out,
                       stdin=subprocess.DEVNULL, check=True, timeout=600)
    wall, peak_kib = timing.read_text().split()[-2:]
    stamps = [(float(line.split()[0]), line.split(" ", 1)[1])
              for line in (run_dir / "journal.txt").read_text().splitlines()]
    flash = [t for t, call in stamps if call.startswith(("FL_Read", "FL_Write"))]
    return float(wall) - RESET_WAIT_S, (flash[-1] - flash[0]) / 1000.0, int(peak_kib) * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes", default="8,16,32", help="image payload sizes in MiB")
    parser.add_argument("--build", type=Path, default=ROOT / "build")
    args = parser.parse_args()
    tools = Tools(args.build / "windows" / "bin", args.build / "tools" / "imagetool",
                  args.build / "bench-update")
    tools.work.mkdir(parents=True, exist_ok=True)
    prepare_prefix(tools)
    random.seed(1)
    try:
        rows = []
        for mib in [0] + [int(size) for size in args.sizes.split(",")]:
            payload = random.randbytes(mib << 20) if mib else b"abc"
            images = {PROCESSOR_IMAGE: tools.make_image("9.1", payload),
                      FPGA_IMAGE: tools.make_image("9.2", payload)}
            setup = Setup(images=images)
            results = [one_run(tools, tools.work / "run", setup) for _ in range(args.runs)]
            rows.append((mib, len(images[PROCESSOR_IMAGE]),
                         statistics.median(r[0] for r in results),
                         statistics.median(r[1] for r in results),
                         max(r[2] for r in results)))
    finally:
        stop_prefix(tools)

    tiny_peak = rows[0][4]
    print(f"{'images':>14} {'beyond wait':>12} {'flash work':>11} {'per MiB':>9} "
          f"{'extra memory':>13} {'/ DataSize':>10}")
    for mib, data_size, beyond, flash, peak in rows:
        per_mib = f"{flash / (2 * mib) * 1000:7.1f}ms" if mib else ""
        extra = peak - tiny_peak
        ratio = f"{extra / data_size:10.2f}" if mib else ""
        label = f"2 x {mib} MiB" if mib else "2 x 67 bytes"
        print(f"{label:>14} {beyond:11.3f}s {flash:10.3f}s {per_mib:>9} {extra / 2**20:11.1f}MiB {ratio}")


if __name__ == "__main__":
    main()
