"""The release bundle: what is in it (bundle_checks.py), no signature in a
bundle built without a key, and the same bytes from further builds of the
same sources: unsigned in a second build folder, which says so in one
line; signed with a throwaway key (throwaway_pki.py) there and, with the
bundle's own command, from this build's files; and unsigned again there
once the key is gone. A pe32 build that fails there, signed or not,
leaves no bundle, not even the earlier one. The cases of the second
build run in the order written, each on what the one before built.

  pytest bundle_test.py --bundle ZIP --arguments FILE --source DIR
      --second-build DIR --project-version VERSION
"""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

import pytest
from bundle_checks import (
    SIGNED,
    BundleChecks,
    bundle_files,
    carries_signature,
    read_from,
)
from throwaway_pki import make_pki

SETTINGS = (
    "HEXALIFT_SIGNING_PFX",
    "HEXALIFT_SIGNING_PASSWORD",
    "HEXALIFT_SIGNING_TIMESTAMP_URL",
)


@pytest.fixture(scope="module")
def bundle(option) -> Path:
    return option.bundle


class TestBundle(BundleChecks):
    pass


@pytest.mark.parametrize("name", SIGNED)
def test_built_without_a_key_no_image_is_signed(bundle, name):
    assert not carries_signature(
        read_from(bundle, name)
    ), "the tests expect a build without HEXALIFT_SIGNING_PFX (scripts/test.sh unsets it)"


def environment(**settings) -> dict:
    """The caller's environment with these signing settings and no others."""
    kept = {name: value for name, value in os.environ.items() if name not in SETTINGS}
    return {**kept, **{name: str(value) for name, value in settings.items()}}


class SecondBuild:
    """The second build folder, configured once, and its bundle."""

    def __init__(self, option):
        self.folder = option.second_build
        self.bundle = self.folder / "release" / option.bundle.name
        subprocess.run(
            ["cmake", "-S", option.source, "-B", self.folder],
            check=True,
            stdout=subprocess.DEVNULL,
        )

    def build(self, **settings) -> subprocess.CompletedProcess:
        return subprocess.run(
            ["cmake", "--build", self.folder, "--target", "bundle", "-j2"],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            env=environment(**settings),
        )

    def build_bundle(self, **settings) -> list:
        """The lines of the build's output about the bundle."""
        done = self.build(**settings)
        assert done.returncode == 0, f"the second build failed:\n{done.stdout}"
        return [
            line
            for line in done.stdout.splitlines()
            if line.startswith(self.bundle.name)
        ]


@pytest.fixture(scope="module")
def second(option) -> SecondBuild:
    return SecondBuild(option)


@pytest.fixture(scope="module")
def key(second) -> dict:
    pki = make_pki(second.folder / "throwaway-keys")
    return {"HEXALIFT_SIGNING_PFX": pki.pfx, "HEXALIFT_SIGNING_PASSWORD": pki.password}


def digests(bundle: Path, version: str) -> dict:
    return {
        name: hashlib.sha256(read_from(bundle, name)).hexdigest()
        for name in bundle_files(version)
    }


def test_second_build_unsigned_gives_the_same_bytes(bundle, version, second):
    said = second.build_bundle()
    assert said == [f"{bundle.name}: not signed (HEXALIFT_SIGNING_PFX is not set)"]
    assert digests(second.bundle, version) == digests(bundle, version)
    assert second.bundle.read_bytes() == bundle.read_bytes()


def test_signed_twice_in_two_build_folders_gives_the_same_bytes(option, second, key):
    second.build_bundle(**key)
    assert carries_signature(read_from(second.bundle, "hexalift.exe"))
    from_first_build = second.folder / "signed-from-first-build" / second.bundle.name
    subprocess.run(
        [
            sys.executable,
            option.source / "release" / "make_bundle.py",
            f"@{option.arguments}",
            f"--output={from_first_build}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
        env=environment(**key),
    )
    assert from_first_build.read_bytes() == second.bundle.read_bytes()


def test_unsigned_again_once_the_key_is_gone(bundle, second):
    second.build_bundle()
    assert second.bundle.read_bytes() == bundle.read_bytes()


@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
def test_a_failed_pe32_build_leaves_no_bundle(second, key, signed):
    # hexalift.exe cannot be linked where a folder older than its objects stands.
    hexalift = second.folder / "pe32" / "bin" / "hexalift.exe"
    second.bundle.write_bytes(b"an earlier build's bundle")
    hexalift.unlink(missing_ok=True)
    hexalift.mkdir()
    os.utime(hexalift, (0, 0))
    try:
        done = second.build(**(key if signed else {}))
    finally:
        hexalift.rmdir()
    assert done.returncode != 0, "the pe32 build did not fail"
    assert "hexalift.exe" in done.stdout
    assert not second.bundle.exists(), "a bundle outlived the failed build"
