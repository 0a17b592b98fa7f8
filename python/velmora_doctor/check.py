"""One examination of a torso: the host's side of both buses, then every joint through the module."""

from __future__ import annotations

import contextlib
from dataclasses import dataclass, field

from velmora_motor_controller import VelmoraMotorController

from .host import (CanInterface, Realtime, SerialAdapter, SerialDevice, can_interface, realtime_allowance,
                   serial_device, usb_serial_adapters)
from .joints import NECK, SERVOS, MotorReport, ServoReport, check_motor, check_servo


@dataclass
class Report:
    serial_port: str | None
    can_bus: str
    adapters: list[SerialAdapter]
    serial: SerialDevice | None = None
    serial_error: str | None = None
    can: CanInterface | None = None
    can_error: str | None = None
    servos: list[ServoReport] = field(default_factory=list)
    motors: list[MotorReport] = field(default_factory=list)
    realtime: Realtime | None = None
    problems: list[str] = field(default_factory=list)
    hints: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.problems


def choose_serial_port(given: str | None, adapters: list[SerialAdapter]) -> str | None:
    """The port given, else the only USB serial adapter there is."""
    if given:
        return given
    return adapters[0].device if len(adapters) == 1 else None


def _open(serial_port: str | None, can_bus: str) -> tuple[VelmoraMotorController | None, str | None]:
    try:
        return VelmoraMotorController(serial_port, can_bus), None
    except RuntimeError as e:
        return None, str(e)


def _unchecked_servos(why: str) -> list[ServoReport]:
    return [ServoReport(sid, joint, error=why) for sid, joint in SERVOS.items()]


def examine(serial_port: str | None, can_bus: str, sysfs: str = "/sys") -> Report:
    adapters = usb_serial_adapters(sysfs)
    report = Report(choose_serial_port(serial_port, adapters), can_bus, adapters)
    for adapter in adapters:
        report.hints += adapter.hints
    report.realtime = realtime_allowance()
    report.hints += report.realtime.hints

    with contextlib.ExitStack() as in_use:
        # The CAN interface alone first: the module opens the serial port only together with it, so this
        # tells a CAN failure from a serial one.
        neck_only, report.can_error = _open(None, can_bus)
        report.can = can_interface(can_bus, sysfs)
        report.hints += report.can.hints
        if report.can.controller_state in ("BUS-OFF", "ERROR-PASSIVE"):
            report.problems.append(f"CAN interface {can_bus}: its controller is "
                                   f"{report.can.controller_state.lower()}")
        if report.can_error is not None:
            report.problems.append(f"CAN interface {can_bus} could not be opened: {report.can_error}")
            if not report.can.in_sysfs:
                report.hints.append(f"there is no network interface {can_bus}: plug in the CAN adapter and bring "
                                    f"it up (sudo ip link set {can_bus} up type can bitrate 1000000), or pass "
                                    "the neck's interface with --can")
        controller = neck_only
        if neck_only is not None:
            in_use.callback(neck_only.close)

        if report.serial_port is None:
            many = f" ({len(adapters)} USB serial adapters found)" if adapters else " (no USB serial adapter found)"
            report.problems.append("no serial port to check the servos on" + many +
                                   ": pass --serial or set VELMORA_SERIAL")
            report.servos = _unchecked_servos("no serial port")
        else:
            report.serial = serial_device(report.serial_port)
            report.hints += report.serial.hints
            if report.can_error is not None:
                report.servos = _unchecked_servos("not checked: the module opens the serial port only together "
                                                  "with the CAN interface")
                report.problems.append("servos not checked: the CAN interface could not be opened")
            else:
                full, report.serial_error = _open(report.serial_port, can_bus)
                if full is None:
                    report.problems.append(f"serial port {report.serial_port} could not be opened: "
                                           f"{report.serial_error}")
                    report.servos = _unchecked_servos(f"not checked: {report.serial_error}")
                else:
                    in_use.callback(full.close)
                    if neck_only is not None:
                        neck_only.close()  # one socket on the bus is enough
                    controller = full
                    report.servos = [check_servo(full, sid) for sid in SERVOS]

        if controller is not None:
            report.motors = [check_motor(controller, cid) for cid in NECK]
        else:
            report.motors = [MotorReport(cid, joint, error="not checked: the CAN interface could not be opened")
                             for cid, joint in NECK.items()]
    for servo in report.servos:
        report.problems += servo.problems
    for motor in report.motors:
        report.problems += motor.problems
    return report
