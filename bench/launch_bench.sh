#!/usr/bin/env bash
# Launch benchmark: the stub against "bsdtar -xf", "unzip -qo" and "7z x" unpacking the same
# archive, for three payload shapes (and, when asked, one of about 1 GB), in interleaved runs
# (stub, stub-run, bsdtar, unzip, 7z, then the same rotated by one, ...), with the page cache
# warm and with the input file dropped from it before each run. For each tool: the median, the
# spread and the peak resident set; then, traced once each, the system calls per unpacked
# entry (strace -c -f).
#
#   stub      FILE --sfx-extract-dir OUT --sfx-extract-only   (extract-only launch)
#   stub-run  FILE                                            (normal run: a temporary work
#             root, archive.zip, the payload command "true", clean-up)
#
# Shapes (SFX_BENCH_SHAPES, default "firmware tree manyfiles"):
#   firmware   the reference firmware-like payload, 51 files, 41.5 MB ZIP (make_payload.py)
#   tree       /usr/include and the Python 3.11 library, about 9,400 files in 940 directories,
#              42.7 MB ZIP (bench/make_tree.py)
#   manyfiles  70,000 one-byte files in one directory (lz_manyfiles.zip of the interop corpus)
#   1gb        the firmware-like payload with a 950 MiB image, 0.89 GB ZIP
#
#   bench/launch_bench.sh            (after a build into build/; see bench/README.md)
#
# Environment: SFX_BUILD_DIR (default build), SFX_BENCH_FRESH_EXT4 (see below),
# SFX_BENCH_SHAPES, SFX_BENCH_RUNS (runs per tool and shape, default 11; 1gb:
# SFX_BENCH_RUNS_1GB, default 5), SFX_BENCH_MODES (default "warm cold"), SFX_BENCH_TOOLS
# (default "stub stub-run bsdtar unzip 7z"), SFX_BENCH_STRACE (default 1; 0 skips the
# system-call counts), SFX_BENCH_STRACE_TOOLS (the tools traced, default all), SFX_BENCH_DIR
# (the scratch directory's parent, default /tmp: the outputs land on its file system),
# SFX_MAKE_PAYLOAD (the reference payload script) and SFX_INTEROP_ZIPS (the interop corpus),
# each found beside the repository otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
# SFX_BENCH_FRESH_EXT4=GIB: everything runs on a new ext4 file system of GIB GiB, mounted on
# /tmp in a private mount namespace (root only), so that the normal run's work root (always
# under /tmp) lies on it too. A file system that has seen many files made and removed makes
# each new inode cost more (the allocator skips recently freed ones), for every tool alike.
if [[ -n ${SFX_BENCH_FRESH_EXT4:-} && -z ${SFX_BENCH_ON_FRESH_EXT4:-} ]]; then
  image=$(mktemp /tmp/sfx_bench_ext4_XXXXXX)
  trap 'rm -f "$image"' EXIT
  truncate -s "${SFX_BENCH_FRESH_EXT4}G" "$image"
  mkfs.ext4 -q -F "$image"
  SFX_BENCH_ON_FRESH_EXT4=1 unshare -m sh -c 'mount -o loop "$1" /tmp && exec bash "$2"' \
    sh "$image" bench/launch_bench.sh
  exit
fi
build=${SFX_BUILD_DIR:-build}
shapes=${SFX_BENCH_SHAPES-firmware tree manyfiles}
runs=${SFX_BENCH_RUNS:-11}
runs_1gb=${SFX_BENCH_RUNS_1GB:-5}
modes=${SFX_BENCH_MODES:-warm cold}
tools=${SFX_BENCH_TOOLS:-stub stub-run bsdtar unzip 7z}
source bench/bench_common.sh
need_tools /usr/bin/time bsdtar unzip 7z python3 dd
[[ ${SFX_BENCH_STRACE:-1} == 0 ]] || need_tools strace
need_built "$build" sfx_stub sfx_pack
build=$(realpath "$build")
repo=$(pwd)

work=$(mktemp -d "${SFX_BENCH_DIR:-/tmp}/sfx_launch_bench_XXXXXX")
trap 'rm -rf "$work"' EXIT
# The archive's DOS dates are read as local time; UTC makes them equal to the sources' times.
export TZ=UTC

# The trailer's fixed tail (version marker and layout version), taken from a file sfx_pack
# made: the distributable files below are concatenated (stub, archive, trailer), so that every
# tool unpacks the very same archive bytes.
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "w").writestr("a", "a")' \
  "$work/tiny.zip"
"$build/sfx_pack" create -o "$work/tiny.bin" -c true "$work/tiny.zip" >/dev/null 2>&1
tail -c 40 "$work/tiny.bin" >"$work/tail"

