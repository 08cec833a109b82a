#!/usr/bin/env bash
# Installs what the build needs (as root), builds the stub and the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
echo
echo "built: ${SFX_BUILD_DIR:-build}/sfx_stub"
file "${SFX_BUILD_DIR:-build}/sfx_stub"
