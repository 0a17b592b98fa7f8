"""Fixtures for the synchronous controller against the virtual torso.

    ctl        a VelmoraMotorController on the `torso` fixture's serial device and CAN interface
    neck_ctl   a neck-only VelmoraMotorController on the `neck_only_torso` fixture

Both torsos have their traffic logs cleared once the controller is built.
"""

from __future__ import annotations

import logging

import pytest

import velmora_motor_controller as vmc

# The log bridge asks each logger once whether a level is enabled and keeps the
# answer for the life of the process: open the controller's logger before any
# test logs through it, whatever other tests do to the root logger meanwhile.
logging.getLogger("velmora_motor_controller.controller").setLevel(logging.DEBUG)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: runs for tens of seconds (kept in the default run)")


@pytest.fixture
def ctl(torso, can_preload):
    c = vmc.VelmoraMotorController(torso.serial_device, torso.can_interface)
    torso.clear_logs()
    yield c
    del c


@pytest.fixture
def neck_ctl(neck_only_torso, can_preload):
    c = vmc.VelmoraMotorController(can_bus=neck_only_torso.can_interface)
    neck_only_torso.clear_logs()
    yield c
    del c