# Writes the distributable file $2 for the archive $1: the stub, the archive, the command in
# its 256-byte field, the archive's length (32 bits, big-endian) and the tail. The command is
# /bin/true, named from the payload directory (the stub puts that directory in front of it).
distributable() {
  python3 - "$1" "$2" "$build/sfx_stub" "$work/tail" <<'EOF'
import os, shutil, struct, sys
archive, out, stub, tail = sys.argv[1:]
with open(out, "wb") as dist:
    for part in (stub, archive):
        with open(part, "rb") as stream:
            shutil.copyfileobj(stream, dist)
    dist.write(b"../../../../../../../../../../../../bin/true".ljust(256, b"\0"))
    dist.write(struct.pack(">I", os.path.getsize(archive)))
    dist.write(open(tail, "rb").read())
os.chmod(out, 0o755)
EOF
}

# The interop corpus: $SFX_INTEROP_ZIPS, else ../shared/interop-zips beside the repository.
find_interop_zips() {
  local dir=${SFX_INTEROP_ZIPS:-} common_git root
  if [[ -z $dir ]]; then
    common_git=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
    for root in "$repo" ${common_git:+"$(dirname "$common_git")"}; do
      [[ -d $root/../shared/interop-zips ]] && { dir=$(realpath "$root/../shared/interop-zips"); break; }
    done
  fi
  [[ -f $dir/lz_manyfiles.zip ]] || { echo "no interop corpus with lz_manyfiles.zip" >&2; exit 2; }
  echo "$dir"
}

# Makes $work/$1/: payload.zip of the shape and fwpkg.bin from it; checks that every tool
# unpacks the tree that bsdtar unpacks (paths, modes and times of the files, and contents) and
# says where one does not (it is timed all the same).
prepare() {
  local shape=$1 dir=$work/$1
  mkdir -p "$dir"
  case $shape in
    firmware) python3 "$(find_make_payload)" --out "$dir" >/dev/null ;;
    1gb) python3 "$(find_make_payload)" --out "$dir" --fw-mib 950 >/dev/null ;;
    tree) python3 bench/make_tree.py "$dir/payload.zip" >/dev/null ;;
    manyfiles) cp "$(find_interop_zips)/lz_manyfiles.zip" "$dir/payload.zip" ;;
    *) echo "unknown shape $shape (firmware tree manyfiles 1gb)" >&2; exit 2 ;;
  esac
  rm -rf "$dir/payload"
  distributable "$dir/payload.zip" "$dir/fwpkg.bin"
  local out=$dir/out reference=$dir/reference got kept=()
  mkdir "$reference"
  bsdtar -xf "$dir/payload.zip" -C "$reference"
  listing "$reference" >"$dir/expected"
  for tool in $tools; do
    rm -rf "$out" && mkdir "$out"
    got=$out
    case $tool in
      stub) "$dir/fwpkg.bin" --sfx-extract-dir "$out" --sfx-extract-only >/dev/null; got=$out/fwpkg-dir ;;
      stub-run) "$dir/fwpkg.bin" >/dev/null || { echo "   $shape: the normal run failed" >&2; exit 1; } ;;
      bsdtar) bsdtar -xf "$dir/payload.zip" -C "$out" ;;
      unzip) unzip -qo "$dir/payload.zip" -d "$out" >/dev/null 2>&1 || true ;;
      7z) 7z x -y -bso0 -bsp0 -bse0 "-o$out" "$dir/payload.zip" >/dev/null 2>&1 || true ;;
    esac
    kept+=("$tool")
    [[ $tool == stub-run ]] && continue  # Leaves nothing to compare: checked as "stub".
    if ! listing "$got" | cmp -s - "$dir/expected"; then
      echo "   $shape: $tool unpacks another tree than bsdtar:" \
        "$(listing "$got" | diff - "$dir/expected" | grep -c '^[<>]') lines of the listing differ" >&2
    elif ! diff -r "$reference" "$got" >/dev/null 2>&1; then
      echo "   $shape: $tool unpacks other contents than bsdtar" >&2
    fi
  done
  [[ ! -e $out/archive.zip ]] || { echo "   $shape: the stub left archive.zip behind" >&2; exit 1; }
  rm -rf "$out" "$reference"
  echo "${kept[*]}" >"$dir/tools"
  python3 - "$dir/payload.zip" "$shape" <<'EOF'
import os, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
dirs = sum(1 for n in names if n.endswith("/"))
print(f"   {sys.argv[2]}: payload.zip of {os.path.getsize(sys.argv[1])} bytes, "
      f"{len(names) - dirs} files and {dirs} directory entries")
EOF
  echo "   tools: ${kept[*]}"
}

