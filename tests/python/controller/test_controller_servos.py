"""VelmoraMotorController on the servo bus: construction, group operations, argument checks."""

from __future__ import annotations

import math

import pytest

import velmora_motor_controller as vmc
from controller_wire import feetech, sync_read, sync_write

pytestmark = pytest.mark.needs_can

NECK_ONLY = "serial port not configured (neck-only controller)"


def test_class_face():
    cls = vmc.VelmoraMotorController
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == "(serialport=None, can_bus=...)"
    assert cls.__doc__ == ""
    assert cls.neck_home.__text_signature__ == "($self, speed=0.4, tolerance=0.15, kp=None, kd=None)"
    assert cls.set_arm_home.__text_signature__ == "($self, verify_tol=0.05)"
    assert cls.set_neck_yaw_position.__doc__ is None
    assert cls.read_all_positions.__doc__.startswith("Read all motor positions as a 7-element array.\nOrder: [")


def test_construction_failures_leave_nothing_open(torso):
    with pytest.raises(RuntimeError, match="^failed to open CAN bus 'can9': backend error: "):
        vmc.VelmoraMotorController(torso.serial_device, "can9")
    # The serial device was closed again: a new controller can take it.
    c = vmc.VelmoraMotorController(torso.serial_device, torso.can_interface)
    with pytest.raises(RuntimeError, match="/dev/nonexistent-velmora"):
        vmc.VelmoraMotorController("/dev/nonexistent-velmora", torso.can_interface)
    assert c.read_all_positions() == [0.0] * 7
    with pytest.raises(TypeError, match="can_bus"):
        vmc.VelmoraMotorController(can_bus=None)
    assert torso.serial_rx() == [sync_read(56, 2, [1, 2, 3, 4]), sync_read(56, 2, [5, 6, 7])]


def test_neck_only_controller(neck_ctl, neck_only_torso):
    for call in (neck_ctl.enable_torque, neck_ctl.read_all_positions, neck_ctl.is_torque_enabled,
                 lambda: neck_ctl.set_arm_home(), lambda: neck_ctl.enable_torque_on_ids([5]),
                 lambda: neck_ctl.write_raw_packet(b"\x01")):
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value) == NECK_ONLY
    # No servo in the list: nothing to send, so no serial port is needed.
    neck_ctl.enable_torque_on_ids([0, 9])
    assert neck_ctl.neck_position_limits() == [(-0.5, 0.5), (0.0, 0.45), (-0.4, 0.4)]
    assert len(neck_ctl.read_neck_positions()) == 3


def test_torque_writes_on_the_wire(ctl, torso):
    ctl.enable_torque()
    assert ctl.is_torque_enabled() is True
    ctl.enable_nose(False)
    assert ctl.is_torque_enabled() is False
    ctl.disable_torque_on_ids([2, 9, 6, 1])
    ctl.enable_arms(True)
    ctl.disable_torque()
    assert torso.serial_rx() == [
        sync_write(40, {1: b"\x01", 2: b"\x01", 3: b"\x01", 4: b"\x01"}),
        sync_write(40, {5: b"\x01", 6: b"\x01", 7: b"\x01"}),
        sync_read(40, 1, [1, 2, 3, 4]),
        sync_read(40, 1, [5, 6, 7]),
        sync_write(40, {5: b"\x00", 6: b"\x00", 7: b"\x00"}),
        sync_read(40, 1, [1, 2, 3, 4]),
        sync_read(40, 1, [5, 6, 7]),
        sync_write(40, {2: b"\x00", 1: b"\x00"}),
        sync_write(40, {6: b"\x00"}),
        sync_write(40, {1: b"\x01", 2: b"\x01", 3: b"\x01", 4: b"\x01"}),
        sync_write(40, {1: b"\x00", 2: b"\x00", 3: b"\x00", 4: b"\x00"}),
        sync_write(40, {5: b"\x00", 6: b"\x00", 7: b"\x00"}),
    ]


def test_goal_positions_and_reads(ctl, torso):
    ctl.set_arms_position((1, 2, 3, -1))  # ints and tuples are accepted
    ctl.set_left_arm_position([math.pi / 2, -math.pi / 2])
    ctl.set_nose_position([0.0, 0.001, 20.0])
    ctl.set_all_goal_positions([0, 0, 0, 0, 0, 0, 0])
    ctl.set_right_arm_position([-math.pi / 2, 0.0])
    rx = torso.serial_rx()
    assert rx[1] == sync_write(42, {1: (3072).to_bytes(2, "little"), 2: (1024).to_bytes(2, "little")})
    assert rx[2] == sync_write(42, {5: (2048).to_bytes(2, "little"), 6: (2048).to_bytes(2, "little"),
                                    7: (15085).to_bytes(2, "little")})
    assert rx[3:5] == [sync_write(42, {i: (2048).to_bytes(2, "little") for i in (1, 2, 3, 4)}),
                       sync_write(42, {i: (2048).to_bytes(2, "little") for i in (5, 6, 7)})]
    assert rx[5:] == [sync_write(42, {3: (1024).to_bytes(2, "little"), 4: (2048).to_bytes(2, "little")})]

    torso.set_servo_position(3, 3072)
    torso.set_servo_position(7, 1024)
    positions = ctl.read_all_positions()
    assert positions[2] == pytest.approx(math.pi / 2)
    assert positions[6] == pytest.approx(-math.pi / 2)


def test_argument_errors_send_nothing(ctl, torso):
    with pytest.raises(ValueError, match=r"^expected a sequence of length 2 \(got 3\)$"):
        ctl.set_left_arm_position([0.1, 0.2, 0.3])
    with pytest.raises(TypeError):
        ctl.enable_arms(1)
    with pytest.raises(OverflowError):
        ctl.enable_torque_on_ids([300])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        ctl.enable_torque_on_ids("123")
    with pytest.raises(TypeError):
        ctl.write_raw_packet(bytearray(b"\x01"))
    with pytest.raises(OverflowError):
        ctl.set_neck_gains(-1, 1.0, 1.0)
    with pytest.raises(TypeError):
        ctl.set_all_goal_positions(1.0)
    assert torso.serial_rx() == []
    assert torso.can_rx() == []


def test_bus_failures_raise_runtime_error_and_keep_the_object_usable(ctl, torso):
    torso.unplug_servo(3)
    with pytest.raises(RuntimeError):
        ctl.read_all_positions()
    torso.unplug_servo(3, False)
    assert len(ctl.read_all_positions()) == 7


def test_write_raw_packet_passes_bytes_through(ctl, torso):
    ping = feetech(1, 0x01)
    assert ctl.write_raw_packet(ping) is None
    torso.unplug_servo(1)
    assert ctl.write_raw_packet(ping) is None  # no answer within 10 ms is not an error
    assert torso.serial_rx() == [ping, ping]
