"""Whether this machine's kernel runs 32-bit x86 (i386) programs, and so where the shipped 32-bit images
run: on this machine ("native"), or in a small x86-64 virtual machine whose kernel runs them ("guest", guest.py).

Deciding changes nothing outside the build folder: the probe, run from there, is an i386 program whose ELF
padding bytes (which the kernel ignores) no enabled binfmt_misc handler matches, so that an emulator
registered by someone else does not answer for the kernel. Only the kernel's refusal (ENOEXEC) counts as
"refuses i386". HEXALIFT_I386=native|guest forces the mode on any machine."""

import errno
import os
import struct
import subprocess
import sys
from collections import namedtuple
from pathlib import Path

from . import scratch
from .builds import build_dir

FORCE_VARIABLE = "HEXALIFT_I386"
MODES = ("native", "guest")
BINFMT = Path("/proc/sys/fs/binfmt_misc")
# The i386 ELF header that qemu-user's handler matches: it asks for zero padding bytes (identification bytes 8 to 15).
I386_MAGIC = b"\x7fELF\x01\x01\x01\x00" + b"\x00" * 8 + b"\x02\x00\x03\x00"
# Padding bytes for the probe, tried in turn until no handler matches.
PROBE_PADDINGS = (b"hexalift", b"\xff" * 8, bytes(range(1, 9)))


def say(text: str) -> None:
    print(f"windows_host: {text}", file=sys.stderr, flush=True)


def i386_program(padding: bytes = bytes(8)) -> bytes:
    """A static i386 ELF program that only exits with status 0; padding fills identification bytes 8 to 15."""
    code = b"\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80"  # exit(0) through int 0x80
    base, header_size, program_header_size = 0x08048000, 52, 32
    size = header_size + program_header_size + len(code)
    header = (
        I386_MAGIC[:8]
        + padding
        + struct.pack(
            "<HHIIIIIHHHHHH",
            2,
            3,
            1,
            base + header_size + program_header_size,
            header_size,
            0,
            0,
            header_size,
            program_header_size,
            1,
            *(0,) * 3,
        )
    )
    program_header = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
    return header + program_header + code


Handler = namedtuple(
    "Handler", "name enabled offset magic mask"
)  # a binfmt_misc handler that matches by magic


def handlers() -> list:
    """The handlers in binfmt_misc that match by magic bytes, not by file name extension."""
    found = []
    for entry in BINFMT.iterdir() if (BINFMT / "status").exists() else ():
        try:
            lines = (
                entry.read_text().splitlines()
                if entry.name not in ("register", "status")
                else []
            )
        except OSError:  # removed meanwhile
            continue
        fields = dict(line.split(" ", 1) for line in lines[1:] if " " in line)
        if "magic" in fields:
            magic = bytes.fromhex(fields["magic"])
            found.append(
                Handler(
                    entry.name,
                    lines[0] == "enabled",
                    int(fields.get("offset", "0")),
                    magic,
                    bytes.fromhex(fields.get("mask", "ff" * len(magic))),
                )
            )
    return found


def matching(program: bytes, among: list) -> list:
    """The names of the enabled handlers among these that match program."""
    windows = [
        (h, program[h.offset : h.offset + len(h.magic)]) for h in among if h.enabled
    ]
    return [
        h.name
        for h, window in windows
        if len(window) == len(h.magic)
        and all(w & m == g & m for w, g, m in zip(window, h.magic, h.mask))
    ]


def unmatched_probe(present: list):
    """An i386 program that no enabled handler among present matches; None when each would go through one."""
    return next(
        (
            probe
            for probe in map(i386_program, PROBE_PADDINGS)
            if not matching(probe, present)
        ),
        None,
    )


def runs_i386_natively() -> bool:
    """True or False by running a probe that no enabled handler matches, so that no emulator answers for the
    kernel. When every probe would go through some handler, nothing here can tell: that fails, and says how
    to choose."""
    present = handlers()
    probe = unmatched_probe(present)
    if probe is None:
        names = ", ".join(h.name for h in present if h.enabled)
        raise RuntimeError(
            f"every i386 probe would run through a binfmt_misc handler ({names}), so whether the kernel "
            f"runs i386 programs cannot be told; {FORCE_VARIABLE}=native or =guest chooses without it"
        )
    with scratch.folder(
        build_dir() / "probe", prefix="i386-probe-"
    ) as folder:  # sweeps no other scratch
        path = folder / "i386-probe"
        path.write_bytes(probe)
        path.chmod(0o755)
        return probe_answer(path)


def probe_answer(path: Path) -> bool:
    """True when the probe exited with 0, False when the kernel refused it (ENOEXEC); anything else fails."""
    try:
        status = subprocess.run(
            [str(path)],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        ).returncode
    except OSError as failure:
        if (
            failure.errno == errno.ENOEXEC
        ):  # "Exec format error": the kernel refuses i386
            return False
        raise RuntimeError(
            f"the i386 probe {path} could not be started ({failure.strerror}); "
            f"{FORCE_VARIABLE}=native or =guest chooses without it"
        ) from failure
    if status != 0:
        raise RuntimeError(f"the i386 probe {path} ran but ended with status {status}")
    return True


def decide_mode() -> str:
    """'native' where the kernel runs i386 programs, else 'guest'; HEXALIFT_I386 overrides."""
    forced = os.environ.get(FORCE_VARIABLE, "")
    if forced and forced not in MODES:
        raise SystemExit(f"{FORCE_VARIABLE}={forced}: use 'native' or 'guest'")
    return forced or ("native" if runs_i386_natively() else "guest")
