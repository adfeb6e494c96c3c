"""Authenticode signing of the release's Windows images with osslsigncode,
configured by the environment of the build:

  HEXALIFT_SIGNING_PFX            the PKCS#12 file with the code-signing key
                                  and its certificate chain; unset or empty:
                                  the release is not signed
  HEXALIFT_SIGNING_PASSWORD_FILE  a file that holds its password (one line;
                                  empty for a key without a password)
  HEXALIFT_SIGNING_PASSWORD       or the password itself (empty for a key
                                  without one): one of the two, not both
  HEXALIFT_SIGNING_TIMESTAMP_URL  optional: an RFC 3161 time-stamping server

The password goes to osslsigncode alone, through a pipe; make_bundle.py
removes these variables (every HEXALIFT_SIGNING_* one) from the environment
of every other program it starts.

Every signature uses SHA-256 and a fixed signing time, so that signing the
same bytes with the same key gives the same bytes: SOURCE_DATE_EPOCH where
it is set, else the time of the source tree's last commit. A timestamp from
a server carries the server's own time, so timestamped images differ from
build to build.
"""

import subprocess
from dataclasses import dataclass, field
from pathlib import Path

PFX = "HEXALIFT_SIGNING_PFX"
PASSWORD = "HEXALIFT_SIGNING_PASSWORD"
PASSWORD_FILE = "HEXALIFT_SIGNING_PASSWORD_FILE"
TIMESTAMP_URL = "HEXALIFT_SIGNING_TIMESTAMP_URL"


class SigningError(Exception):
    """Signing cannot go on; the message says why in the build's terms."""


@dataclass(frozen=True)
class Signer:
    pfx: Path
    password: str = field(repr=False)
    password_from: str  # the variable that gave it
    time: int  # seconds since 1970, the signatures' signing time
    time_source: str  # where that time came from, for the build's output
    timestamp_url: str | None

    def sign(self, source: Path, target: Path) -> None:
        """Writes a signed copy of source to target. On failure target does
        not exist."""
        target.unlink(missing_ok=True)
        command = [
            "osslsigncode",
            "sign",
            "-pkcs12",
            str(self.pfx),
            "-h",
            "sha256",
            "-time",
            str(self.time),
        ]
        # The password goes through a pipe: a command line is visible to
        # every user of the machine. osslsigncode refuses to read an empty
        # one, and opens a key without a password when given none.
        if self.password:
            command += ["-readpass", "/dev/stdin"]
        if self.timestamp_url:
            command += ["-ts", self.timestamp_url]
        command += ["-in", str(source), "-out", str(target)]
        try:
            done = subprocess.run(
                command, input=self.password.encode(), capture_output=True
            )
        except FileNotFoundError:
            raise SigningError(
                "osslsigncode is not installed: run scripts/install-deps.sh"
            ) from None
        if done.returncode == 0 and target.is_file():
            return
        target.unlink(missing_ok=True)
        said = [
            line
            for line in (done.stderr + done.stdout)
            .decode(errors="replace")
            .splitlines()
            if line.strip()
        ]
        reason = failure_reason(self, "\n".join(said))
        # A failure of a known kind is named by its first line; any other is
        # shown in osslsigncode's own words, all of them.
        quoted = said[:1] if reason else said
        raise SigningError(
            f"cannot sign {source.name}: {reason or 'osslsigncode failed'}\n"
            + "\n".join(
                f"osslsigncode said: {line}" for line in quoted or ["(nothing)"]
            )
        )


def failure_reason(signer: Signer, said: str) -> str | None:
    """The setting at fault, where osslsigncode's words name one."""
    if "PKCS#12" in said:
        return (
            f"the key {PFX}={signer.pfx} cannot be opened with {signer.password_from}: "
            "the password is wrong, or the file is not a PKCS#12 file"
        )
    if "timestamping failed" in said:
        return f"the time-stamping server {TIMESTAMP_URL}={signer.timestamp_url} gave no timestamp"
    return None


def signing_time(environ, source_dir: Path) -> tuple[int, str]:
    """The fixed signing time and where it comes from: SOURCE_DATE_EPOCH,
    else the last commit's time. Without either, signing fails rather than
    sign with a time that changes from build to build."""
    if environ.get("SOURCE_DATE_EPOCH"):
        value = environ["SOURCE_DATE_EPOCH"]
        if not value.isdigit():
            raise SigningError(
                f"SOURCE_DATE_EPOCH={value!r} is not a time in seconds since 1970"
            )
        return int(value), "SOURCE_DATE_EPOCH"
    commit_time = ""
    # Only the source tree's own history counts, not that of a checkout
    # around an unpacked source tree.
    if (source_dir / ".git").exists():
        try:
            done = subprocess.run(
                ["git", "-C", str(source_dir), "log", "-1", "--format=%ct"],
                capture_output=True,
                text=True,
            )
            commit_time = done.stdout.strip() if done.returncode == 0 else ""
        except FileNotFoundError:
            pass
    if not commit_time.isdigit():
        raise SigningError(
            f"no signing time: {source_dir} is not a git checkout with a commit; "
            "set SOURCE_DATE_EPOCH to the release's time (seconds since 1970)"
        )
    return int(commit_time), "the last commit"


def signer_from_environment(environ, source_dir: Path) -> Signer | None:
    """The signer that the environment asks for, or None for an unsigned
    release. A key that cannot be read fails here, before anything is signed."""
    if not environ.get(PFX):
        return None
    pfx = Path(environ[PFX])
    try:
        with open(pfx, "rb"):
            pass
    except OSError as error:
        raise SigningError(
            f"cannot read the key {PFX}={pfx}: {error.strerror}"
        ) from None
    key_password = password(environ)
    password_from = PASSWORD if PASSWORD in environ else PASSWORD_FILE
    time, time_source = signing_time(environ, source_dir)
    return Signer(
        pfx,
        key_password,
        password_from,
        time,
        time_source,
        environ.get(TIMESTAMP_URL) or None,
    )


def password(environ) -> str:
    """The key's password: the variable, or the first line of the file."""
    if (PASSWORD in environ) == (PASSWORD_FILE in environ):
        raise SigningError(
            f"{PFX} is set: set one of {PASSWORD_FILE} and {PASSWORD} too, not both "
            "(empty for a key without a password)"
        )
    if PASSWORD in environ:
        return environ[PASSWORD]
    try:
        text = Path(environ[PASSWORD_FILE]).read_text()
    except (OSError, UnicodeError) as error:
        raise SigningError(
            f"cannot read the password file {PASSWORD_FILE}={environ[PASSWORD_FILE]}: "
            f"{getattr(error, 'strerror', None) or error}"
        ) from None
    return text.splitlines()[0] if text else ""


def without_key(environ) -> dict:
    """The environment without the key's variables, for every program that
    the bundle step starts (osslsigncode reads the password from its pipe)."""
    return {
        name: value
        for name, value in environ.items()
        if not name.startswith("HEXALIFT_SIGNING_")
    }
