#!/usr/bin/env bash
# Fetches Debian's packages of another architecture into the build tree, for a stub (and its
# unit tests) built for that architecture to link:
#   scripts/fetch-target-libs.sh DEB_ARCH OUT_DIR PACKAGE...
# leaves the files of every PACKAGE unpacked under OUT_DIR/root (for example
# OUT_DIR/root/usr/lib/aarch64-linux-gnu/libz.a and OUT_DIR/root/usr/include/zlib.h). The
# packages of the machine's own Debian suite (VERSION_CODENAME of /etc/os-release) are
# downloaded with apt-get through a private sources list, package index and status whose state
# stays under OUT_DIR, and unpacked with dpkg-deb: nothing is installed. (Installing them
# through multiarch would make apt upgrade the machine's own packages to the same version.)
# A finished fetch is kept: a second run with the same arguments does nothing.
#
# Environment: SFX_DEBIAN_MIRROR (default http://deb.debian.org/debian). Needs apt-get and
# dpkg-deb.
set -euo pipefail
[[ $# -ge 3 ]] || { echo "usage: $0 DEB_ARCH OUT_DIR PACKAGE..." >&2; exit 2; }
arch=$1
out=$(mkdir -p "$2" && cd "$2" && pwd)
shift 2
packages=("$@")
stamp=$out/fetched
# The stamp names the packages and this script's own checksum: a changed list or script
# fetches again.
recipe="$arch ${packages[*]} $(sha256sum "$0" | cut -d' ' -f1)"
if [[ -f $stamp && $(tail -n 1 "$stamp") == "$recipe" ]]; then
  exit 0
fi
mirror=${SFX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
for tool in apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || {
    echo "fetch-target-libs: needs $tool (scripts/install-deps.sh installs it)" >&2
    exit 1
  }
done
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[[ -n $suite ]] || { echo "fetch-target-libs: no VERSION_CODENAME in /etc/os-release" >&2; exit 1; }

log=$out/fetch.log
: >"$log"
fail() {
  tail -n 30 "$log" >&2
  echo "fetch-target-libs: $1 (whole log: $log)" >&2
  exit 1
}

echo "fetch-target-libs: fetching ${packages[*]} for $arch ($suite)"
apt_dir=$out/apt
download=$out/download
rm -rf "$apt_dir" "$download" "$out/root" "$stamp"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$download"
echo "deb [arch=$arch] $mirror $suite main" >"$apt_dir/sources.list"
: >"$apt_dir/status"
# Only this architecture, no package of the machine's own (an empty status), no pinning of
# the machine's: the index and the downloads are checked against the signed release by apt.
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
             -o "Dir::Cache=$apt_dir/cache" -o "APT::Architecture=$arch"
             -o "APT::Architectures::=$arch")
# As root, apt would hand the download to its own user, who cannot write under OUT_DIR.
[[ $(id -u) -ne 0 ]] || apt_options+=(-o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" update >>"$log" 2>&1 || fail "apt-get update failed"
(cd "$download" && apt-get "${apt_options[@]}" download "${packages[@]}") >>"$log" 2>&1 ||
  fail "apt-get download ${packages[*]} failed"
rm -rf "$apt_dir"  # The index of every package is not needed again.

mkdir -p "$out/root"
for deb in "$download"/*.deb; do
  dpkg-deb -x "$deb" "$out/root" >>"$log" 2>&1 || fail "dpkg-deb could not unpack $deb"
done
{
  for deb in "$download"/*.deb; do basename "$deb" .deb; done
  echo "$recipe"
} >"$stamp"
echo "fetch-target-libs: unpacked $(ls "$download" | wc -l) packages into $out/root"
