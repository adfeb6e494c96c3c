"""The release bundle: what is in it, its sums file, and that a second
build of the same sources, in another folder, gives the same bytes.

  bundle_test.py BUNDLE.zip SOURCE_DIR SECOND_BUILD_DIR VERSION
"""

import hashlib
import subprocess
import sys
import unittest
import zipfile
from pathlib import Path

BUNDLE = Path(sys.argv[1])
SOURCE = Path(sys.argv[2])
SECOND_BUILD = Path(sys.argv[3])
VERSION = sys.argv[4]   # the project's, as the build made it

TOP = BUNDLE.stem + "/"
FILES = [
    f"Faultbridge/Faultbridge.{VERSION}.nupkg", "Faultbridge/Faultbridge.dll", "Faultbridge/Faultbridge.xml",
    "Faultbridge/include/faultkit/report_failure.h", "README.txt", "SHA256SUMS", "hexalift.exe",
    "simulator/Flash.dll", "simulator/zefib.dll", "tools/imagetool", "tools/imagetool.exe",
]


class Bundle(unittest.TestCase):
    archive = zipfile.ZipFile(BUNDLE)

    def read(self, name):
        return self.archive.read(TOP + name)

    def test_file_list(self):
        self.assertEqual(self.archive.namelist(), [TOP + name for name in FILES])
        beside_program = [n for n in FILES if "/" not in n and n.lower().endswith(".dll")]
        self.assertEqual(beside_program, [], "no simulated library beside hexalift.exe")

    def test_sums_cover_every_file(self):
        listed = {}
        for line in self.read("SHA256SUMS").decode().splitlines():
            digest, name = line.split("  ", 1)
            listed[name] = digest
        self.assertEqual(sorted(listed), sorted(set(FILES) - {"SHA256SUMS"}))
        for name, digest in listed.items():
            self.assertEqual(hashlib.sha256(self.read(name)).hexdigest(), digest, name)

    def test_entries_carry_no_build_time(self):
        for entry in self.archive.infolist():
            self.assertEqual(entry.date_time, (1980, 1, 1, 0, 0, 0), entry.filename)

    def test_operator_readme_names_the_version_and_the_files(self):
        readme = self.read("README.txt").decode()
        self.assertIn(BUNDLE.stem.split("-", 1)[1], readme)
        for words in ("C:\\zef_installer.ini", "C:\\zef_installer.log", "Never copy them onto an instrument"):
            self.assertIn(words, readme)

    def test_package_holds_the_loose_library(self):
        package = zipfile.ZipFile(self.archive.open(TOP + f"Faultbridge/Faultbridge.{VERSION}.nupkg"))
        self.assertEqual(package.read("lib/net472/Faultbridge.dll"), self.read("Faultbridge/Faultbridge.dll"))

    def test_second_build_gives_the_same_bytes(self):
        subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(SECOND_BUILD)], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(SECOND_BUILD), "--target", "bundle", "-j2"], check=True,
                       stdout=subprocess.DEVNULL)
        again = zipfile.ZipFile(SECOND_BUILD / "release" / BUNDLE.name)
        for name in FILES:
            self.assertEqual(again.read(TOP + name), self.read(name), name)
        self.assertEqual((SECOND_BUILD / "release" / BUNDLE.name).read_bytes(), BUNDLE.read_bytes())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
