#!/usr/bin/env bash
# Configures and builds everything in build/: the native image tool, tests and
# benchmarks, and the Windows images in build/windows/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
