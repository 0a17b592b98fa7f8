"""VelmoraMotorController on the neck bus: clamping, commands, enable, gains, failures."""

from __future__ import annotations

import logging
import math

import pytest

from controller_wire import (CONTROLLER_LOGGER, controller_records, is_mit_command, mit_kd_code, mit_kp_code,
                             mit_position_code, position_code)

pytestmark = pytest.mark.needs_can


def test_out_of_range_goals_are_clamped_with_a_warning(ctl, torso, caplog):
    caplog.set_level(logging.WARNING, logger=CONTROLLER_LOGGER)
    reported = ctl.set_neck_position([1.0, 1.0, 1.0])
    assert len(reported) == 3 and all(isinstance(p, float) for p in reported)
    frames = torso.can_rx()
    # The first command to a joint not heard from yet follows a request for its position.
    assert [can_id for can_id, _ in frames] == [0x7FF, 1, 0x7FF, 2, 0x7FF, 3]
    assert [mit_position_code(d) for f in frames if is_mit_command(f) for d in [f[1]]] == [
        position_code(0.5), position_code(0.45), position_code(0.4)]
    assert controller_records(caplog) == [
        (30, "neck_yaw requested position 1.0000 rad out of safe range [-0.5000, 0.5000]; clamped to 0.5000"),
        (30, "neck_pitch requested position 1.0000 rad out of safe range [0.0000, 0.4500]; clamped to 0.4500"),
        (30, "neck_roll requested position 1.0000 rad out of safe range [-0.4000, 0.4000]; clamped to 0.4000"),
    ]

    caplog.clear()
    torso.clear_logs()
    ctl.enable_neck(True)
    torso.clear_logs()
    yaw = ctl.set_neck_yaw_position(10.0)
    frames = torso.can_rx()
    assert [can_id for can_id, _ in frames] == [1]
    assert mit_position_code(frames[0][1]) == position_code(0.5)
    # The reply reports where the joint was when the command arrived: still at rest.
    assert isinstance(yaw, float) and yaw == pytest.approx(0.0, abs=0.02)
    ctl.set_neck_pitch_position(-0.2)
    assert controller_records(caplog)[-1] == (
        30, "neck_pitch requested position -0.2000 rad out of safe range [0.0000, 0.4500]; clamped to 0.0000")
    ctl.set_neck_roll_position(0.1)
    assert len(controller_records(caplog)) == 2


def test_a_goal_that_is_not_a_number_is_refused_before_sending(ctl, torso, caplog):
    with pytest.raises(ValueError, match=r"^set_neck_position\(neck_pitch\): goal is not a number$"):
        ctl.set_neck_position([0.0, math.nan, 0.0])
    with pytest.raises(ValueError, match=r"^set_neck_yaw_position\(neck_yaw\): goal is not a number$"):
        ctl.set_neck_yaw_position(float("nan"))
    # The other goals are out of range, but the command is refused as a whole:
    # no clamp warning for a command that never goes out.
    caplog.set_level(logging.WARNING, logger=CONTROLLER_LOGGER)
    with pytest.raises(ValueError, match=r"^set_neck_position\(neck_roll\): goal is not a number$"):
        ctl.set_neck_position([10.0, -1.0, math.nan])
    # A servo goal that is not a number would be sent as raw 0, half a turn from zero.
    with pytest.raises(ValueError, match=r"^set_left_arm_position\(left_arm_pitch\): goal is not a number$"):
        ctl.set_left_arm_position([math.nan, 0.0])
    with pytest.raises(ValueError, match=r"^set_all_goal_positions\(nose_left\): goal is not a number$"):
        ctl.set_all_goal_positions([0.0] * 5 + [math.nan, 0.0])
    assert torso.can_rx() == [] and torso.serial_rx() == []
    assert controller_records(caplog) == []


