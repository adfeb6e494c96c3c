"""Temporary folders inside the build folder. The process that uses one holds a lock on it, so that what a
killed run left (its lock is free) is told apart from a folder in use, shown by status, and swept when the
next run starts one."""

import fcntl
import shutil
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

from .builds import build_dir

LOCK = ".in-use"
NEW = ".new-"  # a folder's name until its lock is held: sweeps leave it alone
YOUNG_SECONDS = 60  # ... unless it is older than this (its maker was killed at once)


def default_parent() -> Path:
    return build_dir() / "scratch"


@contextmanager
def folder(parent: Path | None = None, prefix: str = "tmp"):
    """A new folder under parent (build/scratch by default), locked while the with-block runs, removed after."""
    parent = parent or default_parent()
    parent.mkdir(parents=True, exist_ok=True)
    for left in left_behind(parent):
        shutil.rmtree(left, ignore_errors=True)
    new = Path(tempfile.mkdtemp(prefix=NEW, dir=parent))
    path = new.with_name(prefix + new.name[len(NEW) :])
    try:
        with open(new / LOCK, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            new.rename(path)
            yield path
    finally:
        shutil.rmtree(path if path.exists() else new, ignore_errors=True)


def left_behind(parent: Path) -> list:
    """The folders under parent whose user has gone."""
    return [
        path
        for path in (sorted(parent.iterdir()) if parent.is_dir() else ())
        if path.is_dir() and unused(path)
    ]


def unused(path: Path) -> bool:
    try:
        if path.name.startswith(NEW):
            return time.time() - path.stat().st_mtime > YOUNG_SECONDS
        with open(path / LOCK) as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    except FileNotFoundError:  # gone meanwhile, or its lock removed with it
        return path.exists()
    return True
