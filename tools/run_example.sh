#!/usr/bin/env bash
# Installs the project and runs the first example program (examples/first_steps.py).
#
#   bash tools/run_example.sh            against a virtual torso (no hardware needed)
#   VELMORA_SERIAL=/dev/ttyUSB0 VELMORA_CAN=can0 bash tools/run_example.sh
#                                        against a real torso
#
# The module goes into the project's virtual environment, .venv/ (see
# tools/venv.sh; PYTHON picks the interpreter it is made from).
# Extra arguments go to the example (e.g. --settle 2).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/tools/venv.sh"

if ! command -v c++ >/dev/null 2>&1; then
  echo "=== installing a C++ compiler"
  apt_install g++
fi
use_project_venv "$ROOT"

echo "=== installing velmora_motor_controller into $VENV (pip install .)"
install_project "$ROOT"

# Run from examples/ so Python picks the installed packages, not the source tree's.
cd "$ROOT/examples"
if [ -n "${VELMORA_SERIAL:-}${VELMORA_CAN:-}" ]; then
  echo "=== running the example on the torso at ${VELMORA_SERIAL:-?} / ${VELMORA_CAN:-can0}"
  exec "$PY" first_steps.py "$@"
fi
echo "=== running the example against a virtual torso"
exec "$PY" -m velmora_sim run -- "$PY" first_steps.py "$@"
