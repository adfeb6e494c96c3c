"""The end-to-end scenarios: what lies on the machine, and the exact log,
journal and flash contents each run must leave."""

from dataclasses import dataclass, replace

from winhost.hexalift import DIRECTORY, FPGA_IMAGE, INSTALL_DIR, PROCESSOR_IMAGE, Setup

NIOS_PATH = INSTALL_DIR + PROCESSOR_IMAGE
FPGA_PATH = INSTALL_DIR + FPGA_IMAGE
ERASED_TEXT = "\xff" * 15  # blank flash reads back as 0xFF, the 16th byte is cut


@dataclass(frozen=True)
class Image:
    """An image file made by the image tool, or given byte for byte."""

    version: str = "1.00"
    payload: bytes = b"abc"
    corrupt_at: int | None = None  # flip a bit there after making it
    stamp: bytes | None = None  # what hexalift writes at offset 8 (installer digit)
    raw: bytes | None = None

    def make(self, tools) -> bytes:
        if self.raw is DIRECTORY:
            return DIRECTORY
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


def version_check(
    version: str, data_size: int, current: str, verdict: str | None
) -> str:
    """The lines of one image's version check; verdict None after a failed read."""
    text = f"InstallVerStr = {version}, DataSize = 0x{data_size:08x}\nCurrentVerStr = {current}\n"
    return text + ("" if verdict is None else f"({verdict})\n")


def checked(image: Image, current: str, verdict: str | None) -> str:
    return version_check(image.version, image.data_size, current, verdict)


def read_failed(image: Image, current: str = "") -> str:
    return checked(image, current, None) + "FL_Read() FALSE\n"


WRITE_FAILED = "FL_Write() FALSE\n"


def update(image: Image, current: str = ERASED_TEXT) -> str:
    return checked(image, current, "Update")


def same(image: Image) -> str:
    return checked(image, image.version, "Same Version")


# The board's log lines around the images.
RESET = "IB_WriteSingleRegister( 0, 0x10028, 0, 32 )\n"
NORMAL = "IB_WriteSingleRegister( 0, 0x10028, 1, 32 )\n"
NO_BOARD_START = "Load( zefib.dll ) FALSE\nIB_Initialize() FALSE\n"
NO_BOARD_END = "IB_Close() FALSE\nIB_Terminate() FALSE\n"


def log(
    installer_id: int, images: str = "", start: str = RESET, end: str = NORMAL
) -> str:
    return (
        f"(Id:{installer_id})\npObjFname = {NIOS_PATH}\npFpgaFname = {FPGA_PATH}\n"
        + start
        + images
        + end
    )


LOADED = "Flash.dll loaded"
FREED = "Flash.dll unloaded (FreeLibrary)"
KEPT = "Flash.dll unloaded (process exit)"  # loaded until the process ends
INIT = "FL_Initialize() = 1"
TERM = "FL_Terminate() = 1"


def read(target: int, result: int | str = 1) -> str:
    return f"FL_Read({target}, 8, *, 16) = {result}"


def write(target: int, image: Image, result: int | str = 1) -> str:
    return f"FL_Write({target}, 0, *, {image.data_size}) = {result}"


def register(value: int, result: int | str = 1) -> str:
    return f"IB_WriteSingleRegister(7, 0, 0x10028, {value}, 32) = {result}"


BOARD_LOADED = "zefib.dll loaded"
BOARD_OPEN = [BOARD_LOADED, "IB_Initialize() = 1", "IB_Open(0) = 7", register(0)]
BOARD_CLOSE = [
    register(1),
    "IB_Close(7) = 1",
    "IB_Terminate() = 1",
    "zefib.dll unloaded (FreeLibrary)",
]
FLASH_START = [LOADED, INIT]
FLASH_END = [TERM, FREED]


def journal(
    images: list,
    flash_start=FLASH_START,
    flash_end=FLASH_END,
    board_open=BOARD_OPEN,
    board_close=BOARD_CLOSE,
) -> list:
    """The calls in the run's order: flash library, board and reset, images,
    normal operation and board release, flash release."""
    return flash_start + board_open + images + board_close + flash_end


