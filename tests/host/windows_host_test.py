"""The Windows host package's decisions, with nothing outside the build
folder touched: the mode (forced, or probed past other binfmt_misc
handlers, and only the kernel's refusal counting as "no i386"), when the
prefix image counts as ready, and how a guest ends: its status read whole,
what each failure tells, and that what a killed test left is swept by the
next run. Stand-ins for Wine and qemu (tests/host/stand_ins/) play them;
tests/host/guest_check.py boots the real guest."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest
from process_checks import STAND_INS, SUPERVISED, parent_of, wait_for
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
QEMU = str(STAND_INS / "qemu.py")


def entry(magic: bytes, mask: bytes, enabled: bool = True) -> str:
    """A handler's file as binfmt_misc shows it."""
    return (
        f"{'enabled' if enabled else 'disabled'}\ninterpreter /usr/bin/emulator\nflags: F\n"
        f"offset 0\nmagic {magic.hex()}\nmask {mask.hex()}\n"
    )


def handler(pattern: tuple, enabled: bool = True) -> i386.Handler:
    return i386.Handler("h", enabled, 0, *pattern)


# HEXALIFT_I386, what the probe says (None: it must not be asked) -> the mode,
# or what is raised
MODES = {
    "forced native": ("native", None, "native"),
    "forced guest": ("guest", None, "guest"),
    "probed, runs i386": ("", True, "native"),
    "probed, refuses i386": ("", False, "guest"),
    "an old mode's name": ("emulated", None, SystemExit),
    "a wrong name": ("vm", None, SystemExit),
    "a guess": ("maybe", None, SystemExit),
}


@pytest.mark.parametrize("what", MODES)
def test_the_mode(monkeypatch, what):
    forced, native, mode = MODES[what]

    def probe():
        assert native is not None, "probed"
        return native

    monkeypatch.setenv(i386.FORCE_VARIABLE, forced)
    monkeypatch.setattr(i386, "runs_i386_natively", probe)
    if isinstance(mode, str):
        assert i386.decide_mode() == mode
    else:
        pytest.raises(mode, i386.decide_mode)


def test_a_probe_that_cannot_tell_names_the_choice(monkeypatch):
    # every probe taken by a handler: no second road to the guest mode, but a failure that says how to choose
    monkeypatch.setenv(i386.FORCE_VARIABLE, "")
    taken = [i386.Handler("any-elf", True, 0, *ANY_PADDING)]
    monkeypatch.setattr(i386, "handlers", lambda: taken)
    with pytest.raises(
        RuntimeError, match=f"any-elf.*cannot be told.*{i386.FORCE_VARIABLE}"
    ):
        i386.decide_mode()


# the probe's status (None: not a program), its permissions -> the answer, or
# what the failure says
PROBES = {
    "a program that exits with 0": (0, 0o755, True),
    "a file the kernel cannot run (ENOEXEC)": (None, 0o755, False),
    "a file it may not run (noexec, EACCES)": (0, 0o644, "could not be started"),
    "a program that exits with 3": (3, 0o755, "ended with status 3"),
}


@pytest.mark.parametrize("what", PROBES)
def test_only_the_kernels_refusal_means_no_i386(tmp_path, monkeypatch, what):
    status, mode, answer = PROBES[what]
    probe = tmp_path / "probe"
    if status is None:
        probe.write_text("not a program\n")
    else:
        shutil.copy(STAND_INS / "probe.sh", probe)
        monkeypatch.setenv("PROBE_STATUS", str(status))
    probe.chmod(mode)
    if isinstance(answer, bool):
        assert i386.probe_answer(probe) is answer
    else:
        with pytest.raises(RuntimeError, match=answer):
            i386.probe_answer(probe)


