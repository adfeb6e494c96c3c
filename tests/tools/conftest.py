"""The command line of the image tool's tests (ctest gives it)."""

from pathlib import Path

import pytest


def pytest_addoption(parser) -> None:
    parser.addoption("--imagetool", type=Path, help="the native image tool")


@pytest.fixture(scope="session")
def imagetool(pytestconfig) -> Path:
    return pytestconfig.getoption("imagetool")
