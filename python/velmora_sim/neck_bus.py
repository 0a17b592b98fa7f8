"""The simulated neck CAN bus: frames in, MIT feedback and register replies out, faults on demand."""

from __future__ import annotations

import struct
import time
from collections import deque
from . import damiao as dm
from .callbacks import Clock, SendFn, TraceFn
from .motor import NECK_MOTORS, Motor
from .trace import hex_bytes
from .vcan import Frame

# A motor answers this long after the request has left the wire (with wire timing on).
DEFAULT_LATENCY = 150e-6

# (motor, reply data, trace text)
Reply = tuple[Motor, bytes, str]


def _fmt(x: float) -> str:
    return f"{x:+.4f}"


class NeckBus:
    def __init__(self, send: SendFn[Frame], trace: TraceFn, *, wire_timing: bool = False,
                 positions: tuple[float, float, float] | None = None, clock: Clock = time.monotonic,
                 log_limit: int = 100_000) -> None:
        self._send = send
        self._trace = trace
        self._clock = clock
        self.wire_timing = wire_timing
        self.latency = DEFAULT_LATENCY
        self.reply_delay = 0.0
        start = positions or (0.0, 0.0, 0.0)
        self.motors = [Motor(cid, name, p, v, t, position=start[cid - 1], clock=clock)
                       for cid, (name, p, v, t) in NECK_MOTORS.items()]
        self.rx_log: deque[tuple[int, bytes]] = deque(maxlen=log_limit)
        self._requests_free = 0.0
        self._replies_free = 0.0

    def motor(self, can_id: int) -> Motor:
        for m in self.motors:
            if m.can_id == can_id:
                return m
        raise KeyError(f"no neck motor with CAN id {can_id}")

    # ---- frames --------------------------------------------------------------

    def receive(self, frame: Frame, now: float | None = None) -> None:
        now = self._clock() if now is None else now
        ident = f"0x{frame.can_id:08X}" if frame.extended else f"0x{frame.can_id:03X}"
        if not frame.extended and not frame.error and not frame.rtr:
            self.rx_log.append((frame.can_id, bytes(frame.data)))
        if frame.extended or frame.error or frame.rtr or frame.fd:
            kind = "error frame" if frame.error else "remote frame" if frame.rtr else "FD frame" if frame.fd else "frame"
            self._trace("->", ident, f"{kind} {hex_bytes(frame.data)}: no neck motor listens")
            return
        text, replies = self._dispatch(frame.can_id, bytes(frame.data))
        replies = self._with_strays(replies)
        self._trace("->", ident, text)
        # The bus carries one frame at a time, but the motors work side by side:
        # a motor's latency (and any reply delay) runs while other frames cross
        # the wire. Requests queue behind requests and replies behind replies;
        # a reply and a later request may overlap, which makes a burst of
        # requests look up to a frame time per reply faster than it is.
        at = now
        if self.wire_timing:
            at = max(now, self._requests_free) + dm.frame_time(frame.can_id, frame.data)
            self._requests_free = at
        for motor, data, reply_text in replies:
            at += self.reply_delay
            if self.wire_timing:
                at = max(at + self.latency, self._replies_free) + dm.frame_time(motor.master_id, data)
                self._replies_free = at
            self._send(at, Frame(motor.master_id & 0x7FF, data), reply_text)

    def _with_strays(self, replies: list[Reply]) -> list[Reply]:
        """Puts a stray register reply ahead of each feedback reply of a motor that owes one."""
        out: list[Reply] = []
        for reply in replies:
            motor, data, _ = reply
            if motor.stray_replies > 0 and reply[2].startswith("FEEDBACK"):
                motor.stray_replies -= 1
                mode = dm.value_bytes("u", motor.mode)
                stray = bytes([motor.can_id & 0xFF, motor.can_id >> 8, dm.PARAM_READ, dm.REG_CTRL_MODE]) + mode
                out.append((motor, stray, f"REGISTER {motor.name} reg=10(CTRL_MODE) value={motor.mode} (stray)"))
            out.append(reply)
        return out

    def _feedback(self, motor: Motor) -> Reply:
        data = motor.feedback()
        p_max, v_max, t_max = motor.limits
        fb = dm.decode_feedback(data, p_max, v_max, t_max)
        text = (f"FEEDBACK {motor.name} motor={fb['motor_id']} status={fb['status']} "
                f"p={_fmt(fb['position'])} v={_fmt(fb['velocity'])} t={_fmt(fb['torque'])} "
                f"temp={fb['t_mos']}/{fb['t_rotor']}")
        return motor, data, text

    def _alive(self, can_id: int) -> Motor | None:
        for m in self.motors:
            if m.can_id == can_id and not m.unplugged:
                return m
        return None

    def _dispatch(self, can_id: int, data: bytes) -> tuple[str, list[Reply]]:
        if can_id == dm.PARAM_ID:
            return self._parameter_frame(data)
        base, low = can_id & 0x700, can_id & 0xFF
        mode = {v: k for k, v in dm.MODE_BASE.items()}.get(base)
        known = any(m.can_id == low for m in self.motors)
        if mode is None or not known or (can_id & 0xF00) != base:
            return f"{hex_bytes(data)}: no neck motor listens on this id", []
        name = NECK_MOTORS[low][0] if low in NECK_MOTORS else f"motor {low}"
        motor = self._alive(low)
        if len(data) == 8 and data[:7] == b"\xff" * 7 and data[7] in (
                dm.CMD_ENABLE, dm.CMD_DISABLE, dm.CMD_SAVE_ZERO, dm.CMD_CLEAR_ERROR):
            what = {dm.CMD_ENABLE: "ENABLE", dm.CMD_DISABLE: "DISABLE",
                    dm.CMD_SAVE_ZERO: "SAVE_ZERO", dm.CMD_CLEAR_ERROR: "CLEAR_ERROR"}[data[7]]
            if motor is None:
                return f"{what} {name} (unplugged: no answer)", []
            if data[7] == dm.CMD_ENABLE:
                motor.set_enabled(True)
            elif data[7] == dm.CMD_DISABLE:
                motor.set_enabled(False)
            elif data[7] == dm.CMD_SAVE_ZERO:
                motor.set_position(0.0)
            return f"{what} {name}", [self._feedback(motor)]
        text = self._describe_command(mode, name, data, motor)
        if motor is None:
            return text + " (unplugged: no answer)", []
        if len(data) < 8:
            return text + " (short frame: ignored)", []
        if motor.mode != mode:
            return text + f" (motor is in {dm.MODE_NAMES.get(motor.mode, motor.mode)} mode: ignored)", []
        if mode == dm.MODE_MIT:
            p_max, v_max, t_max = motor.limits
            motor.command_mit(dm.decode_command(data, p_max, v_max, t_max))
        elif mode == dm.MODE_POS_VEL:
            p, v = struct.unpack("<ff", data[:8])
            motor.command_position(p, v)
        elif mode == dm.MODE_VEL:
            (v,) = struct.unpack("<f", data[:4])
            motor.command_velocity(v)
        else:
            p, v_code, _i_code = struct.unpack("<fHH", data[:8])
            motor.command_position(p, v_code / 100.0)
        return text, [self._feedback(motor)]

    def _describe_command(self, mode: int, name: str, data: bytes, motor: Motor | None) -> str:
        if len(data) < 8:
            return f"{dm.MODE_NAMES[mode]} {name} {hex_bytes(data)}"
        if mode == dm.MODE_MIT:
            p_max, v_max, t_max = motor.limits if motor else (12.5, 30.0, 10.0)
            c = dm.decode_command(data, p_max, v_max, t_max)
            return (f"MIT {name} p={_fmt(c.position)} v={_fmt(c.velocity)} kp={c.kp:.2f} kd={c.kd:.3f} "
                    f"t={_fmt(c.torque)}")
        if mode == dm.MODE_POS_VEL:
            p, v = struct.unpack("<ff", data[:8])
            return f"POS_VEL {name} p={_fmt(p)} v={_fmt(v)}"
        if mode == dm.MODE_VEL:
            (v,) = struct.unpack("<f", data[:4])
            return f"VEL {name} v={_fmt(v)}"
        p, v_code, i_code = struct.unpack("<fHH", data[:8])
        return f"FORCE_POS {name} p={_fmt(p)} v_code={v_code} i_code={i_code}"

    def _parameter_frame(self, data: bytes) -> tuple[str, list[Reply]]:
        if len(data) < 3:
            return f"PARAM {hex_bytes(data)}: too short", []
        target = data[0] | (data[1] << 8)
        name = NECK_MOTORS[target][0] if target in NECK_MOTORS else f"motor {target}"
        motor = self._alive(target)
        known = any(m.can_id == target for m in self.motors)
        suffix = "" if motor else (" (unplugged: no answer)" if known else " (no such motor)")
        op = data[2]
        if op == dm.PARAM_FEEDBACK:
            return f"FEEDBACK_REQUEST {name}{suffix}", [self._feedback(motor)] if motor else []
        if op in (dm.PARAM_READ, dm.PARAM_WRITE) and len(data) >= 4:
            rid = data[3]
            reg = dm.REGISTERS.get(rid)
            reg_name = f"{rid}({reg.name})" if reg else f"{rid}(unknown)"
            if op == dm.PARAM_READ:
                text = f"READ_REGISTER {name} reg={reg_name}{suffix}"
                if motor is None or reg is None:
                    return text, []
                value = motor.read_register(rid)
                assert value is not None  # every register of the table is in the motor's memory
                payload = bytes([data[0], data[1], dm.PARAM_READ, rid]) + dm.value_bytes(reg.kind, value)
                return text, [(motor, payload, f"REGISTER {name} reg={reg_name} value={_value_text(reg.kind, value)}")]
            raw = bytes(data[4:8]).ljust(4, b"\0")
            value = dm.value_from_bytes(reg.kind if reg else "u", raw)
            text = f"WRITE_REGISTER {name} reg={reg_name} value={_value_text(reg.kind if reg else 'u', value)}{suffix}"
            if motor is None or reg is None:
                return text, []
            if not motor.write_register(rid, value):
                if rid == dm.REG_CTRL_MODE and motor.refuse_mode_switch:
                    text += " (refused: mode switch blocked)"
                else:
                    text += " (ignored)"
            return text, []
        if op == dm.PARAM_SAVE:
            return f"SAVE_PARAMETERS {name}{suffix}", []
        return f"PARAM {name} {hex_bytes(data)}: unknown request{suffix}", []


def _value_text(kind: str, value: float | int) -> str:
    return f"{value:.6g}" if kind == "f" else str(value)
