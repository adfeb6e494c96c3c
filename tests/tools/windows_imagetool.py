"""The image tool for Windows (imagetool.exe of one build) under Wine: it
makes the same image as the native tool. A test that holds the build's
Wine session calls check_same_image.
"""

import subprocess
from pathlib import Path


def check_same_image(session, windows_bin: Path, imagetool: Path, folder: Path):
    """Creates one image with each tool in folder (an empty one) and
    compares them; session is the build's winhost.WineSession."""
    (folder / "payload").write_bytes(b"abc")
    subprocess.run(
        [imagetool, "create", "7.7", folder / "payload", folder / "native"], check=True
    )
    status = session.run(
        [windows_bin / "imagetool.exe", "create", "7.7", "payload", "windows"],
        folder,
        folder / "out",
    )
    assert status == 0, (folder / "out").read_text(errors="replace")
    native, windows = (folder / name for name in ("native", "windows"))
    assert windows.read_bytes() == native.read_bytes(), f"{windows} and {native} differ"
