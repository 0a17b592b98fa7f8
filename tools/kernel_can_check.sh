#!/usr/bin/env bash
# Runs the CAN code on a real Linux CAN stack. This machine's kernel has no CAN,
# so the check boots Debian's stock kernel (which has the vcan module) in QEMU
# through virtme-ng, on a read-only snapshot of this machine's filesystem: the
# installed module, the Python environment and this repository are all there.
# Inside, it brings up vcan0 and runs, with nothing preloaded:
#   - socketcan_tests (fixture Bus): the transport against a raw CAN socket
#     that the test itself holds on vcan0;
#   - pytest tests/python/kernel_can: the driver, the synchronous class and a
#     neck-only control loop against the simulator's kernel-CAN mode;
#   - pytest tests/python/sim/test_can_semantics.py: what the kernel does with
#     frames, which the user-space stand-in must do alike;
#   - pytest tests/python/sim/test_kernel_can_rebind.py: the simulator binding
#     again when vcan0 is deleted and added, and riding through it going down
#     and up (the test deletes and adds it itself, and leaves it up).
# Any failure, a skipped test or a missing piece fails the check; nothing is
# skipped silently.
#
# Uses the virtual environment it is started in (tools/run_tests.sh's), else
# the project's (tools/venv.sh), with the module installed there and the C++
# tests built alongside it (pip install . with VELMORA_BUILD_TESTS=ON: both in
# the environment's build/); it installs and builds them when either is
# missing, and what it needs besides: apt qemu-system-x86, linux-image-amd64,
# busybox-static; pip virtme-ng and the tests' dependencies.
#
# VELMORA_KERNEL_CAN_ACCEL=kvm|tcg forces an accelerator. By default KVM is
# tried when the processor offers hardware virtualisation, else (and when a KVM
# boot fails) the machine is emulated. Under emulation the guest clock counts
# executed instructions (-icount shift=0, one virtual CPU): a loaded host
# slows the check down but cannot make a reply miss its time-out.
set -euo pipefail

GUEST_IFACE=vcan0

in_vm() {  # in_vm PYTHON: the part that runs inside the virtual machine
  local py=$1
  local socketcan_tests
  socketcan_tests=$(dirname "$(dirname "$py")")/build/tests/motorcom/socketcan_tests
  echo "kernel CAN check: guest up, kernel $(uname -r)"
  unset LD_PRELOAD
  modprobe vcan
  ip link add dev "$GUEST_IFACE" type vcan
  ip link set up "$GUEST_IFACE"
  export VELMORA_KERNEL_CAN=$GUEST_IFACE PYTHONDONTWRITEBYTECODE=1

  echo "kernel CAN check: transport tests on $GUEST_IFACE"
  local out
  out=$("$socketcan_tests" --gtest_filter='Bus.*' 2>&1) || { echo "$out"; return 1; }
  echo "$out" | grep -E '^\[ *(OK|FAILED|PASSED|SKIPPED) *\]' || true
  if echo "$out" | grep -q 'SKIPPED'; then echo "kernel CAN check: a transport test was skipped"; return 1; fi
  echo "$out" | grep -qE '^\[  PASSED  \] [1-9][0-9]* tests?\.' || { echo "kernel CAN check: no transport test ran"; return 1; }

  echo "kernel CAN check: Python tests on $GUEST_IFACE"
  local status=0
  "$py" -m pytest -q -p no:cacheprovider tests/python/kernel_can tests/python/sim/test_can_semantics.py \
    tests/python/sim/test_kernel_can_rebind.py || status=$?
  echo "kernel CAN check: Python tests ended with status $status"
  [ "$status" -eq 0 ] || return 1
  echo "kernel CAN check: passed"
}

if [ "${1:-}" = "--in-vm" ]; then
  cd "$(dirname "$0")/.."
  in_vm "$2"
  exit
fi

