"""Neck homing and arm homing against the virtual torso."""

from __future__ import annotations

import datetime
import math
import re
import time

import pytest

import velmora_motor_controller as vmc
from velmora_sim import VirtualTorso

from controller_wire import TWO_PI, is_mit_command, mit_kd_code, mit_kp_code, mit_position_code, position_code, \
    sync_read, sync_write

pytestmark = pytest.mark.needs_can


def mit_frames(torso, can_id=None):
    return [(i, d) for i, d in torso.can_rx() if is_mit_command((i, d)) and (can_id is None or i == can_id)]


def test_neck_home_goes_to_the_nearest_turn_from_multi_turn_positions(ctl, torso):
    torso.set_motor_position(1, 6.4)
    torso.set_motor_position(2, -3.0)
    torso.set_motor_position(3, -6.2)
    observed = ctl.neck_home(4.0, 0.05)
    assert observed == pytest.approx([0.0, 0.0, 0.0], abs=0.05)  # relative to the turns homing found
    assert ctl.is_neck_torque_enabled() is True
    assert torso.motor_state(1)["enabled"]
    # The ramp ends exactly on the goals: 2π for yaw; -0.0 for pitch, whose
    # zero code is the truncated midpoint; -2π for roll.
    last = {i: mit_position_code(d) for i, d in mit_frames(torso)}
    assert last == {1: position_code(TWO_PI), 2: position_code(-0.0), 3: position_code(-TWO_PI)}
    # Pitch travelled 3 rad in steps of at most 0.04 rad.
    codes = [mit_position_code(d) for _, d in mit_frames(torso, 2)]
    step = position_code(0.04) - position_code(0.0)
    assert all(abs(b - a) <= step + 1 for a, b in zip(codes, codes[1:]))
    assert len(codes) >= 3.0 / 0.04


def test_neck_home_when_already_home_and_enabled_sends_one_command_per_joint(ctl, torso):
    ctl.enable_neck(True)
    torso.clear_logs()
    assert ctl.neck_home(0.2) == pytest.approx([0.0, 0.0, 0.0], abs=1e-3)  # speed only; tolerance stays 0.15
    frames = torso.can_rx()
    assert [i for i, _ in frames] == [0x7FF, 0x7FF, 0x7FF, 1, 2, 3]  # feedback requests, then one ramp cycle


def test_neck_home_rejects_bad_arguments_before_anything_changes(ctl, torso):
    for kwargs, message in [({"speed": 0}, "neck_home: speed must be positive, got 0"),
                            ({"speed": -0.5}, "neck_home: speed must be positive, got -0.5"),
                            ({"speed": math.nan}, "neck_home: speed must be positive, got NaN"),
                            ({"tolerance": 0.0}, "neck_home: tolerance must be positive, got 0")]:
        with pytest.raises(RuntimeError) as e:
            ctl.neck_home(kp=1.0, **kwargs)
        assert str(e.value) == message
    assert torso.can_rx() == []
    ctl.set_neck_position([0.0, 0.0, 0.0])
    assert [mit_kp_code(d) for _, d in mit_frames(torso)] == [245, 491, 491]


def test_neck_home_gain_overrides_stay_in_force(ctl, torso):
    ctl.neck_home(kd=4.0)
    torso.clear_logs()
    ctl.set_neck_position([0.0, 0.1, 0.0])
    frames = mit_frames(torso)
    assert [mit_kd_code(d) for _, d in frames] == [3276] * 3
    assert [mit_kp_code(d) for _, d in frames] == [245, 491, 491]
    assert torso.motor_state(2)["kd"] == pytest.approx(4.0, abs=0.01)


def test_after_homing_from_other_turns_goals_are_meant_on_those_turns(can_preload):
    # Power-up counters a turn away from zero; a read, plus a tenth, commanded:
    # each joint moves a tenth, for the synchronous class and for the loop.
    with VirtualTorso(trace=None, servos=False, neck_positions=(6.30, 0.02, -6.27)) as torso:
        def moves_a_tenth(read, command):
            counters = [torso.motor_state(i)["position"] for i in (1, 2, 3)]
            positions = read()
            assert all(abs(p) < 0.15 for p in positions), positions  # near the zero of its own turn
            command([p + 0.1 for p in positions])
            deadline = time.monotonic() + 5.0
            while True:
                moved = [torso.motor_state(i)["position"] - c for i, c in zip((1, 2, 3), counters)]
                if moved == pytest.approx([0.1] * 3, abs=0.01) or time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            assert moved == pytest.approx([0.1] * 3, abs=0.01)

        ctl = vmc.VelmoraMotorController(can_bus=torso.can_interface)
        assert ctl.neck_home(speed=2.0, tolerance=0.01) == pytest.approx([0.0, 0.0, 0.0], abs=0.01)
        assert [torso.motor_state(i)["position"] for i in (1, 2, 3)] == pytest.approx(
            [TWO_PI, 0.0, -TWO_PI], abs=0.01)
        moves_a_tenth(ctl.read_neck_positions, ctl.set_neck_position)
        del ctl

        loop = vmc.VelmoraPyControlLoop(None, datetime.timedelta(milliseconds=10), torso.can_interface)
        try:
            moves_a_tenth(lambda: loop.get_last_position().neck, loop.set_neck_position)
        finally:
            loop.close()


