#!/usr/bin/env python3
"""First steps with the Velmora torso: home the neck, move the arms and the nose, read everything back.

Runs unchanged on a real torso and on the virtual one:

    python3 examples/first_steps.py --serial /dev/ttyUSB0 --can can0
    VELMORA_SERIAL=/dev/ttyUSB0 VELMORA_CAN=can0 python3 examples/first_steps.py
    python3 -m velmora_sim run -- python3 examples/first_steps.py     # virtual torso

The arms and the nose are left with torque on at their zero pose, the neck enabled at its zero.
"""

from __future__ import annotations

import argparse
import io
import logging
import os
import sys
import time
from collections.abc import Sequence

from velmora_motor_controller import VelmoraMotorController

# The joints in the order the module reads them: the servos, then the neck.
SERVO_NAMES = [name for name, bus, _ in VelmoraMotorController.joint_table() if bus == "serial"]
NECK_NAMES = [name for name, bus, _ in VelmoraMotorController.joint_table() if bus == "can"]


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--serial", default=os.environ.get("VELMORA_SERIAL"),
                   help="serial device of the servo bus (default: $VELMORA_SERIAL)")
    p.add_argument("--can", default=os.environ.get("VELMORA_CAN", "can0"),
                   help="CAN interface of the neck (default: $VELMORA_CAN, else can0)")
    p.add_argument("--settle", type=float, default=1.0, help="seconds to let the motors move (default 1.0)")
    args = p.parse_args(argv)
    if not args.serial:
        p.error("no serial device: pass --serial or set VELMORA_SERIAL")
    return args


def show(title: str, names: Sequence[str], values: Sequence[float], unit: str = "rad") -> None:
    print(f"{title}:")
    for name, value in zip(names, values):
        print(f"  {name:<16} {value:+.4f} {unit}")


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)  # keep prints and log lines in order
    # The controller reports clamped neck goals as warnings on this logger.
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")

    print(f"Connecting: servos on {args.serial}, neck on {args.can}")
    robot = VelmoraMotorController(args.serial, args.can)

    show("Servo positions at start", SERVO_NAMES, robot.read_all_positions())
    show("Neck positions at start", NECK_NAMES, robot.read_neck_positions())

    print("Homing the neck to its nearest physical zero ...")
    homed = robot.neck_home()
    show("Neck after homing", NECK_NAMES, homed)

    print("Moving the arms and the nose ...")
    robot.enable_torque()
    robot.set_arms_position([0.3, 0.1, -0.3, -0.1])
    robot.set_nose_position([0.2, -0.1, 0.1])
    print("Tilting the head (the pitch goal is beyond its limit and gets clamped) ...")
    robot.set_neck_position([0.2, 0.6, -0.1])
    time.sleep(args.settle)

    print()
    print(f"Torque on all servos: {robot.is_torque_enabled()}")
    print(f"Neck torque enabled:  {robot.is_neck_torque_enabled()}")
    # All ten joints in one reading, the two buses at once.
    reading = robot.read_torso_position()
    show("Servo positions", SERVO_NAMES, reading.left_arm + reading.right_arm + reading.nose)
    show("Neck positions", NECK_NAMES, reading.neck)
    print("Neck limits:")
    for name, (lower, upper) in zip(NECK_NAMES, robot.neck_position_limits()):
        print(f"  {name:<16} [{lower:+.2f}, {upper:+.2f}] rad")

    print()
    print("Back to zero ...")
    robot.set_all_goal_positions([0.0] * 7)
    robot.set_neck_position([0.0, 0.0, 0.0])
    time.sleep(args.settle)
    show("Servo positions", SERVO_NAMES, robot.read_all_positions())
    show("Neck positions", NECK_NAMES, robot.read_neck_positions())
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except RuntimeError as e:
        print(f"error: {e}", file=sys.stderr)
        sys.exit(1)
