"""How Windows images run on this machine: the one place that decides it.

Two builds of the same sources exist: the shipped 32-bit images ("pe32",
build/windows/bin) and an x86-64 build that stands in for them
("x64", build/windows-x64/bin). Both run under Wine in a 64-bit (WoW64)
prefix served by the 64-bit wineserver; only the program itself runs on
the 32-bit or the 64-bit Wine loader.

Some machines refuse every 32-bit x86 Linux program, so the 32-bit Wine
loader cannot start there. Whether this one does is found out by trying
(a tiny i386 program), never from a host name. Where it is refused, the
32-bit loader runs under qemu-user through a binfmt_misc handler, slowly.
HEXALIFT_I386=native|emulated forces the mode, so that each can be tried
on any machine; forcing "emulated" where i386 runs natively registers the
handler when a Wine session starts, and the 32-bit build's session takes
it away again when it stops.

  windows_host.py mode     prints the mode this machine gets
"""

import fcntl
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
LOADERS = {"pe32": "/usr/lib/wine/wine", "x64": "/usr/lib/wine/wine64"}
SERVER = "/usr/lib/wine/wineserver64"
FORCE_VARIABLE = "HEXALIFT_I386"
BINFMT = Path("/proc/sys/fs/binfmt_misc")
OUR_HANDLER = "hexalift-i386"
# The i386 ELF header that binfmt_misc matches (the pattern qemu-user uses).
I386_MAGIC = b"\x7fELF\x01\x01\x01\x00" + b"\x00" * 8 + b"\x02\x00\x03\x00"
I386_MASK = b"\xff\xff\xff\xff\xff\xfe\xfe\x00" + b"\xff" * 8 + b"\xfe\xff\xff\xff"
QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
# What one Wine process of the 32-bit loader costs under emulation, roughly.
EMULATED_SECONDS_PER_PROCESS = 90
READY = ".hexalift-ready"   # a prefix that is complete


def i386_probe_program() -> bytes:
    """A static i386 ELF program that only exits with status 0."""
    code = bytes([0xB8, 1, 0, 0, 0, 0x31, 0xDB, 0xCD, 0x80])   # exit(0) through int 0x80
    base, header_size, program_header_size = 0x08048000, 52, 32
    size = header_size + program_header_size + len(code)
    header = I386_MAGIC[:16] + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + header_size + program_header_size,
                                           header_size, 0, 0, header_size, program_header_size, 1, 0, 0, 0)
    program_header = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
    return header + program_header + code


def i386_handlers() -> list:
    """The enabled binfmt_misc handlers that take i386 programs."""
    if not (BINFMT / "status").exists():
        return []
    header = i386_probe_program()[:20]
    found = []
    for entry in BINFMT.iterdir():
        if entry.name in ("register", "status"):
            continue
        fields = dict(line.split(" ", 1) for line in entry.read_text().splitlines() if " " in line)
        if "magic" not in fields or entry.read_text().split("\n", 1)[0] != "enabled":
            continue
        offset = int(fields.get("offset", "0"))
        magic = bytes.fromhex(fields["magic"])
        mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)))
        window = header[offset:offset + len(magic)]
        if len(window) == len(magic) and all(w & m == g & m for w, g, m in zip(window, magic, mask)):
            found.append(entry.name)
    return found


def runs_i386_natively() -> bool:
    """Tries the probe program with every i386 handler switched off for the
    moment, so that an emulator cannot answer for the kernel."""
    handlers = i386_handlers()
    with tempfile.TemporaryDirectory() as scratch:
        probe = Path(scratch) / "i386-probe"
        probe.write_bytes(i386_probe_program())
        probe.chmod(0o755)
        for name in handlers:
            (BINFMT / name).write_text("0")
        try:
            return subprocess.run([str(probe)], **QUIET).returncode == 0
        except OSError:   # ENOEXEC: "Exec format error"
            return False
        finally:
            for name in handlers:
                (BINFMT / name).write_text("1")


