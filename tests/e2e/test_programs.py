"""Windows test programs of a build, each a case: it runs in the build's
prefix and must end with status 0; what it printed shows either way."""

import pytest
from harness import run_program
from winhost import CORECLR_OVERRIDES, guest, limits


@pytest.mark.timeout(limits.test(guest.inside(), programs=1))
def test_program(program, session, pytestconfig) -> None:
    # A CoreCLR program needs Wine's own mscoree, which loads the runtime.
    coreclr = {"WINEDLLOVERRIDES": CORECLR_OVERRIDES}
    extra = coreclr if pytestconfig.getoption("coreclr") else {}
    assert run_program(session, program, **extra) == 0
