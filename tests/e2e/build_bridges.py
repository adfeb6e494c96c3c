"""Builds the bridges that faultbridge.pe32.wrong_bridges judges, at build time:
the unmodified one and each wrong one (faults.BRIDGE), all the same way, from
one copy of the project restored once. Each lands in OUT/NAME/host, a copy of
the published test host (hard links) with that Faultbridge.dll in place.

  build_bridges.py HOST_DIR OUT VERSION
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from faults import BRIDGE, UNMODIFIED, put_in
from harness import folder_name
from winhost.builds import ROOT


def main(host: Path, out: Path, version: str) -> None:
    shutil.rmtree(out, ignore_errors=True)
    project = out / "source"
    shutil.copytree(ROOT / "faultbridge", project)
    source = project / "Faultbridge.cs"
    original = source.read_text()
    quiet = ["--nologo", "-v", "quiet"]
    dotnet = {"check": True, "stdout": subprocess.DEVNULL}
    subprocess.run(["dotnet", "restore", project, *quiet], **dotnet)
    build = ["dotnet", "build", project, "--no-restore", "-c", "Release", *quiet]
    for name, changes in {UNMODIFIED: [], **BRIDGE}.items():
        source.write_text(put_in(original, changes))
        library = out / folder_name(name) / "library"
        subprocess.run([*build, f"-p:Version={version}", "-o", library], **dotnet)
        copy = out / folder_name(name) / "host"
        shutil.copytree(host, copy, copy_function=os.link)
        (copy / "Faultbridge.dll").unlink()
        shutil.copy(library / "Faultbridge.dll", copy)


if __name__ == "__main__":
    main(Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3])
