"""Runs hexalift.exe under Wine against the simulated module and collects
everything a scenario checks: exit status, console output, the run log's
bytes, the simulator's journal and what reached flash."""

import contextlib
import os
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

from winhost import WineSession
from winhost.guest import last_lines
from winhost.hexalift import RUN_LOG, Setup, Tools


@dataclass
class Outcome:
    exit_status: int
    stdout: bytes
    stderr: bytes
    log: bytes | None  # None: no log file
    journal: list  # calls without time stamps and buffer addresses
    stamps: list  # (milliseconds, call) for timing checks
    flash: dict  # target -> bytes, or None when never written
    reset_register: bytes | None  # the board's register 0x10028, None: never written
    calls: list  # the program's own Win32 calls and the journal, in order
    token_adjustments: list  # what the program's thread asked the server to change in its token
    no_verdict: list  # what kept the test bed from showing what the program did


JOURNAL_LINE = re.compile(r"^(\d+\.\d+) (.*)$")
ADDRESS = re.compile(r"0x[0-9a-f]{8}")


def run(tools: Tools, run_dir: Path, setup: Setup) -> Outcome:
    """Runs hexalift once in run_dir; the journal is cleared first."""
    journal = run_dir / "journal.txt"
    for old in (
        journal,
        run_dir / "stdout.txt",
        run_dir / "stderr.txt",
        run_dir / "wineserver.txt",
    ):
        if old.exists():
            old.unlink()
    session = tools.session
    if not setup.display:
        session.restart_server(with_display=False)
    # Every Wine process of the prefix appends to the same files.
    # +server: the server traces the requests, which show what reaches the
    # token. Once asked, it traces every process of the prefix: the log is
    # emptied for each run (the server appends to it).
    os.truncate(session.server_log, 0)
    try:
        status = session.run(
            [setup.program],
            run_dir,
            run_dir / "stdout.txt",
            run_dir / "stderr.txt",
            with_display=setup.display,
            WINEDEBUG="-all,+relay,+server",
            **setup.simulator,
        )
    except BaseException:  # a hexalift that hung (the case's limit too): the next run
        # gets a prefix with nothing left, and a display
        with contextlib.suppress(Exception):  # the run's own error is the one to tell
            session.restart_server()
        raise
    finally:  # an immutable file would outlast the run, and the build folder too
        if setup.log_read_only:
            subprocess.run(["chattr", "-i", str(tools.drive_c() / RUN_LOG)], check=True)
    requests = session.server_log.read_text(encoding="latin-1")
    if not setup.display:
        session.restart_server()
    wine_errors, program_calls, thread = split_relay_trace(
        (run_dir / "stderr.txt").read_bytes()
    )
    no_verdict = bed_failures(status, wine_errors, thread, requests)
    if no_verdict:  # what the server saw is kept for a look
        (run_dir / "wineserver.txt").write_text(requests, encoding="latin-1")
    log_path = tools.drive_c() / RUN_LOG
    calls, stamps = [], []
    if journal.exists():
        for line in journal.read_text(encoding="latin-1").splitlines():
            stamp, call = JOURNAL_LINE.match(line).groups()
            call = ADDRESS.sub("*", call)
            calls.append(call)
            stamps.append((float(stamp), call))
    flash = {}
    for target in (1, 2):
        path = run_dir / f"flash-target-{target}.bin"
        flash[target] = path.read_bytes() if path.exists() else None
    register = run_dir / "board-register-0x10028.txt"
    return Outcome(
        exit_status=status,
        stdout=(run_dir / "stdout.txt").read_bytes(),
        stderr=wine_errors,
        log=log_path.read_bytes() if log_path.is_file() else None,
        journal=calls,
        stamps=stamps,
        flash=flash,
        reset_register=register.read_bytes() if register.exists() else None,
        calls=program_calls,
        token_adjustments=[
            m.group(2)
            for m in map(TOKEN_ADJUSTMENT.match, requests.splitlines())
            if m and m.group(1) == thread
        ],
        no_verdict=no_verdict,
    )


def bed_failures(
    status: int, wine_errors: bytes, thread: str | None, requests: str
) -> list:
    """What makes a run say nothing of the program. Wine did not start it: its relay trace shows no
    call of the program's thread, so the status and the error output are Wine's own. The server's
    trace shows nothing of that thread. Or the program ended well and Wine still printed errors of
    its own; after a program that ended otherwise (a crash, say) they tell what happened to it and
    count with its exit status."""
    said = last_lines(wine_errors.decode("latin-1"), 20, indent="    ")
    if thread is None:
        server = last_lines(requests, 20, indent="    ")
        return [
            f"Wine's trace shows no call of the program; Wine ended with status {status}, saying:\n"
            f"{said}\n  its server's trace ends (wineserver.txt):\n{server}"
        ]
    if not any(line.startswith(f"{thread}: ") for line in requests.splitlines()):
        return [f"the server's trace shows nothing of the program's thread {thread}"]
    if status == 0 and wine_errors:
        return [f"the program ended well, but Wine printed errors of its own:\n{said}"]
    return []


