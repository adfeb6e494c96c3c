"""Wrong builds of hexalift against the end-to-end scenarios: each is the
x86-64 stand-in with one fault put in, and some scenario must fail on it;
otherwise the scenarios let that fault through.

  wrong_builds.py --imagetool FILE --simulator DIR --work DIR

The unmodified build runs first and must pass every scenario, or no
verdict on a wrong one means anything. One copy of the sources is
configured once with the x64 toolchain; each fault is put in, hexalift
rebuilt (one file and the link) and taken out again. A fault that leaves
hexalift.exe as it was counts as not caught. A wrong build stops at its
first failing scenario. The scenarios share one prefix, and each run
waits until a session end it requested is over (WineSession.run), so that
no result depends on which scenario ran before. A scenario whose hexalift
hangs counts as failed; the whole run stops at its own limit.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from harness import folder_name, prepare_prefix
from run_scenario import scenario_problems
from scenarios import BY_NAME, ONLY_32_BIT
from winhost import BUILDS, WineSession, limits
from winhost.builds import ROOT
from winhost.hexalift import Tools

BUILD = BUILDS["x64"]
ENDS_WITH_TEST = [str(ROOT / "tests" / "support" / "ends_with_test.sh")]   # the builds, with their compilers
UNMODIFIED = "unmodified hexalift"
# What each wrong build changes: (file, original, replacement).
WRONG = {
    'shutdown also for settings byte "1"':
        ("installer/settings.cpp", "return installerId == 0;", "return installerId == 0 || installerId == 1;"),
    "module left in reset at the end":
        ("installer/board_steps.cpp", "WriteResetRegister(*board, boardHandle, kNormalOperation)",
         "WriteResetRegister(*board, boardHandle, kHoldInReset)"),
    "reset wait of 900 ms":
        ("installer/board_steps.cpp", "kResetSettleMilliseconds = 1000;", "kResetSettleMilliseconds = 900;"),
    "checksum ignored":
        ("installer/image_file.cpp", "if (bytesRead != size || !VerifyImageCheckSum(image, size)) {",
         "if (bytesRead != size) {"),
    "stamping only from InstallerId 3":
        ("installer/settings.cpp", "return installerId > 1;", "return installerId > 2;"),
    "a wait after a failed reset write too":
        ("installer/board_steps.cpp", '        LogPrintf("IB_WriteSingleRegister(Reset) Error\\n");\n',
         '        LogPrintf("IB_WriteSingleRegister(Reset) Error\\n"), Sleep(kResetSettleMilliseconds);\n'),
}


def not_sources(folder: str, names: list) -> set:
    """What the copy leaves out: version control, caches and build folders
    (which may lie in the source tree under any name, this one's too)."""
    return {name for name in names
            if name in (".git", "__pycache__") or (Path(folder, name, "CMakeCache.txt").exists())}


def configure(work: Path) -> Path:
    """A copy of the sources, configured once for the x64 toolchain."""
    source = work / "source"
    shutil.rmtree(source, ignore_errors=True)
    shutil.copytree(ROOT, source, ignore=not_sources)
    subprocess.run([*ENDS_WITH_TEST, "cmake", "-S", str(source), "-B", str(source / "build"),
                    f"-DCMAKE_TOOLCHAIN_FILE={source / 'cmake' / BUILD.toolchain}", "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    return source


def build(source: Path, name: str, folder: Path, simulator: Path) -> bytes:
    """hexalift.exe with the named fault (none for UNMODIFIED), in folder,
    the simulator beside it; returns the image."""
    path, before, after = WRONG.get(name, ("installer/main.cpp", "", ""))
    file = source / path
    original = file.read_text()
    assert before in original, (name, before)
    try:
        file.write_text(original.replace(before, after) if before else original)
        subprocess.run([*ENDS_WITH_TEST, "cmake", "--build", str(source / "build"), "--target", "hexalift"],
                       check=True, stdout=subprocess.DEVNULL)
    finally:
        file.write_text(original)
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copy(source / "build" / "bin" / "hexalift.exe", folder / "hexalift.exe")
    if not (folder / "simulator").exists():
        os.symlink(simulator, folder / "simulator")
    return (folder / "hexalift.exe").read_bytes()


def first_failing(tools: Tools, scenarios: list, deadline: float, every: bool = False) -> list:
    """The names of the scenarios that fail (the first only, unless every); one whose hexalift
    hangs fails. Past the deadline the run stops with the rows printed so far (ctest's limit holds a scenario
    begun just before it)."""
    failed = []
    for scenario in scenarios:
        if time.monotonic() > deadline:
            sys.exit(f"wrong builds: FAILED: stopped after {limits.WRONG_BUILDS} s")
        try:
            problems = scenario_problems(tools, scenario)
        except subprocess.TimeoutExpired as hung:   # anything else the test bed raises is no verdict: it ends the run
            problems = [f"hexalift still ran after {hung.timeout} s"]
        if problems:
            failed.append(scenario.name)
            if every:   # the unmodified build: say why, for it should not fail
                print("\n".join(f"  {scenario.name}: {problem}" for problem in problems), flush=True)
            if not every:
                break
    return failed


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--imagetool", type=Path, required=True)
    parser.add_argument("--simulator", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--mode", default="native")
    args = parser.parse_args()
    deadline = time.monotonic() + limits.WRONG_BUILDS
    session = WineSession(args.work, BUILD, args.mode)
    source = configure(args.work)
    scenarios = [scenario for name, scenario in BY_NAME.items() if name not in ONLY_32_BIT]
    problems = []
    print(f"{'hexalift':40} verdict", flush=True)
    try:
        prepare_prefix(session)
        unmodified = build(source, UNMODIFIED, args.work / folder_name(UNMODIFIED), args.simulator.resolve())
        tools = Tools(args.work / folder_name(UNMODIFIED), args.imagetool, session)
        failed = first_failing(tools, scenarios, deadline, every=True)
        verdict = f"FAILED {', '.join(failed)}" if failed else f"passed all {len(scenarios)} scenarios"
        print(f"{UNMODIFIED:40} {verdict}", flush=True)
        if failed:
            problems.append(f"the unmodified build fails scenarios: {', '.join(failed)}")
        for name in WRONG:
            folder = args.work / folder_name(name)
            if build(source, name, folder, args.simulator.resolve()) == unmodified:
                verdict = "NOT CAUGHT: the fault left hexalift.exe as it was"
            else:
                caught = first_failing(Tools(folder, args.imagetool, session), scenarios, deadline)
                verdict = f"caught by {caught[0]}" if caught else "NOT CAUGHT: every scenario passed"
            print(f"{name:40} {verdict}", flush=True)
            if verdict.startswith("NOT CAUGHT"):
                problems.append(f"not caught: {name}")
    finally:
        session.stop()
    print(f"wrong builds: {'FAILED: ' + '; '.join(problems) if problems else f'each of {len(WRONG)} caught'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
