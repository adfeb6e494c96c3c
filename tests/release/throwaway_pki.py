"""Throwaway keys for the signing tests, made in a folder of the build by
throwaway_pki.sh, and trusted nowhere else: a CA; a code-signing
certificate issued by it, in a password-protected PKCS#12 file with its
chain (what a vendor's HEXALIFT_SIGNING_PFX holds), the same in a file
without a password, and the certificate alone in a file without its key; a
time-stamping authority's certificate from the same CA and a time-stamping
server for it on the loopback interface (`openssl ts -reply` answers each
request); and a second, unrelated CA that must not vouch for anything
signed here.
"""

import http.server
import subprocess
import threading
from dataclasses import dataclass
from pathlib import Path

PASSWORD = "throwaway password"
HERE = Path(__file__).parent
CONFIG = HERE / "throwaway_pki.cnf"  # the time-stamping authority's settings


@dataclass(frozen=True)
class Pki:
    folder: Path
    ca: Path  # the CA certificate that everything here chains to
    other_ca: Path  # a CA certificate that vouches for nothing here
    pfx: Path  # the signer's key, certificate and chain
    password: str
    pfx_without_password: Path
    certificate_only: Path  # the signer's certificate without its key


def run(arguments: list, folder: Path) -> None:
    done = subprocess.run(arguments, cwd=folder, capture_output=True, text=True)
    assert done.returncode == 0, f"{arguments} failed:\n{done.stdout}{done.stderr}"


def make_pki(folder: Path) -> Pki:
    folder.mkdir(parents=True, exist_ok=True)
    run([HERE / "throwaway_pki.sh", folder, PASSWORD], folder)
    return Pki(
        folder,
        folder / "ca.crt",
        folder / "other-ca.crt",
        folder / "signer.pfx",
        PASSWORD,
        folder / "signer-without-password.pfx",
        folder / "certificate-only.pfx",
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
                answer = subprocess.run(
                    [
                        "openssl",
                        "ts",
                        "-reply",
                        "-config",
                        CONFIG,
                        "-queryfile",
                        "/dev/stdin",
                    ],
                    input=query,
                    capture_output=True,
                    cwd=pki.folder,
                    check=True,
                ).stdout
                server.given += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

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
