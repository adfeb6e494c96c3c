"""The builds of the Windows images: one table, one name per build, and the build folder they land in. "pe32" is what
ships: 32-bit images, run on Wine's 32-bit loader. "x64" is the same sources built for x86-64, run on Wine's 64-bit
loader: a stand-in that runs everywhere, never shipped. Test names (e2e.pe32.*), build folders (build/pe32), toolchain
files and labels all use these two names; CMake reads this table (windows_host.py cmake)."""

import os
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# The build folder that ctest's tests were configured in (CMake sets it in their
# environment); scripts/build.sh's by default. Everything a run writes lies under it.
BUILD_DIR_VARIABLE = "HEXALIFT_BUILD_DIR"


def build_dir() -> Path:
    return Path(os.environ.get(BUILD_DIR_VARIABLE) or ROOT / "build").resolve()


@dataclass(frozen=True)
class Build:
    name: str  # pe32 or x64: the one name of the build everywhere
    description: str  # for people
    toolchain: str  # in cmake/
    loader: str  # the Wine loader its programs run on
    label: str  # the ctest label of every test that runs its images
    bits: int  # 32: needs the kernel to run i386 code, so the guest where it does not

    def folder(self, build: Path | None = None) -> Path:
        """Where its images land: hexalift.exe, imagetool.exe, simulator/, tests/."""
        return (build or build_dir()) / self.name / "bin"

    def in_guest(self, mode: str) -> bool:
        return self.bits == 32 and mode == "guest"


BUILDS = {
    build.name: build
    for build in (
        Build(
            "pe32",
            "the shipped 32-bit (PE32) build",
            "mingw-pe32.cmake",
            "/usr/lib/wine/wine",
            "shipped-pe32",
            bits=32,
        ),
        Build(
            "x64",
            "the x86-64 build of the same sources (a stand-in, not what ships)",
            "mingw-x64.cmake",
            "/usr/lib/wine/wine64",
            "x64-stand-in",
            bits=64,
        ),
    )
}
