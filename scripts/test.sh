#!/usr/bin/env bash
# Builds (see build.sh) and runs the whole test suite: unit tests and end-to-end tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
build_dir=${SFX_BUILD_DIR:-build}
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" "$@"
