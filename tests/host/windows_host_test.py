"""The Windows host helper's decisions about machine-wide state, on a
binfmt_misc and a state folder of its own (nothing of the machine's is
touched): the forced modes, the probe against handler patterns, and the
emulator's users under the lock."""

import fcntl
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from unittest import mock

from winhost import i386

QEMU_PATTERN = (i386.I386_MAGIC, i386.I386_MASK)
# A handler that ignores the padding bytes too (as some emulators register).
ANY_PADDING = (i386.I386_MAGIC, i386.I386_MASK[:8] + bytes(8) + i386.I386_MASK[16:])


def entry(magic: bytes, mask: bytes, enabled: bool = True, offset: int = 0) -> str:
    """A handler's file as binfmt_misc shows it."""
    return (f"{'enabled' if enabled else 'disabled'}\ninterpreter /usr/bin/emulator\nflags: F\n"
            f"offset {offset}\nmagic {magic.hex()}\nmask {mask.hex()}\n")


class FakeMachine(unittest.TestCase):
    """binfmt_misc and the helper's state in temporary folders."""

    def setUp(self):
        scratch = Path(tempfile.mkdtemp())
        self.binfmt, state = scratch / "binfmt_misc", scratch / "state"
        self.binfmt.mkdir()
        (self.binfmt / "register").touch()
        (self.binfmt / "status").write_text("enabled\n")
        ours = entry(*QEMU_PATTERN)
        for patch in (mock.patch.object(i386, "BINFMT", self.binfmt), mock.patch.object(i386, "STATE", state),
                      mock.patch.object(i386, "QEMU", Path(sys.executable)),
                      mock.patch.object(i386, "say", lambda text: None),
                      mock.patch.object(i386, "register_handler",
                                        lambda: (self.binfmt / i386.OUR_HANDLER).write_text(ours)),
                      mock.patch.object(i386, "remove_handler", lambda: (self.binfmt / i386.OUR_HANDLER).unlink())):
            patch.start()
            self.addCleanup(patch.stop)

    def add_handler(self, name: str, pattern, enabled: bool = True) -> None:
        (self.binfmt / name).write_text(entry(*pattern, enabled=enabled))


class Decisions(FakeMachine):
    def test_forced_modes(self):
        for forced, expected in (("native", "native"), ("emulated", "emulated"), ("", "probed")):
            with self.subTest(forced=forced), mock.patch.dict(os.environ, {i386.FORCE_VARIABLE: forced}), \
                    mock.patch.object(i386, "runs_i386_natively", side_effect=AssertionError("probed")):
                if expected == "probed":
                    self.assertRaises(AssertionError, i386.decide_mode)
                else:
                    self.assertEqual(i386.decide_mode(), expected)
        with mock.patch.dict(os.environ, {i386.FORCE_VARIABLE: "maybe"}):
            self.assertRaises(SystemExit, i386.decide_mode)

    def test_probe_against_handler_patterns(self):
        # handlers present -> padding of the probe chosen (None: every probe is taken)
        table = [
            ([], b"hexalift"),
            ([QEMU_PATTERN], b"hexalift"),                      # qemu-user's pattern wants zero padding
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
        self.add_handler("qemu-i386", QEMU_PATTERN)
        self.add_handler("other", ANY_PADDING, enabled=False)
        (self.binfmt / "by-extension").write_text("enabled\ninterpreter /bin/x\nflags: \nextension .x\n")
        found = {h.name: h for h in i386.handlers()}
        self.assertEqual(sorted(found), ["other", "qemu-i386"])
        self.assertEqual(i386.matching(i386.i386_program(), list(found.values())), ["qemu-i386"])


class EmulatorUsers(FakeMachine):
    def use(self, prefix: str, pid: int | None = None) -> None:
        with i386.machine_lock():
            i386.use_emulator(Path(prefix))
        if pid is not None:   # the user's process is that one instead
            i386.user_file(Path(prefix)).write_text(f"{pid}\n{i386.process_start(pid)}\n{prefix}\n")

    def stop(self, prefix: str | None) -> None:
        with i386.machine_lock():
            i386.stop_using_emulator(None if prefix is None else Path(prefix))

    def registered(self) -> bool:
        return (self.binfmt / i386.OUR_HANDLER).exists()

    def test_handler_goes_with_the_last_user(self):
        self.use("/a")
        self.use("/b")
        self.assertTrue(self.registered())
        self.stop("/a")
        self.assertTrue(self.registered(), "b still needs it")
        self.stop(None)   # a session that needs no emulator
        self.assertTrue(self.registered())
        self.stop("/b")
        self.assertFalse(self.registered())

    def test_a_killed_users_handler_goes_at_the_next_stop(self):
        gone = subprocess.Popen(["true"])
        gone.wait()
        self.use("/killed", pid=os.getpid())
        i386.user_file(Path("/killed")).write_text(f"{gone.pid}\n1\n/killed\n")
        self.stop(None)
        self.assertFalse(self.registered())

    def test_a_foreign_handler_is_used_and_never_removed(self):
        self.add_handler("qemu-i386", QEMU_PATTERN)
        self.use("/a")
        self.assertFalse(self.registered(), "no handler of ours beside it")
        self.stop("/a")
        self.assertTrue((self.binfmt / "qemu-i386").exists())

    def test_the_lock_is_held_machine_wide(self):
        with i386.machine_lock():
            with open(i386.STATE / "lock") as other:
                with self.assertRaises(BlockingIOError):
                    fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)


if __name__ == "__main__":
    unittest.main(verbosity=2)
