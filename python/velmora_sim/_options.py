"""The command line's options: the torso to start, and the faults and outages to put it through."""

from __future__ import annotations

import argparse
import time

from .torso import VirtualTorso

USAGE = """\
velmora-sim [options]                   run a virtual torso until Ctrl-C (commands on stdin; 'help')
velmora-sim [options] run -- PROGRAM... run PROGRAM against a virtual torso and exit with its status"""


def _id_count(text: str) -> tuple[int, int]:
    sid, _, count = text.partition(":")
    return int(sid), int(count or 1)


def _id_value(text: str) -> tuple[int, str]:
    sid, sep, value = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected ID=VALUE, got {text!r}")
    return int(sid), value


def _ramp(text: str) -> tuple[int, int, float]:
    try:
        start, end, seconds = text.split(":")
        return int(start), int(end), float(seconds)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected START:END:SECONDS in decivolts and seconds, got {text!r}") from None


def _power_cycle(text: str) -> tuple[int, int, float]:
    try:
        target, _, seconds = text.partition("@")
        cid, _, turn = target.partition(":")
        return int(cid), int(turn or 0), float(seconds or 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected CAN_ID[:TURN][@SECONDS], got {text!r}") from None


def _three_floats(text: str) -> tuple[float, float, float]:
    values = [float(v) for v in text.split(",")]
    if len(values) != 3:
        raise argparse.ArgumentTypeError("expected YAW,PITCH,ROLL in radians")
    return values[0], values[1], values[2]


def _outage(text: str) -> tuple[float, float]:
    try:
        at, seconds = (float(v) for v in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected AT:SECONDS, got {text!r}") from None
    if not (at >= 0 and seconds > 0):
        raise argparse.ArgumentTypeError(f"AT must be 0 or more and SECONDS more than 0, got {text!r}")
    return at, seconds


def _overlap(outages: list[tuple[float, float]]) -> tuple[float, float] | None:
    """The first outage that starts before the one before it has ended; such a pair would merge into one."""
    ordered = sorted(outages)
    for (at, seconds), later in zip(ordered, ordered[1:]):
        if later[0] < at + seconds:
            return later
    return None


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="velmora-sim", usage=USAGE,
                                description="A virtual Velmora torso: seven servos on a pseudo-terminal and three "
                                            "neck motors on a user-space CAN interface, with faults on demand.")
    g = p.add_argument_group("torso")
    g.add_argument("--trace", nargs="?", const="-", metavar="FILE",
                   help="print every packet and frame, decoded, to standard error (or append to FILE)")
    g.add_argument("--wire-timing", action="store_true",
                   help="replies take the time of a 1 Mbaud serial line and a 1 Mbit/s CAN bus")
    g.add_argument("--no-servos", action="store_true", help="neck motors only, no serial device")
    g.add_argument("--neck-start", type=_three_floats, metavar="YAW,PITCH,ROLL",
                   help="power-up neck positions in radians (multi-turn, e.g. 6.30,0.02,-6.27)")
    g.add_argument("--reboot-time", type=float, default=0.05, metavar="SECONDS",
                   help="how long a rebooting servo stays silent (default 0.05)")
    g.add_argument("--can-interface", metavar="NAME", help="interface name (default: a unique vtorsoXXXX)")
    g.add_argument("--vcan-dir", metavar="DIR", help="hub socket directory (default $VELMORA_VCAN_DIR or /tmp/velmora-vcan)")
    g.add_argument("--kernel-can", action="store_true", help="serve the kernel CAN interface --can-interface instead")
    f = p.add_argument_group("faults and timing")
    f.add_argument("--unplug-servo", type=int, action="append", default=[], metavar="ID")
    f.add_argument("--unplug-motor", type=int, action="append", default=[], metavar="CAN_ID")
    f.add_argument("--block-motor", type=int, action="append", default=[], metavar="CAN_ID",
                   help="the joint cannot move")
    f.add_argument("--refuse-mode-switch", type=int, action="append", default=[], metavar="CAN_ID")
    f.add_argument("--motor-mode", type=_id_value, action="append", default=[], metavar="CAN_ID=MODE",
                   help="power up a motor in another control mode (1 MIT, 2 position-velocity, 3 velocity, "
                        "4 force-position)")
    f.add_argument("--voltage", type=int, metavar="DECIVOLTS", help="supply voltage of all servos, e.g. 95")
    f.add_argument("--servo-voltage", type=_id_value, action="append", default=[], metavar="ID=DECIVOLTS")
    f.add_argument("--voltage-ramp", type=_ramp, metavar="START:END:SECONDS",
                   help="supply rising after power-on, e.g. 0:121:3")
    f.add_argument("--servo-position", type=_id_value, action="append", default=[], metavar="ID=RAW")
    f.add_argument("--servo-delay", type=float, metavar="SECONDS", help="extra reply time of every servo")
    f.add_argument("--motor-delay", type=float, metavar="SECONDS", help="extra reply time of every motor")
    f.add_argument("--corrupt-reply", type=_id_count, action="append", default=[], metavar="ID[:COUNT]",
                   help="next replies of the servo carry a wrong checksum")
    f.add_argument("--wrong-id-reply", type=_id_count, action="append", default=[], metavar="ID[:COUNT]")
    f.add_argument("--out-of-order-sync-read", type=int, metavar="COUNT")
    f.add_argument("--stray-reply", type=_id_count, action="append", default=[], metavar="CAN_ID[:COUNT]",
                   help="the motor's next feedback replies each follow a stray register reply")
    f.add_argument("--power-cycle-motor", type=_power_cycle, action="append", default=[],
                   metavar="CAN_ID[:TURN][@SECONDS]",
                   help="the motor loses power (SECONDS after start) and comes back disabled, its counter on TURN")
    f.add_argument("--noise", metavar="HEX", help="stale bytes on the serial line once started")
    o = p.add_argument_group("outages (AT seconds after the torso started, for SECONDS; each may be repeated)")
    o.add_argument("--serial-outage", type=_outage, action="append", default=[], metavar="AT:SECONDS",
                   help="the serial adapter is pulled out, then plugged in again (a new pseudo-terminal behind "
                        "the same path)")
    o.add_argument("--can-outage", type=_outage, action="append", default=[], metavar="AT:SECONDS",
                   help="the CAN interface is removed, then restored under the same name")
    o.add_argument("--brownout", type=_outage, action="append", default=[], metavar="AT:SECONDS",
                   help="every servo is silent, then back as after a reboot (torque off, lock set)")
    return p


def check_outages(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    for option in ("serial_outage", "can_outage", "brownout"):
        clash = _overlap(getattr(args, option))
        if clash is not None:
            parser.error(f"--{option.replace('_', '-')} {clash[0]:g}:{clash[1]:g} starts before the one "
                         "before it has ended")


def schedule_outages(torso: VirtualTorso, args: argparse.Namespace) -> None:
    """Each outage at its time since the torso started (its trace time), however long starting took."""
    def after(at: float) -> float:
        return torso.trace_epoch + at - time.monotonic()

    for at, seconds in args.serial_outage:
        torso.unplug_serial_adapter(after(at))
        torso.replug_serial_adapter(after(at + seconds))
    for at, seconds in args.can_outage:
        torso.remove_can_interface(after(at))
        torso.restore_can_interface(after(at + seconds))
    for at, seconds in args.brownout:
        torso.brownout_servos(seconds, after(at))


def start_torso(args: argparse.Namespace) -> VirtualTorso:
    torso = VirtualTorso(trace=args.trace, wire_timing=args.wire_timing, servos=not args.no_servos,
                         neck_positions=args.neck_start, reboot_time=args.reboot_time,
                         can_interface=args.can_interface, vcan_dir=args.vcan_dir, kernel_can=args.kernel_can)
    try:
        for sid in args.unplug_servo:
            torso.unplug_servo(sid)
        for cid in args.unplug_motor:
            torso.unplug_motor(cid)
        for cid in args.block_motor:
            torso.block_motor(cid)
        for cid in args.refuse_mode_switch:
            torso.refuse_mode_switch(cid)
        for cid, mode in args.motor_mode:
            torso.set_motor_mode(cid, int(mode))
        if args.voltage is not None:
            torso.set_voltage(None, args.voltage)
        for sid, value in args.servo_voltage:
            torso.set_voltage(sid, int(value))
        if args.voltage_ramp:
            torso.ramp_voltage(*args.voltage_ramp)
        for sid, value in args.servo_position:
            torso.set_servo_position(sid, int(value))
        if args.servo_delay is not None:
            torso.set_servo_reply_delay(args.servo_delay)
        if args.motor_delay is not None:
            torso.set_motor_reply_delay(args.motor_delay)
        for sid, count in args.corrupt_reply:
            torso.corrupt_next_reply(sid, count)
        for sid, count in args.wrong_id_reply:
            torso.wrong_id_next_reply(sid, count)
        if args.out_of_order_sync_read:
            torso.out_of_order_sync_read(args.out_of_order_sync_read)
        if args.noise:
            torso.inject_serial_noise(bytes.fromhex(args.noise))
        for cid, count in args.stray_reply:
            torso.stray_register_reply(cid, count)
        for cid, turn, seconds in args.power_cycle_motor:
            torso.power_cycle_motor(cid, turn, seconds)
        schedule_outages(torso, args)
    except BaseException:
        torso.close()
        raise
    return torso
