"""The Windows tables' command line and their Wine session: one pytest run
runs one table against one build, in one prepared prefix, wherever that
build runs (on this machine, or in a guest through windows_host.py run)."""

import os
import shutil
import signal
import threading
from pathlib import Path

import pytest

from winhost import BUILDS, WineSession


def pytest_addoption(parser) -> None:
    option = parser.addoption
    option("--build", choices=list(BUILDS), help="the build whose images run")
    option("--work", type=Path, help="the session's folder (prefix, run folders)")
    option("--windows-bin", type=Path, help="hexalift.exe and simulator/ of the build")
    option("--imagetool", type=Path, help="the native image tool")
    option("--program", type=Path, action="append", default=[], help="a test program")
    option("--coreclr", action="store_true", help="the programs are CoreCLR ones")
    option("--simulator", type=Path, help="the x64 build's simulated libraries")
    option("--bridges", type=Path, help="the bridges build_bridges.py made")


def pytest_configure(config) -> None:
    """SIGTERM (the supervisor ending the test) ends the run as Ctrl-C would,
    through its clean-up: a scenario's read-only run log is made writable
    again (or it would outlast the run, and the build folder too), and the
    session stops. Only a main thread can take signals: a pytest worker may
    run in another, and ends with the run that started it."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, signal.default_int_handler)


def pytest_generate_tests(metafunc) -> None:
    """The programs a run names are its table's rows."""
    if "program" in metafunc.fixturenames:
        programs = metafunc.config.getoption("program")
        metafunc.parametrize("program", programs, ids=[p.stem for p in programs])


@pytest.fixture(scope="session")
def session(request):
    """The build's prefix, display and server, made once for the run; here
    the build runs natively, in a guest too. A prefix (1.3 GB) stays only
    after a failed case, for a look at it."""
    option = request.config.getoption
    work = option("work") / os.environ.get("PYTEST_XDIST_WORKER", "")  # one each
    session = WineSession(work, BUILDS[option("build")], "native")
    session.prepare()
    yield session
    session.stop()
    if not request.session.testsfailed and not session.prefix.is_mount():
        shutil.rmtree(session.prefix)
