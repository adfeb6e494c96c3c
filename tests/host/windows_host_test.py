"""The Windows host package's decisions, with nothing outside the build
folder touched: the mode (forced, or probed past other binfmt_misc
handlers, and only the kernel's refusal counting as "no i386"), when the
prefix image counts as ready, and how a guest ends: its status read whole,
what each failure tells, and that what a killed test left is swept by the
next run. A stand-in for qemu plays the guest; tests/host/guest_check.py
boots the real one."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest
from pathlib import Path
from unittest import mock

from harness import folder_name
from process_checks import SUPERVISED, parent_of, wait_for
from winhost import (
    BUILDS,
    WineSession,
    guest,
    i386,
    scratch,
    session as session_module,
)

# qemu-user's i386 pattern, which wants zero padding bytes.
I386_MASK = b"\xff\xff\xff\xff\xff\xfe\xfe\x00" + b"\xff" * 8 + b"\xfe\xff\xff\xff"
QEMU_PATTERN = (i386.I386_MAGIC, I386_MASK)
# A handler that ignores the padding bytes too (as some emulators register).
ANY_PADDING = (i386.I386_MAGIC, I386_MASK[:8] + bytes(8) + I386_MASK[16:])


def entry(magic: bytes, mask: bytes, enabled: bool = True) -> str:
    """A handler's file as binfmt_misc shows it."""
    return (
        f"{'enabled' if enabled else 'disabled'}\ninterpreter /usr/bin/emulator\nflags: F\n"
        f"offset 0\nmagic {magic.hex()}\nmask {mask.hex()}\n"
    )


def scratch_dir(test: unittest.TestCase) -> Path:
    """A folder in the build folder's (TMPDIR), removed after the test."""
    folder = tempfile.TemporaryDirectory()
    test.addCleanup(folder.cleanup)
    return Path(folder.name)


class Mode(unittest.TestCase):
    def test_forced_modes(self):
        for forced, expected in (
            ("native", "native"),
            ("guest", "guest"),
            ("", "probed"),
        ):
            with self.subTest(forced=forced), mock.patch.dict(
                os.environ, {i386.FORCE_VARIABLE: forced}
            ), mock.patch.object(
                i386, "runs_i386_natively", side_effect=AssertionError("probed")
            ):
                if expected == "probed":
                    self.assertRaises(AssertionError, i386.decide_mode)
                else:
                    self.assertEqual(i386.decide_mode(), expected)
        for old_or_wrong in ("emulated", "vm", "maybe"):
            with mock.patch.dict(os.environ, {i386.FORCE_VARIABLE: old_or_wrong}):
                self.assertRaises(SystemExit, i386.decide_mode)

    def test_the_kernels_answer_decides(self):
        for native, mode in ((True, "native"), (False, "guest")):
            with self.subTest(native=native), mock.patch.dict(
                os.environ, {i386.FORCE_VARIABLE: ""}
            ), mock.patch.object(i386, "runs_i386_natively", return_value=native):
                self.assertEqual(i386.decide_mode(), mode)

    def test_a_probe_that_cannot_tell_names_the_choice(self):
        # every probe taken by a handler: no second road to the guest mode, but a failure that says how to choose
        taken = [i386.Handler("any-elf", True, 0, *ANY_PADDING)]
        with mock.patch.dict(os.environ, {i386.FORCE_VARIABLE: ""}), mock.patch.object(
            i386, "handlers", return_value=taken
        ):
            with self.assertRaisesRegex(
                RuntimeError, f"any-elf.*cannot be told.*{i386.FORCE_VARIABLE}"
            ):
                i386.decide_mode()

    def test_only_the_kernels_refusal_means_no_i386(self):
        folder = scratch_dir(self)
        # the probe file, its permissions -> the answer, or what the failure says
        table = [
            ("a program that exits with 0", b"#!/bin/sh\nexit 0\n", 0o755, True),
            (
                "a file the kernel cannot run (ENOEXEC)",
                b"not a program\n",
                0o755,
                False,
            ),
            (
                "a file it may not run (noexec, EACCES)",
                b"#!/bin/sh\nexit 0\n",
                0o644,
                "could not be started",
            ),
            (
                "a program that exits with 3",
                b"#!/bin/sh\nexit 3\n",
                0o755,
                "ended with status 3",
            ),
        ]
        for what, content, mode, answer in table:
            with self.subTest(what):
                probe = folder / "probe"
                probe.write_bytes(content)
                probe.chmod(mode)
                if isinstance(answer, bool):
                    self.assertIs(i386.probe_answer(probe), answer)
                else:
                    with self.assertRaisesRegex(RuntimeError, answer):
                        i386.probe_answer(probe)

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
                handlers = [
                    i386.Handler(f"h{i}", True, 0, magic, mask)
                    for i, (magic, mask) in enumerate(present)
                ]
                probe = i386.unmatched_probe(handlers)
                self.assertEqual(None if probe is None else probe[8:16], padding)
        disabled = [i386.Handler("off", False, 0, *ANY_PADDING)]
        self.assertEqual(i386.unmatched_probe(disabled)[8:16], b"hexalift")

    def test_handlers_read_from_binfmt_misc(self):
        binfmt = scratch_dir(self)
        (binfmt / "status").write_text("enabled\n")
        (binfmt / "qemu-i386").write_text(entry(*QEMU_PATTERN))
        (binfmt / "other").write_text(entry(*ANY_PADDING, enabled=False))
        (binfmt / "by-extension").write_text(
            "enabled\ninterpreter /bin/x\nflags: \nextension .x\n"
        )
        with mock.patch.object(i386, "BINFMT", binfmt):
            found = {h.name: h for h in i386.handlers()}
        self.assertEqual(sorted(found), ["other", "qemu-i386"])
        self.assertEqual(
            i386.matching(i386.i386_program(), list(found.values())), ["qemu-i386"]
        )


