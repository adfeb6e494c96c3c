"""What the test bed's own tests wait for, and check of the processes they start."""

import time
from pathlib import Path


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
