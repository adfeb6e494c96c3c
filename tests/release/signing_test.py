"""The release bundle signed with throwaway keys (throwaway_pki.py) by the
bundle's own command (its arguments file) from the built files: every
check of a bundle holds (bundle_checks.py); each vendor image, and the
library inside the package, is the built one with a signature that
verifies against the throwaway CA and no other, with SHA-256 and the
fixed signing time, and fails once a byte changes; a build without a
time-stamping server says in one line that the signatures end with the
certificate, and a timestamp from a server verifies; a key without a
password signs, as does one whose password comes from a file; the pack
command (a stand-in dotnet) sees none of the key's variables; a key or
setting that cannot be used fails the build, names it, and leaves no
bundle. It also puts the signed hexalift.exe (and the signed imagetool.exe,
which reads its log) beside the pe32 build's simulated libraries in WORK/bin,
where e2e.pe32.signed_both_differ runs it.

  signing_test.py BUNDLE_ARGUMENTS WORK PE32_BIN VERSION SOURCE_DIR
"""

import os
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path
from unittest import mock

import pefile

from bundle_checks import SIGNED, BundleChecks, read_from
from throwaway_pki import TimestampServer, make_pki, openssl

ARGUMENTS, WORK, PE32_BIN = Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3])
VERSION, SOURCE = sys.argv[4], Path(sys.argv[5])
BUNDLE = f"hexalift-{VERSION}.zip"
IN_PACKAGE = "the library inside the package"
NOT_TIMESTAMPED = (
    f"{BUNDLE}: warning: not timestamped (HEXALIFT_SIGNING_TIMESTAMP_URL is not set)"
)


def make_bundle(
    output: Path, *more: str, cwd=None, arguments=ARGUMENTS, **settings
) -> subprocess.CompletedProcess:
    """The bundle's command with these signing settings and none of the caller's."""
    environment = {
        name: value
        for name, value in os.environ.items()
        if not name.startswith("HEXALIFT_SIGNING_") and name != "SOURCE_DATE_EPOCH"
    }
    environment.update({name: str(value) for name, value in settings.items()})
    return subprocess.run(
        [
            sys.executable,
            str(SOURCE / "release" / "make_bundle.py"),
            f"@{arguments}",
            f"--output={output}",
            *more,
        ],
        env=environment,
        capture_output=True,
        text=True,
        cwd=cwd,
    )


def made(done: subprocess.CompletedProcess) -> list:
    """The lines the bundle step printed about the bundle."""
    if done.returncode != 0:
        raise RuntimeError(
            f"the signed bundle was not made:\n{done.stdout}{done.stderr}"
        )
    return [line for line in done.stdout.splitlines() if line.startswith(BUNDLE)]


def osslsigncode(image: bytes, *arguments: str) -> subprocess.CompletedProcess:
    """osslsigncode on a copy of the image in WORK/image, its output in WORK/out."""
    (WORK / "image").write_bytes(image)
    (WORK / "out").unlink(missing_ok=True)
    return subprocess.run(
        ["osslsigncode", *arguments, "-in", str(WORK / "image")],
        capture_output=True,
        text=True,
    )


def verify(image: bytes, ca: Path, *more: str) -> tuple[bool, str]:
    """The verdict against the given CA only, and the report."""
    done = osslsigncode(image, "verify", "-CAfile", str(ca), *more)
    return done.returncode == 0, done.stdout + done.stderr


def signing_time(report: str) -> str:
    """The time in the signature's authenticated attributes: its first mention."""
    return next(
        line.split(":", 1)[1].strip()
        for line in report.splitlines()
        if "Signing time:" in line
    )


def as_printed(seconds: int) -> str:
    return time.strftime("%b %e %H:%M:%S %Y GMT", time.gmtime(seconds))


def checksum_at(image: bytes) -> int:
    """The PE checksum's offset: signing sets it, and the signature leaves it out."""
    return int.from_bytes(image[0x3C:0x40], "little") + 4 + 20 + 64


def without_checksum(image: bytes) -> bytes:
    at = checksum_at(image)
    return image[:at] + bytes(4) + image[at + 4 :]