class PrefixImage(unittest.TestCase):
    """The template's image counts as ready only once a guest made it whole,
    and only for the Wine it was made with."""

    def setUp(self):
        self.build = scratch_dir(self)
        for patch in (
            mock.patch.dict(os.environ, {"HEXALIFT_BUILD_DIR": str(self.build)}),
            mock.patch.object(session_module, "IMAGE_BYTES", 4096),
            mock.patch.object(i386, "say", lambda text: None),
        ):
            patch.start()
            self.addCleanup(patch.stop)
        self.session = WineSession(self.build / "e2e" / "pe32", BUILDS["pe32"], "guest")

    def test_made_once_and_only_when_whole(self):
        image = self.session.template_image
        self.assertEqual(image.parent, self.build / "guest", "in the build folder")
        partial = image.with_name(image.name + ".partial")
        other_wine = image.with_name("prefix-template-000000000000.sqfs")
        # what lies there, the guest's status -> guest started, ready after, failure
        table = [
            ("nothing", 0, True, True, None),
            ("a half-made image", 0, True, True, None),
            ("an image of another Wine", 0, True, True, None),
            ("nothing", 1, True, False, "failed with status 1"),
            ("the image", None, False, True, None),
        ]
        for there, status, started, ready, failure in table:
            with self.subTest(there=there, status=status):
                for old in (image, partial, other_wine):
                    old.unlink(missing_ok=True)
                if there != "nothing":
                    {
                        "a half-made image": partial,
                        "an image of another Wine": other_wine,
                    }.get(there, image).write_bytes(b"old")
                with mock.patch.object(guest, "run", return_value=status) as run:
                    if failure:
                        with self.assertRaisesRegex(RuntimeError, failure):
                            self.session.make_template_image()
                    else:
                        self.session.make_template_image()
                self.assertEqual(run.called, started)
                self.assertEqual(image.exists(), ready)
                self.assertFalse(other_wine.exists(), "an image of another Wine goes")
                if started:
                    self.assertEqual(
                        run.call_args.args[0].disk,
                        partial,
                        "made under the temporary name",
                    )


