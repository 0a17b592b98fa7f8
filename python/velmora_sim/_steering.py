"""The steering commands of a foreground velmora-sim, one line of standard input each."""

from __future__ import annotations

import shlex

from .torso import VirtualTorso

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
  unplug serial | plug serial    the USB serial adapter pulled out / plugged in again
  unplug can | plug can          the CAN interface removed / restored
  brownout [SECONDS]             every servo silent (default 0.5 s), then back as after a reboot
  can-error bus-off|error-passive|restarted
                                 an error frame reporting the CAN controller's state
  noise HEX                      trace [N]                  clear
  quit"""


def describe_state(torso: VirtualTorso) -> str:
    links = torso.link_state()
    lines = []
    if torso.serial_device:
        adapter = f"plugged in ({links['serial_pty']})" if links["serial_adapter"] == "plugged" else "unplugged"
        lines.append(f"serial adapter {adapter}")
    lines.append(f"CAN interface  {torso.can_interface} {links['can_interface']}")
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
    if cmd in ("unplug", "plug") and n == 1 and rest[0] == "serial":
        (torso.unplug_serial_adapter if cmd == "unplug" else torso.replug_serial_adapter)()
    elif cmd in ("unplug", "plug") and n == 1 and rest[0] == "can":
        (torso.remove_can_interface if cmd == "unplug" else torso.restore_can_interface)()
    elif cmd == "brownout" and n in (0, 1):
        torso.brownout_servos(float(rest[0]) if n else 0.5)
    elif cmd == "can-error" and n == 1:
        torso.can_error_frame(rest[0])
    elif cmd in ("unplug", "plug") and n == 2 and rest[0] in ("servo", "motor"):
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
