#!/usr/bin/python3
"""Stands in for apt-get, apt-cache and dpkg, by the name it is called by
(a link to it), for tests/host/apt_test.py: it writes each call to calls.txt
in its link's folder, and what the sources folder that an install was given
holds to sources.txt. FAKE_UPDATE, FAKE_DOWNLOAD and FAKE_INSTALL say how it
behaves."""

import os, sys
from pathlib import Path

here, name, arguments = Path(__file__).parent, Path(sys.argv[0]).name, sys.argv[1:]
with open(here / "calls.txt", "a") as calls:
    calls.write(" ".join([name, *arguments]) + "\n")
old, new = "linux-image-6.1.0-1-amd64", "linux-image-6.1.0-2-amd64"
# The lists apt was pointed at (-o Dir::State::Lists=...), else the machine's.
given = [a.split("=", 1)[1] for a in arguments if a.startswith("Dir::State::Lists=")]
lists = Path(given[0]) if given else here / "machine-lists"
updated = (lists / "updated").exists()
if name == "dpkg":
    print(
        {"--print-foreign-architectures": "i386", "--print-architecture": "amd64"}[
            arguments[0]
        ]
    )
elif name == "apt-cache":
    print(f"linux-image-amd64\n  Depends: {new if updated else old}")
elif "update" in arguments:
    lists.mkdir(exist_ok=True)
    (lists / "updated").touch()
    if os.environ["FAKE_UPDATE"] == "one list fails":
        print(
            "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/"
            "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
        )
        print(
            "E: Some index files failed to download. They have been ignored, or old ones used instead."
        )
        sys.exit(100)
elif "download" in arguments:
    if arguments[-1] == new and os.environ["FAKE_DOWNLOAD"] == "after an update":
        Path(f"{new}_amd64.deb").write_text("a kernel")
    else:
        print(
            f"E: Failed to fetch http://deb.debian.org/debian/pool/main/{arguments[-1]}.deb  404  Not Found",
            file=sys.stderr,
        )
        sys.exit(100)
elif "install" in arguments:
    parts = [
        a.split("=", 1)[1] for a in arguments if a.startswith("Dir::Etc::SourceParts=")
    ]
    for part in parts:
        with open(here / "sources.txt", "w") as seen:
            for source in sorted(Path(part).iterdir()):
                seen.write(f"{source.name}:\n{source.read_text()}")
    wanted = os.environ["FAKE_INSTALL"]
    if wanted == "fails" or (wanted == "only without the failed suite" and not parts):
        print(
            "The following packages have unmet dependencies:\n libc6:i386 : Depends: libgcc-s1:i386"
        )
        print(
            "E: Unable to correct problems, you have held broken packages.",
            file=sys.stderr,
        )
        sys.exit(100)
