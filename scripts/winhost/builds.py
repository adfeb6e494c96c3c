"""The builds of the Windows images: one table, one name per build.

"pe32" is what ships: 32-bit images, run on Wine's 32-bit loader.
"x64" is the same sources built for x86-64, run on Wine's 64-bit loader:
a stand-in that runs everywhere, never shipped. Test names (e2e.pe32.*),
build folders (build/pe32), toolchain files and labels all use these two
names; CMake reads this table (windows_host.py cmake).
"""

from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# What one Wine process on the 32-bit loader costs under emulation, roughly
# (measured: 85 to 90 s for a hexalift run with its relay trace).
EMULATED_SECONDS_PER_PROCESS = 90
# Making the prefix template runs the 32-bit half of Wine's set-up: about
# 200 s under emulation, 15 s natively.
TEMPLATE_EMULATED_SECONDS = 200
PREPARE_TIMEOUT = 900
SKIPPED = 77   # exit status of a test that does not apply (ctest's SKIP_RETURN_CODE)


@dataclass(frozen=True)
class Build:
    name: str          # pe32 or x64: the one name of the build everywhere
    description: str   # for people
    toolchain: str     # in cmake/
    loader: str        # the Wine loader its programs run on
    label: str         # the ctest label of every test that runs its images
    bits: int          # 32: runs on i386 code, so emulated where this machine refuses that
    timeout: int       # seconds one program may take when it runs natively

    @property
    def needs_i386(self) -> bool:
        return self.bits == 32

    def folder(self, build_dir: Path = ROOT / "build") -> Path:
        """Where its images land: hexalift.exe, imagetool.exe, simulator/, tests/."""
        return build_dir / self.name / "bin"

    def emulated(self, mode: str) -> bool:
        """True when its programs run under emulation in this mode."""
        return self.needs_i386 and mode == "emulated"

    def program_timeout(self, mode: str) -> int:
        return 10 * EMULATED_SECONDS_PER_PROCESS if self.emulated(mode) else self.timeout

    def test_timeout(self, mode: str) -> int:
        """For ctest: a test runs at most two programs (a scenario's two runs)."""
        return 2 * self.program_timeout(mode) + 60


BUILDS = {build.name: build for build in (
    Build("pe32", "the shipped 32-bit (PE32) build", "mingw-pe32.cmake", "/usr/lib/wine/wine",
          "shipped-pe32", bits=32, timeout=120),
    Build("x64", "the x86-64 build of the same sources (a stand-in, not what ships)", "mingw-x64.cmake",
          "/usr/lib/wine/wine64", "x64-stand-in", bits=64, timeout=120),
)}
SHIPPED = BUILDS["pe32"]
