# Sourced by the tools/arm64 scripts: where the arm64 Debian root lives, which Debian mirror
# to use, and how to run aarch64 programs on an x86-64 host.
arm64_cache="$root/.arm64"                   # git-ignored; made on first use
arm64_root="$arm64_cache/trixie"

# The Debian mirror of the host's apt configuration (or QUARVEX_DEBIAN_MIRROR), found as the
# testing root's script finds it.
debian_mirror() { "$root/tools/forky_root.sh" mirror; }

# need_qemu registers qemu-aarch64-static with the kernel's binfmt_misc (mounting it if
# needed), with the F flag: the kernel opens the emulator once, so aarch64 programs run by
# name, inside a chroot too, and so do the subprocesses they start. Needs root and Debian's
# qemu-user-static.
need_qemu() {
  command -v qemu-aarch64-static >/dev/null ||
    { echo "qemu-aarch64-static missing: apt-get install qemu-user-static" >&2; return 1; }
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    local conf=/usr/lib/binfmt.d/qemu-aarch64.conf
    [ -f "$conf" ] || { echo "$conf missing (qemu-user-static)" >&2; return 1; }
    # Debian's line carries the F flag (with O and P): the emulator is opened at registration.
    cat "$conf" >/proc/sys/fs/binfmt_misc/register
  fi
  grep -q '^flags:.*F' /proc/sys/fs/binfmt_misc/qemu-aarch64 ||
    { echo "qemu-aarch64 is registered without the F flag; the chroot cannot run it" >&2; return 1; }
}
