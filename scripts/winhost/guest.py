"""A small x86-64 virtual machine (the guest) whose kernel runs 32-bit x86
programs, for machines whose own kernel refuses them.

The guest is qemu-system-x86_64 with Debian's packaged kernel (downloaded
and unpacked into the build folder, never installed) and a busybox
initramfs. It sees this machine's root file system read-only under a
tmpfs overlay, so it has the same Wine, Python and build outputs with
nothing installed twice; what it writes is gone when it ends, except in the
folders a job shares writable. A job's commands run in it one after
another; their output comes back on a second serial port, their exit
status on the console. A guest is a child of the process that starts it
and dies with it, a kill included (PR_SET_PDEATHSIG).
"""

import ctypes
import fcntl
import gzip
import hashlib
import lzma
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

QEMU = "/usr/bin/qemu-system-x86_64"
BUSYBOX = Path("/bin/busybox")   # busybox-static: runs before any library is reachable
KERNEL_PACKAGE = "linux-image-amd64"
# What the initramfs loads, in this order after their dependencies: the
# virtio transport, the 9p shares, overlays, and the disk with the prefix.
MODULES = ("virtio_pci", "virtio_blk", "9pnet_virtio", "9p", "overlay", "squashfs")
BOOT_SECONDS = 120   # a guest that has not run its first command by then did not boot
STATUS_MARK = "hexalift-guest: exit status "
READY_MARK = "hexalift-guest: running"


class GuestFailed(RuntimeError):
    """The guest did not boot, or its job did not finish; the message holds
    the guest's console."""


def say(text: str) -> None:
    print(f"guest: {text}", file=sys.stderr, flush=True)


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
    timeout: int = 600
    memory_mib: int = 3072


# --- The kernel and the initramfs, made once per build folder -------------

def kernel_package() -> str:
    """The versioned package that linux-image-amd64 depends on."""
    for attempt in range(2):
        text = subprocess.run(["apt-cache", "depends", KERNEL_PACKAGE], capture_output=True, text=True).stdout
        names = [line.split(":", 1)[1].strip() for line in text.splitlines()
                 if line.strip().startswith("Depends:") and "linux-image-" in line]
        if names:
            return names[0]
        if attempt == 0:   # no package lists yet on a fresh machine
            subprocess.run(["apt-get", "update", "-qq"], check=True)
    raise GuestFailed(f"apt-cache names no kernel package for {KERNEL_PACKAGE}")


def module_dependencies(module: Path) -> list:
    """The depends= entry of a kernel module's .modinfo."""
    data = read_module(module)
    start = data.find(b"\0depends=")
    if start < 0:
        return []
    text = data[start + len(b"\0depends="):data.index(b"\0", start + 1)].decode()
    return [name for name in text.split(",") if name]


def read_module(module: Path) -> bytes:
    data = module.read_bytes()
    return lzma.decompress(data) if module.suffix == ".xz" else data


def modules_in_order(tree: Path) -> list:
    """MODULES and what they need, each after its dependencies."""
    files = {}
    for path in tree.rglob("*.ko*"):
        files[path.name.split(".ko")[0].replace("-", "_")] = path
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
# tmpfs overlay, runs the job's set-up and commands, says their exit status
# on the console and powers off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules); do insmod /lib/modules/$module || exit 1; done
mkdir -p /host /rw /root
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot /host || exit 1
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
mkdir -p /job
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=none,msize=512000 job /job || exit 1
. /job/setup.sh || exit 1
stty -F /dev/ttyS1 raw -echo
echo "hexalift-guest: running"
chroot /root /bin/sh -c "$(cat /job/commands.sh)" </dev/null >/dev/ttyS1 2>&1
echo "hexalift-guest: exit status $?"
sync
poweroff -f
"""


def make_initramfs(kernel_tree: Path, target: Path) -> None:
    """busybox, the modules and the init script, as a gzipped newc cpio."""
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch)
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
    """(kernel, initramfs): downloaded and made once, under guest_dir."""
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
        say(f"downloading {package} (Debian's kernel for the guest; it is unpacked in {guest_dir}, "
            "not installed)")
        with tempfile.TemporaryDirectory(dir=guest_dir) as scratch:
            subprocess.run(["apt-get", "download", "-qq", package], cwd=scratch, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deb = next(Path(scratch).glob("*.deb"))
            tree = Path(scratch) / "tree"
            subprocess.run(["dpkg-deb", "-x", str(deb), str(tree)], check=True)
            make_initramfs(tree, guest_dir / "initramfs.partial")
            shutil.copy(next((tree / "boot").glob("vmlinuz-*")), guest_dir / "vmlinuz.partial")
        # The initramfs last: the pair counts as there once both are.
        (guest_dir / "vmlinuz.partial").rename(kernel)
        (guest_dir / "initramfs.partial").rename(initramfs)
        return kernel, initramfs


# --- One guest, one job ---------------------------------------------------

def setup_script(job: Job) -> str:
    """Shell lines the init runs before the commands: the writable shares
    and the prefix."""
    lines = []
    for number, folder in enumerate(job.writable):
        lines.append(f"mount -t 9p -o trans=virtio,version=9p2000.L,cache=none,msize=512000 share{number} "
                     f"{shlex.quote('/root' + str(folder))} || exit 1")
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


def qemu_command(kernel: Path, initramfs: Path, job: Job, job_dir: Path, console: Path, output: Path) -> list:
    """The guest, with the job's folder (set-up and commands) shared read-only."""
    # qemu 7.2's TCG takes a user-mode iret for a supervisor access, which
    # SMAP faults: without -smap every Wine process crashes the guest's kernel.
    command = [QEMU, "-accel", "tcg", "-cpu", "max,-smap", "-smp", "1", "-m", str(job.memory_mib),
               "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot", "-nic", "none",
               "-kernel", str(kernel), "-initrd", str(initramfs),
               "-append", "console=ttyS0 quiet panic=-1",
               "-serial", f"file:{console}", "-serial", f"file:{output}",
               "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
               "-virtfs", f"local,path={option(job_dir)},mount_tag=job,security_model=none,readonly=on"]
    for number, folder in enumerate(job.writable):
        command += ["-virtfs", f"local,path={option(folder)},mount_tag=share{number},security_model=none,"
                    "multidevs=remap"]
    if job.prefix_image:
        command += ["-drive", f"file={option(job.prefix_image)},if=virtio,format=raw,readonly=on"]
    if job.disk:
        command += ["-drive", f"file={option(job.disk)},if=virtio,format=raw"]
    return command


