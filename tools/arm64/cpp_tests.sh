#!/usr/bin/env bash
# Builds the C++ unit tests for aarch64 and runs them under qemu-aarch64:
# tools/arm64/cpp_tests.sh   (root, for the arm64 root; see make_root.sh)
#
# The compiler is the wheels' one (zig's clang with its own libc++, tools/wheel/), aimed at
# aarch64 Linux with glibc 2.28; GoogleTest is built with it from Debian's source package
# (/usr/src/googletest, which libgtest-dev brings) into build/arm64-gtest. CTest runs each
# test binary through qemu-aarch64-static, which takes the C library and dynamic linker from
# the arm64 root (-L). The tests run as built for x86-64, labels and time limits included,
# less the four named below.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
. tools/arm64/common.sh
venvs=${QUARVEX_VENV_DIR:-$root/.venv}
tools_venv="$venvs/wheel-tools"
toolchain="$root/tools/wheel/zig-toolchain.cmake"
[ -f /usr/src/googletest/CMakeLists.txt ] ||
  { echo "cpp_tests: /usr/src/googletest missing (Debian: apt-get install googletest)" >&2; exit 1; }
tools/arm64/make_root.sh
. tools/find_python.sh
# zig comes from the same tools environment as the wheels' (tools/build_wheels.sh).
python_venv "$tools_venv" "$(find_pythons | head -n1 | cut -d' ' -f2-)" "ziglang~=0.17.1" "cmake>=3.26" ninja
export QUARVEX_ZIG_PYTHON="$tools_venv/bin/python" QUARVEX_ZIG_TARGET=aarch64-linux-gnu.2.28
export PATH="$tools_venv/bin:$PATH"

gtest="$root/build/arm64-gtest"
if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "-- GoogleTest for aarch64"
  cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
    -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null
  cmake --build "$gtest/build" >/dev/null
  cmake --install "$gtest/build" >/dev/null
fi

echo "-- C++ unit tests for aarch64"
cmake -S . -B build/arm64-cpp-tests -G Ninja -DQUARVEX_TESTS=ON -DQUARVEX_PYTHON_MODULE=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DGTest_DIR="$gtest/install/lib/cmake/GTest" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v qemu-aarch64-static);-L;$arm64_root" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/arm64-cpp-tests
# ELF machine 183 is aarch64: the tests below must not be x86-64 binaries run natively.
[ "$(od -An -tu2 -j18 -N2 build/arm64-cpp-tests/reduce_test | tr -d ' ')" = 183 ]
# Four tests ask the kernel about the process itself, which qemu-user answers for the
# emulator: it does not apply RLIMIT_AS to the program it runs (the limit would bind the
# emulator), and /proc/self/task lists the emulator's own thread, and a joined thread until
# its host thread has gone, so thread counts taken right after a join are off. They run
# natively in every other stage.
ctest --test-dir build/arm64-cpp-tests --output-on-failure -j2 -E "^(ProcessPool\.FailedCreationIsRetried|\
WorkerPool\.(FailedThreadStartEndsTheStartedWorkers|PrivatePoolsHaveTheirSizeAndEndCleanly|\
GlobalPoolIsCreatedOnceFromTheEnvironment))\$"
