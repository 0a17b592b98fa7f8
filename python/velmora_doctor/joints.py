"""The ten joints, asked one by one through the module: each servo's registers, each neck motor's feedback
and control mode. Only reads: no torque is switched, no register written, nothing commanded."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

from velmora_motor_controller import VelmoraMotorController

SERVOS = {1: "left_arm_pitch", 2: "left_arm_yaw", 3: "right_arm_pitch", 4: "right_arm_yaw",
          5: "nose_top", 6: "nose_left", 7: "nose_right"}
NECK = {1: "neck_yaw", 2: "neck_pitch", 3: "neck_roll"}

# One read covers every servo register shown, from the model number (3) to the temperature (63).
FIRST_REGISTER = 3
REGISTER_COUNT = 61
MODEL, OFFSET, TORQUE, LOCK, POSITION, VOLTAGE, TEMPERATURE = 3, 31, 40, 55, 56, 62, 63
# The control loop waits for every servo to reach this supply before it starts.
MINIMUM_DECIVOLTS = 110

CTRL_MODE_REGISTER = 10
MIT_MODE = 1
MODE_NAMES = {1: "MIT", 2: "position-velocity", 3: "velocity", 4: "force-position"}
# The status nibble of a Damiao feedback frame.
STATUS_NAMES = {0: "disabled", 1: "enabled", 8: "over-voltage", 9: "under-voltage", 10: "over-current",
                11: "MOS over-temperature", 12: "rotor over-temperature", 13: "communication lost",
                14: "overload"}


@dataclass
class ServoReport:
    id: int
    joint: str
    answers: bool = False
    model: int | None = None
    voltage: float | None = None
    temperature: int | None = None
    position: float | None = None
    offset: float | None = None
    eeprom_locked: bool | None = None
    torque: bool | None = None
    error: str | None = None
    problems: list[str] = field(default_factory=list)


@dataclass
class MotorReport:
    can_id: int
    joint: str
    answers: bool = False
    position: float | None = None
    velocity: float | None = None
    torque: float | None = None
    status: int | None = None
    status_name: str | None = None
    mos_temperature: int | None = None
    rotor_temperature: int | None = None
    control_mode: int | None = None
    control_mode_name: str | None = None
    error: str | None = None
    problems: list[str] = field(default_factory=list)


def _u16(regs: bytes, address: int) -> int:
    i = address - FIRST_REGISTER
    return regs[i] | (regs[i + 1] << 8)


def position_radians(raw: int) -> float:
    """Present position as the controller reads it: signed 16-bit steps, 2048 at 0 rad."""
    signed = raw - 0x10000 if raw & 0x8000 else raw
    return signed * 2.0 * math.pi / 4096 - math.pi


def offset_radians(raw: int) -> float:
    """The homing offset's sign and magnitude: bits 0-10 in steps of pi/2047, bit 11 the sign."""
    magnitude = (raw & 0x7FF) * math.pi / 2047
    return -magnitude if (raw & 0xF800) == 0x0800 else magnitude


def check_servo(ctl: VelmoraMotorController, servo_id: int) -> ServoReport:
    report = ServoReport(servo_id, SERVOS[servo_id])
    try:
        regs = ctl.read_raw_bytes(servo_id, FIRST_REGISTER, REGISTER_COUNT)
    except RuntimeError as e:
        report.error = str(e)
        report.problems.append(f"servo {servo_id} ({report.joint}) does not answer ({e}): check its cable, "
                               "its id and the servo supply")
        return report
    if len(regs) != REGISTER_COUNT:
        report.error = f"{len(regs)} register bytes instead of {REGISTER_COUNT}"
        report.problems.append(f"servo {servo_id} ({report.joint}) gave a short reply: {report.error}")
        return report
    report.answers = True
    report.model = _u16(regs, MODEL)
    decivolts = regs[VOLTAGE - FIRST_REGISTER]
    report.voltage = decivolts / 10
    report.temperature = regs[TEMPERATURE - FIRST_REGISTER]
    report.position = position_radians(_u16(regs, POSITION))
    report.offset = offset_radians(_u16(regs, OFFSET))
    report.eeprom_locked = regs[LOCK - FIRST_REGISTER] != 0
    report.torque = regs[TORQUE - FIRST_REGISTER] != 0
    if decivolts < MINIMUM_DECIVOLTS:
        report.problems.append(f"servo {servo_id} ({report.joint}) sees {report.voltage:.1f} V; the control "
                               f"loop needs at least {MINIMUM_DECIVOLTS / 10:.1f} V: check the servo supply")
    return report


def check_motor(ctl: VelmoraMotorController, can_id: int) -> MotorReport:
    report = MotorReport(can_id, NECK[can_id])
    index = can_id - 1
    try:
        position, velocity, torque, status, mos, rotor = ctl.read_neck_feedback(index)
    except RuntimeError as e:
        report.error = str(e)
        report.problems.append(f"neck motor {can_id} ({report.joint}) does not answer ({e}): check the CAN "
                               "cable and termination, the motor supply and its CAN id")
        return report
    report.answers = True
    report.position, report.velocity, report.torque = position, velocity, torque
    report.status, report.status_name = status, STATUS_NAMES.get(status, f"fault {status:#x}")
    report.mos_temperature, report.rotor_temperature = mos, rotor
    if status not in (0, 1):
        report.problems.append(f"neck motor {can_id} ({report.joint}) reports a fault: {report.status_name}")
    try:
        mode = int(ctl.read_neck_register(index, CTRL_MODE_REGISTER))
    except RuntimeError as e:
        report.error = str(e)
        report.problems.append(f"neck motor {can_id} ({report.joint}): its control mode could not be read ({e})")
        return report
    report.control_mode, report.control_mode_name = mode, MODE_NAMES.get(mode, "unknown")
    if mode != MIT_MODE:
        report.problems.append(
            f"neck motor {can_id} ({report.joint}) is in {report.control_mode_name} mode (CTRL_MODE {mode}), "
            f"not MIT ({MIT_MODE}): enable_neck(True) switches it; if the motor refuses, set its register 10 "
            "to 1 with the motor maker's setup tool")
    return report
