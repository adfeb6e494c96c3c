"""scripts/supervise.py, the one thing that ends what a test started: whatever
the test started (a plain child, a daemon that forked into a session of its
own as Wine's server does, a child that ignores SIGTERM) is gone within 10 s
after the test ends, after SIGTERM to the supervisor, and after its parent
(ctest) is killed; and the test's status comes out of the supervisor. The
test is tests/host/stand_ins/supervised_test.sh."""

import os
import signal
import subprocess

import pytest
from process_checks import STAND_INS, SUPERVISED, UNDER_CTEST, ended, wait_for

# What the test starts -> the stand-in's word for it.
STARTS = {
    "a plain child": "plain",
    "a daemon in a session of its own": "daemon",
    "a child that ignores SIGTERM": "ignores-term",
}
# What ends it -> how the test goes on once it has started its child, and
# the supervisor's status (None: its parent, gone, was the one to see it).
ENDINGS = {
    "the test ends": ("ends", 3),
    "the supervisor gets SIGTERM": ("sleeps", 128 + signal.SIGTERM),
    "its parent is killed": ("sleeps", None),
}


@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("start", STARTS)
def test_nothing_the_test_started_is_left(tmp_path, start, ending):
    then, status = ENDINGS[ending]
    pids = tmp_path / "pids"  # the supervisor's id, the test's, what it started
    test = [str(STAND_INS / "supervised_test.sh"), str(pids), STARTS[start], then]
    command = [*SUPERVISED, *test]
    if ending == "its parent is killed":
        command = [*UNDER_CTEST, *command]
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
