"""hexalift's surroundings in a Wine prefix: the program with the simulated module's libraries beside it, the
images in the install folder, the settings file and the run log on drive C, and the flash the simulator holds.
The demo, the scenarios and the benchmark lay a run out with this."""

import shutil
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

from . import scratch
from .prefix_settings import WIN98_PROGRAM
from .session import WineSession

INSTALL_DIR = (
    "C:\\Program Files\\Veltrane Corporation\\Signal Analyzer\\System"
    "\\Hardware Objects\\Optical\\"
)
PROCESSOR_IMAGE = "qd5180b.nios"
FPGA_IMAGE = "qd5180a.fpga"
TARGET_OF = {PROCESSOR_IMAGE: 1, FPGA_IMAGE: 2}
SETTINGS = "zef_installer.ini"
RUN_LOG = "zef_installer.log"
DIRECTORY = b"<a directory>"  # an image or settings "file" that is a directory


@dataclass
class Tools:
    windows_bin: Path  # hexalift.exe and simulator/ beside it, of one build
    imagetool: Path  # the native image tool
    session: WineSession  # the Wine prefix, server and display that build runs in

    def drive_c(self) -> Path:
        return self.session.prefix / "drive_c"

    def install_dir(self) -> Path:
        return self.drive_c() / INSTALL_DIR[3:].rstrip("\\").replace("\\", "/")

    def make_image(self, version: str, payload: bytes) -> bytes:
        """A valid image made by the image tool."""
        with scratch.folder(prefix="image-") as folder:
            (folder / "payload").write_bytes(payload)
            subprocess.run(
                [
                    str(self.imagetool),
                    "create",
                    version,
                    str(folder / "payload"),
                    str(folder / "image"),
                ],
                check=True,
            )
            return (folder / "image").read_bytes()


@dataclass
class Setup:
    """What lies on the machine before a run."""

    settings: bytes | None = b"1"  # c:\zef_installer.ini; None: absent
    old_log: bytes | None = None  # c:\zef_installer.log before the run
    log_is_directory: bool = False  # the log cannot be created
    log_read_only: bool = False  # old_log is immutable: it cannot be opened for writing
    images: dict = field(default_factory=dict)  # file name -> bytes; missing: absent
    flash: dict = field(default_factory=dict)  # target -> bytes held before the run
    libraries: dict = field(
        default_factory=lambda: {"Flash.dll": "Flash", "zefib.dll": "zefib"}
    )
    simulator: dict = field(default_factory=dict)  # HEXSIM_* settings
    display: bool = True  # False: no X display, so no window
    windows_98: bool = False  # runs as WIN98_PROGRAM, told so by the prefix

    @property
    def program(self) -> str:
        return WIN98_PROGRAM if self.windows_98 else "hexalift.exe"


def lay_out(tools: Tools, run_dir: Path, setup: Setup) -> None:
    """Clears what an earlier run left, then puts the program, its libraries,
    the images, the settings and the flash contents in place for a first run."""
    for name in (SETTINGS, RUN_LOG):
        path = tools.drive_c() / name
        if path.is_file():
            subprocess.run(["chattr", "-i", str(path)], check=True)
        if path.is_dir():
            shutil.rmtree(path)
        elif path.exists():
            path.unlink()
    shutil.rmtree(tools.install_dir(), ignore_errors=True)
    shutil.rmtree(run_dir, ignore_errors=True)
    run_dir.mkdir(parents=True)
    shutil.copy(tools.windows_bin / "hexalift.exe", run_dir / setup.program)
    for dll_name, built_name in setup.libraries.items():
        if built_name is not None:  # a simulated library, or a variant of one
            built = tools.windows_bin / "simulator" / f"{built_name}.dll"
            shutil.copy(
                built if built.exists() else built.parent / "variants" / built.name,
                run_dir / dll_name,
            )
    for target, content in setup.flash.items():
        (run_dir / f"flash-target-{target}.bin").write_bytes(content)

    tools.install_dir().mkdir(parents=True)
    for name, content in setup.images.items():
        write_or_make_directory(tools.install_dir() / name, content)
    if setup.settings is not None:
        write_or_make_directory(tools.drive_c() / SETTINGS, setup.settings)
    log = tools.drive_c() / RUN_LOG
    if setup.log_is_directory:
        log.mkdir()
    elif setup.old_log is not None:
        log.write_bytes(setup.old_log)
        if setup.log_read_only:
            # Wine running as root ignores missing write permission; the immutable flag holds even for root.
            subprocess.run(["chattr", "+i", str(log)], check=True)


def write_or_make_directory(path: Path, content: bytes) -> None:
    if content == DIRECTORY:
        path.mkdir()
    else:
        path.write_bytes(content)
