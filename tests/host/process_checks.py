"""What the test bed's own tests wait for, check of the processes they start,
and where their stand-ins lie."""

import sys
import time
from pathlib import Path

from supervise import parent_of  # noqa: F401  the one reading of /proc's parent links

# A command that runs under the supervisor, as ctest runs a test.
SUPERVISED = [
    sys.executable,
    str(Path(__file__).resolve().parents[2] / "scripts" / "supervise.py"),
]
# The programs that stand in for Wine, qemu, apt, ctest and tests.
STAND_INS = Path(__file__).resolve().with_name("stand_ins")
# What runs a command (a test under the supervisor) as ctest does, until it is killed.
UNDER_CTEST = [sys.executable, str(STAND_INS / "ctest_parent.py")]


def wait_for(condition, seconds: float) -> bool:
    """Whether condition() holds within seconds, asked every 0.1 s."""
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.1)
    return condition()


def ended(pid: int) -> bool:
    """Gone, or a zombie that nothing has reaped yet."""
    try:
        return "\nState:\tZ" in Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return True
