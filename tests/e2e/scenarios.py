"""The end-to-end scenarios: what lies on the machine, and the exact log,
journal and flash contents each run must leave."""

from dataclasses import dataclass, field, replace

from harness import FPGA_IMAGE, INSTALL_DIR, PROCESSOR_IMAGE, Setup

NIOS_PATH = INSTALL_DIR + PROCESSOR_IMAGE
FPGA_PATH = INSTALL_DIR + FPGA_IMAGE
ERASED_TEXT = "\xff" * 15   # blank flash reads back as 0xFF, the 16th byte is cut


@dataclass(frozen=True)
class Image:
    """An image file made by the image tool, or given byte for byte."""
    version: str = "1.00"
    payload: bytes = b"abc"
    corrupt_at: int | None = None   # flip a bit there after making it
    stamp: bytes | None = None      # what hexalift writes at offset 8 (installer digit)
    raw: bytes | None = None

    def make(self, tools) -> bytes:
        if self.raw is not None:
            return self.raw
        data = bytearray(tools.make_image(self.version, self.payload))
        if self.corrupt_at is not None:
            data[self.corrupt_at] ^= 0x01
        if self.stamp is not None:
            data[8:9] = self.stamp
        return bytes(data)

    @property
    def data_size(self) -> int:
        return 64 + len(self.payload)


NIOS = Image("1.00", b"processor program\x00\x01")
FPGA = Image("2.5", b"fpga bits")
NEW_NIOS = Image("1.01", NIOS.payload)
BOTH = {PROCESSOR_IMAGE: NIOS, FPGA_IMAGE: FPGA}


def head(installer_id: int) -> str:
    return f"(Id:{installer_id})\npObjFname = {NIOS_PATH}\npFpgaFname = {FPGA_PATH}\n"


def checked(image: Image, current: str, verdict: str | None, version: str | None = None) -> str:
    """The lines of one image's version check; verdict None after a failed read."""
    text = (f"InstallVerStr = {image.version if version is None else version}, "
            f"DataSize = 0x{image.data_size:08x}\nCurrentVerStr = {current}\n")
    return text + ("" if verdict is None else f"({verdict})\n")


def update(image: Image, current: str = ERASED_TEXT) -> str:
    return checked(image, current, "Update")


def same(image: Image) -> str:
    return checked(image, image.version, "Same Version")


LOADED = "Flash.dll loaded"
FREED = "Flash.dll unloaded (FreeLibrary)"
KEPT = "Flash.dll unloaded (process exit)"   # loaded until the process ends
INIT = "FL_Initialize() = 1"
TERM = "FL_Terminate() = 1"


def read(target: int, result: int = 1) -> str:
    return f"FL_Read({target}, 8, *, 16) = {result}"


def write(target: int, image: Image, result: int = 1) -> str:
    return f"FL_Write({target}, 0, *, {image.data_size}) = {result}"


WROTE_BOTH = [LOADED, INIT, read(1), write(1, NIOS), read(2), write(2, FPGA), TERM, FREED]
CHECKED_BOTH = [LOADED, INIT, read(1), read(2), TERM, FREED]


@dataclass
class Expect:
    log: str | bytes | None        # text with "\n" (stored as CR LF), exact bytes, or no file
    journal: list
    flash: dict                    # target -> Image, bytes or None (never written)


@dataclass
class Scenario:
    name: str
    setup: Setup
    expect: Expect
    then: Expect | None = None     # a second run on what the first left
    extra: list = field(default_factory=list)   # further checks: functions of (tools, outcome)


def written(nios=NIOS, fpga=FPGA) -> dict:
    return {1: nios, 2: fpga}


NOTHING_WRITTEN = {1: None, 2: None}


def flash_without(entry: str) -> Scenario:
    return Scenario(
        f"flash_without_{entry}",
        Setup(images=BOTH, libraries={"Flash.dll": f"Flash-without-{entry}"}),
        Expect(head(1), [LOADED, KEPT], NOTHING_WRITTEN))


