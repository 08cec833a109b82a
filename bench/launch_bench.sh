#!/usr/bin/env bash
# Launch benchmark: the stub's extract-only launch (FILE --sfx-extract-dir DIR
# --sfx-extract-only: carve archive.zip, unpack, remove archive.zip) against "bsdtar -xf" and
# "unzip -qo" unpacking the same archive, at several payload sizes, with the page cache warm
# and with the input files dropped from it, in interleaved runs (stub, bsdtar, unzip, stub,
# ...), with the median, the spread and the peak resident set of each; then the archive.zip
# copy alone, copy_file_range against pread/write in 256 KiB blocks (bench_copy).
#
#   bench/launch_bench.sh            (after a build into build/; see bench/README.md)
#
# Environment: SFX_BUILD_DIR (default build), SFX_BENCH_SIZES (default "1mb 41mb 100mb 1gb"),
# SFX_BENCH_RUNS (runs per tool and size, default 11; 1gb: SFX_BENCH_RUNS_1GB, default 5),
# SFX_BENCH_MODES (default "warm cold"), SFX_BENCH_COPY (default "41mb 1gb"; empty skips the
# copy comparison), SFX_BENCH_DIR (the scratch directory's parent, default /tmp; the output
# directories lie there too), SFX_MAKE_PAYLOAD (the reference payload script; found beside
# the repository otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SFX_BUILD_DIR:-build}
sizes=${SFX_BENCH_SIZES-1mb 41mb 100mb 1gb}
runs=${SFX_BENCH_RUNS:-11}
runs_1gb=${SFX_BENCH_RUNS_1GB:-5}
modes=${SFX_BENCH_MODES:-warm cold}
copy_sizes=${SFX_BENCH_COPY-41mb 1gb}
source bench/bench_common.sh
need_tools /usr/bin/time bsdtar unzip python3 dd
need_built "$build" sfx_stub sfx_pack bench_copy
build=$(realpath "$build")
make_payload=$(find_make_payload)

work=$(mktemp -d "${SFX_BENCH_DIR:-/tmp}/sfx_launch_bench_XXXXXX")
trap 'rm -rf "$work"' EXIT
# The archive's DOS dates are read as local time; UTC makes them equal to the reference files'.
export TZ=UTC

# make_payload.py options for each size name.
payload_options() {
  case $1 in
    1mb) echo "--scale 0.025" ;;
    41mb) echo "" ;;
    100mb) echo "--fw-mib 102" ;;
    1gb) echo "--fw-mib 950" ;;
    *) echo "unknown size $1 (1mb 41mb 100mb 1gb)" >&2; return 1 ;;
  esac
}

# Makes $work/$1/: payload/ and payload.zip from make_payload.py, fwpkg.bin packed from the zip
# unchanged, and checks that every tool unpacks the reference tree.
prepare() {
  local size=$1 dir=$work/$1
  # shellcheck disable=SC2046
  python3 "$make_payload" --out "$dir" $(payload_options "$size") >/dev/null
  "$build/sfx_pack" create -o "$dir/fwpkg.bin" -c 'true' "$dir/payload.zip" >/dev/null 2>&1
  listing "$dir/payload" >"$dir/expected"
  local out=$dir/out got
  for tool in stub bsdtar unzip; do
    rm -rf "$out" && mkdir "$out"
    case $tool in
      stub) "$dir/fwpkg.bin" --sfx-extract-dir "$out" --sfx-extract-only >/dev/null; got=$out/fwpkg-dir ;;
      bsdtar) bsdtar -xf "$dir/payload.zip" -C "$out"; got=$out ;;
      unzip) unzip -qo "$dir/payload.zip" -d "$out"; got=$out ;;
    esac
    if ! listing "$got" | cmp -s - "$dir/expected" || ! diff -r "$dir/payload" "$got" >/dev/null; then
      echo "   $size: $tool unpacks a different tree" >&2
      exit 1
    fi
  done
  [[ ! -e $out/archive.zip ]] || { echo "   $size: the stub left archive.zip behind" >&2; exit 1; }
  rm -rf "$out" "$dir/payload"
  local zip_bytes
  zip_bytes=$(stat -c %s "$dir/payload.zip")
  echo "   $size: payload.zip of $zip_bytes bytes, 51 entries; stub, bsdtar and unzip unpack the same tree"
}

