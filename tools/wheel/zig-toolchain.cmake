# Toolchain of the portable (manylinux) wheels, passed by tools/build_wheels.sh as
# CMAKE_TOOLCHAIN_FILE. The compilers are zig's clang (wrappers beside this file) targeting
# glibc 2.28, so the module needs no newer glibc symbol than the oldest distributions the
# wheel tag promises, and carries its own C++ runtime instead of the system's libstdc++.
# The project's float flags (-ffp-contract=off -fno-fast-math) come from CMakeLists.txt as
# for any other compiler; the target CPU is the target's baseline (x86-64 has no FMA, aarch64
# has, so the no-contraction flag is what keeps the two bit for bit alike).
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
# A target of another processor (QUARVEX_ZIG_TARGET, e.g. aarch64-linux-gnu.2.28) is a cross
# build: CMake then runs nothing it compiled, and the build names the module for the target.
if(DEFINED ENV{QUARVEX_ZIG_TARGET} AND NOT "$ENV{QUARVEX_ZIG_TARGET}" MATCHES "^x86_64-")
  string(REGEX REPLACE "-.*" "" QUARVEX_ZIG_PROCESSOR "$ENV{QUARVEX_ZIG_TARGET}")
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${QUARVEX_ZIG_PROCESSOR})
endif()
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# zig would otherwise add debug information and keep frame pointers, unlike g++ -O3.
set(CMAKE_C_FLAGS_INIT "-g0 -fomit-frame-pointer")
# The module links its C++ runtime privately (see module-exports.map), so it may own the
# runtime's new handler.
set(CMAKE_CXX_FLAGS_INIT "-g0 -fomit-frame-pointer -DQUARVEX_PRIVATE_CXX_RUNTIME")
# No debug information in the module, whatever zig's cached C++ runtime was built with.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/module-exports.map -Wl,--strip-debug")
