#!/usr/bin/env bash
# A root of Debian's testing distribution ("forky"), for the CPython versions and the newest
# g++ that the machine itself lacks (Debian 12 has Python 3.11 and g++ 12).
#
#   tools/forky_root.sh make            make the root if it is not there yet (about 2 minutes
#                                       of debootstrap, then the Pythons and g++ through apt)
#   tools/forky_root.sh run CMD [ARG]   run CMD as root inside it, the project at /quarvex
#   tools/forky_root.sh has VERSION     exit 0 when the root has python VERSION
#   tools/forky_root.sh path            print the root's folder
#   tools/forky_root.sh mirror          print the Debian mirror it uses (as tools/arm64/ do)
#   tools/forky_root.sh remove          delete it (refused while anything is mounted in it)
#
# The root lives in .cache/forky (git-ignored; QUARVEX_FORKY_ROOT moves it) and is reused
# while its stamp file is there. Making and using it needs root and debootstrap (Debian's and
# Ubuntu's `debootstrap`, Fedora's `debootstrap` too). The mirror is the Debian mirror named
# in the host's apt configuration (QUARVEX_DEBIAN_MIRROR overrides it; a host without apt
# must set it). `run` binds /proc, /dev and the project into the root and copies the host's
# CA bundle and resolv.conf into it, so that pip reaches the package index; the mounts are
# taken down on every way out of the script (normal end, error, Ctrl-C, TERM).
set -euo pipefail
cd "$(dirname "$0")/.."
project=$(pwd)
dir=${QUARVEX_FORKY_ROOT:-$project/.cache/forky}
stamp=$dir/.quarvex-forky-ready
. tools/find_python.sh
# What the root needs: the interpreters with their headers and venv, and the compiler.
# (CMake and Ninja come from PyPI into each virtual environment, as on the host.)
versions=$testing_root_pythons
packages="ca-certificates g++ make"
for v in $versions; do packages="$packages python$v python$v-dev python$v-venv"; done

die() { echo "forky_root: $*" >&2; exit 1; }

need_root() {
  [ "$(id -u)" = 0 ] || die "making or entering the Debian testing root needs root (chroot and mounts); run as root, or skip the versions the machine lacks"
}

# The Debian mirror of the host's apt configuration: the first repository whose origin and
# label are "Debian" (not Debian-Security), as apt itself reads the configuration.
mirror() {
  if [ -n "${QUARVEX_DEBIAN_MIRROR:-}" ]; then echo "$QUARVEX_DEBIAN_MIRROR"; return; fi
  local m=""
  if command -v apt-get >/dev/null; then
    m=$(apt-get indextargets --format '$(REPO_URI)|$(ORIGIN)|$(LABEL)' 2>/dev/null |
      awk -F'|' '$2 == "Debian" && $3 == "Debian" { print $1; exit }')
  fi
  [ -n "$m" ] || die "no Debian mirror in the host's apt configuration (run apt-get update first, or set QUARVEX_DEBIAN_MIRROR to a Debian mirror's URL)"
  echo "${m%/}"
}

mounted=()
inside_env=()
child=""
teardown() {
  # A command still running inside goes first, or its mounts would be busy.
  if [ -n "$child" ]; then kill -TERM "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; child=""; fi
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
  done
  mounted=()
}
trap teardown EXIT
trap 'teardown; trap - INT; kill -INT $$' INT
trap 'teardown; trap - TERM; kill -TERM $$' TERM

bind() {  # bind SOURCE TARGET-INSIDE-ROOT
  mkdir -p "$dir$2"
  if mountpoint -q "$dir$2"; then return; fi   # another run of this script holds it
  mount --bind "$1" "$dir$2"
  mounted+=("$dir$2")
}

enter() {
  need_root
  [ -f "$stamp" ] || [ "${1:-}" = new ] || die "no Debian testing root at $dir yet: tools/forky_root.sh make"
  mkdir -p "$dir/proc"
  if ! mountpoint -q "$dir/proc"; then mount -t proc proc "$dir/proc"; mounted+=("$dir/proc"); fi
  bind /dev /dev
  bind "$project" /quarvex
  # zig's cache of tools/build_wheels.sh, shared with the host's so it is filled only once.
  if [ -n "${QUARVEX_FORKY_ZIG_CACHE:-}" ]; then
    bind "$QUARVEX_FORKY_ZIG_CACHE" /var/cache/zig
    inside_env+=(ZIG_GLOBAL_CACHE_DIR=/var/cache/zig)
  fi
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  local ca
  for ca in /etc/ssl/certs/ca-certificates.crt /etc/pki/tls/certs/ca-bundle.crt; do
    if [ -f "$ca" ]; then cp -L "$ca" "$dir/etc/ssl/certs/ca-certificates.crt"; break; fi
  done
}