def register_emulator() -> None:
    """Sends i386 programs through qemu-user, unless a handler already does."""
    if i386_handlers():
        return
    subprocess.run(["bash", str(ROOT / "scripts" / "install-deps.sh"), "qemu-user-static"], check=True)
    if not (BINFMT / "register").exists():
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)], check=True)
    escape = lambda data: "".join(f"\\x{byte:02x}" for byte in data)   # noqa: E731
    try:
        (BINFMT / "register").write_text(
            f":{OUR_HANDLER}:M::{escape(I386_MAGIC)}:{escape(I386_MASK)}:/usr/bin/qemu-i386-static:F")
    except FileExistsError:
        pass   # registered a moment ago by another run of ours


def unregister_emulator() -> None:
    """Takes our own handler away (never someone else's)."""
    if (BINFMT / OUR_HANDLER).exists():
        (BINFMT / OUR_HANDLER).write_text("-1")


def decide_mode() -> str:
    """'native' where i386 programs run natively, 'emulated' where they do
    not, unless HEXALIFT_I386 says which."""
    forced = os.environ.get(FORCE_VARIABLE, "")
    if forced not in ("", "native", "emulated"):
        raise SystemExit(f"{FORCE_VARIABLE}={forced}: use 'native' or 'emulated'")
    return forced or ("native" if runs_i386_natively() else "emulated")


def set_up_i386(mode: str) -> None:
    """Registers the emulator where the 32-bit loader needs it (it cannot
    start at all without it where i386 is refused) and takes our own
    handler away where it is not wanted: it would slow every i386 program
    on the machine down."""
    native = runs_i386_natively()
    if native and mode == "native":
        unregister_emulator()
    else:
        register_emulator()


