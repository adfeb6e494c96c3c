"""A Wine session: one build's prefix, its server and its display, in one
work folder.

Every prefix is a 64-bit (WoW64) one served by the 64-bit wineserver; only
the program itself runs on its build's loader, so under emulation only the
program is emulated. Prefixes are copies of one template per parent
folder, made once. Both are made under a temporary name and renamed when
complete, so a kill never leaves a prefix that looks ready.
"""

import fcntl
import os
import shutil
import subprocess
from pathlib import Path

from . import display, i386
from .builds import BUILDS, PREPARE_TIMEOUT, Build

# Wine's Mono and Gecko installers would open a dialog and hang: off while
# a prefix is made and for programs that do not need them.
DEFAULT_OVERRIDES = "mscoree=;mshtml="
# A CoreCLR program needs Wine's own mscoree: Wine's loader hands it every
# .NET assembly that the runtime loads as a DLL, and fails the load without
# it ("Module not found"). The program is no .NET image itself, so Wine's
# Mono is never asked for.
CORECLR_OVERRIDES = "mshtml="
# A server that ends on its own between two programs can drop the next
# one's connection: it stays up, but not for ever after a killed run.
SERVER_LINGER_SECONDS = 900
QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
SERVER = "/usr/lib/wine/wineserver64"   # one 64-bit server for every prefix
# Prefixes are made and their registry is set with the 64-bit loader.
LOADER_64 = BUILDS["x64"].loader


def windows_path(path: Path) -> str:
    """A Unix path as a Windows program sees it, on drive Z:."""
    return "Z:" + str(path.resolve()).replace("/", "\\")


def replace_atomically(make, final: Path) -> None:
    """Makes a folder under a temporary name with make(folder), then gives
    it its final name: a folder under the final name is always complete."""
    partial = final.with_name(final.name + ".partial")
    stop_server(partial)
    shutil.rmtree(partial, ignore_errors=True)
    make(partial)
    partial.rename(final)


def stop_server(prefix: Path) -> None:
    """Ends every Wine process of the prefix."""
    if prefix.exists():
        env = {**os.environ, "WINEPREFIX": str(prefix), "WINESERVER": SERVER}
        subprocess.run([SERVER, "-k"], env=env, **QUIET)
        subprocess.run([SERVER, "-w"], env=env, **QUIET)


class WineSession:
    """The prefix, server and display that one build's programs run in.
    Sessions in different folders are independent and may run side by side."""

    def __init__(self, work: Path, build: Build, mode: str):
        assert mode in i386.MODES, mode
        self.work, self.build, self.mode = work.resolve(), build, mode
        self.prefix = self.work / "prefix"
        self.display_record = self.work / "display"
        self.server_log = self.work / "wineserver.log"
        self.template = self.work.parent / "prefix-template"

    @property
    def emulated(self) -> bool:
        """True when this session's programs run under emulation."""
        return self.build.emulated(self.mode)

    @property
    def timeout(self) -> int:
        """Seconds one program may take."""
        return self.build.program_timeout(self.mode)

    def command(self, *arguments) -> list:
        return [self.build.loader, *map(str, arguments)]

    def env(self, with_display: bool = True, prefix: Path | None = None, **extra) -> dict:
        """The environment for a program of this session: the prefix, the
        loader, the 64-bit server, the overrides and the display. HEXSIM_*
        settings from outside are dropped; pass them in extra."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("HEXSIM_") and k != "DISPLAY"}
        env.update(WINEPREFIX=str(prefix or self.prefix), WINELOADER=self.build.loader, WINESERVER=SERVER,
                   WINEDEBUG="-all", WINEDLLOVERRIDES=DEFAULT_OVERRIDES)
        running = display.recorded(self.display_record) if with_display else None
        if running:
            env["DISPLAY"] = running[0]
        env.update({k: str(v) for k, v in extra.items()})
        return env

    def prepare(self, registry: dict | None = None) -> None:
        """Makes the prefix once (a copy of the template), sets registry
        values (key -> {name: text}), and starts the display and a server
        that stays up."""
        self.work.mkdir(parents=True, exist_ok=True)
        needs_emulator = self.mode == "emulated" and (self.build.needs_i386 or not self.template.exists())
        with i386.machine_lock():
            if needs_emulator:
                i386.use_emulator(self.prefix)
            else:
                i386.stop_using_emulator(self.prefix)   # and a handler a killed run left
        with open(self.work.parent / "prefix-template.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)   # sessions side by side make it once
            if not self.template.exists():
                replace_atomically(self.make_template, self.template)
        if not self.prefix.exists():
            replace_atomically(lambda partial: shutil.copytree(self.template, partial, symlinks=True),
                               self.prefix)
        if needs_emulator and not self.build.needs_i386:
            with i386.machine_lock():   # only the template needed it
                i386.stop_using_emulator(self.prefix)
        display.start(self.display_record)
        if registry:
            self.set_registry(registry)
        self.restart_server()

    def make_template(self, prefix: Path) -> None:
        """A new prefix; its 32-bit half runs i386 programs (minutes under
        emulation)."""
        i386.say(f"making the Wine prefix template {self.template} (once"
                 + (", several minutes under emulation)" if self.mode == "emulated" else ")"))
        env = self.env(with_display=False, prefix=prefix, WINELOADER=LOADER_64)
        with open(self.work.parent / "prefix-template.log", "wb") as log:
            subprocess.run([LOADER_64, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=log,
                           stderr=log, check=True, timeout=PREPARE_TIMEOUT)
        # No window manager under Xvfb: unmanaged windows, or every
        # DestroyWindow waits about 2 s for one.
        self.set_registry({"HKCU\\Software\\Wine\\X11 Driver": {"Managed": "N"}}, prefix)
        subprocess.run([SERVER, "-w"], env=env, check=True, **QUIET)

    def set_registry(self, values: dict, prefix: Path | None = None) -> None:
        env = self.env(with_display=False, prefix=prefix, WINELOADER=LOADER_64)
        for key, pairs in values.items():
            for name, text in pairs.items():
                subprocess.run([LOADER_64, "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", text, "/f"],
                               env=env, check=True, **QUIET)

    def restart_server(self, with_display: bool = True) -> None:
        """Ends every process of the prefix and starts a server that stays
        up; the first program of a server decides whether the desktop has a
        display."""
        stop_server(self.prefix)
        # What the server prints (its trace of a program run with +server) is kept.
        with open(self.server_log, "ab") as log:
            subprocess.run([SERVER, f"-p{SERVER_LINGER_SECONDS}"], env=self.env(with_display), check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)

    def stop(self) -> None:
        stop_server(self.prefix)
        display.stop(self.display_record)
        with i386.machine_lock():
            i386.stop_using_emulator(self.prefix)

    def run(self, arguments: list, cwd: Path, output: Path, error: Path | None = None,
            with_display: bool = True, wrapper: tuple = (), **extra) -> int:
        """Runs a program of this build, behind wrapper (a command that runs
        it, such as a timer). Its output goes to files, not pipes: Wine's
        helper processes inherit pipe ends and outlive the program."""
        with open(output, "ab") as out, open(error or output, "ab") as err:
            return subprocess.run([*wrapper, *self.command(*arguments)], cwd=cwd,
                                  env=self.env(with_display, **extra), stdout=out, stderr=err,
                                  stdin=subprocess.DEVNULL, timeout=self.timeout).returncode
