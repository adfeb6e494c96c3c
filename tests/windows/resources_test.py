"""What is compiled into the Windows images: the progress window's template
and the manifest field by field (a resource compiler that quietly adds or
drops a style bit fails here), the version resources, the image flags, and
the machine type of every image of both builds, so that the x86-64
stand-ins can never pass for the shipped images or the other way round.

  pytest resources_test.py --pe32-bin DIR --x64-bin DIR --project-version VERSION
"""

import struct

import pefile
import pytest

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


@pytest.fixture(scope="module")
def four_part(option) -> str:
    """The version as Windows shows it: major.minor.patch.build."""
    return f"{option.project_version}.0"


@pytest.fixture(scope="module")
def hexalift(option) -> pefile.PE:
    return pefile.PE(option.pe32_bin / "hexalift.exe")


@pytest.fixture(scope="module")
def template(hexalift):
    assert list(languages(hexalift, RT_DIALOG, 101)) == [JAPANESE]
    return read_template(resource(hexalift, RT_DIALOG, 101, JAPANESE))


def test_dialog_template_header(template):
    header, _ = template
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
    assert {field: header[field] for field in expected} == expected
    assert not header["style"] & 0x10000000, "created hidden: no WS_VISIBLE"


CONTROLS = {  # the controls in template order: id, x, y, cx, cy
    "image line": (1001, 14, 25, 384, 39),
    "warning line": (1002, 14, 7, 384, 14),
}


def test_dialog_template_has_its_controls(template):
    _, controls = template
    assert len(controls) == len(CONTROLS)


@pytest.mark.parametrize("line", CONTROLS)
def test_dialog_template_control(template, line):
    _, controls = template
    control = controls[list(CONTROLS).index(line)]
    expected = {
        **dict(zip(("id", "x", "y", "cx", "cy"), CONTROLS[line])),
        "style": 0x50020000,  # child, visible, group, left text
        "ex_style": 0,
        "help_id": 0,
        "class": ("ordinal", 0x0082),  # static
        "text": ("text", PLACEHOLDER),
        "creation_data": 0,
    }
    assert {field: control[field] for field in expected} == expected


def test_manifest_runs_as_invoker(hexalift, four_part):
    language = next(iter(languages(hexalift, RT_MANIFEST, 1)))
    text = resource(hexalift, RT_MANIFEST, 1, language).decode("utf-8")
    assert f'version="{four_part}" processorArchitecture="x86"/>' in text
    assert '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in text
    assert "requireAdministrator" not in text
    assert "Microsoft.Windows.Common-Controls" not in text


DESCRIPTIONS = {
    "hexalift.exe": "Optical module firmware update",
    "imagetool.exe": "Firmware image tool",
}


@pytest.mark.parametrize("name", DESCRIPTIONS)
def test_flags_imports_and_version(option, four_part, name):
    image = pefile.PE(option.pe32_bin / name)
    assert image.OPTIONAL_HEADER.DllCharacteristics & 0x0140 == 0x0140, "DEP and ASLR"
    assert image.FILE_HEADER.TimeDateStamp == 0, "no link time stamp"
    imported = {entry.dll.decode() for entry in image.DIRECTORY_ENTRY_IMPORT}
    assert imported <= SYSTEM_DLLS
    fixed = image.VS_FIXEDFILEINFO[0]
    numbers = [
        fixed.FileVersionMS >> 16,
        fixed.FileVersionMS & 0xFFFF,
        fixed.FileVersionLS >> 16,
        fixed.FileVersionLS & 0xFFFF,
    ]
    assert ".".join(map(str, numbers)) == four_part, "file version"
    strings = {
        key.decode(): value.decode()
        for info in image.FileInfo[0]
        if info.Key == b"StringFileInfo"
        for table in info.StringTable
        for key, value in table.entries.items()
    }
    expected = {
        "FileDescription": DESCRIPTIONS[name],
        "ProductVersion": four_part,
        "OriginalFilename": name,
    }
    assert {key: strings.get(key) for key in expected} == expected


MACHINES = {"pe32": "IMAGE_FILE_MACHINE_I386", "x64": "IMAGE_FILE_MACHINE_AMD64"}


@pytest.mark.parametrize("build", MACHINES)
def test_each_build_has_its_machine_type(option, build):
    folder = getattr(option, f"{build}_bin")
    images = [p for p in folder.rglob("*") if p.suffix in (".exe", ".dll")]
    assert len(images) >= 6, folder
    machines = {p: pefile.PE(p, fast_load=True).FILE_HEADER.Machine for p in images}
    expected = pefile.MACHINE_TYPE[MACHINES[build]]
    assert machines == dict.fromkeys(images, expected)
