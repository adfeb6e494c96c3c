"""The release bundle signed with throwaway keys (throwaway_pki.py) by the
bundle's own command (its arguments file) from the built files: every
check of a bundle holds (bundle_checks.py); each vendor image, and the
library inside the package, is the built one with a signature that
verifies against the throwaway CA and no other, with SHA-256 and the
fixed signing time, and fails once a byte changes; a build without a
time-stamping server says in one line that the signatures end with the
certificate, and a timestamp from a server verifies; a key without a
password signs, as does one whose password comes from a file; the pack
command (dotnet_stand_in.sh) sees none of the key's variables; a key or
setting that cannot be used fails the build, names it, and leaves no
bundle. It also puts the signed hexalift.exe (and the signed imagetool.exe,
which reads its log) beside the pe32 build's simulated libraries in WORK/bin,
where e2e.pe32.signed_both_differ runs it.

  pytest signing_test.py --arguments FILE --work DIR --pe32-bin DIR
      --project-version VERSION --source DIR
"""

import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pefile
import pytest
from bundle_checks import SIGNED, BundleChecks, package_library, read_from
from throwaway_pki import TimestampServer, make_pki

IN_PACKAGE = "the library inside the package"
STAND_IN = Path(__file__).parent / "dotnet_stand_in.sh"
NOT_TIMESTAMPED = (
    ": warning: not timestamped (HEXALIFT_SIGNING_TIMESTAMP_URL is not set)"
)
PASSWORD_FILE = "HEXALIFT_SIGNING_PASSWORD_FILE"
# The signing settings of the tables below; "{...}" names a file of the
# keys or of WORK (the places fixture).
KEY = {"HEXALIFT_SIGNING_PFX": "{pfx}", "HEXALIFT_SIGNING_PASSWORD": "{password}"}
WITHOUT_PASSWORD = {"HEXALIFT_SIGNING_PFX": "{pfx_without_password}"}
USABLE = {
    "no password": {**WITHOUT_PASSWORD, "HEXALIFT_SIGNING_PASSWORD": ""},
    "no password from a file": {**WITHOUT_PASSWORD, PASSWORD_FILE: "{work}/empty"},
    "the password from a file": {
        "HEXALIFT_SIGNING_PFX": "{pfx}",
        PASSWORD_FILE: "{work}/password",
    },
}
UNUSABLE = {  # what is wrong: settings, more arguments, what the build says
    "no such key file": (
        {**KEY, "HEXALIFT_SIGNING_PFX": "{work}/absent.pfx"},
        [],
        [
            "cannot read the key HEXALIFT_SIGNING_PFX={work}/absent.pfx: "
            "No such file or directory"
        ],
    ),
    "a wrong password": (
        {**KEY, "HEXALIFT_SIGNING_PASSWORD": "wrong"},
        [],
        ["cannot be opened with HEXALIFT_SIGNING_PASSWORD: the password is wrong"],
    ),
    "no password": (
        {"HEXALIFT_SIGNING_PFX": "{pfx}"},
        [],
        [
            "HEXALIFT_SIGNING_PFX is set: set one of "
            "HEXALIFT_SIGNING_PASSWORD_FILE and HEXALIFT_SIGNING_PASS"
        ],
    ),
    "no password file": (
        {"HEXALIFT_SIGNING_PFX": "{pfx}", PASSWORD_FILE: "{work}/none"},
        [],
        [
            "cannot read the password file "
            "HEXALIFT_SIGNING_PASSWORD_FILE={work}/none: No such file"
        ],
    ),
    "a key file without the key": (  # all of osslsigncode's words, to its last
        {**KEY, "HEXALIFT_SIGNING_PFX": "{certificate_only}"},
        [],
        ["osslsigncode failed\nosslsigncode said: ", "\nosslsigncode said: Failed\n"],
    ),
    "a time-stamping server that stops after the first image": (
        {**KEY, "HEXALIFT_SIGNING_TIMESTAMP_URL": "{stops}"},
        [],
        [
            "cannot sign imagetool.exe: the time-stamping server "
            "HEXALIFT_SIGNING_TIMESTAMP_URL={stops}"
        ],
    ),
    "no commit and no SOURCE_DATE_EPOCH": (
        KEY,
        ["--source={work}/not-a-checkout"],
        ["is not a git checkout with a commit; set SOURCE_DATE_EPOCH"],
    ),
}


def filled(settings: dict, places: dict) -> dict:
    return {name: value.format(**places) for name, value in settings.items()}


