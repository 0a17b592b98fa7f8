"""Command line of the virtual torso.

    velmora-sim [options]                  start it, say where it is, take steering commands on stdin
    velmora-sim [options] run -- PROGRAM   start it, run PROGRAM against it, exit with PROGRAM's status
"""

from __future__ import annotations

import argparse
import os
import shlex
import signal
import subprocess
import sys
from types import FrameType
from typing import TextIO

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
    return p


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
    except BaseException:
        torso.close()
        raise
    return torso


# ---- interactive steering ------------------------------------------------------

HELP = """\
commands:
  state                          servos and neck motors as of now
  unplug servo|motor ID          plug servo|motor ID
  block ID | unblock ID          neck joint cannot move / moves again
  refuse-mode ID | accept-mode ID
  mode ID MODE                   control mode of motor ID (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS)
  voltage DECIVOLTS [SERVO_ID]   ramp START END SECONDS
  position servo ID RAW          position motor ID RADIANS
  servo-delay SECONDS            motor-delay SECONDS
  corrupt ID [COUNT]             wrong-id ID [COUNT]        out-of-order [COUNT]
  stray-reply ID [COUNT]         power-cycle ID [TURN]      (neck motor faults)
  noise HEX                      trace [N]                  clear
  quit"""


def describe_state(torso: VirtualTorso) -> str:
    lines = []
    if torso.serial_device:
        lines.append("servo  present  goal  torque  voltage  offset  lock  link")
        for sid in range(1, 8):
            st = torso.servo_state(sid)
            link = "unplugged" if st["unplugged"] else "rebooting" if st["rebooting"] else "ok"
            lines.append(f"{sid:5}  {st['present']:7}  {st['goal']:4}  {int(st['torque']):6}  {st['voltage'] / 10:6.1f}V  "
                         f"{st['offset']:#06x}  {int(st['locked']):4}  {link}")
    lines.append("motor  position  velocity  enabled  mode  kp      kd     goal     blocked  link")
    for cid in (1, 2, 3):
        m = torso.motor_state(cid)
        lines.append(f"{cid:5}  {m['position']:+8.4f}  {m['velocity']:+8.4f}  {str(m['enabled']):7}  {m['mode']:4}  "
                     f"{m['kp']:6.2f}  {m['kd']:5.3f}  {m['goal']:+7.4f}  {str(m['blocked']):7}  "
                     f"{'unplugged' if m['unplugged'] else 'ok'}")
    return "\n".join(lines)


def execute(torso: VirtualTorso, line: str) -> str | None:
    """Runs one steering command; returns text to print. 'quit' raises EOFError."""
    words = shlex.split(line)
    if not words:
        return None
    cmd, rest = words[0], words[1:]
    n = len(rest)
    if cmd in ("quit", "exit"):
        raise EOFError
    if cmd == "help":
        return HELP
    if cmd == "state":
        return describe_state(torso)
    if cmd in ("unplug", "plug") and n == 2 and rest[0] in ("servo", "motor"):
        (torso.unplug_servo if rest[0] == "servo" else torso.unplug_motor)(int(rest[1]), cmd == "unplug")
    elif cmd in ("block", "unblock") and n == 1:
        torso.block_motor(int(rest[0]), cmd == "block")
    elif cmd in ("refuse-mode", "accept-mode") and n == 1:
        torso.refuse_mode_switch(int(rest[0]), cmd == "refuse-mode")
    elif cmd == "mode" and n == 2:
        torso.set_motor_mode(int(rest[0]), int(rest[1]))
    elif cmd == "voltage" and n in (1, 2):
        torso.set_voltage(int(rest[1]) if n == 2 else None, int(rest[0]))
    elif cmd == "ramp" and n == 3:
        torso.ramp_voltage(int(rest[0]), int(rest[1]), float(rest[2]))
    elif cmd == "position" and n == 3 and rest[0] == "servo":
        torso.set_servo_position(int(rest[1]), int(rest[2]))
    elif cmd == "position" and n == 3 and rest[0] == "motor":
        torso.set_motor_position(int(rest[1]), float(rest[2]))
    elif cmd == "servo-delay" and n == 1:
        torso.set_servo_reply_delay(float(rest[0]))
    elif cmd == "motor-delay" and n == 1:
        torso.set_motor_reply_delay(float(rest[0]))
    elif cmd == "corrupt" and n in (1, 2):
        torso.corrupt_next_reply(int(rest[0]), int(rest[1]) if n == 2 else 1)
    elif cmd == "wrong-id" and n in (1, 2):
        torso.wrong_id_next_reply(int(rest[0]), int(rest[1]) if n == 2 else 1)
    elif cmd == "out-of-order" and n in (0, 1):
        torso.out_of_order_sync_read(int(rest[0]) if n else 1)
    elif cmd == "stray-reply" and n in (1, 2):
        torso.stray_register_reply(int(rest[0]), int(rest[1]) if n == 2 else 1)
    elif cmd == "power-cycle" and n in (1, 2):
        torso.power_cycle_motor(int(rest[0]), int(rest[1]) if n == 2 else 0)
    elif cmd == "noise" and n >= 1:
        torso.inject_serial_noise(bytes.fromhex("".join(rest)))
    elif cmd == "trace" and n in (0, 1):
        return "\n".join(torso.trace_lines()[-(int(rest[0]) if n else 20):])
    elif cmd == "clear" and n == 0:
        torso.clear_logs()
    else:
        return f"unknown command: {line.strip()!r} ('help' lists them)"
    return "ok"


