"""velmora-recording candump: a recording's CAN frames as a candump -L log.

One line a frame, ``(seconds.microseconds) interface id#data``: the form
candump -L writes, canplayer replays and python-can's log reader reads.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TextIO

from . import schemas
from .reading import RecordingFile

_STANDARD_IDS = 0x7FF


def candump_line(time_ns: int, interface: str, can_id: int, data: str) -> str:
    seconds, ns = divmod(time_ns, 1_000_000_000)
    ident = f"{can_id:03X}" if can_id <= _STANDARD_IDS else f"{can_id:08X}"
    # Through bytes, so that a malformed hex text fails here instead of in canplayer.
    return f"({seconds}.{ns // 1000:06d}) {interface} {ident}#{bytes.fromhex(data).hex().upper()}\n"


def write_candump(source: RecordingFile, out: TextIO, interface: str, direction: str | None = None) -> int:
    """Writes the frames (only those of one direction, if given) in time order; returns how many."""
    frames: Iterable[tuple[int, int, str]] = sorted(
        (time_ns, int(m["id"]), str(m["data"])) for _, time_ns, m in source.messages({schemas.CAN})
        if direction is None or m["direction"] == direction)
    count = 0
    for time_ns, can_id, data in frames:
        out.write(candump_line(time_ns, interface, can_id, data))
        count += 1
    return count