# the handlers present -> the probe's padding (None: every probe is taken)
PATTERNS = {
    "none": ([], b"hexalift"),
    "qemu-user's": ([handler(QEMU_PATTERN)], b"hexalift"),
    "one that takes the first padding": (
        [handler((b"\x7fELF\x01\x01\x01\x00hexalift", b"\xff" * 16))],
        b"\xff" * 8,
    ),
    "one that ignores the padding": ([handler(ANY_PADDING)], None),
    "a disabled one that ignores it": ([handler(ANY_PADDING, False)], b"hexalift"),
}


@pytest.mark.parametrize("present", PATTERNS)
def test_probe_against_handler_patterns(present):
    handlers, padding = PATTERNS[present]
    probe = i386.unmatched_probe(handlers)
    assert (None if probe is None else probe[8:16]) == padding


def test_handlers_read_from_binfmt_misc(tmp_path, monkeypatch):
    (tmp_path / "status").write_text("enabled\n")
    (tmp_path / "qemu-i386").write_text(entry(*QEMU_PATTERN))
    (tmp_path / "other").write_text(entry(*ANY_PADDING, enabled=False))
    (tmp_path / "by-extension").write_text(
        "enabled\ninterpreter /bin/x\nflags: \nextension .x\n"
    )
    monkeypatch.setattr(i386, "BINFMT", tmp_path)
    found = {h.name: h for h in i386.handlers()}
    assert sorted(found) == ["other", "qemu-i386"]
    assert i386.matching(i386.i386_program(), list(found.values())) == ["qemu-i386"]


# The template's image counts as ready only once a guest made it whole, and
# only for the Wine it was made with.
# what lies there, the guest's status -> guest started, ready after, failure
IMAGES = {
    "nothing": (None, 0, True, True, None),
    "a half-made image": ("partial", 0, True, True, None),
    "an image of another Wine": ("other Wine's", 0, True, True, None),
    "nothing, and the guest fails": (None, 1, True, False, "failed with status 1"),
    "the image": ("image", None, False, True, None),
}


@pytest.mark.parametrize("there", IMAGES)
def test_the_prefix_image_is_made_once_and_only_when_whole(
    tmp_path, monkeypatch, there
):
    lying, status, started, ready, failure = IMAGES[there]
    monkeypatch.setenv("HEXALIFT_BUILD_DIR", str(tmp_path))
    monkeypatch.setattr(session_module, "IMAGE_BYTES", 4096)
    monkeypatch.setattr(i386, "say", lambda text: None)
    session = WineSession(tmp_path / "e2e" / "pe32", BUILDS["pe32"], "guest")
    image = session.template_image
    assert image.parent == tmp_path / "guest", "in the build folder"
    images = {
        "image": image,
        "partial": image.with_name(image.name + ".partial"),
        "other Wine's": image.with_name("prefix-template-000000000000.sqfs"),
    }
    if lying:
        image.parent.mkdir()
        images[lying].write_bytes(b"old")
    runs = []

    def run(job, folder, stream):
        runs.append(job)
        return status

    monkeypatch.setattr(guest, "run", run)
    if failure:
        with pytest.raises(RuntimeError, match=failure):
            session.make_template_image()
    else:
        session.make_template_image()
    assert bool(runs) == started
    assert image.exists() == ready
    assert not images["other Wine's"].exists(), "an image of another Wine goes"
    if started:
        assert runs[0].disk == images["partial"], "made under the temporary name"


# A prefix set-up that fails early is made anew once, from no prefix, what
# Wine said shown and kept; one that fails late is not; one that hangs is
# stopped with its output kept; both attempts keep within one limit.
# What each attempt of the loader's stand-in does -> attempts made, the
# server's calls (-k -w: the prefix's processes ended), what is raised
# (None: the prefix is made).
HANG = (subprocess.TimeoutExpired, "timed out")
SET_UPS = {
    "succeeds": ("", 1, ["-w"], None),
    "fails once": ("1:fails", 2, ["-k", "-w", "-w"], None),
    "fails twice": (
        "1:fails 2:fails",
        2,
        ["-k", "-w"] * 2,
        (
            RuntimeError,
            "(?s)failed with status 53 at attempt 2:.*could not load kernel32.dll",
        ),
    ),
    "fails late": (
        "1:fails-after-4",
        1,
        ["-k", "-w"],
        (RuntimeError, "failed with status 53 at attempt 1"),
    ),
    "hangs": ("1:hangs", 1, ["-k", "-w"], HANG),
    "fails, then hangs": ("1:fails-after-1 2:hangs", 2, ["-k", "-w"] * 2, HANG),
}


