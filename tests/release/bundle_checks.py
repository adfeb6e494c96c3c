"""What every release bundle must be, signed or not: its files, sums over
the bytes it holds, entries without a build time, the operator's README,
and a package that holds the loose library. The bundle test and the
signing test run these on their bundles; also what tells a signed image.
"""

import hashlib
import io
import zipfile
from pathlib import Path

import pefile

SIGNED = [
    "hexalift.exe",
    "tools/imagetool.exe",
    "Faultbridge/Faultbridge.dll",
]  # the vendor's images
SIMULATED = ["simulator/Flash.dll", "simulator/zefib.dll"]  # never signed
LIBRARY_IN_PACKAGE = "lib/net472/Faultbridge.dll"


def bundle_files(version: str) -> list:
    return [
        f"Faultbridge/Faultbridge.{version}.nupkg",
        "Faultbridge/Faultbridge.dll",
        "Faultbridge/Faultbridge.xml",
        "Faultbridge/include/faultkit/report_failure.h",
        "README.txt",
        "SHA256SUMS",
        "hexalift.exe",
        "simulator/Flash.dll",
        "simulator/zefib.dll",
        "tools/imagetool",
        "tools/imagetool.exe",
    ]


def carries_signature(image: bytes) -> bool:
    """An Authenticode signature lives in the image's certificate table
    (data directory 4): an unsigned image has none."""
    header = pefile.PE(data=image, fast_load=True).OPTIONAL_HEADER
    table = header.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
    ]
    return table.Size != 0


def read_from(bundle: Path, name: str) -> bytes:
    """A file of the bundle, by its path inside the bundle's top folder."""
    with zipfile.ZipFile(bundle) as archive:
        return archive.read(f"{bundle.stem}/{name}")


class BundleChecks:
    """Mixed into a TestCase whose class sets `bundle` (the zip's path) and
    `version`."""

    bundle: Path
    version: str

    @property
    def top(self) -> str:
        return self.bundle.stem + "/"

    def read(self, name: str) -> bytes:
        return read_from(self.bundle, name)

    def package_library(self) -> bytes:
        package = self.read(f"Faultbridge/Faultbridge.{self.version}.nupkg")
        with zipfile.ZipFile(io.BytesIO(package)) as inner:
            return inner.read(LIBRARY_IN_PACKAGE)

    def test_file_list(self):
        files = bundle_files(self.version)
        with zipfile.ZipFile(self.bundle) as archive:
            self.assertEqual(archive.namelist(), [self.top + name for name in files])
        beside_program = [
            n for n in files if "/" not in n and n.lower().endswith(".dll")
        ]
        self.assertEqual(beside_program, [], "no simulated library beside hexalift.exe")

    def test_sums_cover_every_file(self):
        listed = {}
        for line in self.read("SHA256SUMS").decode().splitlines():
            digest, name = line.split("  ", 1)
            listed[name] = digest
        self.assertEqual(
            sorted(listed), sorted(set(bundle_files(self.version)) - {"SHA256SUMS"})
        )
        for name, digest in listed.items():
            self.assertEqual(hashlib.sha256(self.read(name)).hexdigest(), digest, name)

    def test_entries_carry_no_build_time(self):
        with zipfile.ZipFile(self.bundle) as archive:
            for entry in archive.infolist():
                self.assertEqual(
                    entry.date_time, (1980, 1, 1) + (0,) * 3, entry.filename
                )

    def test_operator_readme_names_the_version_and_the_files(self):
        readme = self.read("README.txt").decode()
        self.assertIn(self.version, readme)
        for words in (
            "C:\\zef_installer.ini",
            "C:\\zef_installer.log",
            "Never copy them onto an instrument",
        ):
            self.assertIn(words, readme)

    def test_package_holds_the_loose_library(self):
        self.assertEqual(
            self.package_library(), self.read("Faultbridge/Faultbridge.dll")
        )

    def test_simulated_libraries_carry_no_signature(self):
        for name in SIMULATED:
            with self.subTest(name):
                self.assertFalse(carries_signature(self.read(name)))
