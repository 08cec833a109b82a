#!/usr/bin/env bash
# Installs what the build needs (as root), builds the stub, the generator and the tests, then
# packs the demo payload into a distributable file and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
build_dir=${SFX_BUILD_DIR:-build}
echo
echo "built: $build_dir/sfx_stub and $build_dir/sfx_pack"
file "$build_dir/sfx_stub"
echo
echo "\$ $build_dir/sfx_pack create -o $build_dir/demo.run -c 'hello.sh %argv%' demo/payload"
"$build_dir/sfx_pack" create -o "$build_dir/demo.run" -c 'hello.sh %argv%' demo/payload
echo
echo "\$ $build_dir/demo.run first second"
"$build_dir/demo.run" first second