# Stand-ins for Wine's loader and server. "wineboot" counts its attempts in
# FAKE_COUNT and, at the attempts FAKE_ACTS names, fails as Wine does when it
# cannot load kernel32.dll (at once, or after N s: fails-after-N), or hangs;
# anything else succeeds. It says when it finds a prefix already there. The
# server records its options in FAKE_SERVER_CALLS.
FAKE_LOADER = textwrap.dedent(
    """\
    #!/bin/sh
    [ "$1" = wineboot ] || exit 0
    attempt=$(( $(cat "$FAKE_COUNT" 2>/dev/null || echo 0) + 1 )) && echo $attempt > "$FAKE_COUNT"
    [ -e "$WINEPREFIX" ] && echo "a prefix left over"
    mkdir -p "$WINEPREFIX" && echo "set-up $attempt"
    case " $FAKE_ACTS " in
      *" $attempt:fails-after-"*) seconds=${FAKE_ACTS##*fails-after-} && sleep "${seconds%% *}";;
      *" $attempt:hangs "*) exec sleep 60;;
    esac
    case " $FAKE_ACTS " in *" $attempt:fails"*) echo "wine: could not load kernel32.dll, status c0000135"; exit 53;; esac
"""
)
FAKE_SERVER = '#!/bin/sh\necho "$@" >> "$FAKE_SERVER_CALLS"\n'


class TemplateSetUp(unittest.TestCase):
    """A prefix set-up that fails early is made anew once, from no prefix, what
    Wine said shown and kept; one that fails late is not; one that hangs is
    stopped with its output kept; both attempts keep within one limit."""

    def test_a_failed_set_up_is_tried_once_more_and_shown(self):
        work, limit = scratch_dir(self), 6  # a retry wants 3 s left
        for name, text in (("wine64", FAKE_LOADER), ("wineserver64", FAKE_SERVER)):
            (work / name).write_text(text)
            (work / name).chmod(0o755)
        said, log = [], None  # what was shown, with what the log held by then

        def say(text):
            said.append((text, log.read_text()))

        for patch in (
            mock.patch.object(session_module, "LOADER_64", str(work / "wine64")),
            mock.patch.object(session_module, "SERVER", str(work / "wineserver64")),
            mock.patch.object(session_module.limits, "SET_UP", limit),
            mock.patch.object(i386, "say", say),
        ):
            patch.start()
            self.addCleanup(patch.stop)
        # what each attempt does -> attempts made, the server's calls (-k -w: the prefix's
        # processes ended), what is raised (None: the prefix is made)
        hang = (subprocess.TimeoutExpired, "timed out")
        table = [
            ("", 1, ["-w"], None),
            ("1:fails", 2, ["-k", "-w", "-w"], None),
            (
                "1:fails 2:fails",
                2,
                ["-k", "-w"] * 2,
                (
                    RuntimeError,
                    "(?s)failed with status 53 at attempt 2:.*could not load kernel32.dll",
                ),
            ),
            (
                "1:fails-after-4",
                1,
                ["-k", "-w"],
                (RuntimeError, "failed with status 53 at attempt 1"),
            ),
            ("1:hangs", 1, ["-k", "-w"], hang),
            ("1:fails-after-1 2:hangs", 2, ["-k", "-w"] * 2, hang),
        ]
        for acts, attempts, server_calls, raised in table:
            with self.subTest(acts=acts):
                said.clear()
                case = work / folder_name(acts or "succeeds")
                case.mkdir()
                prefix, log = case / "prefix", case / "log"
                session = WineSession(work / "session", BUILDS["x64"], "native")
                with mock.patch.dict(
                    os.environ,
                    {
                        "FAKE_COUNT": str(case / "count"),
                        "FAKE_ACTS": acts,
                        "FAKE_SERVER_CALLS": str(case / "server-calls"),
                    },
                ), open(log, "wb") as stream:
                    if raised:
                        with self.assertRaisesRegex(*raised) as caught:
                            session.make_template(prefix, stream)
                    else:
                        session.make_template(prefix, stream)
                self.assertEqual(int((case / "count").read_text()), attempts)
                self.assertEqual(
                    (case / "server-calls").read_text().split(), server_calls
                )
                # a failed set-up leaves no prefix; a hung one's goes with the scratch folder it was made in
                self.assertEqual(prefix.exists(), not raised or raised is hang)
                self.assertEqual(
                    log.read_text().count("set-up"),
                    attempts,
                    "every attempt's output is logged",
                )
                self.assertNotIn(
                    "left over", log.read_text(), "every attempt starts from no prefix"
                )
                if raised is hang and attempts == 2:
                    self.assertLessEqual(
                        caught.exception.timeout,
                        limit - 1,
                        "one limit for both attempts",
                    )
                self.assertEqual(
                    [
                        (
                            "status 53 at attempt 1" in text and "kernel32.dll" in text,
                            "set-up 1" in logged,
                        )
                        for text, logged in said
                    ],
                    [(True, True)] if attempts == 2 else [],
                    "only a failed first attempt that is tried again is shown, once its output is logged",
                )