WROTE_BOTH = journal([read(1), write(1, NIOS), read(2), write(2, FPGA)])
CHECKED_BOTH = journal([read(1), read(2)])
BOTH_UPDATED = update(NIOS) + update(FPGA)


@dataclass(frozen=True)
class Verdict:
    """What `imagetool outcome` must say of the run's log. status None: 0
    when both images are current or written, the module was held in reset and
    returned to normal operation and the run finished, else 1."""

    processor: str = "written"
    fpga: str = "written"
    held: bool = True
    returned: bool = True
    run: str = "finished"
    status: int | None = None
    order_certain: bool = True

    def resolved(self) -> "Verdict":
        good = (
            {self.processor, self.fpga} <= {"current", "written"}
            and self.held
            and self.returned
        )
        status = 0 if good and self.run == "finished" else 1
        return self if self.status is not None else replace(self, status=status)


NOT_A_LOG = Verdict(status=2)  # an earlier run's text: the reader names its line
CURRENT = Verdict("current", "current")
NOT_CHECKED = Verdict("not checked", "not checked")
NO_HOLD = Verdict(held=False, returned=False, status=1)  # and the board's release lines
OTHER_FAILURE = Verdict(status=1)  # the update went well, yet a failure was logged


@dataclass
class Expect:
    log: str | bytes | None  # text with "\n" (stored as CR LF), exact bytes, or no file
    journal: list
    flash: dict  # target -> Image, bytes or None (never written)
    reset_register: bytes | None = b"1\n"  # None: never written
    named: tuple = (NIOS_PATH, FPGA_PATH)  # images the window names, in order
    crash: str | None = None  # the step in which a simulated library ends the process: "images", "normal"
    verdict: Verdict | None = Verdict()  # None: no log to read


@dataclass
class Scenario:
    name: str
    setup: Setup
    expect: Expect
    then: Expect | None = None  # a second run on what the first left


def written(nios=NIOS, fpga=FPGA) -> dict:
    return {1: nios, 2: fpga}


NOTHING_WRITTEN = {1: None, 2: None}
NONE_NAMED, NIOS_NAMED, FPGA_NAMED = (), (NIOS_PATH,), (FPGA_PATH,)
FLASH_ONLY = {"Flash.dll": "Flash"}
NO_BOARD_LOG = dict(start=NO_BOARD_START, end=NO_BOARD_END)
NO_BOARD_JOURNAL = dict(board_open=[], board_close=[])


def flash_without(entry: str) -> Scenario:
    return Scenario(
        f"flash_without_{entry}",
        Setup(
            images=BOTH,
            libraries={"Flash.dll": f"Flash-without-{entry}", "zefib.dll": "zefib"},
        ),
        Expect(
            log(1),
            journal([], flash_start=[LOADED], flash_end=[KEPT]),
            NOTHING_WRITTEN,
            named=NONE_NAMED,
            verdict=NOT_CHECKED,
        ),
    )


def board_without(entry: str) -> Scenario:
    """An incomplete board library: both load lines, both release lines, no
    IB_Terminate; the library stays loaded and the images are still written."""
    return Scenario(
        f"board_without_{entry}",
        Setup(
            images=BOTH,
            libraries={"Flash.dll": "Flash", "zefib.dll": f"zefib-without-{entry}"},
        ),
        Expect(
            log(1, BOTH_UPDATED, **NO_BOARD_LOG),
            [
                LOADED,
                INIT,
                BOARD_LOADED,
                read(1),
                write(1, NIOS),
                read(2),
                write(2, FPGA),
                TERM,
                FREED,
                "zefib.dll unloaded (process exit)",
            ],
            written(),
            reset_register=None,
            verdict=NO_HOLD,
        ),
    )


def board_scenario(
    name: str,
    simulator: dict,
    start: str,
    end: str,
    board_open: list,
    board_close: list,
    reset_register: bytes | None,
    verdict: Verdict,
    at_exit: tuple = (),
) -> Scenario:
    """at_exit: libraries never released, unloaded when the process ends."""
    return Scenario(
        name,
        Setup(images=BOTH, simulator=simulator),
        Expect(
            log(1, BOTH_UPDATED, start, end),
            journal(
                [read(1), write(1, NIOS), read(2), write(2, FPGA)],
                board_open=board_open,
                board_close=board_close,
            )
            + list(at_exit),
            written(),
            reset_register,
            verdict=verdict,
        ),
    )


