"""How Windows images run on this machine: the one package that knows it.

The builds of the images and what each needs (builds), whether 32-bit x86
code runs here or in a small virtual machine whose kernel runs it (i386,
guest), the Wine prefixes, servers and displays of a session (session,
display), and hexalift's surroundings in a prefix (hexalift). The tests,
the demo and the benchmark import it; scripts/windows_host.py is its
command line.
"""

from .builds import BUILDS, SHIPPED, SKIPPED, Build
from .i386 import FORCE_VARIABLE, decide_mode
from .session import CORECLR_OVERRIDES, WineSession, windows_path

__all__ = ["BUILDS", "SHIPPED", "SKIPPED", "Build", "FORCE_VARIABLE", "decide_mode", "CORECLR_OVERRIDES",
           "WineSession", "windows_path"]
