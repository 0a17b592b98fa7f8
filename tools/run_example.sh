#!/usr/bin/env bash
# Installs the project and runs the first example program (examples/first_steps.py).
#
#   bash tools/run_example.sh            against a virtual torso (no hardware needed)
#   VELMORA_SERIAL=/dev/ttyUSB0 VELMORA_CAN=can0 bash tools/run_example.sh
#                                        against a real torso
#
# Extra arguments go to the example (e.g. --settle 2).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON:-python3}

if ! command -v c++ >/dev/null 2>&1; then
  echo "=== installing a C++ compiler"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq g++ >/dev/null
fi

echo "=== installing velmora_motor_controller (python3 -m pip install .)"
(cd "$ROOT" && $PY -m pip install -q --disable-pip-version-check .)

# Run from examples/ so Python picks the installed packages, not the source tree's.
cd "$ROOT/examples"
if [ -n "${VELMORA_SERIAL:-}${VELMORA_CAN:-}" ]; then
  echo "=== running the example on the torso at ${VELMORA_SERIAL:-?} / ${VELMORA_CAN:-can0}"
  exec $PY first_steps.py "$@"
fi
echo "=== running the example against a virtual torso"
exec $PY -m velmora_sim run -- $PY first_steps.py "$@"
