"""Faultbridge's NuGet package: what it holds and says of itself, and a
consumer project that restores it from a local folder feed and builds.

  package_test.py VERSION NUPKG BUILT_DLL CONSUMER_SOURCE WORK

VERSION is the project's, as the build packed it.
"""

import shutil
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile
from pathlib import Path

VERSION = sys.argv[1]
NUPKG, BUILT_DLL, CONSUMER, WORK = map(Path, sys.argv[2:6])
NUSPEC = "{http://schemas.microsoft.com/packaging/2012/06/nuspec.xsd}"


class Package(unittest.TestCase):
    package = zipfile.ZipFile(NUPKG)

    def test_library_and_documentation_under_lib_net472(self):
        names = self.package.namelist()
        for name in (
            "lib/net472/Faultbridge.dll",
            "lib/net472/Faultbridge.xml",
            "README.md",
            "Faultbridge.nuspec",
        ):
            self.assertIn(name, names)
        self.assertEqual(
            [n for n in names if n.startswith("lib/")],
            ["lib/net472/Faultbridge.dll", "lib/net472/Faultbridge.xml"],
        )
        self.assertEqual(
            self.package.read("lib/net472/Faultbridge.dll"), BUILT_DLL.read_bytes()
        )

    def test_metadata_a_consumer_expects(self):
        metadata = ElementTree.fromstring(self.package.read("Faultbridge.nuspec")).find(
            NUSPEC + "metadata"
        )
        field = lambda name: metadata.find(NUSPEC + name)  # noqa: E731
        self.assertEqual(
            (field("id").text, field("version").text), ("Faultbridge", VERSION)
        )
        self.assertEqual(
            (field("license").get("type"), field("license").text), ("expression", "MIT")
        )
        self.assertEqual(field("readme").text, "README.md")
        for name in ("description", "releaseNotes", "authors"):
            self.assertTrue((field(name).text or "").strip(), name)
        self.assertIn("CallUnmanagedFunction", self.package.read("README.md").decode())

    def test_consumer_restores_it_from_a_folder_feed_and_builds(self):
        shutil.rmtree(WORK, ignore_errors=True)
        feed, project = WORK / "feed", WORK / "consumer"
        feed.mkdir(parents=True)
        shutil.copy(NUPKG, feed)
        shutil.copytree(CONSUMER, project)
        # Sources: the feed, and the machine's package folder for what the
        # SDK needs besides (the .NET Framework reference assemblies). The
        # consumer's own package folder is new, so no cached copy answers.
        cache = (
            subprocess.run(
                ["dotnet", "nuget", "locals", "global-packages", "--list"],
                capture_output=True,
                text=True,
                check=True,
            )
            .stdout.split(":", 1)[1]
            .strip()
        )
        (project / "NuGet.Config").write_text(
            '<?xml version="1.0" encoding="utf-8"?>\n<configuration><packageSources><clear/>'
            f'<add key="feed" value="{feed}"/><add key="machine" value="{cache}"/></packageSources></configuration>\n'
        )
        result = subprocess.run(
            [
                "dotnet",
                "build",
                str(project),
                "-c",
                "Release",
                "--nologo",
                "--packages",
                str(WORK / "packages"),
                "-o",
                str(WORK / "out"),
                f"-p:FaultbridgeVersion={VERSION}",
            ],
            capture_output=True,
            text=True,
        )
        self.assertEqual(result.returncode, 0, result.stdout[-3000:])
        self.assertEqual(
            (WORK / "out" / "Faultbridge.dll").read_bytes(), BUILT_DLL.read_bytes()
        )
        # Editors read the documentation beside the referenced library, in the package folder.
        restored = WORK / "packages" / "faultbridge" / VERSION / "lib" / "net472"
        self.assertEqual(
            sorted(p.name for p in restored.iterdir()),
            ["Faultbridge.dll", "Faultbridge.xml"],
        )


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