@pytest.mark.slow
def test_neck_home_times_out_with_a_blocked_joint(ctl, torso):
    # At least 2000 cycles of 10 ms whatever the speed: about 21 s.
    torso.set_motor_position(1, 0.2)
    torso.set_motor_position(2, 1.0)
    torso.set_motor_position(3, -0.1)
    torso.block_motor(2)
    with pytest.raises(RuntimeError) as e:
        ctl.neck_home(speed=10.0)
    m = re.fullmatch(r"neck_home: timed out before settling\. observed=\[(.*)\], goals=\[(.*)\], settled=\[(.*)\]",
                     str(e.value))
    assert m, str(e.value)
    observed = [float(x) for x in m.group(1).split(", ")]
    assert observed == pytest.approx([0.0, 1.0, 0.0], abs=0.15)
    assert observed[1] == pytest.approx(1.0, abs=1e-3)
    assert m.group(2) == "0.0, 0.0, -0.0"
    assert m.group(3) == "true, false, true"
    assert ctl.is_neck_torque_enabled() is True


def offset_raw(steps: int) -> bytes:
    value = abs(steps) | (0x800 if steps < 0 else 0)
    return value.to_bytes(2, "little")


def offset_of(torso, servo_id):
    raw = int.from_bytes(torso.servo_registers(servo_id)[31:33], "little")
    magnitude = (raw & 0x7FF) * math.pi / 2047
    return -magnitude if (raw & 0xF800) == 0x0800 else magnitude


def test_arm_home_rewrites_the_offsets_in_order_and_reads_zero(ctl, torso):
    # present, offset in servo steps (4096 a turn)
    poses = {1: (2048 + 196, 130), 2: (2048 + 1956, 326), 3: (2048 - 1956, -326), 4: (2048, 0)}
    for servo_id, (present, offset) in poses.items():
        torso.write_servo_registers(servo_id, 31, offset_raw(offset))
        torso.set_servo_position(servo_id, present)
    ctl.enable_torque()
    torso.clear_logs()

    verified = ctl.set_arm_home()
    assert verified == pytest.approx([0.0] * 4, abs=0.005)
    rx = torso.serial_rx()
    assert rx[0] == sync_write(40, {i: b"\x00" for i in (1, 2, 3, 4)})
    assert rx[1] == sync_read(56, 2, [1, 2, 3, 4])
    assert rx[2] == sync_read(31, 2, [1, 2, 3, 4])
    assert rx[3] == sync_write(55, {i: b"\x00" for i in (1, 2, 3, 4)})
    assert rx[4][:7] == bytes([0xFF, 0xFF, 0xFE, 0x10, 0x83, 31, 2])
    assert rx[5] == sync_write(55, {i: b"\x01" for i in (1, 2, 3, 4)})
    assert rx[6] == sync_read(56, 2, [1, 2, 3, 4])
    assert len(rx) == 7

    # present + offset, folded into [-π, π]
    expected = {1: 0.3 + 0.2, 2: 3.0 + 0.5 - TWO_PI, 3: -3.0 - 0.5 + TWO_PI, 4: 0.0}
    for servo_id, value in expected.items():
        assert offset_of(torso, servo_id) == pytest.approx(value, abs=0.01)
        assert torso.servo_registers(servo_id)[40] == 0, "arm torque stays off"
        assert torso.servo_registers(servo_id)[55] == 1, "EEPROM locked again"
    assert torso.servo_registers(5)[40] == 1, "nose torque untouched"
    assert ctl.read_all_positions()[:4] == pytest.approx([0.0] * 4, abs=0.005)


def test_arm_home_verify_failure_reports_how_to_restore(ctl, torso):
    # 3.0005 rad is stored as 1955 offset units of π/2047 while the servo
    # counts 4096 steps a turn: a residue of one step (0.0015 rad) is left.
    torso.set_servo_position(1, 4004)
    with pytest.raises(RuntimeError) as e:
        ctl.set_arm_home(verify_tol=0.001)
    message = str(e.value)
    assert message.startswith("set_arm_home: verify failed \u2014 arm IDs [1, 2, 3, 4] now reading [+0.0015, "
                              "+0.0000, +0.0000, +0.0000] rad (expected ~0 within 0.0010). The Feetech offset sign "
                              "convention on this hardware may differ from the assumed `present = encoder - offset`."
                              " EEPROM has been left in the new state; restore manually using prior_offsets "
                              "[+0.0000, +0.0000, +0.0000, +0.0000], new_offsets [+3.0005, +0.0000, +0.0000, "
                              "+0.0000]."), message
    assert offset_of(torso, 1) == pytest.approx(3.0005, abs=0.002)
    assert torso.servo_registers(1)[55] == 1


def test_arm_home_refuses_a_bad_tolerance_before_touching_torque(ctl, torso):
    ctl.enable_torque()
    torso.clear_logs()
    with pytest.raises(RuntimeError, match=r"^set_arm_home: verify_tol must be positive, got 0$"):
        ctl.set_arm_home(0.0)
    with pytest.raises(RuntimeError, match=r"^set_arm_home: verify_tol must be positive, got -1$"):
        ctl.set_arm_home(verify_tol=-1)
    assert torso.serial_rx() == []
