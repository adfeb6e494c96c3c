"""A small x86-64 virtual machine (the guest) whose kernel runs 32-bit x86
programs, for machines whose own kernel refuses them.

The guest is qemu-system-x86_64 with Debian's packaged kernel (fetched and
unpacked into the build folder, never installed) and a busybox initramfs.
It sees this machine's root file system read-only under a tmpfs overlay,
so it has the same Wine, Python and build outputs with nothing installed
twice; what it writes is gone when it ends, except in the folders a job
shares writable. A job's commands run in it one after another. Their
output comes back through a pipe as it comes. Their exit status is a file
that the guest writes into the job's folder after syncing, and it is read
only once qemu has ended through its exit device, so never half-written.
A guest ends with the process that starts it: when that process is killed
(PR_SET_PDEATHSIG), gets a signal, or outlives its own parent (ctest).
"""

import ctypes
import fcntl
import gzip
import hashlib
import lzma
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

from . import limits, scratch

QEMU = "/usr/bin/qemu-system-x86_64"
BUSYBOX = Path("/bin/busybox")   # busybox-static: runs before any library is reachable
KERNEL_PACKAGE = "linux-image-amd64"
# What the initramfs loads, in this order after their dependencies: the
# virtio transport, the 9p shares, overlays, and the disk with the prefix.
MODULES = ("virtio_pci", "virtio_blk", "9pnet_virtio", "9p", "overlay", "squashfs")
NINEP = "trans=virtio,version=9p2000.L,msize=512000"   # every 9p share; each adds its cache and ro
READY_MARK = "hexalift-guest: running"
# qemu's isa-debug-exit device: the init writes 0 there as its last act,
# which ends qemu with status 1; a panic or a power-off ends it with 0.
EXIT_PORT = 0xF4
ENDED_BY_INIT = 1
INSIDE_VARIABLE = "HEXALIFT_GUEST"   # set for a guest's commands


class GuestFailed(RuntimeError):
    """The guest did not boot, or its job did not finish; the message holds
    the guest's console."""


def say(text: str) -> None:
    print(f"guest: {text}", file=sys.stderr, flush=True)


def inside() -> bool:
    """True for a guest's commands."""
    return bool(os.environ.get(INSIDE_VARIABLE))


@dataclass
class Job:
    """What one guest does: commands (argument lists) run one after another
    while each succeeds, in cwd, with env."""
    commands: list
    cwd: Path
    env: dict
    writable: list = field(default_factory=list)   # host folders shared writable, at the same path
    prefix_image: Path | None = None   # a squashfs Wine prefix, read-only under an overlay ...
    prefix_at: Path | None = None      # ... at this path
    disk: Path | None = None           # a writable raw disk, /dev/vda in the guest
    timeout: int = limits.GUEST_CHECK  # the guest's whole life, boot included
    memory_mib: int = 3072


# --- The kernel and the initramfs, made once per build folder -------------

def kernel_package() -> str:
    """The versioned package that linux-image-amd64 depends on."""
    text = subprocess.run(["apt-cache", "depends", KERNEL_PACKAGE], capture_output=True, text=True).stdout
    names = [line.split(":", 1)[1].strip() for line in text.splitlines()
             if line.strip().startswith("Depends:") and "linux-image-" in line]
    if not names:
        raise GuestFailed(f"apt knows no package {KERNEL_PACKAGE}: its package lists are missing; "
                          "scripts/install-deps.sh fetches them")
    return names[0]


def read_module(module: Path) -> bytes:
    data = module.read_bytes()
    return lzma.decompress(data) if module.suffix == ".xz" else data


def module_dependencies(module: Path) -> list:
    """The depends= entry of a kernel module's .modinfo."""
    data = read_module(module)
    start = data.find(b"\0depends=")
    if start < 0:
        return []
    text = data[start + len(b"\0depends="):data.index(b"\0", start + 1)].decode()
    return [name for name in text.split(",") if name]


