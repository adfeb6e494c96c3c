"""Runs one end-to-end scenario (ctest calls it once per scenario) against
one build of the Windows images: the shipped 32-bit one (pe32) or its
x86-64 stand-in (x64). MODE is the machine's (windows_host.py mode).

  run_scenario.py --list
  run_scenario.py SESSION --prepare | --stop
  run_scenario.py SESSION --program EXE [--coreclr]
  run_scenario.py SESSION --windows-bin DIR --imagetool FILE [--run-as FOLDER] NAME

SESSION: --build pe32|x64 --mode MODE --work DIR

--run-as names the run's folder under WORK/scenarios when a scenario runs
again on other images of the build (the signed hexalift.exe), so that
each run's folder stays for a look.

Where the build runs in the guest (MODE guest, the pe32 build), --prepare
makes the prefix template's image, and guest_batch.py runs the tests in
the guest.
"""

import argparse
import dataclasses
import json
import re
import subprocess
import sys
from pathlib import Path

from harness import prepare_prefix, run, run_program
from program_calls import (
    describe,
    order_problems,
    same_calls,
    width_problems,
    window_and_shutdown,
)
from scenarios import BY_NAME, ONLY_32_BIT, Image, Verdict
from winhost import BUILDS, CORECLR_OVERRIDES, SKIPPED, WineSession
from winhost.guest import last_lines
from winhost.i386 import MODES
from winhost.hexalift import DIRECTORY, Tools, lay_out

SHUTDOWN_PRIVILEGE_ONLY = (
    "disable_all=0, get_modified_state=0, privileges={{luid=0000000000000013,attrs=2}}"
)


def expected_bytes(tools, value):
    if isinstance(value, Image):
        return value.make(tools)
    return value


RESET_WRITE = re.compile(r"IB_WriteSingleRegister\(.*, 0x10028, (\d+), 32\) = (-?\d+)")
SETTLE_MS = 1000
SETTLE = f"Sleep({SETTLE_MS})"


def reset_hold_problems(stamps, described):
    """A successful reset write is followed by the one-second wait: in the
    program's own calls, Sleep(1000) and nothing else comes next; in the
    journal's time stamps, at least 1000 ms pass before the next call. A
    failed one, and the write back to normal operation, by no wait. The
    absence of a wait is read from the calls alone: time stamps say
    nothing about it on a slow machine (the guest)."""
    problems = []
    for (stamp, call), (next_stamp, next_call) in zip(stamps, stamps[1:]):
        match = RESET_WRITE.fullmatch(call)
        if match and match.groups() == ("0", "1") and next_stamp - stamp < SETTLE_MS:
            problems.append(
                f"only {next_stamp - stamp:.1f} ms between {call!r} and {next_call!r}"
            )
    for index, text in enumerate(described):
        match = (
            RESET_WRITE.fullmatch(text[len("journal: ") :])
            if text.startswith("journal: ")
            else None
        )
        if not match:
            continue
        waits = match.groups() == ("0", "1")
        slept = described[index + 1 : index + 2] == [SETTLE]
        if waits and not slept:
            problems.append(f"no {SETTLE} right after {text!r}")
        if slept and not waits:
            problems.append(f"a wait ({SETTLE}) after {text!r}")
    return problems


def shorten(value, limit=3000):
    text = repr(value)
    return (
        text if len(text) <= limit else text[:limit] + f"... ({len(text)} characters)"
    )