@pytest.fixture(scope="module")
def work(option) -> Path:
    shutil.rmtree(option.work, ignore_errors=True)
    option.work.mkdir(parents=True)
    return option.work


@pytest.fixture(scope="module")
def pki(work):
    return make_pki(work / "pki")


@pytest.fixture(scope="module")
def zip_name(version) -> str:
    return f"hexalift-{version}.zip"


@pytest.fixture(scope="module")
def make_bundle(option, zip_name):
    def make(output, *more, cwd=None, arguments=option.arguments, **settings):
        """The bundle's command with these signing settings and none of the
        caller's, and the lines it printed about the bundle."""
        environment = {
            key: value
            for key, value in os.environ.items()
            if not key.startswith("HEXALIFT_SIGNING_") and key != "SOURCE_DATE_EPOCH"
        }
        environment.update({key: str(value) for key, value in settings.items()})
        return subprocess.run(
            [
                sys.executable,
                option.source / "release" / "make_bundle.py",
                f"@{arguments}",
                f"--output={output}",
                *more,
            ],
            env=environment,
            capture_output=True,
            text=True,
            cwd=cwd,
        )

    return make


def made(done: subprocess.CompletedProcess, zip_name: str) -> list:
    """The lines the bundle step printed about the bundle."""
    assert done.returncode == 0, f"not made:\n{done.stdout}{done.stderr}"
    return [line for line in done.stdout.splitlines() if line.startswith(zip_name)]


@pytest.fixture(scope="module")
def said(option, work, pki, zip_name, make_bundle) -> list:
    """Signs the bundle, lays out WORK/bin, and gives what the build said."""
    bundle = work / "signed" / zip_name
    done = make_bundle(bundle, **filled(KEY, vars(pki)))
    said = made(done, zip_name)
    (work / "bin").mkdir()
    for image in ("hexalift.exe", "tools/imagetool.exe"):
        (work / "bin" / Path(image).name).write_bytes(read_from(bundle, image))
    (work / "bin" / "simulator").symlink_to(option.pe32_bin / "simulator")
    return said


@pytest.fixture(scope="module")
def bundle(work, zip_name, said) -> Path:
    return work / "signed" / zip_name


def osslsigncode(work, image: bytes, *arguments) -> subprocess.CompletedProcess:
    """osslsigncode on a copy of the image in WORK/image."""
    (work / "image").write_bytes(image)
    return subprocess.run(
        ["osslsigncode", *arguments, "-in", work / "image"],
        capture_output=True,
        text=True,
    )


def verify(work, image: bytes, ca: Path, *more) -> tuple[bool, str]:
    """The verdict against the given CA only, and the report."""
    done = osslsigncode(work, image, "verify", "-CAfile", ca, *more)
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


def without_checksum(image: bytes) -> bytes:
    """The image with its PE checksum zeroed: signing sets it, and the
    signature leaves it out."""
    at = int.from_bytes(image[0x3C:0x40], "little") + 4 + 20 + 64
    return image[:at] + bytes(4) + image[at + 4 :]


