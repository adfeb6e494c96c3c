"""The native image tool from the command line: what a user sees for good
and bad input, and its verdicts on run logs that no scenario leaves. (The
Windows tool makes the same images: tests/e2e/test_programs.py, in each
build's Windows table.)

  pytest imagetool_test.py --imagetool IMAGETOOL
"""

import json
import subprocess

import pytest


@pytest.fixture
def tool(imagetool, tmp_path):
    """Runs the tool in a new folder that holds "payload" (three bytes)."""
    (tmp_path / "payload").write_bytes(b"abc")

    def run(*arguments, text=True) -> subprocess.CompletedProcess:
        return subprocess.run(
            [imagetool, *arguments], capture_output=True, text=text, cwd=tmp_path
        )

    return run


def test_create_makes_the_worked_example(tool, tmp_path):
    assert tool("create", "1.00", "payload", "image").returncode == 0
    data = (tmp_path / "image").read_bytes()
    assert len(data) == 67
    assert data[58:60] == bytes([0xD7, 0x3E])
    assert data[60:64] == bytes([3, 0, 0, 0])
    shown = tool("show", "image")
    assert shown.returncode == 0
    lines = [
        'VerStr:      "1.00"',
        "CheckSum:    0x3ed7",
        "PayloadSize: 3 (0x00000003)",
        "DataSize:    0x00000043",
        "checksum:    verifies",
    ]
    assert [line for line in lines if line not in shown.stdout] == []


IMAGES = {  # what: the image made from a good one, verify's status, what show says
    "valid": (lambda good: good, 0, "verifies"),
    "corrupted payload": (lambda good: good[:-1] + b"d", 1, "does not verify"),
    "longer than DataSize": (lambda good: good + b"tail", 0, "verifies"),
    "shorter than DataSize": (
        lambda good: good[:-1],
        1,
        "the file is shorter than DataSize",
    ),
    "header only": (lambda good: good[:64], 1, "the file is shorter than DataSize"),
    "short header": (lambda good: good[:10], 1, "incomplete"),
    "DataSize wraps to 0": (
        lambda good: good[:60] + b"\xc0\xff\xff\xff",
        1,
        "wraps to 0",
    ),
}


@pytest.mark.parametrize("what", IMAGES)
def test_verify_exit_status(tool, tmp_path, what):
    made_from, status, words = IMAGES[what]
    tool("create", "ABCDEFGHIJKLMNOP", "payload", "image")
    image = tmp_path / "image"
    image.write_bytes(made_from(image.read_bytes()))
    assert tool("verify", "image").returncode == status
    assert words in tool("show", "image").stdout


MISTAKES = {  # what: the arguments, what the tool says
    "no arguments": ([], "usage:"),
    "unknown command": (["check", "image"], "usage:"),
    "version too long": (["create", "X" * 17, "payload", "image"], "at most 16"),
    "payload missing": (["create", "1", "none", "image"], "cannot open"),
    "image missing": (["verify", "none"], "cannot open"),
    "output not writable": (["create", "1", "payload", "no/x"], "cannot write"),
}


@pytest.mark.parametrize("what", MISTAKES)
def test_bad_arguments_and_files(tool, what):
    arguments, words = MISTAKES[what]
    result = tool(*arguments)
    assert (result.returncode, result.stdout) == (2, "")
    assert words in result.stderr


def test_help(tool):
    result = tool("--help")
    assert result.returncode == 0
    assert "usage:" in result.stdout


# imagetool outcome on logs that no scenario leaves: cut at each step,
# version texts that hold line feeds, and files that are no run log.
NIOS, FPGA = b"C:\\Optical\\qd5180b.nios", b"C:\\Optical\\qd5180a.fpga"
HEAD = [b"(Id:1)", b"pObjFname = " + NIOS, b"pFpgaFname = " + FPGA]
RESET = b"IB_WriteSingleRegister( 0, 0x10028, 0, 32 )"
NORMAL = b"IB_WriteSingleRegister( 0, 0x10028, 1, 32 )"
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


def outcome(tool, tmp_path, log: bytes) -> tuple[int, dict]:
    (tmp_path / "zef_installer.log").write_bytes(log)
    result = tool("outcome", "--json", "zef_installer.log", text=False)
    return result.returncode, json.loads(result.stdout)


