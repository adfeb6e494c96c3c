"""supervise.py COMMAND...: runs one test so that nothing it started outlives it.

ctest ends a test by ending the one process it started, and knows nothing of what
that process started in turn: a Wine server that forked twice, an Xvfb in a session
of its own, a guest's qemu, a build's make and compilers. This supervisor is the one
place that ends them. It makes itself the child subreaper, so that every orphan below
it becomes its child, and it gets SIGTERM when its parent (ctest) dies. When the
command ends, or this process gets SIGTERM, SIGINT or SIGHUP, it ends every process
below it and reaps them all. It exits with the command's status (128+N when signal N
ended the command, or ended this process first)."""

import ctypes
import os
import signal
import sys
import time

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
ENDING = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}
# TERM first, so that each program ends its own way (Xvfb removes its lock, a server
# its socket); KILL after the grace, for what ignores TERM or hangs on its way out.
GRACE_SECONDS = 2.5


def prctl(option: int, value: int) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    arguments = map(ctypes.c_ulong, (value, 0, 0, 0))  # unsigned longs, as it reads
    if libc.prctl(option, *arguments) != 0:
        raise OSError(ctypes.get_errno(), f"prctl({option}, {value}) failed")


def parent_of(pid: str):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return int(stat.read().rsplit(")", 1)[1].split()[1])
    except (OSError, ValueError, IndexError):  # ended meanwhile
        return None


def descendants() -> list:
    """Every process below this one, zombies included, through /proc's parent links."""
    children = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            children.setdefault(parent_of(name), []).append(int(name))
    found, unseen = [], [os.getpid()]
    while unseen:
        below = children.get(unseen.pop(), [])
        found += below
        unseen += below
    return found


def reap(command: int):
    """Reaps every child that has ended; returns the command's exit status once it
    is among them."""
    status = None
    while True:
        try:
            pid, wait_status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:  # no child left
            return status
        if pid == 0:
            return status
        if pid == command:
            status = os.waitstatus_to_exitcode(wait_status)


def ended_by(number: int, command: int) -> int:
    """The command gets the signal first, and the grace to end its own way (a test
    stops its Wine session, makes its files writable again); the rest comes after."""
    os.kill(command, number)
    deadline = time.monotonic() + GRACE_SECONDS
    while time.monotonic() < deadline and reap(command) is None:
        signal.sigtimedwait({signal.SIGCHLD}, 0.05)
    return -number


def end_tree() -> None:
    """SIGTERM to every process below this one, then SIGKILL to what is left after
    the grace, until none is left."""
    deadline, terminated = time.monotonic() + GRACE_SECONDS, set()
    while below := descendants():
        late = time.monotonic() > deadline
        for pid in below:
            if late or pid not in terminated:
                try:
                    os.kill(pid, signal.SIGKILL if late else signal.SIGTERM)
                except ProcessLookupError:
                    pass
        terminated.update(below)
        signal.sigtimedwait({signal.SIGCHLD}, 0.05)
        reap(0)


def main(command: list) -> int:
    started_by = os.getppid()
    # Blocked from here on: the signals are taken in turn below, never in the middle
    # of ending the tree.
    signal.pthread_sigmask(signal.SIG_BLOCK, ENDING | {signal.SIGCHLD})
    prctl(PR_SET_CHILD_SUBREAPER, 1)
    prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != started_by:  # the parent died before it could be told
        return 128 + signal.SIGTERM
    # In a process group of its own, nothing blocked, SIGPIPE and SIGXFSZ (which
    # Python ignores) back to their defaults.
    try:
        pid = os.posix_spawnp(
            command[0],
            command,
            os.environ,
            setpgroup=0,
            setsigmask=(),
            setsigdef=(signal.SIGPIPE, signal.SIGXFSZ),
        )
    except OSError as failure:
        print(f"supervise.py: cannot run {command[0]}: {failure}", file=sys.stderr)
        return 127
    status = None
    while status is None:
        number = signal.sigwaitinfo(ENDING | {signal.SIGCHLD}).si_signo
        if number in ENDING:
            status = ended_by(number, pid)
        else:
            status = reap(pid)
    end_tree()
    return 128 - status if status < 0 else status


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.splitlines()[0])
    sys.exit(main(sys.argv[1:]))
