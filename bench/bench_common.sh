# Sourced by the benchmark scripts (after `cd` to the repository's top).

# Ends the script unless every tool named is on PATH.
need_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "needs $tool (scripts/install-deps.sh --all)" >&2; exit 2; }
  done
}

# Ends the script unless every program named is built in the build directory $1.
need_built() {
  local build=$1 program
  shift
  for program in "$@"; do
    [[ -x $build/$program ]] || { echo "build $build/$program first (cmake --build $build)" >&2; exit 2; }
  done
}

# Prints the path of the reference payload script: $SFX_MAKE_PAYLOAD, else
# ../shared/bench/make_payload.py beside the repository (a worktree finds it beside the main
# checkout that holds the shared .git directory). Ends the script when there is none.
find_make_payload() {
  local make_payload=${SFX_MAKE_PAYLOAD:-} repo common_git root
  repo=$(pwd)
  if [[ -z $make_payload ]]; then
    common_git=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
    for root in "$repo" ${common_git:+"$(dirname "$common_git")"}; do
      if [[ -f $root/../shared/bench/make_payload.py ]]; then
        make_payload=$(realpath "$root/../shared/bench/make_payload.py")
        break
      fi
    done
  fi
  [[ -f $make_payload ]] || { echo "no ../shared/bench/make_payload.py beside $repo" >&2; exit 2; }
  echo "$make_payload"
}

# Path, mode and modification time of every file below $1, one per line, sorted.
listing() { (cd "$1" && find . -type f -printf '%P %m %T@\n' | sort); }