def test_enable_neck_switches_to_mit_mode_then_enables_each_joint(ctl, torso):
    for can_id in (1, 2, 3):
        torso.set_motor_mode(can_id, 2)
    assert ctl.is_neck_torque_enabled() is False
    ctl.enable_neck(True)
    assert ctl.is_neck_torque_enabled() is True
    frames = torso.can_rx()
    enable = b"\xff" * 7 + b"\xfc"
    expected = []
    for can_id in (1, 2, 3):
        expected += [(0x7FF, bytes([can_id, 0, 0x33, 10, 0, 0, 0, 0])),
                     (0x7FF, bytes([can_id, 0, 0x55, 10, 1, 0, 0, 0])),
                     (0x7FF, bytes([can_id, 0, 0x33, 10, 0, 0, 0, 0])),
                     (can_id, enable)]
    assert frames == expected
    assert all(torso.motor_state(i)["enabled"] and torso.motor_state(i)["mode"] == 1 for i in (1, 2, 3))

    torso.clear_logs()
    ctl.enable_neck(False)
    assert torso.can_rx() == [(i, b"\xff" * 7 + b"\xfd") for i in (1, 2, 3)]
    assert ctl.is_neck_torque_enabled() is False


def test_enable_failure_keeps_the_flag_and_names_the_joint(ctl, torso):
    torso.set_motor_mode(3, 2)
    torso.refuse_mode_switch(3)
    with pytest.raises(RuntimeError) as e:
        ctl.enable_neck(True)
    assert str(e.value) == "neck_roll: ensure MIT mode failed: control mode verification failed: wrote 1, motor reports 2"
    assert ctl.is_neck_torque_enabled() is False
    assert torso.motor_state(1)["enabled"] and torso.motor_state(2)["enabled"]
    assert not torso.motor_state(3)["enabled"]


def test_a_silent_joint_stops_the_command_there(ctl, torso):
    torso.unplug_motor(2)
    with pytest.raises(RuntimeError) as e:
        ctl.set_neck_position([0.1, 0.1, 0.1])
    assert str(e.value) == "set_neck_position(neck_pitch): transport error: timeout waiting for frame"
    # Yaw was commanded; pitch never answered the request for its position
    # that precedes its first command, so neither it nor roll was commanded.
    assert [can_id for can_id, _ in torso.can_rx() if can_id != 0x7FF] == [1]
    with pytest.raises(RuntimeError, match=r"^read_neck_positions\(neck_pitch\): transport error: timeout"):
        ctl.read_neck_positions()
    with pytest.raises(RuntimeError, match=r"^set_neck_pitch_position: transport error: timeout"):
        ctl.set_neck_pitch_position(0.1)


def test_gains_apply_per_joint_and_persist(ctl, torso):
    with pytest.raises(RuntimeError, match=r"^neck index out of range: 3$"):
        ctl.set_neck_gains(3, 1.0, 1.0)
    ctl.set_neck_gains(1, 500.0, 5.0)
    ctl.set_neck_position([0.0, 0.1, 0.0])
    ctl.set_neck_position([0.0, 0.2, 0.0])
    frames = [f for f in torso.can_rx() if is_mit_command(f)]
    assert [(mit_kp_code(d), mit_kd_code(d)) for _, d in frames] == [(245, 819), (4095, 4095), (491, 1638)] * 2


def test_a_log_handler_may_use_the_controller_it_hears_from(ctl, torso):
    # Clamp warnings are forwarded to Python while the method runs; the
    # controller must not be locked then, or this handler would fail (or hang).
    outcomes = []

    class Reentrant(logging.Handler):
        def emit(self, record):
            try:
                outcomes.append(ctl.neck_position_limits()[1])
            except Exception as e:  # noqa: BLE001 - record what the handler saw
                outcomes.append(e)

    handler = Reentrant()
    logger = logging.getLogger(CONTROLLER_LOGGER)
    logger.addHandler(handler)
    try:
        ctl.set_neck_position([0.0, 0.9, 0.0])
        ctl.set_neck_roll_position(-2.0)
    finally:
        logger.removeHandler(handler)
    assert outcomes == [(0.0, 0.45), (0.0, 0.45)]