# Interleaved runs of the three tools; times from the parent's clock around start and wait,
# peak resident set from GNU time (a child forked from python would count python's pages).
measure() {
  python3 - "$@" <<'EOF'
import os, shutil, statistics, subprocess, sys, time
dir, mode, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
out = os.path.join(dir, "out")
archive = os.path.join(dir, "payload.zip")
rss_file = os.path.join(dir, "rss")
dist = os.path.join(dir, "fwpkg.bin")
tools = {
    "stub": ([dist, "--sfx-extract-dir", out, "--sfx-extract-only"], dist),
    "bsdtar": (["bsdtar", "-xf", archive, "-C", out], archive),
    "unzip": (["unzip", "-qo", archive, "-d", out], archive),
}
times = {name: [] for name in tools}
rss = {name: [] for name in tools}
null = open(os.devnull, "w")
names = list(tools)
for run in range(runs):
    for name in names[run % 3:] + names[:run % 3]:
        argv, source = tools[name]
        shutil.rmtree(out, ignore_errors=True)
        os.mkdir(out)
        os.sync()  # No write-back of an earlier run lands on this one.
        if mode == "cold":
            # Drops only this file's pages (the stub's file or the archive), not the whole cache.
            subprocess.run(["dd", "if=" + source, "iflag=nocache", "count=0", "status=none"],
                           check=True)
        start = time.perf_counter()
        status = subprocess.call(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv, stdout=null)
        elapsed = time.perf_counter() - start
        if status != 0:
            sys.exit(f"{name} failed with status {status}")
        times[name].append(elapsed * 1000)
        rss[name].append(int(open(rss_file).read().split()[-1]))
shutil.rmtree(out, ignore_errors=True)
def quartiles(t):
    q = statistics.quantiles(t, n=4) if len(t) > 1 else [t[0]] * 3
    return q[0], q[2]
base = statistics.median(times["bsdtar"])
print(f"   {'':8}{'median ms':>10}{'min-max ms':>17}{'IQR ms':>16}{'vs bsdtar':>10}{'peak RSS KiB':>14}")
for name in names:
    t = times[name]
    lo, hi = quartiles(t)
    print(f"   {name:8}{statistics.median(t):10.1f}{min(t):9.1f}-{max(t):<7.1f}"
          f"{lo:8.1f}-{hi:<7.1f}{statistics.median(t) / base:10.2f}{max(rss[name]):14d}")
EOF
}

echo "== stub $(stat -c %s "$build/sfx_stub") bytes: $(file -b "$build/sfx_stub" | cut -d, -f1-4)"
for size in $sizes; do
  echo
  echo "== $size: making the payload with $make_payload"
  prepare "$size"
  size_runs=$runs
  [[ $size == 1gb ]] && size_runs=$runs_1gb
  for mode in $modes; do
    echo "-- $size, page cache $mode, $size_runs interleaved runs each"
    measure "$work/$size" "$mode" "$size_runs"
  done
  if [[ " $copy_sizes " != *" $size "* ]]; then
    rm -rf "${work:?}/$size"
  fi
done

for size in $copy_sizes; do
  dir=$work/$size
  [[ -d $dir ]] || prepare "$size" >/dev/null
  read -r archive_offset archive_length < <("$build/sfx_pack" inspect --json "$dir/fwpkg.bin" |
    python3 -c 'import json, sys; d = json.load(sys.stdin); print(d["archive_offset"], d["archive_length"])')
  size_runs=$runs
  [[ $size == 1gb ]] && size_runs=$runs_1gb
  for mode in $modes; do
    echo
    echo "== copying the archive out of the $size file (same file system), $mode"
    arg=()
    [[ $mode == cold ]] && arg=(cold)
    "$build/bench_copy" "$dir/fwpkg.bin" "$archive_offset" "$archive_length" "$dir" "$size_runs" "${arg[@]}" |
      sed 's/^/   /'
  done
  rm -rf "${work:?}/$size"
done
