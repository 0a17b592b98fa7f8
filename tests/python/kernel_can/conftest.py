"""Fixtures for the tests on a kernel CAN interface (VELMORA_KERNEL_CAN, inside the check's virtual machine).

    kernel_can   the interface name, once this process is known to reach the kernel's CAN stack itself
    kernel_sim   a neck-only virtual torso serving that interface, shared by the module
    neck_ctl     a neck-only VelmoraMotorController on it, motors disabled and logs cleared
"""

from __future__ import annotations

import os
import socket

import pytest

import velmora_motor_controller as vmc
from velmora_sim import VirtualTorso

ARPHRD_CAN = 280


@pytest.fixture(scope="session", autouse=True)
def kernel_can() -> str:
    # Every way of passing by the kernel fails here instead of testing the stand-in by mistake.
    name = os.environ.get("VELMORA_KERNEL_CAN")
    assert name, "VELMORA_KERNEL_CAN is not set"
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        assert "libvelmora_vcan.so" not in maps.read(), "the CAN stand-in is loaded: this would not test the kernel"
    with open(f"/sys/class/net/{name}/type", encoding="ascii") as f:
        assert int(f.read()) == ARPHRD_CAN, f"{name} is not a CAN interface"
    socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW).close()
    return name


@pytest.fixture(scope="module")
def kernel_sim(kernel_can):
    with VirtualTorso(servos=False, can_interface=kernel_can, kernel_can=True) as torso:
        yield torso


@pytest.fixture
def neck_ctl(kernel_sim):
    c = vmc.VelmoraMotorController(can_bus=kernel_sim.can_interface)
    c.enable_neck(False)
    for can_id in (1, 2, 3):
        kernel_sim.unplug_motor(can_id, False)
    kernel_sim.clear_logs()
    yield c
    del c

