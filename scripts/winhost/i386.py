"""Whether this machine runs 32-bit x86 (i386) programs itself, and the
emulator that runs them where it does not.

Some machines refuse every i386 program, Wine's 32-bit loader included.
There the loader runs under qemu-user, through a binfmt_misc handler of
ours ("hexalift-i386"). That handler is machine-wide state, so:
- deciding touches no handler: the probe is an i386 program whose ELF
  padding bytes (which the kernel ignores) no enabled handler matches;
- every change to our handler happens under one machine-wide lock;
- each session that needs the emulator is a user of it, and the handler
  goes when the last user stops (a user whose processes are all gone, after
  a kill, no longer counts). We never remove a handler we did not register;
- every change is said on stderr.
HEXALIFT_I386=native|emulated forces the mode on any machine.
"""

import fcntl
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

FORCE_VARIABLE = "HEXALIFT_I386"
MODES = ("native", "emulated")
BINFMT = Path("/proc/sys/fs/binfmt_misc")
OUR_HANDLER = "hexalift-i386"
QEMU = Path("/usr/bin/qemu-i386-static")
# Under /run (a tmpfs): gone at reboot, like the handler itself.
STATE = Path("/run/hexalift-i386")
# The i386 ELF header that our handler matches: qemu-user's pattern, which
# asks for zero padding bytes (identification bytes 8 to 15).
I386_MAGIC = b"\x7fELF\x01\x01\x01\x00" + b"\x00" * 8 + b"\x02\x00\x03\x00"
I386_MASK = b"\xff\xff\xff\xff\xff\xfe\xfe\x00" + b"\xff" * 8 + b"\xfe\xff\xff\xff"
# Padding bytes for the probe, tried in turn until no handler matches.
PROBE_PADDINGS = (b"hexalift", b"\xff" * 8, bytes(range(1, 9)))


def say(text: str) -> None:
    print(f"windows_host: {text}", file=sys.stderr, flush=True)


def i386_program(padding: bytes = bytes(8)) -> bytes:
    """A static i386 ELF program that only exits with status 0; padding
    fills identification bytes 8 to 15."""
    code = bytes([0xB8, 1, 0, 0, 0, 0x31, 0xDB, 0xCD, 0x80])   # exit(0) through int 0x80
    base, header_size, program_header_size = 0x08048000, 52, 32
    size = header_size + program_header_size + len(code)
    header = I386_MAGIC[:8] + padding + struct.pack(
        "<HHIIIIIHHHHHH", 2, 3, 1, base + header_size + program_header_size,
        header_size, 0, 0, header_size, program_header_size, 1, 0, 0, 0)
    program_header = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
    return header + program_header + code


@dataclass(frozen=True)
class Handler:
    """A binfmt_misc handler that matches by magic bytes."""
    name: str
    enabled: bool
    offset: int
    magic: bytes
    mask: bytes

    def matches(self, program: bytes) -> bool:
        window = program[self.offset:self.offset + len(self.magic)]
        return len(window) == len(self.magic) and all(
            w & m == g & m for w, g, m in zip(window, self.magic, self.mask))

    @staticmethod
    def parse(name: str, text: str):
        """From the handler's file in binfmt_misc; None for one that matches
        by file name extension."""
        lines = text.splitlines()
        fields = dict(line.split(" ", 1) for line in lines[1:] if " " in line)
        if "magic" not in fields:
            return None
        magic = bytes.fromhex(fields["magic"])
        return Handler(name, lines[0] == "enabled", int(fields.get("offset", "0")), magic,
                       bytes.fromhex(fields.get("mask", "ff" * len(magic))))


def handlers() -> list:
    if not (BINFMT / "status").exists():
        return []
    found = []
    for entry in BINFMT.iterdir():
        if entry.name not in ("register", "status"):
            try:
                handler = Handler.parse(entry.name, entry.read_text())
            except OSError:   # removed meanwhile
                continue
            if handler is not None:
                found.append(handler)
    return found


def matching(program: bytes, among: list) -> list:
    return [handler.name for handler in among if handler.enabled and handler.matches(program)]


def unmatched_probe(present: list):
    """An i386 program that no enabled handler among present matches, or
    None when each would go through some handler."""
    return next((probe for probe in map(i386_program, PROBE_PADDINGS) if not matching(probe, present)), None)


