"""The callbacks a simulated device or bus is built with: its clock, where its replies go, where its trace lines go."""

from __future__ import annotations

from typing import Callable, TypeVar

_Wire = TypeVar("_Wire")

# The monotonic clock, in seconds.
Clock = Callable[[], float]
# send(at, packet_or_frame, trace_text): put a reply on the wire at monotonic time `at`.
SendFn = Callable[[float, _Wire, str], None]
# trace(direction, ident, text): one line of the traffic trace.
TraceFn = Callable[[str, str, str], None]
