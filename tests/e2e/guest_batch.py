"""Runs a batch of one build's Windows tests in one guest, where that build
runs in the guest (the shipped 32-bit images on a machine whose kernel
refuses 32-bit programs, or HEXALIFT_I386=guest): starting a guest and its
Wine session costs about half a minute, a scenario a few seconds.

  guest_batch.py run SESSION --batch FILE --results DIR
      boots a guest and runs every test of FILE in it, one after another
      in one prepared session; each test's output and exit status land in
      DIR. Fails when the guest does (limits.GUEST_BATCH), or when it left a
      test not run for want of time.
  guest_batch.py report NAME --results DIR
      prints what test NAME printed in the guest and exits with its status,
      as ctest's test NAME.

FILE has a line per test: its name, how many Windows programs it runs (its
limit) and its command, separated by tabs.
SESSION: --build pe32|x64 --work DIR
"""

import argparse
import atexit
import os
import runpy
import signal
import sys
import threading
import time
import traceback
from pathlib import Path

from harness import prepare_prefix
from winhost import BUILDS, SKIPPED, WineSession, build_dir, guest, limits

# A test that did not run in the guest shows in ctest as not run (its skip status), with the reason; the
# batch that left it fails, so that a run with such a test never passes.
NOT_RUN = SKIPPED
OVERRUN = 1


def tests_of(batch: Path) -> list:
    return [line.split("\t") for line in batch.read_text().splitlines() if line.strip()]


def start(command: list, output) -> int:
    """The process of a test, in a session of its own, its output to output. A Python test is a fork of this
    process, which has the test bed's modules loaded (run_inside): starting Python and importing them anew
    took some 5 s of a test's 22 in a guest. Any other test is started as a program."""
    pid = os.fork()
    if pid:
        return pid
    status = 1
    try:
        os.setsid()
        os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
        for descriptor in (1, 2):
            os.dup2(output.fileno(), descriptor)
        if (
            len(command) < 2
            or command[0] != sys.executable
            or not command[1].endswith(".py")
        ):
            for number in (
                signal.SIGPIPE,
                signal.SIGXFSZ,
            ):  # as a program started by subprocess gets them
                signal.signal(number, signal.SIG_DFL)
            os.execvp(command[0], command)
        atexit._clear()  # this process's exit handlers are not the test's
        sys.argv, sys.path[0] = command[1:], str(Path(command[1]).parent)
        try:
            runpy.run_path(command[1], run_name="__main__")
            status = 0
        except SystemExit as ended:
            status = (
                ended.code
                if isinstance(ended.code, int)
                else 0
                if ended.code is None
                else 1
            )
            if not isinstance(ended.code, (int, type(None))):
                print(ended.code, file=sys.stderr)
        for thread in threading.enumerate():  # what Python's own exit waits for
            if thread is not threading.current_thread() and not thread.daemon:
                thread.join()
        atexit._run_exitfuncs()
    except BaseException:  # noqa: BLE001  the test's own failure, told as Python would
        traceback.print_exc()
        status = 1
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except Exception:  # noqa: BLE001  a stream the test closed
                pass
        os._exit(status & 0xFF)


def wait(pid: int, limit: float):
    """The exit status (negative: the signal), or None once limit seconds have passed."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        ended, status = os.waitpid(pid, os.WNOHANG)
        if ended:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.2)
    return None


def stop(pid: int) -> None:
    """Ends a test started by start() with everything it started in its session."""
    try:
        os.killpg(pid, signal.SIGKILL)
    except (
        ProcessLookupError
    ):  # not yet in a session of its own, so it has started nothing
        os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)


def run_inside(session: WineSession, batch: Path, results: Path) -> int:
    """In the guest: one session for the whole batch, then each test; a test
    that overruns is stopped with everything it started in the prefix."""
    import run_scenario  # noqa: F401  loaded once here for every Python test of the batch (start)

    prepare_prefix(session)
    # What is left of the guest's own limit, its boot and the host's work aside: no test outlives its guest.
    deadline = time.monotonic() + limits.GUEST_BATCH - limits.BOOT - limits.MARGIN
    not_run = 0
    for name, programs, *command in tests_of(batch):
        limit = int(
            min(
                limits.test(inside=True, programs=int(programs)),
                deadline - time.monotonic(),
            )
        )
        print(f"guest: {name}", flush=True)
        with open(results / f"{name}.txt", "wb") as output:
            if limit > 0:
                status = run_test(session, name, command, limit, output)
            else:
                output.write(
                    f"{name}: not run: the guest's time was used up\n".encode()
                )
                status, not_run = NOT_RUN, not_run + 1
        write_status(results / f"{name}.status", status)
    session.stop()
    if not_run:
        print(
            f"guest: {not_run} test(s) of the batch not run: see each test's output",
            flush=True,
        )
    return 1 if not_run else 0


def write_status(path: Path, status: int) -> None:
    """A test's status, renamed into place whole, so that a reader never sees it half-written."""
    partial = path.with_name(path.name + ".partial")
    partial.write_text(f"{status}\n")
    partial.rename(path)


def read_status(path: Path) -> int:
    """A status that write_status wrote: a whole line holding a number, or ValueError."""
    text = path.read_text()
    if not text.endswith("\n") or not text[:-1].lstrip("-").isdigit():
        raise ValueError(f"{path}: not a test status: {text!r}")
    return int(text)


def run_test(session: WineSession, name: str, command: list, limit: int, output) -> int:
    """One test of the batch, its output to output; one that overruns is stopped and fails, as ctest's limit would."""
    started = time.monotonic()
    test = start(command, output)
    status = wait(test, limit)
    if status is None:
        stop(test)
        session.restart_server()
        output.write(f"\n{name}: stopped after {limit} s in the guest\n".encode())
        status = OVERRUN
    output.write(f"({time.monotonic() - started:.1f} s in the guest)\n".encode())
    return status


def run(session: WineSession, batch: Path, results: Path) -> int:
    """On this machine: the batch in a new guest."""
    results.mkdir(parents=True, exist_ok=True)
    for old in results.glob("*"):
        old.unlink()
    inside = [
        sys.executable,
        __file__,
        "run",
        "--build",
        session.build.name,
        "--work",
        str(session.work),
        "--batch",
        str(batch),
        "--results",
        str(results),
    ]
    junit = build_dir() / "junit"  # where the pytest runs write their reports
    junit.mkdir(exist_ok=True)
    return session.run_in_guest([inside], limits.GUEST_BATCH, writable=[results, junit])


def report(results: Path, name: str) -> int:
    output, status = results / f"{name}.txt", results / f"{name}.status"
    if output.exists():
        sys.stdout.write(output.read_text(errors="replace"))
    if not status.exists():
        print(
            f"{name}: not run: no result from the guest; see the batch test that runs it (guest.*)"
        )
        return NOT_RUN
    return read_status(status)


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
        return run_inside(
            WineSession(args.work, BUILDS[args.build], "native"),
            args.batch,
            args.results,
        )
    return run(
        WineSession(args.work, BUILDS[args.build], "guest"), args.batch, args.results
    )


if __name__ == "__main__":
    sys.exit(main())
