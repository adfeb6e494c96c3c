"""How long each thing may take, in seconds: the one place that says it.

A guest's own limit always lies below the limit of the ctest test or command that starts it, so that the
guest's limit fires first: it stops the guest and shows its console, where ctest would only say "Timeout".
CMake reads the test limits from here (windows_host.py cmake)."""

PROGRAM = 120  # one Windows program on this machine
GUEST_SLOWDOWN = (
    5  # the same program in the guest (software emulation of the whole machine)
)
MARGIN = 60  # a Python starter's own work: start, session set-up, clean-up, the console
BOOT = 120  # a guest that has not run its first command by then did not boot
KERNEL_DOWNLOAD = (
    600  # fetching and unpacking the guest's kernel, once per build folder
)
TEMPLATE = (
    900  # making the Wine prefix template (15 s here, 3.5 to 6 minutes in the guest)
)
SET_UP = (
    TEMPLATE - BOOT - MARGIN
)  # its wineboot -i, both attempts: ends before the guest that runs it
TABLE = 3300  # a guest that runs one table of Windows tests (the scenarios: some 15 minutes)
GUEST_RUN = 3600  # a guest that runs the demo or a benchmark
GUEST_CHECK = 180  # a guest that runs a trivial job (some 10 s; four side by side on a busy machine)
PREFIX_IDLE = 60  # a session end that a program requested, after the program
WRONG_BUILD = 300  # one wrong hexalift: its build, its scenarios, a control run (some 20 s to 2 minutes)


def program(inside: bool) -> int:  # one Windows program, here or inside a guest
    return PROGRAM * (GUEST_SLOWDOWN if inside else 1)


def test(
    inside: bool, programs: int = 2
) -> int:  # a scenario runs two programs, each waited for after
    return programs * (program(inside) + PREFIX_IDLE) + MARGIN


def starter(*guest_limits: int) -> int:
    """A test or command that may fetch the guest's kernel, then runs guests of these limits one after another."""
    return KERNEL_DOWNLOAD + sum(guest_limits) + MARGIN


# The template is made by a guest in the guest mode (the kernel fetched first).
PREPARE_TEST = starter(TEMPLATE)
TABLE_TEST = starter(TABLE)  # natively too: its cases have limits of their own
GUEST_CHECK_TEST = starter(
    GUEST_CHECK, GUEST_CHECK, BOOT + MARGIN, BOOT + MARGIN
)  # guests side by side, a share, two killed
