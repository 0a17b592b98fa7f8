"""The loop at 500 Hz with wire timing while a CPU hog keeps every core busy, with and without set_realtime.
Prints, asserts nothing.

    python bench/realtime_bench.py [--rounds R] [--seconds S] [--priority P] [--python PY ...]

One hog process per core spins for the whole run. In alternating slices a
fresh loop runs for S seconds as an ordinary thread, then one under
set_realtime(P); the period error |period - 2 ms| of its ticks is reported as
p50, p99 and max, with the ratio of the two. With several --python
interpreters (environments with other builds), each one's ordinary loop gets
its own slices in the same rotation; builds without set_realtime run only
those. SCHED_FIFO needs CAP_SYS_NICE or RLIMIT_RTPRIO (root has it).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

HZ = 500
HOG = "while True: pass"


def worker(seconds: float, priority: int | None, sim_fifo: bool) -> dict[str, object]:
    import datetime
    import logging
    import time

    from velmora_sim import VirtualTorso, preload_library

    if "libvelmora_vcan" not in os.environ.get("LD_PRELOAD", ""):
        os.environ["LD_PRELOAD"] = preload_library()
        os.execv(sys.executable, [sys.executable] + sys.argv)
    import velmora_motor_controller as vmc

    logging.getLogger("velmora_motor_controller").setLevel(logging.ERROR)
    # Real hardware never waits for a CPU: with sim_fifo the hogs cannot slow the simulated motors down.
    with VirtualTorso(wire_timing=True, realtime=sim_fifo) as torso:
        loop = vmc.VelmoraPyControlLoop(torso.serial_device, datetime.timedelta(microseconds=1_000_000 // HZ),
                                        torso.can_interface, stats_pub_period=datetime.timedelta(milliseconds=100))
        if priority is not None:
            if not hasattr(loop, "set_realtime"):
                loop.close()
                return {"skipped": "this build has no set_realtime"}
            loop.set_realtime(priority)
        time.sleep(seconds)
        stats = loop.get_stats()
        loop.close()
    return {"period": list(stats.period)[1:]}


def pct(values: list[float], q: float) -> float:
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q / 100 * (len(s) - 1))))]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--priority", type=int, default=80)
    ap.add_argument("--no-hog", action="store_true", help="the same without the CPU hog")
    ap.add_argument("--python", action="append", help="interpreter of an environment to measure (repeatable)")
    ap.add_argument("--sim-fifo", action="store_true",
                    help="run the simulator's processes under SCHED_FIFO priority 1, so the hog cannot slow the "
                         "simulated hardware down and only the loop thread's own scheduling is measured")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--rt", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(args.seconds, args.rt, args.sim_fifo)))
        return
    pythons = args.python or [sys.executable]
    cases = [(p, None) for p in pythons] + [(p, args.priority) for p in pythons]
    errors: dict[tuple[str, int | None], list[float]] = {c: [] for c in cases}
    skipped: set[tuple[str, int | None]] = set()
    hogs = [] if args.no_hog else [subprocess.Popen([sys.executable, "-c", HOG]) for _ in range(os.cpu_count() or 1)]
    load = []
    try:
        for _ in range(args.rounds):
            for python, rt in cases:
                if (python, rt) in skipped:
                    continue
                cmd = [python, os.path.abspath(__file__), "--worker", "--seconds", str(args.seconds)]
                if args.sim_fifo:
                    cmd.append("--sim-fifo")
                if rt is not None:
                    cmd += ["--rt", str(rt)]
                done = subprocess.run(cmd, capture_output=True, text=True, timeout=120, cwd="/")
                if done.returncode != 0:
                    raise RuntimeError(f"worker failed:\n{done.stderr}")
                result = json.loads(done.stdout.splitlines()[-1])
                if "skipped" in result:
                    skipped.add((python, rt))
                    continue
                errors[(python, rt)] += [abs(s - 1 / HZ) * 1e3 for s in result["period"]]
                load.append(os.getloadavg()[0])
    finally:
        for h in hogs:
            h.kill()
            h.wait()
    hog = ("no hog" if args.no_hog else f"{len(hogs)} hog processes") + (", simulator under SCHED_FIFO 1" if args.sim_fifo else "")
    print(f"loop at {HZ} Hz, wire timing, {hog}, {args.rounds} alternating slices of {args.seconds:g} s "
          f"(load average {min(load, default=0):.1f} to {max(load, default=0):.1f}):")
    for python in pythons:
        plain = errors[(python, None)]
        print(f"  {python}")
        for rt in (None, args.priority):
            e = errors[(python, rt)]
            if not e:
                continue
            label = "ordinary thread" if rt is None else f"set_realtime({rt})"
            ratio = "" if rt is None else (f"   (p99 {pct(plain, 99) / pct(e, 99):.1f}x, "
                                           f"max {max(plain) / max(e):.1f}x lower)")
            print(f"    {label:17s} |period error| ms  p50 {pct(e, 50):.3f}  p99 {pct(e, 99):.3f}  "
                  f"max {max(e):.3f}  ({len(e)} ticks){ratio}")


if __name__ == "__main__":
    main()
