"""Runs a batch of one build's Windows tests in one guest, where that build
runs in the guest (the shipped 32-bit images on a machine whose kernel
refuses 32-bit programs, or HEXALIFT_I386=guest): starting a guest and its
Wine session costs about half a minute, a scenario a few seconds.

  guest_batch.py run SESSION --batch FILE --results DIR
      boots a guest and runs every test of FILE in it, one after another
      in one prepared session; each test's output and exit status land in
      DIR. Fails only when the guest does (limits.GUEST_BATCH).
  guest_batch.py report NAME --results DIR
      prints what test NAME printed in the guest and exits with its status,
      as ctest's test NAME.

FILE has a line per test: its name, how many Windows programs it runs (its
limit) and its command, separated by tabs.
SESSION: --build pe32|x64 --work DIR
"""

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

from harness import prepare_prefix
from winhost import BUILDS, WineSession, guest, limits

NOT_RUN = 1


def tests_of(batch: Path) -> list:
    return [line.split("\t") for line in batch.read_text().splitlines() if line.strip()]


def run_inside(session: WineSession, batch: Path, results: Path) -> int:
    """In the guest: one session for the whole batch, then each test; a test
    that overruns is stopped with everything it started in the prefix."""
    prepare_prefix(session)
    for name, programs, *command in tests_of(batch):
        limit = limits.test(inside=True, programs=int(programs))
        print(f"guest: {name}", flush=True)
        started = time.monotonic()
        with open(results / f"{name}.txt", "wb") as output:
            test = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                    start_new_session=True)
            try:
                status = test.wait(timeout=limit)
            except subprocess.TimeoutExpired:
                os.killpg(test.pid, signal.SIGKILL)
                test.wait()
                session.restart_server()
                output.write(f"\n{name}: stopped after {limit} s in the guest\n".encode())
                status = NOT_RUN
            output.write(f"({time.monotonic() - started:.1f} s in the guest)\n".encode())
        (results / f"{name}.status").write_text(f"{status}\n")
    session.stop()
    return 0


def run(session: WineSession, batch: Path, results: Path) -> int:
    """On this machine: the batch in a new guest."""
    results.mkdir(parents=True, exist_ok=True)
    for old in results.glob("*"):
        old.unlink()
    inside = [sys.executable, __file__, "run", "--build", session.build.name, "--work", str(session.work),
              "--batch", str(batch), "--results", str(results)]
    return session.run_in_guest([inside], limits.GUEST_BATCH, writable=[results])


def report(results: Path, name: str) -> int:
    output, status = results / f"{name}.txt", results / f"{name}.status"
    if output.exists():
        sys.stdout.write(output.read_text(errors="replace"))
    if not status.exists():
        print(f"{name}: no result from the guest: see the batch test that runs it (guest.*)")
        return NOT_RUN
    return int(status.read_text())


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("run", "report"))
    parser.add_argument("--build", choices=BUILDS)
    parser.add_argument("--work", type=Path)
    parser.add_argument("--batch", type=Path)
    parser.add_argument("--results", type=Path, required=True)
    parser.add_argument("name", nargs="?")
    args = parser.parse_args()
    if args.action == "report":
        return report(args.results, args.name)
    if guest.inside():
        return run_inside(WineSession(args.work, BUILDS[args.build], "native"), args.batch, args.results)
    return run(WineSession(args.work, BUILDS[args.build], "guest"), args.batch, args.results)


if __name__ == "__main__":
    sys.exit(main())
