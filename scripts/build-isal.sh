#!/usr/bin/env bash
# Builds the inflate engine and its CRC-32 (the igzip and crc units of the ISA-L library) into
# a static library from Debian's source package, for the stub to link:
#   scripts/build-isal.sh OUT_DIR [MACHINE]
# leaves OUT_DIR/lib/libisal.a and OUT_DIR/include/{igzip_lib.h,crc.h,types.h}. MACHINE is the
# architecture to build for, as uname -m names it (default x86_64; CC must then be a compiler
# for it): x86_64 builds the package's assembler code with nasm, aarch64 its own assembler code
# with CC, and every other machine the portable C code alone. Debian ships
# the library only as a shared object, so the source package of the machine's own Debian suite
# (VERSION_CODENAME of /etc/os-release) is fetched with apt-get through a private sources list
# whose state stays under OUT_DIR; the machine's apt configuration is not touched. A finished
# build is kept: a second run with the same OUT_DIR does nothing.
#
# Environment: CC (the C compiler, default cc), AR (default ar), SFX_ISAL_MIRROR (default
# http://deb.debian.org/debian), SFX_ISAL_SOURCE (a directory that already holds the source
# package, fetched by an earlier run: OUT_DIR/download of it; nothing is fetched then). Needs
# apt-get, dpkg-source (dpkg-dev), xz-utils, make, and nasm for x86_64.
set -euo pipefail
[[ $# -eq 1 || $# -eq 2 ]] || { echo "usage: $0 OUT_DIR [MACHINE]" >&2; exit 2; }
out=$(mkdir -p "$1" && cd "$1" && pwd)
machine=${2:-x86_64}
stamp=$out/built
# The stamp names the source package, the machine, the compiler and this script's own
# checksum: a changed script builds again (from the kept download).
recipe="$machine ${CC:-cc} $(sha256sum "$0" | cut -d' ' -f1)"
if [[ -f $stamp && -f $out/lib/libisal.a && $(tail -n 1 "$stamp") == "$recipe" ]]; then
  exit 0
fi
cc=${CC:-cc}
mirror=${SFX_ISAL_MIRROR:-http://deb.debian.org/debian}
tools=(apt-get dpkg-source make "$cc")
[[ $machine != x86_64 ]] || tools+=(nasm)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || {
    echo "build-isal: needs $tool (scripts/install-deps.sh installs it)" >&2
    exit 1
  }
done
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[[ -n $suite ]] || { echo "build-isal: no VERSION_CODENAME in /etc/os-release" >&2; exit 1; }

log=$out/build.log
: >"$log"
fail() {
  tail -n 30 "$log" >&2
  echo "build-isal: $1 (whole log: $log)" >&2
  exit 1
}

# The source package, fetched once; its files are checked against the signed index by apt.
apt_dir=$out/apt
download=${SFX_ISAL_SOURCE:-$out/download}
if [[ -n ${SFX_ISAL_SOURCE:-} ]] && ! compgen -G "$download/libisal_*.dsc" >/dev/null; then
  echo "build-isal: no source package in SFX_ISAL_SOURCE=$download" >&2
  exit 1
fi
if ! compgen -G "$download/libisal_*.dsc" >/dev/null; then
  echo "build-isal: fetching Debian's libisal source package ($suite)"
  rm -rf "$apt_dir" "$download"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$download"
  echo "deb-src $mirror $suite main" >"$apt_dir/sources.list"
  apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
  # As root, apt would hand the download to its own user, who cannot write under OUT_DIR.
  [[ $(id -u) -ne 0 ]] || apt_options+=(-o APT::Sandbox::User=root)
  apt-get "${apt_options[@]}" update >>"$log" 2>&1 || fail "apt-get update failed"
  (cd "$download" && apt-get "${apt_options[@]}" source --download-only libisal) >>"$log" 2>&1 ||
    { rm -f "$download"/*.dsc; fail "apt-get source libisal failed"; }
  rm -rf "$apt_dir"  # The index of every source package is not needed again.
fi

src=$out/src
rm -rf "$src" "$out/obj" "$out/lib" "$out/include" "$stamp"
dsc=$(compgen -G "$download/libisal_*.dsc" | head -n 1)
dpkg-source -x "$dsc" "$src" >>"$log" 2>&1 || fail "dpkg-source could not unpack $dsc"
rm -f "$out"/libisal_*.orig.tar.*  # dpkg-source links the upstream tarball beside the tree.

# The source files of the igzip (inflate, with the deflate code it shares) and crc units, as
# the package's own makefiles list them for the machine (the portable C code alone where it
# has no code of its own); on x86-64 the 64-bit CRCs are left out.
case $machine in
  x86_64) machine_sources='$(lsrc_x86_64)' ;;
  aarch64) machine_sources='$(lsrc_aarch64)' ;;
  ppc64le) machine_sources='$(lsrc_ppc64le)' ;;
  *) machine_sources='$(lsrc_base_aliases)' ;;
esac
sources=$(cd "$src" && printf 'include igzip/Makefile.am\ninclude crc/Makefile.am\nall:\n\t@echo $(lsrc) %s\n' "$machine_sources" |
          make -s -f -) || fail "cannot list the sources"
level=0
defines=()
if [[ $machine == x86_64 ]]; then
  # The assembler's instruction set decides which code paths are built, as the package's
  # build finds out: AVX-512 with VBMI2 (level 10), AVX-512 (6) or SSE4.1 (4).
  probe=$out/probe.asm
  for try in "4:pblendvb xmm2, xmm1;" "6:vinserti32x8 zmm0, ymm1, 1;" "10:vpcompressb zmm0 {k1}, zmm1;"; do
    printf '%s\n' "${try#*:}" >"$probe"
    nasm -f elf64 "$probe" -o /dev/null 2>/dev/null && level=${try%%:*}
  done
  rm -f "$probe"
  defines=(-DAS_FEATURE_LEVEL="$level")
  [[ $level -ge 6 ]] && defines+=(-DHAVE_AS_KNOWS_AVX512)
fi

mkdir -p "$out/obj" "$out/lib" "$out/include"
objects=()
for file in $sources; do
  # The aarch64 dispatchers name every CRC, the 64-bit ones too.
  [[ $machine != x86_64 || $file != crc/crc64* ]] || continue
  object=$out/obj/${file//\//_}.o  # aarch64/encode_df.S and encode_df.c both exist.
  case $file in
    *.c) "$cc" -O2 -fPIC -ffunction-sections -fdata-sections -w "${defines[@]}" \
           -I"$src/include" -I"$src/igzip" -I"$src/crc" -c "$src/$file" -o "$object" ;;
    *.S) "$cc" -D__ASSEMBLY__ -I"$src/include" -I"$src/igzip" -I"$src/crc" \
           -c "$src/$file" -o "$object" ;;
    *.asm) nasm -f elf64 "${defines[@]}" -I"$src/include/" -I"$src/igzip/" -I"$src/crc/" \
             "$src/$file" -o "$object" ;;
    *) continue ;;
  esac >>"$log" 2>&1 || fail "cannot compile $file"
  objects+=("$object")
done
"${AR:-ar}" rcs "$out/lib/libisal.a" "${objects[@]}" >>"$log" 2>&1 || fail "ar failed"
cp "$src/include/igzip_lib.h" "$src/include/crc.h" "$src/include/types.h" "$out/include/"
rm -rf "$out/obj" "$src"
printf '%s\n%s\n' "$(basename "$dsc" .dsc)" "$recipe" >"$stamp"
case $machine in
  x86_64) detail="instruction level $level" ;;
  aarch64) detail="with its aarch64 code" ;;
  *) detail="portable C code" ;;
esac
echo "build-isal: built $out/lib/libisal.a for $machine from $(head -n 1 "$stamp") ($detail)"
