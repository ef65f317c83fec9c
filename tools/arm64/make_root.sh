#!/usr/bin/env bash
# Makes the arm64 Debian root that the emulated Python tests run in, once:
# tools/arm64/make_root.sh   (root; needs debootstrap and qemu-user-static)
#
# Debian 13 (trixie) for arm64 with python3.13, pytest and numpy from Debian's own arm64
# packages, in .arm64/trixie (git-ignored). Only debootstrap's first stage runs: it
# downloads the packages and unpacks the essential ones, which needs no emulation; the other
# packages are unpacked the same way, and the only maintainer step the interpreter needs, the
# dynamic linker's cache, is made by running the root's ldconfig under qemu; the few other
# things package scripts would do that the tests need are done by hand below. No package
# script runs, so the root has no working dpkg or apt, and needs none: it is made anew when
# the recipe below changes. One to two minutes, mostly downloading.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
. tools/arm64/common.sh
packages="python3.13 python3-pytest python3-numpy"
recipe="2: $packages"   # the stamp: a root made by another recipe is made anew
stamp="$arm64_root/.quarvex-recipe"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
  echo "arm64 root ready: $arm64_root"; exit 0
fi
need_qemu
mirror=$(debian_mirror)
rm -rf "$arm64_root" "$arm64_root.new"
mkdir -p "$arm64_cache"
new="$arm64_root.new"
echo "== arm64 root: debootstrap's first stage from $mirror"
debootstrap --foreign --arch=arm64 --variant=minbase --include="${packages// /,}" \
  trixie "$new" "$mirror" >"$arm64_cache/debootstrap.log" 2>&1 ||
  { tail -n 20 "$arm64_cache/debootstrap.log" >&2; exit 1; }
# Unpack every downloaded package (the essential ones again, which changes nothing). Paths
# under /lib and /bin go through the root's merged-/usr links, not over them.
for deb in "$new"/var/cache/apt/archives/*.deb; do
  dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$new"
done
rm -f "$new"/var/cache/apt/archives/*.deb
# What package scripts would have set up and the tests need: the alternatives of libblas3
# and liblapack3 (for numpy), base-passwd's user and group files.
for lib in blas lapack; do
  ln -sf "$lib/lib$lib.so.3" "$new/usr/lib/aarch64-linux-gnu/lib$lib.so.3"
done
cp "$new/usr/share/base-passwd/passwd.master" "$new/etc/passwd"
cp "$new/usr/share/base-passwd/group.master" "$new/etc/group"
# debootstrap leaves /proc as a link to the host's; the runs mount their own there.
if [ -L "$new/proc" ]; then rm "$new/proc" && mkdir "$new/proc"; fi
chroot "$new" /sbin/ldconfig
# The first imports also write the bytecode caches, which later runs then find.
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin chroot "$new" /usr/bin/python3.13 -c 'import numpy, pytest, sys
print("arm64 root: Python", sys.version.split()[0], "numpy", numpy.__version__, "pytest", pytest.__version__)'
echo "$recipe" >"$new/.quarvex-recipe"
mv "$new" "$arm64_root"
