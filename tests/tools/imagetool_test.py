"""The image tool from the command line, natively and as the Windows .exe
under Wine: what a user sees for good and bad input, and its verdicts on
run logs that no scenario leaves.

  imagetool_test.py IMAGETOOL                    the native tool
  imagetool_test.py IMAGETOOL --build B --mode MODE --work DIR --windows-bin DIR --imagetool FILE
                                                 imagetool.exe of one build, in its Wine session
"""

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from winhost import BUILDS, WineSession

IMAGETOOL = Path(sys.argv[1])


def tool(*args):
    return subprocess.run(
        [str(IMAGETOOL), *map(str, args)], capture_output=True, text=True
    )


class ImageTool(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.payload = self.dir / "payload"
        self.payload.write_bytes(b"abc")
        self.image = self.dir / "image"

    def test_create_makes_the_worked_example(self):
        self.assertEqual(tool("create", "1.00", self.payload, self.image).returncode, 0)
        data = self.image.read_bytes()
        self.assertEqual(len(data), 67)
        self.assertEqual(data[58:60], bytes([0xD7, 0x3E]))
        self.assertEqual(data[60:64], bytes([3, 0, 0, 0]))
        shown = tool("show", self.image)
        self.assertEqual(shown.returncode, 0)
        for line in (
            'VerStr:      "1.00"',
            "CheckSum:    0x3ed7",
            "PayloadSize: 3 (0x00000003)",
            "DataSize:    0x00000043",
            "checksum:    verifies",
        ):
            self.assertIn(line, shown.stdout)

    def test_verify_exit_status(self):
        tool("create", "ABCDEFGHIJKLMNOP", self.payload, self.image)
        good = self.image.read_bytes()
        cases = [
            ("valid", good, 0, "verifies"),
            ("corrupted payload", good[:-1] + b"d", 1, "does not verify"),
            ("longer than DataSize", good + b"tail", 0, "verifies"),
            (
                "shorter than DataSize",
                good[:-1],
                1,
                "the file is shorter than DataSize",
            ),
            ("header only", good[:64], 1, "the file is shorter than DataSize"),
            ("short header", good[:10], 1, "incomplete"),
            ("DataSize wraps to 0", good[:60] + b"\xc0\xff\xff\xff", 1, "wraps to 0"),
        ]
        for what, data, status, words in cases:
            with self.subTest(what):
                self.image.write_bytes(data)
                self.assertEqual(tool("verify", self.image).returncode, status)
                self.assertIn(words, tool("show", self.image).stdout)

    def test_bad_arguments_and_files(self):
        cases = [
            ("no arguments", [], "usage:"),
            ("unknown command", ["check", self.image], "usage:"),
            (
                "version too long",
                ["create", "X" * 17, self.payload, self.image],
                "at most 16",
            ),
            (
                "payload missing",
                ["create", "1", self.dir / "none", self.image],
                "cannot open",
            ),
            ("image missing", ["verify", self.dir / "none"], "cannot open"),
            (
                "output not writable",
                ["create", "1", self.payload, self.dir / "no" / "x"],
                "cannot write",
            ),
        ]
        for what, args, words in cases:
            with self.subTest(what):
                result = tool(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn(words, result.stderr)
                self.assertEqual(result.stdout, "")

    def test_help(self):
        result = tool("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("usage:", result.stdout)


NIOS, FPGA = "C:\\Optical\\qd5180b.nios", "C:\\Optical\\qd5180a.fpga"
HEAD = [b"(Id:1)", b"pObjFname = " + NIOS.encode(), b"pFpgaFname = " + FPGA.encode()]
RESET, NORMAL = (
    b"IB_WriteSingleRegister( 0, 0x10028, 0, 32 )",
    b"IB_WriteSingleRegister( 0, 0x10028, 1, 32 )",
)
WHOLE_RUN = HEAD + [
    RESET,
    b"InstallVerStr = 1.00, DataSize = 0x00000053",
    b"CurrentVerStr = \xff\xff",
    b"(Update)",
    b"InstallVerStr = 2.5, DataSize = 0x00000049",
    b"CurrentVerStr = 2.4",
    b"(Update)",
    NORMAL,
]


def crlf(lines: list) -> bytes:
    return b"".join(line + b"\r\n" for line in lines)


class RunOutcome(unittest.TestCase):
    """imagetool outcome on logs that no scenario leaves: cut at each step,
    version texts that hold line feeds, and files that are no run log."""

    def outcome(self, log: bytes):
        path = Path(tempfile.mkdtemp()) / "zef_installer.log"
        self.addCleanup(shutil.rmtree, path.parent)
        path.write_bytes(log)
        result = subprocess.run(
            [str(IMAGETOOL), "outcome", "--json", str(path)], capture_output=True
        )
        return result.returncode, json.loads(result.stdout)

    def test_a_log_cut_names_the_step_it_ends_in(self):
        starting, checking_nios, checking_fpga = (
            "starting",
            "checking the processor image",
            "checking the FPGA image",
        )
        cuts = [
            (0, "starting, before its first line"),
            (1, starting),
            (2, starting),
            (3, "loading the libraries and putting the module into reset"),
            (4, "opening the progress window"),
            (5, checking_nios),
            (6, checking_nios),
            (7, "writing the processor image"),
            (8, checking_fpga),
            (9, checking_fpga),
            (10, "writing the FPGA image"),
        ]
        for kept, step in cuts:
            with self.subTest(kept=kept):
                self.assertEqual(
                    self.outcome(crlf(WHOLE_RUN[:kept])),
                    (1, ANY_REPORT | {"run": f"did not finish, while {step}"}),
                )
        halves = [
            (crlf(WHOLE_RUN[:4]) + b"InstallVerStr = 1.", checking_nios),
            (
                crlf(WHOLE_RUN[:10]) + b"IB_Write",
                "returning the module to normal operation",
            ),
        ]
        for log, step in halves:
            with self.subTest(log=log[-20:]):
                self.assertEqual(
                    self.outcome(log),
                    (1, ANY_REPORT | {"run": f"did not finish, while {step}"}),
                )
        self.assertEqual(
            self.outcome(crlf(WHOLE_RUN)), (0, ANY_REPORT | {"run": "finished"})
        )

    def test_logs_hexalift_can_write(self):
        same_with_line_feed = [
            b"InstallVerStr = a\r\nb, DataSize = 0x00000041",
            b"CurrentVerStr = a\r\nb",
            b"(Same Version)",
        ]
        # 15 bytes of flash that read like a line of their own.
        flash_reads_as_a_line = [
            b"InstallVerStr = 1, DataSize = 0x00000041",
            b"CurrentVerStr = ",
            b"(Same Version)",
            b"(Update)",
        ]
        fpga_missing = [b"GetFileInf:" + FPGA.encode() + b" File Open Error"]
        cases = [
            (
                "line feeds in both versions",
                crlf(HEAD + [RESET] + same_with_line_feed * 2 + [NORMAL]),
                {"processor": "current", "fpga": "current"},
                0,
            ),
            (
                "flash text like a decision line",
                crlf(HEAD + [RESET] + flash_reads_as_a_line + [NORMAL]),
                {"processor": "written", "fpga": "not checked"},
                1,
            ),
            (
                "line feeds alone",
                crlf(WHOLE_RUN).replace(b"\r\n", b"\n"),
                {"processor": "written"},
                0,
            ),
            (
                "the FPGA image's path anchors it",
                crlf(HEAD + [RESET] + fpga_missing + [NORMAL]),
                {"processor": "not checked", "fpga": "not written: file"},
                1,
            ),
        ]
        for what, log, states, status in cases:
            with self.subTest(what):
                got_status, report = self.outcome(log)
                self.assertEqual(got_status, status, report)
                self.assertEqual(
                    {image: report[image]["state"] for image in states}, states, report
                )

    def test_not_a_run_log(self):
        cases = [
            ("an earlier text", b"earlier run\r\n", 1, "earlier run"),
            ("a leading zero in the id", crlf([b"(Id:01)"] + HEAD[1:]), 1, "(Id:01)"),
            ("an id out of range", crlf([b"(Id:128)"]), 1, "(Id:128)"),
            ("a line after the end", crlf(WHOLE_RUN + [b"(Update)"]), 12, "(Update)"),
            (
                "Same Version for different texts",
                crlf(
                    HEAD
                    + [RESET, WHOLE_RUN[4], b"CurrentVerStr = 1.0", b"(Same Version)"]
                ),
                7,
                "(Same Version)",
            ),
            ("a byte the log never holds", crlf(HEAD) + b"\x00\r\n", 4, "\\x00"),
            (
                "a size that is no number, at the end",
                crlf(HEAD + [RESET]) + b"InstallVerStr = 1.00, DataSize = 0xZZ",
                5,
                "InstallVerStr = 1.00, DataSize = 0xZZ",
            ),
            (
                "more than a fixed line",
                crlf(WHOLE_RUN[:6]) + b"(Update) and more",
                7,
                "(Update) and more",
            ),
        ]
        for what, log, number, line in cases:
            with self.subTest(what):
                self.assertEqual(
                    self.outcome(log),
                    (
                        2,
                        {
                            "run_log": False,
                            "line_number": number,
                            "line": line,
                            "status": 2,
                        },
                    ),
                )


class AnyReport(dict):
    """Compares equal to any report that holds its items."""

    def __or__(self, items):
        return AnyReport({**self, **items})

    def __eq__(self, report):
        return isinstance(report, dict) and all(
            report.get(key) == value for key, value in self.items()
        )


ANY_REPORT = AnyReport()


class ImageToolForWindows(ImageTool):
    session: WineSession
    windows_bin: Path

    def test_windows_tool_makes_the_same_image(self):
        tool("create", "7.7", self.payload, self.image)
        status = self.session.run(
            [self.windows_bin / "imagetool.exe", "create", "7.7", "payload", "win"],
            self.dir,
            self.dir / "out",
        )
        self.assertEqual(status, 0, (self.dir / "out").read_text(errors="replace"))
        self.assertEqual((self.dir / "win").read_bytes(), self.image.read_bytes())


def windows_arguments(argv: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser()
    for name in ("--build", "--mode", "--windows-bin", "--imagetool", "--work"):
        parser.add_argument(name)
    return parser.parse_args(argv)


if __name__ == "__main__":
    if len(sys.argv) > 2:
        args = windows_arguments(sys.argv[2:])
        ImageToolForWindows.session = WineSession(
            Path(args.work), BUILDS[args.build], args.mode
        )
        ImageToolForWindows.windows_bin = Path(args.windows_bin)
        suite = unittest.defaultTestLoader.loadTestsFromName(
            "test_windows_tool_makes_the_same_image", ImageToolForWindows
        )
    else:
        suite = unittest.TestSuite(
            map(
                unittest.defaultTestLoader.loadTestsFromTestCase,
                (ImageTool, RunOutcome),
            )
        )
    sys.exit(not unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful())
