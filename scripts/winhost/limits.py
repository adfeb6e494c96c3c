"""How long each thing may take, in seconds: the one place that says it.

A guest's own limit always lies below the limit of the ctest test or command that starts it, so that the
guest's limit fires first: it stops the guest and shows its console, where ctest would only say "Timeout".
CMake reads the test limits from here (windows_host.py cmake)."""

PROGRAM = 120          # one Windows program on this machine
GUEST_SLOWDOWN = 5     # the same program in the guest (software emulation of the whole machine)
MARGIN = 60            # a Python starter's own work: start, session set-up, clean-up, the console
BOOT = 120             # a guest that has not run its first command by then did not boot
KERNEL_DOWNLOAD = 600  # fetching and unpacking the guest's kernel, once per build folder
TEMPLATE = 900         # making the Wine prefix template (15 s here, some 150 s in the guest)
GUEST_BATCH = 3300     # a guest that runs a batch of tests (some 10 minutes seen)
GUEST_RUN = 3600       # a guest that runs the demo or a benchmark
GUEST_CHECK = 180      # a guest that runs a trivial job (some 10 s; three side by side on a busy machine)
PREFIX_IDLE = 60       # a session end that a program requested, after the program


def program(in_guest: bool) -> int:   # one Windows program, here or inside a guest
    return PROGRAM * (GUEST_SLOWDOWN if in_guest else 1)


def test(in_guest: bool) -> int:   # a test that runs at most two programs (a scenario's two runs)
    return 2 * program(in_guest) + MARGIN


def starter(*guest_limits: int) -> int:
    """A test or command that may first fetch the guest's kernel, then runs
    guests of these limits one after another (boot included in each)."""
    return KERNEL_DOWNLOAD + sum(guest_limits) + MARGIN


# The template is made by a guest in the guest mode (the kernel fetched first).
PREPARE_TEST = starter(TEMPLATE)
GUEST_BATCH_TEST = starter(GUEST_BATCH)
GUEST_CHECK_TEST = starter(*[GUEST_CHECK] * 4)   # the status round trips and a kill