def settings_scenario(name: str, settings: bytes, installer_id: int) -> Scenario:
    """Ids 2 to 127 are stamped into the written images as the settings byte."""
    stamp = settings[:1] if 2 <= installer_id <= 127 else None
    return Scenario(
        name,
        Setup(settings=settings, images=BOTH),
        Expect(
            log(installer_id, BOTH_UPDATED),
            WROTE_BOTH,
            written(replace(NIOS, stamp=stamp), replace(FPGA, stamp=stamp)),
        ),
    )


SIXTEEN = Image("ABCDEFGHIJKLMNOP", b"x")
STAMPED_NIOS = replace(NIOS, stamp=b"3")
STAMPED_FPGA = replace(FPGA, stamp=b"3")
HEADER_ONLY = Image("0.1", b"")
# An image that reading in text mode would alter: its payload holds CR LF
# and 0x1A, and its size, 0x0A0D, puts CR LF into the header's PayloadSize.
TEXT_MODE_BYTES = Image("1.02", (b"CR LF \r\n, end of file \x1a; " * 120)[:0x0A0D])
BOARD_FREED = "zefib.dll unloaded (FreeLibrary)"
BOARD_KEPT = "zefib.dll unloaded (process exit)"


def header(version: bytes, payload_size: int, length: int = 64) -> bytes:
    """An image header (checksum not set) cut or padded to length bytes."""
    data = bytearray(64)
    data[8 : 8 + len(version)] = version
    data[60:64] = payload_size.to_bytes(4, "little")
    return bytes(data[:length]).ljust(length, b"\x00")


WRAPPING = Image(raw=header(b"9.9", 0xFFFFFFC0))  # DataSize wraps to 0


CHECKSUM_ERROR = "ReadFileWithCheckSum:CheckSum Error\n"
# name, processor image, its log lines, whether the window names it, its verdict
HOSTILE_IMAGES = [
    (
        "image_is_directory",
        Image(raw=DIRECTORY),
        f"GetFileInf:{NIOS_PATH} File Open Error\n",
        False,
        "not written: file",
    ),
    (
        "image_of_0_bytes",
        Image(raw=b""),
        version_check("", 64, ERASED_TEXT, "Update") + CHECKSUM_ERROR,
        True,
        "not written: checksum",
    ),
    (
        "image_header_only",
        Image(raw=header(b"1.00", 3)),
        version_check("1.00", 67, ERASED_TEXT, "Update") + CHECKSUM_ERROR,
        True,
        "not written: checksum",
    ),
    # The buffer can be had, the read comes up short.
    (
        "payload_far_larger_than_file",
        Image(raw=header(b"1.00", 100 << 20) + b"abc"),
        version_check("1.00", (100 << 20) + 64, ERASED_TEXT, "Update") + CHECKSUM_ERROR,
        True,
        "not written: checksum",
    ),
    # Nearly 4 GiB: no 32-bit process can have it.
    (
        "payload_too_large_to_allocate",
        Image(raw=header(b"1.00", 0xFFFFFF00) + b"abc"),
        version_check("1.00", 0xFFFFFF40, ERASED_TEXT, "Update")
        + "Insufficient memory available\n",
        True,
        "not written: memory",
    ),
]


def hostile_image(
    name: str, image: Image, lines: str, named: bool, processor: str
) -> Scenario:
    """A processor image that must not be written; the FPGA image still is."""
    reads = [read(1)] if named else []
    return Scenario(
        name,
        Setup(images={PROCESSOR_IMAGE: image, FPGA_IMAGE: FPGA}),
        Expect(
            log(1, lines + update(FPGA)),
            journal(reads + [read(2), write(2, FPGA)]),
            {1: None, 2: FPGA},
            named=(NIOS_PATH, FPGA_PATH) if named else FPGA_NAMED,
            verdict=Verdict(processor),
        ),
    )