def with_byte_changed(image: bytes) -> bytes:
    """The byte halfway between the image's start and its signature."""
    table = pefile.PE(data=image, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[
        4
    ]  # the certificate table
    changed = bytearray(image)
    changed[table.VirtualAddress // 2] ^= 0x01
    return bytes(changed)


def setUpModule():
    global PKI, SAID
    shutil.rmtree(WORK, ignore_errors=True)
    PKI = make_pki(WORK / "pki")
    SAID = made(
        make_bundle(
            WORK / "signed" / BUNDLE,
            HEXALIFT_SIGNING_PFX=PKI.pfx,
            HEXALIFT_SIGNING_PASSWORD=PKI.password,
        )
    )
    (WORK / "bin").mkdir()
    (WORK / "bin" / "hexalift.exe").write_bytes(
        read_from(WORK / "signed" / BUNDLE, "hexalift.exe")
    )
    (WORK / "bin" / "imagetool.exe").write_bytes(
        read_from(WORK / "signed" / BUNDLE, "tools/imagetool.exe")
    )
    (WORK / "bin" / "simulator").symlink_to(PE32_BIN / "simulator")


class SignedBundle(BundleChecks, unittest.TestCase):
    bundle = WORK / "signed" / BUNDLE
    version = VERSION

    def signed_images(self) -> dict:
        return {
            **{name: self.read(name) for name in SIGNED},
            IN_PACKAGE: self.package_library(),
        }

    def test_each_signed_image_is_the_built_one_with_a_signature(self):
        built = dict(
            line.split("=", 1)
            for line in ARGUMENTS.read_text().splitlines()
            if "=" in line and not line.startswith("--")
        )
        for name in SIGNED:
            with self.subTest(name):
                osslsigncode(
                    self.read(name), "remove-signature", "-out", str(WORK / "out")
                )
                same = without_checksum(
                    (WORK / "out").read_bytes()
                ) == without_checksum(Path(built[name]).read_bytes())
                self.assertTrue(
                    same, f"without its signature, not the same bytes as {built[name]}"
                )

    def test_signatures_verify_against_the_throwaway_ca_only_and_not_once_changed(self):
        commit_time = subprocess.run(
            ["git", "-C", str(SOURCE), "log", "-1", "--format=%ct"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        for name, image in self.signed_images().items():
            with self.subTest(name):
                verified, report = verify(image, PKI.ca)
                self.assertTrue(verified, report)
                self.assertRegex(report, r"Message digest algorithm\s*: SHA256")
                self.assertEqual(signing_time(report), as_printed(int(commit_time)))
                self.assertFalse(
                    verify(image, PKI.other_ca)[0], "verified against another CA"
                )
                self.assertFalse(
                    verify(with_byte_changed(image), PKI.ca)[0],
                    "verified with a byte changed",
                )

    def test_without_a_time_stamping_server_the_build_says_so_in_one_line(self):
        self.assertEqual(
            [line for line in SAID if line.startswith(NOT_TIMESTAMPED)],
            [
                NOT_TIMESTAMPED + ": Windows "
                "stops trusting its signatures when the certificate expires"
            ],
            SAID,
        )


class Timestamped(unittest.TestCase):
    def test_each_signature_carries_a_timestamp_that_verifies(self):
        bundle = WORK / "timestamped" / BUNDLE
        with TimestampServer(PKI) as server:
            # As by hand: the output relative to the working folder.
            said = made(
                make_bundle(
                    bundle.relative_to(WORK),
                    cwd=WORK,
                    HEXALIFT_SIGNING_TIMESTAMP_URL=server.url,
                    SOURCE_DATE_EPOCH=1700000000,
                    HEXALIFT_SIGNING_PFX=PKI.pfx,
                    HEXALIFT_SIGNING_PASSWORD=PKI.password,
                )
            )
        self.assertFalse(
            [line for line in said if line.startswith(NOT_TIMESTAMPED)], said
        )
        verified = "Timestamp Server Signature verification: ok"
        for name in SIGNED:
            with self.subTest(name):
                signature_verified, report = verify(
                    read_from(bundle, name), PKI.ca, "-TSA-CAfile", str(PKI.ca)
                )
                self.assertTrue(signature_verified, report)
                self.assertIn(verified, report)
                self.assertEqual(signing_time(report), as_printed(1700000000))
                _, report = verify(
                    read_from(bundle, name), PKI.ca, "-TSA-CAfile", str(PKI.other_ca)
                )
                self.assertNotIn(verified, report)


class Keys(unittest.TestCase):
    def test_a_key_without_a_password_and_a_password_from_a_file_sign(self):
        (WORK / "password").write_text(PKI.password + "\n")  # as echo writes it
        (WORK / "empty").write_text("\n")
        rows = [  # what, settings
            (
                "no password",
                {
                    "HEXALIFT_SIGNING_PFX": PKI.pfx_without_password,
                    "HEXALIFT_SIGNING_PASSWORD": "",
                },
            ),
            (
                "no password from a file",
                {
                    "HEXALIFT_SIGNING_PFX": PKI.pfx_without_password,
                    "HEXALIFT_SIGNING_PASSWORD_FILE": WORK / "empty",
                },
            ),
            (
                "the password from a file",
                {
                    "HEXALIFT_SIGNING_PFX": PKI.pfx,
                    "HEXALIFT_SIGNING_PASSWORD_FILE": WORK / "password",
                },
            ),
        ]
        for what, settings in rows:
            with self.subTest(what):
                bundle = WORK / "keys" / what.replace(" ", "-") / BUNDLE
                made(make_bundle(bundle, **settings))
                self.assertTrue(verify(read_from(bundle, "hexalift.exe"), PKI.ca)[0])

    def test_the_pack_command_sees_none_of_the_keys_variables(self):
        stand_in = WORK / "stand-in"
        stand_in.mkdir()
        (stand_in / "dotnet").write_text(
            f"#!/bin/sh\nenv > {stand_in / 'environment'}\nexit 1\n"
        )
        (stand_in / "dotnet").chmod(0o755)
        arguments = WORK / "arguments-with-stand-in.txt"
        lines = [
            line
            for line in ARGUMENTS.read_text().splitlines()
            if not line.startswith("--pack-command=")
        ]
        arguments.write_text("\n".join(lines + ["--pack-command=dotnet"]) + "\n")
        with mock.patch.dict(os.environ, {"PATH": f"{stand_in}:{os.environ['PATH']}"}):
            done = make_bundle(
                WORK / "stand-in" / BUNDLE,
                arguments=arguments,
                HEXALIFT_SIGNING_PFX=PKI.pfx,
                HEXALIFT_SIGNING_PASSWORD=PKI.password,
                HEXALIFT_SIGNING_EXTRA="more",
            )
        self.assertIn(
            "cannot pack", done.stderr
        )  # the stand-in ran, and failed as it should
        seen = (stand_in / "environment").read_text()
        self.assertIn("PATH=", seen)
        self.assertNotIn("HEXALIFT_SIGNING_", seen)
        self.assertNotIn(PKI.password, seen)


class UnusableSettings(unittest.TestCase):
    def test_build_fails_naming_the_setting_and_leaves_no_bundle(self):
        (WORK / "not-a-checkout").mkdir()
        openssl(
            PKI.folder,
            "pkcs12",
            "-export",
            "-nokeys",
            "-in",
            "signer.crt",
            "-passout",
            f"pass:{PKI.password}",
            "-out",
            "certificate-only.pfx",
        )
        key = {
            "HEXALIFT_SIGNING_PFX": PKI.pfx,
            "HEXALIFT_SIGNING_PASSWORD": PKI.password,
        }
        with TimestampServer(PKI, answers=1) as stops:
            rows = [  # what is wrong, settings, more arguments, what the message says
                (
                    "no such key file",
                    {**key, "HEXALIFT_SIGNING_PFX": WORK / "absent.pfx"},
                    [],
                    f"cannot read the key HEXALIFT_SIGNING_PFX={WORK / 'absent.pfx'}: No such file or directory",
                ),
                (
                    "a wrong password",
                    {**key, "HEXALIFT_SIGNING_PASSWORD": "wrong"},
                    [],
                    "cannot be opened with HEXALIFT_SIGNING_PASSWORD: the password is wrong",
                ),
                (
                    "no password",
                    {"HEXALIFT_SIGNING_PFX": PKI.pfx},
                    [],
                    "HEXALIFT_SIGNING_PFX is set: set one of HEXALIFT_SIGNING_PASSWORD_FILE and HEXALIFT_SIGNING_PASS",
                ),
                (
                    "no password file",
                    {
                        "HEXALIFT_SIGNING_PFX": PKI.pfx,
                        "HEXALIFT_SIGNING_PASSWORD_FILE": WORK / "none",
                    },
                    [],
                    f"cannot read the password file HEXALIFT_SIGNING_PASSWORD_FILE={WORK / 'none'}: No such file",
                ),
                (
                    "a key file without the key",
                    {
                        **key,
                        "HEXALIFT_SIGNING_PFX": PKI.folder / "certificate-only.pfx",
                    },
                    [],
                    "osslsigncode failed\nosslsigncode said: ",
                ),
                (
                    "a time-stamping server that stops after the first image",
                    {**key, "HEXALIFT_SIGNING_TIMESTAMP_URL": stops.url},
                    [],
                    f"cannot sign imagetool.exe: the time-stamping server HEXALIFT_SIGNING_TIMESTAMP_URL={stops.url}",
                ),
                (
                    "no commit and no SOURCE_DATE_EPOCH",
                    key,
                    [f"--source={WORK / 'not-a-checkout'}"],
                    "is not a git checkout with a commit; set SOURCE_DATE_EPOCH",
                ),
            ]
            for what, settings, more, message in rows:
                with self.subTest(what):
                    folder = WORK / "unusable" / what.replace(" ", "-")
                    folder.mkdir(parents=True)
                    (folder / BUNDLE).write_bytes(b"an earlier build's bundle")
                    done = make_bundle(folder / BUNDLE, *more, **settings)
                    self.assertNotEqual(done.returncode, 0)
                    self.assertIn(f"{BUNDLE} not made: ", done.stderr)
                    self.assertIn(message, done.stderr)
                    if (
                        what == "a key file without the key"
                    ):  # all of osslsigncode's words, down to its last
                        self.assertRegex(
                            done.stderr, r"(?m)^osslsigncode said: Failed$"
                        )
                    self.assertEqual(
                        list(folder.iterdir()), [], "nothing left where the bundle goes"
                    )


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
