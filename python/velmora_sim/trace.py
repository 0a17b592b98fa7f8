"""The traffic trace: one readable line per packet or frame, kept in memory and optionally written out.

    0.012345 -> serial id=254  SYNC_READ addr=56(present_position) len=2 ids=[1, 2, 3, 4]
    0.012410 <- serial id=1    STATUS err=0x00 data=[00 08] present_position=2048
    0.020001 -> can    0x001   MIT neck_yaw p=+0.0000 v=+0.0000 kp=30.00 kd=1.000 t=+0.0000

Time is seconds since the virtual torso started; "->" is host to device, "<-" device to host.
"""

from __future__ import annotations

import sys
import time
from collections import deque
from typing import TextIO

from .callbacks import Clock


def hex_bytes(data: bytes) -> str:
    """Bytes as the trace shows them: [FF FF 01]."""
    return "[" + " ".join(f"{b:02X}" for b in data) + "]"


class Trace:
    def __init__(self, target: str | bool | None = None, clock: Clock = time.monotonic,
                 limit: int = 100_000, epoch: float | None = None) -> None:
        """target: None (memory only), "-" or True (standard error), or a file path (appended to).

        epoch: the clock reading of trace time 0 (default: now); traces of several processes that share
        one epoch merge into one time line.
        """
        self._clock = clock
        self._t0: float = clock() if epoch is None else epoch
        self.lines: deque[str] = deque(maxlen=limit)
        self._out: TextIO | None = None
        self._own = False
        if target is True or target == "-":
            self._out = sys.stderr
        elif target:
            self._out = open(target, "a", buffering=1, encoding="utf-8")
            self._own = True

    def emit(self, direction: str, bus: str, ident: str, text: str, at: float | None = None) -> None:
        t = (self._clock() if at is None else at) - self._t0
        line = f"{t:11.6f} {direction} {bus:<6} {ident:<6} {text}"
        self.lines.append(line)
        if self._out is not None:
            try:
                self._out.write(line + "\n")
            except (OSError, ValueError):
                self._out = None  # the console or file went away; keep tracing to memory

    @property
    def epoch(self) -> float:
        """The time.monotonic() reading that trace time 0 stands for (the clock is shared by all processes)."""
        return self._t0

    def note(self, text: str) -> None:
        """An event that is not traffic: a fault switched on, a servo rebooting, a voltage change."""
        self.emit("--", "sim", "", text)

    def close(self) -> None:
        if self._own and self._out is not None:
            self._out.close()
        self._out = None