def check(tools, scenario, expect, outcome, which):
    problems = []

    def differs(what, actual, wanted, same=lambda a, w: a == w):
        if not same(actual, wanted):
            problems.append(
                f"{which}: {what}\n  expected: {shorten(wanted)}\n  actual:   {shorten(actual)}"
            )

    # An access violation nobody handles ends the process with its code,
    # 0xC0000005, of which the status keeps the low byte; Wine says so.
    differs("exit status", outcome.exit_status, 5 if expect.crash else 0)
    if expect.crash:  # Wine reports it in one line, and the program prints nothing
        differs("console output", outcome.stdout, b"")
        differs(
            "Wine's error output",
            outcome.stderr,
            b"wine: Unhandled page fault",
            lambda a, w: w in a,
        )
    else:
        differs("console output", outcome.stdout, b"")
        if (
            outcome.exit_status and outcome.stderr
        ):  # what Wine said of a program that ended so (harness.bed_failures)
            problems.append(
                f"{which}: Wine's error output with it:\n"
                + last_lines(outcome.stderr.decode("latin-1"), 20)
            )
    wanted_log = expect.log
    if isinstance(wanted_log, str):
        # Text mode: every line feed is stored as CR LF.
        wanted_log = wanted_log.replace("\n", "\r\n").encode("latin-1")
    differs("run log", outcome.log, wanted_log)
    differs("journal", outcome.journal, expect.journal)
    differs("reset register 0x10028", outcome.reset_register, expect.reset_register)
    for target, wanted in expect.flash.items():
        differs(
            f"flash target {target}",
            outcome.flash[target],
            expected_bytes(tools, wanted),
        )
    # InstallerId 0 asks for the shutdown: a settings file that cannot be
    # opened (absent, or a directory), or one whose first byte is "0".
    settings = scenario.setup.settings
    shutdown = (
        settings is None or settings == DIRECTORY or settings[:1] == b"0"
    ) and not expect.crash
    nt_family = not scenario.setup.windows_98
    bits = tools.session.build.bits
    described = describe(outcome.calls, bits)
    problems += [
        f"{which}: {problem}"
        for problem in reset_hold_problems(outcome.stamps, described)
    ]
    problems += [
        f"{which}: {problem}" for problem in width_problems(outcome.calls, bits)
    ]
    differs(
        "window and shutdown calls",
        [text for text in described if not text.startswith(("journal: ", "Sleep("))],
        window_and_shutdown(
            scenario.setup.display,
            list(expect.named),
            shutdown,
            bits,
            nt_family,
            destroyed=expect.crash != "images",
        ),
        same_calls,
    )
    differs(
        "journal as the program's thread saw it",
        [
            text[len("journal: ") :]
            for text in described
            if text.startswith("journal: ")
        ],
        expect.journal,
    )
    problems += [f"{which}: {problem}" for problem in order_problems(described)]
    # The token change that the shutdown needs on the NT family: one privilege,
    # SeShutdownPrivilege (LUID 19), enabled (attributes 2), nothing else disabled.
    differs(
        "privileges changed in the token",
        outcome.token_adjustments,
        [SHUTDOWN_PRIVILEGE_ONLY] if shutdown and nt_family else [],
    )
    return problems


def said(status: int, report: dict) -> Verdict:
    """What the reader's JSON says, in the scenarios' terms."""
    if not report["run_log"]:
        return Verdict(status=status)
    return Verdict(
        report["processor"]["state"],
        report["fpga"]["state"],
        report["held_in_reset"],
        report["returned_to_normal_operation"],
        report["run"],
        status,
        report["image_order_certain"],
    )


def verdict_problems(
    tools: Tools,
    expect,
    log: bytes | None,
    run_dir: Path,
    which: str,
    windows_reader: bool,
) -> list:
    """The log read by the native image tool and, with windows_reader, by
    the build's imagetool.exe in the scenario's prefix: both must give the
    same report, and say what the scenario states."""
    if expect.verdict is None and log is None:
        return []
    if expect.verdict is None or log is None:
        stated = "no verdict" if expect.verdict is None else "a verdict"
        return [f"{which}: {stated} stated, but {'a' if log else 'no'} log"]
    name = f"run-log-{which.split()[0]}.txt"
    (run_dir / name).write_bytes(log)
    native = subprocess.run(
        [str(tools.imagetool), "outcome", "--json", name],
        cwd=run_dir,
        capture_output=True,
    )
    reports = {"native image tool": (native.returncode, native.stdout)}
    if windows_reader:
        output, errors = (
            run_dir / f"outcome-{which.split()[0]}.json",
            run_dir / "outcome-errors.txt",
        )
        output.unlink(missing_ok=True)
        errors.unlink(missing_ok=True)
        status = tools.session.run(
            [tools.windows_bin / "imagetool.exe", "outcome", "--json", name],
            run_dir,
            output,
            errors,
            with_display=False,
        )
        reports["imagetool.exe"] = (status, output.read_bytes())
    problems, wanted = [], expect.verdict.resolved()
    for reader, (status, text) in reports.items():
        try:
            report = json.loads(text)
        except ValueError:
            problems.append(
                f"{which}: the {reader} wrote no JSON (status {status}): {shorten(text)}"
            )
            continue
        if said(status, report) != wanted:
            problems.append(
                f"{which}: the {reader}'s verdict\n  expected: {wanted}\n  actual:   "
                f"{said(status, report)}\n  report: {shorten(report)}"
            )
    if len({text.replace(b"\r\n", b"\n") for _, text in reports.values()}) > 1:
        problems.append(f"{which}: the readers' reports differ: {shorten(reports)}")
    return problems


