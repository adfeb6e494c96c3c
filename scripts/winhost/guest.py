"""The guest: a small x86-64 virtual machine whose kernel runs 32-bit x86 programs, for machines whose own
kernel refuses them. qemu-system-x86_64 boots Debian's kernel and a busybox initramfs (guest_boot.py).

The guest sees this machine's root file system read-only under a tmpfs overlay: the same Wine, Python and
build outputs, nothing installed twice, and what it writes is gone when it ends, but in the folders a job
shares writable. A job's commands run in turn; their output comes back through a pipe as it comes, their
exit status as a file the guest writes after syncing, read only once qemu has ended through its exit
device, so never half-written. What ends a guest with its test is the supervisor the test runs under
(scripts/supervise.py)."""

import os
import select
import shlex
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

from . import limits, scratch
from .guest_boot import (
    ENDED_BY_INIT,
    EXIT_PORT,
    NINEP,
    READY_MARK,
    GuestFailed,
    boot_files,
)

QEMU = "/usr/bin/qemu-system-x86_64"
INSIDE_VARIABLE = "HEXALIFT_GUEST"  # set for a guest's commands


# Where a guest's commands find the prefix template's image, read-only.
TEMPLATE_MOUNT = Path("/prefix-template")


def inside() -> bool:
    return bool(os.environ.get(INSIDE_VARIABLE))


def overlay_prefix(at: Path) -> None:
    """In a guest: a prefix of its own at `at`, the template under an overlay
    whose changes stay in the guest's memory, so that each session, and each
    pytest worker, starts from the same prefix."""
    if at.is_mount():
        return
    layers = Path(tempfile.mkdtemp(prefix="prefix-", dir="/dev/shm"))  # a tmpfs
    for layer in ("upper", "work"):
        (layers / layer).mkdir()
    at.mkdir(parents=True, exist_ok=True)
    options = f"lowerdir={TEMPLATE_MOUNT},upperdir={layers}/upper,workdir={layers}/work"
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o", options, at], check=True)


@dataclass
class Job:
    """What one guest does: commands (argument lists) run in turn while each succeeds, in cwd, with env."""

    commands: list
    cwd: Path
    env: dict
    writable: list = field(
        default_factory=list
    )  # host folders shared writable, at the same path
    prefix_image: Path | None = None  # a squashfs Wine prefix template (TEMPLATE_MOUNT)
    disk: Path | None = None  # a writable raw disk, /dev/vda in the guest
    timeout: int = limits.GUEST_CHECK  # the guest's whole life, boot included
    memory_mib: int = 3072
    cpus: int = 1  # two help a guest that has this machine to itself (the template's: 280 s -> 215 s)


def setup_script(job: Job) -> str:
    """Shell lines the init runs before the commands: the writable shares and the prefix template."""
    lines = [
        f"mount -t 9p -o {NINEP},cache=none share{number} {shlex.quote('/root' + str(folder))} || exit 1"
        for number, folder in enumerate(job.writable)
    ]
    if job.prefix_image:
        at = shlex.quote(f"/root{TEMPLATE_MOUNT}")
        lines += [f"mkdir -p {at} && mount -t squashfs -o ro /dev/vda {at} || exit 1"]
    return "\n".join(lines) + "\n"


def commands_script(job: Job) -> str:
    exports = [
        f"export {k}={shlex.quote(v)}"
        for k, v in sorted(job.env.items())
        if k.isidentifier()
    ]
    return (
        "\n".join(
            [
                f"cd {shlex.quote(str(job.cwd))} || exit 1",
                *exports,
                " && ".join(shlex.join(map(str, command)) for command in job.commands),
            ]
        )
        + "\n"
    )


def option(path: Path) -> str:
    """A path inside a qemu option, where a comma is written twice."""
    return str(path).replace(",", ",,")


def share(tag: str, folder: Path, *options: str) -> list:
    return [
        "-virtfs",
        ",".join(
            [
                f"local,path={option(folder)},mount_tag={tag},security_model=none",
                *options,
            ]
        ),
    ]


