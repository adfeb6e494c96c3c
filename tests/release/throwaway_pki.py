"""Throwaway keys for the signing tests, made with openssl in a folder of
the build, and trusted nowhere else: a CA; a code-signing certificate
issued by it, in a password-protected PKCS#12 file with its chain (what a
vendor's HEXALIFT_SIGNING_PFX holds), and the same in a file without a
password (empty, as an export without one gives); a time-stamping authority's
certificate from the same CA and a time-stamping server for it on the
loopback interface (`openssl ts -reply` answers each request); and a
second, unrelated CA that must not vouch for anything signed here.
"""

import http.server
import subprocess
import tempfile
import threading
from dataclasses import dataclass
from pathlib import Path

PASSWORD = "throwaway password"

EXTENSIONS = """\
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[code_signing]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
authorityKeyIdentifier = keyid
[time_stamping]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
authorityKeyIdentifier = keyid
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {folder}/tsa.serial
signer_cert = {folder}/tsa.crt
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
"""


@dataclass(frozen=True)
class Pki:
    folder: Path
    ca: Path  # the CA certificate that everything here chains to
    other_ca: Path  # a CA certificate that vouches for nothing here
    pfx: Path  # the signer's key, certificate and chain
    password: str
    pfx_without_password: Path
    config: Path  # certificate extensions and the time-stamping authority


def openssl(folder: Path, *arguments: str) -> None:
    subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True)


def make_pki(folder: Path) -> Pki:
    folder.mkdir(parents=True, exist_ok=True)
    config = folder / "openssl.cnf"
    config.write_text(EXTENSIONS.format(folder=folder))
    for ca in ("ca", "other-ca"):
        openssl(
            folder,
            "req",
            "-x509",
            "-newkey",
            "rsa:2048",
            "-nodes",
            "-keyout",
            f"{ca}.key",
            "-out",
            f"{ca}.crt",
            "-days",
            "3650",
            "-subj",
            f"/CN=hexalift throwaway {ca}",
            "-config",
            str(config),
            "-extensions",
            "ca",
        )
    for serial, (name, extensions) in enumerate(
        (("signer", "code_signing"), ("tsa", "time_stamping")), start=2
    ):
        openssl(
            folder,
            "req",
            "-newkey",
            "rsa:2048",
            "-nodes",
            "-keyout",
            f"{name}.key",
            "-out",
            f"{name}.csr",
            "-subj",
            f"/CN=hexalift throwaway {name}",
        )
        openssl(
            folder,
            "x509",
            "-req",
            "-in",
            f"{name}.csr",
            "-CA",
            "ca.crt",
            "-CAkey",
            "ca.key",
            "-set_serial",
            str(serial),
            "-days",
            "3650",
            "-extfile",
            str(config),
            "-extensions",
            extensions,
            "-out",
            f"{name}.crt",
        )
    for pfx, password in (
        ("signer.pfx", PASSWORD),
        ("signer-without-password.pfx", ""),
    ):
        openssl(
            folder,
            "pkcs12",
            "-export",
            "-inkey",
            "signer.key",
            "-in",
            "signer.crt",
            "-certfile",
            "ca.crt",
            "-passout",
            f"pass:{password}",
            "-out",
            pfx,
        )
    (folder / "tsa.serial").write_text("01\n")
    return Pki(
        folder,
        folder / "ca.crt",
        folder / "other-ca.crt",
        folder / "signer.pfx",
        PASSWORD,
        folder / "signer-without-password.pfx",
        config,
    )


class TimestampServer:
    """An RFC 3161 time-stamping server on 127.0.0.1, for the time of a
    with block. Given a number of answers, it fails every request after
    them (HTTP status 503)."""

    def __init__(self, pki: Pki, answers: int | None = None):
        server = self

        class Answer(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                if answers is not None and server.given >= answers:
                    self.send_error(503)
                    return
                with tempfile.TemporaryDirectory(dir=pki.folder) as scratch:
                    (Path(scratch) / "query").write_bytes(query)
                    openssl(
                        pki.folder,
                        "ts",
                        "-reply",
                        "-config",
                        str(pki.config),
                        "-queryfile",
                        f"{scratch}/query",
                        "-out",
                        f"{scratch}/reply",
                    )
                    reply = (Path(scratch) / "reply").read_bytes()
                server.given += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        self.given = 0
        self.http = http.server.HTTPServer(("127.0.0.1", 0), Answer)
        self.url = f"http://127.0.0.1:{self.http.server_address[1]}/"

    def __enter__(self):
        self.thread = threading.Thread(target=self.http.serve_forever)
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.http.shutdown()
        self.thread.join()
        self.http.server_close()
