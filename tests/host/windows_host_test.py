"""The Windows host helper's decisions, with nothing of the machine's
touched: the mode (forced, or probed past other binfmt_misc handlers),
when a prefix image counts as ready, and what a guest that fails tells
(a stand-in for qemu plays the guest)."""

import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
from pathlib import Path
from unittest import mock

from winhost import BUILDS, WineSession, guest, i386, session as session_module

# qemu-user's i386 pattern, which wants zero padding bytes.
I386_MASK = b"\xff\xff\xff\xff\xff\xfe\xfe\x00" + b"\xff" * 8 + b"\xfe\xff\xff\xff"
QEMU_PATTERN = (i386.I386_MAGIC, I386_MASK)
# A handler that ignores the padding bytes too (as some emulators register).
ANY_PADDING = (i386.I386_MAGIC, I386_MASK[:8] + bytes(8) + I386_MASK[16:])


def entry(magic: bytes, mask: bytes, enabled: bool = True) -> str:
    """A handler's file as binfmt_misc shows it."""
    return (f"{'enabled' if enabled else 'disabled'}\ninterpreter /usr/bin/emulator\nflags: F\n"
            f"offset 0\nmagic {magic.hex()}\nmask {mask.hex()}\n")


class Mode(unittest.TestCase):
    def test_forced_modes(self):
        for forced, expected in (("native", "native"), ("vm", "vm"), ("", "probed")):
            with self.subTest(forced=forced), mock.patch.dict(os.environ, {i386.FORCE_VARIABLE: forced}), \
                    mock.patch.object(i386, "runs_i386_natively", side_effect=AssertionError("probed")):
                if expected == "probed":
                    self.assertRaises(AssertionError, i386.decide_mode)
                else:
                    self.assertEqual(i386.decide_mode(), expected)
        for old_or_wrong in ("emulated", "maybe"):
            with mock.patch.dict(os.environ, {i386.FORCE_VARIABLE: old_or_wrong}):
                self.assertRaises(SystemExit, i386.decide_mode)

    def test_the_kernels_answer_decides(self):
        for native, mode in ((True, "native"), (False, "vm"), (None, "vm")):
            with self.subTest(native=native), mock.patch.dict(os.environ, {i386.FORCE_VARIABLE: ""}), \
                    mock.patch.object(i386, "runs_i386_natively", return_value=native):
                self.assertEqual(i386.decide_mode(), mode)

    def test_probe_against_handler_patterns(self):
        # handlers present -> padding of the probe chosen (None: every probe is taken)
        table = [
            ([], b"hexalift"),
            ([QEMU_PATTERN], b"hexalift"),
            ([(b"\x7fELF\x01\x01\x01\x00hexalift", b"\xff" * 16)], b"\xff" * 8),
            ([ANY_PADDING], None),
        ]
        for present, padding in table:
            with self.subTest(present=present):
                handlers = [i386.Handler(f"h{i}", True, 0, magic, mask) for i, (magic, mask) in enumerate(present)]
                probe = i386.unmatched_probe(handlers)
                self.assertEqual(None if probe is None else probe[8:16], padding)
        disabled = [i386.Handler("off", False, 0, *ANY_PADDING)]
        self.assertEqual(i386.unmatched_probe(disabled)[8:16], b"hexalift")

    def test_handlers_read_from_binfmt_misc(self):
        binfmt = Path(tempfile.mkdtemp())
        (binfmt / "status").write_text("enabled\n")
        (binfmt / "qemu-i386").write_text(entry(*QEMU_PATTERN))
        (binfmt / "other").write_text(entry(*ANY_PADDING, enabled=False))
        (binfmt / "by-extension").write_text("enabled\ninterpreter /bin/x\nflags: \nextension .x\n")
        with mock.patch.object(i386, "BINFMT", binfmt):
            found = {h.name: h for h in i386.handlers()}
        self.assertEqual(sorted(found), ["other", "qemu-i386"])
        self.assertEqual(i386.matching(i386.i386_program(), list(found.values())), ["qemu-i386"])


class PrefixImage(unittest.TestCase):
    """The template's image counts as ready only once a guest made it whole."""

    def setUp(self):
        self.guest_dir = Path(tempfile.mkdtemp())
        for patch in (mock.patch.object(session_module, "GUEST_DIR", self.guest_dir),
                      mock.patch.object(session_module, "IMAGE_BYTES", 4096),
                      mock.patch.object(i386, "say", lambda text: None)):
            patch.start()
            self.addCleanup(patch.stop)
        self.session = WineSession(self.guest_dir / "e2e" / "pe32", BUILDS["pe32"], "vm")
        self.session.template_image = self.guest_dir / "prefix-template.sqfs"

    def test_made_once_and_only_when_whole(self):
        image = self.session.template_image
        partial = image.with_name(image.name + ".partial")
        # what lies there, the guest's status -> guest started, ready after, failure
        table = [
            ("nothing", 0, True, True, None),
            ("a half-made image", 0, True, True, None),
            ("nothing", 1, True, False, "failed with status 1"),
            ("the image", None, False, True, None),
        ]
        for there, status, started, ready, failure in table:
            with self.subTest(there=there, status=status):
                for old in (image, partial):
                    old.unlink(missing_ok=True)
                if there != "nothing":
                    (partial if there.startswith("a half") else image).write_bytes(b"old")
                with mock.patch.object(guest, "run", return_value=status) as run:
                    if failure:
                        with self.assertRaisesRegex(RuntimeError, failure):
                            self.session.make_template_image()
                    else:
                        self.session.make_template_image()
                self.assertEqual(run.called, started)
                self.assertEqual(image.exists(), ready)
                if started:
                    self.assertEqual(run.call_args.args[0].disk, partial, "made under the temporary name")


