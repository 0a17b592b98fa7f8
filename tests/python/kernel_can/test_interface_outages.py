"""The kernel's own errors for an interface taken down and up, and for one deleted and added again
(the way a pulled USB CAN adapter comes back: the same name, a new index), ridden through by both
classes. Runs as root inside the check's virtual machine."""

from __future__ import annotations

import datetime
import subprocess
import time

import pytest

import velmora_motor_controller as vmc
from velmora_sim import VirtualTorso

COMM = "Motor communication error! Check connections and power supply."


def ip_link(*args: str) -> None:
    subprocess.run(["ip", "link", *args], check=True)


def eventually(condition, seconds=30.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def reads(loop) -> bool:
    try:
        return loop.get_last_position().neck == pytest.approx([0.0] * 3, abs=0.01)
    except RuntimeError as e:
        assert str(e) == COMM
        return False


def test_down_up_and_delete_add_are_ridden_through(kernel_can):
    with VirtualTorso(servos=False, can_interface=kernel_can, kernel_can=True) as torso:
        ctl = vmc.VelmoraMotorController(can_bus=kernel_can)
        loop = vmc.VelmoraPyControlLoop(None, datetime.timedelta(milliseconds=10), kernel_can)
        try:
            eventually(lambda: reads(loop))
            ip_link("set", kernel_can, "down")
            eventually(lambda: not reads(loop))
            with pytest.raises(RuntimeError, match=r"^read_neck_positions\(neck_yaw\): "):
                ctl.read_neck_positions()
            ip_link("set", kernel_can, "up")
            eventually(lambda: reads(loop))
            assert ctl.read_neck_positions() == pytest.approx([0.0] * 3, abs=0.01)

            ip_link("delete", kernel_can)
            eventually(lambda: not reads(loop))
            with pytest.raises(RuntimeError, match=rf"CAN interface {kernel_can} disconnected \("):
                ctl.read_neck_positions()
            ip_link("add", "dev", kernel_can, "type", "vcan")
            ip_link("set", "up", kernel_can)
            eventually(lambda: reads(loop))
            eventually(lambda: torso.motor_state(1)["position"] == pytest.approx(0.0, abs=0.01))
            assert ctl.read_neck_positions() == pytest.approx([0.0] * 3, abs=0.01)
        finally:
            loop.close()
            del ctl
            subprocess.run(["ip", "link", "add", "dev", kernel_can, "type", "vcan"], capture_output=True)
            subprocess.run(["ip", "link", "set", "up", kernel_can], capture_output=True)
