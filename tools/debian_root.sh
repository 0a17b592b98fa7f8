# Sourced by the tools/ scripts that build or run the project on another Debian
# release or architecture. Needs root (debootstrap, chroot, mounts).
#
#   debian_root NAME RELEASE ARCH PACKAGES...
#       makes (once) a minimal Debian root with those packages and sets ROOTDIR.
#       Roots are kept under VELMORA_ROOTS (default /var/cache/velmora/roots),
#       so a later run on the same machine reuses them; a root made with another
#       package list, or left half-made, is made again.
#   debian_dev_root RELEASE
#       the same, named RELEASE-ARCH-dev, with what building and testing the
#       project takes (the host's architecture).
#   in_root DIR [--share-tmp] COMMAND...
#       runs COMMAND (through bash -c) in the root, with this checkout at /src,
#       /proc, /sys, /dev and /dev/pts mounted, and /tmp private to the run
#       (--share-tmp: the host's /tmp instead, for a peer process outside).
#       Everything is mounted in a mount namespace of the run's own, so nothing
#       stays mounted after it, whatever way it ends.

if [ "$(id -u)" -ne 0 ]; then
  # The script that sourced this one starts again as root where sudo may.
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    exec sudo -n --preserve-env=VELMORA_ROOTS,DEBIAN_MIRROR bash "$0" "$@"
  fi
  echo "$(basename "$0"): needs root (debootstrap, chroot and mounts)" >&2
  exit 1
fi
VELMORA_ROOTS=${VELMORA_ROOTS:-/var/cache/velmora/roots}
DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

debian_root() {
  local name=$1 release=$2 arch=$3; shift 3
  local want="$release $arch $*"
  ROOTDIR=$VELMORA_ROOTS/$name
  if [ "$(cat "$ROOTDIR/.velmora-root" 2>/dev/null)" = "$want" ]; then
    return 0
  fi
  command -v debootstrap >/dev/null || apt_install debootstrap
  echo "=== making a Debian $release ($arch) root in $ROOTDIR"
  local tmp=$ROOTDIR.partial
  rm -rf "$tmp"
  mkdir -p "$VELMORA_ROOTS"
  local packages
  packages=$(IFS=,; echo "$*")
  # An older debootstrap has no script for a newer release's name; every
  # Debian release since 2019 uses sid's.
  local script=()
  [ -e "/usr/share/debootstrap/scripts/$release" ] || script=(/usr/share/debootstrap/scripts/sid)
  nice -n 10 debootstrap --variant=minbase --arch="$arch" --include="$packages" "$release" "$tmp" "$DEBIAN_MIRROR" \
    "${script[@]}" \
    >"$tmp.log" 2>&1 || { tail -20 "$tmp.log" >&2; echo "debootstrap of $release ($arch) failed" >&2; return 1; }
  rm -f "$tmp.log"
  mkdir -p "$tmp/src"
  printf '%s\n' "$want" >"$tmp/.velmora-root"
  rm -rf "$ROOTDIR"
  mv "$tmp" "$ROOTDIR"
}

debian_dev_root() {
  local arch
  arch=$(dpkg --print-architecture)
  debian_root "$1-$arch-dev" "$1" "$arch" \
    python3 python3-dev python3-venv g++ cmake ninja-build make libgtest-dev libgmock-dev ca-certificates ccache
}

in_root() {
  local dir=$1; shift
  local share_tmp=0
  if [ "${1:-}" = --share-tmp ]; then share_tmp=1; shift; fi
  local src
  src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  # What pip needs to reach its index the way this host does.
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
  [ -f /etc/pip.conf ] && cp /etc/pip.conf "$dir/etc/pip.conf"
  mkdir -p "$dir/etc/ssl/certs" && cp -L /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
  unshare --mount --propagation private -- bash -euc '
    dir=$1 src=$2 share_tmp=$3; shift 3
    mount -t proc proc "$dir/proc"
    mount --rbind /sys "$dir/sys"
    mount --rbind /dev "$dir/dev"   # with /dev/pts: the simulator'"'"'s pseudo-terminals
    if [ "$share_tmp" = 1 ]; then mount --bind /tmp "$dir/tmp"; else mount -t tmpfs tmpfs "$dir/tmp"; fi
    mount --bind "$src" "$dir/src"
    exec chroot "$dir" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 CI="${CI:-}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -euo pipefail -c "$*"
  ' in_root "$dir" "$src" "$share_tmp" "$@"
}
