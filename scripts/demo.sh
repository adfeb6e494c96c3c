#!/usr/bin/env bash
# Runs hexalift.exe under Wine against the simulated optical module and shows the run log and what
# reached flash, after installing and building what it needs. The run itself is scripts/demo.py, whose
# options (your own images, a blank flash, the x86-64 build, a screenshot) scripts/demo.sh --help lists.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHONPYCACHEPREFIX=$(realpath -m "${HEXALIFT_BUILD_DIR:-build}")/pycache   # not in the source tree
export PYTHONPYCACHEPREFIX

# Wrong arguments are told before the long install and build.
bash scripts/install-deps.sh python3
case " $* " in *" -h "* | *" --help "*) exec python3 scripts/demo.py --help ;; esac
python3 scripts/demo.py --check-arguments "$@" || exit 2
step=
trap 'echo "demo: FAILED while $step (see the messages above); fix that and run scripts/demo.sh again." >&2' ERR

step="installing packages"
bash scripts/install-deps.sh
case " $* " in *" --screenshot "* | *" --screenshot="*) bash scripts/install-deps.sh imagemagick ;; esac
step="building (run scripts/build.sh to see the compiler's messages)"
bash scripts/build.sh pe32 x64 imagetool >/dev/null
step="running the demo"
exec python3 scripts/supervise.py python3 scripts/demo.py "$@"   # its Wine and Xvfb end with it
