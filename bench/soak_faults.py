"""A loop at 200 Hz on the virtual torso for ten minutes, with a random fault every few seconds: the
serial adapter pulled and plugged in again, the CAN interface removed and restored, a servo
brown-out. Prints, asserts nothing.

    python bench/soak_faults.py [--minutes M] [--seed S]

Runs with the module installed; re-executes itself with the user-space CAN stand-in preloaded when
it is not. A command every 50 ms writes a sequence number into a harmless servo register (goal time,
address 44), so every command the servos received can be named. It prints:

  - commands lost outside outages: accepted while every device was there (and had been for a second),
    and never received by the servos (must be 0);
  - readings wrong: a good reading that differs from where the simulator holds the joints (must be 0);
  - the longest time from a device's return to the loop's next good reading;
  - log records per outage;
  - the process's RSS and descriptor counts at the start and the end.
"""

from __future__ import annotations

import argparse
import datetime
import logging
import os
import random
import time

import velmora_motor_controller as vmc
from preloaded import ensure_preloaded
from velmora_sim import VirtualTorso

ensure_preloaded()

WRITE = 0x03
GOAL_TIME = 44
SETTLE = 1.0  # a command counts once every device has been back this long
SERVO_RAW = {1: 2100, 2: 1900, 3: 2300, 4: 1700, 5: 2048, 6: 2500, 7: 1500}
NECK = (0.1, 0.2, -0.1)


class Counting(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.messages: list[str] = []

    @property
    def count(self) -> int:
        return len(self.messages)

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(f"{record.levelname} {record.name.rsplit('.', 1)[-1]}: {record.getMessage()}")


def process_figures() -> tuple[int, int]:
    with open("/proc/self/status", encoding="ascii") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return rss, len(os.listdir("/proc/self/fd"))


def received_sequence_numbers(torso: VirtualTorso) -> set[int]:
    seen = set()
    for p in torso.serial_rx():
        if len(p) >= 9 and p[2] == 1 and p[4] == WRITE and p[5] == GOAL_TIME:
            seen.add(p[6] | p[7] << 8)
    return seen


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    log = Counting()
    for name in ("velmora_motor_controller.controller", "velmora_motor_controller.control_loop"):
        logger = logging.getLogger(name)
        logger.setLevel(logging.INFO)
        logger.addHandler(log)
        logger.propagate = False

    with VirtualTorso(neck_positions=NECK) as torso:
        for sid, raw in SERVO_RAW.items():
            torso.set_servo_position(sid, raw)
        loop = vmc.VelmoraPyControlLoop(torso.serial_device, datetime.timedelta(milliseconds=5),
                                        torso.can_interface, voltage_rampup_timeout=datetime.timedelta(seconds=5))
        expected = loop.get_last_position()
        start_rss, start_fds = process_figures()
        faults = {"serial adapter": (torso.unplug_serial_adapter, torso.replug_serial_adapter),
                  "CAN interface": (torso.remove_can_interface, torso.restore_can_interface),
                  "servo brown-out": (None, None)}
        counted: list[int] = []  # sequence numbers sent while everything was there
        received: set[int] = set()
        recoveries: dict[str, float] = {}
        logs_per_outage: list[int] = []
        busiest: tuple[int, str, list[str]] = (-1, "", [])
        wrong = good = failed = 0
        seq = 0
        quiet_since = time.monotonic()
        end = time.monotonic() + args.minutes * 60
        next_fault = time.monotonic() + rng.uniform(2, 5)

        def tick_for(seconds: float, counting: bool) -> None:
            nonlocal seq, wrong, good, failed
            until = time.monotonic() + seconds
            while time.monotonic() < until:
                seq = (seq + 1) & 0xFFFF
                loop.async_write_raw_bytes(1, GOAL_TIME, [seq & 0xFF, seq >> 8])
                # Not in the last moments before a fault: such a command may meet it in the queue.
                if counting and time.monotonic() - quiet_since > SETTLE and time.monotonic() < until - 0.2:
                    counted.append(seq)
                try:
                    p = loop.get_last_position()
                except RuntimeError:
                    failed += 1
                else:
                    good += 1
                    if any(abs(a - b) > 2e-3 for a, b in zip(p.left_arm + p.right_arm + p.nose + p.neck,
                                                             expected.left_arm + expected.right_arm + expected.nose
                                                             + expected.neck)):
                        wrong += 1
                time.sleep(0.05)
            received.update(received_sequence_numbers(torso))
            torso.clear_logs()

        while time.monotonic() < end:
            tick_for(max(0.0, next_fault - time.monotonic()), counting=True)
            kind = rng.choice(list(faults))
            away = rng.uniform(0.3, 2.0)
            before = log.count
            take, give = faults[kind]
            if take is None:
                torso.brownout_servos(away)
            else:
                take()
            tick_for(away, counting=False)
            if give is not None:
                give()
            back = time.monotonic()
            while True:
                try:
                    loop.get_last_position()
                    if time.monotonic() - back > 0.01:
                        break
                except RuntimeError:
                    pass
                time.sleep(0.002)
            recoveries[kind] = max(recoveries.get(kind, 0.0), time.monotonic() - back)
            quiet_since = time.monotonic()
            tick_for(SETTLE + 0.2, counting=False)
            logs_per_outage.append(log.count - before)
            if logs_per_outage[-1] > busiest[0]:
                busiest = (logs_per_outage[-1], kind, log.messages[before:])
            next_fault = time.monotonic() + rng.uniform(2, 5)
        loop.close()
        time.sleep(0.1)
        received.update(received_sequence_numbers(torso))
        end_rss, end_fds = process_figures()

    lost = [s for s in counted if s not in received]
    print(f"soak: {args.minutes:g} min at 200 Hz, {len(logs_per_outage)} faults, seed {args.seed}")
    print(f"  commands lost outside outages   {len(lost)} of {len(counted)}")
    print(f"  readings wrong                  {wrong} of {good} good ({failed} failed, in outages)")
    for kind, seconds in sorted(recoveries.items()):
        print(f"  longest recovery, {kind:<16} {seconds * 1000:.0f} ms")
    if logs_per_outage:
        print(f"  log records per outage          min {min(logs_per_outage)}, max {max(logs_per_outage)}")
        print(f"  the busiest outage ({busiest[1]}) logged:")
        for line in busiest[2]:
            print(f"    {line}")
    print(f"  RSS                             {start_rss} kB -> {end_rss} kB")
    print(f"  descriptors                     {start_fds} -> {end_fds}")


if __name__ == "__main__":
    main()
