"""The release bundle signed with throwaway keys (throwaway_pki.py), made
by the bundle's own command (its arguments file) from the built files:
- every check of an unsigned bundle holds (bundle_checks.py), the sums
  over the signed bytes, and the simulated libraries carry no signature;
- each vendor image, and the library inside the package, verifies against
  the throwaway CA and against no other CA, with SHA-256 and the last
  commit's time as its signing time;
- one changed byte in a signed image fails its verification;
- with a time-stamping server (on the loopback interface) every signature
  carries a timestamp that verifies, and SOURCE_DATE_EPOCH is the signing time;
- without a key the bundle is unsigned and one line says so;
- a key or setting that cannot be used fails with a message that names it,
  and leaves no bundle, not even an earlier one.
It also puts the signed hexalift.exe beside the pe32 build's simulated
libraries in WORK/bin, where e2e.pe32.signed_both_differ runs it.

  signing_test.py BUNDLE_ARGUMENTS WORK PE32_BIN VERSION SOURCE_DIR
"""

import os
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

import pefile

from bundle_checks import SIGNED, BundleChecks, carries_signature, read_from
from throwaway_pki import TimestampServer, make_pki

ARGUMENTS, WORK, PE32_BIN = Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3])
VERSION, SOURCE = sys.argv[4], Path(sys.argv[5])
MAKE_BUNDLE = SOURCE / "scripts" / "make_bundle.py"
BUNDLE_NAME = f"hexalift-{VERSION}.zip"
PACKAGE_LIBRARY = "the library inside the package"
TIMESTAMP_VERIFIED = "Timestamp Server Signature verification: ok"
SETTINGS = ("HEXALIFT_SIGNING_PFX", "HEXALIFT_SIGNING_PASSWORD", "HEXALIFT_SIGNING_TIMESTAMP_URL",
            "SOURCE_DATE_EPOCH")


def make_bundle(output: Path, *more_arguments: str, cwd: Path | None = None,
                **settings) -> subprocess.CompletedProcess:
    """The bundle's command, with the given signing settings and none of
    the caller's."""
    environment = {name: value for name, value in os.environ.items() if name not in SETTINGS}
    environment.update({name: str(value) for name, value in settings.items()})
    return subprocess.run([sys.executable, str(MAKE_BUNDLE), f"@{ARGUMENTS}", f"--output={output}", *more_arguments],
                          env=environment, capture_output=True, text=True, cwd=cwd)


def key(pki) -> dict:
    return {"HEXALIFT_SIGNING_PFX": pki.pfx, "HEXALIFT_SIGNING_PASSWORD": pki.password}


def verify(image: bytes, ca: Path, *options: str) -> tuple[bool, str]:
    """osslsigncode's verdict on an image, against the given CA only."""
    path = WORK / "verify" / "image"
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(image)
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), *options, "-in", str(path)],
                          capture_output=True, text=True)
    return done.returncode == 0, done.stdout + done.stderr


def signing_time(report: str) -> str:
    """The signing time that the signature's authenticated attributes hold
    (its first mention in osslsigncode's report)."""
    return next(line.split(":", 1)[1].strip() for line in report.splitlines() if "Signing time:" in line)


def as_printed(seconds: int) -> str:
    return time.strftime("%b %e %H:%M:%S %Y GMT", time.gmtime(seconds))


def built_files() -> dict:
    """What the build made, by name in the bundle, from the bundle's arguments."""
    lines = ARGUMENTS.read_text().splitlines()
    return dict(line.split("=", 1) for line in lines if "=" in line and not line.startswith("--"))


def without_signature(image: bytes) -> bytes:
    """The image as osslsigncode leaves it once the signature is removed,
    with its PE checksum (which signing sets) as zero."""
    signed, unsigned = WORK / "verify" / "signed", WORK / "verify" / "unsigned"
    signed.parent.mkdir(exist_ok=True)
    signed.write_bytes(image)
    unsigned.unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed), "-out", str(unsigned)],
                   check=True, capture_output=True)
    return without_checksum(unsigned.read_bytes())


