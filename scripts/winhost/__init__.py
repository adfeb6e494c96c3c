"""How Windows images run on this machine: the one package that knows it. The builds and the build folder
(builds), how long each thing may take (limits), whether 32-bit x86 code runs here or in a small virtual
machine whose kernel runs it (i386, guest), a session's Wine prefix, server and display (session, display),
temporary folders (scratch), and hexalift's surroundings in a prefix (hexalift). The tests, the demo and the
benchmark import it; scripts/windows_host.py is its command line."""

from .builds import BUILDS, Build, build_dir
from .i386 import FORCE_VARIABLE, decide_mode
from .session import CORECLR_OVERRIDES, WineSession, windows_path

__all__ = [
    "BUILDS",
    "Build",
    "build_dir",
    "FORCE_VARIABLE",
    "decide_mode",
    "CORECLR_OVERRIDES",
    "WineSession",
    "windows_path",
]
