#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
# Run as root it installs them with apt-get; otherwise it names the command to run.
# With SFX_CROSS_STUBS=OFF (this machine's stub alone) the cross compilers and the emulator
# are left out.
set -euo pipefail

packages=(cmake make g++ file libgtest-dev zlib1g-dev libminizip-dev zip unzip
          libarchive-tools python3 nlohmann-json3-dev)
# Signing in sfx_pack, and the peer tool its signatures are checked against.
packages+=(libsodium-dev minisign)
# scripts/build-isal.sh: fetch and unpack Debian's source package of the inflate engine, and
# assemble it.
packages+=(dpkg-dev xz-utils nasm debian-archive-keyring)
# The manual pages are checked with man; the time-zone tests read the zone files.
packages+=(man-db tzdata)
if [[ "${SFX_CROSS_STUBS:-ON}" != OFF ]]; then
  # The stubs for the other machines (scripts/fetch-target-libs.sh brings their libraries),
  # and the emulator their tests run under.
  packages+=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-powerpc64le-linux-gnu
             qemu-user-static)
fi
if [[ "${1:-}" == "--all" ]]; then
  # Fuzzing and benchmarks (bench/launch_bench.sh times the stub against bsdtar, unzip and 7z
  # and counts system calls with strace).
  packages+=(clang-14 libclang-rt-14-dev hyperfine time p7zip-full strace)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
