"""Marks a 32-bit Windows program large-address-aware, as many of the
bridge's hosts are: on a 64-bit system it then gets the address space
above 2 GB too, where the test host puts exception records.

  large_address_aware.py PROGRAM.exe
"""

import sys

import pefile

LARGE_ADDRESS_AWARE = 0x0020  # IMAGE_FILE_LARGE_ADDRESS_AWARE


def main() -> int:
    path = sys.argv[1]
    program = pefile.PE(path)
    program.FILE_HEADER.Characteristics |= LARGE_ADDRESS_AWARE
    program.OPTIONAL_HEADER.CheckSum = program.generate_checksum()
    data = program.write()
    program.close()
    with open(path, "wb") as out:
        out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
