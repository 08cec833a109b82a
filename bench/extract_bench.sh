#!/usr/bin/env bash
# Extraction benchmark: the stub's whole extract-only launch (carve archive.zip out of the
# distributable, unpack it, remove archive.zip) against "bsdtar -xf" and "unzip -qo" unpacking
# the same reference archive, timed in the same run, with the ratios and the peak memory of
# each; then the stub's peak memory on smaller and larger payloads of the same shape.
#
#   bench/extract_bench.sh            (after a build into build/; see bench/README.md)
#
# Environment: SFX_BUILD_DIR (default build), SFX_BENCH_RUNS (timed runs per command, default
# 30), SFX_BENCH_SCALES (payload scales for the memory check, default "0.25 2"; empty skips
# it), SFX_MAKE_PAYLOAD (the reference payload script; found beside the repository otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SFX_BUILD_DIR:-build}
runs=${SFX_BENCH_RUNS:-30}
scales=${SFX_BENCH_SCALES-0.25 2}
source bench/bench_common.sh
need_tools hyperfine /usr/bin/time bsdtar unzip python3
need_built "$build" sfx_stub
stub=$(realpath "$build/sfx_stub")
make_payload=$(find_make_payload)

work=$(mktemp -d /tmp/sfx_bench_XXXXXX)
trap 'rm -rf "$work"' EXIT
# The archive's DOS dates are read as local time; UTC makes them equal to the reference files'.
export TZ=UTC

# Writes the distributable file $3 by concatenation: the stub, the archive $2 and the trailer
# (the 256-byte command "trevalo", the archive's length big-endian, the version marker and
# the layout version "2.0").
make_distributable() {
  python3 - "$1" "$2" "$3" <<'EOF'
import os, struct, sys
stub, archive, out = sys.argv[1:4]
length = os.path.getsize(archive)
trailer = (b"trevalo".ljust(256, b"\0") + struct.pack(">I", length)
           + b"QVRT_VERSION_PATT:".ljust(32, b"\0") + b"2.0".ljust(8, b"\0"))
with open(out, "wb") as dst:
    for part in (stub, archive):
        with open(part, "rb") as src:
            while chunk := src.read(1 << 20):
                dst.write(chunk)
    dst.write(trailer)
os.chmod(out, 0o755)
EOF
}

# Peak resident set of one run of the command in "$@", in KiB.
peak_kib() { /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null && cat "$work/rss"; }

echo "== making the reference payload with $make_payload"
python3 "$make_payload" --out "$work/data" | sed 's/^/   /'
archive=$work/data/payload.zip
dist=$work/fwpkg.bin
make_distributable "$stub" "$archive" "$dist"
# The same archive with its end record's signature broken: the stub carves it, fails to open
# it and cleans up, which shows what carving and clean-up alone cost.
python3 - "$archive" "$work/broken.zip" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[data.rfind(b"PK\5\6")] = ord("X")
open(sys.argv[2], "wb").write(data)
EOF
make_distributable "$stub" "$work/broken.zip" "$work/carve.bin"
out=$work/out
payload_dir=$out/fwpkg-dir

echo
echo "== checking that every tool unpacks the same files (paths, modes, times, contents)"
listing "$work/data/payload" >"$work/expected"
for tool in stub bsdtar unzip; do
  rm -rf "$out" && mkdir "$out"
  case $tool in
    stub) "$dist" --sfx-extract-dir "$out" --sfx-extract-only >/dev/null; got=$payload_dir ;;
    bsdtar) bsdtar -xf "$archive" -C "$out"; got=$out ;;
    unzip) unzip -qo "$archive" -d "$out"; got=$out ;;
  esac
  if listing "$got" | cmp -s - "$work/expected" && diff -r "$work/data/payload" "$got" >/dev/null; then
    echo "   $tool: same"
  else
    echo "   $tool: DIFFERS" >&2
    exit 1
  fi