def announce(torso: VirtualTorso, out: TextIO) -> None:
    print(f"velmora-sim: virtual torso running (pid {torso.pid})", file=out)
    print(f"  serial device  {torso.serial_device or '(none: neck only)'}", file=out)
    print(f"  CAN interface  {torso.can_interface}  (hub in {torso.vcan_dir})", file=out)
    env = torso.env()
    if "LD_PRELOAD" not in env:
        print("  warning: libvelmora_vcan.so not found; programs cannot open the CAN interface "
              "(build the velmora_vcan target or set VELMORA_VCAN_PRELOAD)", file=out)
    print("  for a program in another shell:", file=out)
    print("    export " + " ".join(f"{k}={shlex.quote(v)}" for k, v in sorted(env.items())), file=out)
    out.flush()


def serve_foreground(torso: VirtualTorso) -> int:
    announce(torso, sys.stdout)
    interactive = sys.stdin is not None and sys.stdin.isatty()
    if interactive:
        print("type 'help' for commands; Ctrl-C or 'quit' stops", flush=True)
    try:
        while True:
            if interactive:
                print("velmora-sim> ", end="", flush=True)
            line = sys.stdin.readline() if sys.stdin is not None else ""
            if not line:
                # No more commands (stdin closed or not a terminal): run until a signal.
                while True:
                    signal.pause()
            try:
                text = execute(torso, line)
            except EOFError:
                break
            except (ValueError, KeyError, RuntimeError) as e:
                text = f"error: {e}"
            if text:
                print(text, flush=True)
    except KeyboardInterrupt:
        pass
    return 0


def run_program(torso: VirtualTorso, program: list[str]) -> int:
    env = dict(os.environ)
    env.update(torso.env())
    if "LD_PRELOAD" not in env or not env["LD_PRELOAD"]:
        print("velmora-sim: warning: libvelmora_vcan.so not found; the program cannot open the CAN interface",
              file=sys.stderr)
    # Ctrl-C reaches the program through the terminal; we wait for it to finish and report its status.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        try:
            process = subprocess.Popen(program, env=env)
        except OSError as e:
            print(f"velmora-sim: cannot run {program[0]}: {e.strerror or e}", file=sys.stderr)
            return 127 if isinstance(e, FileNotFoundError) else 126
        # A termination request is passed on: the program decides how to end, we report how it did.
        signal.signal(signal.SIGTERM, lambda signum, frame: process.send_signal(signal.SIGTERM))
        code = process.wait()
    finally:
        signal.signal(signal.SIGINT, previous)
    return 128 - code if code < 0 else code


def split_run(argv: list[str]) -> tuple[list[str], list[str] | None]:
    """Options before 'run' belong to the torso; everything after it (less a leading '--') is the program."""
    if "run" not in argv:
        return argv, None
    i = argv.index("run")
    program = argv[i + 1:]
    if program[:1] == ["--"]:
        program = program[1:]
    return argv[:i], program


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    options, program = split_run(argv)
    parser = build_parser()
    args = parser.parse_args(options)
    if program is not None and not program:
        parser.error("run needs a program: velmora-sim run -- PROGRAM [ARGS...]")

    def on_term(signum: int, frame: FrameType | None) -> None:
        raise KeyboardInterrupt  # unwinds through the torso's context manager, which stops it cleanly

    signal.signal(signal.SIGTERM, on_term)
    try:
        torso = start_torso(args)
    except (OSError, RuntimeError, ValueError, KeyError) as e:
        print(f"velmora-sim: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    with torso:
        try:
            if program is None:
                return serve_foreground(torso)
            return run_program(torso, program)
        except KeyboardInterrupt:  # asked to stop before the program started, or while announcing
            return 0 if program is None else 130


if __name__ == "__main__":
    sys.exit(main())