RELAY_LINE = re.compile(rb"^([0-9a-f]{4}):(Call|Ret|Starting|trace:relay)")
# The 32-bit trace pads values to 8 hexadecimal digits; the 64-bit one
# prints up to 16 without padding.
API_CALL = re.compile(r"^([0-9a-f]{4}):Call (\w+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
API_RETURN = re.compile(
    r"^([0-9a-f]{4}):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$"
)
STRING_ARGUMENT = re.compile(r'[0-9a-f]+ (".*")$')
# A library's entry point, called by the loader: what the system's libraries
# call there is not the program's doing (Windows 98's 16-bit kernel asks for
# the version as it attaches); the simulated ones journal their loading.
DLL_ENTRY = re.compile(r"^([0-9a-f]{4}):(Call|Ret ) PE DLL \(")
TOKEN_ADJUSTMENT = re.compile(
    r"^([0-9a-f]{4}): adjust_token_privileges\( handle=[0-9a-f]+, (.*) \)$"
)


@dataclass
class ApiCall:
    function: str
    arguments: list  # integers, or the text of a string argument
    returns_to: int  # the program's code address the call returns to
    result: int | None = None


def split_relay_trace(stderr: bytes):
    """Separates Wine's relay trace from any other error output, and keeps
    the calls the program's own thread made directly (not those the system
    makes inside them or in a library's entry point, journal lines aside),
    and that thread's id. The program's thread is the
    one that creates dialog 101. A journal line arrives as
    OutputDebugStringA("journal: ...")."""
    other, relay = [], []
    for line in stderr.splitlines(keepends=True):
        (relay if RELAY_LINE.match(line) else other).append(
            line.decode("latin-1").rstrip("\n")
        )
    thread = next(
        (
            m.group(1)
            for m in map(API_CALL.match, relay)
            if m
            and m.group(3) == "CreateDialogParamA"
            and parse_arguments(m.group(4))[1] == 101
        ),
        None,
    )
    calls, depth, entries, kept = [], 0, 0, False
    for line in relay:
        call, ret, entry = (
            API_CALL.match(line),
            API_RETURN.match(line),
            DLL_ENTRY.match(line),
        )
        if entry and entry.group(1) == thread:
            entries += 1 if entry.group(2) == "Call" else -1
        elif call and call.group(1) == thread:
            if depth == 0:
                kept = entries == 0 or call.group(3) == "OutputDebugStringA"
                if kept:
                    calls.append(
                        ApiCall(
                            call.group(3),
                            parse_arguments(call.group(4)),
                            int(call.group(5), 16),
                        )
                    )
            depth += 1
        elif ret and ret.group(1) == thread and depth > 0:
            depth -= 1
            if depth == 0 and kept:
                calls[-1].result = int(ret.group(4), 16)
    return b"".join(line.encode("latin-1") + b"\n" for line in other), calls, thread


def parse_arguments(text: str) -> list:
    """Hexadecimal values, or the text of a string argument ('0041b0be "..."')."""
    pieces, current, quoted, escaped = [], "", False, False
    for char in text:
        if char == "," and not quoted:
            pieces.append(current)
            current = ""
            continue
        current += char
        if quoted and char == "\\" and not escaped:
            escaped = True
            continue
        if char == '"' and not escaped:
            quoted = not quoted
        escaped = False
    if text:
        pieces.append(current)
    values = []
    for piece in pieces:
        string = STRING_ARGUMENT.match(piece)
        values.append(decode_c_string(string.group(1)) if string else int(piece, 16))
    return values


def decode_c_string(quoted: str) -> str:
    """Wine prints strings with C escapes."""
    return quoted[1:-1].encode("latin-1").decode("unicode_escape")


def folder_name(text: str) -> str:
    """A folder's name for a case named in words."""
    return re.sub(r"[^a-z0-9]+", "-", text.lower()).strip("-")


def run_program(
    session: WineSession,
    program: Path,
    output: Path | None = None,
    echo: bool = True,
    **extra,
) -> int:
    """Runs a Windows test program in the prefix, with the display and the
    extra environment, and passes its output (kept in output; printed with
    echo) and exit status on. One that overruns its time is stopped with every Wine
    process of the prefix, after what it printed so far."""
    output = output or session.work / f"{program.stem}.out"
    output.unlink(missing_ok=True)
    try:
        status = session.run([program], program.parent, output, **extra)
    except subprocess.TimeoutExpired:
        session.restart_server()
        with open(output, "a") as tail:
            tail.write(
                f"\n{program.name}: stopped after {session.timeout} s, with every Wine process of its prefix\n"
            )
        status = 1
    if echo:
        print(output.read_text(encoding="latin-1"), end="", flush=True)
    return status
