# Sourced by the tools/ scripts. Puts the project in a virtual environment of
# its own, so the same commands work on a distribution's interpreter, which
# refuses pip installs into itself (externally managed), as on a private build.
#
#   PYTHON          the interpreter to build on (default python3)
#   VELMORA_VENV    where the environment lives (default .venv in the checkout)
#
# After `use_project_venv ROOT`, PY is the environment's python and its bin/
# comes first on PATH (cmake, ninja, pytest, velmora-sim).

apt_install() {
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

use_project_venv() {
  local root=$1
  local base
  base=$(command -v "${PYTHON:-python3}") || { echo "no interpreter: ${PYTHON:-python3}" >&2; return 1; }
  VENV=${VELMORA_VENV:-$root/.venv}

  # The environment remembers the interpreter it was made from; another one
  # (PYTHON changed) gets a fresh environment.
  local stamp="$VENV/.made-from"
  # A script run from one that already uses the environment finds the
  # environment's own python first on PATH: that is the one it was made from.
  if [ -z "${PYTHON:-}" ] && [ "${base#"$VENV"/}" != "$base" ] && [ -f "$stamp" ]; then
    base=$(cat "$stamp")
  fi
  if [ ! -x "$VENV/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$base" ]; then
    rm -rf "$VENV"
    if ! "$base" -m venv "$VENV" 2>/dev/null; then
      # Debian and Ubuntu ship venv (ensurepip) and the C headers apart.
      local ver
      ver=$("$base" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
      echo "=== installing python3-venv and python3-dev for $base"
      apt_install python3-venv "python$ver-venv" python3-dev
      rm -rf "$VENV"
      "$base" -m venv "$VENV"
    fi
    echo "$base" >"$stamp"
  fi
  if ! "$VENV/bin/python" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    echo "=== installing python3-dev (the interpreter's C headers)"
    apt_install python3-dev
  fi
  PY="$VENV/bin/python"
  export VIRTUAL_ENV="$VENV"
  export PATH="$VENV/bin:$PATH"
}

# pip install . into the environment, building in a folder of the
# environment's own so two interpreters never share a CMake cache.
install_project() {
  local root=$1; shift
  (cd "$root" && "$PY" -m pip install -q --disable-pip-version-check --config-settings=build-dir="$VENV/build" "$@" .)
}

# What the Python tests import besides the module: pyproject.toml's "test"
# extra, and what it takes to build and check the module without build isolation.
install_test_deps() {
  "$PY" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.9" "pytest>=7" "hypothesis>=6" numpy \
    "mcap>=1.5" "matplotlib>=3.8" "python-can>=4" "$@"
}
