#!/usr/bin/env bash
# Prints the include directory of CPython X.Y's headers for aarch64 Linux, fetched once:
# tools/arm64/python_headers.sh 3.13
#
# The headers, pyconfig.h among them, come from Debian's arm64 libpython3.X-dev package
# (trixie has 3.13, testing has 3.13 to 3.15), downloaded by apt-get with a private
# configuration and state under .arm64/apt, so the host's own apt setup and architectures
# stay as they are, and unpacked under .arm64/python/X.Y.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
. tools/arm64/common.sh
v=$1
dest="$arm64_cache/python/$v"
if [ ! -f "$dest/usr/include/python$v/Python.h" ]; then
  apt_dir="$arm64_cache/apt"
  mirror=$(debian_mirror)
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
  printf 'deb [arch=arm64] %s %s main\n' "$mirror" trixie "$mirror" testing >"$apt_dir/sources.list"
  apt_opts=(-q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State="$apt_dir" -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status=/dev/null
    -o Dir::Cache="$apt_dir" -o Dir::Cache::Archives="$apt_dir/archives"
    -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root)
  if [ -z "$(ls "$apt_dir/lists" | grep _Packages)" ] ||
     ! apt-cache "${apt_opts[@]}" show "libpython$v-dev" >/dev/null 2>&1; then
    apt-get "${apt_opts[@]}" update >/dev/null
  fi
  (cd "$apt_dir/archives" && rm -f libpython"$v"-dev_*.deb &&
   apt-get "${apt_opts[@]}" download "libpython$v-dev:arm64" >/dev/null)
  rm -rf "$dest.new" && mkdir -p "$dest.new"
  dpkg-deb -x "$apt_dir"/archives/libpython"$v"-dev_*_arm64.deb "$dest.new"
  rm -f "$apt_dir"/archives/libpython"$v"-dev_*.deb
  # Debian's generic pyconfig.h only picks the multiarch one; the aarch64 one takes its place,
  # so that the printed directory alone is the include path.
  mv "$dest.new/usr/include/aarch64-linux-gnu/python$v/pyconfig.h" "$dest.new/usr/include/python$v/pyconfig.h"
  rm -rf "$dest" && mv "$dest.new" "$dest"
fi
echo "$dest/usr/include/python$v"