def qemu_command(kernel: Path, initramfs: Path, job: Job, job_dir: Path) -> list:
    """The guest, with the job's folder (set-up, commands, status) shared."""
    # qemu 7.2's TCG takes a user-mode iret for a supervisor access, which
    # SMAP faults: without -smap every Wine process crashes the guest's kernel.
    command = [
        QEMU,
        "-accel",
        "tcg,thread=multi",
        "-cpu",
        "max,-smap",
        "-smp",
        str(job.cpus),
        "-m",
        str(job.memory_mib),
        "-nodefaults",
        "-no-user-config",
        "-display",
        "none",
        "-no-reboot",
        "-nic",
        "none",
        "-device",
        f"isa-debug-exit,iobase={EXIT_PORT:#x},iosize=1",
        "-kernel",
        str(kernel),
        "-initrd",
        str(initramfs),
        "-append",
        "console=ttyS0 quiet panic=-1",
        "-serial",
        f"file:{job_dir / 'console.txt'}",
        "-serial",
        "stdio",
        *share("hostroot", Path("/"), "readonly=on", "multidevs=remap"),
        *share("job", job_dir),
    ]
    for number, folder in enumerate(job.writable):
        command += share(f"share{number}", folder, "multidevs=remap")
    if job.prefix_image:
        command += [
            "-drive",
            f"file={option(job.prefix_image)},if=virtio,format=raw,readonly=on",
        ]
    if job.disk:
        command += ["-drive", f"file={option(job.disk)},if=virtio,format=raw"]
    return command


def last_lines(
    text: str, count: int, indent: str = ""
) -> str:  # the end of what a program or guest said
    return "\n".join(indent + line for line in text.splitlines()[-count:])


def console_tail(job_dir: Path, lines: int = 60) -> str:
    console = job_dir / "console.txt"
    text = console.read_text(errors="replace") if console.exists() else ""
    return "\n--- the guest's console:\n" + (
        last_lines(text, lines) or "(the guest printed nothing)"
    )


def run(job: Job, guest_dir: Path, stream=None) -> int:
    """Runs the job in a new guest and returns the exit status of its commands; their output goes to stream
    (this process's stdout by default) as it comes. Raises GuestFailed when the guest does not boot, ends early
    or does not end within the job's timeout."""
    stream = stream or sys.stdout.buffer
    kernel, initramfs = boot_files(guest_dir)
    with scratch.folder(guest_dir / "jobs", prefix="job-") as job_dir:
        (job_dir / "setup.sh").write_text(setup_script(job))
        (job_dir / "commands.sh").write_text(commands_script(job))
        with open(job_dir / "qemu.txt", "wb") as qemu_log:
            guest = subprocess.Popen(
                qemu_command(kernel, initramfs, job, job_dir),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=qemu_log,
            )
        try:
            follow(guest, job, job_dir, stream)
        finally:
            guest.kill()  # sends nothing once qemu has ended
            guest.wait()
            guest.stdout.close()
        return exit_status(job_dir, guest.returncode)


def follow(guest: subprocess.Popen, job: Job, job_dir: Path, stream) -> None:
    """Passes the commands' output on until qemu ends. Stops with GuestFailed when the guest does not boot
    or overruns."""
    started, booted, pipe = time.monotonic(), False, guest.stdout.fileno()
    while True:
        if select.select([pipe], [], [], 0.5)[0]:
            chunk = os.read(pipe, 1 << 16)
            if not chunk:
                return
            stream.write(chunk)
            stream.flush()
        waited = time.monotonic() - started
        if not booted:
            console = job_dir / "console.txt"
            booted = console.exists() and READY_MARK in console.read_text(
                errors="replace"
            )
        if not booted and waited > limits.BOOT:
            raise GuestFailed(
                f"the guest did not boot within {limits.BOOT} s{console_tail(job_dir)}"
            )
        if waited > job.timeout:
            raise GuestFailed(
                f"the guest's job did not end within {job.timeout} s{console_tail(job_dir)}"
            )


def exit_status(job_dir: Path, qemu_status: int) -> int:
    """The commands' exit status, which the init wrote whole before it ended qemu through the exit device."""
    text = (job_dir / "status").read_text() if (job_dir / "status").exists() else ""
    if qemu_status == ENDED_BY_INIT and text.endswith("\n") and text.strip().isdigit():
        return int(text)
    qemu_said = (job_dir / "qemu.txt").read_text(errors="replace").strip()
    raise GuestFailed(
        f"the guest ended (qemu status {qemu_status}) before its commands did"
        + (f"; qemu said: {qemu_said}" if qemu_said else "")
        + console_tail(job_dir)
    )


def running(guest_dir: Path) -> list:
    """(process id, job folder) of the guests of this build folder that run now."""
    found, mark = [], f"path={option(guest_dir / 'jobs')}/".encode()
    for entry in Path("/proc").iterdir():
        try:
            arguments = (
                (entry / "cmdline").read_bytes().split(b"\0")
                if entry.name.isdigit()
                else []
            )
        except OSError:
            continue
        for argument in arguments:
            at = argument.find(mark)
            if at >= 0:
                path = argument[at + len(b"path=") :].split(b",mount_tag")[0].decode()
                found.append(
                    (int(entry.name), path.replace(",,", ","))
                )  # as option() wrote it
    return found
