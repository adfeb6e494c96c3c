"""Gives a .NET assembly a module version id derived from its content.

Mono's C# compiler stamps every build with a fresh random module version id
(MVID), the only thing that differs between two builds of the same sources.
This replaces it with the first 16 bytes of the SHA-256 of the assembly with
the id zeroed, as deterministic compilers do, so the same sources give the
same bytes. The assembly carries no strong-name signature that this would
break.

  /usr/bin/python3 scripts/deterministic_mvid.py ASSEMBLY.dll   (needs python3-pefile)
"""

import hashlib
import struct
import sys
from pathlib import Path

import pefile

COM_DESCRIPTOR = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR"]


def mvid_offset(image: bytes) -> int:
    """Where the module's GUID lies: the first entry of the #GUID heap,
    which the module table's only row names."""
    pe = pefile.PE(data=bytes(image), fast_load=True)
    cli_rva = pe.OPTIONAL_HEADER.DATA_DIRECTORY[COM_DESCRIPTOR].VirtualAddress
    cli = pe.get_offset_from_rva(cli_rva)
    metadata = pe.get_offset_from_rva(struct.unpack_from("<I", image, cli + 8)[0])
    assert image[metadata:metadata + 4] == b"BSJB", "no CLI metadata"
    version_length = struct.unpack_from("<I", image, metadata + 12)[0]
    at = metadata + 16 + version_length + 2
    streams = struct.unpack_from("<H", image, at)[0]
    at += 2
    for _ in range(streams):
        offset, _size = struct.unpack_from("<II", image, at)
        name_end = image.index(b"\0", at + 8)
        name = image[at + 8:name_end]
        at = (name_end + 4) & ~3
        if name == b"#GUID":
            return metadata + offset
    raise ValueError("no #GUID heap")


def main() -> None:
    path = Path(sys.argv[1])
    image = bytearray(path.read_bytes())
    where = mvid_offset(image)
    image[where:where + 16] = bytes(16)
    image[where:where + 16] = hashlib.sha256(image).digest()[:16]
    path.write_bytes(image)


if __name__ == "__main__":
    main()
