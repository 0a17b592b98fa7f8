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
#   aarch64_emulator
#       registers Debian 13's user-mode emulator for aarch64 programs (fetched
#       once, kept beside the roots) and sets QEMU_AARCH64 to it: arm64
#       programs then run directly, inside an arm64 root too. Debian 12's own
#       emulator (7.2) lacks the termios2 ioctls the serial port is set with.

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
  # One maker at a time: a step that needs the root while the test command
  # makes it in the background waits for it here.
  mkdir -p "$VELMORA_ROOTS"
  local lock
  exec {lock}>"$VELMORA_ROOTS/.$name.lock"
  flock "$lock"
  if [ "$(cat "$ROOTDIR/.velmora-root" 2>/dev/null)" = "$want" ]; then
    exec {lock}>&-
    return 0
  fi
  command -v debootstrap >/dev/null || apt_install debootstrap
  echo "=== making a Debian $release ($arch) root in $ROOTDIR"
  local tmp=$ROOTDIR.partial
  rm -rf "$tmp"
  local packages
  packages=$(IFS=,; echo "$*")
  # An older debootstrap has no script for a newer release's name; every
  # Debian release since 2019 uses sid's.
  local script=()
  [ -e "/usr/share/debootstrap/scripts/$release" ] || script=(/usr/share/debootstrap/scripts/sid)
  if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    # The packages every root of this release and architecture shares are
    # fetched once.
    mkdir -p "$VELMORA_ROOTS/debs/$release-$arch"
    nice -n 10 debootstrap --variant=minbase --arch="$arch" --include="$packages" \
      --cache-dir="$VELMORA_ROOTS/debs/$release-$arch" "$release" "$tmp" "$DEBIAN_MIRROR" \
      "${script[@]}" \
      >"$tmp.log" 2>&1 || { tail -20 "$tmp.log" >&2; echo "debootstrap of $release ($arch) failed" >&2; return 1; }
  else
    # Another architecture's root is only run in. Its packages' own scripts
    # would run under emulation, about 15 CPU-minutes (byte-compiling the
    # interpreter's library most of it): the packages are unpacked and
    # nothing is configured, which a program run in the root does not need.
    command -v mmdebstrap >/dev/null || apt_install mmdebstrap
    mmdebstrap --quiet --variant=extract --architectures="$arch" --include="$packages,bash,coreutils" \
      "$release" "$tmp" "$DEBIAN_MIRROR" \
      >"$tmp.log" 2>&1 || { tail -20 "$tmp.log" >&2; echo "mmdebstrap of $release ($arch) failed" >&2; return 1; }
    local d
    for d in bin sbin lib; do [ -e "$tmp/$d" ] || ln -s "usr/$d" "$tmp/$d"; done
  fi
  rm -f "$tmp.log"
  mkdir -p "$tmp/src"
  printf '%s\n' "$want" >"$tmp/.velmora-root"
  rm -rf "$ROOTDIR"
  mv "$tmp" "$ROOTDIR"
  exec {lock}>&-
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

aarch64_emulator() {
  local dir=$VELMORA_ROOTS/qemu lock
  QEMU_AARCH64=$dir/qemu-aarch64
  # The test command's steps may ask for it at the same time.
  mkdir -p "$VELMORA_ROOTS"
  exec {lock}>"$VELMORA_ROOTS/.qemu.lock"
  flock "$lock"
  if [ ! -x "$QEMU_AARCH64" ]; then
    echo "=== fetching Debian 13's user-mode emulator"
    rm -rf "$dir" && mkdir -p "$dir/lists/partial" "$dir/archives/partial"
    echo "deb $DEBIAN_MIRROR trixie main" >"$dir/sources.list"
    # A private package list: the host's own sources stay as they are.
    local apt=(apt-get -qq -o Dir::Etc::sourcelist="$dir/sources.list" -o Dir::Etc::sourceparts=-
      -o Dir::State::Lists="$dir/lists" -o Dir::Cache::archives="$dir/archives" -o APT::Sandbox::User=root)
    "${apt[@]}" update
    (cd "$dir" && "${apt[@]}" download qemu-user)
    dpkg-deb --fsys-tarfile "$dir"/qemu-user_*.deb | tar -xO ./usr/bin/qemu-aarch64 >"$QEMU_AARCH64.partial"
    rm -rf "$dir"/qemu-user_*.deb "$dir/lists" "$dir/archives"
    chmod +x "$QEMU_AARCH64.partial" && mv "$QEMU_AARCH64.partial" "$QEMU_AARCH64"
  fi
  local binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
  if ! grep -qx "interpreter $QEMU_AARCH64" $binfmt/velmora-aarch64 2>/dev/null; then
    [ -e $binfmt/velmora-aarch64 ] && echo -1 >$binfmt/velmora-aarch64
    # An emulator the host registered already (Debian 12's) would take
    # these programs first.
    local other
    for other in $binfmt/qemu-aarch64; do [ -e "$other" ] && echo 0 >"$other"; done
    # F: the kernel opens the emulator now, so it serves programs in a root
    # that has no copy of it.
    printf '%s' ':velmora-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU_AARCH64"':F' \
      >$binfmt/register
  fi
  exec {lock}>&-
}
