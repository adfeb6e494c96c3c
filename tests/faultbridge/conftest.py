"""The command line of the package's test (ctest gives it)."""

from pathlib import Path

import pytest


def pytest_addoption(parser) -> None:
    add = parser.addoption
    add("--project-version", help="the project's version, as the build packed it")
    add("--nupkg", type=Path, help="the package")
    add("--built-dll", type=Path, help="the library the build made")
    add("--consumer", type=Path, help="the consumer project's sources")
    add("--work", type=Path, help="a folder for the consumer's build, emptied first")


@pytest.fixture(scope="session")
def option(pytestconfig):
    return pytestconfig.option