CHECKING_NIOS = "checking the processor image"
CHECKING_FPGA = "checking the FPGA image"
CUTS = {  # the log: the step it ends in
    "0 lines": (crlf([]), "starting, before its first line"),
    "1 line": (crlf(WHOLE_RUN[:1]), "starting"),
    "2 lines": (crlf(WHOLE_RUN[:2]), "starting"),
    "3 lines": (
        crlf(WHOLE_RUN[:3]),
        "loading the libraries and putting the module into reset",
    ),
    "4 lines": (crlf(WHOLE_RUN[:4]), "opening the progress window"),
    "5 lines": (crlf(WHOLE_RUN[:5]), CHECKING_NIOS),
    "6 lines": (crlf(WHOLE_RUN[:6]), CHECKING_NIOS),
    "7 lines": (crlf(WHOLE_RUN[:7]), "writing the processor image"),
    "8 lines": (crlf(WHOLE_RUN[:8]), CHECKING_FPGA),
    "9 lines": (crlf(WHOLE_RUN[:9]), CHECKING_FPGA),
    "10 lines": (crlf(WHOLE_RUN[:10]), "writing the FPGA image"),
    "half a version line": (crlf(WHOLE_RUN[:4]) + b"InstallVerStr = 1.", CHECKING_NIOS),
    "half the last line": (
        crlf(WHOLE_RUN[:10]) + b"IB_Write",
        "returning the module to normal operation",
    ),
}


@pytest.mark.parametrize("cut", CUTS)
def test_a_log_cut_names_the_step_it_ends_in(tool, tmp_path, cut):
    log, step = CUTS[cut]
    status, report = outcome(tool, tmp_path, log)
    assert (status, report["run"]) == (1, f"did not finish, while {step}")


def test_a_whole_log_finished(tool, tmp_path):
    status, report = outcome(tool, tmp_path, crlf(WHOLE_RUN))
    assert (status, report["run"]) == (0, "finished")


SAME_WITH_LINE_FEED = [
    b"InstallVerStr = a\r\nb, DataSize = 0x00000041",
    b"CurrentVerStr = a\r\nb",
    b"(Same Version)",
]
# 15 bytes of flash that read like a line of their own.
FLASH_READS_AS_A_LINE = [
    b"InstallVerStr = 1, DataSize = 0x00000041",
    b"CurrentVerStr = ",
    b"(Same Version)",
    b"(Update)",
]
FPGA_MISSING = [b"GetFileInf:" + FPGA + b" File Open Error"]
WRITABLE = {  # what: the log, the images' states, the status
    "line feeds in both versions": (
        crlf(HEAD + [RESET] + SAME_WITH_LINE_FEED * 2 + [NORMAL]),
        {"processor": "current", "fpga": "current"},
        0,
    ),
    "flash text like a decision line": (
        crlf(HEAD + [RESET] + FLASH_READS_AS_A_LINE + [NORMAL]),
        {"processor": "written", "fpga": "not checked"},
        1,
    ),
    "line feeds alone": (
        crlf(WHOLE_RUN).replace(b"\r\n", b"\n"),
        {"processor": "written"},
        0,
    ),
    "the FPGA image's path anchors it": (
        crlf(HEAD + [RESET] + FPGA_MISSING + [NORMAL]),
        {"processor": "not checked", "fpga": "not written: file"},
        1,
    ),
}


@pytest.mark.parametrize("what", WRITABLE)
def test_logs_hexalift_can_write(tool, tmp_path, what):
    log, states, status = WRITABLE[what]
    got_status, report = outcome(tool, tmp_path, log)
    got_states = {image: report[image]["state"] for image in states}
    assert (got_status, got_states) == (status, states), report


NOT_RUN_LOGS = {  # what: the log, the number and text of the line it fails on
    "an earlier text": (b"earlier run\r\n", 1, "earlier run"),
    "a leading zero in the id": (crlf([b"(Id:01)"] + HEAD[1:]), 1, "(Id:01)"),
    "an id out of range": (crlf([b"(Id:128)"]), 1, "(Id:128)"),
    "a line after the end": (crlf(WHOLE_RUN + [b"(Update)"]), 12, "(Update)"),
    "Same Version for different texts": (
        crlf(HEAD + [RESET, WHOLE_RUN[4], b"CurrentVerStr = 1.0", b"(Same Version)"]),
        7,
        "(Same Version)",
    ),
    "a byte the log never holds": (crlf(HEAD) + b"\x00\r\n", 4, "\\x00"),
    "a size that is no number, at the end": (
        crlf(HEAD + [RESET]) + b"InstallVerStr = 1.00, DataSize = 0xZZ",
        5,
        "InstallVerStr = 1.00, DataSize = 0xZZ",
    ),
    "more than a fixed line": (
        crlf(WHOLE_RUN[:6]) + b"(Update) and more",
        7,
        "(Update) and more",
    ),
}


@pytest.mark.parametrize("what", NOT_RUN_LOGS)
def test_not_a_run_log(tool, tmp_path, what):
    log, number, line = NOT_RUN_LOGS[what]
    expected = {"run_log": False, "line_number": number, "line": line, "status": 2}
    assert outcome(tool, tmp_path, log) == (2, expected)
