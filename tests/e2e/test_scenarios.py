"""The end-to-end scenarios (scenarios.py), a case each, against one build:
hexalift runs once or twice under Wine against the simulated module, and
everything it did is compared with what the scenario expects, the readers'
verdicts on its log included."""

import pytest
from scenario_checks import scenario_problems
from scenarios import BY_NAME, ONLY_32_BIT
from winhost import guest, limits
from winhost.hexalift import Tools


def case(name: str, scenario):
    """A row of the table, limited by its programs: hexalift and imagetool.exe
    for each of its one or two runs."""
    runs = 1 if scenario.then is None else 2
    limit = limits.test(guest.inside(), programs=2 * runs)
    return pytest.param(name, marks=pytest.mark.timeout(limit, func_only=True))


@pytest.mark.parametrize("name", [case(*row) for row in BY_NAME.items()])
def test_scenario(name: str, session, pytestconfig) -> None:
    if session.build.bits == 64 and name in ONLY_32_BIT:
        pytest.skip(ONLY_32_BIT[name])
    option = pytestconfig.getoption
    tools = Tools(option("windows_bin"), option("imagetool"), session)
    problems, no_verdict = scenario_problems(tools, BY_NAME[name], windows_reader=True)
    problems = [f"no verdict: {problem}" for problem in no_verdict] + problems
    assert not problems, "\n".join(problems)
