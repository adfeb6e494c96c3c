"""The guest's kernel and initramfs, made once per build folder: Debian's packaged kernel, fetched with apt
and unpacked (never installed), and a busybox initramfs with the modules the guest needs and its init
script (guest_init.sh). The initramfs is named after the two files that make it: a changed init makes a new one, from the
kernel's package kept beside it."""

import fcntl
import gzip
import hashlib
import lzma
import shutil
import subprocess
import sys
import time
from pathlib import Path

from . import limits, scratch

BUSYBOX = Path("/bin/busybox")  # busybox-static: runs before any library is reachable
KERNEL_PACKAGE = "linux-image-amd64"
# What the initramfs loads, in this order after their dependencies: the virtio transport, the 9p shares,
# overlays, and the disk with the prefix.
MODULES = ("virtio_pci", "virtio_blk", "9pnet_virtio", "9p", "overlay", "squashfs")
NINEP = "trans=virtio,version=9p2000.L,msize=512000"  # every 9p share; each adds its cache and ro
READY_MARK = "hexalift-guest: running"
# qemu's isa-debug-exit device: the init's last act writes 0 there, ending qemu with status 1 (a panic or a
# power-off ends it with 0).
EXIT_PORT = 0xF4
ENDED_BY_INIT = 1


class GuestFailed(RuntimeError):
    """The guest's kernel cannot be had, the guest did not boot, or its job did not finish; the message says why."""


def download_kernel(work: Path) -> Path:
    """Debian's kernel package, fetched into work by apt-get download. When that fails (the machine's lists
    older than the archive's current kernel, say), apt's lists are fetched anew into work, never over the
    machine's own, and it is tried once more with them, all of it within its limit."""
    deadline = time.monotonic() + limits.KERNEL_DOWNLOAD

    def run(*command: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            command,
            cwd=work,
            capture_output=True,
            text=True,
            timeout=max(1, deadline - time.monotonic()),
        )

    def fetch(*apt_options: str) -> tuple:
        name = kernel_package(*apt_options)
        print(
            f"guest: fetching {name} (Debian's kernel for the guest: unpacked in the build folder, never "
            "installed)",
            file=sys.stderr,
            flush=True,
        )
        return name, run("apt-get", *apt_options, "download", "-qq", name)

    try:
        name, done = fetch()
        if done.returncode != 0:
            print(
                f"guest: apt-get download {name} failed; fetching apt's package lists anew into the build "
                f"folder and trying once more. apt-get said:\n{done.stderr.strip()}",
                file=sys.stderr,
                flush=True,
            )
            lists, cache = work / "lists", work / "cache"
            (lists / "partial").mkdir(parents=True, exist_ok=True)
            cache.mkdir(exist_ok=True)
            options = ["-o", f"Dir::State::Lists={lists}", "-o", f"Dir::Cache={cache}"]
            # Lists that still fail (a suite in the middle of a sync) leave the others usable.
            updated = run(
                "apt-get", *options, "update", "-qq", "-o", "Acquire::Retries=3"
            )
            print(updated.stdout + updated.stderr, end="", file=sys.stderr, flush=True)
            name, done = fetch(*options)
    except subprocess.TimeoutExpired as overran:
        raise GuestFailed(
            f"fetching the guest's kernel overran {limits.KERNEL_DOWNLOAD} s: {overran}"
        ) from None
    if done.returncode != 0:
        raise GuestFailed(
            f"cannot fetch the guest's kernel, even with apt's package lists fetched anew: "
            f"apt-get download {name} said:\n{done.stderr.strip()}"
        )
    return next(work.glob("*.deb"))


def kernel_package(*apt_options: str) -> str:
    """The versioned package that linux-image-amd64 depends on."""
    text = subprocess.run(
        ["apt-cache", *apt_options, "depends", KERNEL_PACKAGE],
        capture_output=True,
        text=True,
    ).stdout
    names = [
        line.split(":", 1)[1].strip()
        for line in text.splitlines()
        if line.strip().startswith("Depends:") and "linux-image-" in line
    ]
    if not names:
        raise GuestFailed(
            f"apt knows no package {KERNEL_PACKAGE}: scripts/install-deps.sh fetches its package lists"
        )
    return names[0]


def read_module(module: Path) -> bytes:
    data = module.read_bytes()
    return lzma.decompress(data) if module.suffix == ".xz" else data


def modules_in_order(tree: Path) -> list:
    """MODULES and what they need (the depends= of each one's .modinfo), each after what it needs."""
    files = {
        path.name.split(".ko")[0].replace("-", "_"): path
        for path in tree.rglob("*.ko*")
    }
    ordered = []

    def add(name: str) -> None:
        name = name.replace("-", "_")
        if name in ordered:
            return
        if name not in files:
            raise GuestFailed(f"kernel module {name} is not in {tree}")
        data = read_module(files[name])
        at = data.find(b"\0depends=")
        needs = data[at + 9 : data.index(b"\0", at + 1)].decode() if at >= 0 else ""
        for needed in filter(None, needs.split(",")):
            add(needed)
        ordered.append(name)

    for name in MODULES:
        add(name)
    return [files[name] for name in ordered]


# The guest's first process (the init script), with the values it needs put in.
INIT = Path(__file__).with_name("guest_init.sh")


def init_script() -> str:
    text = INIT.read_text().replace("@NINEP@", NINEP)
    return text.replace("@EXIT_PORT@", str(EXIT_PORT))


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
    (root / "init").write_text(init_script())
    (root / "init").chmod(0o755)
    listing = (
        "\n".join(sorted(str(p.relative_to(root)) for p in root.rglob("*"))) + "\n"
    )
    archive = subprocess.run(
        ["cpio", "-o", "-H", "newc", "--quiet"],
        cwd=root,
        input=listing.encode(),
        capture_output=True,
        check=True,
    ).stdout
    target.write_bytes(gzip.compress(archive, compresslevel=1))


def boot_files(guest_dir: Path):
    """(kernel, initramfs): fetched and made once, under guest_dir."""
    guest_dir.mkdir(parents=True, exist_ok=True)
    makers = Path(__file__).read_bytes() + INIT.read_bytes()
    made_of = hashlib.sha256(makers).hexdigest()[:12]
    kernel, initramfs = guest_dir / "vmlinuz", guest_dir / f"initramfs-{made_of}.gz"
    package = guest_dir / "kernel.deb"
    with open(guest_dir / "boot.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # guests started side by side make them once
        if kernel.exists() and initramfs.exists():
            return kernel, initramfs
        with scratch.folder(guest_dir / "downloads") as work:
            if not package.exists():
                download_kernel(work).rename(package)
            subprocess.run(
                ["dpkg-deb", "-x", str(package), str(work / "tree")], check=True
            )
            for old in guest_dir.glob("initramfs-*.gz"):
                old.unlink()
            make_initramfs(work / "tree", guest_dir / "initramfs.partial", work)
            shutil.copy(
                next((work / "tree" / "boot").glob("vmlinuz-*")),
                guest_dir / "vmlinuz.partial",
            )
        # The initramfs last: the pair counts as there once both are.
        (guest_dir / "vmlinuz.partial").rename(kernel)
        (guest_dir / "initramfs.partial").rename(initramfs)
        return kernel, initramfs
