#!/usr/bin/env bash
# Builds the C++ unit tests for 64-bit ARM with Debian's cross compiler
# (g++-aarch64-linux-gnu), warnings as errors, and runs them under user-mode
# emulation: alignment, char signedness, the size of long and the codecs'
# byte order all differ from x86_64 or could. Needs root (the emulator is
# registered with the kernel; tools/debian_root.sh). The module itself is run
# on arm64 by tools/wheel_check.sh, from its wheel, in an arm64 root.
#
#   bash tools/arm64_check.sh            build, then run the tests
#   bash tools/arm64_check.sh --build    only build them (the test command
#                                        builds while other steps wait)
#   bash tools/arm64_check.sh --test     only run them
set -euo pipefail
PHASE=${1:-all}
cd "$(dirname "$0")/.."
ROOT=$PWD
. tools/venv.sh
. tools/debian_root.sh

command -v aarch64-linux-gnu-g++ >/dev/null && [ -d /usr/src/googletest ] ||
  apt_install g++-aarch64-linux-gnu libgtest-dev libgmock-dev
use_project_venv "$ROOT"
"$PY" -m pip install -q --disable-pip-version-check "cmake>=3.24" ninja
# Test discovery at build time runs the test programs too.
aarch64_emulator

OUT=$ROOT/build/arm64
TOOLCHAIN=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/aarch64-linux-gnu.cmake"
  -DVELMORA_QEMU_AARCH64="$QEMU_AARCH64")
JOBS=$(nproc)

build() {
  echo "=== $(aarch64-linux-gnu-g++ --version | head -1), $("$QEMU_AARCH64" --version | head -1)"
  # Debian ships GoogleTest as source; it is built once for the target.
  if [ ! -d "$OUT/gtest-prefix" ]; then
    cmake -S /usr/src/googletest -B "$OUT/gtest" -G Ninja -Wno-dev "${TOOLCHAIN[@]}" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$OUT/gtest-prefix.partial" >/dev/null
    cmake --build "$OUT/gtest" -j "$JOBS" >/dev/null
    cmake --install "$OUT/gtest" >/dev/null
    mv "$OUT/gtest-prefix.partial" "$OUT/gtest-prefix"
  fi
  # Optimised as the host's test build, without its debug information, which
  # is most of the compile time and of no use under the emulator.
  cmake -S "$ROOT" -B "$OUT/tests" -G Ninja "${TOOLCHAIN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DVELMORA_WERROR=ON -DVELMORA_BUILD_PYTHON=OFF -DCMAKE_PREFIX_PATH="$OUT/gtest-prefix" >/dev/null
  cmake --build "$OUT/tests" -j "$JOBS"
}

run() {
  file "$OUT/tests/tests/motorcom/motorcom_tests" | sed 's/, BuildID.*//'
  # The emulator answers getsockopt(SO_RCVTIMEO) with nothing, so the one test
  # that reads a time-out back cannot pass under it; on ARM hardware it runs.
  ctest --test-dir "$OUT/tests" --output-on-failure --no-tests=error -j "$JOBS" \
    -E '^HubDir\.BindConnectsToTheHubAndKeepsTheDescriptor$'
}

case $PHASE in
  --build) build ;;
  --test) run ;;
  *) build && run ;;
esac
