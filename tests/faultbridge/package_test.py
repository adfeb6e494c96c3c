"""Faultbridge's NuGet package: what it holds and says of itself, and a
consumer project that restores it from a local folder feed and builds.

  pytest package_test.py --project-version VERSION --nupkg NUPKG
      --built-dll DLL --consumer CONSUMER_SOURCE --work DIR
"""

import shutil
import subprocess
import xml.etree.ElementTree as ElementTree
import zipfile

import pytest

NUSPEC = "{http://schemas.microsoft.com/packaging/2012/06/nuspec.xsd}"
LIBRARY = ["lib/net472/Faultbridge.dll", "lib/net472/Faultbridge.xml"]


@pytest.fixture(scope="module")
def package(option) -> zipfile.ZipFile:
    with zipfile.ZipFile(option.nupkg) as package:
        yield package


def test_library_and_documentation_under_lib_net472(option, package):
    names = package.namelist()
    assert {"README.md", "Faultbridge.nuspec"} <= set(names)
    assert [name for name in names if name.startswith("lib/")] == LIBRARY
    assert package.read(LIBRARY[0]) == option.built_dll.read_bytes()


def test_metadata_a_consumer_expects(option, package):
    nuspec = ElementTree.fromstring(package.read("Faultbridge.nuspec"))
    metadata = nuspec.find(NUSPEC + "metadata")
    fields = {element.tag[len(NUSPEC) :]: element for element in metadata}
    assert (fields["id"].text, fields["version"].text) == (
        "Faultbridge",
        option.project_version,
    )
    licence = fields["license"]
    assert (licence.get("type"), licence.text) == ("expression", "MIT")
    assert fields["readme"].text == "README.md"
    for name in ("description", "releaseNotes", "authors"):
        assert (fields[name].text or "").strip(), name
    assert "CallUnmanagedFunction" in package.read("README.md").decode()


def dotnet(*arguments) -> subprocess.CompletedProcess:
    return subprocess.run(["dotnet", *arguments], capture_output=True, text=True)


def test_consumer_restores_it_from_a_folder_feed_and_builds(option):
    work = option.work
    shutil.rmtree(work, ignore_errors=True)
    feed, project, packages = work / "feed", work / "consumer", work / "packages"
    feed.mkdir(parents=True)
    shutil.copy(option.nupkg, feed)
    shutil.copytree(option.consumer, project)
    # Sources: the feed, and the machine's package folder for what the SDK
    # needs besides (the .NET Framework reference assemblies). The
    # consumer's own package folder is new, so no cached copy answers.
    listed = dotnet("nuget", "locals", "global-packages", "--list")
    assert listed.returncode == 0, listed.stderr
    machine = listed.stdout.split(":", 1)[1].strip()
    version = f"-p:FaultbridgeVersion={option.project_version}"
    restored = dotnet(
        "restore",
        project,
        "--source",
        feed,
        "--source",
        machine,
        "--packages",
        packages,
        version,
    )
    assert restored.returncode == 0, restored.stdout[-3000:]
    built = dotnet(
        "build",
        project,
        "--no-restore",
        "-c",
        "Release",
        "--nologo",
        "-o",
        work / "out",
        version,
    )
    assert built.returncode == 0, built.stdout[-3000:]
    consumed = (work / "out" / "Faultbridge.dll").read_bytes()
    assert consumed == option.built_dll.read_bytes()
    # Editors read the documentation beside the referenced library, in the
    # package folder.
    library = packages / "faultbridge" / option.project_version / "lib" / "net472"
    assert sorted(p.name for p in library.iterdir()) == [
        "Faultbridge.dll",
        "Faultbridge.xml",
    ]