cd "$(dirname "$0")/.."
ROOT=$PWD
. "$ROOT/tools/venv.sh"
step() { printf '\n=== %s\n' "$*"; }
fail() { echo "kernel CAN check: FAILED: $*" >&2; exit 1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
T0=$(now)

# The newest installed stock kernel that has the vcan module.
find_kernel() {
  local k v
  for k in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -rV); do
    v=${k#/boot/vmlinuz-}
    if ls /lib/modules/"$v"/kernel/drivers/net/can/vcan.ko* >/dev/null 2>&1; then echo "$k"; return; fi
  done
}

install_packages() {
  if ! command -v qemu-system-x86_64 >/dev/null || [ -z "$(find_kernel)" ] || ! command -v busybox >/dev/null; then
    # INITRD=No: virtme-ng makes its own initramfs; building Debian's would take a minute.
    INITRD=No apt_install --no-install-recommends qemu-system-x86 linux-image-amd64 busybox-static
  fi
}
if [ "${1:-}" = --packages ]; then  # only the Debian packages (the test command fetches them while it builds)
  install_packages
  exit
fi

step "kernel CAN check: installing QEMU, a stock kernel and virtme-ng"
install_packages
KERNEL=$(find_kernel)
[ -n "$KERNEL" ] || fail "no installed kernel has the vcan module"
# The environment tools/run_tests.sh (or the caller) is in, else the project's.
if [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
  VENV=$VIRTUAL_ENV PY=$VIRTUAL_ENV/bin/python
  PATH="$VIRTUAL_ENV/bin:$PATH"
else
  use_project_venv "$ROOT"
fi
# The tests' own dependencies too: run on its own, the check may be the first
# thing to use the project's environment.
install_test_deps virtme-ng
command -v vng >/dev/null || fail "vng is not on PATH after installing virtme-ng"
if ! "$PY" -c 'import velmora_motor_controller, velmora_sim' 2>/dev/null ||
  [ ! -x "$(dirname "$(dirname "$PY")")/build/tests/motorcom/socketcan_tests" ]; then
  if ! dpkg -s libgtest-dev libgmock-dev >/dev/null 2>&1 || ! command -v c++ >/dev/null 2>&1; then
    apt_install libgtest-dev libgmock-dev g++
  fi
  CMAKE_ARGS="-DVELMORA_BUILD_TESTS=ON" install_project "$ROOT"
fi
echo "kernel CAN check: setup took $(since "$T0") s"

kvm_usable() {
  [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo
}

# boot ACCEL LOG: boots the kernel and runs the guest part, streaming its
# output with the host's elapsed seconds on the check's own lines.
boot() {
  local accel=$1 log=$2 args=(--run "$KERNEL" --memory 1G --exec "bash tools/kernel_can_check.sh --in-vm $PY")
  if [ "$accel" = tcg ]; then
    args+=(--disable-kvm --cpus 1 --qemu-opts="-icount shift=0")
  else
    args+=(--cpus 2)
  fi
  local start status
  start=$(now)
  echo "kernel CAN check: booting $(basename "$KERNEL") with $accel (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  set +e
  timeout --kill-after=30 "$3" vng "${args[@]}" </dev/null 2>&1 | while IFS= read -r line; do
    case $line in
      "kernel CAN check:"*) printf '%s [%s s]\n' "$line" "$(since "$start")" ;;
      *) printf '%s\n' "$line" ;;
    esac
  done | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  echo "kernel CAN check: virtual machine ended with status $status after $(since "$start") s"
  return "$status"
}

LOG=$(mktemp)
trap 'rm -f "$LOG"' EXIT
ACCEL=${VELMORA_KERNEL_CAN_ACCEL:-}
if [ -z "$ACCEL" ]; then
  if kvm_usable; then ACCEL=kvm; else ACCEL=tcg; echo "kernel CAN check: no hardware virtualisation here: emulating"; fi
fi
case $ACCEL in kvm|tcg) ;; *) fail "VELMORA_KERNEL_CAN_ACCEL must be kvm or tcg, not $ACCEL" ;; esac

step "kernel CAN check: on a real kernel"
status=0
if [ "$ACCEL" = kvm ]; then
  boot kvm "$LOG" 300 || status=$?
  if [ "$status" -ne 0 ] && ! grep -q '^kernel CAN check: guest up' "$LOG" && [ -z "${VELMORA_KERNEL_CAN_ACCEL:-}" ]; then
    echo "kernel CAN check: the KVM guest did not come up: emulating instead"
    status=0
    boot tcg "$LOG" 600 || status=$?
  fi
else
  boot tcg "$LOG" 600 || status=$?
fi
[ "$status" -eq 0 ] || fail "the virtual machine ended with status $status"
grep -q '^kernel CAN check: passed' "$LOG" || fail "the guest did not report that its tests passed"
echo "kernel CAN check: passed in $(since "$T0") s"