def option(path: Path) -> str:
    """A path inside a qemu option, where a comma is written twice."""
    return str(path).replace(",", ",,")


def console_text(console: Path, lines: int = 60) -> str:
    text = console.read_text(errors="replace") if console.exists() else ""
    return "\n".join(text.splitlines()[-lines:]) or "(the guest printed nothing)"


def run(job: Job, guest_dir: Path, stream=None) -> int:
    """Runs the job in a new guest and returns the exit status of its
    commands; their output goes to stream (this process's stdout by
    default) as it comes. Raises GuestFailed when the guest does not boot
    or the job does not end within its timeout."""
    stream = stream or sys.stdout.buffer
    kernel, initramfs = boot_files(guest_dir)
    jobs = guest_dir / "jobs"
    jobs.mkdir(parents=True, exist_ok=True)
    job_dir = Path(tempfile.mkdtemp(dir=jobs))
    try:
        (job_dir / "setup.sh").write_text(setup_script(job))
        (job_dir / "commands.sh").write_text(commands_script(job))
        console, output = job_dir / "console.txt", job_dir / "output.txt"
        command = qemu_command(kernel, initramfs, job, job_dir, console, output)
        with open(job_dir / "qemu.txt", "wb") as qemu_log:
            guest = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=qemu_log, stderr=qemu_log,
                                     preexec_fn=die_with_parent)
        try:
            status = follow(guest, job, console, output, stream)
        finally:
            if guest.poll() is None:
                guest.kill()
            guest.wait()
        if status is None:
            qemu_said = (job_dir / "qemu.txt").read_text(errors="replace").strip()
            raise GuestFailed(f"the guest ended (qemu status {guest.returncode}) before its commands did"
                              + (f"; qemu said: {qemu_said}" if qemu_said else "")
                              + f"\n--- the guest's console:\n{console_text(console)}")
        return status
    finally:
        shutil.rmtree(job_dir, ignore_errors=True)


def follow(guest: subprocess.Popen, job: Job, console: Path, output: Path, stream):
    """Passes the commands' output on while the guest runs; returns their
    exit status from the console, or None when the guest ended without one."""
    started, booted, offset = time.monotonic(), False, 0

    def pass_output() -> None:
        nonlocal offset
        if output.exists():
            with open(output, "rb") as source:
                source.seek(offset)
                chunk = source.read()
            offset += len(chunk)
            if chunk:
                stream.write(chunk)
                stream.flush()

    while True:
        ended = guest.poll() is not None
        pass_output()
        text = console.read_text(errors="replace") if console.exists() else ""
        booted = booted or READY_MARK in text
        for line in text.splitlines():
            if line.startswith(STATUS_MARK):
                pass_output()
                return int(line[len(STATUS_MARK):].strip())
        if ended:
            return None
        waited = time.monotonic() - started
        if not booted and waited > BOOT_SECONDS:
            raise GuestFailed(f"the guest did not boot within {BOOT_SECONDS} s"
                              f"\n--- the guest's console:\n{console_text(console)}")
        if waited > job.timeout:
            raise GuestFailed(f"the guest's job did not end within {job.timeout} s"
                              f"\n--- the guest's console:\n{console_text(console)}")
        time.sleep(0.2)


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
