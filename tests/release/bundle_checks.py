"""What every release bundle must be, signed or not: its files, sums over
the bytes it holds, entries without a build time, the operator's README,
and a package that holds the loose library. The bundle test and the
signing test run these on their bundles (a class TestX(BundleChecks) in a
module with a `bundle` fixture, the zip's path); also what tells a signed
image.
"""

import hashlib
import io
import zipfile
from pathlib import Path

import pefile
import pytest

SIGNED = [
    "hexalift.exe",
    "tools/imagetool.exe",
    "Faultbridge/Faultbridge.dll",
]  # the vendor's images
SIMULATED = ["simulator/Flash.dll", "simulator/zefib.dll"]  # never signed
LIBRARY_IN_PACKAGE = "lib/net472/Faultbridge.dll"
NO_BUILD_TIME = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip entry holds


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


def package_library(bundle: Path, version: str) -> bytes:
    package = read_from(bundle, f"Faultbridge/Faultbridge.{version}.nupkg")
    with zipfile.ZipFile(io.BytesIO(package)) as inner:
        return inner.read(LIBRARY_IN_PACKAGE)


class BundleChecks:
    def test_file_list(self, bundle, version):
        files = bundle_files(version)
        with zipfile.ZipFile(bundle) as archive:
            assert archive.namelist() == [f"{bundle.stem}/{name}" for name in files]
        beside_program = [
            n for n in files if "/" not in n and n.lower().endswith(".dll")
        ]
        assert beside_program == [], "no simulated library beside hexalift.exe"

    def test_sums_cover_every_file(self, bundle, version):
        listed = {}
        for line in read_from(bundle, "SHA256SUMS").decode().splitlines():
            digest, name = line.split("  ", 1)
            listed[name] = digest
        summed = set(bundle_files(version)) - {"SHA256SUMS"}
        assert sorted(listed) == sorted(summed)
        actual = {n: hashlib.sha256(read_from(bundle, n)).hexdigest() for n in listed}
        assert actual == listed

    def test_entries_carry_no_build_time(self, bundle):
        with zipfile.ZipFile(bundle) as archive:
            times = {entry.filename: entry.date_time for entry in archive.infolist()}
        assert times == dict.fromkeys(times, NO_BUILD_TIME)

    def test_operator_readme_names_the_version_and_the_files(self, bundle, version):
        readme = read_from(bundle, "README.txt").decode()
        words = [
            version,
            "C:\\zef_installer.ini",
            "C:\\zef_installer.log",
            "Never copy them onto an instrument",
        ]
        assert [w for w in words if w not in readme] == []

    def test_package_holds_the_loose_library(self, bundle, version):
        loose = read_from(bundle, "Faultbridge/Faultbridge.dll")
        assert package_library(bundle, version) == loose

    @pytest.mark.parametrize("name", SIMULATED)
    def test_simulated_libraries_carry_no_signature(self, bundle, name):
        assert not carries_signature(read_from(bundle, name))
