"""A virtual X display (Xvfb) for a Wine session's windows.

What was started is kept in a file: display, process id, the process's
start time and the boot's id. A display is stopped only when that process
still is the Xvfb we started, never a later process that got the same id
(after a reboot, or when the id came round again).
"""

import os
import signal
import subprocess
import time
from pathlib import Path

XVFB = "/usr/bin/Xvfb"
BOOT_ID = Path("/proc/sys/kernel/random/boot_id")


def process_start(pid: int):
    """The process's start time in clock ticks since boot (field 22 of its
    stat), which tells it apart from a later process with the same id."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat.rsplit(")", 1)[1].split()[19])


def boot_id() -> str:
    return BOOT_ID.read_text().strip()


def start(record: Path) -> str:
    """Starts Xvfb, waits until a client gets through, and records it.
    Returns the display (":N")."""
    stop(record)
    record.parent.mkdir(parents=True, exist_ok=True)
    read_end, write_end = os.pipe()
    with open(record.with_name("xvfb.log"), "wb") as log:
        server = subprocess.Popen([XVFB, "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                   "-nolisten", "tcp"], pass_fds=(write_end,), start_new_session=True,
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    os.close(write_end)
    # Read up to the line end: closing early makes Xvfb's last write fail,
    # and it gives up.
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 32)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        raise RuntimeError(f"Xvfb did not start (see {record.with_name('xvfb.log')})")
    display = ":" + number.decode().strip()
    record.write_text(f"{display} {server.pid} {process_start(server.pid)} {boot_id()}\n")
    # Xvfb names its display before it serves clients reliably; Wine's
    # desktop process gives up on a display it cannot open, and every window
    # of the session then fails. Wait until a client gets through.
    for _ in range(150):
        if subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return display
        time.sleep(0.1)
    raise RuntimeError(f"Xvfb display {display} does not answer")


def recorded(record: Path):
    """(display, pid) of the Xvfb that the record names, if it still runs."""
    try:
        display, pid, start_time, boot = record.read_text().split()
    except (OSError, ValueError):
        return None
    pid = int(pid)
    if boot != boot_id() or process_start(pid) != int(start_time):
        return None
    try:
        if os.readlink(f"/proc/{pid}/exe") != XVFB:
            return None
    except OSError:
        return None
    return display, pid


def stop(record: Path) -> None:
    """Ends the recorded Xvfb and waits until it is gone: a server that is
    still shutting down removes its socket, which may by then belong to the
    next server on the same display number."""
    running = recorded(record)
    record.unlink(missing_ok=True)
    if running is None:
        return
    pid = running[1]
    os.kill(pid, signal.SIGTERM)
    for _ in range(100):
        status = Path(f"/proc/{pid}/status")
        try:
            if "\nState:\tZ" in status.read_text():
                break
        except OSError:
            break
        time.sleep(0.1)
