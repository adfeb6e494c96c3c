"""Judges wrong versions (faults.py), one case per fault: hexalift's against the
end-to-end scenarios (e2e.x64.wrong_builds) and the bridge's against its table
on CoreCLR (faultbridge.pe32.wrong_bridges, in the guest where pe32 runs there).

The unmodified version is built exactly as each wrong one, so a fault that
leaves the bytes as they were is "NOT CAUGHT". A wrong version is caught only
when a case fails on what the program did (its log, journal, flash, register,
calls, exit status, a crash, a case of the table) and the unmodified version
passes that case in a control run right after. A test bed that fails (Wine
that does not start the program, a missing trace, a run that outlasts its
limit) gives "no verdict". Either fails the test, saying why.
"""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from faults import BRIDGE, BRIDGE_PROGRAMS, HEXALIFT, UNMODIFIED, put_in
from harness import folder_name, run_program
from scenario_checks import scenario_problems
from scenarios import BY_NAME, ONLY_32_BIT
from winhost import BUILDS, CORECLR_OVERRIDES, WineSession, guest, limits
from winhost.builds import ROOT
from winhost.hexalift import Tools

SCENARIOS = [scenario for name, scenario in BY_NAME.items() if name not in ONLY_32_BIT]
CLOSING = re.compile(r"\d+ passed, \d+ failed on ")


def no_verdict(case: str, why: str) -> None:
    pytest.fail(f"no verdict: {case}: {why}", pytrace=False)


def judge(unchanged: bool, first_failure, control) -> None:
    """Passes when the wrong version is caught. first_failure() runs its cases
    until one fails and returns (case, what differed), or None; control(case)
    runs that case on the unmodified version and says what differed there."""
    if unchanged:
        pytest.fail(
            "NOT CAUGHT: the fault left the build's bytes as they were", pytrace=False
        )
    failure = first_failure()
    if failure is None:
        pytest.fail("NOT CAUGHT: every case passed", pytrace=False)
    case, differed = failure
    if again := control(case):
        no_verdict(
            f"case {case}",
            f"the unmodified version fails it too in a control run:\n{again}",
        )
    print(f"caught by case {case}:\n{differed}")


def not_sources(folder: str, names: list) -> set:
    """What the copy leaves out: version control, caches and build folders
    (which may lie in the source tree under any name, this one's too)."""
    return {
        name
        for name in names
        if name in (".git", "__pycache__")
        or Path(folder, name, "CMakeCache.txt").exists()
    }


@pytest.fixture(scope="module")
def hexalift(pytestconfig, session):
    """build(NAME), hexalift.exe with that fault put in (UNMODIFIED: none) in a
    folder of its own with the simulator, as Tools; and the unmodified build.
    Each is built the same way, in one copy of the sources configured once."""
    option = pytestconfig.getoption
    work, simulator = option("work"), option("simulator").resolve()
    source = work / "source"
    shutil.rmtree(source, ignore_errors=True)
    shutil.copytree(ROOT, source, ignore=not_sources)
    toolchain = source / "cmake" / BUILDS["x64"].toolchain
    configure = ["cmake", "-S", source, "-B", source / "build"]
    options = ["-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"]
    run_quietly = {"check": True, "stdout": subprocess.DEVNULL}
    subprocess.run([*configure, *options], **run_quietly)

    def build(name: str) -> Tools:
        path, changes = HEXALIFT.get(name, ("installer/main.cpp", []))
        file = source / path
        original = file.read_text()
        try:
            file.write_text(put_in(original, changes))
            make = ["cmake", "--build", source / "build", "--target", "hexalift"]
            subprocess.run(make, **run_quietly)
        finally:
            file.write_text(original)
        folder = work / folder_name(name)
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(source / "build" / "bin" / "hexalift.exe", folder)
        if not (folder / "simulator").exists():
            os.symlink(simulator, folder / "simulator")
        return Tools(folder, option("imagetool"), session)

    yield build, build(UNMODIFIED)


def scenario_differs(tools: Tools, scenario) -> str:
    """What the program did otherwise than the scenario expects ("" if nothing)."""
    try:
        problems, bed_failures = scenario_problems(tools, scenario)
    except Exception as error:  # a run that outlasted its limit, say
        no_verdict(scenario.name, repr(error))
    if bed_failures:
        no_verdict(scenario.name, "\n".join(bed_failures))
    return "\n".join(problems)


# Each fault's own limit; the fixture's copy, configuration and unmodified build
# count against the ctest limit only (faults.py).
@pytest.mark.timeout(limits.WRONG_BUILD, func_only=True)
@pytest.mark.parametrize("fault", HEXALIFT)
def test_wrong_hexalift(fault: str, hexalift) -> None:
    build, unmodified = hexalift
    wrong = build(fault)
    program = [tools.windows_bin / "hexalift.exe" for tools in (wrong, unmodified)]

    def first_failure():
        for scenario in SCENARIOS:
            if differed := scenario_differs(wrong, scenario):
                return scenario.name, differed
        return None

    def control(name: str) -> str:
        return scenario_differs(unmodified, BY_NAME[name])

    judge(program[0].read_bytes() == program[1].read_bytes(), first_failure, control)


def table(session: WineSession, host: Path, name: str) -> list:
    """The lines of the table's cases, in order ("ok ..." or "FAILED ...")."""
    output = session.work / f"wrong-bridge-{folder_name(name)}.out"
    program = host / "Faultbridge.Tests.exe"
    status = run_program(
        session, program, output, echo=False, WINEDLLOVERRIDES=CORECLR_OVERRIDES
    )
    lines = output.read_text(errors="replace").splitlines()
    if not any(CLOSING.match(line) for line in lines):
        ending = guest.last_lines("\n".join(lines), 20, indent="    ")
        why = f"the table did not finish (exit status {status}); it ends:\n{ending}"
        no_verdict(name, why)
    return [line for line in lines if line.startswith(("ok ", "FAILED "))]


@pytest.mark.timeout(limits.test(guest.inside(), BRIDGE_PROGRAMS), func_only=True)
@pytest.mark.parametrize("fault", BRIDGE)
def test_wrong_bridge(fault: str, pytestconfig, session) -> None:
    wrong, unmodified = (
        pytestconfig.getoption("bridges") / folder_name(name) / "host"
        for name in (fault, UNMODIFIED)
    )
    library = [(host / "Faultbridge.dll").read_bytes() for host in (wrong, unmodified)]

    def first_failure():
        cases = table(session, wrong, fault)
        failed = [line for line in cases if line.startswith("FAILED ")]
        return (cases.index(failed[0]) + 1, failed[0]) if failed else None

    def control(number: int) -> str:
        cases = table(session, unmodified, UNMODIFIED)
        line = cases[number - 1] if number <= len(cases) else "the case did not run"
        return "" if line.startswith("ok ") else line

    judge(library[0] == library[1], first_failure, control)