SCENARIOS = [
    Scenario(
        "both_differ",
        Setup(images=BOTH),
        Expect(log(1, BOTH_UPDATED), WROTE_BOTH, written()),
        then=Expect(
            log(1, same(NIOS) + same(FPGA)),
            CHECKED_BOTH,
            written(),
            named=NONE_NAMED,
            verdict=CURRENT,
        ),
    ),
    # Settings byte and run log.
    Scenario(
        "no_settings_file",
        Setup(settings=None, old_log=b"earlier run\r\n", images=BOTH),
        Expect(b"earlier run\r\n", WROTE_BOTH, written(), verdict=NOT_A_LOG),
    ),
    settings_scenario("settings_0", b"0", 0),
    settings_scenario("settings_empty", b"", -48),
    settings_scenario("settings_12", b"12", 1),
    settings_scenario("settings_7", b"7", 7),
    settings_scenario("settings_A", b"A", 17),
    # The edges of stamping: 0x32 ("2") is the lowest byte that stamps,
    # 0xAF the highest; 0xB0 gives -128 and does not.
    settings_scenario("settings_2", b"2", 2),
    settings_scenario("settings_AF", b"\xaf", 127),
    settings_scenario("settings_B0", b"\xb0", -128),
    # Bytes that reading in text mode would alter: 0x1A ends the file there,
    # CR LF becomes LF.
    settings_scenario("settings_1A", b"\x1a", -22),
    settings_scenario("settings_CR_LF", b"\r\n", -35),
    # Outside the NT family (GetVersion's top bit set) the shutdown is
    # requested without touching the token.
    Scenario(
        "settings_0_outside_nt",
        Setup(settings=b"0", images=BOTH, windows_98=True),
        Expect(log(0, BOTH_UPDATED), WROTE_BOTH, written()),
    ),
    Scenario(
        "log_cannot_be_created",
        Setup(log_is_directory=True, images=BOTH),
        Expect(None, WROTE_BOTH, written(), verdict=None),
    ),
    # Without a display the window cannot be created: logged, and the run
    # goes on with the window calls on no window.
    Scenario(
        "no_display",
        Setup(images=BOTH, display=False),
        Expect(
            log(1, "CreateDialog Error\n" + BOTH_UPDATED),
            WROTE_BOTH,
            written(),
            verdict=OTHER_FAILURE,
        ),
    ),
    # The flash library.
    Scenario(
        "flash_absent",
        Setup(images=BOTH, libraries={"zefib.dll": "zefib"}),
        Expect(
            log(1),
            journal([], flash_start=[], flash_end=[]),
            NOTHING_WRITTEN,
            named=NONE_NAMED,
            verdict=NOT_CHECKED,
        ),
    ),
    *[
        flash_without(entry)
        for entry in (
            "FL_Initialize",
            "FL_Terminate",
            "FL_Write",
            "FL_Read",
            "FL_Erase",
            "FL_GetLastError",
        )
    ],
    Scenario(
        "fl_initialize_0",
        Setup(images=BOTH, simulator={"HEXSIM_FL_INITIALIZE": 0}),
        Expect(
            log(1),
            journal([], flash_start=[LOADED, "FL_Initialize() = 0"], flash_end=[KEPT]),
            NOTHING_WRITTEN,
            named=NONE_NAMED,
            verdict=NOT_CHECKED,
        ),
    ),
    # Initialised, but not to exactly 1: the binding forwards nothing, so no
    # image is handled, as when it does not initialise; it is still released.
    Scenario(
        "fl_initialize_2",
        Setup(images=BOTH, simulator={"HEXSIM_FL_INITIALIZE": 2}),
        Expect(
            log(1),
            journal([], flash_start=[LOADED, "FL_Initialize() = 2"], flash_end=[FREED]),
            NOTHING_WRITTEN,
            named=NONE_NAMED,
            verdict=NOT_CHECKED,
        ),
    ),
    Scenario(
        "fl_read_fails",
        Setup(images=BOTH, flash=written(), simulator={"HEXSIM_FL_READ": 0}),
        Expect(
            log(1, read_failed(NIOS) + read_failed(FPGA)),
            journal([read(1, 0), read(2, 0)]),
            written(),
            named=NONE_NAMED,
            verdict=Verdict("flash read failed", "flash read failed"),
        ),
    ),
    Scenario(
        "fl_write_fails",
        Setup(images=BOTH, simulator={"HEXSIM_FL_WRITE": 0}),
        Expect(
            log(1, update(NIOS) + WRITE_FAILED + update(FPGA) + WRITE_FAILED),
            journal([read(1), write(1, NIOS, 0), read(2), write(2, FPGA, 0)]),
            NOTHING_WRITTEN,
            verdict=Verdict("flash write failed", "flash write failed"),
        ),
    ),
    # A vendor library that ends the process: every line logged so far is on
    # disk, the journal ends with the call, the module stays in reset.
    Scenario(
        "fl_write_crashes",
        Setup(images=BOTH, simulator={"HEXSIM_FL_WRITE": "crash"}),
        Expect(
            log(1, update(NIOS), end=""),
            FLASH_START + BOARD_OPEN + [read(1), write(1, NIOS, "access violation")],
            NOTHING_WRITTEN,
            reset_register=b"0\n",
            named=NIOS_NAMED,
            crash="images",
            verdict=Verdict(
                "being written when the log ends",
                "not checked",
                returned=False,
                run="did not finish, while writing the processor image",
            ),
        ),
    ),
    Scenario(
        "normal_write_crashes",
        Setup(images=BOTH, simulator={"HEXSIM_IB_WRITE_NORMAL": "crash"}),
        Expect(
            log(1, BOTH_UPDATED, end=""),
            FLASH_START
            + BOARD_OPEN
            + [
                read(1),
                write(1, NIOS),
                read(2),
                write(2, FPGA),
                register(1, "access violation"),
            ],
            written(),
            reset_register=b"0\n",
            crash="normal",
            # The log cannot show that the FPGA image's write returned.
            verdict=Verdict(
                fpga="being written when the log ends",
                returned=False,
                run="did not finish, while writing the FPGA image",
            ),
        ),
    ),
    Scenario(
        "fl_terminate_0",
        Setup(images=BOTH, simulator={"HEXSIM_FL_TERMINATE": 0}),
        Expect(
            log(1, BOTH_UPDATED),
            journal(
                [read(1), write(1, NIOS), read(2), write(2, FPGA)],
                flash_end=["FL_Terminate() = 0", FREED],
            ),
            written(),
        ),
    ),
    # The images.
    Scenario(
        "both_current",
        Setup(images=BOTH, flash=written()),
        Expect(
            log(1, same(NIOS) + same(FPGA)),
            CHECKED_BOTH,
            written(),
            named=NONE_NAMED,
            verdict=CURRENT,
        ),
    ),
    Scenario(
        "only_fpga_differs",
        Setup(images=BOTH, flash={1: NIOS, 2: Image("2.4", b"old fpga")}),
        Expect(
            log(1, same(NIOS) + update(FPGA, "2.4")),
            journal([read(1), read(2), write(2, FPGA)]),
            written(),
            named=FPGA_NAMED,
            verdict=Verdict(processor="current"),
        ),
    ),
    Scenario(
        "older_version_is_written",
        Setup(images=BOTH, flash={1: NEW_NIOS, 2: FPGA}),
        Expect(
            log(1, update(NIOS, "1.01") + same(FPGA)),
            journal([read(1), write(1, NIOS), read(2)]),
            written(),
            named=NIOS_NAMED,
            verdict=Verdict(fpga="current"),
        ),
    ),
    Scenario(
        "checksum_error",
        Setup(images={PROCESSOR_IMAGE: replace(NIOS, corrupt_at=70), FPGA_IMAGE: FPGA}),
        Expect(
            log(
                1, update(NIOS) + "ReadFileWithCheckSum:CheckSum Error\n" + update(FPGA)
            ),
            journal([read(1), read(2), write(2, FPGA)]),
            {1: None, 2: FPGA},
            verdict=Verdict("not written: checksum"),
        ),
    ),
    Scenario(
        "image_missing",
        Setup(images={FPGA_IMAGE: FPGA}),
        Expect(
            log(1, f"GetFileInf:{NIOS_PATH} File Open Error\n" + update(FPGA)),
            journal([read(2), write(2, FPGA)]),
            {1: None, 2: FPGA},
            named=FPGA_NAMED,
            verdict=Verdict("not written: file"),
        ),
    ),
    Scenario(
        "bytes_text_mode_would_alter",
        Setup(images={PROCESSOR_IMAGE: TEXT_MODE_BYTES, FPGA_IMAGE: FPGA}),
        Expect(
            log(1, update(TEXT_MODE_BYTES) + update(FPGA)),
            journal([read(1), write(1, TEXT_MODE_BYTES), read(2), write(2, FPGA)]),
            written(nios=TEXT_MODE_BYTES),
        ),
    ),
    Scenario(
        "payload_size_0",
        Setup(images={PROCESSOR_IMAGE: HEADER_ONLY, FPGA_IMAGE: FPGA}),
        Expect(
            log(1, update(HEADER_ONLY) + update(FPGA)),
            journal([read(1), write(1, HEADER_ONLY), read(2), write(2, FPGA)]),
            written(nios=HEADER_ONLY),
        ),
    ),
    # PayloadSize 2^32 - 64: DataSize wraps to 0, the image is left alone
    # without a line.
    Scenario(
        "payload_size_wraps",
        Setup(images={PROCESSOR_IMAGE: WRAPPING, FPGA_IMAGE: FPGA}),
        Expect(
            log(1, update(FPGA)),
            journal([read(2), write(2, FPGA)]),
            {1: None, 2: FPGA},
            named=FPGA_NAMED,
            # One image has no line: the log cannot say which, and the
            # reader reads the lines as the first image's and says so.
            verdict=Verdict(fpga="not checked", order_certain=False),
        ),
    ),
    # 16 characters never equal the 15 that flash gives back: written again
    # on every run.
    Scenario(
        "version_of_16_characters",
        Setup(images={PROCESSOR_IMAGE: SIXTEEN, FPGA_IMAGE: FPGA}),
        Expect(
            log(1, update(SIXTEEN) + update(FPGA)),
            journal([read(1), write(1, SIXTEEN), read(2), write(2, FPGA)]),
            written(nios=SIXTEEN),
        ),
        then=Expect(
            log(1, update(SIXTEEN, "ABCDEFGHIJKLMNO") + same(FPGA)),
            journal([read(1), write(1, SIXTEEN), read(2)]),
            written(nios=SIXTEEN),
            named=NIOS_NAMED,
            verdict=Verdict(fpga="current"),
        ),
    ),
    Scenario(
        "trailing_blank_differs",
        Setup(
            images={PROCESSOR_IMAGE: Image("1.00 "), FPGA_IMAGE: FPGA},
            flash={1: Image("1.00"), 2: FPGA},
        ),
        Expect(
            log(1, update(Image("1.00 "), "1.00") + same(FPGA)),
            journal([read(1), write(1, Image("1.00 ")), read(2)]),
            written(nios=Image("1.00 ")),
            named=NIOS_NAMED,
            verdict=Verdict(fpga="current"),
        ),
    ),
    # The installer digit goes into flash, so the next run sees a different
    # version and writes again.
    Scenario(
        "installer_id_3_stamps",
        Setup(settings=b"3", images=BOTH),
        Expect(log(3, BOTH_UPDATED), WROTE_BOTH, written(STAMPED_NIOS, STAMPED_FPGA)),
        then=Expect(
            log(3, update(NIOS, "3.00") + update(FPGA, "3.5")),
            WROTE_BOTH,
            written(STAMPED_NIOS, STAMPED_FPGA),
        ),
    ),
    Scenario(
        "installer_id_1_no_stamp",
        Setup(settings=b"1", images=BOTH),
        Expect(log(1, BOTH_UPDATED), WROTE_BOTH, written()),
        then=Expect(
            log(1, same(NIOS) + same(FPGA)),
            CHECKED_BOTH,
            written(),
            named=NONE_NAMED,
            verdict=CURRENT,
        ),
    ),
    # Files that cannot be trusted never reach flash, and the run goes on.
    *[hostile_image(*row) for row in HOSTILE_IMAGES],
    # A settings "file" that cannot be opened counts as absent: no log (an
    # old one stays), and the shutdown.
    Scenario(
        "settings_is_directory",
        Setup(settings=DIRECTORY, old_log=b"earlier run\r\n", images=BOTH),
        Expect(b"earlier run\r\n", WROTE_BOTH, written(), verdict=NOT_A_LOG),
    ),
    Scenario(
        "log_read_only",
        Setup(old_log=b"earlier run\r\n", log_read_only=True, images=BOTH),
        Expect(b"earlier run\r\n", WROTE_BOTH, written(), verdict=NOT_A_LOG),
    ),
    # The board: the module is held in reset while images are handled.
    Scenario(
        "board_absent",
        Setup(images=BOTH, libraries=FLASH_ONLY),
        Expect(
            log(1, BOTH_UPDATED, **NO_BOARD_LOG),
            journal(
                [read(1), write(1, NIOS), read(2), write(2, FPGA)], **NO_BOARD_JOURNAL
            ),
            written(),
            reset_register=None,
            verdict=NO_HOLD,
        ),
    ),
    *[
        board_without(entry)
        for entry in (
            "IB_Initialize",
            "IB_Terminate",
            "IB_Open",
            "IB_Close",
            "IB_WriteSingleRegister",
        )
    ],
    board_scenario(
        "ib_initialize_0",
        {"HEXSIM_IB_INITIALIZE": 0},
        "IB_Initialize() FALSE\n",
        NO_BOARD_END,
        [BOARD_LOADED, "IB_Initialize() = 0"],
        [],
        None,
        NO_HOLD,
        at_exit=(BOARD_KEPT,),
    ),
    # Initialised to 2: Open answers no board without calling the library.
    board_scenario(
        "ib_initialize_2",
        {"HEXSIM_IB_INITIALIZE": 2},
        "",
        NO_BOARD_END,
        [BOARD_LOADED, "IB_Initialize() = 2"],
        [BOARD_FREED],
        None,
        NO_HOLD,
    ),
    board_scenario(
        "ib_open_0",
        {"HEXSIM_IB_OPEN": 0},
        "",
        NO_BOARD_END,
        [BOARD_LOADED, "IB_Initialize() = 1", "IB_Open(0) = 0"],
        [BOARD_FREED],
        None,
        NO_HOLD,
    ),
    board_scenario(
        "reset_write_fails",
        {"HEXSIM_IB_WRITE_RESET": 0},
        "IB_WriteSingleRegister(Reset) Error\n",
        NORMAL,
        [*BOARD_OPEN[:-1], register(0, 0)],
        BOARD_CLOSE,
        b"1\n",
        Verdict(held=False),
    ),
    # The module is left in reset: the register shows it.
    board_scenario(
        "normal_write_fails",
        {"HEXSIM_IB_WRITE_NORMAL": 0},
        RESET,
        "IB_WriteSingleRegister(Normal) Error\n",
        BOARD_OPEN,
        [register(1, 0), *BOARD_CLOSE[1:]],
        b"0\n",
        Verdict(returned=False),
    ),
    board_scenario(
        "ib_close_0",
        {"HEXSIM_IB_CLOSE": 0},
        RESET,
        NORMAL + NO_BOARD_END,
        BOARD_OPEN,
        [register(1), "IB_Close(7) = 0", BOARD_FREED],
        b"1\n",
        OTHER_FAILURE,
    ),
    board_scenario(
        "ib_close_minus_1",
        {"HEXSIM_IB_CLOSE": -1},
        RESET,
        NORMAL + "IB_Close() FALSE\n",
        BOARD_OPEN,
        [register(1), "IB_Close(7) = -1", BOARD_FREED],
        b"1\n",
        OTHER_FAILURE,
    ),
    board_scenario(
        "ib_terminate_0",
        {"HEXSIM_IB_TERMINATE": 0},
        RESET,
        NORMAL + "IB_Terminate() FALSE\n",
        BOARD_OPEN,
        [register(1), "IB_Close(7) = 1", "IB_Terminate() = 0", BOARD_FREED],
        b"1\n",
        OTHER_FAILURE,
    ),
]

BY_NAME = {scenario.name: scenario for scenario in SCENARIOS}

# Scenarios that mean something only in a 32-bit process: the x86-64 build
# reports them as skipped, with the reason.
ONLY_32_BIT = {
    "payload_too_large_to_allocate": "a 64-bit process can allocate nearly 4 GiB, so the allocation "
    "failure this scenario checks cannot happen in the x86-64 build",
}
assert set(ONLY_32_BIT) <= set(BY_NAME)
assert len(BY_NAME) == len(SCENARIOS), "scenario names must be unique"