class WineSession:
    """One Wine prefix, its server and a virtual display, in work/, for
    running one build's images. Sessions in different folders are
    independent and may run side by side."""

    def __init__(self, work: Path, flavour: str, mode: str = "native"):
        assert flavour in LOADERS, flavour
        self.work, self.flavour, self.mode = work, flavour, mode
        self.prefix = work / "prefix"
        self.display_file = work / "display"
        self.server_log = work / "wineserver.log"

    @property
    def emulated(self) -> bool:
        """True when this session's programs run under emulation."""
        return self.flavour == "pe32" and self.mode == "emulated"

    @property
    def timeout(self) -> int:
        """Seconds one program may take."""
        return 900 if self.emulated else 120

    def command(self, *arguments) -> list:
        return [LOADERS[self.flavour], *map(str, arguments)]

    def env(self, display: bool = True, **extra) -> dict:
        """The environment for a program of this session: the prefix, the
        loader and the 64-bit server, Wine's Mono and Gecko installers off
        (they would open a dialog and hang), and the display. HEXSIM_*
        settings from outside are dropped; pass them in extra."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("HEXSIM_") and k != "DISPLAY"}
        env.update(WINEPREFIX=str(self.prefix), WINELOADER=LOADERS[self.flavour], WINESERVER=SERVER,
                   WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=")
        if display and self.display_file.exists():
            env["DISPLAY"] = self.display_file.read_text().split()[0]
        env.update({k: str(v) for k, v in extra.items()})
        return env

    @property
    def template(self) -> Path:
        """The prefix that the sessions beside this one copy: creating one
        runs the 32-bit part of Wine's set-up, minutes under emulation."""
        return self.work.parent / "prefix-template"

    def prepare(self, registry: dict | None = None) -> None:
        """Makes the prefix once (a copy of the template), sets registry
        values (key -> {name: text}) and starts the display and a server
        that stays up."""
        self.work.parent.mkdir(parents=True, exist_ok=True)
        with open(self.work.parent / "prefix-template.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)   # sessions side by side: one at a time here
            # The 32-bit build, and the template's 32-bit part, need i386
            # programs to run.
            set_up_i386(self.mode)
            if not (self.template / READY).exists():
                self.make_template()
        if not (self.prefix / READY).exists():
            shutil.rmtree(self.prefix, ignore_errors=True)
            shutil.copytree(self.template, self.prefix, symlinks=True)
        self.start_display()
        if registry:
            self.set_registry(registry)
        self.restart_server()

    def make_template(self) -> None:
        shutil.rmtree(self.template, ignore_errors=True)
        template = WineSession(self.template.parent, "x64", self.mode)
        template.prefix = self.template
        env = template.env(display=False)
        subprocess.run([LOADERS["x64"], "wineboot", "-i"], env=env, **QUIET)
        # No window manager under Xvfb: unmanaged windows, or every
        # DestroyWindow waits about 2 s for one.
        template.set_registry({"HKCU\\Software\\Wine\\X11 Driver": {"Managed": "N"}})
        subprocess.run([SERVER, "-w"], env=env, **QUIET)
        (self.template / READY).touch()

    def set_registry(self, values: dict) -> None:
        for key, pairs in values.items():
            for name, text in pairs.items():
                subprocess.run([LOADERS["x64"], "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", text, "/f"],
                               env={**self.env(), "WINELOADER": LOADERS["x64"]}, check=True, **QUIET)

    def restart_server(self, display: bool = True) -> None:
        """Ends every process of the prefix and starts a server that stays
        up. A server that exits on its own between two runs can drop the
        next run's connection; and the first program of a server decides
        whether the desktop has a display."""
        env = self.env(display)
        subprocess.run([SERVER, "-k"], env=env, **QUIET)
        subprocess.run([SERVER, "-w"], env=env, **QUIET)
        # What the server prints (its trace of a program run with +server) is kept.
        with open(self.server_log, "ab") as log:
            subprocess.run([SERVER, "-p"], env=env, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=log)

    def stop(self) -> None:
        subprocess.run([SERVER, "-k"], env=self.env(), **QUIET)
        self.stop_display()
        if self.flavour == "pe32" and runs_i386_natively():
            unregister_emulator()   # a forced emulation is over

    def run(self, arguments: list, cwd: Path, output: Path, error: Path | None = None,
            display: bool = True, **extra) -> int:
        """Runs a program of this build; its output goes to files, not pipes:
        Wine's helper processes inherit pipe ends and outlive the program."""
        with open(output, "ab") as out, open(error or output, "ab") as err:
            return subprocess.run(self.command(*arguments), cwd=cwd, env=self.env(display, **extra),
                                  stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                  timeout=self.timeout).returncode

    def start_display(self) -> None:
        """An Xvfb server for the session; its number and process id are
        kept in work/display."""
        self.stop_display()
        self.work.mkdir(parents=True, exist_ok=True)
        read_end, write_end = os.pipe()
        with open(self.work / "xvfb.log", "wb") as log:
            server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                       "-nolisten", "tcp"], pass_fds=(write_end,), start_new_session=True,
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(write_end)
        # Read up to the line end: closing early makes Xvfb's last write
        # fail, and it gives up.
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 32)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        display = ":" + number.decode().strip()
        self.display_file.write_text(f"{display} {server.pid}\n")
        # Xvfb names its display before it serves clients reliably; Wine's
        # desktop process gives up on a display it cannot open and every
        # window of the session then fails. Wait until a client gets through.
        for _ in range(150):
            if subprocess.run(["xdpyinfo", "-display", display], **QUIET).returncode == 0:
                return
            time.sleep(0.1)
        raise RuntimeError(f"Xvfb display {display} does not answer")

    def stop_display(self) -> None:
        """Ends the Xvfb server and waits until it is gone: a server that is
        still shutting down removes its socket, which may by then belong to
        the next server on the same display number."""
        if not self.display_file.exists():
            return
        pid = int(self.display_file.read_text().split()[1])
        try:
            os.kill(pid, 15)
        except ProcessLookupError:
            pass
        for _ in range(100):
            status = Path(f"/proc/{pid}/status")
            if not status.exists() or "\nState:\tZ" in status.read_text():
                break
            time.sleep(0.1)
        self.display_file.unlink()


def windows_path(path: Path) -> str:
    """A Unix path as a Windows program sees it, on drive Z:."""
    return "Z:" + str(path.resolve()).replace("/", "\\")


def main(argv: list) -> int:
    if argv == ["mode"]:
        print(decide_mode())
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
