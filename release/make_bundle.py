"""Makes the release bundle: a zip whose bytes depend only on its files and,
when it is signed, on the key and the signing time.

  python3 release/make_bundle.py --version V --readme README.txt --output OUT.zip \
      --source SOURCE_DIR [--sign NAME ...] [--package NAME --pack-command=ARG ...] \
      NAME=FILE [NAME=FILE ...]
  python3 release/make_bundle.py @ARGUMENTS [more options]   (the arguments one a line)

NAME is the path inside the bundle's top folder. The operator's README is
added as README.txt (with @VERSION@ filled in) and SHA256SUMS lists the
SHA-256 of every file. Entries are sorted, with a fixed time stamp and fixed
permissions, so two builds of the same commit give the same zip.

With a signing key in the environment (release/signing.py) the files named
by --sign go in as signed copies, and the package named by --package is
packed again, by the pack command with --no-build, from the files beside it
in the bundle (the signed library and its documentation), so that it
carries the signed library. Without a key the bundle is unsigned, and one
line says so. The zip is written under a temporary name and renamed when
complete; the bundle of an earlier build is removed first, so a build that
fails leaves no bundle at all. No program it starts sees the key's
variables.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

from signing import (
    PFX,
    TIMESTAMP_URL,
    Signer,
    SigningError,
    signer_from_environment,
    without_key,
)

FIXED_TIME = (1980, 1, 1) + (0,) * 3  # midnight of the first day a zip entry can hold


def add(archive: zipfile.ZipFile, name: str, data: bytes, executable: bool) -> None:
    entry = zipfile.ZipInfo(name, date_time=FIXED_TIME)
    entry.create_system = 3  # Unix, so the permissions below count
    entry.external_attr = (0o100755 if executable else 0o100644) << 16
    entry.compress_type = zipfile.ZIP_DEFLATED
    archive.writestr(entry, data, compresslevel=9)


def write_zip(output: Path, top: str, files: dict) -> None:
    executables = {name for name, data in files.items() if data[:4] == b"\x7fELF"}
    partial = output.with_name(output.name + ".partial")
    try:
        with zipfile.ZipFile(partial, "w") as archive:
            for name in sorted(files):
                add(archive, f"{top}/{name}", files[name], name in executables)
        os.replace(partial, output)
    finally:
        partial.unlink(missing_ok=True)


def sign_files(signer: Signer, files: dict, names: list, staging: Path) -> None:
    """Replaces each named file's bytes with those of a signed copy."""
    for name in names:
        unsigned, signed = staging / "unsigned" / name, staging / "signed" / name
        unsigned.parent.mkdir(parents=True, exist_ok=True)
        signed.parent.mkdir(parents=True, exist_ok=True)
        unsigned.write_bytes(files[name])
        signer.sign(unsigned, signed)
        files[name] = signed.read_bytes()


def pack_again(files: dict, package: str, pack_command: list, staging: Path) -> None:
    """Packs the package anew from the files beside it in the bundle."""
    folder = str(Path(package).parent)
    library_dir, package_dir = (
        staging / "pack" / "library",
        staging / "pack" / "package",
    )
    library_dir.mkdir(parents=True)
    for name, data in files.items():
        if str(Path(name).parent) == folder and name != package:
            (library_dir / Path(name).name).write_bytes(data)
    done = subprocess.run(
        pack_command
        + [
            "--no-build",
            f"-p:OutDir={library_dir}/",
            f"-p:PackageOutputPath={package_dir}/",
            f"-p:NuspecOutputPath={staging / 'pack' / 'nuspec'}/",
        ],
        capture_output=True,
        text=True,
    )
    packed = package_dir / Path(package).name
    if done.returncode != 0 or not packed.is_file():
        raise SigningError(
            f"cannot pack {package} around the signed library:\n{done.stdout}{done.stderr}"
        )
    files[package] = packed.read_bytes()


def main() -> int:
    parser = argparse.ArgumentParser(fromfile_prefix_chars="@")
    parser.add_argument("--version", required=True)
    parser.add_argument("--readme", type=Path, required=True)
    parser.add_argument("--output", type=Path, required=True)
    parser.add_argument(
        "--source",
        type=Path,
        required=True,
        help="the source tree, for the commit's time",
    )
    parser.add_argument(
        "--sign", action="append", default=[], metavar="NAME", help="a file to sign"
    )
    parser.add_argument(
        "--package", metavar="NAME", help="a package to pack again around signed files"
    )
    parser.add_argument(
        "--pack-command",
        action="append",
        default=[],
        metavar="ARG",
        help="the package's pack command, an argument at a time",
    )
    parser.add_argument("files", nargs="+", help="NAME=FILE")
    args = parser.parse_args()

    top = f"hexalift-{args.version}"
    args.output = (
        args.output.absolute()
    )  # the pack command runs in the project's folder
    bundle = args.output.name
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.unlink(missing_ok=True)
    staging = args.output.with_name(args.output.name + ".staging")
    shutil.rmtree(staging, ignore_errors=True)
    # The key stays in this process: no program it starts sees it.
    environ = dict(os.environ)
    os.environ.clear()
    os.environ.update(without_key(environ))
    try:
        signer = signer_from_environment(environ, args.source)
        files = {
            "README.txt": args.readme.read_text()
            .replace("@VERSION@", args.version)
            .encode()
        }
        for pair in args.files:
            name, source = pair.split("=", 1)
            files[name] = Path(source).read_bytes()
        if signer is None:
            print(f"{bundle}: not signed ({PFX} is not set)")
        else:
            sign_files(signer, files, args.sign, staging)
            if args.package:
                pack_again(files, args.package, args.pack_command, staging)
            stamped = (
                f", timestamped by {signer.timestamp_url}"
                if signer.timestamp_url
                else ""
            )
            print(
                f"{bundle}: {', '.join(args.sign)} signed with {signer.pfx}, "
                f"signing time {signer.time} ({signer.time_source}){stamped}"
            )
            if not signer.timestamp_url:
                print(
                    f"{bundle}: warning: not timestamped ({TIMESTAMP_URL} is not set): "
                    "Windows stops trusting its signatures when the certificate expires"
                )
    except SigningError as error:
        print(f"{bundle} not made: {error}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    sums = "".join(
        f"{hashlib.sha256(data).hexdigest()}  {name}\n"
        for name, data in sorted(files.items())
    )
    files["SHA256SUMS"] = sums.encode()
    write_zip(args.output, top, files)
    return 0


if __name__ == "__main__":
    sys.exit(main())
