"""Fixtures for the control-loop tests.

    make_loop   builds VelmoraPyControlLoop objects against a virtual torso and closes
                whatever the test left open
    child_env   environment for a child interpreter that can import the module and
                reach the torso's CAN hub
"""

from __future__ import annotations

import datetime
import os

import pytest


ms = lambda n: datetime.timedelta(milliseconds=n)  # noqa: E731


@pytest.fixture
def make_loop():
    import velmora_motor_controller as vmc

    made = []

    def build(torso, period_ms=10, **kwargs):
        kwargs.setdefault("can_bus", torso.can_interface)
        kwargs.setdefault("voltage_rampup_timeout", ms(2000))
        loop = vmc.VelmoraPyControlLoop(torso.serial_device, ms(period_ms), **kwargs)
        made.append(loop)
        return loop

    yield build
    for loop in made:
        loop.close()


@pytest.fixture
def child_env():
    def env_for(torso):
        import velmora_motor_controller

        packages = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..", "python"))
        env = dict(os.environ)
        env.update(torso.env())
        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.dirname(velmora_motor_controller.__file__), packages, env.get("PYTHONPATH", "")])
        return env

    return env_for