def modules_in_order(tree: Path) -> list:
    """MODULES and what they need, each after its dependencies."""
    files = {path.name.split(".ko")[0].replace("-", "_"): path for path in tree.rglob("*.ko*")}
    ordered = []

    def add(name: str) -> None:
        name = name.replace("-", "_")
        if name in ordered:
            return
        if name not in files:
            raise GuestFailed(f"kernel module {name} is not in {tree}")
        for needed in module_dependencies(files[name]):
            add(needed)
        ordered.append(name)

    for name in MODULES:
        add(name)
    return [files[name] for name in ordered]


INIT = r"""#!/bin/busybox sh
# The guest's first process: mounts this machine's root read-only under a
# tmpfs overlay, runs the job's set-up and commands, writes their exit
# status into the job's folder and ends qemu through its exit device.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules); do insmod /lib/modules/$module || exit 1; done
mkdir -p /host /job /rw /root
mount -t 9p -o @NINEP@,ro,cache=loose hostroot /host || exit 1
mount -t 9p -o @NINEP@,cache=none job /job || exit 1
mount -t tmpfs -o size=90% tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /root || exit 1
mount -t proc proc /root/proc
mount -t sysfs sysfs /root/sys
mount -t devtmpfs devtmpfs /root/dev
mkdir -p /root/dev/pts /root/dev/shm
mount -t devpts devpts /root/dev/pts
# Its own run-time folders and Wine and X sockets; the rest of /tmp stays
# this machine's (the build folder may lie there).
for place in /root/run /root/dev/shm /root/tmp/.wine-0 /root/tmp/.X11-unix; do
  mkdir -p $place && mount -t tmpfs tmpfs $place
done
. /job/setup.sh || exit 1
stty -F /dev/ttyS1 raw -echo
echo "hexalift-guest: running"
# ttyS1 is qemu's output pipe: its last close waits until every byte has left.
chroot /root /bin/sh -c "$(cat /job/commands.sh)" </dev/null >/dev/ttyS1 2>&1
echo $? >/job/status.partial
sync
mv /job/status.partial /job/status
printf '\0' | dd of=/dev/port bs=1 seek=@EXIT_PORT@ count=1 2>/dev/null
poweroff -f
""".replace("@NINEP@", NINEP).replace("@EXIT_PORT@", str(EXIT_PORT))


def make_initramfs(kernel_tree: Path, target: Path, work: Path) -> None:
    """busybox, the modules and the init script, as a gzipped newc cpio."""
    root = work / "initramfs"
    for folder in ("bin", "dev", "proc", "sys", "lib/modules"):
        (root / folder).mkdir(parents=True)
    shutil.copy(BUSYBOX, root / "bin" / "busybox")
    names = []
    for module in modules_in_order(kernel_tree):
        name = module.name.split(".ko")[0] + ".ko"
        (root / "lib/modules" / name).write_bytes(read_module(module))
        names.append(name)
    (root / "modules").write_text("\n".join(names) + "\n")
    (root / "init").write_text(INIT)
    (root / "init").chmod(0o755)
    listing = "\n".join(sorted(str(p.relative_to(root)) for p in root.rglob("*"))) + "\n"
    archive = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=listing.encode(),
                             capture_output=True, check=True).stdout
    target.write_bytes(gzip.compress(archive, compresslevel=1))


