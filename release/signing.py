"""Authenticode signing of the release's Windows images with osslsigncode,
configured by the environment of the build:

  HEXALIFT_SIGNING_PFX            the PKCS#12 file with the code-signing key
                                  and its certificate chain; unset or empty:
                                  the release is not signed
  HEXALIFT_SIGNING_PASSWORD       its password (set it empty for a file
                                  without one)
  HEXALIFT_SIGNING_TIMESTAMP_URL  optional: an RFC 3161 time-stamping server

Every signature uses SHA-256 and a fixed signing time, so that signing the
same bytes with the same key gives the same bytes: SOURCE_DATE_EPOCH where
it is set, else the time of the source tree's last commit. A timestamp from
a server carries the server's own time, so timestamped images differ from
build to build.
"""

import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

PFX = "HEXALIFT_SIGNING_PFX"
PASSWORD = "HEXALIFT_SIGNING_PASSWORD"
TIMESTAMP_URL = "HEXALIFT_SIGNING_TIMESTAMP_URL"


class SigningError(Exception):
    """Signing cannot go on; the message says why in the build's terms."""


@dataclass(frozen=True)
class Signer:
    pfx: Path
    password: str
    time: int                  # seconds since 1970, the signatures' signing time
    time_source: str           # where that time came from, for the build's output
    timestamp_url: str | None

    def sign(self, source: Path, target: Path) -> None:
        """Writes a signed copy of source to target. On failure target does
        not exist."""
        target.unlink(missing_ok=True)
        command = ["osslsigncode", "sign", "-pkcs12", str(self.pfx), "-readpass", "/dev/stdin",
                   "-h", "sha256", "-time", str(self.time)]
        if self.timestamp_url:
            command += ["-ts", self.timestamp_url]
        command += ["-in", str(source), "-out", str(target)]
        # The password goes through a pipe: a command line is visible to
        # every user of the machine.
        try:
            done = subprocess.run(command, input=self.password.encode(), capture_output=True)
        except FileNotFoundError:
            raise SigningError("osslsigncode is not installed: run scripts/install-deps.sh") from None
        if done.returncode == 0 and target.is_file():
            return
        target.unlink(missing_ok=True)
        said = (done.stderr + done.stdout).decode(errors="replace")
        raise SigningError(f"cannot sign {source.name}: {failure_reason(self, said)}\n"
                           f"osslsigncode said: {first_line(said)}")


def failure_reason(signer: Signer, said: str) -> str:
    if "PKCS#12" in said:
        return (f"the key {PFX}={signer.pfx} cannot be opened with {PASSWORD}: "
                "the password is wrong, or the file is not a PKCS#12 file")
    if "timestamping failed" in said:
        return f"the time-stamping server {TIMESTAMP_URL}={signer.timestamp_url} gave no timestamp"
    return "osslsigncode failed"


def first_line(text: str) -> str:
    """The first line of its error output, which names the failure."""
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[0] if lines else "(nothing)"


def signing_time(environ, source_dir: Path) -> tuple[int, str]:
    """The fixed signing time and where it comes from: SOURCE_DATE_EPOCH,
    else the last commit's time. Without either, signing fails rather than
    sign with a time that changes from build to build."""
    if environ.get("SOURCE_DATE_EPOCH"):
        value = environ["SOURCE_DATE_EPOCH"]
        if not value.isdigit():
            raise SigningError(f"SOURCE_DATE_EPOCH={value!r} is not a time in seconds since 1970")
        return int(value), "SOURCE_DATE_EPOCH"
    commit_time = ""
    # Only the source tree's own history counts, not that of a checkout
    # around an unpacked source tree.
    if (source_dir / ".git").exists():
        try:
            done = subprocess.run(["git", "-C", str(source_dir), "log", "-1", "--format=%ct"],
                                  capture_output=True, text=True)
            commit_time = done.stdout.strip() if done.returncode == 0 else ""
        except FileNotFoundError:
            pass
    if not commit_time.isdigit():
        raise SigningError(f"no signing time: {source_dir} is not a git checkout with a commit; "
                           "set SOURCE_DATE_EPOCH to the release's time (seconds since 1970)")
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
        raise SigningError(f"cannot read the key {PFX}={pfx}: {error.strerror}") from None
    if PASSWORD not in environ:
        raise SigningError(f"{PFX} is set but {PASSWORD} is not (set it empty for a key without a password)")
    time, time_source = signing_time(environ, source_dir)
    return Signer(pfx, environ[PASSWORD], time, time_source, environ.get(TIMESTAMP_URL) or None)
