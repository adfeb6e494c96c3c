"""The command line of the release tests (ctest gives it): bundle_test.py
and signing_test.py each take the options they name."""

from pathlib import Path

import pytest


def pytest_addoption(parser) -> None:
    add = parser.addoption
    add("--project-version", help="the project's version, as the build made it")
    add("--arguments", type=Path, help="the bundle's arguments file")
    add("--source", type=Path, help="the source folder")
    add("--bundle", type=Path, help="the bundle this build made (bundle_test.py)")
    add("--second-build", type=Path, help="a build folder for bundle_test.py")
    add("--work", type=Path, help="the signing test's folder, emptied first")
    add("--pe32-bin", type=Path, help="the pe32 build's images (signing_test.py)")


@pytest.fixture(scope="session")
def option(pytestconfig):
    return pytestconfig.option


@pytest.fixture(scope="session")
def version(option) -> str:
    return option.project_version


# The checks every bundle must pass show what differed, as the tests' own do.
pytest.register_assert_rewrite("bundle_checks")
