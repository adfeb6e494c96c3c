"""apt on a bad day, with stand-ins for apt-get, apt-cache and dpkg on PATH
(never the real ones): what scripts/install-deps.sh does when a package
list fails or packages do not install, and how the guest's kernel is
fetched when apt's lists are out of date."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path
from unittest import mock

from winhost import guest_boot
from winhost.builds import ROOT

MACHINE_SOURCES = {  # the machine's apt sources, as apt-config shows them
    "sources.list.d/debian.sources": textwrap.dedent(
        """\
        Types: deb
        URIs: http://deb.debian.org/debian
        Suites: bookworm bookworm-updates
        Components: main

        Types: deb
        URIs: http://deb.debian.org/debian-security/
        Suites: bookworm-security
        Components: main
        """
    ),
    "sources.list": "deb http://deb.debian.org/debian-security bookworm-security contrib\n"
    "deb http://example.org/other bookworm-security main\n",
}
WITHOUT_THE_FAILED_SUITE = textwrap.dedent(
    """\
    debian.sources:
    Types: deb
    URIs: http://deb.debian.org/debian
    Suites: bookworm bookworm-updates
    Components: main

    sources.list:
    deb http://example.org/other bookworm-security main
    """
)
UPDATE = "apt-get update -qq -o Acquire::Retries=3"
INSTALL = "apt-get install -y -qq --no-install-recommends hexalift-absent-package"
INSTALL_WITHOUT = "apt-get -o Dir::Etc::SourceParts="


class StandIns:
    """A folder of stand-ins first on PATH, and machine sources for apt-config, for a test."""

    def __init__(self, test: unittest.TestCase, **behaviour: str):
        folder = tempfile.TemporaryDirectory()
        test.addCleanup(folder.cleanup)
        self.dir = Path(folder.name)
        program = Path(__file__).with_name("apt_stand_in.py").read_text()
        (self.dir / "stand_in.py").write_text(f"#!{sys.executable}\n{program}")
        (self.dir / "stand_in.py").chmod(0o755)
        for name in ("apt-get", "apt-cache", "dpkg"):
            (self.dir / name).symlink_to("stand_in.py")
        etc = self.dir / "etc"
        for name, text in MACHINE_SOURCES.items():
            (etc / name).parent.mkdir(parents=True, exist_ok=True)
            (etc / name).write_text(text)
        (etc / "apt.conf.d").mkdir()
        (self.dir / "apt.conf").write_text(f'Dir::Etc "{etc}";\n')
        self.env = {
            **os.environ,
            "PATH": f"{self.dir}:{os.environ['PATH']}",
            "APT_CONFIG": str(self.dir / "apt.conf"),
            **{f"FAKE_{name.upper()}": value for name, value in behaviour.items()},
        }

    def calls(self) -> list:
        text = (
            (self.dir / "calls.txt").read_text()
            if (self.dir / "calls.txt").exists()
            else ""
        )
        return [
            line
            for line in text.splitlines()
            if not line.startswith(("dpkg ", "apt-cache "))
        ]


class InstallDeps(unittest.TestCase):
    def install_deps(self, *arguments: str, **behaviour: str) -> tuple:
        stand_ins = StandIns(self, **behaviour)
        done = subprocess.run(
            ["bash", str(ROOT / "scripts" / "install-deps.sh"), *arguments],
            env=stand_ins.env,
            capture_output=True,
            text=True,
        )
        return done, stand_ins

    def test_a_failed_list_stops_it_only_when_the_packages_do_not_install(self):
        named = "Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386"
        once_more = "once more without the suites whose lists failed: bookworm-security"
        apts_words = "you have held broken packages"
        rows = [  # what, update, install -> exit status, calls, what it says, what it does not say
            (
                "a good day",
                "works",
                "works",
                0,
                [UPDATE, INSTALL],
                [],
                [named, apts_words],
            ),
            (
                "a list fails, the packages install",
                "one list fails",
                "works",
                0,
                [UPDATE, INSTALL],
                [named],
                [once_more],
            ),
            (
                "a list fails, they install without its suite",
                "one list fails",
                "only without the failed suite",
                0,
                [UPDATE, INSTALL, INSTALL_WITHOUT],
                [named, once_more],
                [apts_words],
            ),
            (
                "a list fails, they do not install",
                "one list fails",
                "fails",
                1,
                [UPDATE, INSTALL, INSTALL_WITHOUT],
                [
                    named,
                    once_more,
                    apts_words,
                    "cannot install hexalift-absent-package",
                ],
                [],
            ),
            (
                "no list fails, they do not install",
                "works",
                "fails",
                1,
                [UPDATE, INSTALL],
                [apts_words],
                [once_more],
            ),
        ]
        for what, update, install, status, calls, said, not_said in rows:
            with self.subTest(what):
                done, stand_ins = self.install_deps(
                    "hexalift-absent-package", update=update, install=install
                )
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(
                    [
                        call[: len(INSTALL_WITHOUT)]
                        if call.startswith(INSTALL_WITHOUT)
                        else call
                        for call in stand_ins.calls()
                    ],
                    calls,
                )
                for words in said:
                    self.assertIn(words, done.stderr)
                for words in not_said:
                    self.assertNotIn(words, done.stderr)
                if INSTALL_WITHOUT in calls:
                    self.assertEqual(
                        (stand_ins.dir / "sources.txt").read_text(),
                        WITHOUT_THE_FAILED_SUITE,
                    )
                    self.assertIn(
                        "-o Dir::Etc::SourceList=/dev/null install",
                        stand_ins.calls()[-1],
                    )


class GuestKernel(unittest.TestCase):
    def download(self, **behaviour: str) -> tuple:
        stand_ins = StandIns(self, update="one list fails", **behaviour)
        work = stand_ins.dir / "work"
        work.mkdir()
        with mock.patch.dict(os.environ, stand_ins.env):
            try:
                return guest_boot.download_kernel(work).name, stand_ins.calls(), work
            except guest_boot.GuestFailed as failure:
                return str(failure), stand_ins.calls(), work

    def test_lists_out_of_date_are_fetched_anew_once(self):
        # into the build folder: the machine's own lists stay as they were
        for download, found in (("after an update", True), ("never", False)):
            with self.subTest(download=download):
                said, calls, work = self.download(download=download)
                private = f"-o Dir::State::Lists={work / 'lists'} -o Dir::Cache={work / 'cache'}"
                self.assertEqual(
                    calls,
                    [
                        "apt-get download -qq linux-image-6.1.0-1-amd64",
                        f"apt-get {private} update -qq -o Acquire::Retries=3",
                        f"apt-get {private} download -qq linux-image-6.1.0-2-amd64",
                    ],
                )
                self.assertFalse((work.parent / "machine-lists").exists())
                if found:
                    self.assertEqual(said, "linux-image-6.1.0-2-amd64_amd64.deb")
                else:
                    self.assertIn("even with apt's package lists fetched anew", said)
                    self.assertIn("linux-image-6.1.0-2-amd64.deb  404  Not Found", said)
