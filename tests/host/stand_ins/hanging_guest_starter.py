"""Stands in for a test that runs a job in a guest, for
tests/host/windows_host_test.py: starts a guest of the qemu stand-in (argv[1])
that hangs, in the guest folder argv[2]."""

import os
import sys
from pathlib import Path

from winhost import guest

guest.QEMU = sys.argv[1]
guest.boot_files = lambda folder: (Path("k"), Path("i"))
os.environ["FAKE_GUEST"] = "hangs"
job = guest.Job(commands=[["true"]], cwd=Path("/"), env={}, timeout=300)
guest.run(job, Path(sys.argv[2]))
