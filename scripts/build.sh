#!/usr/bin/env bash
# Configures and builds everything in build/: the native image tool, tests and benchmarks, Faultbridge.dll,
# the release bundle, and the Windows images of both builds (build/pe32/bin: the shipped 32-bit ones;
# build/x64/bin: their x86-64 stand-ins). Arguments are build targets: only those are built.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" ${1:+--target "$@"}
