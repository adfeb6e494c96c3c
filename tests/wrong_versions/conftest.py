"""The command line of the wrong versions' tests (ctest gives it; see test_wrong_versions.py)."""

from pathlib import Path


def pytest_addoption(parser) -> None:
    parser.addoption("--work", type=Path, help="the Wine session's folder")
    parser.addoption(
        "--mode", default="native", help="where 32-bit programs run (native, guest)"
    )
    parser.addoption("--imagetool", type=Path, help="the native image tool")
    parser.addoption(
        "--simulator", type=Path, help="the x64 build's simulated libraries"
    )
    parser.addoption("--bridges", type=Path, help="the bridges build_bridges.py made")
