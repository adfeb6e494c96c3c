#!/usr/bin/env bash
# Configures and builds everything in the build folder (build/, or HEXALIFT_BUILD_DIR, where the demo and
# the host package look too): the native image tool, tests and benchmarks, Faultbridge.dll,
# the release bundle, and the Windows images of both builds (build/pe32/bin: the shipped 32-bit ones;
# build/x64/bin: their x86-64 stand-ins). Arguments are build targets: only those are built.
set -euo pipefail
# The signing key's files may be named relative to the folder this was started from (docs/signing.md).
for variable in HEXALIFT_SIGNING_PFX HEXALIFT_SIGNING_PASSWORD_FILE; do
  [ -n "${!variable-}" ] && export "$variable=$(realpath -m -- "${!variable}")"
done
cd "$(dirname "$0")/.."
build=${HEXALIFT_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" ${1:+--target "$@"}
