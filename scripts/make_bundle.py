"""Makes the release bundle: a zip whose bytes depend only on its files.

  python3 scripts/make_bundle.py --version V --readme README.txt --output OUT.zip \
      NAME=FILE [NAME=FILE ...]

NAME is the path inside the bundle's top folder. The operator's README is
added as README.txt (with @VERSION@ filled in) and SHA256SUMS lists the
SHA-256 of every file. Entries are sorted, with a fixed time stamp and fixed
permissions, so two builds of the same commit give the same zip.
"""

import argparse
import hashlib
import zipfile
from pathlib import Path

FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def add(archive: zipfile.ZipFile, name: str, data: bytes, executable: bool) -> None:
    entry = zipfile.ZipInfo(name, date_time=FIXED_TIME)
    entry.create_system = 3   # Unix, so the permissions below count
    entry.external_attr = (0o100755 if executable else 0o100644) << 16
    entry.compress_type = zipfile.ZIP_DEFLATED
    archive.writestr(entry, data, compresslevel=9)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--readme", type=Path, required=True)
    parser.add_argument("--output", type=Path, required=True)
    parser.add_argument("files", nargs="+", help="NAME=FILE")
    args = parser.parse_args()

    top = f"hexalift-{args.version}"
    files = {"README.txt": args.readme.read_text().replace("@VERSION@", args.version).encode()}
    for pair in args.files:
        name, source = pair.split("=", 1)
        files[name] = Path(source).read_bytes()
    executables = {name for name, data in files.items() if data[:4] == b"\x7fELF"}
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in sorted(files.items()))
    files["SHA256SUMS"] = sums.encode()

    args.output.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(args.output, "w") as archive:
        for name in sorted(files):
            add(archive, f"{top}/{name}", files[name], name in executables)


if __name__ == "__main__":
    main()