# A stand-in for qemu-system-x86_64: reads the two serial files from its
# arguments and does what FAKE_GUEST says.
FAKE_QEMU = textwrap.dedent("""\
    import os, sys, time
    files = [a[len("file:"):] for a in sys.argv if a.startswith("file:")]
    console, output = open(files[0], "w"), open(files[1], "w")
    act = os.environ["FAKE_GUEST"]
    if act == "runs":
        console.write("hexalift-guest: running\\n"); console.flush()
        output.write("what the commands printed\\n"); output.flush()
        console.write("hexalift-guest: exit status 3\\n")
    elif act == "panics":
        console.write("Kernel panic - not syncing: Attempted to kill init!\\n")
    elif act == "refused":
        print("qemu-system-x86_64: -virtfs: there is no option group 'virtfs'", file=sys.stderr)
        sys.exit(1)
    elif act == "hangs":
        console.write("hexalift-guest: running\\n"); console.flush()
        time.sleep(600)
    elif act == "never boots":
        time.sleep(600)
""")


class FailingGuest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        fake = self.dir / "qemu"
        fake.write_text(f"#!{sys.executable}\n{FAKE_QEMU}")
        fake.chmod(0o755)
        for patch in (mock.patch.object(guest, "QEMU", str(fake)), mock.patch.object(guest, "BOOT_SECONDS", 2),
                      mock.patch.object(guest, "boot_files", return_value=(Path("k"), Path("i")))):
            patch.start()
            self.addCleanup(patch.stop)

    def run_guest(self, act: str, timeout: int = 30):
        out = self.dir / "stream"
        with open(out, "wb") as stream, mock.patch.dict(os.environ, {"FAKE_GUEST": act}):
            job = guest.Job(commands=[["true"]], cwd=self.dir, env={}, timeout=timeout)
            return guest.run(job, self.dir / "guest", stream=stream), out.read_bytes()

    def test_what_each_failure_says(self):
        # what the guest does -> the status, or what the failure message holds
        table = [
            ("runs", 3, b"what the commands printed\n"),
            ("panics", "ended .* before its commands did.*\n--- the guest's console:\nKernel panic", None),
            ("refused", "qemu said: .*no option group 'virtfs'\n--- the guest's console:\n\(the guest printed nothing", None),
            ("hangs", "did not end within 3 s", None),
            ("never boots", "did not boot within 2 s", None),
        ]
        for act, expected, output in table:
            with self.subTest(act=act):
                if isinstance(expected, int):
                    self.assertEqual(self.run_guest(act), (expected, output))
                else:
                    with self.assertRaisesRegex(guest.GuestFailed, expected):
                        self.run_guest(act, timeout=3)
                self.assertEqual(guest.running(self.dir / "guest"), [], "no guest left running")

    def test_the_guest_dies_with_the_process_that_started_it(self):
        starter = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(f"""\
                import os, sys, unittest.mock as m
                from pathlib import Path
                from winhost import guest
                m.patch.object(guest, "QEMU", {str(self.dir / "qemu")!r}).start()
                m.patch.object(guest, "boot_files", return_value=(Path("k"), Path("i"))).start()
                os.environ["FAKE_GUEST"] = "hangs"
                guest.run(guest.Job(commands=[["true"]], cwd=Path("/"), env={{}}), Path({str(self.dir)!r}))
                """)], env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        for _ in range(100):
            if guest.running(self.dir):
                break
            time.sleep(0.1)
        self.assertTrue(guest.running(self.dir), "the stand-in guest started")
        starter.send_signal(signal.SIGKILL)
        starter.wait()
        for _ in range(50):
            if not guest.running(self.dir):
                break
            time.sleep(0.1)
        self.assertEqual(guest.running(self.dir), [])


class CommandsScript(unittest.TestCase):
    def test_quoting_survives_the_shell(self):
        work = Path(tempfile.mkdtemp()) / "a folder with 'quotes'"
        work.mkdir()
        job = guest.Job(commands=[["sh", "-c", 'printf "%s|" "$ODD" "$1"', "-", "it's $HOME"],
                                  ["false"], ["echo", "not reached"]],
                        cwd=work, env={"ODD": "a \"b\" $c `d`", "not an identifier": "x"})
        result = subprocess.run(["sh", "-c", guest.commands_script(job)], capture_output=True, text=True)
        self.assertEqual((result.stdout, result.returncode), ("a \"b\" $c `d`|it's $HOME|", 1))


if __name__ == "__main__":
    unittest.main(verbosity=2)