# Interleaved runs; times from the parent's clock around start and wait, peak resident set
# from GNU time (a child forked from python would count python's pages).
measure() {
  python3 - "$@" <<'EOF'
import os, shutil, statistics, subprocess, sys, time
dir, mode, runs, names = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4].split()
out = os.path.join(dir, "out")
archive = os.path.join(dir, "payload.zip")
rss_file = os.path.join(dir, "rss")
dist = os.path.join(dir, "fwpkg.bin")
commands = {
    "stub": ([dist, "--sfx-extract-dir", out, "--sfx-extract-only"], dist),
    "stub-run": ([dist], dist),
    "bsdtar": (["bsdtar", "-xf", archive, "-C", out], archive),
    "unzip": (["unzip", "-qo", archive, "-d", out], archive),
    "7z": (["7z", "x", "-y", "-bso0", "-bsp0", "-bse0", "-o" + out, archive], archive),
}
ok_status = {"unzip": (0, 1)}  # unzip warns (1) about an entry count that wrapped.
times = {name: [] for name in names}
rss = {name: [] for name in names}
null = open(os.devnull, "w")
for run in range(runs):
    for name in names[run % len(names):] + names[:run % len(names)]:
        argv, source = commands[name]
        shutil.rmtree(out, ignore_errors=True)
        os.mkdir(out)
        os.sync()  # No write-back of an earlier run lands on this one.
        if mode == "cold":
            # Drops only this file's pages (the stub's file or the archive), not the whole cache.
            subprocess.run(["dd", "if=" + source, "iflag=nocache", "count=0", "status=none"],
                           check=True)
        start = time.perf_counter()
        status = subprocess.call(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv,
                                 stdout=null, stderr=null)
        elapsed = time.perf_counter() - start
        if status not in ok_status.get(name, (0,)):
            sys.exit(f"{name} failed with status {status}")
        times[name].append(elapsed * 1000)
        rss[name].append(int(open(rss_file).read().split()[-1]))
shutil.rmtree(out, ignore_errors=True)
def quartiles(t):
    q = statistics.quantiles(t, n=4) if len(t) > 1 else [t[0]] * 3
    return q[0], q[2]
base = statistics.median(times["bsdtar"]) if "bsdtar" in times else None
print(f"   {'':9}{'median ms':>10}{'min-max ms':>19}{'IQR ms':>17}{'vs bsdtar':>10}{'peak RSS KiB':>14}")
for name in names:
    t = times[name]
    lo, hi = quartiles(t)
    ratio = f"{statistics.median(t) / base:10.2f}" if base else f"{'':10}"
    print(f"   {name:9}{statistics.median(t):10.1f}{min(t):10.1f}-{max(t):<8.1f}"
          f"{lo:9.1f}-{hi:<7.1f}{ratio}{max(rss[name]):14d}")
EOF
}

# System calls per entry of the archive, each tool traced once (page cache warm).
count_calls() {
  local dir=$1 out=$1/out entries calls tool
  entries=$(python3 -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).namelist()))' \
    "$dir/payload.zip")
  printf '   %-9s%12s%12s\n' "" "calls" "per entry"
  for tool in ${SFX_BENCH_STRACE_TOOLS:-$(cat "$dir/tools")}; do
    rm -rf "$out" && mkdir "$out" && sync
    local argv=()
    case $tool in
      stub) argv=("$dir/fwpkg.bin" --sfx-extract-dir "$out" --sfx-extract-only) ;;
      stub-run) argv=("$dir/fwpkg.bin") ;;
      bsdtar) argv=(bsdtar -xf "$dir/payload.zip" -C "$out") ;;
      unzip) argv=(unzip -qo "$dir/payload.zip" -d "$out") ;;
      7z) argv=(7z x -y -bso0 -bsp0 -bse0 "-o$out" "$dir/payload.zip") ;;
    esac
    strace -f -c -o "$dir/strace" "${argv[@]}" >/dev/null 2>&1 || true
    calls=$(awk '$NF == "total" { print ($4 ~ /^[0-9]+$/) ? $4 : $3 }' "$dir/strace")
    printf '   %-9s%12s%12.1f\n' "$tool" "$calls" "$(echo "$calls / $entries" | bc -l)"
  done
  rm -rf "$out"
}

echo "== stub $(stat -L -c %s "$build/sfx_stub") bytes: $(file -L -b "$build/sfx_stub" | cut -d, -f1-4)"
echo "== $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"
for shape in $shapes; do
  echo
  echo "== $shape"
  prepare "$shape"
  shape_runs=$runs
  [[ $shape == 1gb ]] && shape_runs=$runs_1gb
  for mode in $modes; do
    echo "-- $shape, page cache $mode, $shape_runs interleaved runs each (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    measure "$work/$shape" "$mode" "$shape_runs" "$(cat "$work/$shape/tools")"
  done
  if [[ ${SFX_BENCH_STRACE:-1} != 0 ]]; then
    echo "-- $shape, system calls (strace -c -f), page cache warm"
    count_calls "$work/$shape"
  fi
  rm -rf "${work:?}/$shape"
done
echo
echo "== load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
