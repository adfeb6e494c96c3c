#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test through ctest: the
# native unit tests and the end-to-end scenarios under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
