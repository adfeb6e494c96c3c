"""Boots the real guest on any machine, so that its kernel, initramfs and
init cannot break unseen where 32-bit code runs natively: a trivial job's
exit status comes back whole (0, 1, and 137 from a job killed by a
signal); a writable share and a squashfs prefix under an overlay work as
the guest mode's tests use them; and nothing of a guest's test (its
supervisor, the test, qemu) is left 10 s after ctest gets SIGTERM or
SIGKILL.

  pytest guest_check.py    (HEXALIFT_BUILD_DIR: the build folder)
"""

import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from process_checks import (
    STAND_INS,
    SUPERVISED,
    UNDER_CTEST,
    ended,
    parent_of,
    wait_for,
)
from winhost import guest, limits, scratch
from winhost.session import guest_dir


@pytest.fixture(scope="module", autouse=True)
def boot_files():
    """Fetched once per build folder, before any guest is timed."""
    guest.boot_files(guest_dir())


def job(*command: str, **options) -> guest.Job:
    return guest.Job(
        commands=[list(command)],
        cwd=Path("/"),
        env={"PATH": "/usr/bin:/bin"},
        **options,
    )


def test_status_round_trip():
    table = [  # the job -> its status, as the guest's shell gives it
        (("true",), 0),
        (("false",), 1),
        (("sh", "-c", "kill -9 $$"), 128 + signal.SIGKILL),
    ]
    started = time.monotonic()
    # side by side: a guest's boot is most of its time
    with ThreadPoolExecutor(len(table)) as guests:
        statuses = list(
            guests.map(lambda row: guest.run(job(*row[0]), guest_dir()), table)
        )
    print(f"{len(table)} guests side by side: {time.monotonic() - started:.1f} s")
    assert statuses == [status for _, status in table]


def test_a_writable_share_and_a_prefix_image(tmp_path):  # in the build folder (TMPDIR)
    share, tree, image, prefix = (
        tmp_path / name for name in ("share", "tree", "image.sqfs", "prefix")
    )
    share.mkdir()
    tree.mkdir()
    (tree / "from-the-image").write_text("squashfs\n")
    subprocess.run(
        ["mksquashfs", str(tree), str(image), "-quiet", "-no-progress"], check=True
    )
    # A session's prefix over the image; reads the image through it, writes there
    # (into the guest's memory) and into the share.
    script = 'cat "$1/from-the-image" > "$2/seen" && echo new > "$1/written"'
    overlay = [sys.executable, str(STAND_INS / "overlay_prefix.py"), str(prefix)]
    scripts = str(Path(guest.__file__).parents[1])
    status = guest.run(
        guest.Job(
            commands=[overlay, ["sh", "-c", script, "-", str(prefix), str(share)]],
            cwd=Path("/"),
            env={"PATH": "/usr/bin:/bin", "PYTHONPATH": scripts},
            writable=[share],
            prefix_image=image,
        ),
        guest_dir(),
    )
    assert (status, (share / "seen").read_text()) == (0, "squashfs\n")
    assert sorted(p.name for p in tree.iterdir()) == ["from-the-image"]
    assert not prefix.exists(), "the prefix lived in the guest only"


@pytest.mark.parametrize(
    "number", [signal.SIGTERM, signal.SIGKILL], ids=["SIGTERM", "SIGKILL"]
)
def test_nothing_is_left_when_ctest_is_killed(number):
    starter = [sys.executable, str(STAND_INS / "guest_starter.py")]
    ctest = subprocess.Popen(
        [*UNDER_CTEST, *SUPERVISED, *starter],
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )

    def ours():  # qemu, the starter, the supervisor; other tests' guests may run
        for pid, job in guest.running(guest_dir()):
            starter = parent_of(pid)
            if parent_of(parent_of(starter)) == ctest.pid:
                return [pid, starter, parent_of(starter)], Path(job)
        return None

    def console() -> str:
        found = ours()
        path = found[1] / "console.txt" if found else None
        return path.read_text("latin-1") if path and path.exists() else ""

    try:
        assert wait_for(
            lambda: guest.READY_MARK in console(), limits.BOOT
        ), "the guest booted"
        tree, job_folder = ours()
        ctest.send_signal(number)
        ctest.wait()
        started = time.monotonic()
        assert wait_for(lambda: all(map(ended, tree)), 10), "nothing left"
        print(f"ended {time.monotonic() - started:.1f} s after ctest")
        assert not job_folder.exists() or scratch.unused(
            job_folder
        ), "its job folder is no longer in use"
    finally:
        ctest.kill()
        ctest.wait()