def without_checksum(image: bytes) -> bytes:
    at = int.from_bytes(image[0x3C:0x40], "little") + 4 + 20 + 64   # PE signature, file header, 64 bytes in
    return image[:at] + bytes(4) + image[at + 4:]


def with_byte_changed(image: bytes) -> bytes:
    """The byte halfway between the image's start and its signature."""
    header = pefile.PE(data=image, fast_load=True).OPTIONAL_HEADER
    at = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].VirtualAddress // 2
    changed = bytearray(image)
    changed[at] ^= 0x01
    return bytes(changed)


def setUpModule():
    global PKI, SIGNED_BUNDLE, SIGNED_OUTPUT
    shutil.rmtree(WORK, ignore_errors=True)
    PKI = make_pki(WORK / "pki")
    SIGNED_BUNDLE = WORK / "signed" / BUNDLE_NAME
    done = make_bundle(SIGNED_BUNDLE, **key(PKI))
    if done.returncode != 0:
        raise RuntimeError(f"the signed bundle was not made:\n{done.stdout}{done.stderr}")
    SIGNED_OUTPUT = done.stdout
    # The signed program beside the simulated module, for the scenario.
    (WORK / "bin").mkdir()
    (WORK / "bin" / "hexalift.exe").write_bytes(read_from(SIGNED_BUNDLE, "hexalift.exe"))
    (WORK / "bin" / "simulator").symlink_to(PE32_BIN / "simulator")


class SignedBundle(BundleChecks, unittest.TestCase):
    bundle = WORK / "signed" / BUNDLE_NAME
    version = VERSION

    def signed_images(self) -> dict:
        images = {name: self.read(name) for name in SIGNED}
        images[PACKAGE_LIBRARY] = self.package_library()
        return images

    def test_vendor_images_verify_against_the_throwaway_ca_only(self):
        for name, image in self.signed_images().items():
            for ca, verifies in ((PKI.ca, True), (PKI.other_ca, False)):
                with self.subTest(name, ca=ca.name):
                    verified, report = verify(image, ca)
                    self.assertEqual(verified, verifies, report)

    def test_each_signed_image_is_the_built_one_with_a_signature(self):
        built = built_files()
        for name in SIGNED:
            with self.subTest(name):
                same = without_signature(self.read(name)) == without_checksum(Path(built[name]).read_bytes())
                self.assertTrue(same, f"without its signature, not the same bytes as {built[name]}")

    def test_signatures_use_sha256_and_the_last_commits_time(self):
        commit_time = int(subprocess.run(["git", "-C", str(SOURCE), "log", "-1", "--format=%ct"],
                                         capture_output=True, text=True, check=True).stdout)
        for name, image in self.signed_images().items():
            with self.subTest(name):
                _, report = verify(image, PKI.ca)
                self.assertRegex(report, r"Message digest algorithm\s*: SHA256")
                self.assertEqual(signing_time(report), as_printed(commit_time))

    def test_one_changed_byte_fails_verification(self):
        for name, image in self.signed_images().items():
            with self.subTest(name):
                verified, report = verify(with_byte_changed(image), PKI.ca)
                self.assertFalse(verified, report)

    def test_build_says_in_one_line_what_it_signed(self):
        lines = SIGNED_OUTPUT.splitlines()
        self.assertEqual(len(lines), 1, SIGNED_OUTPUT)
        for words in [*SIGNED, str(PKI.pfx), "the last commit"]:
            self.assertIn(words, lines[0])