# Runs CMD inside the root (mounts must already be in place); exec_inside replaces the
# current (sub)shell with it.
inside() { (exec_inside "$@"); }
exec_inside() {
  exec env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive CI="${CI:-}" \
    QUARVEX_IN_FORKY=1 "${inside_env[@]}" chroot "$dir" "$@"
}

make_root() {
  need_root
  if [ -f "$stamp" ]; then return 0; fi
  command -v debootstrap >/dev/null ||
    die "debootstrap is missing: apt-get install debootstrap (Debian/Ubuntu) or dnf install debootstrap (Fedora)"
  local script=/usr/share/debootstrap/scripts/sid m
  [ -f "$script" ] || die "debootstrap has no sid script ($script)"
  m=$(mirror)
  local t0=$SECONDS
  if [ -f "$dir/.quarvex-debootstrapped" ]; then
    echo "== finishing the Debian testing root in $dir"
  else
    make_base "$m" "$script"
  fi
  enter new
  # A mirror that serves a fixed snapshot has a Release file past its "Valid-Until" date;
  # the signatures are still checked.
  echo 'Acquire::Check-Valid-Until "false";' >"$dir/etc/apt/apt.conf.d/99quarvex"
  inside apt-get update -qq >>"$dir.log" 2>&1 ||
    { tail -20 "$dir.log" >&2; die "apt-get update in the root failed (log: $dir.log)"; }
  inside apt-get install -y -qq --no-install-recommends $packages >>"$dir.log" 2>&1 ||
    { tail -20 "$dir.log" >&2; die "installing $packages in the root failed (log: $dir.log)"; }
  inside apt-get clean
  teardown
  echo "$m" >"$stamp"
  echo "== Debian testing root made in $((SECONDS - t0))s: $(inside_versions)"
}

make_base() {  # make_base MIRROR SCRIPT
  local m=$1 script=$2
  if [ -e "$dir" ]; then
    # A root left half made: nothing may be mounted below it before it goes.
    if findmnt -rn -o TARGET | grep -q "^$dir/"; then
      die "something is still mounted below $dir; unmount it first"
    fi
    rm -rf "$dir"
  fi
  mkdir -p "$(dirname "$dir")"
  echo "== making the Debian testing root in $dir from $m (debootstrap, about 2 minutes)"
  # bookworm's debootstrap has no script for forky; sid's takes any testing name.
  debootstrap --variant=minbase --include=ca-certificates forky "$dir" "$m" "$script" \
    >"$dir.log" 2>&1 || { tail -20 "$dir.log" >&2; die "debootstrap failed (log: $dir.log)"; }
  touch "$dir/.quarvex-debootstrapped"
}

inside_versions() {
  local v out=""
  for v in $versions; do [ -x "$dir/usr/bin/python$v" ] && out="$out python$v"; done
  echo "${out# }, $(chroot "$dir" g++ --version 2>/dev/null | head -1)"
}

case "${1:-}" in
  make) make_root ;;
  run)
    shift
    [ $# -gt 0 ] || die "run needs a command"
    enter
    # In the background and waited for, so that a TERM or INT to this script runs its trap at
    # once (bash holds traps while a foreground command runs); standard input is kept.
    set +e
    exec_inside "$@" <&0 &
    child=$!
    wait "$child"
    rc=$?
    child=""
    set -e
    teardown
    exit $rc ;;
  has) [ -f "$stamp" ] && [ -x "$dir/usr/bin/python${2:?has needs a version}" ] ;;
  path) echo "$dir" ;;
  mirror) mirror ;;
  remove)
    if findmnt -rn -o TARGET | grep -q "^$dir/"; then die "something is still mounted below $dir"; fi
    rm -rf "$dir" "$dir.log" ;;
  *) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
