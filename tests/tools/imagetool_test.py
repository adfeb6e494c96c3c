"""The image tool from the command line, natively and as the Windows .exe
under Wine: what a user sees for good and bad input.

  imagetool_test.py IMAGETOOL                    the native tool
  imagetool_test.py IMAGETOOL --build B --mode MODE --work DIR --windows-bin DIR --imagetool FILE
                                                 imagetool.exe of one build, in its Wine session
"""

import argparse
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from winhost import BUILDS, WineSession

IMAGETOOL = Path(sys.argv[1])


def tool(*args):
    return subprocess.run([str(IMAGETOOL), *map(str, args)], capture_output=True, text=True)


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
        for line in ('VerStr:      "1.00"', "CheckSum:    0x3ed7", "PayloadSize: 3 (0x00000003)",
                     "DataSize:    0x00000043", "checksum:    verifies"):
            self.assertIn(line, shown.stdout)

    def test_verify_exit_status(self):
        tool("create", "ABCDEFGHIJKLMNOP", self.payload, self.image)
        good = self.image.read_bytes()
        cases = [
            ("valid", good, 0, "verifies"),
            ("corrupted payload", good[:-1] + b"d", 1, "does not verify"),
            ("longer than DataSize", good + b"tail", 0, "verifies"),
            ("shorter than DataSize", good[:-1], 1, "the file is shorter than DataSize"),
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
            ("version too long", ["create", "X" * 17, self.payload, self.image], "at most 16"),
            ("payload missing", ["create", "1", self.dir / "none", self.image], "cannot open"),
            ("image missing", ["verify", self.dir / "none"], "cannot open"),
            ("output not writable", ["create", "1", self.payload, self.dir / "no" / "x"], "cannot write"),
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


class ImageToolForWindows(ImageTool):
    session: WineSession
    windows_bin: Path

    def test_windows_tool_makes_the_same_image(self):
        tool("create", "7.7", self.payload, self.image)
        status = self.session.run([self.windows_bin / "imagetool.exe", "create", "7.7", "payload", "win"],
                                  self.dir, self.dir / "out")
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
        ImageToolForWindows.session = WineSession(Path(args.work), BUILDS[args.build], args.mode)
        ImageToolForWindows.windows_bin = Path(args.windows_bin)
        suite = unittest.defaultTestLoader.loadTestsFromName("test_windows_tool_makes_the_same_image",
                                                             ImageToolForWindows)
    else:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(ImageTool)
    sys.exit(not unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful())
