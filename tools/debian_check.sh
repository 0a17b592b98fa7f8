#!/usr/bin/env bash
# Builds and tests the project on another Debian release, with that release's
# own compiler and Python, in a debootstrap root (tools/debian_root.sh; made
# once and kept under /var/cache/velmora/roots). Needs root.
#
#   bash tools/debian_check.sh [RELEASE]     default trixie (Debian 13: GCC 14, Python 3.13)
#   bash tools/debian_check.sh --build [RELEASE]   only the build and its C++ tests
#   bash tools/debian_check.sh --test [RELEASE]    only what runs against the virtual
#                                        torso, on an earlier --build
#   bash tools/debian_check.sh --make-root [RELEASE]   only make the root
#
# In the root, one build serves every step, so each source file is compiled once:
#   - pip install . into a virtual environment, with warnings as errors and the
#     C++ tests built too (the Release build that users get, at -O3);
#   - the C++ unit tests of that build;
#   - the Python tests against the virtual torso, on the installed module;
#   - the main job, tools/run_example.sh (its pip install . finds the build
#     up to date).
# The sanitizer builds and the type checks stay with tools/run_tests.sh: they
# check the code, not the platform. The test command builds while other work
# runs, and runs the torso's tests once nothing else does (they keep time).
set -euo pipefail
cd "$(dirname "$0")/.."

inside() {  # inside build|test: runs in the root, in /src
  export PYTHON=/usr/bin/python3 VELMORA_VENV=/opt/venv PYTHONDONTWRITEBYTECODE=1
  export CCACHE_DIR=/var/cache/ccache
  . tools/venv.sh
  use_project_venv /src
  local build=$VENV/build
  # Through CMAKE_ARGS every pip install . here builds alike, so the main
  # job's own install below finds this build up to date.
  export CMAKE_ARGS="-DVELMORA_WERROR=ON -DVELMORA_BUILD_TESTS=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  if [ "$1" = build ]; then
    echo "=== $(. /etc/os-release; echo "$PRETTY_NAME"), $(c++ --version | head -1), $("$PYTHON" --version)"
    install_test_deps
    rm -rf "$build"
    echo "=== pip install . with warnings as errors, the C++ tests built alongside"
    install_project /src --no-build-isolation
    echo "=== C++ unit tests"
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)"
    return
  fi
  echo "=== Python tests against the virtual torso"
  (
    cd /src/tests/python
    export VELMORA_TESTMOD_DIR=$build/python_testmod
    LD_PRELOAD=$("$PY" -c 'import velmora_sim; print(velmora_sim.preload_library())') \
      "$PY" -m pytest -q -p no:cacheprovider /src/tests/python
  )
  echo "=== the main job (tools/run_example.sh)"
  bash tools/run_example.sh
}

if [ "${1:-}" = --inside ]; then
  inside "$2"
  exit
fi

. tools/venv.sh
. tools/debian_root.sh
PHASES=(build test)
case ${1:-} in
  --make-root)  # only make (or find) the root
    debian_dev_root "${2:-trixie}"
    exit ;;
  --build) PHASES=(build); shift ;;
  --test) PHASES=(test); shift ;;
esac
RELEASE=${1:-trixie}
debian_dev_root "$RELEASE"
for phase in "${PHASES[@]}"; do
  in_root "$ROOTDIR" "cd /src && bash tools/debian_check.sh --inside $phase"
done
