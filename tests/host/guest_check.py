"""Boots the real guest on any machine, so that its kernel, initramfs and
init cannot break unseen where 32-bit code runs natively: a trivial job's
exit status comes back whole (0, 1, and 137 from a job killed by a
signal); a writable share and a squashfs prefix under an overlay work as
the guest mode's tests use them; and a guest ends within 10 s after the
process that started its starter (ctest) gets SIGTERM.

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

from process_checks import ended, wait_for
from winhost import guest, limits
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
# ctest's part: starts the starter and waits.
PARENT = "import subprocess, sys, time; subprocess.Popen(sys.argv[1:]); time.sleep(600)"


def job(*command: str) -> guest.Job:
    return guest.Job(
        commands=[list(command)], cwd=Path("/"), env={"PATH": "/usr/bin:/bin"}
    )


def parent_of(pid: int) -> int:
    try:
        return int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[1])
    except (OSError, ValueError):
        return 0


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

    def test_a_guest_ends_when_ctest_gets_sigterm(self):
        ctest = subprocess.Popen(
            [sys.executable, "-c", PARENT, sys.executable, "-c", STARTER],
            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        )
        self.addCleanup(ctest.kill)

        def ours():  # other tests' guests may run beside it
            return [
                (pid, Path(job))
                for pid, job in guest.running(guest_dir())
                if parent_of(parent_of(pid)) == ctest.pid
            ]

        def booted():
            consoles = [job / "console.txt" for _, job in ours()]
            return any(
                guest.READY_MARK in console.read_text(errors="replace")
                for console in consoles
                if console.exists()
            )

        self.assertTrue(wait_for(booted, limits.BOOT), "the guest booted")
        ((qemu, job_folder),) = ours()
        ctest.send_signal(signal.SIGTERM)
        ctest.wait()
        started = time.monotonic()
        self.assertTrue(wait_for(lambda: ended(qemu), 10), "the guest ends within 10 s")
        print(
            f"the guest ended {time.monotonic() - started:.1f} s after its ctest",
            flush=True,
        )
        self.assertTrue(
            wait_for(lambda: not job_folder.exists(), 5), "its job folder is removed"
        )


if __name__ == "__main__":
    unittest.main(verbosity=2)
