#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test through ctest. Where the kernel refuses 32-bit programs,
# the shipped 32-bit images run their tests in the guest (docs/testing.md); HEXALIFT_I386=native|guest forces either.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if ! command -v dotnet >/dev/null; then
  echo "test: the .NET SDK (dotnet) is not on PATH. It builds and tests Faultbridge; Debian does not" >&2
  echo "package it, so install it from Microsoft (version 8 or later) and run scripts/test.sh again." >&2
  exit 1
fi
# The tests sign bundles with throwaway keys of their own; the build they test is the unsigned one.
unset HEXALIFT_SIGNING_PFX HEXALIFT_SIGNING_PASSWORD HEXALIFT_SIGNING_PASSWORD_FILE HEXALIFT_SIGNING_TIMESTAMP_URL
build=${HEXALIFT_BUILD_DIR:-build}
build_path=$(realpath -m "$build")
export PYTHONPYCACHEPREFIX="$build_path/pycache"   # compiled modules in the build folder too
export TMPDIR="$build_path/tmp" && mkdir -p "$TMPDIR"   # and temporary files (compilers, tests)
bash scripts/build.sh
echo "The shipped 32-bit images run here: $(PYTHONPATH=scripts python3 scripts/windows_host.py mode)"
rm -rf "$build/junit"   # each table writes its report anew: none of an earlier run is shown
# More jobs than cores: the Wine tests mostly wait (on the prefix template, on Wine).
ctest --test-dir "$build" --output-on-failure -j"$(( $(nproc) + 2 ))" && status=0 || status=$?
python3 scripts/skipped_cases.py "$build/junit" || true   # ctest does not show why pytest skipped a case
exit "$status"
