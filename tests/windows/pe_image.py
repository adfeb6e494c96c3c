"""Reads what the tests check out of a PE image: header fields, imported
DLLs, and one resource by type, name and language."""

import struct


def _sections(image: bytes):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0", "not a PE image"
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    for index in range(count):
        name, virtual_size, rva, raw_size, raw_offset = struct.unpack_from(
            "<8sIIII", image, table + 40 * index)
        yield name.rstrip(b"\0"), rva, raw_offset, max(virtual_size, raw_size)


def _entries(image: bytes, base: int, offset: int):
    named, numbered = struct.unpack_from("<HH", image, base + offset + 12)
    for index in range(named + numbered):
        ident, target = struct.unpack_from("<II", image, base + offset + 16 + 8 * index)
        yield ident, target


def resource(image: bytes, type_id: int, name_id: int, language: int) -> bytes:
    """The bytes of a resource with a numeric type and name; KeyError when absent."""
    rsrc = next((s for s in _sections(image) if s[0] == b".rsrc"), None)
    if rsrc is None:
        raise KeyError("no resource section")
    _, rsrc_rva, base, _ = rsrc
    offset = 0
    for wanted in (type_id, name_id, language):
        target = dict(_entries(image, base, offset)).get(wanted)
        if target is None:
            raise KeyError(f"no resource entry {wanted}")
        offset = target & 0x7FFFFFFF
    data_rva, size = struct.unpack_from("<II", image, base + offset)
    start = base + data_rva - rsrc_rva
    return image[start:start + size]


def languages(image: bytes, type_id: int, name_id: int) -> list:
    rsrc = next(s for s in _sections(image) if s[0] == b".rsrc")
    base = rsrc[2]
    names = dict(_entries(image, base, 0))[type_id] & 0x7FFFFFFF
    langs = dict(_entries(image, base, names))[name_id] & 0x7FFFFFFF
    return [ident for ident, _ in _entries(image, base, langs)]


def _optional_header(image: bytes) -> int:
    return struct.unpack_from("<I", image, 0x3C)[0] + 24


def time_stamp(image: bytes) -> int:
    return struct.unpack_from("<I", image, struct.unpack_from("<I", image, 0x3C)[0] + 8)[0]


def dll_characteristics(image: bytes) -> int:
    return struct.unpack_from("<H", image, _optional_header(image) + 70)[0]


def _file_offset(image: bytes, rva: int) -> int:
    for _, start, raw, size in _sections(image):
        if start <= rva < start + size:
            return raw + rva - start
    raise ValueError(f"RVA {rva:#x} in no section")


def imported_dlls(image: bytes) -> list:
    """Names of the DLLs in the import directory (32-bit images)."""
    import_rva = struct.unpack_from("<I", image, _optional_header(image) + 96 + 8)[0]
    names, at = [], _file_offset(image, import_rva)
    while True:
        name_rva = struct.unpack_from("<I", image, at + 12)[0]
        if name_rva == 0:
            return names
        start = _file_offset(image, name_rva)
        names.append(image[start:image.index(b"\0", start)].decode())
        at += 20
