"""A Wine session: one build's prefix, its server and its display, in one work folder.

Every prefix is a 64-bit (WoW64) one served by the 64-bit wineserver; only the program runs on its build's
loader. Every prefix comes from one template per build folder and version of Wine, a squashfs image made
here, or in the guest mode in a guest (this machine may not run Wine's 32-bit half). A session here unpacks
it; a guest mounts it read-only under an overlay, so each of its runs starts from the same prefix. Images
and prefixes get their name once complete, so a kill never leaves one that looks ready."""

import fcntl
import hashlib
import inspect
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import display, guest, i386, limits, scratch
from .builds import BUILDS, ROOT, Build, build_dir
from .prefix_settings import PREFIX_SETTINGS

# Wine's Mono and Gecko installers would open a dialog and hang; its menu builder writes into HOME.
DEFAULT_OVERRIDES = "mscoree=;mshtml=;winemenubuilder.exe="
# A CoreCLR program needs Wine's own mscoree (it loads the runtime's assemblies as DLLs; Mono is never asked).
CORECLR_OVERRIDES = "mshtml=;winemenubuilder.exe="
# A server that ends on its own between two programs can drop the next one's connection: it stays up, but
# not for ever after a killed run.
SERVER_LINGER_SECONDS = 900
QUIET = display.QUIET
SERVER = "/usr/lib/wine/wineserver64"  # one 64-bit server for every prefix
LOADER_64 = BUILDS["x64"].loader  # makes prefixes and sets their registry
# One TMPDIR, in the build folder, for all this process starts: Wine finds its server's socket through it.
os.environ["TMPDIR"] = str(build_dir() / "tmp")
(build_dir() / "tmp").mkdir(parents=True, exist_ok=True)
IMAGE_BYTES = 4 << 30  # the disk a guest writes the template's image on (1 to 2 GB)
SQUASHFS = [
    "-noappend",
    "-no-progress",
    "-quiet",
    "-noI",
    "-noD",
    "-noF",
    "-noX",
]  # fast: uncompressed


def guest_dir() -> Path:
    """The guest's kernel, the prefix template's image and the guests' jobs."""
    return build_dir() / "guest"


def template_name() -> str:
    """prefix-template-ID, ID standing for what went into it: the installed Wine packages and the recipe."""
    wine = subprocess.run(
        [
            "dpkg-query",
            "-W",
            "-f",
            "${binary:Package} ${Version}\\n",
            "wine*",
            "libwine*",
        ],
        capture_output=True,
        text=True,
    ).stdout
    recipe = inspect.getsource(WineSession.make_template) + DEFAULT_OVERRIDES
    recipe += repr(PREFIX_SETTINGS)
    return (
        "prefix-template-" + hashlib.sha256((wine + recipe).encode()).hexdigest()[:12]
    )


def windows_path(path: Path) -> str:
    """A Unix path as a Windows program sees it, on drive Z:."""
    return "Z:" + str(path.resolve()).replace("/", "\\")


def replace_atomically(make, final: Path) -> None:
    """make(partial) makes a folder or file, named final once complete; what a killed run left goes first."""
    partial = final.with_name(final.name + ".partial")
    if partial.is_dir():
        stop_server(partial)
        shutil.rmtree(partial, ignore_errors=True)
    else:
        partial.unlink(missing_ok=True)
    make(partial)
    partial.rename(final)


def guest_env() -> dict:
    """Our environment for a guest's commands, without our display and Wine settings."""
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith(("WINE", "DISPLAY", "XAUTHORITY"))
        and k != i386.FORCE_VARIABLE
    }
    return {**env, i386.FORCE_VARIABLE: "native", guest.INSIDE_VARIABLE: "1"}


def stop_server(prefix: Path) -> None:
    """Ends every Wine process of the prefix."""
    if prefix.exists():
        env = {**os.environ, "WINEPREFIX": str(prefix), "WINESERVER": SERVER}
        for option in ("-k", "-w"):  # end them, and wait until they have
            subprocess.run([SERVER, option], env=env, **QUIET)


