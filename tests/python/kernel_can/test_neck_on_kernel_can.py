"""The neck through the kernel's CAN stack: the module's real sockets against the simulator's kernel-CAN mode.

The reply time-outs are the module's own (20 ms per motor). Under emulation the
check's virtual machine counts time in executed instructions, so the simulator's
replies take the same guest time however loaded the host is.
"""

from __future__ import annotations

import datetime
import time

import pytest

import velmora_motor_controller as vmc

FEEDBACK_REQUEST = 0xCC
READ_REGISTER = 0x33
CTRL_MODE = 10
ENABLE = b"\xff" * 7 + b"\xfc"


def wait_until(condition, seconds=30.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def test_feedback_enable_and_mit_round_trips(neck_ctl, kernel_sim):
    for can_id, position in ((1, 0.1), (2, 0.2), (3, -0.1)):
        kernel_sim.set_motor_position(can_id, position)
    assert neck_ctl.read_neck_positions() == pytest.approx([0.1, 0.2, -0.1], abs=1e-3)
    assert kernel_sim.can_rx() == [(0x7FF, bytes([i, 0, FEEDBACK_REQUEST, 0, 0, 0, 0, 0])) for i in (1, 2, 3)]

    kernel_sim.clear_logs()
    neck_ctl.enable_neck(True)
    assert neck_ctl.is_neck_torque_enabled()
    enables = [can_id for can_id, data in kernel_sim.can_rx() if data == ENABLE]
    mode_reads = [data[0] for can_id, data in kernel_sim.can_rx()
                  if can_id == 0x7FF and data[2:4] == bytes([READ_REGISTER, CTRL_MODE])]
    assert enables == [1, 2, 3] and mode_reads == [1, 2, 3]
    assert all(kernel_sim.motor_state(i)["enabled"] for i in (1, 2, 3))

    kernel_sim.clear_logs()
    reported = neck_ctl.set_neck_position([0.0, 0.3, 0.0])
    assert reported == pytest.approx([0.1, 0.2, -0.1], abs=0.02)  # where the joints were when asked
    assert [can_id for can_id, _ in kernel_sim.can_rx()] == [1, 2, 3]
    assert [kernel_sim.motor_state(i)["goal"] for i in (1, 2, 3)] == pytest.approx([0.0, 0.3, 0.0], abs=1e-3)


def test_a_silent_motor_then_homing(neck_ctl, kernel_sim):
    for can_id, position in ((1, 0.02), (2, 0.05), (3, -0.05)):
        kernel_sim.set_motor_position(can_id, position)
    kernel_sim.unplug_motor(2)
    with pytest.raises(RuntimeError, match=r"^set_neck_position\(neck_pitch\): .*timeout waiting for frame"):
        neck_ctl.set_neck_position([0.0, 0.1, 0.0])
    assert [can_id for can_id, _ in kernel_sim.can_rx()] == [1, 2]  # roll never commanded
    kernel_sim.unplug_motor(2, False)

    kernel_sim.set_motor_position(1, 6.3)  # a whole turn on: home is 2 pi, which reads as 0
    assert neck_ctl.neck_home() == pytest.approx([0.0, 0.0, 0.0], abs=0.15)
    assert kernel_sim.motor_state(1)["position"] == pytest.approx(6.283, abs=0.15)
    assert neck_ctl.set_neck_pitch_position(-1.0) == pytest.approx(0.0, abs=0.15)
    assert kernel_sim.motor_state(2)["goal"] == pytest.approx(0.0, abs=1e-3)  # clamped to the joint's range


def test_neck_only_loop_runs_and_its_readings_recover(kernel_sim, kernel_can):
    for can_id in (1, 2, 3):
        kernel_sim.set_motor_position(can_id, 0.0)
    loop = vmc.VelmoraPyControlLoop(None, datetime.timedelta(milliseconds=10), kernel_can,
                                    stats_pub_period=datetime.timedelta(milliseconds=100))
    try:
        def reads_ok():
            try:
                loop.get_last_position()
                return True
            except RuntimeError:
                return False

        started = time.monotonic()
        wait_until(reads_ok)
        loop.enable_neck(True)
        loop.set_neck_position([0.1, 0.2, -0.1])
        wait_until(lambda: loop.get_last_position().neck == pytest.approx([0.1, 0.2, -0.1], abs=0.02))

        kernel_sim.unplug_motor(3)
        wait_until(lambda: not reads_ok())
        kernel_sim.unplug_motor(3, False)
        wait_until(reads_ok)
        time.sleep(max(0.0, 1.0 - (time.monotonic() - started)))
        assert reads_ok()
        stats = loop.get_stats()
        assert stats is not None and len(stats.read_dt) > 0
    finally:
        loop.close()
    assert not kernel_sim.motor_state(3)["unplugged"]
