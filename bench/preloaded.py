"""The benchmarks drive the installed module against the virtual torso, whose CAN
side is a stand-in that must be preloaded into the process from its start."""

from __future__ import annotations

import os
import sys

from velmora_sim import preload_library


def ensure_preloaded() -> None:
    """Start this program again with the CAN stand-in preloaded, unless it already is."""
    if "libvelmora_vcan" not in os.environ.get("LD_PRELOAD", ""):
        os.environ["LD_PRELOAD"] = preload_library()
        os.execv(sys.executable, [sys.executable] + sys.argv)
