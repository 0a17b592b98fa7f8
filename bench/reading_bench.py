"""How long a reading of the joints takes, against the virtual torso. Prints, asserts nothing.

    python bench/reading_bench.py [--rounds R] [--stats-soak SECONDS]

Runs with the module installed; re-executes itself with the user-space CAN
stand-in preloaded when it is not. Each figure is a ratio of two measurements
taken side by side, in alternating blocks of the same run, so machine noise
hits both sides alike:

  1. a full reading (the loop's read_dt: seven servos and three neck motors)
     against the serial part alone (read_all_positions), per timing profile;
  2. three neck reads (read_neck_positions) against one neck round trip (a
     set_neck_yaw_position on a disabled neck: the same two 8-byte frames and
     the same motor latency as one feedback request), per profile and with
     motors that answer 3 ms late;
  3. the loop at 500 Hz with wire timing: period error p50, p99 and max;
  4. with --stats-soak S: the loop at 1 kHz once its statistics windows are
     full (after S seconds), its p99 period error with and without a Python
     thread calling get_stats() in a tight loop, in alternating slices.
"""

from __future__ import annotations

import argparse
import datetime
import logging
import statistics
import threading
import time

import velmora_motor_controller as vmc
from preloaded import ensure_preloaded
from velmora_sim import VirtualTorso

ensure_preloaded()

logging.getLogger("velmora_motor_controller").setLevel(logging.ERROR)


def pct(values, q):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q / 100 * (len(s) - 1))))]


def timed(fn, n):
    out = []
    for _ in range(n):
        t = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t)
    return out


def loop_for(torso, period_s, **kw):
    return vmc.VelmoraPyControlLoop(torso.serial_device, datetime.timedelta(microseconds=int(period_s * 1e6)),
                                    torso.can_interface, **kw)


def loop_read_dts(torso, seconds, period_s=0.005):
    loop = loop_for(torso, period_s, stats_pub_period=datetime.timedelta(milliseconds=100))
    time.sleep(seconds)
    stats = loop.get_stats()
    loop.close()
    return list(stats.read_dt)


def bench_reading(profile, rounds, motor_delay=0.0):
    wire = profile == "wire"
    serial, three, one, full = [], [], [], []
    with VirtualTorso(wire_timing=wire) as torso:
        if motor_delay:
            torso.set_motor_reply_delay(motor_delay)
        for _ in range(rounds):
            ctl = vmc.VelmoraMotorController(torso.serial_device, torso.can_interface)
            ctl.read_neck_positions()  # the controller has heard from every joint
            for _ in range(40):  # interleaved call by call
                serial += timed(ctl.read_all_positions, 1)
                three += timed(ctl.read_neck_positions, 1)
                one += timed(lambda: ctl.set_neck_yaw_position(0.0), 1)
            del ctl
            full += loop_read_dts(torso, 0.6, period_s=max(0.005, 3 * motor_delay + 0.005))
    label = f"{profile}" + (f", motors {motor_delay * 1e3:.0f} ms late" if motor_delay else "")
    ms = lambda v: v * 1e3  # noqa: E731
    print(f"  {label}:")
    print(f"    serial part (read_all_positions)  p50 {ms(pct(serial, 50)):.3f} ms  p99 {ms(pct(serial, 99)):.3f} ms")
    print(f"    full reading (loop read_dt)       p50 {ms(pct(full, 50)):.3f} ms  p99 {ms(pct(full, 99)):.3f} ms"
          f"   -> {pct(full, 50) / pct(serial, 50):.2f}x the serial part")
    print(f"    one neck round trip               p50 {ms(pct(one, 50)):.3f} ms")
    print(f"    three neck reads                  p50 {ms(pct(three, 50)):.3f} ms"
          f"   -> {pct(three, 50) / pct(one, 50):.2f}x one")


def bench_period(hz, seconds):
    period = 1.0 / hz
    with VirtualTorso(wire_timing=True) as torso:
        loop = loop_for(torso, period, stats_pub_period=datetime.timedelta(milliseconds=100))
        time.sleep(seconds)
        stats = loop.get_stats()
        loop.close()
    samples = stats.period[1:]
    errors = [abs(s - period) * 1e3 for s in samples]
    print(f"  {hz} Hz, wire timing: {len(samples)} ticks in {seconds:.0f} s, mean period "
          f"{statistics.fmean(samples) * 1e3:.4f} ms; |period error| p50 {pct(errors, 50):.3f} ms "
          f"p99 {pct(errors, 99):.3f} ms max {max(errors):.3f} ms")


def bench_stats_soak(fill_seconds, slices=6, slice_seconds=5.0):
    hz = 1000
    period = 1.0 / hz
    with VirtualTorso(wire_timing=False) as torso:
        loop = loop_for(torso, period, stats_pub_period=datetime.timedelta(milliseconds=100))
        time.sleep(fill_seconds)
        filled = len(loop.get_stats().period)
        results = {False: [], True: []}
        for k in range(slices):
            hammer = k % 2 == 1
            stop = threading.Event()
            calls = [0]

            def spin():
                while not stop.is_set():
                    loop.get_stats()
                    calls[0] += 1

            worker = threading.Thread(target=spin) if hammer else None
            t0 = time.monotonic()
            if worker:
                worker.start()
            time.sleep(slice_seconds)
            stop.set()
            if worker:
                worker.join()
            elapsed = time.monotonic() - t0
            stats = loop.get_stats()
            # The newest samples of this slice; ticks per second from their sum.
            recent = stats.period[-int(slice_seconds * hz * 0.9):]
            errors = [abs(s - period) * 1e3 for s in recent]
            tps = len(recent) / sum(recent)
            results[hammer].append((tps, pct(errors, 99), calls[0] / elapsed))
        loop.close()
    print(f"  1 kHz, instant replies, windows holding {filled} samples after {fill_seconds:.0f} s:")
    for hammer in (False, True):
        rows = results[hammer]
        tps = statistics.fmean(r[0] for r in rows)
        p99 = statistics.fmean(r[1] for r in rows)
        extra = f", {statistics.fmean(r[2] for r in rows):.0f} get_stats calls/s" if hammer else ""
        print(f"    {'with' if hammer else 'without'} a get_stats() thread: {tps:.0f} ticks/s, "
              f"p99 period error {p99:.3f} ms{extra}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--cases", default="instant,wire,late,500hz",
                    help="which of instant, wire, late (motors 3 ms late) and 500hz to run")
    ap.add_argument("--stats-soak", type=float, default=0.0,
                    help="fill the statistics windows for this many seconds (110 fills them at 1 kHz)")
    args = ap.parse_args()
    print("1-2. a full reading and the neck reads (targets: full <= 1.15x serial with wire timing; "
          "three neck reads <= 1.3x one)")
    cases = set(args.cases.split(","))
    if "instant" in cases:
        bench_reading("instant", args.rounds)
    if "wire" in cases:
        bench_reading("wire", args.rounds)
    if "late" in cases:
        bench_reading("wire", args.rounds, motor_delay=0.003)
    if "500hz" in cases:
        print("3. the loop at 500 Hz (target: p99 period error < 0.5 ms)")
        bench_period(500, args.seconds)
    if args.stats_soak:
        print("4. statistics under a get_stats() thread")
        bench_stats_soak(args.stats_soak)


if __name__ == "__main__":
    main()
