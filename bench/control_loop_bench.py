"""Figures of the background control loop against the virtual torso. Prints, asserts nothing.

    python bench/control_loop_bench.py [--seconds S]

Runs with the module installed (the source tree's velmora_sim has no built
preload library); re-executes itself with the user-space CAN stand-in
preloaded when it is not. Measures:

  1. tick period error and jitter at 100 Hz and 500 Hz, wire timing on
     (from the loop's own period samples);
  2. CPU time of the loop thread at 100 Hz with instant replies
     (/proc/self/task/<tid>/schedstat);
  3. latency from a Python command call to its first byte on the wire
     (simulator trace timestamps);
  4. the cost of each kind of Python call.
"""

from __future__ import annotations

import argparse
import datetime
import logging
import os
import re
import statistics
import time
import timeit

import velmora_motor_controller as vmc
from preloaded import ensure_preloaded
from velmora_sim import VirtualTorso

ensure_preloaded()

# The controller's reboot warnings at every start would drown the figures.
logging.getLogger("velmora_motor_controller").setLevel(logging.ERROR)

ms = lambda n: datetime.timedelta(milliseconds=n)  # noqa: E731


def pct(values, q):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q / 100 * (len(s) - 1))))]


def loop_for(torso, period_ms, **kw):
    return vmc.VelmoraPyControlLoop(torso.serial_device, datetime.timedelta(microseconds=int(period_ms * 1000)),
                                    torso.can_interface, **kw)


def bench_period(hz, seconds, wire_timing=True):
    period = 1.0 / hz
    with VirtualTorso(wire_timing=wire_timing) as torso:
        loop = loop_for(torso, period * 1000, stats_pub_period=ms(100))
        time.sleep(seconds)
        stats = loop.get_stats()
        loop.close()
    samples = stats.period[1:]  # the first tick is due at once
    errors = [abs(s - period) * 1e3 for s in samples]
    # How late each tick started against its absolute deadline (start + k * period):
    # the loop's own scheduling, apart from how long the previous reading took.
    lateness, elapsed = [], 0.0
    for k, s in enumerate(samples, start=1):
        elapsed += s
        lateness.append((elapsed - k * period) * 1e3)
    reads = [s * 1e3 for s in stats.read_dt]
    label = "wire timing" if wire_timing else "instant replies"
    print(f"  {hz:4d} Hz, {label}: {len(samples)} ticks, mean period {statistics.fmean(samples) * 1e3:.4f} ms")
    print(f"      |period error| ms  p50={pct(errors, 50):.3f} p99={pct(errors, 99):.3f} max={max(errors):.3f}")
    print(f"      tick lateness ms   p50={pct(lateness, 50):.3f} p99={pct(lateness, 99):.3f} max={max(lateness):.3f}")
    print(f"      read_dt ms         p50={pct(reads, 50):.3f} p99={pct(reads, 99):.3f} max={max(reads):.3f}")
    return pct(errors, 99)


