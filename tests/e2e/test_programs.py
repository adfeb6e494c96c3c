"""Windows programs of a build in its prefix: each test program must end
with status 0, what it printed shown either way; and the image tool for
Windows makes the same image as the native one."""

import subprocess

import pytest
from harness import run_program
from winhost import CORECLR_OVERRIDES, guest, limits


@pytest.mark.timeout(limits.test(guest.inside(), programs=1), func_only=True)
def test_program(program, session, pytestconfig) -> None:
    # A CoreCLR program needs Wine's own mscoree, which loads the runtime.
    coreclr = {"WINEDLLOVERRIDES": CORECLR_OVERRIDES}
    extra = coreclr if pytestconfig.getoption("coreclr") else {}
    assert run_program(session, program, **extra) == 0


@pytest.mark.timeout(limits.test(guest.inside(), programs=1), func_only=True)
def test_imagetool_exe_makes_the_same_image(session, pytestconfig, tmp_path) -> None:
    option = pytestconfig.getoption
    (tmp_path / "payload").write_bytes(b"abc")
    native = [option("imagetool"), "create", "7.7", "payload", "native"]
    subprocess.run(native, cwd=tmp_path, check=True)
    windows = [option("windows_bin") / "imagetool.exe", "create", "7.7"]
    status = session.run([*windows, "payload", "windows"], tmp_path, tmp_path / "out")
    assert status == 0, (tmp_path / "out").read_text(errors="replace")
    assert (tmp_path / "windows").read_bytes() == (tmp_path / "native").read_bytes()