def runs_i386_natively():
    """True or False by running a probe that no enabled handler matches, so
    that no emulator answers for the kernel; None when every probe would go
    through some handler (i386 programs run there, emulated or not)."""
    probe = unmatched_probe(handlers())
    if probe is None:
        return None
    with tempfile.TemporaryDirectory() as scratch:
        path = Path(scratch) / "i386-probe"
        path.write_bytes(probe)
        path.chmod(0o755)
        try:
            return subprocess.run([str(path)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0
        except OSError:   # ENOEXEC: "Exec format error"
            return False


def decide_mode() -> str:
    """'native' where the kernel runs i386 programs, else 'emulated';
    HEXALIFT_I386 overrides."""
    forced = os.environ.get(FORCE_VARIABLE, "")
    if forced and forced not in MODES:
        raise SystemExit(f"{FORCE_VARIABLE}={forced}: use 'native' or 'emulated'")
    return forced or ("native" if runs_i386_natively() else "emulated")


# Users of the emulator, one file each in STATE/users: the process that
# made it a user and the Wine prefix it runs. A user counts while that
# process lives or a Wine server of its prefix runs.
def users_dir() -> Path:
    return STATE / "users"


@contextmanager
def machine_lock():
    """The one lock around every change to our handler and its users."""
    STATE.mkdir(parents=True, exist_ok=True)
    with open(STATE / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def process_start(pid: int):
    """The process's start time in clock ticks since boot (field 22 of its
    stat), which tells it apart from a later process with the same id."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat.rsplit(")", 1)[1].split()[19])


def server_running(prefix: str) -> bool:
    """Whether a Wine server of that prefix runs."""
    wanted = f"WINEPREFIX={prefix}".encode()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if b"wineserver" in (entry / "cmdline").read_bytes() and \
                    wanted in (entry / "environ").read_bytes().split(b"\0"):
                return True
        except OSError:
            continue
    return False


def user_file(prefix: Path) -> Path:
    return users_dir() / hashlib.sha256(str(prefix).encode()).hexdigest()[:16]


def live_users() -> list:
    """The prefixes of the users that still count; forgets the others."""
    live = []
    for entry in sorted(users_dir().glob("*")):
        try:
            pid, start, prefix = entry.read_text().split("\n")[:3]
        except (OSError, ValueError):
            entry.unlink(missing_ok=True)
            continue
        if process_start(int(pid)) == int(start) or server_running(prefix):
            live.append(prefix)
        else:
            entry.unlink(missing_ok=True)
    return live


def our_handler_registered() -> bool:
    return (BINFMT / OUR_HANDLER).exists()


def use_emulator(prefix: Path) -> None:
    """Makes this process, running that prefix, a user of the emulator, and
    registers our handler unless an enabled handler already takes i386
    programs. Call with the machine lock held."""
    users_dir().mkdir(parents=True, exist_ok=True)
    user_file(prefix).write_text(f"{os.getpid()}\n{process_start(os.getpid())}\n{prefix}\n")
    if not (BINFMT / "register").exists():
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)], check=True)
        say(f"mounted binfmt_misc on {BINFMT}")
    taken_by = matching(i386_program(), handlers())
    if taken_by:
        return
    if not QEMU.exists():
        raise RuntimeError(f"{QEMU} is missing, and this machine needs it for 32-bit programs: "
                           "run scripts/install-deps.sh")
    register_handler()
    say(f"registered binfmt_misc handler {OUR_HANDLER}: i386 programs now run under {QEMU.name}")


def stop_using_emulator(prefix: Path | None) -> None:
    """Ends that prefix's use (None: none of ours), and takes our handler
    away when no user is left. Call with the machine lock held."""
    if prefix is not None:
        user_file(prefix).unlink(missing_ok=True)
    users = live_users()
    if our_handler_registered() and not users:
        remove_handler()
        say(f"removed binfmt_misc handler {OUR_HANDLER}: no run of ours needs it any more")


def register_handler() -> None:
    """Our handler: qemu-user for i386 programs, opened now (F), so that it
    also serves programs in other mount namespaces."""
    escape = lambda data: "".join(f"\\x{byte:02x}" for byte in data)   # noqa: E731
    (BINFMT / "register").write_text(f":{OUR_HANDLER}:M::{escape(I386_MAGIC)}:{escape(I386_MASK)}:{QEMU}:F")


def remove_handler() -> None:
    (BINFMT / OUR_HANDLER).write_text("-1")
