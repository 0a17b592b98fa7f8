"""Explicit lifecycle of both hardware classes: close, context managers, repr, and reopening the same devices."""

from __future__ import annotations

import logging
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import velmora_motor_controller as vmc

pytestmark = pytest.mark.needs_can

CLOSED = "controller is closed"


def test_close_releases_the_devices_while_a_traceback_still_holds_the_objects(torso):
    script = textwrap.dedent(f"""
        import datetime, os, sys
        import velmora_motor_controller as vmc
        serial, can = os.environ["VELMORA_SERIAL"], os.environ["VELMORA_CAN"]

        def fail_inside(cls, *args, **kwargs):
            try:
                with cls(*args, **kwargs) as obj:
                    assert repr(obj).endswith("open>"), repr(obj)
                    raise ValueError("boom")
            except ValueError:
                return obj, sys.exc_info()[2]  # the traceback's frame keeps `obj` alive

        ctl, kept = fail_inside(vmc.VelmoraMotorController, serial, can)
        assert repr(ctl) == f"<VelmoraMotorController serialport={{serial!r}} can_bus={{can!r}} closed>"
        ctl.close()  # a second close does nothing
        for call in (ctl.read_all_positions, ctl.neck_position_limits, ctl.is_neck_torque_enabled,
                     lambda: ctl.set_neck_yaw_position(0.1), ctl.__enter__):
            try:
                call()
            except RuntimeError as e:
                assert str(e) == {CLOSED!r}, e
            else:
                raise AssertionError("a closed controller answered")
        with vmc.VelmoraMotorController(serial, can) as again:  # the serial port's lock went with close
            assert again.read_all_positions() == [0.0] * 7

        period = datetime.timedelta(milliseconds=10)
        loop, kept_too = fail_inside(vmc.VelmoraPyControlLoop, serial, period, can_bus=can)
        assert repr(loop).endswith("closed>") and loop.get_last_position().timestamp > 0
        with vmc.VelmoraPyControlLoop(serial, period, can_bus=can) as again:
            assert repr(again).startswith(f"<VelmoraPyControlLoop serialport={{serial!r}}")
        print("ok")
    """)
    env = {**os.environ, **torso.env()}
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(vmc.__file__), env.get("PYTHONPATH", "")])
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


def test_close_from_another_thread_while_a_call_is_in_its_log_handler(ctl, torso):
    # The yaw goal is clamped, so the call logs a warning before it commands the motor; its handler
    # holds the call there while another thread closes the controller.
    inside, resume = threading.Event(), threading.Event()

    class Pause(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            inside.set()
            resume.wait(10)

    logger = logging.getLogger("velmora_motor_controller.controller")
    handler = Pause()
    logger.addHandler(handler)
    outcome: list[BaseException] = []

    def command() -> None:
        try:
            ctl.set_neck_yaw_position(10.0)
        except RuntimeError as e:
            outcome.append(e)

    caller = threading.Thread(target=command)
    try:
        caller.start()
        assert inside.wait(10)
        ctl.close()
        resume.set()
        caller.join(10)
    finally:
        resume.set()
        logger.removeHandler(handler)
    assert [str(e) for e in outcome] == [CLOSED]
    assert torso.can_rx() == []  # nothing reached the neck after the close