def settings_scenario(name: str, settings: bytes, installer_id: int) -> Scenario:
    """Ids 2 to 127 are stamped into the written images as the settings byte."""
    stamp = settings[:1] if 2 <= installer_id <= 127 else None
    return Scenario(name, Setup(settings=settings, images=BOTH),
                    Expect(head(installer_id) + update(NIOS) + update(FPGA), WROTE_BOTH,
                           written(replace(NIOS, stamp=stamp), replace(FPGA, stamp=stamp))))


SIXTEEN = Image("ABCDEFGHIJKLMNOP", b"x")
STAMPED_NIOS = replace(NIOS, stamp=b"3")
STAMPED_FPGA = replace(FPGA, stamp=b"3")
WRAPPING = Image(raw=b"\x00" * 8 + b"9.9".ljust(16, b"\x00") + b"\x00" * 36 + b"\xc0\xff\xff\xff")
HEADER_ONLY = Image("0.1", b"")

SCENARIOS = [
    Scenario("both_differ", Setup(images=BOTH),
             Expect(head(1) + update(NIOS) + update(FPGA), WROTE_BOTH, written()),
             then=Expect(head(1) + same(NIOS) + same(FPGA), CHECKED_BOTH, written())),
    Scenario("no_settings_file", Setup(settings=None, old_log=b"earlier run\r\n", images=BOTH),
             Expect(b"earlier run\r\n", WROTE_BOTH, written())),
    settings_scenario("settings_0", b"0", 0),
    settings_scenario("settings_empty", b"", -48),
    settings_scenario("settings_12", b"12", 1),
    settings_scenario("settings_A", b"A", 17),
    Scenario("log_cannot_be_created", Setup(log_is_directory=True, images=BOTH),
             Expect(None, WROTE_BOTH, written())),
    Scenario("flash_absent", Setup(images=BOTH, libraries={}),
             Expect(head(1), [], NOTHING_WRITTEN)),
    *[flash_without(entry) for entry in ("FL_Initialize", "FL_Terminate", "FL_Write",
                                         "FL_Read", "FL_Erase", "FL_GetLastError")],
    Scenario("fl_initialize_0", Setup(images=BOTH, simulator={"HEXSIM_FL_INITIALIZE": 0}),
             Expect(head(1), [LOADED, "FL_Initialize() = 0", KEPT], NOTHING_WRITTEN)),
    # Initialised, but not to exactly 1: nothing is forwarded, reads leave
    # the version text empty and writes report success.
    Scenario("fl_initialize_2", Setup(images=BOTH, simulator={"HEXSIM_FL_INITIALIZE": 2}),
             Expect(head(1) + update(NIOS, "") + update(FPGA, ""),
                    [LOADED, "FL_Initialize() = 2", FREED], NOTHING_WRITTEN)),
    Scenario("both_current", Setup(images=BOTH, flash=written()),
             Expect(head(1) + same(NIOS) + same(FPGA), CHECKED_BOTH, written())),
    Scenario("only_fpga_differs", Setup(images={PROCESSOR_IMAGE: NIOS, FPGA_IMAGE: FPGA},
                                        flash={1: NIOS, 2: Image("2.4", b"old fpga")}),
             Expect(head(1) + same(NIOS) + update(FPGA, "2.4"),
                    [LOADED, INIT, read(1), read(2), write(2, FPGA), TERM, FREED], written())),
    Scenario("older_version_is_written", Setup(images={PROCESSOR_IMAGE: NIOS, FPGA_IMAGE: FPGA},
                                               flash={1: NEW_NIOS, 2: FPGA}),
             Expect(head(1) + update(NIOS, "1.01") + same(FPGA),
                    [LOADED, INIT, read(1), write(1, NIOS), read(2), TERM, FREED], written())),
    Scenario("checksum_error", Setup(images={PROCESSOR_IMAGE: replace(NIOS, corrupt_at=70),
                                             FPGA_IMAGE: FPGA}),
             Expect(head(1) + update(NIOS) + "ReadFileWithCheckSum:CheckSum Error\n" + update(FPGA),
                    [LOADED, INIT, read(1), read(2), write(2, FPGA), TERM, FREED],
                    {1: None, 2: FPGA})),
    Scenario("image_missing", Setup(images={FPGA_IMAGE: FPGA}),
             Expect(head(1) + f"GetFileInf:{NIOS_PATH} File Open Error\n" + update(FPGA),
                    [LOADED, INIT, read(2), write(2, FPGA), TERM, FREED], {1: None, 2: FPGA})),
    Scenario("payload_size_0", Setup(images={PROCESSOR_IMAGE: HEADER_ONLY, FPGA_IMAGE: FPGA}),
             Expect(head(1) + update(HEADER_ONLY) + update(FPGA),
                    [LOADED, INIT, read(1), write(1, HEADER_ONLY), read(2), write(2, FPGA), TERM, FREED],
                    written(nios=HEADER_ONLY))),
    # PayloadSize 2^32 - 64: DataSize wraps to 0, the image is left alone
    # without a line.
    Scenario("payload_size_wraps", Setup(images={PROCESSOR_IMAGE: WRAPPING, FPGA_IMAGE: FPGA}),
             Expect(head(1) + update(FPGA), [LOADED, INIT, read(2), write(2, FPGA), TERM, FREED],
                    {1: None, 2: FPGA})),
    Scenario("fl_read_fails", Setup(images=BOTH, flash=written(), simulator={"HEXSIM_FL_READ": 0}),
             Expect(head(1) + checked(NIOS, "", None) + checked(FPGA, "", None),
                    [LOADED, INIT, read(1, 0), read(2, 0), TERM, FREED], written())),
    Scenario("fl_write_fails", Setup(images=BOTH, simulator={"HEXSIM_FL_WRITE": 0}),
             Expect(head(1) + update(NIOS) + update(FPGA),
                    [LOADED, INIT, read(1), write(1, NIOS, 0), read(2), write(2, FPGA, 0), TERM, FREED],
                    NOTHING_WRITTEN)),
    Scenario("fl_terminate_0", Setup(images=BOTH, simulator={"HEXSIM_FL_TERMINATE": 0}),
             Expect(head(1) + update(NIOS) + update(FPGA),
                    [*WROTE_BOTH[:-2], "FL_Terminate() = 0", FREED], written())),
    # 16 characters never equal the 15 that flash gives back: written again
    # on every run.
    Scenario("version_of_16_characters", Setup(images={PROCESSOR_IMAGE: SIXTEEN, FPGA_IMAGE: FPGA}),
             Expect(head(1) + update(SIXTEEN) + update(FPGA),
                    [LOADED, INIT, read(1), write(1, SIXTEEN), read(2), write(2, FPGA), TERM, FREED],
                    written(nios=SIXTEEN)),
             then=Expect(head(1) + update(SIXTEEN, "ABCDEFGHIJKLMNO") + same(FPGA),
                         [LOADED, INIT, read(1), write(1, SIXTEEN), read(2), TERM, FREED],
                         written(nios=SIXTEEN))),
    Scenario("trailing_blank_differs", Setup(images={PROCESSOR_IMAGE: Image("1.00 "), FPGA_IMAGE: FPGA},
                                             flash={1: Image("1.00"), 2: FPGA}),
             Expect(head(1) + update(Image("1.00 "), "1.00") + same(FPGA),
                    [LOADED, INIT, read(1), write(1, Image("1.00 ")), read(2), TERM, FREED],
                    written(nios=Image("1.00 ")))),
    # The installer digit goes into flash, so the next run sees a different
    # version and writes again.
    Scenario("installer_id_3_stamps", Setup(settings=b"3", images=BOTH),
             Expect(head(3) + update(NIOS) + update(FPGA), WROTE_BOTH,
                    written(STAMPED_NIOS, STAMPED_FPGA)),
             then=Expect(head(3) + update(NIOS, "3.00") + update(FPGA, "3.5"), WROTE_BOTH,
                         written(STAMPED_NIOS, STAMPED_FPGA))),
    Scenario("installer_id_1_no_stamp", Setup(settings=b"1", images=BOTH),
             Expect(head(1) + update(NIOS) + update(FPGA), WROTE_BOTH, written()),
             then=Expect(head(1) + same(NIOS) + same(FPGA), CHECKED_BOTH, written())),
]

BY_NAME = {scenario.name: scenario for scenario in SCENARIOS}
assert len(BY_NAME) == len(SCENARIOS), "scenario names must be unique"
