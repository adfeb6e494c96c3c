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
# Making the prefix template: about 15 s natively, 85 s in the guest.
PREPARE_TIMEOUT = 900
# In the guest (software emulation of the whole machine) a program takes
# some 4 times as long as natively, more while other guests run beside it.
GUEST_SLOWDOWN = 5
SKIPPED = 77   # exit status of a test that does not apply (ctest's SKIP_RETURN_CODE)


@dataclass(frozen=True)
class Build:
    name: str          # pe32 or x64: the one name of the build everywhere
    description: str   # for people
    toolchain: str     # in cmake/
    loader: str        # the Wine loader its programs run on
    label: str         # the ctest label of every test that runs its images
    bits: int          # 32: runs on i386 code, so in the guest where this machine refuses that
    timeout: int       # seconds one program may take when it runs natively

    @property
    def needs_i386(self) -> bool:
        return self.bits == 32

    def folder(self, build_dir: Path = ROOT / "build") -> Path:
        """Where its images land: hexalift.exe, imagetool.exe, simulator/, tests/."""
        return build_dir / self.name / "bin"

    def in_guest(self, mode: str) -> bool:
        """True when its programs run in the guest in this mode."""
        return self.needs_i386 and mode == "vm"

    def test_timeout(self) -> int:
        """For ctest: a test runs at most two programs (a scenario's two runs)."""
        return 2 * self.timeout + 60


BUILDS = {build.name: build for build in (
    Build("pe32", "the shipped 32-bit (PE32) build", "mingw-pe32.cmake", "/usr/lib/wine/wine",
          "shipped-pe32", bits=32, timeout=120),
    Build("x64", "the x86-64 build of the same sources (a stand-in, not what ships)", "mingw-x64.cmake",
          "/usr/lib/wine/wine64", "x64-stand-in", bits=64, timeout=120),
)}
SHIPPED = BUILDS["pe32"]
