"""Only a joint's own feedback, on the turn it is on now, becomes its position: stray register
replies, motor power cycles onto other turns and joints past the range, for both classes."""

from __future__ import annotations

import datetime
import logging
import time

import pytest

import velmora_motor_controller as vmc
from velmora_sim import VirtualTorso

from controller_wire import CONTROLLER_LOGGER, TWO_PI, controller_records, is_mit_command, mit_position_code

pytestmark = pytest.mark.needs_can

SAFETY_SPAN = [1.0, 0.45, 0.8]  # width of each joint's safety range


def mit_goals(torso):
    """(joint index, goal on the motor's counter) of every MIT command the motors received."""
    return [(i - 1, mit_position_code(d) * 25.0 / 65535.0 - 12.5) for i, d in torso.can_rx() if is_mit_command((i, d))]


def counters(torso):
    return [torso.motor_state(i)["position"] for i in (1, 2, 3)]


def wait_until(condition, seconds=3.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def new_loop(torso):
    return vmc.VelmoraPyControlLoop(None, datetime.timedelta(milliseconds=10), torso.can_interface)


def test_stray_register_replies_never_become_positions(can_preload):
    with VirtualTorso(servos=False) as torso:
        for can_id in (1, 2, 3):
            torso.stray_register_reply(can_id, 1000)
        ctl = vmc.VelmoraMotorController(can_bus=torso.can_interface)
        assert ctl.set_neck_yaw_position(0.0) == pytest.approx(0.0, abs=0.01)
        for _ in range(5):
            assert ctl.read_neck_positions() == pytest.approx([0.0] * 3, abs=0.01)
        ctl.enable_neck(True)  # its register reads take only register replies
        del ctl

        loop = new_loop(torso)
        try:
            seen = []
            while len(seen) < 30:
                seen.append(loop.get_last_position().neck)
                time.sleep(0.01)
            assert all(p == pytest.approx([0.0] * 3, abs=0.01) for p in seen), seen
            loop.set_neck_position([0.0, 0.1, 0.0])
            assert wait_until(lambda: loop.get_last_position().neck[1] == pytest.approx(0.1, abs=0.02))
        finally:
            loop.close()
        assert torso.motor_state(1)["stray_replies"] < 1000  # the strays did go out
        assert all(abs(goal) < 0.5 for _, goal in mit_goals(torso))


@pytest.mark.parametrize("turn", [1, -1])
def test_a_power_cycle_onto_another_turn_never_swings_the_head(turn, can_preload, caplog):
    caplog.set_level(logging.WARNING, logger=CONTROLLER_LOGGER)
    rest = (0.05, 0.1, -0.05)
    with VirtualTorso(servos=False, neck_positions=rest) as torso:
        ctl = vmc.VelmoraMotorController(can_bus=torso.can_interface)
        assert ctl.read_neck_positions() == pytest.approx(rest, abs=0.01)
        ctl.enable_neck(True)
        for can_id in (1, 2, 3):
            torso.power_cycle_motor(can_id, turn)
        torso.clear_logs()
        # The usual recovery: power back, enable (its replies carry the positions), command.
        ctl.enable_neck(True)
        ctl.set_neck_position([0.0, 0.2, 0.0])
        raw = [turn * TWO_PI + p for p in rest]
        for joint, goal in mit_goals(torso):
            assert abs(goal - raw[joint]) <= SAFETY_SPAN[joint], (joint, goal, raw)
        assert wait_until(lambda: ctl.read_neck_positions() == pytest.approx([0.0, 0.2, 0.0], abs=0.02))
        moved = [r for r in controller_records(caplog) if "counter moved" in r[1]]
        assert [m[1].split()[0] for m in moved] == ["neck_yaw", "neck_pitch", "neck_roll"]
        assert all(m[1].endswith(f"now count from turn {turn}") for m in moved)
        del ctl

        # The loop reads the neck at every tick: the same again with a loop running.
        loop = new_loop(torso)
        try:
            loop.enable_neck(True)
            for can_id in (1, 2, 3):
                torso.power_cycle_motor(can_id, -turn)
            wait_until(lambda: not torso.motor_state(1)["enabled"])
            torso.clear_logs()
            loop.enable_neck(True)
            loop.set_neck_position([0.1, 0.1, 0.1])
            assert wait_until(lambda: loop.get_last_position().neck == pytest.approx([0.1] * 3, abs=0.02))
            raw = counters(torso)
            for joint, goal in mit_goals(torso):
                assert abs(goal - raw[joint]) <= SAFETY_SPAN[joint], (joint, goal, raw)
        finally:
            loop.close()


def test_a_joint_two_turns_away_is_refused(can_preload):
    with VirtualTorso(servos=False, neck_positions=(2 * TWO_PI + 0.1, 0.0, 0.0)) as torso:
        ctl = vmc.VelmoraMotorController(can_bus=torso.can_interface)
        why = r"position unknown: its motor reports the end of its position range"
        with pytest.raises(RuntimeError, match=r"^read_neck_positions\(neck_yaw\): " + why):
            ctl.read_neck_positions()
        torso.clear_logs()
        with pytest.raises(RuntimeError, match=r"^set_neck_yaw_position: " + why):
            ctl.set_neck_yaw_position(0.0)
        with pytest.raises(RuntimeError, match=r"^set_neck_position\(neck_yaw\): " + why):
            ctl.set_neck_position([0.3, 0.1, 0.0])
        assert torso.can_rx() == []
        started = time.monotonic()
        with pytest.raises(RuntimeError, match=why):
            ctl.neck_home()
        assert time.monotonic() - started < 1.0  # not a homing time-out
        assert mit_goals(torso) == []
