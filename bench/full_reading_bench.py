"""How long one full reading of the ten joints takes, against the virtual torso with wire timing. Prints, asserts nothing.

    python bench/full_reading_bench.py [--rounds R] [--python PY ...]

Compares, side by side in one run:

  - the serial part alone (read_all_positions): the floor of a full reading;
  - a synchronous full reading: read_torso_position() where the module has it,
    and read_all_positions() + read_neck_positions() one after the other;
  - the vendor Feetech SDK (feetech-servo-sdk) with python-can, the way a
    plain Python client reads the same ten joints (needs both installed:
    python -m pip install -r bench/requirements.txt);
  - the loop's reading (its read_dt at a 5 ms period).

Medians of each, CPU time per reading of the calling process, and ratios. With
several --python interpreters (each an environment with its own build of the
module and simulator, e.g. an older build's), their blocks alternate in the
same run, so the machine's noise hits them alike. Each block is a fresh
virtual torso in a worker process, whose bus processes get a processor each
(VirtualTorso's bus_cpus, where the environment's simulator has it; --float
lets them float). Run it on an otherwise idle machine.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys
import time



def worker(calls: int, loop_seconds: float, pin: bool) -> dict[str, list[float]]:
    import logging

    from velmora_sim import VirtualTorso, preload_library

    if "libvelmora_vcan" not in os.environ.get("LD_PRELOAD", ""):
        # The module opens its CAN sockets through the stand-in, which must be loaded from the start.
        os.environ["LD_PRELOAD"] = preload_library()
        os.execv(sys.executable, [sys.executable] + sys.argv)
    import velmora_motor_controller as vmc

    logging.getLogger("velmora_motor_controller").setLevel(logging.ERROR)
    out: dict[str, list[float]] = {}

    def timed(name: str, fn) -> None:
        cpu, wall = time.process_time(), time.perf_counter()
        try:
            fn()
        except RuntimeError:
            out.setdefault(name + " failed", []).append(1.0)  # counted, not timed
            return
        out.setdefault(name, []).append(time.perf_counter() - wall)
        out.setdefault(name + " cpu", []).append(time.process_time() - cpu)

    import inspect

    options = {}
    cpus = sorted(os.sched_getaffinity(0))
    if pin and len(cpus) >= 2 and "bus_cpus" in inspect.signature(VirtualTorso).parameters:
        options["bus_cpus"] = (cpus[-2], cpus[-1])
    with VirtualTorso(wire_timing=True, **options) as torso:
        ctl = vmc.VelmoraMotorController(torso.serial_device, torso.can_interface)
        for _ in range(5):  # every joint's turn known (a reply lost to a loaded machine is asked for again)
            try:
                ctl.read_neck_positions()
                break
            except RuntimeError:
                time.sleep(0.01)
        clients = {"serial part alone": ctl.read_all_positions,
                   "both reads, one after the other": lambda: (ctl.read_all_positions(), ctl.read_neck_positions())}
        if hasattr(ctl, "read_torso_position"):
            clients["read_torso_position"] = ctl.read_torso_position
        vendor = vendor_client(torso)
        if vendor is not None:
            clients["vendor SDK + python-can"] = vendor
        for _ in range(calls):  # interleaved call by call
            for name, fn in clients.items():
                timed(name, fn)
                time.sleep(0.001)
        ctl.close()
        loop = vmc.VelmoraPyControlLoop(torso.serial_device, datetime.timedelta(milliseconds=5), torso.can_interface,
                                        stats_pub_period=datetime.timedelta(milliseconds=50))
        time.sleep(loop_seconds)
        stats = loop.get_stats()
        loop.close()
        out["loop read_dt"] = list(stats.read_dt)[1:]
    return out


def vendor_client(torso):
    """Seven servos by the vendor SDK's two sync reads, then three neck feedback requests by python-can."""
    try:
        import can
        import scservo_sdk as sdk
    except ImportError:
        return None
    port = sdk.PortHandler(torso.serial_device)
    port.openPort()
    port.setBaudRate(1_000_000)
    packets = sdk.PacketHandler(0)
    groups = []
    for ids in ((1, 2, 3, 4), (5, 6, 7)):
        group = sdk.GroupSyncRead(port, packets, 56, 2)
        for i in ids:
            group.addParam(i)
        groups.append((group, ids))
    bus = can.Bus(interface="socketcan", channel=torso.can_interface)

    def read() -> list[float]:
        positions = []
        for group, ids in groups:
            if group.txRxPacket() != sdk.COMM_SUCCESS:
                raise RuntimeError("sync read failed")
            positions += [group.getData(i, 56, 2) for i in ids]
        # Alone on its bus, a client would find no frames but its own replies: drop what the other
        # clients' readings left in its socket.
        while bus.recv(0) is not None:
            pass
        for motor in (1, 2, 3):
            bus.send(can.Message(arbitration_id=0x7FF, data=[motor, 0, 0xCC, 0, 0, 0, 0, 0], is_extended_id=False))
            deadline = time.monotonic() + 0.02
            while True:
                left = deadline - time.monotonic()
                reply = bus.recv(left) if left > 0 else None
                if reply is None:
                    raise RuntimeError("no feedback")
                if reply.arbitration_id == motor:
                    positions.append(reply.data[1] << 8 | reply.data[2])
                    break
        return positions

    return read


