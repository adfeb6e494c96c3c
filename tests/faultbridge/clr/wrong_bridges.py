"""Tries wrong bridges against the real-CLR table: each is Faultbridge.cs
with one fault put in, built and run like the real one. A table that
catches the fault fails cases for it; the counts show how many.

  PYTHONPATH=scripts python3 tests/faultbridge/clr/wrong_bridges.py [BUILD_DIR]

Needs a build (scripts/build.sh) and a machine that runs 32-bit code
natively; takes about a minute.
"""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from winhost import BUILDS, CORECLR_OVERRIDES, WineSession, decide_mode
from winhost.builds import ROOT

SOURCE = ROOT / "faultbridge"
HOST_PROJECT = ROOT / "tests" / "faultbridge" / "clr" / "Faultbridge.Tests.csproj"

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
}


def dotnet(*arguments) -> None:
    subprocess.run(["dotnet", *map(str, arguments), "-c", "Release", "--nologo", "-v", "quiet"], check=True,
                   stdout=subprocess.DEVNULL)


def main() -> int:
    build_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
    session = WineSession(build_dir / "wrong-bridges" / "pe32", BUILDS["pe32"], decide_mode())
    if session.in_guest:
        sys.exit("32-bit programs run only in the virtual machine here: run this where they run natively")
    raiser = BUILDS["pe32"].folder(build_dir) / "tests" / "fault_raiser.dll"
    session.prepare()
    try:
        print(f"{'wrong bridge':40} failed cases")
        for name, changes in WRONG.items():
            with tempfile.TemporaryDirectory() as scratch:
                scratch = Path(scratch)
                shutil.copytree(SOURCE, scratch / "faultbridge")
                source = scratch / "faultbridge" / "Faultbridge.cs"
                text = source.read_text()
                for original, replacement in changes:
                    assert original in text, (name, original)
                    text = text.replace(original, replacement)
                source.write_text(text)
                dotnet("build", scratch / "faultbridge" / "Faultbridge.csproj", "-p:UseArtifactsOutput=true",
                       f"-p:ArtifactsPath={scratch / 'dotnet'}")
                dll = scratch / "dotnet" / "bin" / "Faultbridge" / "release" / "Faultbridge.dll"
                host = scratch / "host"
                dotnet("publish", HOST_PROJECT, "-p:UseArtifactsOutput=true", f"-p:ArtifactsPath={scratch / 'dotnet'}",
                       f"-p:FaultbridgeDll={dll}", "-o", host)
                shutil.copy(raiser, host)
                output = scratch / "output.txt"
                session.run([host / "Faultbridge.Tests.exe"], host, output, WINEDLLOVERRIDES=CORECLR_OVERRIDES)
                failed = [line for line in output.read_text(errors="replace").splitlines()
                          if line.startswith("FAILED")]
                print(f"{name:40} {len(failed)}")
                for line in failed:
                    print("    " + line.split(":", 2)[1].strip()[:110])
    finally:
        session.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