@pytest.mark.parametrize("what", SET_UPS)
def test_a_failed_set_up_is_tried_once_more_and_shown(tmp_path, monkeypatch, what):
    acts, attempts, server_calls, raised = SET_UPS[what]
    limit = 6  # a retry wants 3 s left
    prefix, log = tmp_path / "prefix", tmp_path / "log"
    said = []  # what was shown, with what the log held by then
    monkeypatch.setattr(session_module, "LOADER_64", str(STAND_INS / "wine_loader.sh"))
    monkeypatch.setattr(session_module, "SERVER", str(STAND_INS / "wine_server.sh"))
    monkeypatch.setattr(session_module.limits, "SET_UP", limit)
    monkeypatch.setattr(i386, "say", lambda text: said.append((text, log.read_text())))
    monkeypatch.setenv("FAKE_COUNT", str(tmp_path / "count"))
    monkeypatch.setenv("FAKE_ACTS", acts)
    monkeypatch.setenv("FAKE_SERVER_CALLS", str(tmp_path / "server-calls"))
    session = WineSession(tmp_path / "session", BUILDS["x64"], "native")
    with open(log, "wb") as stream:
        if raised:
            with pytest.raises(raised[0], match=raised[1]) as caught:
                session.make_template(prefix, stream)
        else:
            session.make_template(prefix, stream)
    assert int((tmp_path / "count").read_text()) == attempts
    assert (tmp_path / "server-calls").read_text().split() == server_calls
    # a failed set-up leaves no prefix; a hung one's goes with the scratch
    # folder it was made in
    assert prefix.exists() == (not raised or raised is HANG)
    output = log.read_text()
    assert output.count("set-up") == attempts, "every attempt's output is logged"
    assert "left over" not in output, "every attempt starts from no prefix"
    if raised is HANG and attempts == 2:
        assert caught.value.timeout <= limit - 1, "one limit for both attempts"
    # only a failed first attempt that is tried again is shown, once its output
    # is logged
    assert [
        (
            "status 53 at attempt 1" in text and "kernel32.dll" in text,
            "set-up 1" in logged,
        )
        for text, logged in said
    ] == ([(True, True)] if attempts == 2 else [])


@pytest.fixture
def guest_dir(tmp_path, monkeypatch):
    """A guest folder whose guests the qemu stand-in plays."""
    monkeypatch.setattr(guest, "QEMU", QEMU)
    monkeypatch.setattr(guest.limits, "BOOT", 5)
    monkeypatch.setattr(guest, "boot_files", lambda folder: (Path("k"), Path("i")))
    return tmp_path / "guest"


def run_guest(monkeypatch, guest_dir: Path, act: str, timeout: int = 30) -> tuple:
    """What the qemu stand-in, playing act, gives: the status and the output."""
    out = guest_dir.with_name("stream")
    monkeypatch.setenv("FAKE_GUEST", act)
    with open(out, "wb") as stream:
        job = guest.Job(
            commands=[["true"]], cwd=guest_dir.parent, env={}, timeout=timeout
        )
        return guest.run(job, guest_dir, stream=stream), out.read_bytes()


