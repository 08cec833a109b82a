#!/usr/bin/env bash
# Configures and builds into ${SFX_BUILD_DIR:-build}.
#   SFX_WERROR=ON    warnings are errors (CI)
#   SFX_SANITIZE=ON  AddressSanitizer and UndefinedBehaviorSanitizer, dynamically linked stub
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${SFX_BUILD_DIR:-build}
build_type=MinSizeRel
[[ "${SFX_SANITIZE:-OFF}" == ON ]] && build_type=RelWithDebInfo
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" \
  -DSFX_WERROR="${SFX_WERROR:-OFF}" -DSFX_SANITIZE="${SFX_SANITIZE:-OFF}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
