"""The command line of the tests that read the Windows images (ctest gives
it): resources_test.py and sse2_confined_test.py each take the options
they name."""

from pathlib import Path

import pytest


def pytest_addoption(parser) -> None:
    add = parser.addoption
    add("--pe32-bin", type=Path, help="the pe32 build's images")
    add("--x64-bin", type=Path, help="the x64 build's images")
    add("--project-version", help="the project's version, as CMake has it")
    add("--objdump", help="the pe32 build's objdump")
    add("--library", type=Path, help="the pe32 build's image format library")


@pytest.fixture(scope="session")
def option(pytestconfig):
    return pytestconfig.option
