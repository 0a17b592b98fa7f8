"""The control channel's requests: each cmd_* is one request of the VirtualTorso handle."""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Callable, TypeVar

from .neck_bus import NeckBus
from .servo import Servo
from .servo_bus import ServoBus
from .trace import Trace

if TYPE_CHECKING:
    from ._can_link import CanLink
    from ._serial_line import SerialLine


_Part = TypeVar("_Part")
_NO_SERVOS = "this virtual torso has no servos"
_NO_NECK = "this process of the virtual torso has no neck motors"


def _present(part: _Part | None, missing: str) -> _Part:
    """The part of the torso that this process simulates; RuntimeError(missing) in the other process."""
    if part is None:
        raise RuntimeError(missing)
    return part


class ControlCommands:
    """Steers the simulated devices; info is what cmd_info reports, stop ends the simulator."""

    def __init__(self, servos: ServoBus | None, neck: NeckBus | None, line: SerialLine | None, can: CanLink | None,
                 trace: Trace, info: dict[str, object], stop: Callable[[], None],
                 inject_noise: Callable[[bytes], None], schedule: Callable[[float, Callable[[], None]], None]) -> None:
        self._servos = servos
        self._neck = neck
        self._line = line
        self._can = can
        self._trace = trace
        self._info = info
        self._stop = stop
        self._inject_noise = inject_noise
        self._schedule = schedule

    def cmd_info(self) -> dict[str, object]:
        return dict(self._info)

    def cmd_close(self) -> None:
        self._stop()

    def _servo_bus(self) -> ServoBus:
        return _present(self._servos, _NO_SERVOS)

    def _neck_bus(self) -> NeckBus:
        return _present(self._neck, _NO_NECK)

    def _servo(self, servo_id: int) -> Servo:
        return self._servo_bus().servo(servo_id)

    def cmd_servo_registers(self, servo_id: int) -> bytes:
        return self._servo(servo_id).snapshot()

    def cmd_servo_state(self, servo_id: int) -> dict[str, object]:
        s = self._servo(servo_id)
        regs = s.snapshot()

        def u16(a: int) -> int:
            return regs[a] | (regs[a + 1] << 8)

        return {"id": s.id, "model": s.model, "present": u16(56), "goal": u16(42), "torque": bool(regs[40]),
                "moving": bool(regs[66]), "voltage": regs[62], "offset": u16(31), "locked": bool(regs[55]),
                "unplugged": s.unplugged, "rebooting": time.monotonic() < s.silent_until}

    def cmd_write_servo_registers(self, servo_id: int, address: int, data: bytes) -> None:
        if not 0 <= address < 256 or address + len(data) > 256:
            raise ValueError(f"register write {address}+{len(data)} runs past the 256-byte memory")
        self._servo(servo_id).write(address, bytes(data), from_bus=False)

    def cmd_set_servo_position(self, servo_id: int, raw: int) -> None:
        self._servo(servo_id).set_present(raw)

    def cmd_unplug_servo(self, servo_id: int, unplugged: bool = True) -> None:
        self._servo(servo_id).unplugged = bool(unplugged)
        self._trace.note(f"servo {servo_id} {'unplugged' if unplugged else 'plugged in'}")

    def cmd_corrupt_next_reply(self, servo_id: int, count: int = 1) -> None:
        self._servo(servo_id)
        self._servo_bus().corrupt[servo_id] = int(count)

    def cmd_wrong_id_next_reply(self, servo_id: int, count: int = 1) -> None:
        self._servo(servo_id)
        self._servo_bus().wrong_id[servo_id] = int(count)

    def cmd_out_of_order_sync_read(self, count: int = 1) -> None:
        self._servo_bus().out_of_order = int(count)

    def cmd_inject_serial_noise(self, data: bytes) -> None:
        self._servo_bus()
        self._inject_noise(bytes(data))

    def cmd_set_voltage(self, servo_id: int | None, decivolts: int) -> None:
        targets = self._servo_bus().servos if servo_id is None else [self._servo(servo_id)]
        for s in targets:
            s.set_voltage(decivolts)
        self._trace.note(f"supply of {'all servos' if servo_id is None else f'servo {servo_id}'} at {decivolts / 10:.1f} V")

    def cmd_ramp_voltage(self, start: int, end: int, seconds: float) -> None:
        for s in self._servo_bus().servos:
            s.ramp_voltage(start, end, seconds)
        self._trace.note(f"supply ramping from {start / 10:.1f} V to {end / 10:.1f} V over {seconds:g} s")

    def cmd_set_servo_reply_delay(self, seconds: float) -> None:
        self._servo_bus().reply_delay = max(0.0, float(seconds))

    def cmd_motor_state(self, can_id: int) -> dict[str, object]:
        return self._neck_bus().motor(can_id).state()

    def cmd_set_motor_position(self, can_id: int, radians: float) -> None:
        self._neck_bus().motor(can_id).set_position(radians)

    def cmd_unplug_motor(self, can_id: int, unplugged: bool = True) -> None:
        self._neck_bus().motor(can_id).unplugged = bool(unplugged)
        self._trace.note(f"neck motor {can_id} {'unplugged' if unplugged else 'plugged in'}")

    def cmd_block_motor(self, can_id: int, blocked: bool = True) -> None:
        m = self._neck_bus().motor(can_id)
        m.update()
        m.blocked = bool(blocked)
        self._trace.note(f"neck motor {can_id} {'blocked' if blocked else 'free'}")

    def cmd_refuse_mode_switch(self, can_id: int, refuse: bool = True) -> None:
        self._neck_bus().motor(can_id).refuse_mode_switch = bool(refuse)

    def cmd_set_motor_mode(self, can_id: int, mode: int) -> None:
        m = self._neck_bus().motor(can_id)
        m.update()
        m.regs[10] = int(mode)

    def cmd_stray_register_reply(self, can_id: int, count: int = 1) -> None:
        self._neck_bus().motor(can_id).stray_replies = int(count)

    def cmd_power_cycle_motor(self, can_id: int, turn: int = 0, after: float = 0.0) -> None:
        motor = self._neck_bus().motor(can_id)

        def cycle() -> None:
            motor.power_cycle(int(turn))
            self._trace.note(f"neck motor {can_id} power-cycled: disabled, counter on turn {int(turn)}")
        if after > 0:
            self._schedule(time.monotonic() + float(after), cycle)
        else:
            cycle()

    def cmd_set_motor_reply_delay(self, seconds: float) -> None:
        self._neck_bus().reply_delay = max(0.0, float(seconds))

    # ---- the buses themselves ---------------------------------------------------

    def _at(self, at: float | None, action: Callable[[], None]) -> None:
        """Now (a failure goes back to the caller), or at monotonic time at (a failure goes to the trace)."""
        if at is not None and at > time.monotonic():
            self._schedule(at, action)
        else:
            action()

    def _serial_line(self) -> SerialLine:
        return _present(self._line, _NO_SERVOS)

    def _can_link(self) -> CanLink:
        return _present(self._can, _NO_NECK)

    def cmd_link_state(self) -> dict[str, object]:
        state: dict[str, object] = {}
        if self._line is not None:
            state["serial_adapter"] = "plugged" if self._line.plugged else "unplugged"
            state["serial_pty"] = self._line.pty()
        if self._can is not None:
            state["can_interface"] = self._can.state()
        return state

    def _change(self, at: float | None, change: Callable[[], bool], note: Callable[[], str]) -> None:
        """Makes the change (at that time), noting it in the trace unless there was nothing to change."""
        def act() -> None:
            if change():
                self._trace.note(note())
        self._at(at, act)

    def cmd_unplug_serial_adapter(self, at: float | None = None) -> None:
        line = self._serial_line()
        self._change(at, line.unplug,
                     lambda: f"serial adapter pulled out: its pseudo-terminal hung up, {line.path} removed")

    def cmd_replug_serial_adapter(self, at: float | None = None) -> None:
        line = self._serial_line()
        self._change(at, line.plug, lambda: f"serial adapter plugged in: {line.path} -> {line.pty()}")

    def cmd_remove_can_interface(self, at: float | None = None) -> None:
        can = self._can_link()
        can.require_hosted("removed")  # refused at once, not when the time comes
        self._change(at, can.remove, lambda: f"CAN interface {can.name} removed: every socket on it disconnected")

    def cmd_restore_can_interface(self, at: float | None = None) -> None:
        can = self._can_link()
        can.require_hosted("restored")
        self._change(at, can.restore,
                     lambda: f"CAN interface {can.name} restored: sockets bound to it from now on are on the bus")

    def cmd_brownout_servos(self, seconds: float, at: float | None = None) -> None:
        bus = self._servo_bus()
        if not seconds >= 0:
            raise ValueError(f"a brown-out lasts zero seconds or more, not {seconds}")

        def brownout() -> None:
            bus.brownout(float(seconds))
            self._trace.note(f"servo supply browned out: every servo silent for {seconds:g} s, "
                             "then back with torque off, goal = present and the lock set")
        self._at(at, brownout)

    def cmd_can_error_frame(self, state: str) -> None:
        self._can_link().send_error_frame(str(state))

    # ---- what crossed the wires -----------------------------------------------

    def cmd_serial_rx(self) -> list[bytes]:
        return list(self._servos.rx_log) if self._servos else []

    def cmd_can_rx(self) -> list[tuple[int, bytes]]:
        return list(self._neck.rx_log) if self._neck else []

    def cmd_trace_lines(self) -> list[str]:
        return list(self._trace.lines)

    def cmd_clear_logs(self) -> None:
        if self._servos:
            self._servos.rx_log.clear()
        if self._neck:
            self._neck.rx_log.clear()
        self._trace.lines.clear()
