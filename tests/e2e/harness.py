"""Runs hexalift.exe under Wine against the simulated module and collects
everything a scenario checks: exit status, console output, the run log's
bytes, the simulator's journal and what reached flash."""

import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
INSTALL_DIR = ("C:\\Program Files\\Veltrane Corporation\\Signal Analyzer\\System"
               "\\Hardware Objects\\Optical\\")
PROCESSOR_IMAGE = "qd5180b.nios"
FPGA_IMAGE = "qd5180a.fpga"
TARGET_OF = {PROCESSOR_IMAGE: 1, FPGA_IMAGE: 2}


@dataclass
class Tools:
    windows_bin: Path   # hexalift.exe and simulator/ beside it
    imagetool: Path     # the native image tool
    work: Path          # scratch space: the prefix and one folder per scenario

    @property
    def prefix(self) -> Path:
        return self.work / "prefix"

    def drive_c(self) -> Path:
        return self.prefix / "drive_c"

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


def wine_env(tools: Tools) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith("HEXSIM_")}
    env.update(WINEPREFIX=str(tools.prefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree=;mshtml=")
    return env


def prepare_prefix(tools: Tools) -> None:
    """Creates the prefix and starts its Wine server for the whole test run.
    A server that exits on its own between two runs can drop the next run's
    connection ("wine client error ... Connection reset by peer")."""
    subprocess.run(["bash", str(ROOT / "scripts" / "wine-prefix.sh"), str(tools.prefix)],
                   check=True)
    subprocess.run(["wineserver", "-p"], env=wine_env(tools), check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop_prefix(tools: Tools) -> None:
    subprocess.run(["wineserver", "-k"], env=wine_env(tools),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@dataclass
class Setup:
    """What lies on the machine before a run."""
    settings: bytes | None = b"1"           # c:\zef_installer.ini; None: absent
    old_log: bytes | None = None            # c:\zef_installer.log before the run
    log_is_directory: bool = False          # the log cannot be created
    images: dict = field(default_factory=dict)   # file name -> bytes; missing: absent
    flash: dict = field(default_factory=dict)    # target -> bytes held before the run
    libraries: dict = field(default_factory=lambda: {"Flash.dll": "Flash", "zefib.dll": "zefib"})
    simulator: dict = field(default_factory=dict)  # HEXSIM_* settings


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


JOURNAL_LINE = re.compile(r"^(\d+\.\d+) (.*)$")
ADDRESS = re.compile(r"0x[0-9a-f]{8}")


def simulator_file(tools: Tools, name: str) -> Path:
    """Where a simulated library of the given name was built."""
    direct = tools.windows_bin / "simulator" / f"{name}.dll"
    return direct if direct.exists() else tools.windows_bin / "simulator" / "variants" / f"{name}.dll"


def reset_drive_c(tools: Tools) -> None:
    for name in ("zef_installer.ini", "zef_installer.log"):
        path = tools.drive_c() / name
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
        (tools.install_dir() / name).write_bytes(content)
    if setup.settings is not None:
        (tools.drive_c() / "zef_installer.ini").write_bytes(setup.settings)
    log = tools.drive_c() / "zef_installer.log"
    if setup.log_is_directory:
        log.mkdir()
    elif setup.old_log is not None:
        log.write_bytes(setup.old_log)


def run(tools: Tools, run_dir: Path, setup: Setup, extra_env: dict | None = None) -> Outcome:
    """Runs hexalift once in run_dir; the journal is cleared first."""
    journal = run_dir / "journal.txt"
    if journal.exists():
        journal.unlink()
    env = wine_env(tools)
    env.update({k: str(v) for k, v in setup.simulator.items()})
    env.update(extra_env or {})
    # Files, not pipes: Wine's helper processes would hold a pipe open.
    with open(run_dir / "stdout.txt", "wb") as out, open(run_dir / "stderr.txt", "wb") as err:
        status = subprocess.run(["wine", "hexalift.exe"], cwd=run_dir, env=env,
                                stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                timeout=120).returncode
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
        stderr=(run_dir / "stderr.txt").read_bytes(),
        log=log_path.read_bytes() if log_path.is_file() else None,
        journal=calls,
        stamps=stamps,
        flash=flash,
        reset_register=register.read_bytes() if register.exists() else None)
