#!/usr/bin/env bash
# Installs a wheel from tools/build_wheels.sh where no compiler is, and runs the
# main job from it: the wheel is built (with zig, for glibc 2.17) in the Debian
# 13 build root for its Python 3.13, then installed into a second Debian 13
# root that has only python3 and python3-venv (both roots: tools/debian_root.sh,
# kept under /var/cache/velmora/roots). Needs root.
#
#   bash tools/wheel_check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/venv.sh
. tools/debian_root.sh
ARCH=$(uname -m)

echo "=== the $ARCH wheel for Debian 13's Python"
debian_dev_root trixie
in_root "$ROOTDIR" "cd /src && PYTHON=/usr/bin/python3 VELMORA_VENV=/opt/venv-wheels bash tools/build_wheels.sh $ARCH"

echo "=== installing it where there is no compiler, and running the main job from it"
debian_root "trixie-$(dpkg --print-architecture)-run" trixie "$(dpkg --print-architecture)" python3 python3-venv ca-certificates
in_root "$ROOTDIR" "
  for c in cc c++ gcc g++ clang; do
    if command -v \$c >/dev/null; then echo \"a compiler is here: \$c\" >&2; exit 1; fi
  done
  rm -rf /opt/venv && python3 -m venv /opt/venv
  wheel=\$(ls /src/dist/*-cp\$(python3 -c 'import sys; print(\"%d%d\" % sys.version_info[:2])')-*_$ARCH.whl)
  echo \"=== pip install \$(basename \$wheel)\"
  /opt/venv/bin/pip install -q --disable-pip-version-check \"\$wheel\"
  cd /src/examples
  /opt/venv/bin/python -c 'import velmora_motor_controller as m; print(\"module from\", m.__file__)'
  /opt/venv/bin/python -m velmora_sim run -- /opt/venv/bin/python first_steps.py
"
