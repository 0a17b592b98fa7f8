"""The ten joints, asked one by one through the module: each servo's registers, each neck motor's feedback
and control mode. Only reads: no torque is switched, no register written, nothing commanded."""

from __future__ import annotations

from dataclasses import dataclass, field

from velmora_motor_controller import VelmoraMotorController

# Joint names by servo id and by CAN id, as the module knows them.
SERVOS = {joint_id: name for name, bus, joint_id in VelmoraMotorController.joint_table() if bus == "serial"}
NECK = {joint_id: name for name, bus, joint_id in VelmoraMotorController.joint_table() if bus == "can"}
# The control loop waits for every servo to reach this supply before it starts.
MINIMUM_VOLTS = VelmoraMotorController.minimum_servo_voltage()

# The neck motors' control modes, and the register that holds a motor's.
CTRL_MODE_REGISTER = VelmoraMotorController.neck_control_mode_register()
MODE_NAMES = VelmoraMotorController.neck_control_modes()
MIT_MODE = next(mode for mode, name in MODE_NAMES.items() if name == "MIT")
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


def check_servo(ctl: VelmoraMotorController, servo_id: int) -> ServoReport:
    report = ServoReport(servo_id, SERVOS[servo_id])
    try:
        (report.model, report.voltage, report.temperature, report.position, report.offset, report.eeprom_locked,
         report.torque) = ctl.read_servo_state(servo_id)
    except RuntimeError as e:
        report.error = str(e)
        report.problems.append(f"servo {servo_id} ({report.joint}) does not answer ({e}): check its cable, "
                               "its id and the servo supply")
        return report
    report.answers = True
    if report.voltage < MINIMUM_VOLTS:
        report.problems.append(f"servo {servo_id} ({report.joint}) sees {report.voltage:.1f} V; the control "
                               f"loop needs at least {MINIMUM_VOLTS:.1f} V: check the servo supply")
    return report


def check_motor(ctl: VelmoraMotorController, can_id: int) -> MotorReport:
    report = MotorReport(can_id, NECK[can_id])
    index = list(NECK).index(can_id)
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
            f"not MIT ({MIT_MODE}): enable_neck(True) switches it; if the motor refuses, set its register "
            f"{CTRL_MODE_REGISTER} to {MIT_MODE} with the motor maker's setup tool")
    return report
