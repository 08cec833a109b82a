#!/usr/bin/env bash
# Carving benchmark: how long the stub takes to reject a large file without a trailer and to
# copy a large appended archive out, against cat and cp of the same bytes, and the peak memory
# of each. (The straightforward design it was once measured against, one 32-byte read per
# position and a 1024-byte stdio copy, is retired: see bench/README.md for its figures.)
#
#   bench/carve_bench.sh              (after a build into build/; see bench/README.md)
#
# Environment: SFX_BUILD_DIR (default build), SFX_BENCH_MB (size of the large files in MiB,
# default 100), SFX_BENCH_RUNS (runs per timing, default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SFX_BUILD_DIR:-build}
mb=${SFX_BENCH_MB:-100}
runs=${SFX_BENCH_RUNS:-10}
source bench/bench_common.sh
need_tools hyperfine /usr/bin/time
need_built "$build" sfx_stub bench_carve
stub=$(realpath "$build/sfx_stub")
carve=$(realpath "$build/bench_carve")

work=$(mktemp -d /tmp/sfx_bench_XXXXXX)
shm=""
trap 'rm -rf "$work" ${shm:+"$shm"}' EXIT
bytes=$((mb * 1024 * 1024))

echo "== making files in $work ($mb MiB each)"
head -c "$bytes" /dev/urandom >"$work/archive"
head -c $((bytes / 10)) /dev/urandom >"$work/archive_small"
# No trailer: the stub followed by random bytes, and by bytes that all begin the marker.
cat "$stub" "$work/archive" >"$work/no_trailer.bin"
{ cat "$stub"; head -c "$bytes" /dev/zero | tr '\0' 'Q'; } >"$work/no_trailer_q.bin"
"$carve" make "$stub" "$work/archive" "$work/dist.bin"
"$carve" make "$stub" "$work/archive_small" "$work/dist_small.bin"
chmod +x "$work"/*.bin
mkdir "$work/out"
if [[ -d /dev/shm ]] && [[ $(stat -c %d /dev/shm) != $(stat -c %d "$work") ]]; then
  shm=$(mktemp -d /dev/shm/sfx_bench_XXXXXX)
fi

echo
echo "== rejecting a file without a trailer (page cache warm)"
hyperfine -N --warmup 2 --runs "$((runs * 3))" -i \
  -n "cat FILE >/dev/null" "cat $work/no_trailer.bin" \
  -n "stub rejects FILE" "$work/no_trailer.bin" \
  -n "find_version_marker on FILE" "$carve scan $work/no_trailer.bin" \
  -n "find_version_marker on FILE of 'Q' bytes" "$carve scan $work/no_trailer_q.bin"
echo
echo "== the same, with FILE dropped from the page cache before each run"
evict="dd if=$work/no_trailer.bin iflag=nocache count=0 status=none"
hyperfine -N --runs "$runs" -i --prepare "$evict" \
  -n "cat FILE >/dev/null, cold" "cat $work/no_trailer.bin" \
  -n "stub rejects FILE, cold" "$work/no_trailer.bin" \
  -n "find_version_marker on FILE, cold" "$carve scan $work/no_trailer.bin"


echo
echo "== copying the appended archive out"
# Each run starts without a previous copy: truncating 100 MiB of fresh data costs more than
# the copy itself on some file systems.
clear_copies="rm -f $work/out/archive.zip $work/out/copy"
copy_runs=(
  -n "cp ARCHIVE (baseline)" "cp $work/archive $work/out/copy"
  -n "stub with --sfx-extract-dir (carve, refused extraction, clean-up)"
  "$work/dist.bin --sfx-extract-dir $work/out"
  -n "carve_archive, same file system" "$carve carve $work/dist.bin $work/out"
)
if [[ -n $shm ]]; then
  clear_copies+=" $shm/archive.zip"
  copy_runs+=(-n "carve_archive into /dev/shm (bounded buffer)" "$carve carve $work/dist.bin $shm")
fi
hyperfine -N --warmup 1 --runs "$runs" -i --prepare "$clear_copies" "${copy_runs[@]}"

echo
echo "== peak resident memory (KiB)"
peak() {
  local label=$1
  shift
  /usr/bin/time -f '%M' -o "$work/rss" "$@" >/dev/null 2>&1 || true
  printf '%-62s %8s\n' "$label" "$(tail -1 "$work/rss")"
}
peak "stub rejects FILE ($mb MiB)" "$work/no_trailer.bin"
peak "stub, archive of $((mb / 10)) MiB" "$work/dist_small.bin" --sfx-extract-dir "$work/out"
peak "stub, archive of $mb MiB" "$work/dist.bin" --sfx-extract-dir "$work/out"
peak "carve_archive, archive of $((mb / 10)) MiB" "$carve" carve "$work/dist_small.bin" "$work/out"
peak "carve_archive, archive of $mb MiB" "$carve" carve "$work/dist.bin" "$work/out"
if [[ -n $shm ]]; then
  peak "carve_archive into /dev/shm, archive of $((mb / 10)) MiB" \
    "$carve" carve "$work/dist_small.bin" "$shm"
  peak "carve_archive into /dev/shm, archive of $mb MiB" "$carve" carve "$work/dist.bin" "$shm"
fi
cmp "$work/archive" "$work/out/archive.zip" && echo "archive.zip is byte-identical to the archive"
