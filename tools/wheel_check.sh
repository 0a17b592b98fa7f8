#!/usr/bin/env bash
# Installs the wheels from tools/build_wheels.sh where no compiler is, and runs
# the main job from each: the wheels are built (with zig, for glibc 2.17) in
# the Debian 13 build root for its Python 3.13, then each is installed into a
# Debian 13 root of its architecture that has only python3 and python3-venv:
# the host's, and an arm64 one run under user-mode emulation. All the roots:
# tools/debian_root.sh, kept under /var/cache/velmora/roots. Needs root.
#
#   bash tools/wheel_check.sh                 build, install and run
#   bash tools/wheel_check.sh --build         only build the wheels
#   bash tools/wheel_check.sh --run           only install and run the built ones
#   bash tools/wheel_check.sh --make-roots    only make (or find) the roots
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/venv.sh
. tools/debian_root.sh
HOST_ARCH=$(uname -m)
ARCHS=("$HOST_ARCH")
[ "$HOST_ARCH" = x86_64 ] && ARCHS+=(aarch64)

debian_arch() { case $1 in x86_64) echo amd64 ;; aarch64) echo arm64 ;; *) echo "$1" ;; esac; }
run_root() {  # run_root ARCH: the compiler-free root of that architecture
  [ "$1" = "$HOST_ARCH" ] || aarch64_emulator
  debian_root "trixie-$(debian_arch "$1")-run" trixie "$(debian_arch "$1")" python3 python3-venv ca-certificates
}

if [ "${1:-}" = --make-roots ]; then
  debian_dev_root trixie
  for arch in "${ARCHS[@]}"; do run_root "$arch"; done
  exit
fi

if [ "${1:-}" != --run ]; then
  echo "=== the wheels for Debian 13's Python: ${ARCHS[*]}"
  debian_dev_root trixie
  in_root "$ROOTDIR" "cd /src && PYTHON=/usr/bin/python3 VELMORA_VENV=/opt/venv-wheels bash tools/build_wheels.sh ${ARCHS[*]}"
fi
[ "${1:-}" = --build ] && exit

install_wheel() {  # the commands, in a run root, that install its architecture's wheel into /opt/venv
  cat <<INSTALL
    echo "=== \$(. /etc/os-release; echo "\$PRETTY_NAME") on \$(uname -m), \$(python3 --version)"
    for c in cc c++ gcc g++ clang; do
      if command -v \$c >/dev/null; then echo "a compiler is here: \$c" >&2; exit 1; fi
    done
    # pip runs from Debian's copy of its wheel and compiles nothing: under
    # emulation, a venv's own pip would take most of a minute to install.
    rm -rf /opt/venv && python3 -m venv --without-pip /opt/venv
    pip=\$(ls /usr/share/python-wheels/pip-*.whl | head -1)/pip
    wheel=\$(ls /src/dist/*-cp\$(python3 -c 'import sys; print("%d%d" % sys.version_info[:2])')-*_\$(uname -m).whl)
    echo "=== pip install \$(basename \$wheel)"
    /opt/venv/bin/python \$pip install -q --disable-pip-version-check --no-compile "\$wheel"
    /opt/venv/bin/python -c 'import velmora_motor_controller as m; print("module from", m.__file__)'
INSTALL
}

echo "=== installing the $HOST_ARCH wheel where there is no compiler, and running the main job from it"
run_root "$HOST_ARCH"
HOST_RUN_ROOT=$ROOTDIR
in_root "$HOST_RUN_ROOT" "$(install_wheel)
  cd /src/examples && /opt/venv/bin/python -m velmora_sim run -- /opt/venv/bin/python first_steps.py"

for arch in "${ARCHS[@]:1}"; do
  echo "=== installing the $arch wheel where there is no compiler, and running the main job from it"
  run_root "$arch"
  # The program runs under emulation, the virtual torso natively from the
  # host's wheel (emulated, it misses its reply windows), as hardware would
  # be outside the board: the torso's devices are in the /tmp and /dev both
  # roots share. The torso runs a command that hands its endpoints over and
  # waits, in a pipe, for the program's status.
  share=$(mktemp -d /tmp/velmora-wheel.XXXXXX)
  mkfifo "$share/status"
  in_root "$HOST_RUN_ROOT" --share-tmp "/opt/venv/bin/python -m velmora_sim run -- /bin/sh -c '
    env | grep ^VELMORA_ >$share/env.partial && mv $share/env.partial $share/env; exit \$(cat $share/status)'" &
  torso=$!
  for _ in $(seq 600); do [ -e "$share/env" ] || ! kill -0 $torso 2>/dev/null && break; sleep 0.1; done
  [ -e "$share/env" ] || { echo "the virtual torso did not start" >&2; exit 1; }
  status=0
  in_root "$ROOTDIR" --share-tmp "$(install_wheel)
    set -a && . $share/env && set +a
    export LD_PRELOAD=\$(/opt/venv/bin/python -c 'import velmora_sim; print(velmora_sim.preload_library())')
    cd /src/examples && /opt/venv/bin/python first_steps.py" || status=$?
  timeout 10 sh -c "echo $status >$share/status" || true
  wait $torso || true
  rm -rf "$share"
  [ $status -eq 0 ] || { echo "the main job failed on $arch" >&2; exit $status; }
done
