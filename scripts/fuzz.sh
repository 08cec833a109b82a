#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) into
# ${SFX_FUZZ_BUILD_DIR:-build-fuzz}, replays every kept regression input, then fuzzes each
# target for a bounded time starting from its seed corpus.
#   scripts/fuzz.sh [seconds-per-target]     (default 20)
# New inputs found while fuzzing go to a scratch corpus, never into the repository; a crashing
# input is kept under the scratch directory that the failure message names.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
build_dir=${SFX_FUZZ_BUILD_DIR:-build-fuzz}
targets=(trailer expand extract entry_data signature_block)

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DSFX_FUZZ=ON -DSFX_SANITIZE=ON -DSFX_WERROR="${SFX_WERROR:-OFF}" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target sfx_fuzzers

scratch=$(mktemp -d /tmp/sfx_fuzz_run_XXXXXX)
# The targets write each input to a file: keep those files in memory when /dev/shm is there.
work=$(mktemp -d /dev/shm/sfx_fuzz_work_XXXXXX 2>/dev/null || mktemp -d "$scratch/work_XXXXXX")
trap 'rm -rf "$work"' EXIT
export SFX_FUZZ_SCRATCH=$work SFX_FUZZ_DISK_SCRATCH=$scratch
status=0
for target in "${targets[@]}"; do
  fuzzer="$build_dir/${target}_fuzzer"
  regressions=(fuzz/regressions/"$target"/*)
  if [[ -e "${regressions[0]}" ]]; then
    echo "=== $target: ${#regressions[@]} regression inputs ==="
    if ! "$fuzzer" -timeout=10 "${regressions[@]}" >"$scratch/$target.replay.log" 2>&1; then
      tail -n 40 "$scratch/$target.replay.log"
      echo "FAILED: $target regression inputs (log: $scratch/$target.replay.log)"
      status=1
      continue
    fi
  fi

  echo "=== $target: fuzzing for ${seconds}s ==="
  mkdir -p "$scratch/$target.corpus" "$scratch/$target.artifacts"
  if "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$scratch/$target.artifacts/" -print_final_stats=1 \
      "$scratch/$target.corpus" "fuzz/corpus/$target" >"$scratch/$target.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$scratch/$target.log" || true
  else
    tail -n 60 "$scratch/$target.log"
    echo "FAILED: $target (log and crashing input in $scratch)"
    status=1
  fi
done

if [[ $status -eq 0 ]]; then
  rm -rf "$scratch"
  echo "fuzzing: no findings"
fi
exit $status
