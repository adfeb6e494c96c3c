"""What is compiled into the Windows images: the progress window's template
and the manifest field by field (a resource compiler that quietly adds or
drops a style bit fails here), the version resources, the image flags, and
the machine type of every image of both builds, so that the x86-64
stand-ins can never pass for the shipped images or the other way round.

  resources_test.py PE32_BIN X64_BIN VERSION   (VERSION: the project's, as CMake has it)
"""

import struct
import sys
import unittest
from pathlib import Path

import pefile

PE32_BIN, X64_BIN, VERSION = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3]
FOUR_PART = f"{VERSION}.0"  # what Windows shows: major.minor.patch.build
HEXALIFT = pefile.PE(PE32_BIN / "hexalift.exe")
IMAGETOOL = pefile.PE(PE32_BIN / "imagetool.exe")
RT_DIALOG, RT_MANIFEST, JAPANESE = 5, 24, 1041
SYSTEM_DLLS = {"KERNEL32.dll", "msvcrt.dll", "USER32.dll", "ADVAPI32.dll"}
PLACEHOLDER = "スタティック"


def languages(image: pefile.PE, type_id: int, name_id: int) -> dict:
    """The resource entries of one type and name, by language."""
    kind = next(e for e in image.DIRECTORY_ENTRY_RESOURCE.entries if e.id == type_id)
    name = next(e for e in kind.directory.entries if e.id == name_id)
    return {entry.id: entry for entry in name.directory.entries}


def resource(image: pefile.PE, type_id: int, name_id: int, language: int) -> bytes:
    data = languages(image, type_id, name_id)[language].data.struct
    return image.get_data(data.OffsetToData, data.Size)


class Reader:
    """Walks a DLGTEMPLATEEX: little-endian words, doublewords and
    zero-terminated UTF-16 texts, with doubleword alignment for items."""

    def __init__(self, data: bytes):
        self.data, self.at = data, 0

    def take(self, form: str):
        values = struct.unpack_from("<" + form, self.data, self.at)
        self.at += struct.calcsize("<" + form)
        return values if len(values) > 1 else values[0]

    def text(self) -> str:
        end = self.at
        while self.data[end : end + 2] != b"\0\0":
            end += 2
        value = self.data[self.at : end].decode("utf-16-le")
        self.at = end + 2
        return value

    def name_or_ordinal(self):
        if struct.unpack_from("<H", self.data, self.at)[0] == 0xFFFF:
            return ("ordinal", self.take("2H")[1])
        return ("text", self.text())

    def align(self):
        self.at = (self.at + 3) & ~3


def read_template(data: bytes):
    r = Reader(data)
    header = dict(
        zip(
            (
                "version",
                "signature",
                "help_id",
                "ex_style",
                "style",
                "controls",
                "x",
                "y",
                "cx",
                "cy",
            ),
            r.take("HHIIIHhhhh"),
        )
    )
    header["menu"] = r.name_or_ordinal()
    header["class"] = r.name_or_ordinal()
    header["caption"] = r.text()
    header["font"] = r.take("HHBB") + (r.text(),)
    controls = []
    for _ in range(header["controls"]):
        r.align()
        fields = dict(
            zip(
                ("help_id", "ex_style", "style", "x", "y", "cx", "cy", "id"),
                r.take("IIIhhhhI"),
            )
        )
        fields["class"] = r.name_or_ordinal()
        fields["text"] = r.name_or_ordinal()
        fields["creation_data"] = r.take("H")
        controls.append(fields)
    return header, controls


