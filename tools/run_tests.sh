#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the C++ unit tests
# (plain, then under AddressSanitizer+UndefinedBehaviorSanitizer, the threaded
# ones under ThreadSanitizer); the C++ tests built for aarch64
# (tools/arm64_check.sh); the CAN code on a real kernel, while the build and
# the C++ tests run on Debian 13 (tools/debian_check.sh) and the wheels are
# built; then, with nothing else running, what keeps wire time: the Python
# tests on the host and, side by side, on Debian 13 with its main job; the
# aarch64 C++ tests under emulation; and the wheels, each run where no
# compiler is, the aarch64 one in an arm64 root (tools/wheel_check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=$(nproc)
. "$ROOT/tools/venv.sh"

# Each step shows the minutes and seconds since the command started.
step() { printf '\n=== %s [%d:%02d]\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }

step "installing build and test dependencies"
if ! dpkg -s libgtest-dev libgmock-dev >/dev/null 2>&1 || ! command -v c++ >/dev/null 2>&1; then
  apt_install libgtest-dev libgmock-dev cmake ninja-build g++
fi
# The later steps' own tools, here so that no two installs run at once.
command -v aarch64-linux-gnu-g++ >/dev/null && command -v debootstrap >/dev/null &&
  command -v mmdebstrap >/dev/null && command -v ccache >/dev/null ||
  apt_install g++-aarch64-linux-gnu debootstrap mmdebstrap ccache
# The host's builds go through a compiler cache kept beside the Debian roots,
# so a later run on this machine compiles only what changed.
export CCACHE_DIR=${CCACHE_DIR:-/var/cache/velmora/ccache}
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
# One name for the compiler in every host build, whatever interpreter a build
# is for (pip's builds otherwise take the interpreter's name for it, and the
# cache tells the names apart).
export CC=${CC:-gcc} CXX=${CXX:-g++}
use_project_venv "$ROOT"
install_test_deps "cmake>=3.24" ninja "mypy>=1.8"

# The Debian 13 roots are made (mostly waiting on the mirror) while this
# machine builds; a step that needs one waits for it (tools/debian_root.sh).
mkdir -p build
{ bash "$ROOT/tools/debian_check.sh" --make-root trixie && bash "$ROOT/tools/wheel_check.sh" --make-roots; } \
  >build/debian-root.log 2>&1 &
ROOT_MAKER=$!
# So do the kernel check's virtual machine packages (QEMU, a stock kernel).
bash "$ROOT/tools/kernel_can_check.sh" --packages >build/vm-packages.log 2>&1 &
VM_PACKAGES=$!
finished() {  # finished PID LOG: its status, its log shown when it failed
  wait "$1" || { cat "$2"; return 1; }
}

sanitized_build() {  # sanitized_build DIR SANITIZERS [targets...]
  local dir=$1 sanitizers=$2; shift 2
  # -O1 with line tables only: what the sanitizers' reports need (their
  # advice), in about 60% of the compile time of -O2 with full debug
  # information.
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_WERROR=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DVELMORA_SANITIZE="$sanitizers" -DVELMORA_BUILD_PYTHON=OFF >/dev/null
  if [ $# -gt 0 ]; then cmake --build "$dir" -j "$JOBS" --target "$@"; else cmake --build "$dir" -j "$JOBS"; fi
}

step "installing the module (pip install .), its C++ tests built alongside, warnings as errors"
# One Release build, as users get it, serves the module, its C++ tests and the
# test-only module (in the environment's build/, as tools/debian_check.sh does).
CMAKE_ARGS="-DVELMORA_WERROR=ON -DVELMORA_BUILD_TESTS=ON" install_project "$ROOT" --no-build-isolation
TESTS_BUILD=$VENV/build

step "C++ unit tests"
ctest --test-dir "$TESTS_BUILD" --output-on-failure --no-tests=error -j "$JOBS"

step "C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
sanitized_build build/asan address,undefined
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS"

step "threaded C++ tests under ThreadSanitizer"
# Only what those tests need is built: threaded_tests names them.
sanitized_build build/tsan thread threaded_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan --output-on-failure --no-tests=error -j "$JOBS" -L threaded

step "type checks: the installed stub against the module, and the Python packages and examples"
"$PY" -m mypy.stubtest velmora_motor_controller
"$PY" -m mypy --strict --cache-dir "$ROOT/build/mypy_cache" examples python

step "the C++ tests for aarch64: built with Debian's cross compiler"
bash "$ROOT/tools/arm64_check.sh" --build >"$ROOT/build/arm64-build.log" 2>&1 || { cat "$ROOT/build/arm64-build.log"; exit 1; }
tail -3 "$ROOT/build/arm64-build.log"

step "the CAN code on a real Linux kernel, in a virtual machine"
# Meanwhile the project is built and its C++ tests run on Debian 13, and the
# wheels are built there. Nothing on this host runs against the virtual torso
# now, and the virtual machine's guest keeps its time by the instructions it
# runs, so the load cannot make a reply late there; the tests that keep wire
# time run after, alone. (Built beside the host's Python tests, even in the
# kernel's idle class, they made one of them miss its reply windows.)
{ nice -n 10 bash "$ROOT/tools/debian_check.sh" --build trixie &&
  nice -n 10 bash "$ROOT/tools/wheel_check.sh" --build; } >"$ROOT/build/debian-build.log" 2>&1 &
DEBIAN_BUILD=$!
finished "$VM_PACKAGES" "$ROOT/build/vm-packages.log"
bash "$ROOT/tools/kernel_can_check.sh"
finished "$DEBIAN_BUILD" "$ROOT/build/debian-build.log"
finished "$ROOT_MAKER" "$ROOT/build/debian-root.log"

step "Debian 13 (trixie), with its GCC 14 and Python 3.13, in a root of its own: the build and its C++ tests"
grep -E '^===|tests passed|manylinux' "$ROOT/build/debian-build.log"

# From here on nothing but the Python tests runs: the load of a build makes
# the virtual torso miss its reply windows. The two suites run side by side:
# each keeps a small share of one processor, mostly waiting on its virtual
# torso, whose processes run ahead of every ordinary one (SCHED_FIFO).
step "Python tests against the virtual torso, on the host and (side by side) on Debian 13 with its main job"
bash "$ROOT/tools/debian_check.sh" --test trixie >"$ROOT/build/debian-test.log" 2>&1 &
DEBIAN_TEST=$!
cd "$ROOT/tests/python"
export VELMORA_TESTMOD_DIR="$TESTS_BUILD/python_testmod"
PRELOAD=$("$PY" -c 'import velmora_sim; print(velmora_sim.preload_library())' 2>/dev/null || true)
status=0
LD_PRELOAD="$PRELOAD" "$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests/python" || status=$?
cd "$ROOT"
finished "$DEBIAN_TEST" "$ROOT/build/debian-test.log"
grep -E '^===|passed|failed' "$ROOT/build/debian-test.log"
[ $status -eq 0 ] || exit $status

step "the C++ tests on aarch64, run under emulation"
bash "$ROOT/tools/arm64_check.sh" --test

step "the wheels, installed where there is no compiler (the aarch64 one under emulation), running the main job"
bash "$ROOT/tools/wheel_check.sh" --run