def tell_skipped(session: WineSession, reason: str) -> None:
    """ctest does not show why a test was left out: scripts/test.sh prints
    these lines after its summary."""
    print(reason)
    with open(session.work / "skipped.txt", "a") as skipped:
        skipped.write(reason + "\n")


def run_coreclr_program(session: WineSession, program: Path) -> int:
    """A CoreCLR program: with Wine's own mscoree, which the runtime needs."""
    return run_program(session, program, WINEDLLOVERRIDES=CORECLR_OVERRIDES)


def scenario_problems(tools: Tools, scenario, windows_reader: bool = False) -> tuple:
    """Lays the scenario out, runs hexalift once or twice and says what
    the program did otherwise than expected, the verdict on its log
    included, and what kept the test bed from showing what it did (no
    verdict)."""
    setup = scenario.setup
    laid = type(setup)(
        **{
            **setup.__dict__,
            "images": {n: i.make(tools) for n, i in setup.images.items()},
            "flash": {t: expected_bytes(tools, v) for t, v in setup.flash.items()},
        }
    )
    run_dir = tools.session.work / "scenarios" / scenario.name
    lay_out(tools, run_dir, laid)
    problems, no_verdict = [], []
    for which, expect in (
        ("first run", scenario.expect),
        ("second run", scenario.then),
    ):
        if expect is not None:
            outcome = run(tools, run_dir, laid)
            problems += check(tools, scenario, expect, outcome, which)
            problems += verdict_problems(
                tools, expect, outcome.log, run_dir, which, windows_reader
            )
            no_verdict += [f"{which}: {problem}" for problem in outcome.no_verdict]
    return problems, no_verdict


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--prepare", action="store_true")
    parser.add_argument("--stop", action="store_true")
    parser.add_argument(
        "--program", type=Path, help="a Windows test program to run in the prefix"
    )
    parser.add_argument(
        "--coreclr", action="store_true", help="the program is a CoreCLR one"
    )
    parser.add_argument("--build", choices=BUILDS)
    parser.add_argument("--mode", choices=MODES)
    parser.add_argument("--windows-bin", type=Path)
    parser.add_argument("--imagetool", type=Path)
    parser.add_argument("--work", type=Path, default=Path())
    parser.add_argument(
        "--run-as", help="the run's folder name (default: the scenario's name)"
    )
    parser.add_argument("name", nargs="?")
    args = parser.parse_args()
    if args.list:
        print(";".join(BY_NAME))
        return 0
    session = WineSession(args.work, BUILDS[args.build], args.mode)
    if args.prepare:
        (session.work / "skipped.txt").unlink(missing_ok=True)
        prepare_prefix(session)
        return 0
    if args.stop:
        session.stop()
        return 0
    if args.program:
        return (
            run_coreclr_program(session, args.program)
            if args.coreclr
            else run_program(session, args.program)
        )

    tools = Tools(args.windows_bin, args.imagetool, session)
    if session.build.bits == 64 and args.name in ONLY_32_BIT:
        tell_skipped(
            session, f"e2e.{args.build}.{args.name} skipped: {ONLY_32_BIT[args.name]}"
        )
        return SKIPPED
    scenario = BY_NAME[args.name]
    if args.run_as:
        scenario = dataclasses.replace(scenario, name=args.run_as)
    problems, no_verdict = scenario_problems(tools, scenario, windows_reader=True)
    problems = [f"no verdict: {problem}" for problem in no_verdict] + problems
    for problem in problems:
        print(problem)
    print(f"{scenario.name}: {'FAILED' if problems else 'passed'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
