"""The release bundle: what is in it (bundle_checks.py), no signature in a
bundle built without a key, and the same bytes from further builds of the
same sources: unsigned in a second build folder, which says so in one
line; signed with a throwaway key (throwaway_pki.py) there and, with the
bundle's own command, from this build's files; and unsigned again there
once the key is gone. A pe32 build that fails there, signed or not,
leaves no bundle, not even the earlier one.

  bundle_test.py BUNDLE.zip BUNDLE_ARGUMENTS SOURCE_DIR SECOND_BUILD_DIR VERSION
"""

import os
import subprocess
import sys
import unittest
from pathlib import Path

from bundle_checks import (
    SIGNED,
    BundleChecks,
    bundle_files,
    carries_signature,
    read_from,
)
from throwaway_pki import make_pki

BUNDLE, ARGUMENTS, SOURCE, SECOND_BUILD = (Path(argument) for argument in sys.argv[1:5])
VERSION = sys.argv[5]  # the project's, as the build made it
SETTINGS = (
    "HEXALIFT_SIGNING_PFX",
    "HEXALIFT_SIGNING_PASSWORD",
    "HEXALIFT_SIGNING_TIMESTAMP_URL",
)


def environment(**settings) -> dict:
    """The caller's environment with these signing settings and no others."""
    kept = {name: value for name, value in os.environ.items() if name not in SETTINGS}
    return {**kept, **{name: str(value) for name, value in settings.items()}}


def build_second(**settings) -> subprocess.CompletedProcess:
    return subprocess.run(
        [
            "cmake",
            "--build",
            str(SECOND_BUILD),
            "--target",
            "bundle",
            "-j2",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=environment(**settings),
    )


def build_second_bundle(**settings) -> tuple[bytes, list]:
    """The bundle's bytes, and the lines of the build's output about it."""
    done = build_second(**settings)
    if done.returncode != 0:
        raise RuntimeError(f"the second build failed:\n{done.stdout}")
    said = [line for line in done.stdout.splitlines() if line.startswith(BUNDLE.name)]
    return (SECOND_BUILD / "release" / BUNDLE.name).read_bytes(), said


class Bundle(BundleChecks, unittest.TestCase):
    bundle = BUNDLE
    version = VERSION

    def test_built_without_a_key_no_image_is_signed(self):
        for name in SIGNED:
            with self.subTest(name):
                self.assertFalse(
                    carries_signature(self.read(name)),
                    "the tests expect a build without HEXALIFT_SIGNING_PFX (scripts/test.sh unsets it)",
                )


class SecondBuild(unittest.TestCase):
    def test_same_bytes_unsigned_signed_and_unsigned_again(self):
        subprocess.run(
            ["cmake", "-S", str(SOURCE), "-B", str(SECOND_BUILD)],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        unsigned, said = build_second_bundle()
        self.assertEqual(
            said, [f"{BUNDLE.name}: not signed (HEXALIFT_SIGNING_PFX is not set)"]
        )
        second = SECOND_BUILD / "release" / BUNDLE.name
        for name in bundle_files(VERSION):
            self.assertEqual(read_from(second, name), read_from(BUNDLE, name), name)
        self.assertEqual(unsigned, BUNDLE.read_bytes())

        pki = make_pki(SECOND_BUILD / "throwaway-keys")
        key = {
            "HEXALIFT_SIGNING_PFX": pki.pfx,
            "HEXALIFT_SIGNING_PASSWORD": pki.password,
        }
        signed, _ = build_second_bundle(**key)
        self.assertTrue(carries_signature(read_from(second, "hexalift.exe")))
        from_first_build = SECOND_BUILD / "signed-from-first-build" / BUNDLE.name
        subprocess.run(
            [
                sys.executable,
                str(SOURCE / "release" / "make_bundle.py"),
                f"@{ARGUMENTS}",
                f"--output={from_first_build}",
            ],
            check=True,
            stdout=subprocess.DEVNULL,
            env=environment(**key),
        )
        self.assertEqual(
            from_first_build.read_bytes(), signed, "signed twice, in two build folders"
        )

        self.assertEqual(
            build_second_bundle()[0],
            BUNDLE.read_bytes(),
            "unsigned again once the key is gone",
        )

        # hexalift.exe cannot be linked where a folder older than its objects stands.
        hexalift = SECOND_BUILD / "pe32" / "bin" / "hexalift.exe"
        for what, settings in (("unsigned", {}), ("signed", key)):
            with self.subTest(what):
                second.write_bytes(b"an earlier build's bundle")
                hexalift.unlink(missing_ok=True)
                hexalift.mkdir()
                os.utime(hexalift, (0, 0))
                try:
                    done = build_second(**settings)
                finally:
                    hexalift.rmdir()
                self.assertNotEqual(done.returncode, 0, "the pe32 build did not fail")
                self.assertIn("hexalift.exe", done.stdout)
                self.assertFalse(second.exists(), "a bundle outlived the failed build")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