class Timestamped(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bundle = WORK / "timestamped" / BUNDLE_NAME
        # Made as by hand: the output named relative to the working folder.
        with TimestampServer(PKI) as server:
            done = make_bundle(cls.bundle.relative_to(WORK), cwd=WORK, HEXALIFT_SIGNING_TIMESTAMP_URL=server.url,
                               SOURCE_DATE_EPOCH=1700000000, **key(PKI))
        if done.returncode != 0:
            raise RuntimeError(f"the timestamped bundle was not made:\n{done.stdout}{done.stderr}")
        cls.images = {name: read_from(cls.bundle, name) for name in SIGNED}

    def test_each_signature_carries_a_timestamp_that_verifies(self):
        for name, image in self.images.items():
            for ca, verifies in ((PKI.ca, True), (PKI.other_ca, False)):
                with self.subTest(name, time_stamping_ca=ca.name):
                    _, report = verify(image, PKI.ca, "-TSA-CAfile", str(ca))
                    self.assertEqual(TIMESTAMP_VERIFIED in report, verifies, report)

    def test_source_date_epoch_is_the_signing_time(self):
        for name, image in self.images.items():
            with self.subTest(name):
                _, report = verify(image, PKI.ca, "-TSA-CAfile", str(PKI.ca))
                self.assertEqual(signing_time(report), as_printed(1700000000))


class WithoutKey(unittest.TestCase):
    def test_bundle_is_unsigned_and_one_line_says_so(self):
        bundle = WORK / "unsigned" / BUNDLE_NAME
        done = make_bundle(bundle)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, f"{BUNDLE_NAME}: not signed (HEXALIFT_SIGNING_PFX is not set)\n")
        for name in SIGNED:
            with self.subTest(name):
                self.assertFalse(carries_signature(read_from(bundle, name)))


class UnusableSettings(unittest.TestCase):
    def test_build_fails_naming_the_setting_and_leaves_no_bundle(self):
        not_a_checkout = WORK / "not-a-checkout"
        not_a_checkout.mkdir(exist_ok=True)
        password = {"HEXALIFT_SIGNING_PASSWORD": PKI.password}
        rows = [  # what is wrong, settings, more arguments, what the message says
            ("no such key file", {"HEXALIFT_SIGNING_PFX": WORK / "absent.pfx", **password}, [],
             f"cannot read the key HEXALIFT_SIGNING_PFX={WORK / 'absent.pfx'}: No such file or directory"),
            ("a folder as the key", {"HEXALIFT_SIGNING_PFX": WORK, **password}, [],
             f"cannot read the key HEXALIFT_SIGNING_PFX={WORK}: Is a directory"),
            ("a wrong password", {**key(PKI), "HEXALIFT_SIGNING_PASSWORD": "wrong"}, [],
             "cannot be opened with HEXALIFT_SIGNING_PASSWORD: the password is wrong"),
            ("a certificate as the key", {"HEXALIFT_SIGNING_PFX": PKI.ca, **password}, [],
             "or the file is not a PKCS#12 file"),
            ("no password", {"HEXALIFT_SIGNING_PFX": PKI.pfx}, [],
             "HEXALIFT_SIGNING_PFX is set but HEXALIFT_SIGNING_PASSWORD is not"),
            ("a time-stamping server that does not answer",
             {**key(PKI), "HEXALIFT_SIGNING_TIMESTAMP_URL": "http://127.0.0.1:1/"}, [],
             "the time-stamping server HEXALIFT_SIGNING_TIMESTAMP_URL=http://127.0.0.1:1/ gave no timestamp"),
            ("a signing time that is not a number", {**key(PKI), "SOURCE_DATE_EPOCH": "yesterday"}, [],
             "SOURCE_DATE_EPOCH='yesterday' is not a time in seconds since 1970"),
            ("no commit and no SOURCE_DATE_EPOCH", key(PKI), [f"--source={not_a_checkout}"],
             "is not a git checkout with a commit; set SOURCE_DATE_EPOCH"),
        ]
        for what, settings, more, message in rows:
            with self.subTest(what):
                folder = WORK / "unusable" / what.replace(" ", "-")
                folder.mkdir(parents=True)
                bundle = folder / BUNDLE_NAME
                bundle.write_bytes(b"an earlier build's bundle")
                done = make_bundle(bundle, *more, **settings)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(f"{BUNDLE_NAME} not made: ", done.stderr)
                self.assertIn(message, done.stderr)
                self.assertEqual(list(folder.iterdir()), [], "nothing left where the bundle goes")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
