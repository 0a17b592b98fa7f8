"""Where the user-space SocketCAN stand-in (the LD_PRELOAD library) is."""

from __future__ import annotations

import glob
import os

LIBRARY = "libvelmora_vcan.so"
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


_SANITIZER_RUNTIMES = (b"libasan.so", b"libtsan.so", b"libubsan.so")


def _sanitized(path: str) -> bool:
    """A sanitizer build cannot be preloaded into a plain interpreter (its runtime must come first)."""
    try:
        with open(path, "rb") as f:
            image = f.read()
    except OSError:
        return True
    return any(runtime in image for runtime in _SANITIZER_RUNTIMES)


def preload_library() -> str:
    """Path of libvelmora_vcan.so: next to this package (installed wheel), else $VELMORA_VCAN_PRELOAD,
    else the newest build/*/vcan/ of the source tree this package sits in (sanitizer builds left out).

    FileNotFoundError when none exists.
    """
    beside = os.path.join(_PACKAGE_DIR, LIBRARY)
    if os.path.isfile(beside):
        return beside
    configured = os.environ.get("VELMORA_VCAN_PRELOAD")
    if configured and os.path.isfile(configured):
        return os.path.abspath(configured)
    root = os.path.dirname(os.path.dirname(_PACKAGE_DIR))  # python/velmora_sim -> the source tree
    built = [p for p in glob.glob(os.path.join(root, "build", "*", "vcan", LIBRARY))
             if os.path.isfile(p) and not _sanitized(p)]
    if built:
        return max(built, key=os.path.getmtime)
    raise FileNotFoundError(
        f"{LIBRARY} not found: not installed beside velmora_sim, VELMORA_VCAN_PRELOAD not set, "
        f"and no build under {os.path.join(root, 'build')} (build the velmora_vcan target)")