class WineSession:
    """The prefix, server and display one build's programs run in; sessions in other folders are independent."""

    def __init__(self, work: Path, build: Build, mode: str):
        assert mode in i386.MODES, mode
        self.work, self.build = work.resolve(), build
        self.mode = (
            "native" if guest.inside() else mode
        )  # in the guest, 32-bit programs run natively
        self.prefix = self.work / "prefix"
        self.display_record = self.work / "display"
        self.server_log = self.work / "wineserver.log"
        self.template_image = (
            guest_dir() / f"{template_name()}.sqfs"
        )  # one for every session

    @property
    def in_guest(self) -> bool:
        return self.build.in_guest(self.mode)

    @property
    def timeout(self) -> int:  # seconds one program may take
        return limits.program(guest.inside())

    def env(
        self, with_display: bool = True, prefix: Path | None = None, **extra
    ) -> dict:
        """A program's environment: prefix, loader, server, overrides, display; HEXSIM_* settings only from extra."""
        env = {
            k: v
            for k, v in os.environ.items()
            if not k.startswith("HEXSIM_") and k != "DISPLAY"
        }
        env.update(
            WINEPREFIX=str(prefix or self.prefix),
            WINELOADER=self.build.loader,
            WINESERVER=SERVER,
            WINEDEBUG="-all",
            WINEDLLOVERRIDES=DEFAULT_OVERRIDES,
        )
        if with_display and (running := display.recorded(self.display_record)):
            env["DISPLAY"] = running[0]
        return {**env, **{k: str(v) for k, v in extra.items()}}

    def prepare(self) -> None:
        """Makes the prefix from the template, and starts the display and a server that stay up until stop(), or
        until the supervised test ends. Where the programs run in the guest, a guest's job calls it there.
        """
        self.work.mkdir(parents=True, exist_ok=True)
        if guest.inside():  # over the image the guest was given
            guest.overlay_prefix(self.prefix)
        else:
            self.unpack_template()
        display.start(self.display_record)
        self.restart_server()

    def unpack_template(self) -> None:
        """The prefix, unpacked from the template's image unless it already was from this one."""
        self.make_template_image()
        made_from = self.work / "prefix.template"  # the image it was unpacked from
        if self.prefix.exists() and made_from.exists():
            if made_from.read_text() == self.template_image.name:
                return
        stop_server(self.prefix)
        shutil.rmtree(self.prefix, ignore_errors=True)
        unsquashfs = ["unsquashfs", "-quiet", "-no-progress", "-d"]
        replace_atomically(
            lambda folder: subprocess.run(
                [*unsquashfs, str(folder), str(self.template_image)],
                check=True,
                **QUIET,
            ),
            self.prefix,
        )
        made_from.write_text(self.template_image.name)

    def make_template_image(self) -> None:
        """The template's image, made once by the first session that needs it."""
        folder = self.template_image.parent
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / "prefix-template.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)  # sessions side by side make it once
            if not self.template_image.exists():
                for old in folder.glob("prefix-template-*.sqfs*"):
                    old.unlink()
                where = (
                    "in the guest, some 4 minutes"
                    if self.mode == "guest"
                    else "about 15 s"
                )
                i386.say(
                    f"making the Wine prefix template's image {self.template_image} (once, {where})"
                )
                replace_atomically(
                    self.make_image_in_guest
                    if self.mode == "guest"
                    else self.make_image,
                    self.template_image,
                )

    def make_image(self, image: Path) -> None:
        with scratch.folder(prefix="prefix-template-") as work, open(
            image.parent / "prefix-template.log", "wb"
        ) as log:
            self.make_template(work / "prefix", log)
            subprocess.run(
                ["mksquashfs", str(work / "prefix"), str(image), *SQUASHFS],
                check=True,
                **QUIET,
            )

    def make_image_in_guest(self, image: Path) -> None:
        """A guest writes the template's squashfs onto image, a sparse disk."""
        with open(image, "wb") as disk:
            disk.truncate(IMAGE_BYTES)
        inside = Path("/var/tmp/prefix-template")  # on the guest's own memory
        job = guest.Job(
            commands=[
                [
                    sys.executable,
                    ROOT / "scripts" / "windows_host.py",
                    "make-template",
                    inside,
                ],
                ["mksquashfs", inside, "/dev/vda", *SQUASHFS],
            ],
            cwd=ROOT,
            env=guest_env(),
            disk=image,
            timeout=limits.TEMPLATE,
            memory_mib=4096,
            cpus=2,
        )
        log_path = image.parent / "prefix-template.log"
        with open(log_path, "wb") as log:
            status = guest.run(job, image.parent, stream=log)
        if status != 0:  # with what the set-up said: a CI run may not keep the log
            raise RuntimeError(
                f"making the prefix template in the guest failed with status {status} ({log_path}):\n"
                + guest.last_lines(log_path.read_text(errors="replace"), 30)
            )

    def run_in_guest(
        self, commands: list, timeout: int, writable: tuple = (), cpus: int = 1
    ) -> int:
        """Runs commands (argument lists, in turn while each succeeds) in a guest that has the template's image,
        for at most timeout seconds; returns the last one's status. A session there makes its prefix over it.
        """
        self.make_template_image()
        job = guest.Job(
            commands=commands,
            cwd=Path.cwd(),
            env=guest_env(),
            writable=list(writable),
            prefix_image=self.template_image,
            timeout=timeout,
            cpus=cpus,
        )
        return guest.run(job, self.template_image.parent)

    def make_template(self, prefix: Path, log) -> None:
        """A new prefix, with Wine's set-up output in log (a binary stream). A set-up that fails early is made anew
        once, what Wine said shown (kernel32.dll once failed to load, status 53, then loaded); a hung one is stopped.
        """
        env = self.env(with_display=False, prefix=prefix, WINELOADER=LOADER_64)
        deadline, status = time.monotonic() + limits.SET_UP, None
        for attempt in (1, 2):
            with tempfile.TemporaryFile() as out:  # not a pipe: Wine's helpers hold it after wineboot has ended
                try:
                    status = subprocess.run(
                        [LOADER_64, "wineboot", "-i"],
                        env=env,
                        stdout=out,
                        stderr=out,
                        stdin=subprocess.DEVNULL,
                        timeout=deadline - time.monotonic(),
                    ).returncode
                finally:  # a hang's output too, once no Wine process of a set-up that did not succeed is left
                    if status != 0:
                        stop_server(prefix)
                    out.seek(0)
                    log.write(said := out.read())
                    log.flush()
            if status == 0:
                break
            shutil.rmtree(prefix, ignore_errors=True)
            failed = (
                f"setting up a new prefix (wineboot -i) failed with status {status} at attempt {attempt}:\n"
                + guest.last_lines(said.decode(errors="replace"), 20)
            )
            if (
                attempt == 2 or deadline - time.monotonic() < limits.SET_UP / 2
            ):  # a slow failure is no accident
                raise RuntimeError(failed)
            i386.say(failed + "\ntrying once more")
        self.set_registry(PREFIX_SETTINGS, prefix)
        subprocess.run([SERVER, "-w"], env=env, check=True, **QUIET)

    def set_registry(
        self, values: dict, prefix: Path | None = None
    ) -> None:  # key -> {name: text}
        env = self.env(with_display=False, prefix=prefix, WINELOADER=LOADER_64)
        for key, pairs in values.items():
            for name, text in pairs.items():
                command = [
                    "reg",
                    "add",
                    key,
                    "/v",
                    name,
                    "/t",
                    "REG_SZ",
                    "/d",
                    text,
                    "/f",
                ]
                subprocess.run([LOADER_64, *command], env=env, check=True, **QUIET)

    def restart_server(self, with_display: bool = True) -> None:
        """Ends every process of the prefix and starts a server that stays up (its trace kept); the first program
        of a server decides whether the desktop has a display."""
        stop_server(self.prefix)
        with open(self.server_log, "ab") as log:
            subprocess.run(
                [SERVER, f"-p{SERVER_LINGER_SECONDS}"],
                env=self.env(with_display),
                check=True,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=log,
            )

    def stop(self) -> None:
        stop_server(self.prefix)
        display.stop(self.display_record)

    def run(
        self,
        arguments: list,
        cwd: Path,
        output: Path,
        error: Path | None = None,
        with_display: bool = True,
        wrapper: tuple = (),
        **extra,
    ) -> int:
        """Runs a program of this build, behind wrapper (such as a timer), its output to files: Wine's helper
        processes inherit pipe ends and outlive the program."""
        with open(output, "ab") as out, open(error or output, "ab") as err:
            status = subprocess.run(
                [*wrapper, self.build.loader, *map(str, arguments)],
                cwd=cwd,
                env=self.env(with_display, **extra),
                stdout=out,
                stderr=err,
                stdin=subprocess.DEVNULL,
                timeout=self.timeout,
            ).returncode
        self.settle()
        return status

    def settle(self) -> None:
        """Returns once the session end that the last program may have requested is over. Such a program exits
        while wineboot.exe still ends the prefix's other processes, which would end a program started meanwhile
        too; so no result depends on what ran before."""
        deadline = time.monotonic() + limits.PREFIX_IDLE
        while any("wineboot.exe" in line for line in self.processes()):
            if time.monotonic() > deadline:
                raise RuntimeError(
                    f"the prefix {self.prefix} still ends its session {limits.PREFIX_IDLE} s "
                    f"after its program: {self.processes()}"
                )
            time.sleep(0.05)

    def processes(self) -> list:
        """The command lines of the prefix's Wine processes but its server."""
        mark, found = f"WINEPREFIX={self.prefix}".encode(), []
        for entry in Path("/proc").iterdir():
            try:
                if (
                    entry.name.isdigit()
                    and mark in (entry / "environ").read_bytes().split(b"\0")
                    and os.readlink(entry / "exe") != SERVER
                ):
                    found.append(
                        (entry / "cmdline")
                        .read_bytes()
                        .replace(b"\0", b" ")
                        .decode(errors="replace")
                    )
            except OSError:  # ended meanwhile
                continue
        return found