def with_byte_changed(image: bytes) -> bytes:
    """The byte halfway between the image's start and its signature."""
    headers = pefile.PE(data=image, fast_load=True).OPTIONAL_HEADER
    table = headers.DATA_DIRECTORY[4]  # the certificate table
    changed = bytearray(image)
    changed[table.VirtualAddress // 2] ^= 0x01
    return bytes(changed)


class TestSignedBundle(BundleChecks):
    pass


@pytest.mark.parametrize("image", SIGNED)
def test_each_signed_image_is_the_built_one_with_a_signature(
    option, work, bundle, image
):
    built = dict(
        line.split("=", 1)
        for line in option.arguments.read_text().splitlines()
        if "=" in line and not line.startswith("--")
    )
    out = work / "out"
    out.unlink(missing_ok=True)
    osslsigncode(work, read_from(bundle, image), "remove-signature", "-out", out)
    unsigned = without_checksum(out.read_bytes())
    assert unsigned == without_checksum(Path(built[image]).read_bytes())


@pytest.mark.parametrize("image", SIGNED + [IN_PACKAGE])
def test_signatures_verify_against_the_throwaway_ca_only_and_not_once_changed(
    option, work, pki, bundle, version, image
):
    if image == IN_PACKAGE:
        data = package_library(bundle, version)
    else:
        data = read_from(bundle, image)
    commit_time = subprocess.run(
        ["git", "-C", option.source, "log", "-1", "--format=%ct"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    verified, report = verify(work, data, pki.ca)
    assert verified, report
    assert re.search(r"Message digest algorithm\s*: SHA256", report), report
    assert signing_time(report) == as_printed(int(commit_time))
    assert not verify(work, data, pki.other_ca)[0], "verified against another CA"
    changed = with_byte_changed(data)
    assert not verify(work, changed, pki.ca)[0], "verified with a byte changed"


def test_without_a_time_stamping_server_the_build_says_so_in_one_line(said, zip_name):
    warning = zip_name + NOT_TIMESTAMPED
    assert [line for line in said if line.startswith(warning)] == [
        warning + ": Windows "
        "stops trusting its signatures when the certificate expires"
    ]


@pytest.fixture(scope="module")
def timestamped(work, pki, zip_name, make_bundle) -> tuple[Path, list]:
    """A bundle with timestamps from a server, and what its build said."""
    bundle = work / "timestamped" / zip_name
    with TimestampServer(pki) as server:
        # As by hand: the output relative to the working folder.
        done = make_bundle(
            bundle.relative_to(work),
            cwd=work,
            HEXALIFT_SIGNING_TIMESTAMP_URL=server.url,
            SOURCE_DATE_EPOCH=1700000000,
            **filled(KEY, vars(pki)),
        )
    return bundle, made(done, zip_name)


def test_a_timestamped_build_gives_no_warning(timestamped, zip_name):
    _, said = timestamped
    assert [line for line in said if line.startswith(zip_name + NOT_TIMESTAMPED)] == []


@pytest.mark.parametrize("image", SIGNED)
def test_each_signature_carries_a_timestamp_that_verifies(
    work, pki, timestamped, image
):
    data = read_from(timestamped[0], image)
    verified = "Timestamp Server Signature verification: ok"
    signature_verified, report = verify(work, data, pki.ca, "-TSA-CAfile", pki.ca)
    assert signature_verified, report
    assert verified in report
    assert signing_time(report) == as_printed(1700000000)
    _, report = verify(work, data, pki.ca, "-TSA-CAfile", pki.other_ca)
    assert verified not in report


@pytest.fixture
def places(work, pki) -> dict:
    """What the tables' "{...}" stand for: the keys' files, WORK, and a
    time-stamping server that answers once."""
    (work / "password").write_text(pki.password + "\n")  # as echo writes it
    (work / "empty").write_text("\n")
    (work / "not-a-checkout").mkdir(exist_ok=True)
    with TimestampServer(pki, answers=1) as stops:
        yield {**vars(pki), "work": work, "stops": stops.url}


@pytest.mark.parametrize("what", USABLE)
def test_a_key_without_a_password_and_a_password_from_a_file_sign(
    work, pki, zip_name, make_bundle, places, what
):
    bundle = work / "keys" / what.replace(" ", "-") / zip_name
    made(make_bundle(bundle, **filled(USABLE[what], places)), zip_name)
    assert verify(work, read_from(bundle, "hexalift.exe"), pki.ca)[0]


def test_the_pack_command_sees_none_of_the_keys_variables(
    option, work, pki, zip_name, make_bundle
):
    seen = work / "stand-in-environment"
    arguments = work / "arguments-with-stand-in.txt"
    lines = [
        line
        for line in option.arguments.read_text().splitlines()
        if not line.startswith("--pack-command=")
    ]
    lines += [f"--pack-command={STAND_IN}", f"--pack-command={seen}"]
    arguments.write_text("\n".join(lines) + "\n")
    done = make_bundle(
        work / "stand-in" / zip_name,
        arguments=arguments,
        HEXALIFT_SIGNING_EXTRA="more",
        **filled(KEY, vars(pki)),
    )
    assert "cannot pack" in done.stderr  # the stand-in ran, and failed as it should
    environment = seen.read_text()
    assert "PATH=" in environment
    given = [line for line in environment.splitlines() if "HEXALIFT_SIGNING_" in line]
    assert given == []
    assert pki.password not in environment


@pytest.mark.parametrize("what", UNUSABLE)
def test_build_fails_naming_the_setting_and_leaves_no_bundle(
    work, zip_name, make_bundle, places, what
):
    settings, more, messages = UNUSABLE[what]
    folder = work / "unusable" / what.replace(" ", "-")
    folder.mkdir(parents=True)
    (folder / zip_name).write_bytes(b"an earlier build's bundle")
    more = [argument.format(**places) for argument in more]
    done = make_bundle(folder / zip_name, *more, **filled(settings, places))
    assert done.returncode != 0
    assert f"{zip_name} not made: " in done.stderr
    for message in messages:
        assert message.format(**places) in done.stderr
    assert list(folder.iterdir()) == [], "nothing left where the bundle goes"
