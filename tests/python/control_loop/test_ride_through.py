"""Devices that go away and come back: a pulled serial adapter, a removed CAN interface and a servo
brown-out, ridden through by both classes without a restart, with one log record at each end."""

from __future__ import annotations

import logging
import time

import pytest

import velmora_motor_controller as vmc

from test_loop_commands import eventually, reading_fails, torque

pytestmark = pytest.mark.needs_can

LOGGERS = ("velmora_motor_controller.controller", "velmora_motor_controller.control_loop")
# Levels are cached at a logger's first record: open both before anything logs.
for _name in LOGGERS:
    logging.getLogger(_name).setLevel(logging.DEBUG)


def records(caplog, level):
    return [r.getMessage() for r in caplog.records if r.name in LOGGERS and r.levelno == level]


def wait_out(loop, seconds):
    """Lets the loop tick on for a while (the outage goes on meanwhile)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(0.02)


def test_a_pulled_serial_adapter_is_picked_up_again_by_the_loop(torso, make_loop, caplog):
    caplog.set_level(logging.INFO)
    loop = make_loop(torso)
    loop.enable_torque()
    eventually(lambda: torque(loop))
    path = torso.serial_device

    torso.unplug_serial_adapter()
    eventually(lambda: reading_fails(loop))
    eventually(lambda: torque(loop) is None)  # not known while the servos cannot be asked
    loop.set_arms_position([0.1, 0.0, 0.0, 0.0])  # fails on the loop, and is dropped there
    wait_out(loop, 0.5)  # 50 ticks, and still one record
    errors = records(caplog, logging.ERROR)
    assert len(errors) == 1 and errors[0].startswith(f"serial port {path} disconnected ("), errors

    torso.replug_serial_adapter()
    back = time.monotonic()
    eventually(lambda: not reading_fails(loop), timeout=1.0)
    assert time.monotonic() - back < 1.0
    eventually(lambda: torque(loop) is True)  # read again: the adapter went, the servos kept their power
    infos = [m for m in records(caplog, logging.INFO) if "back after" in m]
    assert len(infos) == 1 and infos[0].startswith(f"serial port {path} back after "), infos
    assert int(infos[0].split("; ")[1].split()[0]) > 10  # readings failed meanwhile
    assert len(records(caplog, logging.ERROR)) == 1

    torso.unplug_serial_adapter()
    eventually(lambda: reading_fails(loop))
    started = time.monotonic()
    loop.close()  # prompt during an outage
    assert time.monotonic() - started < 1.0


def test_a_servo_brownout_leaves_the_torque_off_and_the_loop_says_so(torso, make_loop, caplog):
    caplog.set_level(logging.INFO)
    loop = make_loop(torso)
    loop.enable_torque()
    eventually(lambda: torque(loop))
    torso.brownout_servos(0.3)
    eventually(lambda: reading_fails(loop))
    eventually(lambda: not reading_fails(loop))
    eventually(lambda: torque(loop) is False)  # they came back with torque off
    errors = records(caplog, logging.ERROR)
    assert len(errors) == 1 and errors[0].startswith(f"readings failing (serial port {torso.serial_device}: "), errors
    assert [m for m in records(caplog, logging.INFO) if m.startswith("readings back after ")]


def test_the_synchronous_class_reopens_on_the_next_call(torso, can_preload):
    ctl = vmc.VelmoraMotorController(torso.serial_device, torso.can_interface)
    assert len(ctl.read_all_positions()) == 7
    torso.unplug_serial_adapter()
    with pytest.raises(RuntimeError):
        ctl.read_all_positions()  # finds the device gone
    with pytest.raises(RuntimeError, match=rf"^serial port {torso.serial_device} disconnected \(.*\); could not open"):
        ctl.read_all_positions()  # one reopen, and it failed
    torso.replug_serial_adapter()
    assert len(ctl.read_all_positions()) == 7  # the first call after it is back works

    torso.remove_can_interface()
    with pytest.raises(RuntimeError):
        ctl.read_neck_positions()
    with pytest.raises(RuntimeError, match=rf"^read_neck_positions\(neck_yaw\): CAN interface {torso.can_interface} "
                                           r"disconnected \("):
        ctl.read_neck_positions()
    torso.restore_can_interface()
    assert ctl.read_neck_positions() == pytest.approx([0.0] * 3, abs=0.01)


def test_a_removed_can_interface_is_bound_again_by_the_loop(torso, make_loop, caplog):
    caplog.set_level(logging.INFO)
    loop = make_loop(torso)
    torso.remove_can_interface()
    eventually(lambda: reading_fails(loop))
    wait_out(loop, 0.5)
    errors = records(caplog, logging.ERROR)
    assert len(errors) == 1 and errors[0].startswith(f"CAN interface {torso.can_interface} disconnected ("), errors
    torso.restore_can_interface()
    eventually(lambda: not reading_fails(loop), timeout=1.0)
    loop.enable_neck(True)
    loop.set_neck_position([0.1, 0.1, 0.1])  # on the turn taken again from the first report
    eventually(lambda: loop.get_last_position().neck == pytest.approx([0.1] * 3, abs=0.02))
    assert [m for m in records(caplog, logging.INFO) if m.startswith(f"CAN interface {torso.can_interface} back after")]

    torso.can_error_frame("bus-off")
    eventually(lambda: any("bus-off" in m for m in records(caplog, logging.ERROR)))
    assert any(f"ip link set {torso.can_interface}" in m for m in records(caplog, logging.ERROR))