done
[[ ! -e $out/archive.zip ]] || { echo "   the stub left archive.zip behind" >&2; exit 1; }

echo
echo "== timing $runs runs each (page cache warm; the output directory is fresh for every run)"
hyperfine --warmup 3 --runs "$runs" --export-json "$work/times.json" \
  --prepare "rm -rf '$out' && mkdir '$out' && sync" \
  -n stub "'$dist' --sfx-extract-dir '$out' --sfx-extract-only" \
  -n "stub, carve and clean-up only" \
  "'$work/carve.bin' --sfx-extract-dir '$out' --sfx-extract-only 2>/dev/null || true" \
  -n bsdtar "bsdtar -xf '$archive' -C '$out'" \
  -n unzip "unzip -qo '$archive' -d '$out'"

echo
echo "== peak memory (one run each)"
for tool in stub bsdtar unzip; do
  rm -rf "$out" && mkdir "$out"
  case $tool in
    stub) kib=$(peak_kib "$dist" --sfx-extract-dir "$out" --sfx-extract-only) ;;
    bsdtar) kib=$(peak_kib bsdtar -xf "$archive" -C "$out") ;;
    unzip) kib=$(peak_kib unzip -qo "$archive" -d "$out") ;;
  esac
  echo "$tool $kib" >>"$work/rss_all"
done

python3 - "$work/times.json" "$work/rss_all" <<'EOF'
import json, statistics, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
rss = dict(line.split() for line in open(sys.argv[2]))
print(f"   {'':8}{'median ms':>10}{'mean ms':>10}{'sd':>7}{'min ms':>9}{'peak RSS KiB':>14}")
labels = {"stub": "stub", "bsdtar": "bsdtar", "unzip": "unzip",
          "stub, carve and clean-up only": "carving"}
for name, label in labels.items():
    t = [x * 1000 for x in results[name]["times"]]
    print(f"   {label:8}{statistics.median(t):10.1f}{statistics.mean(t):10.1f}"
          f"{statistics.stdev(t):7.1f}{min(t):9.1f}{rss.get(name, '-'):>14}")
def ratio(a, b, pick):
    return pick([x for x in results[a]["times"]]) / pick([x for x in results[b]["times"]])
print()
for name in ("stub", "unzip"):
    print(f"   {name} / bsdtar: {ratio(name, 'bsdtar', statistics.median):.2f}x by median, "
          f"{ratio(name, 'bsdtar', min):.2f}x by the fastest run")
unpack = (statistics.median(results["stub"]["times"])
          - statistics.median(results["stub, carve and clean-up only"]["times"]))
print(f"   stub without carving and clean-up: {unpack * 1000:.1f} ms by median, "
      f"{unpack / statistics.median(results['bsdtar']['times']):.2f}x bsdtar")
print("   aim: the stub's whole launch within 1.3x of bsdtar's unpack alone")
EOF

if [[ -n $scales ]]; then
  echo
  echo "== the stub's peak memory by payload size (it must not grow with the entries)"
  for scale in $scales; do
    python3 "$make_payload" --out "$work/scaled" --scale "$scale" >/dev/null
    make_distributable "$stub" "$work/scaled/payload.zip" "$work/scaled.bin"
    rm -rf "$out" && mkdir "$out"
    kib=$(peak_kib "$work/scaled.bin" --sfx-extract-dir "$out" --sfx-extract-only)
    mb=$(python3 -c "import os; print(f'{os.path.getsize(\"$work/scaled/payload.zip\") / 1e6:.1f}')")
    echo "   scale $scale: archive $mb MB, peak RSS $kib KiB"
    rm -rf "$work/scaled" "$work/scaled.bin"
  done
  echo "   scale 1: archive $(python3 -c "import os; print(f'{os.path.getsize(\"$archive\") / 1e6:.1f}')") MB, peak RSS $(awk '$1 == "stub" {print $2}' "$work/rss_all") KiB"
fi
