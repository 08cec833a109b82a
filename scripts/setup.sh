#!/usr/bin/env bash
# Installs what the build needs (as root), builds the stubs, the generator and the tests, then
# packs the demo payload into a distributable file and runs it.
# SFX_CROSS_STUBS=OFF builds this machine's stub alone (see build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
build_dir=${SFX_BUILD_DIR:-build}
echo
echo "built: $build_dir/sfx_pack and the stubs ($build_dir/sfx_stub is this machine's):"
for stub in "$build_dir"/sfx_stub-*; do
  printf '  %-28s %9d bytes  %s\n' "$stub" "$(stat -c %s "$stub")" \
    "$(file -b "$stub" | cut -d, -f1-2)"
done
echo
echo "\$ $build_dir/sfx_pack create -o $build_dir/demo.run -c 'hello.sh %quoted-argv%' demo/payload"
"$build_dir/sfx_pack" create -o "$build_dir/demo.run" -c 'hello.sh %quoted-argv%' demo/payload
echo
echo "\$ $build_dir/demo.run first 'second one'"
"$build_dir/demo.run" first 'second one'
