#!/usr/bin/env bash
# The installation and the Debian package of a build, used as a user would:
#   tests/package_test.sh BUILD_DIR SOURCE_DIR MACHINE[=EMULATOR]...
# MACHINE are the machines whose stubs the build made (this machine's first); a stub with an
# EMULATOR runs under it. `cmake --install` into a scratch prefix and the package installed with
# dpkg into a scratch root (never into this machine's own /) must both lay out sfx_pack in
# bin/, the stubs in lib/sfx/, the manual pages in share/man/man1 and the README in
# share/doc/sfx/; the installed sfx_pack must pack the demo payload behind each machine's stub
# and the file must run; the manual pages must show with man -l; removing the package must
# leave nothing.
set -euo pipefail
[[ $# -ge 3 ]] || { echo "usage: $0 BUILD_DIR SOURCE_DIR MACHINE[=EMULATOR]..." >&2; exit 2; }
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
shift 2
machines=()
declare -A emulators=()
for machine_arg in "$@"; do
  machines+=("${machine_arg%%=*}")
  [[ $machine_arg != *=* ]] || emulators[${machine_arg%%=*}]=${machine_arg#*=}
done
scratch=$(mktemp -d /tmp/sfx_package_test_XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
check_equal() {  # WHAT EXPECTED ACTUAL
  [[ $2 == "$3" ]] || fail "$1: expected
$2
got
$3"
}

# What an installation holds below its prefix, "mode path" per line, sorted.
expected_layout() {
  {
    echo "drwxr-xr-x bin/"
    echo "-rwxr-xr-x bin/sfx_pack"
    echo "drwxr-xr-x lib/"
    echo "drwxr-xr-x lib/sfx/"
    for machine in "${machines[@]}"; do echo "-rwxr-xr-x lib/sfx/sfx_stub-$machine"; done
    echo "drwxr-xr-x share/"
    echo "drwxr-xr-x share/doc/"
    echo "drwxr-xr-x share/doc/sfx/"
    echo "-rw-r--r-- share/doc/sfx/README.md"
    echo "drwxr-xr-x share/man/"
    echo "drwxr-xr-x share/man/man1/"
    echo "-rw-r--r-- share/man/man1/sfx_pack.1.gz"
    echo "-rw-r--r-- share/man/man1/sfx_stub.1.gz"
  } | sort
}
layout_of() {  # PREFIX
  (cd "$1" && find . -mindepth 1 -printf '%M %P%y\n' | sed 's/d$/\//; s/[fl]$//' | sort)
}

# Packs the demo payload with the installed sfx_pack for every machine and runs the file.
use_installation() {  # PREFIX WHAT
  local prefix=$1 what=$2 machine out run
  "$prefix/bin/sfx_pack" --version >/dev/null || fail "$what: sfx_pack --version"
  for machine in "${machines[@]}"; do
    out=$scratch/demo-$machine.run
    rm -f "$out"
    if ! "$prefix/bin/sfx_pack" create -q --arch "$machine" -o "$out" -c 'hello.sh %quoted-argv%' \
        "$source_dir/demo/payload"; then
      fail "$what: sfx_pack create --arch $machine"
      continue
    fi
    cmp -s -n "$(stat -c %s "$prefix/lib/sfx/sfx_stub-$machine")" "$out" \
      "$prefix/lib/sfx/sfx_stub-$machine" || fail "$what: $machine: not the installed stub"
    "$prefix/bin/sfx_pack" inspect "$out" | grep -qx "stub machine:       $machine" ||
      fail "$what: inspect shows no machine $machine"
    run=("$out")
    if [[ $machine != "${machines[0]}" ]]; then
      [[ -n ${emulators[$machine]:-} ]] || continue
      run=("${emulators[$machine]}" "$out")
    fi
    "${run[@]}" first 'second one' >"$scratch/ran" 2>&1 || fail "$what: $machine: the file failed"
    grep -qx 'arguments (2): \[first\] \[second one\]' "$scratch/ran" ||
      fail "$what: $machine: the payload did not run: $(cat "$scratch/ran")"
  done
  # A machine without a stub names the ones there are.
  local there
  there=$(printf '%s\n' "${machines[@]}" | sort | paste -sd, | sed 's/,/, /g')
  if "$prefix/bin/sfx_pack" create --arch riscv64 -o "$scratch/none.run" -c hello.sh \
      "$source_dir/demo/payload" 2>"$scratch/err"; then
    fail "$what: packed for riscv64"
  fi
  check_equal "$what: missing stub" \
    "sfx_pack: error: no stub for riscv64: neither '$prefix/bin/sfx_stub-riscv64' nor '$prefix/bin/../lib/sfx/sfx_stub-riscv64' exists; there are stubs for $there" \
    "$(cat "$scratch/err")"
  local page
  for page in sfx_pack sfx_stub; do
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/$page.1.gz" \
      >"$scratch/page" 2>"$scratch/page.err" || fail "$what: man -l $page"
    [[ ! -s $scratch/page.err ]] || fail "$what: man -l $page warns: $(cat "$scratch/page.err")"
    grep -q "^       $page - " "$scratch/page" || fail "$what: man -l $page shows no NAME line"
  done
}

# cmake --install into a scratch prefix.
cmake --install "$build" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log"; fail "cmake --install"; }
check_equal "cmake --install layout" "$(expected_layout)" "$(layout_of "$scratch/prefix")"
use_installation "$scratch/prefix" "cmake --install"

# The Debian package.
cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack"; exit 1; }
deb=$(compgen -G "$scratch/package/sfx_*.deb" | head -n 1)
[[ -n $deb ]] || { fail "cpack made no .deb"; exit 1; }
listed=$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' | sort)
expected=$(expected_layout | awk '{ print $1, "root/root", "./usr/" $2 }' |
           { echo "drwxr-xr-x root/root ./usr/"; cat; } | sort)
check_equal "dpkg-deb -c" "$expected" "$listed"
check_equal "package name" sfx "$(dpkg-deb -f "$deb" Package)"
check_equal "package architecture" "$(dpkg --print-architecture)" \
  "$(dpkg-deb -f "$deb" Architecture)"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libsodium23; do  # sfx_pack's; zlib and minizip are linked statically.
  [[ $depends == *"$library "* || $depends == *"$library," || $depends == *"$library" ]] ||
    fail "the package does not depend on $library: $depends"
done

# Installed with dpkg into a scratch root, as on a machine of its own.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/status"
# The machine's own dpkg configuration may leave out manual pages and documents.
dpkg_options=(--root="$root" --log=/dev/null --force-depends
              --path-include='/usr/share/man/man1/sfx_*' --path-include='/usr/share/doc/sfx/*')
dpkg "${dpkg_options[@]}" -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log"; fail "dpkg -i"; exit 1; }
check_equal "dpkg -i layout" "$(expected_layout)" "$(layout_of "$root/usr")"
use_installation "$root/usr" "dpkg -i"
dpkg "${dpkg_options[@]}" -r sfx >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log"; fail "dpkg -r"; }
check_equal "left after dpkg -r" "" "$(find "$root/usr" -mindepth 1 2>/dev/null)"

if [[ $failures -ne 0 ]]; then
  echo "$failures checks failed" >&2
  exit 1
fi
echo "package: $(basename "$deb") lays out $(dpkg-deb -c "$deb" | wc -l) paths, installs, runs" \
  "and leaves nothing behind"
