"""Runs a hub on its own: ``python -m velmora_sim.vcan NAME [--dir DIR]``."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from types import FrameType

from .hub import VcanBus
from .interfaces import DEFAULT_DIR


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velmora_sim.vcan",
                                     description="Run a user-space CAN bus hub until SIGINT or SIGTERM.")
    parser.add_argument("name", help="interface name, e.g. vcan0")
    parser.add_argument("--dir", default=None, help=f"socket directory (default $VELMORA_VCAN_DIR or {DEFAULT_DIR})")
    args = parser.parse_args(argv)
    stop = threading.Event()

    def on_signal(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    try:
        bus = VcanBus(args.name, args.dir).start()
    except (OSError, ValueError) as e:
        print(f"vcan: {e}", file=sys.stderr)
        return 1
    with bus:
        print(f"vcan interface {bus.name} at {bus.path}", flush=True)
        stop.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
