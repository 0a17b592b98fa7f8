"""How long velmora-doctor takes against the virtual torso with wire timing: every joint answering, and
nothing answering at all (every servo and motor unplugged). Prints, asserts nothing.

    python bench/doctor_bench.py [--runs N]

Two torsos run side by side and the runs alternate between them, so a busy machine slows both alike.
Two figures each: the examination alone (in a child interpreter, after its imports), and the whole
`velmora-doctor --json` process as a user waits for it.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import sysconfig
import time

from velmora_sim import VirtualTorso

EXAMINE = ("import os, time\n"
           "from velmora_doctor.check import examine\n"
           "start = time.perf_counter()\n"
           "report = examine(os.environ['VELMORA_SERIAL'], os.environ['VELMORA_CAN'])\n"
           "print(time.perf_counter() - start, len(report.problems))\n")


def doctor() -> list[str]:
    script = os.path.join(sysconfig.get_path("scripts"), "velmora-doctor")
    return [script] if os.path.isfile(script) else [sys.executable, "-m", "velmora_doctor"]


def one_run(env: dict[str, str]) -> tuple[float, float, int]:
    done = subprocess.run([sys.executable, "-c", EXAMINE], env=env, capture_output=True, text=True, check=True)
    examined, problems = done.stdout.split()
    start = time.perf_counter()
    subprocess.run([*doctor(), "--json"], env=env, capture_output=True, check=False)
    return float(examined), time.perf_counter() - start, int(problems)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20, help="runs per torso (default 20)")
    args = parser.parse_args()
    with VirtualTorso(wire_timing=True) as healthy, VirtualTorso(wire_timing=True) as silent:
        for sid in range(1, 8):
            silent.unplug_servo(sid)
        for cid in (1, 2, 3):
            silent.unplug_motor(cid)
        cases = {"every joint answers": healthy, "nothing answers": silent}
        samples: dict[str, list[tuple[float, float, int]]] = {name: [] for name in cases}
        for _ in range(args.runs):
            for name, torso in cases.items():
                samples[name].append(one_run({**os.environ, **torso.env()}))
    medians = {}
    for name, runs in samples.items():
        examined = sorted(r[0] * 1e3 for r in runs)
        whole = sorted(r[1] * 1e3 for r in runs)
        medians[name] = statistics.median(examined)
        print(f"{name:<20} ({runs[0][2]:>2} problems)  examination p50 {statistics.median(examined):6.1f} ms  "
              f"max {examined[-1]:6.1f} ms   whole process p50 {statistics.median(whole):6.1f} ms  "
              f"max {whole[-1]:6.1f} ms")
    ratio = medians["nothing answers"] / medians["every joint answers"]
    print(f"examination, nothing answering / every joint answering: {ratio:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
