"""Stands in for a Wine session in a guest (tests/host/guest_check.py): makes a
prefix at the folder given over the template image the guest was given, as
a session does there."""

import sys
from pathlib import Path

from winhost import guest

guest.overlay_prefix(Path(sys.argv[1]))
