"""scripts/supervise.py, the one thing that ends what a test started: whatever
the test started (a plain child, a daemon that forked into a session of its
own as Wine's server does, a child that ignores SIGTERM) is gone within 10 s
after the test ends, after SIGTERM to the supervisor, and after its parent
(ctest) is killed; and the test's status comes out of the supervisor."""

import os
import signal
import subprocess
import sys

import pytest
from process_checks import SUPERVISED, ended, wait_for

# What the test starts; each writes the process id of what it started into $1.
STARTS = {
    "a plain child": 'sleep 600 & echo $! >> "$1"',
    "a daemon in a session of its own": (
        'setsid -f sh -c \'echo $$ >> "$1"; exec sleep 600\' - "$1"'
    ),
    "a child that ignores SIGTERM": '(trap "" TERM; exec sleep 600) & echo $! >> "$1"',
}
# What ends it -> how the test goes on once it has started its child, and
# the supervisor's status (None: its parent, gone, was the one to see it).
ENDINGS = {
    "the test ends": ("exit 3", 3),
    "the supervisor gets SIGTERM": ("exec sleep 600", 128 + signal.SIGTERM),
    "its parent is killed": ("exec sleep 600", None),
}
# ctest's part: starts the supervisor and waits.
PARENT = "import subprocess, sys, time; subprocess.Popen(sys.argv[1:]); time.sleep(600)"


@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("start", STARTS)
def test_nothing_the_test_started_is_left(tmp_path, start, ending):
    then, status = ENDINGS[ending]
    pids = tmp_path / "pids"
    # the supervisor's id, the test's, what it started; once all three are
    # written down, the rest
    script = f'echo $PPID $$ >> "$1"; {STARTS[start]}; '
    script += f'until [ "$(wc -w < "$1")" = 3 ]; do sleep 0.1; done; {then}'
    command = [*SUPERVISED, "sh", "-c", script, "-", str(pids)]
    if ending == "its parent is killed":
        command = [sys.executable, "-c", PARENT, *command]
    started = subprocess.Popen(command)
    try:
        assert wait_for(
            lambda: pids.exists() and len(pids.read_text().split()) == 3, 10
        )
        supervisor = int(pids.read_text().split()[0])
        if ending == "the supervisor gets SIGTERM":
            os.kill(supervisor, signal.SIGTERM)
        elif ending == "its parent is killed":
            started.kill()
        tree = [int(pid) for pid in pids.read_text().split()]
        assert wait_for(lambda: all(map(ended, tree)), 10), "nothing is left"
        if status is not None:
            assert started.wait(1) == status
    finally:  # what a wrong supervisor left
        started.kill()
        started.wait()
        for pid in map(int, pids.read_text().split() if pids.exists() else ()):
            if not ended(pid):
                os.kill(pid, signal.SIGKILL)
