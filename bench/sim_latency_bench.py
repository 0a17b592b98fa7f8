"""How quickly the virtual torso answers: round trips measured from a client, printed as percentiles.

    python bench/sim_latency_bench.py [--count N]

Each figure is the time from writing a request to holding the whole reply, for a
serial ping, a sync read of the four arm positions, and a CAN feedback request,
with wire timing off and on. The controller's time-outs are 10 ms (serial) and
20 ms (CAN), so the p99 figures must stay well below those.
"""

from __future__ import annotations

import argparse
import os
import select
import statistics
import time
from typing import Callable

from velmora_sim import VirtualTorso
from velmora_sim import feetech as ft
from velmora_sim.vcan import Frame, VcanEndpoint


def _read(fd: int, n: int, timeout: float = 1.0) -> bytes:
    out = bytearray()
    deadline = time.monotonic() + timeout
    while len(out) < n:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise TimeoutError(f"reply incomplete: {len(out)} of {n} bytes")
        out += os.read(fd, n - len(out))
    return bytes(out)


def _measure(action: Callable[[], None], count: int) -> list[float]:
    for _ in range(min(50, count)):
        action()  # warm up caches and the allocator
    samples = []
    for _ in range(count):
        start = time.perf_counter()
        action()
        samples.append(time.perf_counter() - start)
    return samples


def _report(label: str, samples: list[float]) -> str:
    ordered = sorted(samples)

    def pick(q: float) -> float:
        return ordered[min(len(ordered) - 1, int(q * len(ordered)))] * 1e6

    return (f"{label:<44} p50 {pick(0.50):7.0f} us   p99 {pick(0.99):7.0f} us   "
            f"max {ordered[-1] * 1e6:7.0f} us   mean {statistics.fmean(samples) * 1e6:7.0f} us")


def run(count: int) -> list[str]:
    lines = []
    for wire_timing in (False, True):
        with VirtualTorso(wire_timing=wire_timing) as torso:
            assert torso.serial_device is not None
            fd = os.open(torso.serial_device, os.O_RDWR | os.O_NOCTTY)
            try:
                ping = ft.instruction_packet(1, ft.PING)
                sync = ft.instruction_packet(ft.BROADCAST_ID, ft.SYNC_READ, bytes([56, 2, 1, 2, 3, 4]))

                def do_ping() -> None:
                    os.write(fd, ping)
                    _read(fd, 6)

                def do_sync() -> None:
                    os.write(fd, sync)
                    _read(fd, 32)

                suffix = " (wire timing)" if wire_timing else ""
                lines.append(_report("serial ping" + suffix, _measure(do_ping, count)))
                lines.append(_report("serial sync read of 4 positions" + suffix, _measure(do_sync, count)))
            finally:
                os.close(fd)
            with VcanEndpoint(torso.can_interface, torso.vcan_dir) as bus:
                request = Frame(0x7FF, bytes([2, 0, 0xCC, 0, 0, 0, 0, 0]))

                def do_feedback() -> None:
                    bus.send(request)
                    if bus.recv(1.0) is None:
                        raise TimeoutError("no feedback")

                lines.append(_report("CAN feedback request" + suffix, _measure(do_feedback, count)))
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python bench/sim_latency_bench.py", description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=2000, help="round trips per figure (default 2000)")
    args = parser.parse_args(argv)
    for line in run(args.count):
        print(line, flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
