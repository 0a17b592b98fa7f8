"""What recording costs the loop: a 500 Hz loop on the virtual torso with wire timing, in slices with
recording off, on, and on with the bus traffic, interleaved in one run. Prints, asserts nothing.

    python bench/recording_bench.py [--slice S] [--rounds R] [--drop-seconds D]

Runs with the module installed; re-executes itself with the user-space CAN stand-in preloaded when
it is not. For each mode: the period error (|period - 2 ms|, p50, p99, max) from the loop's own
period samples, and the loop thread's CPU time per second (/proc/self/task/<tid>/schedstat); then
the records dropped in a recording with bus traffic of D seconds (60 by default).
"""

from __future__ import annotations

import argparse
import datetime
import logging
import os
import tempfile
import time

import velmora_motor_controller as vmc
from preloaded import ensure_preloaded
from velmora_sim import VirtualTorso

ensure_preloaded()

logging.getLogger("velmora_motor_controller").setLevel(logging.ERROR)

PERIOD = 0.002
MODES = ("off", "on", "on + bus traffic")


def pct(values: list[float], q: float) -> float:
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q / 100 * (len(s) - 1))))]


def loop_thread() -> str:
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm", encoding="ascii") as f:
            if f.read().strip() == "velmora-loop":
                return tid
    raise RuntimeError("no thread named velmora-loop")


def cpu_seconds(tid: str) -> float:
    with open(f"/proc/self/task/{tid}/schedstat", encoding="ascii") as f:
        return int(f.read().split()[0]) / 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--slice", type=float, default=5.0, help="seconds per slice")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--drop-seconds", type=float, default=60.0)
    args = parser.parse_args()
    errors: dict[str, list[float]] = {m: [] for m in MODES}
    cpu: dict[str, float] = {m: 0.0 for m in MODES}
    with VirtualTorso(wire_timing=True) as torso, tempfile.TemporaryDirectory() as tmp:
        loop = vmc.VelmoraPyControlLoop(torso.serial_device, datetime.timedelta(milliseconds=2), torso.can_interface,
                                        stats_pub_period=datetime.timedelta(milliseconds=100))
        tid = loop_thread()
        time.sleep(1.0)
        for r in range(args.rounds):
            for mode in MODES:
                if mode != "off":
                    loop.start_recording(os.path.join(tmp, f"{r}-{mode}.mcap"), bus_traffic=mode != "on")
                before = len(loop.get_stats().period)
                c0, t0 = cpu_seconds(tid), time.monotonic()
                time.sleep(args.slice)
                c1, t1 = cpu_seconds(tid), time.monotonic()
                stats = loop.get_stats()
                if mode != "off":
                    loop.stop_recording()
                errors[mode] += [abs(p - PERIOD) * 1e3 for p in stats.period[before + 1:]]
                cpu[mode] += (c1 - c0) / (t1 - t0) / args.rounds
        print(f"500 Hz loop, wire timing, {args.rounds} rounds of {args.slice:g} s per mode, interleaved")
        off_p99 = pct(errors["off"], 99)
        for mode in MODES:
            e = errors[mode]
            print(f"  recording {mode:<17} |period error| ms p50={pct(e, 50):.3f} p99={pct(e, 99):.3f} "
                  f"max={max(e):.3f}  p99 ratio {pct(e, 99) / off_p99:.2f}  loop thread CPU {cpu[mode] * 100:.1f} %")
        path = os.path.join(tmp, "long.mcap")
        loop.start_recording(path, bus_traffic=True)
        time.sleep(args.drop_seconds)
        counts = loop.stop_recording()
        print(f"  {args.drop_seconds:g} s with bus traffic: {counts['dropped']} records dropped of "
              f"{sum(v for k, v in counts.items() if k != 'dropped')} written; {os.path.getsize(path) / 1e6:.1f} MB")
        loop.close()


if __name__ == "__main__":
    main()