def boot_files(guest_dir: Path):
    """(kernel, initramfs): fetched and made once, under guest_dir."""
    guest_dir.mkdir(parents=True, exist_ok=True)
    # The initramfs is named after what goes into it: a changed init is a new one.
    made_of = hashlib.sha256((INIT + " ".join(MODULES)).encode()).hexdigest()[:12]
    kernel, initramfs = guest_dir / "vmlinuz", guest_dir / f"initramfs-{made_of}.gz"
    with open(guest_dir / "boot.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)   # guests started side by side make them once
        if kernel.exists() and initramfs.exists():
            return kernel, initramfs
        for old in guest_dir.glob("initramfs-*.gz"):
            old.unlink()
        package = kernel_package()
        say(f"fetching {package} (Debian's kernel for the guest; it is unpacked in {guest_dir}, "
            "not installed)")
        with scratch.folder(guest_dir / "downloads") as work:
            subprocess.run(["apt-get", "download", "-qq", package], cwd=work, check=True,
                           timeout=limits.KERNEL_DOWNLOAD, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            tree = work / "tree"
            subprocess.run(["dpkg-deb", "-x", str(next(work.glob("*.deb"))), str(tree)], check=True)
            make_initramfs(tree, guest_dir / "initramfs.partial", work)
            shutil.copy(next((tree / "boot").glob("vmlinuz-*")), guest_dir / "vmlinuz.partial")
        # The initramfs last: the pair counts as there once both are.
        (guest_dir / "vmlinuz.partial").rename(kernel)
        (guest_dir / "initramfs.partial").rename(initramfs)
        return kernel, initramfs


# --- One guest, one job ---------------------------------------------------

def setup_script(job: Job) -> str:
    """Shell lines the init runs before the commands: the writable shares
    and the prefix."""
    lines = [f"mount -t 9p -o {NINEP},cache=none share{number} {shlex.quote('/root' + str(folder))} || exit 1"
             for number, folder in enumerate(job.writable)]
    if job.prefix_image:
        at = shlex.quote("/root" + str(job.prefix_at))
        lines += ["mkdir -p /prefix /rw/prefix-upper /rw/prefix-work " + at,
                  "mount -t squashfs -o ro /dev/vda /prefix || exit 1",
                  f"mount -t overlay overlay -o lowerdir=/prefix,upperdir=/rw/prefix-upper,"
                  f"workdir=/rw/prefix-work {at} || exit 1"]
    return "\n".join(lines) + "\n"


def commands_script(job: Job) -> str:
    exports = [f"export {name}={shlex.quote(value)}" for name, value in sorted(job.env.items())
               if name.isidentifier()]
    return "\n".join([f"cd {shlex.quote(str(job.cwd))} || exit 1", *exports,
                      " && ".join(shlex.join(map(str, command)) for command in job.commands)]) + "\n"


def die_with_parent() -> None:
    """In the child, before qemu starts: SIGKILL when the parent ends."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)   # PR_SET_PDEATHSIG


def option(path: Path) -> str:
    """A path inside a qemu option, where a comma is written twice."""
    return str(path).replace(",", ",,")


def share(tag: str, folder: Path, *options: str) -> list:
    return ["-virtfs", ",".join([f"local,path={option(folder)},mount_tag={tag},security_model=none", *options])]


def qemu_command(kernel: Path, initramfs: Path, job: Job, job_dir: Path) -> list:
    """The guest, with the job's folder (set-up, commands, status) shared."""
    # qemu 7.2's TCG takes a user-mode iret for a supervisor access, which
    # SMAP faults: without -smap every Wine process crashes the guest's kernel.
    command = [QEMU, "-accel", "tcg", "-cpu", "max,-smap", "-smp", "1", "-m", str(job.memory_mib),
               "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot", "-nic", "none",
               "-device", f"isa-debug-exit,iobase={EXIT_PORT:#x},iosize=1",
               "-kernel", str(kernel), "-initrd", str(initramfs), "-append", "console=ttyS0 quiet panic=-1",
               "-serial", f"file:{job_dir / 'console.txt'}", "-serial", "stdio",
               *share("hostroot", Path("/"), "readonly=on", "multidevs=remap"), *share("job", job_dir)]
    for number, folder in enumerate(job.writable):
        command += share(f"share{number}", folder, "multidevs=remap")
    if job.prefix_image:
        command += ["-drive", f"file={option(job.prefix_image)},if=virtio,format=raw,readonly=on"]
    if job.disk:
        command += ["-drive", f"file={option(job.disk)},if=virtio,format=raw"]
    return command


def console_tail(job_dir: Path, lines: int = 60) -> str:
    console = job_dir / "console.txt"
    text = console.read_text(errors="replace") if console.exists() else ""
    return "\n--- the guest's console:\n" + ("\n".join(text.splitlines()[-lines:]) or "(the guest printed nothing)")


@contextmanager
def ended_by_signals():
    """SIGTERM and SIGHUP end this process through its clean-up, as SIGINT
    does: the guest is stopped and its job folder removed."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def end(number, _frame):
        raise SystemExit(128 + number)

    previous = {number: signal.signal(number, end) for number in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def run(job: Job, guest_dir: Path, stream=None) -> int:
    """Runs the job in a new guest and returns the exit status of its
    commands; their output goes to stream (this process's stdout by
    default) as it comes. Raises GuestFailed when the guest does not boot,
    ends early or does not end within the job's timeout."""
    stream = stream or sys.stdout.buffer
    kernel, initramfs = boot_files(guest_dir)
    with scratch.folder(guest_dir / "jobs", prefix="job-") as job_dir, ended_by_signals():
        (job_dir / "setup.sh").write_text(setup_script(job))
        (job_dir / "commands.sh").write_text(commands_script(job))
        with open(job_dir / "qemu.txt", "wb") as qemu_log:
            guest = subprocess.Popen(qemu_command(kernel, initramfs, job, job_dir), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=qemu_log, preexec_fn=die_with_parent)
        try:
            follow(guest, job, job_dir, stream)
        finally:
            if guest.poll() is None:
                guest.kill()
            guest.wait()
            guest.stdout.close()
        return exit_status(job_dir, guest.returncode)


def follow(guest: subprocess.Popen, job: Job, job_dir: Path, stream) -> None:
    """Passes the commands' output on until qemu ends. Stops with
    GuestFailed when the guest does not boot, overruns, or when the process
    that started this one has gone (ctest, killed)."""
    started, parent, booted = time.monotonic(), os.getppid(), False
    pipe = guest.stdout.fileno()
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
            booted = console.exists() and READY_MARK in console.read_text(errors="replace")
        if not booted and waited > limits.BOOT:
            raise GuestFailed(f"the guest did not boot within {limits.BOOT} s{console_tail(job_dir)}")
        if waited > job.timeout:
            raise GuestFailed(f"the guest's job did not end within {job.timeout} s{console_tail(job_dir)}")
        if os.getppid() != parent:
            raise GuestFailed("the process that started this one has ended: its guest is stopped with it")


def exit_status(job_dir: Path, qemu_status: int) -> int:
    """The commands' exit status, which the init wrote whole before it
    ended qemu through the exit device."""
    written = job_dir / "status"
    text = written.read_text() if written.exists() else ""
    if qemu_status == ENDED_BY_INIT and text.endswith("\n") and text.strip().isdigit():
        return int(text)
    qemu_said = (job_dir / "qemu.txt").read_text(errors="replace").strip()
    raise GuestFailed(f"the guest ended (qemu status {qemu_status}) before its commands did"
                      + (f"; qemu said: {qemu_said}" if qemu_said else "") + console_tail(job_dir))


def running(guest_dir: Path) -> list:
    """(process id, job folder) of the guests of this build folder that run now."""
    found, mark = [], f"path={option(guest_dir / 'jobs')}/".encode()
    for entry in Path("/proc").iterdir():
        try:
            arguments = (entry / "cmdline").read_bytes().split(b"\0") if entry.name.isdigit() else []
        except OSError:
            continue
        for argument in arguments:
            at = argument.find(mark)
            if at >= 0:
                found.append((int(entry.name), argument[at + len(b"path="):].split(b",mount_tag")[0].decode()))
    return found
