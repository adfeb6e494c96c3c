"""apt on a bad day, with stand-ins for apt-get, apt-cache and dpkg on PATH
(never the real ones) and for the machine's apt sources, from
tests/host/stand_ins/: what scripts/install-deps.sh does when a package
list fails or packages do not install, and how the guest's kernel is
fetched when apt's lists are out of date."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest
from process_checks import STAND_INS
from winhost import guest_boot
from winhost.builds import ROOT

WITHOUT_THE_FAILED_SUITE = """\
debian.sources:
# Stands in for a machine's /etc/apt/sources.list.d/debian.sources in
# tests/host/apt_test.py.
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main

sources.list:
# Stands in for a machine's /etc/apt/sources.list in tests/host/apt_test.py.
deb http://example.org/other bookworm-security main
"""
UPDATE = "apt-get update -qq -o Acquire::Retries=3"
INSTALL = "apt-get install -y -qq --no-install-recommends hexalift-absent-package"
INSTALL_WITHOUT = "apt-get -o Dir::Etc::SourceParts="
NAMED = "Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386"
ONCE_MORE = "once more without the suites whose lists failed: bookworm-security"
APTS_WORDS = "you have held broken packages"


def stand_ins(folder: Path, **behaviour: str) -> dict:
    """The stand-ins first on PATH in folder, and the machine's sources for
    apt-config: the environment to run with."""
    for name in ("apt-get", "apt-cache", "dpkg"):
        (folder / name).symlink_to(STAND_INS / "apt.py")
    shutil.copytree(STAND_INS / "apt_etc", folder / "etc")
    (folder / "etc" / "apt.conf.d").mkdir()
    (folder / "apt.conf").write_text(f'Dir::Etc "{folder / "etc"}";\n')
    return {
        **os.environ,
        "PATH": f"{folder}:{os.environ['PATH']}",
        "APT_CONFIG": str(folder / "apt.conf"),
        **{f"FAKE_{name.upper()}": value for name, value in behaviour.items()},
    }


def apt_calls(folder: Path) -> list:
    calls = folder / "calls.txt"
    lines = calls.read_text().splitlines() if calls.exists() else []
    return [line for line in lines if not line.startswith(("dpkg ", "apt-cache "))]


# update, install -> exit status, apt's calls, what it says, what it does not say
INSTALLS = {
    "a good day": ("works", "works", 0, [UPDATE, INSTALL], [], [NAMED, APTS_WORDS]),
    "a list fails, the packages install": (
        "one list fails",
        "works",
        0,
        [UPDATE, INSTALL],
        [NAMED],
        [ONCE_MORE],
    ),
    "a list fails, they install without its suite": (
        "one list fails",
        "only without the failed suite",
        0,
        [UPDATE, INSTALL, INSTALL_WITHOUT],
        [NAMED, ONCE_MORE],
        [APTS_WORDS],
    ),
    "a list fails, they do not install": (
        "one list fails",
        "fails",
        1,
        [UPDATE, INSTALL, INSTALL_WITHOUT],
        [NAMED, ONCE_MORE, APTS_WORDS, "cannot install hexalift-absent-package"],
        [],
    ),
    "no list fails, they do not install": (
        "works",
        "fails",
        1,
        [UPDATE, INSTALL],
        [APTS_WORDS],
        [ONCE_MORE],
    ),
}


@pytest.mark.parametrize("what", INSTALLS)
def test_a_failed_list_stops_it_only_when_the_packages_do_not_install(tmp_path, what):
    update, install, status, calls, said, not_said = INSTALLS[what]
    done = subprocess.run(
        ["bash", str(ROOT / "scripts" / "install-deps.sh"), "hexalift-absent-package"],
        env=stand_ins(tmp_path, update=update, install=install),
        capture_output=True,
        text=True,
    )
    assert done.returncode == status, done.stderr
    made = apt_calls(tmp_path)
    assert [
        call[: len(INSTALL_WITHOUT)] if call.startswith(INSTALL_WITHOUT) else call
        for call in made
    ] == calls
    for words in said:
        assert words in done.stderr
    for words in not_said:
        assert words not in done.stderr
    if INSTALL_WITHOUT in calls:
        assert (tmp_path / "sources.txt").read_text() == WITHOUT_THE_FAILED_SUITE
        assert "-o Dir::Etc::SourceList=/dev/null install" in made[-1]


# into the build folder: the machine's own lists stay as they were
@pytest.mark.parametrize("download", ["after an update", "never"])
def test_lists_out_of_date_are_fetched_anew_once(tmp_path, monkeypatch, download):
    for name, value in stand_ins(
        tmp_path, update="one list fails", download=download
    ).items():
        monkeypatch.setenv(name, value)
    work = tmp_path / "work"
    work.mkdir()
    try:
        said = guest_boot.download_kernel(work).name
    except guest_boot.GuestFailed as failure:
        said = str(failure)
    private = f"-o Dir::State::Lists={work / 'lists'} -o Dir::Cache={work / 'cache'}"
    assert apt_calls(tmp_path) == [
        "apt-get download -qq linux-image-6.1.0-1-amd64",
        f"apt-get {private} update -qq -o Acquire::Retries=3",
        f"apt-get {private} download -qq linux-image-6.1.0-2-amd64",
    ]
    assert not (tmp_path / "machine-lists").exists()
    if download == "after an update":
        assert said == "linux-image-6.1.0-2-amd64_amd64.deb"
    else:
        assert "even with apt's package lists fetched anew" in said
        assert "linux-image-6.1.0-2-amd64.deb  404  Not Found" in said
