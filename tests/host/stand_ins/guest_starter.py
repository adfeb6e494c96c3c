"""Stands in for a test that runs a job in the real guest, for
tests/host/guest_check.py: its job runs until it is stopped."""

import sys
from pathlib import Path

from winhost import guest
from winhost.session import guest_dir

job = guest.Job(
    commands=[["sleep", "600"]], cwd=Path("/"), env={"PATH": "/usr/bin:/bin"}
)
try:
    guest.run(job, guest_dir())
except guest.GuestFailed as failure:
    sys.exit(f"the starter: {failure}")