# what the guest does -> the status and output, or what the failure message holds
GUESTS = {
    "runs": ((3, b"what the commands printed\n"), None),
    "writes its status in pieces": ((137, b""), None),
    "ends in the middle of its status": (
        None,
        r"ended \(qemu status 1\) before its commands did",
    ),
    "panics": (
        None,
        "ended .* before its commands did.*\n--- the guest's console:\n.*Kernel panic",
    ),
    "is refused by qemu": (
        None,
        "qemu said: .*no option group 'virtfs'\n--- the guest's console:\n\\(the guest printed nothing",
    ),
    "hangs": (None, "did not end within 8 s"),
    "never boots": (None, "did not boot within 5 s"),
}


@pytest.mark.parametrize("act", GUESTS)
def test_status_and_what_each_failure_says(guest_dir, monkeypatch, act):
    result, failure = GUESTS[act]
    if failure:
        with pytest.raises(guest.GuestFailed, match=failure):
            run_guest(monkeypatch, guest_dir, act, timeout=8)
    else:
        assert run_guest(monkeypatch, guest_dir, act) == result
    assert guest.running(guest_dir) == [], "no guest left running"
    assert list((guest_dir / "jobs").iterdir()) == [], "no job folder left"


@pytest.mark.parametrize(
    "killed", ["the supervisor", "the starter"]
)  # SIGTERM, SIGKILL
def test_a_guest_ends_with_its_test_and_the_next_run_sweeps(
    guest_dir, monkeypatch, killed
):
    starter = [
        sys.executable,
        str(STAND_INS / "hanging_guest_starter.py"),
        QEMU,
        str(guest_dir),
    ]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    test = subprocess.Popen([*SUPERVISED, *starter], env=env)
    try:
        assert wait_for(lambda: guest.running(guest_dir), 20), "the guest started"
        if killed == "the supervisor":
            test.send_signal(signal.SIGTERM)
        else:
            qemu = guest.running(guest_dir)[0][0]
            os.kill(parent_of(qemu), signal.SIGKILL)
        test.wait()
        assert guest.running(guest_dir) == [], "the guest ended"
        assert scratch.left_behind(guest_dir / "jobs"), "its job folder is left"
        assert run_guest(monkeypatch, guest_dir, "runs")[0] == 3
        assert (
            list((guest_dir / "jobs").iterdir()) == []
        ), "the next run swept what was left"
    finally:
        test.kill()
        test.wait()


def test_scratch_folders_made_side_by_side_are_never_swept_in_use(tmp_path):
    failures = []

    def make_many():
        for _ in range(100):
            try:
                with scratch.folder(tmp_path, prefix="job-") as folder:
                    (folder / "file").write_text("in use")
            except OSError as failure:
                failures.append(failure)

    workers = [threading.Thread(target=make_many) for _ in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []


def test_a_sweep_while_a_folder_is_made_or_used_leaves_it(tmp_path, monkeypatch):
    made = tempfile.mkdtemp

    def sweep():
        for left in scratch.left_behind(tmp_path):
            shutil.rmtree(left)

    def made_then_swept(
        **arguments,
    ):  # another run sweeps before this one holds the lock
        new = made(**arguments)
        sweep()
        return new

    monkeypatch.setattr(scratch.tempfile, "mkdtemp", made_then_swept)
    with scratch.folder(tmp_path, prefix="job-") as folder:
        sweep()
        (folder / "file").write_text("in use")


def test_what_a_sweep_takes(tmp_path):
    # a folder under tmp_path, how old -> swept
    table = [
        ("job-left", 0, True),
        (".new-being-made", 0, False),
        (".new-left-at-once", 3600, True),
    ]
    for name, age, swept in table:
        (tmp_path / name).mkdir()
        os.utime(tmp_path / name, (time.time() - age,) * 2)
    assert sorted(p.name for p in scratch.left_behind(tmp_path)) == sorted(
        name for name, _, swept in table if swept
    )


def test_quoting_survives_the_shell(tmp_path):
    work = tmp_path / "a folder with 'quotes'"
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
    assert (result.stdout, result.returncode) == ('a "b" $c `d`|it\'s $HOME|', 1)