def thread_cpu_seconds(tid):
    # schedstat counts the thread's time on a CPU in nanoseconds; stat's
    # utime/stime only in whole clock ticks (10 ms), too coarse at 1-2 %.
    try:
        with open(f"/proc/self/task/{tid}/schedstat") as f:
            return int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        with open(f"/proc/self/task/{tid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime


def bench_cpu(seconds):
    with VirtualTorso(wire_timing=False) as torso:
        before = set(os.listdir("/proc/self/task"))
        loop = loop_for(torso, 10)
        new = sorted(set(os.listdir("/proc/self/task")) - before)
        if len(new) != 1:
            print(f"  could not single out the loop thread (new threads: {new})")
            loop.close()
            return None
        tid = new[0]
        time.sleep(0.2)
        c0, t0 = thread_cpu_seconds(tid), time.monotonic()
        time.sleep(seconds)
        c1, t1 = thread_cpu_seconds(tid), time.monotonic()
        loop.close()
    share = (c1 - c0) / (t1 - t0) * 100
    print(f"  loop thread at 100 Hz, instant replies: {share:.2f}% of a core "
          f"({(c1 - c0) * 1e3:.1f} ms CPU in {t1 - t0:.1f} s)")
    return share


TRACE_TIME = re.compile(r"^\s*(\d+\.\d+) (\S+) (\S+)\s+(.*)$")


def trace_events(torso):
    out = []
    for line in torso.trace_lines():
        m = TRACE_TIME.match(line)
        if m:
            out.append((float(m.group(1)), m.group(2), m.group(3), m.group(4)))
    return out


def trace_offset(torso):
    """Parent monotonic time minus trace time, from a note the simulator writes when told to."""
    best = None
    for _ in range(20):
        torso.clear_logs()
        a = time.monotonic()
        torso.set_voltage(None, 120)
        b = time.monotonic()
        notes = [e for e in trace_events(torso) if e[1] == "--"]
        if notes and (best is None or b - a < best[1]):
            best = ((a + b) / 2 - notes[-1][0], b - a)
    return best


def bench_latency(samples):
    with VirtualTorso(wire_timing=True) as torso:
        loop = loop_for(torso, 1000)  # ticks out of the way
        offset, uncertainty = trace_offset(torso)
        results = {}
        for name, bus, call in (
            ("set_neck_yaw_position", "can", lambda i: loop.set_neck_yaw_position(0.001 * i)),
            ("set_left_arm_position", "serial", lambda i: loop.set_left_arm_position([0.001 * i, 0.0])),
        ):
            lat = []
            for i in range(samples):
                time.sleep(0.02)
                torso.clear_logs()
                t = time.monotonic()
                call(i)
                time.sleep(0.01)
                sent = [e for e in trace_events(torso) if e[1] == "->" and e[2] == bus]
                if sent:
                    lat.append((sent[0][0] + offset - t) * 1e6)
            results[name] = lat
            print(f"  {name:22s} -> first {bus} packet: p50={pct(lat, 50):.0f} us p99={pct(lat, 99):.0f} us "
                  f"max={max(lat):.0f} us (n={len(lat)}, clock alignment +/-{uncertainty * 5e5:.0f} us)")
        loop.close()
    return results


def bench_calls(number):
    with VirtualTorso(wire_timing=False) as torso:
        loop = loop_for(torso, 10, stats_pub_period=ms(50))
        time.sleep(1.0)
        p = vmc.VelmoraTorsoPosition([0, 0], [0, 0], [0, 0, 0], [0, 0, 0])
        calls = {
            "get_last_position()": lambda: loop.get_last_position(),
            "is_torque_enabled()": lambda: loop.is_torque_enabled(),
            "get_motor_name_id()": lambda: loop.get_motor_name_id(),
            "get_stats() (~100 samples)": lambda: loop.get_stats(),
            "set_neck_position([..])": lambda: loop.set_neck_position([0.0, 0.1, 0.0]),
            "set_all_goal_positions(p)": lambda: loop.set_all_goal_positions(p),
            "enable_torque_on_ids([1,2])": lambda: loop.enable_torque_on_ids([1, 2]),
            "async_read_raw_bytes (round trip)": lambda: loop.async_read_raw_bytes(1, 21, 3),
            "write_raw_packet (round trip)": lambda: loop.write_raw_packet(b"\xff\xff\x01\x02\x01\xfb"),
            "VelmoraTorsoPosition(...)": lambda: vmc.VelmoraTorsoPosition([0, 0], [0, 0], [0, 0, 0], [0, 0, 0]),
        }
        for name, fn in calls.items():
            command = name.startswith(("set_", "enable_"))
            # commands: small batches, so the queue (100) never fills and the
            # figure is the cost of queueing, not of waiting for room
            n = 20 if command else (number if "round trip" not in name else max(50, number // 50))
            best = float("inf")
            for _ in range(7):
                best = min(best, timeit.timeit(fn, number=n) / n)
                if command:
                    loop.async_read_raw_bytes(1, 5, 1)  # wait until the queue has been worked off
            print(f"  {name:34s} {best * 1e9:10.0f} ns  (best of 7 batches of {n})")
        loop.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=5.0)
    args = ap.parse_args()
    print("1. tick period error (targets: p99 < 1 ms at 100 Hz)")
    bench_period(100, args.seconds)
    bench_period(500, args.seconds)
    bench_period(100, args.seconds, wire_timing=False)
    bench_period(500, args.seconds, wire_timing=False)
    print("2. loop-thread CPU (target: < 2% of a core at 100 Hz)")
    bench_cpu(args.seconds)
    print("3. command call to first byte on the wire (wire timing on)")
    bench_latency(50)
    print("4. cost of Python calls (per call)")
    bench_calls(2000)


if __name__ == "__main__":
    main()
