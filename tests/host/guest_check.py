"""Boots the real guest on any machine, so that its kernel, initramfs and
init cannot break unseen where 32-bit code runs natively: a trivial job's
exit status comes back whole (0, 1, and 137 from a job killed by a
signal); a writable share and a squashfs prefix under an overlay work as
the guest mode's tests use them; and nothing of a guest's test (its
supervisor, the test, qemu) is left 10 s after ctest gets SIGTERM or
SIGKILL.

  guest_check.py    (HEXALIFT_BUILD_DIR: the build folder)
"""

import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from process_checks import SUPERVISED, ended, parent_of, wait_for
from winhost import guest, limits, scratch
from winhost.session import guest_dir

# A starter whose job runs until it is stopped.
STARTER = textwrap.dedent(
    """\
    import sys
    from pathlib import Path
    from winhost import guest
    from winhost.session import guest_dir
    try:
        guest.run(guest.Job(commands=[["sleep", "600"]], cwd=Path("/"), env={"PATH": "/usr/bin:/bin"}), guest_dir())
    except guest.GuestFailed as failure:
        sys.exit(f"the starter: {failure}")
"""
)
# ctest's part: starts the supervised starter and waits.
PARENT = "import subprocess, sys, time; subprocess.Popen(sys.argv[1:]); time.sleep(600)"


def job(*command: str) -> guest.Job:
    return guest.Job(
        commands=[list(command)], cwd=Path("/"), env={"PATH": "/usr/bin:/bin"}
    )


class RealGuest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        guest.boot_files(
            guest_dir()
        )  # fetched once per build folder, before any guest is timed

    def test_status_round_trip(self):
        table = [  # the job -> its status, as the guest's shell gives it
            (("true",), 0),
            (("false",), 1),
            (("sh", "-c", "kill -9 $$"), 128 + signal.SIGKILL),
        ]
        started = time.monotonic()
        with ThreadPoolExecutor(
            len(table)
        ) as guests:  # side by side: a guest's boot is most of its time
            statuses = list(
                guests.map(lambda row: guest.run(job(*row[0]), guest_dir()), table)
            )
        print(
            f"{len(table)} guests side by side: {time.monotonic() - started:.1f} s",
            flush=True,
        )
        self.assertEqual(statuses, [status for _, status in table])

    def test_a_writable_share_and_a_prefix_image(self):
        with tempfile.TemporaryDirectory() as folder:  # in the build folder (TMPDIR)
            share, tree, image, prefix = (
                Path(folder, name) for name in ("share", "tree", "image.sqfs", "prefix")
            )
            share.mkdir()
            tree.mkdir()
            (tree / "from-the-image").write_text("squashfs\n")
            subprocess.run(
                ["mksquashfs", str(tree), str(image), "-quiet", "-no-progress"],
                check=True,
            )
            # Reads the image through the overlay, writes there (into the guest's memory) and into the share.
            script = f"cat {prefix}/from-the-image > {share}/seen && echo new > {prefix}/written && echo done"
            status = guest.run(
                guest.Job(
                    commands=[["sh", "-c", script]],
                    cwd=Path("/"),
                    env={"PATH": "/usr/bin:/bin"},
                    writable=[share],
                    prefix_image=image,
                    prefix_at=prefix,
                ),
                guest_dir(),
            )
            self.assertEqual((status, (share / "seen").read_text()), (0, "squashfs\n"))
            self.assertEqual(sorted(p.name for p in tree.iterdir()), ["from-the-image"])
            self.assertFalse(prefix.exists(), "the prefix lived in the guest only")

    def test_nothing_is_left_when_ctest_is_killed(self):
        for number in (signal.SIGTERM, signal.SIGKILL):
            with self.subTest(signal=number.name):
                self.killed_during_a_guest_run(number)

    def killed_during_a_guest_run(self, number: int):
        ctest = subprocess.Popen(
            [sys.executable, "-c", PARENT, *SUPERVISED, sys.executable, "-c", STARTER],
            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        )
        self.addCleanup(ctest.kill)

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

        booted = wait_for(lambda: guest.READY_MARK in console(), limits.BOOT)
        self.assertTrue(booted, "the guest booted")
        tree, job_folder = ours()
        ctest.send_signal(number)
        ctest.wait()
        started = time.monotonic()
        self.assertTrue(wait_for(lambda: all(map(ended, tree)), 10), "nothing left")
        print(f"ended {time.monotonic() - started:.1f} s after ctest", flush=True)
        swept_later = not job_folder.exists() or scratch.unused(job_folder)
        self.assertTrue(swept_later, "its job folder is no longer in use")