class Resources(unittest.TestCase):
    image = HEXALIFT

    def test_dialog_template_header(self):
        self.assertEqual(list(languages(self.image, RT_DIALOG, 101)), [JAPANESE])
        header, _ = read_template(resource(self.image, RT_DIALOG, 101, JAPANESE))
        expected = {
            "version": 1,
            "signature": 0xFFFF,
            "help_id": 0,
            "ex_style": 0x00010000,  # WS_EX_CONTROLPARENT
            "style": 0x80C800C8,  # popup, caption, system menu, modal frame, font, fixed system
            "controls": 2,
            "x": 60,
            "y": 100,
            "cx": 405,
            "cy": 75,
            "menu": ("text", ""),  # none
            "class": ("text", ""),  # the system dialog class
            "caption": "Hardware Object",
            "font": (8, 400, 0, 1, "MS Shell Dlg"),
        }
        for field, value in expected.items():
            self.assertEqual(header[field], value, field)
        self.assertFalse(header["style"] & 0x10000000, "created hidden: no WS_VISIBLE")

    def test_dialog_template_controls(self):
        _, controls = read_template(resource(self.image, RT_DIALOG, 101, JAPANESE))
        rows = [  # id, x, y, cx, cy, in template order
            (1001, 14, 25, 384, 39),  # image line
            (1002, 14, 7, 384, 14),  # warning line
        ]
        self.assertEqual(len(controls), len(rows))
        for control, (ident, x, y, cx, cy) in zip(controls, rows):
            with self.subTest(ident):
                self.assertEqual(
                    (
                        control["id"],
                        control["x"],
                        control["y"],
                        control["cx"],
                        control["cy"],
                    ),
                    (ident, x, y, cx, cy),
                )
                self.assertEqual(
                    control["style"], 0x50020000
                )  # child, visible, group, left text
                self.assertEqual(control["ex_style"], 0)
                self.assertEqual(control["help_id"], 0)
                self.assertEqual(control["class"], ("ordinal", 0x0082))  # static
                self.assertEqual(control["text"], ("text", PLACEHOLDER))
                self.assertEqual(control["creation_data"], 0)

    def test_manifest_runs_as_invoker(self):
        manifest = resource(
            self.image,
            RT_MANIFEST,
            1,
            next(iter(languages(self.image, RT_MANIFEST, 1))),
        )
        text = manifest.decode("utf-8")
        self.assertIn(f'version="{FOUR_PART}" processorArchitecture="x86"/>', text)
        self.assertIn(
            '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>', text
        )
        self.assertNotIn("requireAdministrator", text)
        self.assertNotIn("Microsoft.Windows.Common-Controls", text)


class Images(unittest.TestCase):
    def test_flags_imports_and_version(self):
        for image, name, description in (
            (HEXALIFT, "hexalift.exe", "Optical module firmware update"),
            (IMAGETOOL, "imagetool.exe", "Firmware image tool"),
        ):
            with self.subTest(name):
                self.assertEqual(
                    image.OPTIONAL_HEADER.DllCharacteristics & 0x0140,
                    0x0140,
                    "DEP and ASLR",
                )
                self.assertEqual(
                    image.FILE_HEADER.TimeDateStamp, 0, "no link time stamp"
                )
                self.assertLessEqual(
                    {entry.dll.decode() for entry in image.DIRECTORY_ENTRY_IMPORT},
                    SYSTEM_DLLS,
                )
                fixed = image.VS_FIXEDFILEINFO[0]
                numbers = [
                    fixed.FileVersionMS >> 16,
                    fixed.FileVersionMS & 0xFFFF,
                    fixed.FileVersionLS >> 16,
                    fixed.FileVersionLS & 0xFFFF,
                ]
                self.assertEqual(".".join(map(str, numbers)), FOUR_PART, "file version")
                strings = {
                    key.decode(): value.decode()
                    for info in image.FileInfo[0]
                    if info.Key == b"StringFileInfo"
                    for table in info.StringTable
                    for key, value in table.entries.items()
                }
                for key, value in (
                    ("FileDescription", description),
                    ("ProductVersion", FOUR_PART),
                    ("OriginalFilename", name),
                ):
                    self.assertEqual(strings.get(key), value, key)

    def test_each_build_has_its_machine_type(self):
        for folder, machine in (
            (PE32_BIN, "IMAGE_FILE_MACHINE_I386"),
            (X64_BIN, "IMAGE_FILE_MACHINE_AMD64"),
        ):
            images = [p for p in folder.rglob("*") if p.suffix in (".exe", ".dll")]
            self.assertGreaterEqual(len(images), 6, folder)
            for path in images:
                with self.subTest(str(path)):
                    header = pefile.PE(path, fast_load=True).FILE_HEADER
                    self.assertEqual(header.Machine, pefile.MACHINE_TYPE[machine])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