# A stand-in for qemu-system-x86_64: finds the console file and the job's
# folder in its arguments and does what FAKE_GUEST says. Its stdout is the
# commands' output, its exit status qemu's.
FAKE_QEMU = textwrap.dedent(
    """\
    import os, re, sys, time
    arguments = " ".join(sys.argv)
    console = open(re.search(r"file:(\\S+)", arguments).group(1), "w")
    job = re.search(r"path=([^,]+),mount_tag=job", arguments).group(1)
    act = os.environ["FAKE_GUEST"]

    def say(text):
        console.write(text)
        console.flush()

    def status(*pieces):
        with open(os.path.join(job, "status"), "w") as written:
            for piece in pieces:
                written.write(piece)
                written.flush()
                time.sleep(0.5)

    if act not in ("never boots", "panics", "is refused by qemu"):
        say("hexalift-guest: running\\n")
    if act == "runs":
        print("what the commands printed", flush=True)
        status("3\\n")
        sys.exit(1)
    elif act == "writes its status in pieces":
        status("1", "3", "7\\n")
        sys.exit(1)
    elif act == "ends in the middle of its status":
        status("13")
        sys.exit(1)
    elif act == "panics":
        say("Kernel panic - not syncing: Attempted to kill init!\\n")
    elif act == "is refused by qemu":
        print("qemu-system-x86_64: -virtfs: there is no option group 'virtfs'", file=sys.stderr)
        sys.exit(1)
    else:
        time.sleep(600)
"""
)
# Starts a guest of the stand-in that hangs: argv[1] the stand-in, argv[2]
# the guest folder.
STARTER = textwrap.dedent(
    """\
    import os, sys, unittest.mock as m
    from pathlib import Path
    from winhost import guest
    m.patch.object(guest, "QEMU", sys.argv[1]).start()
    m.patch.object(guest, "boot_files", return_value=(Path("k"), Path("i"))).start()
    os.environ["FAKE_GUEST"] = "hangs"
    guest.run(guest.Job(commands=[["true"]], cwd=Path("/"), env={}, timeout=300), Path(sys.argv[2]))
"""
)


