"""Runs hexalift.exe under Wine against the simulated module and collects
everything a scenario checks: exit status, console output, the run log's
bytes, the simulator's journal and what reached flash."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))
from windows_host import WineSession, windows_path  # noqa: E402  (one place runs Windows images)

INSTALL_DIR = ("C:\\Program Files\\Veltrane Corporation\\Signal Analyzer\\System"
               "\\Hardware Objects\\Optical\\")
PROCESSOR_IMAGE = "qd5180b.nios"
FPGA_IMAGE = "qd5180a.fpga"
TARGET_OF = {PROCESSOR_IMAGE: 1, FPGA_IMAGE: 2}


@dataclass
class Tools:
    windows_bin: Path      # hexalift.exe and simulator/ beside it, of one build
    imagetool: Path        # the native image tool
    session: WineSession   # the Wine prefix, server and display that build runs in

    @property
    def work(self) -> Path:
        """Scratch space: the prefix and one folder per scenario."""
        return self.session.work

    def drive_c(self) -> Path:
        return self.session.prefix / "drive_c"

    def install_dir(self) -> Path:
        return self.drive_c() / INSTALL_DIR[3:].rstrip("\\").replace("\\", "/")

    def make_image(self, version: str, payload: bytes) -> bytes:
        """A valid image made by the image tool."""
        with tempfile.TemporaryDirectory() as scratch:
            payload_path = Path(scratch) / "payload"
            image_path = Path(scratch) / "image"
            payload_path.write_bytes(payload)
            subprocess.run([str(self.imagetool), "create", version, str(payload_path),
                            str(image_path)], check=True)
            return image_path.read_bytes()


# The Win32 calls whose arguments the scenarios check, from Wine's relay
# trace; OutputDebugStringA carries the simulator's journal lines into it.
RELAY_INCLUDE = ";".join([
    "user32.CreateDialogParamA", "user32.ShowWindow", "user32.GetDlgItem", "user32.SetWindowTextA",
    "user32.DestroyWindow", "user32.ExitWindowsEx", "advapi32.OpenProcessToken",
    "advapi32.LookupPrivilegeValueA", "advapi32.AdjustTokenPrivileges",
    "kernel32.GetVersion", "kernelbase.GetVersion",
    "kernel32.OutputDebugStringA", "kernelbase.OutputDebugStringA"])


def prepare_prefix(tools: Tools) -> None:
    tools.session.prepare({"HKCU\\Software\\Wine\\Debug": {"RelayInclude": RELAY_INCLUDE}})


DIRECTORY = b"<a directory>"   # an image or settings "file" that is a directory


@dataclass
class Setup:
    """What lies on the machine before a run."""
    settings: bytes | None = b"1"           # c:\zef_installer.ini; None: absent
    old_log: bytes | None = None            # c:\zef_installer.log before the run
    log_is_directory: bool = False          # the log cannot be created
    log_read_only: bool = False             # old_log is immutable: it cannot be opened for writing
    images: dict = field(default_factory=dict)   # file name -> bytes; missing: absent
    flash: dict = field(default_factory=dict)    # target -> bytes held before the run
    libraries: dict = field(default_factory=lambda: {"Flash.dll": "Flash", "zefib.dll": "zefib"})
    simulator: dict = field(default_factory=dict)  # HEXSIM_* settings
    display: bool = True                           # False: no X display, so no window


@dataclass
class Outcome:
    exit_status: int
    stdout: bytes
    stderr: bytes
    log: bytes | None          # None: no log file
    journal: list              # calls without time stamps and buffer addresses
    stamps: list               # (milliseconds, call) for timing checks
    flash: dict                # target -> bytes, or None when never written
    reset_register: bytes | None   # the board's register 0x10028, None: never written
    calls: list                # the program's own Win32 calls and the journal, in order
    token_adjustments: list    # what the program's thread asked the server to change in its token


JOURNAL_LINE = re.compile(r"^(\d+\.\d+) (.*)$")
ADDRESS = re.compile(r"0x[0-9a-f]{8}")


def simulator_file(tools: Tools, name: str) -> Path:
    """Where a simulated library of the given name was built."""
    direct = tools.windows_bin / "simulator" / f"{name}.dll"
    return direct if direct.exists() else tools.windows_bin / "simulator" / "variants" / f"{name}.dll"


def reset_drive_c(tools: Tools) -> None:
    for name in ("zef_installer.ini", "zef_installer.log"):
        path = tools.drive_c() / name
        if path.is_file():
            subprocess.run(["chattr", "-i", str(path)], check=True)
        if path.is_dir():
            shutil.rmtree(path)
        elif path.exists():
            path.unlink()
    shutil.rmtree(tools.install_dir(), ignore_errors=True)


def lay_out(tools: Tools, run_dir: Path, setup: Setup) -> None:
    """Puts the program, its libraries, the images, the settings and the
    flash contents in place for a first run."""
    reset_drive_c(tools)
    shutil.rmtree(run_dir, ignore_errors=True)
    run_dir.mkdir(parents=True)
    shutil.copy(tools.windows_bin / "hexalift.exe", run_dir)
    for dll_name, built_name in setup.libraries.items():
        if built_name is not None:
            shutil.copy(simulator_file(tools, built_name), run_dir / dll_name)
    for target, content in setup.flash.items():
        (run_dir / f"flash-target-{target}.bin").write_bytes(content)

    tools.install_dir().mkdir(parents=True)
    for name, content in setup.images.items():
        write_or_make_directory(tools.install_dir() / name, content)
    if setup.settings is not None:
        write_or_make_directory(tools.drive_c() / "zef_installer.ini", setup.settings)
    log = tools.drive_c() / "zef_installer.log"
    if setup.log_is_directory:
        log.mkdir()
    elif setup.old_log is not None:
        log.write_bytes(setup.old_log)
        if setup.log_read_only:
            # Wine running as root ignores missing write permission; the
            # immutable flag holds even for root.
            subprocess.run(["chattr", "+i", str(log)], check=True)


def write_or_make_directory(path: Path, content: bytes) -> None:
    if content == DIRECTORY:
        path.mkdir()
    else:
        path.write_bytes(content)


def run(tools: Tools, run_dir: Path, setup: Setup) -> Outcome:
    """Runs hexalift once in run_dir; the journal is cleared first."""
    journal = run_dir / "journal.txt"
    for old in (journal, run_dir / "stdout.txt", run_dir / "stderr.txt"):
        if old.exists():
            old.unlink()
    session = tools.session
    if not setup.display:
        session.restart_server(display=False)
    # Every Wine process of the prefix appends to the same files.
    # +server: the server traces the requests, which show what reaches the
    # token. Once asked, it traces every process of the prefix: the log is
    # emptied for each run (the server appends to it).
    os.truncate(session.server_log, 0)
    status = session.run(["hexalift.exe"], run_dir, run_dir / "stdout.txt", run_dir / "stderr.txt",
                         display=setup.display, WINEDEBUG="-all,+relay,+server", **setup.simulator)
    requests = session.server_log.read_text(encoding="latin-1")
    if not setup.display:
        session.restart_server()
    if setup.log_read_only:
        subprocess.run(["chattr", "-i", str(tools.drive_c() / "zef_installer.log")], check=True)
    wine_errors, program_calls, thread = split_relay_trace((run_dir / "stderr.txt").read_bytes())
    log_path = tools.drive_c() / "zef_installer.log"
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
        token_adjustments=[m.group(2) for m in map(TOKEN_ADJUSTMENT.match, requests.splitlines())
                           if m and m.group(1) == thread])


RELAY_LINE = re.compile(rb"^([0-9a-f]{4}):(Call|Ret|Starting|trace:relay)")
# The 32-bit trace pads values to 8 hexadecimal digits; the 64-bit one
# prints up to 16 without padding.
API_CALL = re.compile(r"^([0-9a-f]{4}):Call (\w+)\.(\w+)\((.*)\) ret=[0-9a-f]+$")
API_RETURN = re.compile(r"^([0-9a-f]{4}):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$")
STRING_ARGUMENT = re.compile(r'[0-9a-f]+ (".*")$')
TOKEN_ADJUSTMENT = re.compile(r"^([0-9a-f]{4}): adjust_token_privileges\( handle=[0-9a-f]+, (.*) \)$")


@dataclass
class ApiCall:
    function: str
    arguments: list   # integers, or the text of a string argument
    result: int | None = None


def split_relay_trace(stderr: bytes):
    """Separates Wine's relay trace from any other error output, and keeps
    the calls the program's own thread made directly (not those the system
    makes inside them), and that thread's id. The program's thread is the
    one that creates dialog 101. A journal line arrives as
    OutputDebugStringA("journal: ...")."""
    other, relay = [], []
    for line in stderr.splitlines(keepends=True):
        (relay if RELAY_LINE.match(line) else other).append(line.decode("latin-1").rstrip("\n"))
    thread = next((m.group(1) for m in map(API_CALL.match, relay)
                   if m and m.group(3) == "CreateDialogParamA" and parse_arguments(m.group(4))[1] == 101),
                  None)
    calls, depth = [], 0
    for line in relay:
        call, ret = API_CALL.match(line), API_RETURN.match(line)
        if call and call.group(1) == thread:
            if depth == 0:
                calls.append(ApiCall(call.group(3), parse_arguments(call.group(4))))
            depth += 1
        elif ret and ret.group(1) == thread and depth > 0:
            depth -= 1
            if depth == 0:
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


def run_program(tools: Tools, program: Path, output_dir: Path | None = None) -> int:
    """Runs a Windows test program in the prefix, with the display, and
    passes its output and exit status on. An output folder is made afresh
    and handed to the program as its argument."""
    arguments = []
    if output_dir is not None:
        shutil.rmtree(output_dir, ignore_errors=True)
        output_dir.mkdir(parents=True)
        arguments.append(windows_path(output_dir))
    output = tools.work / f"{program.stem}.out"
    output.unlink(missing_ok=True)
    status = tools.session.run([program, *arguments], program.parent, output)
    print(output.read_text(encoding="latin-1"), end="")
    return status
