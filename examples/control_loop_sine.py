"""Drive the arms and the neck through a slow sinusoid with the background control loop.

    python examples/control_loop_sine.py [--serial /dev/ttyUSB0] [--can can0] [--seconds 10]

The serial device and CAN interface default to $VELMORA_SERIAL and $VELMORA_CAN
(then "/dev/ttyUSB0" and "can0"). Against the virtual torso:

    python -m velmora_sim run -- python examples/control_loop_sine.py --seconds 3

The loop reads all ten joints every 10 ms; this program queues new goals at
50 Hz, prints the last reading a few times a second and the timing statistics
at the end. Torque is switched off again on exit. With --record FILE the loop
records everything it does into FILE (look at it with `velmora-recording plot
FILE -o plot.png`).
"""

from __future__ import annotations

import argparse
import datetime
import logging
import math
import os
import time

import velmora_motor_controller as vmc


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--serial", default=os.environ.get("VELMORA_SERIAL", "/dev/ttyUSB0"),
                    help="servo bus serial device (env VELMORA_SERIAL)")
    ap.add_argument("--can", default=os.environ.get("VELMORA_CAN", "can0"),
                    help="SocketCAN interface of the neck (env VELMORA_CAN)")
    ap.add_argument("--seconds", type=float, default=10.0, help="how long to move")
    ap.add_argument("--amplitude", type=float, default=0.2, help="arm amplitude in rad")
    ap.add_argument("--frequency", type=float, default=0.2, help="cycles per second")
    ap.add_argument("--record", metavar="FILE", help="record what the loop does into this MCAP file")
    ap.add_argument("--realtime", type=int, metavar="PRIORITY",
                    help="run the loop thread under SCHED_FIFO at this priority (needs CAP_SYS_NICE or rtprio)")
    args = ap.parse_args()

    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")

    loop = vmc.VelmoraPyControlLoop(
        args.serial,
        datetime.timedelta(milliseconds=10),
        can_bus=args.can,
        stats_pub_period=datetime.timedelta(seconds=1),
    )
    try:
        if args.realtime is not None:
            loop.set_realtime(args.realtime)
        if args.record:
            loop.start_recording(args.record)
        print("start:", loop.get_last_position())
        loop.enable_torque()
        loop.enable_neck(True)
        start = time.monotonic()
        next_print = start
        while (now := time.monotonic()) - start < args.seconds:
            s = math.sin(2 * math.pi * args.frequency * (now - start))
            a = args.amplitude * s
            loop.set_arms_position([a, 0.5 * a, -a, -0.5 * a])
            # yaw swings, pitch nods inside its 0..0.45 rad range, roll stays level
            loop.set_neck_position([0.3 * s, 0.2 + 0.15 * s, 0.0])
            if now >= next_print:
                p = loop.get_last_position()
                print(f"t={now - start:5.2f}s left_arm={p.left_arm[0]:+.3f},{p.left_arm[1]:+.3f} "
                      f"right_arm={p.right_arm[0]:+.3f},{p.right_arm[1]:+.3f} "
                      f"neck={p.neck[0]:+.3f},{p.neck[1]:+.3f},{p.neck[2]:+.3f}")
                next_print += 0.25
            time.sleep(0.02)
        loop.set_arms_position([0.0, 0.0, 0.0, 0.0])
        loop.set_neck_position([0.0, 0.2, 0.0])
        time.sleep(1.0)
        print("end:", loop.get_last_position())
        print(loop.get_stats())
        if args.record:
            print("recorded:", loop.stop_recording())
    finally:
        try:
            loop.disable_torque()
            loop.enable_neck(False)
        except RuntimeError:
            pass  # the loop has stopped already
        loop.close()


if __name__ == "__main__":
    main()