def run_block(python: str, calls: int, loop_seconds: float, preload: str, pin: bool) -> dict[str, list[float]]:
    done = subprocess.run([python, os.path.abspath(__file__), "--worker", "--calls", str(calls),
                           "--loop-seconds", str(loop_seconds)] + ([] if pin else ["--float"]),
                          capture_output=True, text=True, timeout=300,
                          cwd="/", env=dict(os.environ, LD_PRELOAD=preload))
    if done.returncode != 0:
        raise RuntimeError(f"{python}: worker failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def median_us(values: list[float]) -> float:
    return statistics.median(values) * 1e6


def report(label: str, samples: dict[str, list[float]]) -> None:
    serial = median_us(samples["serial part alone"])
    print(f"  {label}")
    print(f"    {'client':34s} {'median':>9s} {'x serial':>9s} {'CPU/reading':>12s}")
    for name in ("serial part alone", "read_torso_position", "both reads, one after the other",
                 "vendor SDK + python-can", "loop read_dt"):
        if not samples.get(name):
            continue
        m = median_us(samples[name])
        cpu = f"{median_us(samples[name + ' cpu']):9.0f} us" if name + " cpu" in samples else ""
        failed = len(samples.get(name + " failed", []))
        note = f"  ({failed} of {failed + len(samples[name])} failed)" if failed else ""
        print(f"    {name:34s} {m:6.0f} us {m / serial:8.2f}x {cpu:>12s}{note}")
    sync = "read_torso_position" if samples.get("read_torso_position") else "both reads, one after the other"
    if samples.get("vendor SDK + python-can"):
        print(f"    vendor SDK + python-can / {sync}: "
              f"{median_us(samples['vendor SDK + python-can']) / median_us(samples[sync]):.2f}x")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5, help="blocks per interpreter (alternating)")
    ap.add_argument("--calls", type=int, default=150, help="readings of each client per block")
    ap.add_argument("--loop-seconds", type=float, default=0.6)
    ap.add_argument("--python", action="append", help="interpreter of an environment to measure (repeatable; "
                                                       "default: this one)")
    ap.add_argument("--float", action="store_true",
                    help="let the simulator's bus processes float instead of giving each a processor")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(args.calls, args.loop_seconds, not args.float)))
        return
    pythons = args.python or [sys.executable]
    # Every environment's blocks run on this one's CAN stand-in: older ones lose the receive time stamps
    # python-can asks for before it binds.
    from velmora_sim import preload_library

    preload = preload_library()
    merged: dict[str, dict[str, list[float]]] = {p: {} for p in pythons}
    load = [os.getloadavg()[0]]
    for _ in range(args.rounds):
        for p in pythons:
            for name, values in run_block(p, args.calls, args.loop_seconds, preload, not args.float).items():
                merged[p].setdefault(name, []).extend(values)
            load.append(os.getloadavg()[0])
    where = "floating" if args.float else "a processor each where the simulator allows it"
    print(f"full readings, wire timing, simulator bus processes {where}, {args.rounds} alternating blocks per environment "
          f"(load average {min(load):.1f} to {max(load):.1f}):")
    for p in pythons:
        report(p, merged[p])


if __name__ == "__main__":
    main()
