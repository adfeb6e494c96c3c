#!/usr/bin/python3
"""Stands in for qemu-system-x86_64 in tests/host/windows_host_test.py: finds
the console file and the job's folder in its arguments and plays the guest
that FAKE_GUEST names. Its stdout is the commands' output, its exit status
qemu's."""

import os
import re
import sys
import time

arguments = " ".join(sys.argv)
console = open(re.search(r"file:(\S+)", arguments).group(1), "w")
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
    say("hexalift-guest: running\n")
if act == "runs":
    print("what the commands printed", flush=True)
    status("3\n")
    sys.exit(1)
elif act == "writes its status in pieces":
    status("1", "3", "7\n")
    sys.exit(1)
elif act == "ends in the middle of its status":
    status("13")
    sys.exit(1)
elif act == "panics":
    say("Kernel panic - not syncing: Attempted to kill init!\n")
elif act == "is refused by qemu":
    print(
        "qemu-system-x86_64: -virtfs: there is no option group 'virtfs'",
        file=sys.stderr,
    )
    sys.exit(1)
else:
    time.sleep(600)
