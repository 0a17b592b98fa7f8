"""Whether the virtual torso's two buses work side by side, as the robot's do. Prints, asserts nothing.

    python bench/sim_buses_bench.py [--rounds R] [--other-sim PATH]

Run it on an otherwise idle machine.

Times the serial part of a reading (read_all_positions, wire timing on) alone and
with three CAN feedback requests put on the neck's bus just before it, in
alternating calls. On the robot the two buses are independent hardware, so the
ratio is 1.00; a simulator that serves both buses from one process holds the
servos' replies back while it handles the CAN frames, and two processes that
share the processors with the client hold each other back too; with a
processor each (VirtualTorso's bus_cpus) they do not.

--other-sim names another installed velmora_sim package folder (for instance
the one of an older build's environment); its torso is measured in alternating
blocks with this one's, in the same run.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import socket
import statistics
import struct
import sys
import time
from types import ModuleType

import velmora_motor_controller as vmc
import velmora_sim
from preloaded import ensure_preloaded

ensure_preloaded()


def load_package(name: str, folder: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location(name, os.path.join(folder, "__init__.py"),
                                                  submodule_search_locations=[folder])
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def feedback_request(can_id: int) -> bytes:
    return struct.pack("=IB3x8s", 0x7FF, 8, bytes([can_id, 0, 0xCC, 0, 0, 0, 0, 0]))


def block(torso_class, samples: dict[bool, list[float]], calls: int, bus_cpus) -> None:
    requests = [feedback_request(i) for i in (1, 2, 3)]
    with torso_class(wire_timing=True, **({"bus_cpus": bus_cpus} if bus_cpus else {})) as torso:
        ctl = vmc.VelmoraMotorController(torso.serial_device, torso.can_interface)
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as can:
            can.bind((torso.can_interface,))
            can.setblocking(False)
            for k in range(calls):
                busy = k % 2 == 1
                if busy:
                    for r in requests:
                        can.send(r)
                start = time.perf_counter()
                try:
                    ctl.read_all_positions()
                except RuntimeError:
                    continue  # a reply lost to a loaded machine: not a figure
                samples[busy].append(time.perf_counter() - start)
                time.sleep(0.002)
                try:
                    while True:
                        can.recv(16)
                except BlockingIOError:
                    pass
        ctl.close()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--calls", type=int, default=300)
    ap.add_argument("--other-sim", metavar="PATH", help="folder of another installed velmora_sim package")
    args = ap.parse_args()
    cpus = sorted(os.sched_getaffinity(0))
    torsos = {"this simulator": (velmora_sim.VirtualTorso, None)}
    if len(cpus) >= 2:
        torsos["this one, bus_cpus"] = (velmora_sim.VirtualTorso, (cpus[-2], cpus[-1]))
    if args.other_sim:
        torsos["the other simulator"] = (load_package("velmora_sim_other", args.other_sim).VirtualTorso, None)
    results = {label: {False: [], True: []} for label in torsos}
    for _ in range(args.rounds):
        for label, (torso_class, bus_cpus) in torsos.items():
            block(torso_class, results[label], args.calls, bus_cpus)
    print(f"serial part with wire timing, median over {args.rounds} alternating blocks (load {os.getloadavg()[0]:.1f}):")
    for label, samples in results.items():
        alone, busy = statistics.median(samples[False]) * 1e6, statistics.median(samples[True]) * 1e6
        print(f"  {label:22s} alone {alone:6.0f} us, with three CAN requests in flight {busy:6.0f} us"
              f"  -> {busy / alone:.2f}x (independent buses: 1.00x)")


if __name__ == "__main__":
    main()
