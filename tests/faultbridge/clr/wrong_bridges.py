"""Wrong bridges against the real-CLR table: each is Faultbridge.cs with
one fault put in. The table must pass on the bridge as built and fail at
least one case on each wrong one; otherwise a fault goes unseen.

  wrong_bridges.py build --host HOST_DIR --out DIR --version VERSION
      (at build time) each wrong bridge's library, from one copy of the
      project restored once, and a copy of the published test host beside
      it (hard links) with that library in place of the real one.
  wrong_bridges.py run SESSION --host HOST_DIR --out DIR
      (a ctest) the table on the real bridge (HOST_DIR), then on each wrong
      one, in the session's Wine prefix; says which wrong bridge went
      unseen. SESSION: --build pe32 --mode MODE --work DIR
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from harness import folder_name, run_program
from winhost import BUILDS, CORECLR_OVERRIDES, WineSession
from winhost.builds import ROOT

SOURCE = ROOT / "faultbridge"
CLOSING = re.compile(r"^(\d+) passed, (\d+) failed on ", re.MULTILINE)

# What each wrong bridge changes in Faultbridge.cs: (original, replacement).
WRONG = {
    "the text copied after the unwind": [
        ("                message = ReadMessage(RecordOf(pointers) + ParameterAreaOffset);",
         "                parameterArea = RecordOf(pointers) + ParameterAreaOffset;"),
        ("                throw new ApplicationException(message);",
         "                throw new ApplicationException(ReadMessage(parameterArea));"),
        ("        private static bool TakeApplicationMessage(",
         "        [ThreadStatic] private static IntPtr parameterArea;\n\n"
         "        private static bool TakeApplicationMessage("),
    ],
    "the text read at offset 16": [
        ("private const int ParameterAreaOffset = 20;", "private const int ParameterAreaOffset = 16;"),
    ],
    "an inner exception attached": [
        ("            catch (Exception) when (TakeApplicationMessage(exceptionPointers, out message))",
         "            catch (Exception caught) when (TakeApplicationMessage(exceptionPointers, out message))"),
        ("                throw new ApplicationException(message);",
         "                throw new ApplicationException(message, caught);"),
    ],
    "a verdict that ignores the code": [
        ("return record != IntPtr.Zero && IsApplicationCode(record) ? 1u : 0u;",
         "return record != IntPtr.Zero ? 1u : 0u;"),
    ],
    "no 60-byte cap on the text": [
        ("while (length < ParameterAreaBytes && Marshal.ReadByte(parameterArea, length) != 0)",
         "while (Marshal.ReadByte(parameterArea, length) != 0)"),
    ],
    "no null check of the callable": [
        ("            if (function == null)\n                throw new ArgumentNullException(\"function\");\n", ""),
    ],
    "another code wrapped in a new exception": [
        ("                throw new ApplicationException(message);\n            }",
         "                throw new ApplicationException(message);\n            }\n"
         "            catch (SEHException other)\n            {\n                throw new SEHException(other.Message);\n            }"),
    ],
    "GetExceptionString at the pointers, not the record": [
        ("return IsApplicationCode(record) ? record + ParameterAreaOffset : SystemError;",
         "return IsApplicationCode(record) ? p + ParameterAreaOffset : SystemError;"),
    ],
    "the record address through a signed 64-bit number": [
        ("return Marshal.ReadIntPtr(pointers, 0);", "return new IntPtr((long)(uint)Marshal.ReadInt32(pointers, 0));"),
    ],
    "the guarded call with a pointer source made public": [
        ("internal static void CallUnmanagedFunction(", "public static void CallUnmanagedFunction("),
    ],
}


def build(host: Path, out: Path, version: str) -> None:
    shutil.rmtree(out, ignore_errors=True)
    project = out / "source"
    shutil.copytree(SOURCE, project)
    source = project / "Faultbridge.cs"
    original = source.read_text()
    common = ["-c", "Release", "--nologo", "-v", "quiet", f"-p:Version={version}"]
    subprocess.run(["dotnet", "restore", str(project), "--nologo", "-v", "quiet"], check=True, stdout=subprocess.DEVNULL)
    for name, changes in WRONG.items():
        text = original
        for before, after in changes:
            assert before in text, (name, before)
            text = text.replace(before, after)
        source.write_text(text)
        library = out / folder_name(name) / "library"
        subprocess.run(["dotnet", "build", str(project), "--no-restore", *common, "-o", str(library)], check=True,
                       stdout=subprocess.DEVNULL)
        copy = out / folder_name(name) / "host"
        shutil.copytree(host, copy, copy_function=os.link)
        (copy / "Faultbridge.dll").unlink()
        shutil.copy(library / "Faultbridge.dll", copy / "Faultbridge.dll")
    source.write_text(original)


def table(session: WineSession, host: Path, output: Path):
    """(passed, failed) from the table's closing line, and the program's exit status; None without the line."""
    status = run_program(session, host / "Faultbridge.Tests.exe", output, echo=False,
                         WINEDLLOVERRIDES=CORECLR_OVERRIDES)
    found = CLOSING.findall(output.read_text(errors="replace"))
    return (*map(int, found[-1]), status) if found else None


def run(session: WineSession, host: Path, out: Path) -> int:
    """The real bridge first, which must pass every case, then each wrong
    one, which must fail a case; one whose library is the real one's, byte
    for byte, changed nothing and counts as not caught. Rows as they come."""
    session.work.mkdir(parents=True, exist_ok=True)
    real_library = (host / "Faultbridge.dll").read_bytes()
    problems = []
    print(f"{'bridge':52} the table on it", flush=True)
    real = table(session, host, session.work / "real-bridge.out")
    print(f"{'the real bridge':52} " + ("no closing line" if real is None else
                                       f"{real[0]} passed, {real[1]} failed, exit status {real[2]}"), flush=True)
    if real is None or real[1:] != (0, 0):
        problems.append("the real bridge does not pass the table")
    for name in WRONG:
        wrong_host = out / folder_name(name) / "host"
        if (wrong_host / "Faultbridge.dll").read_bytes() == real_library:
            verdict = "NOT CAUGHT: the fault left Faultbridge.dll as it was"
        else:
            result = table(session, wrong_host, session.work / f"{folder_name(name)}.out")
            verdict = ("no closing line" if result is None else "NOT CAUGHT: every case passed" if not result[1]
                       else f"{result[1]} of {result[0] + result[1]} cases failed")
        print(f"{name:52} {verdict}", flush=True)
        if verdict.startswith("NOT CAUGHT") or verdict == "no closing line":
            problems.append(f"{name}: {verdict}")
    print(f"wrong bridges: {'FAILED: ' + '; '.join(problems) if problems else f'each of {len(WRONG)} caught'}")
    return 1 if problems else 0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("build", "run"))
    parser.add_argument("--host", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--version")
    parser.add_argument("--build", choices=BUILDS)
    parser.add_argument("--mode")
    parser.add_argument("--work", type=Path)
    args = parser.parse_args()
    if args.action == "build":
        build(args.host, args.out, args.version)
        return 0
    return run(WineSession(args.work, BUILDS[args.build], args.mode), args.host, args.out)


if __name__ == "__main__":
    sys.exit(main())