class FakeGuest(unittest.TestCase):
    def setUp(self):
        self.dir = scratch_dir(self)
        self.guest_dir = self.dir / "guest"
        self.qemu = self.dir / "qemu"
        self.qemu.write_text(f"#!{sys.executable}\n{FAKE_QEMU}")
        self.qemu.chmod(0o755)
        for patch in (
            mock.patch.object(guest, "QEMU", str(self.qemu)),
            mock.patch.object(guest.limits, "BOOT", 5),
            mock.patch.object(guest, "boot_files", return_value=(Path("k"), Path("i"))),
        ):
            patch.start()
            self.addCleanup(patch.stop)

    def run_guest(self, act: str, timeout: int = 30):
        out = self.dir / "stream"
        with open(out, "wb") as stream, mock.patch.dict(
            os.environ, {"FAKE_GUEST": act}
        ):
            job = guest.Job(commands=[["true"]], cwd=self.dir, env={}, timeout=timeout)
            return guest.run(job, self.guest_dir, stream=stream), out.read_bytes()

    def test_status_and_what_each_failure_says(self):
        # what the guest does -> the status, or what the failure message holds
        table = [
            ("runs", 3, b"what the commands printed\n"),
            ("writes its status in pieces", 137, b""),
            (
                "ends in the middle of its status",
                r"ended \(qemu status 1\) before its commands did",
                None,
            ),
            (
                "panics",
                "ended .* before its commands did.*\n--- the guest's console:\n.*Kernel panic",
                None,
            ),
            (
                "is refused by qemu",
                "qemu said: .*no option group 'virtfs'\n--- the guest's console:\n\\(the guest printed nothing",
                None,
            ),
            ("hangs", "did not end within 8 s", None),
            ("never boots", "did not boot within 5 s", None),
        ]
        for act, expected, output in table:
            with self.subTest(act=act):
                if isinstance(expected, int):
                    self.assertEqual(self.run_guest(act), (expected, output))
                else:
                    with self.assertRaisesRegex(guest.GuestFailed, expected):
                        self.run_guest(act, timeout=8)
                self.assertEqual(
                    guest.running(self.guest_dir), [], "no guest left running"
                )
                self.assertEqual(
                    list((self.guest_dir / "jobs").iterdir()), [], "no job folder left"
                )

    def test_a_guest_ends_with_its_test_and_the_next_run_sweeps(self):
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
        starter = [sys.executable, "-c", STARTER, str(self.qemu), str(self.guest_dir)]
        jobs = self.guest_dir / "jobs"
        for killed in ("the supervisor", "the starter"):  # with SIGTERM, SIGKILL
            with self.subTest(killed=killed):
                test = subprocess.Popen([*SUPERVISED, *starter], env=env)
                self.addCleanup(test.kill)
                self.assertTrue(
                    wait_for(lambda: guest.running(self.guest_dir), 20),
                    "the guest started",
                )
                if killed == "the supervisor":
                    test.send_signal(signal.SIGTERM)
                else:
                    qemu = guest.running(self.guest_dir)[0][0]
                    os.kill(parent_of(qemu), signal.SIGKILL)
                test.wait()
                self.assertEqual(guest.running(self.guest_dir), [], "the guest ended")
                self.assertTrue(scratch.left_behind(jobs), "its job folder is left")
                self.assertEqual(self.run_guest("runs")[0], 3)
                self.assertEqual(
                    list(jobs.iterdir()), [], "the next run swept what was left"
                )


class Scratch(unittest.TestCase):
    def test_folders_made_side_by_side_are_never_swept_in_use(self):
        parent, failures = scratch_dir(self), []

        def make_many():
            for _ in range(100):
                try:
                    with scratch.folder(parent, prefix="job-") as folder:
                        (folder / "file").write_text("in use")
                except OSError as failure:
                    failures.append(failure)

        workers = [threading.Thread(target=make_many) for _ in range(4)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        self.assertEqual(failures, [])

    def test_a_sweep_while_a_folder_is_made_or_used_leaves_it(self):
        parent, made = scratch_dir(self), tempfile.mkdtemp

        def sweep():
            for left in scratch.left_behind(parent):
                shutil.rmtree(left)

        def made_then_swept(
            **arguments,
        ):  # another run sweeps before this one holds the lock
            new = made(**arguments)
            sweep()
            return new

        with mock.patch.object(
            scratch.tempfile, "mkdtemp", made_then_swept
        ), scratch.folder(parent, prefix="job-") as folder:
            sweep()
            (folder / "file").write_text("in use")

    def test_what_a_sweep_takes(self):
        parent = scratch_dir(self)
        # a folder under parent, how old -> swept
        table = [
            ("job-left", 0, True),
            (".new-being-made", 0, False),
            (".new-left-at-once", 3600, True),
        ]
        for name, age, swept in table:
            (parent / name).mkdir()
            os.utime(parent / name, (time.time() - age,) * 2)
        self.assertEqual(
            sorted(p.name for p in scratch.left_behind(parent)),
            sorted(name for name, _, swept in table if swept),
        )


class CommandsScript(unittest.TestCase):
    def test_quoting_survives_the_shell(self):
        work = scratch_dir(self) / "a folder with 'quotes'"
        work.mkdir()
        job = guest.Job(
            commands=[
                ["sh", "-c", 'printf "%s|" "$ODD" "$1"', "-", "it's $HOME"],
                ["false"],
                ["echo", "not reached"],
            ],
            cwd=work,
            env={"ODD": 'a "b" $c `d`', "not an identifier": "x"},
        )
        result = subprocess.run(
            ["sh", "-c", guest.commands_script(job)], capture_output=True, text=True
        )
        self.assertEqual(
            (result.stdout, result.returncode), ('a "b" $c `d`|it\'s $HOME|', 1)
        )
