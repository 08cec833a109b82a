#!/usr/bin/env bash
# Configures and builds into ${SFX_BUILD_DIR:-build}.
#   SFX_WERROR=ON       warnings are errors (CI)
#   SFX_SANITIZE=ON     AddressSanitizer and UndefinedBehaviorSanitizer, dynamically linked stub
#   SFX_CROSS_STUBS=OFF this machine's stub alone, without the stubs for the other machines
#                       (always so with SFX_SANITIZE=ON)
#   SFX_BENCH=ON        also the benchmark programs of bench/
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${SFX_BUILD_DIR:-build}
build_type=MinSizeRel
cross=${SFX_CROSS_STUBS:-ON}
if [[ "${SFX_SANITIZE:-OFF}" == ON ]]; then
  build_type=RelWithDebInfo
  cross=OFF
fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" \
  -DSFX_WERROR="${SFX_WERROR:-OFF}" -DSFX_SANITIZE="${SFX_SANITIZE:-OFF}" \
  -DSFX_CROSS_STUBS="$cross" -DSFX_BENCH="${SFX_BENCH:-OFF}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
