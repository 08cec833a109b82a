#!/usr/bin/env bash
# Packs the reference payload with sfx_pack and with Info-ZIP's zip -r at the same level, in
# the same run, and reports the time and size ratios.
#
#   bench/pack_bench.sh [BUILD_DIR]
#
# Environment: LEVEL (6), JOBS (2), RUNS (10), DATA (/tmp/bench-data, made by MAKE_PAYLOAD when
# it holds no payload), MAKE_PAYLOAD (../shared/bench/make_payload.py beside the repository).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(realpath "${1:-build}")
level=${LEVEL:-6}
jobs=${JOBS:-2}
runs=${RUNS:-10}
data=${DATA:-/tmp/bench-data}
make_payload=${MAKE_PAYLOAD:-../shared/bench/make_payload.py}
out=$(realpath -m bench/out/pack)

command -v hyperfine >/dev/null || { echo "hyperfine is missing: scripts/install-deps.sh --all" >&2; exit 1; }
[[ -x $build_dir/sfx_pack ]] || { echo "no $build_dir/sfx_pack: build first" >&2; exit 1; }
if [[ ! -d $data/payload ]]; then
  [[ -f $make_payload ]] || { echo "no payload in $data and no $make_payload" >&2; exit 1; }
  python3 "$make_payload" --out "$data"
fi
mkdir -p "$out"

pack="$build_dir/sfx_pack create -l $level -o $out/payload.run -c 'trevalo %argv%' $data/payload"
# Each run writes a new file: the previous output is removed before it, outside the timing.
# sfx_pack also syncs its output to disk before renaming it into place; zip does not.
hyperfine --warmup 1 --runs "$runs" --export-json "$out/times.json" \
  --prepare "rm -f $out/payload.run" --prepare "rm -f $out/payload.run" \
  --prepare "rm -f $out/payload.zip" \
  -n "sfx_pack -j$jobs" "$pack -j $jobs" \
  -n "sfx_pack -j1" "$pack -j 1" \
  -n "zip -r -$level" "cd $data/payload && zip -q -r -$level $out/payload.zip ."

"$build_dir/sfx_pack" verify "$out/payload.run"
archive=$("$build_dir/sfx_pack" inspect --json "$out/payload.run" |
  python3 -c 'import json, sys; print(json.load(sys.stdin)["archive_length"])')
zip_size=$(stat -c %s "$out/payload.zip")

python3 - "$out/times.json" "$archive" "$zip_size" "$jobs" "$level" <<'PY'
import json, sys
times = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
archive, zip_size, jobs, level = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
pack, single, zip_ = times["sfx_pack -j" + jobs], times["sfx_pack -j1"], times["zip -r -" + level]
print()
print("level %s, %d runs each" % (level, len(zip_["times"])))
for name, r in (("sfx_pack -j" + jobs, pack), ("sfx_pack -j1", single), ("zip -r -" + level, zip_)):
    print("%-14s %.3f s mean, %.3f s median, ± %.3f s; CPU %.3f s user + %.3f s system" % (
        name, r["mean"], r["median"], r["stddev"], r["user"], r["system"]))
print("time ratio  zip / sfx_pack -j%s: %.2f (median %.2f); zip / sfx_pack -j1: %.2f" % (
    jobs, zip_["mean"] / pack["mean"], zip_["median"] / pack["median"], zip_["mean"] / single["mean"]))
print("archive     sfx_pack %d bytes, zip %d bytes, ratio %.4f" % (archive, zip_size, archive / zip_size))
PY
