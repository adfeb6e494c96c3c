"""A virtual X display (Xvfb) for a Wine session's windows, on an abstract socket only (a socket file would leave
/tmp/.X11-unix behind). What was started is kept in a file: display, process id and the process's start time; a
display is stopped only while that process still is the Xvfb we started, never a later one that got the same id."""

import os
import signal
import subprocess
import time
from pathlib import Path

XVFB = "/usr/bin/Xvfb"
QUIET = {
    "stdin": subprocess.DEVNULL,
    "stdout": subprocess.DEVNULL,
    "stderr": subprocess.DEVNULL,
}


def process_start(pid: int):
    """Its start time in clock ticks since boot (stat field 22), which tells it from a later process of its id."""
    try:
        return int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[19])
    except OSError:
        return None


def start(record: Path) -> str:
    """Starts Xvfb, waits until a client gets through, records it and returns its display (":N")."""
    stop(record)
    record.parent.mkdir(parents=True, exist_ok=True)
    read_end, write_end = os.pipe()
    with open(record.with_name("xvfb.log"), "wb") as log:
        server = subprocess.Popen(
            [
                XVFB,
                "-displayfd",
                str(write_end),
                "-screen",
                "0",
                "1024x768x24",
                "-nolisten",
                "tcp",
                "-nolisten",
                "unix",
            ],
            pass_fds=(write_end,),
            start_new_session=True,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=log,
        )
    os.close(write_end)
    with os.fdopen(
        read_end, "rb"
    ) as pipe:  # to the line end: closed early, Xvfb's last write fails and it gives up
        number = pipe.readline()
    if not number.strip():
        server.kill()
        raise RuntimeError(f"Xvfb did not start (see {record.with_name('xvfb.log')})")
    display = ":" + number.decode().strip()
    record.write_text(f"{display} {server.pid} {process_start(server.pid)}\n")
    # Xvfb names its display before it serves clients reliably; Wine's desktop
    # process gives up on a display it cannot open, and then every window fails.
    for _ in range(150):
        if subprocess.run(["xdpyinfo", "-display", display], **QUIET).returncode == 0:
            return display
        time.sleep(0.1)
    stop(record)
    raise RuntimeError(f"Xvfb display {display} does not answer")


def recorded(record: Path):
    """(display, pid) of the Xvfb that the record names, if it still runs."""
    try:
        display, pid, start_time = record.read_text().split()
        if (
            process_start(int(pid)) == int(start_time)
            and os.readlink(f"/proc/{pid}/exe") == XVFB
        ):
            return display, int(pid)
    except (OSError, ValueError):
        pass
    return None


def stop(record: Path) -> None:
    """Ends the recorded Xvfb and waits until it is gone: a server still shutting down removes its lock file, which
    may by then belong to the next server on the same display number."""
    running = recorded(record)
    record.unlink(missing_ok=True)
    if running:
        os.kill(running[1], signal.SIGTERM)
        for _ in range(100):
            try:
                if "\nState:\tZ" in Path(f"/proc/{running[1]}/status").read_text():
                    break
            except OSError:
                break
            time.sleep(0.1)
