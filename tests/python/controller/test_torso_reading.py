"""VelmoraMotorController.read_torso_position: all ten joints in one reading, both buses at once."""

from __future__ import annotations

import math
import re
import time

import pytest

pytestmark = pytest.mark.needs_can


def test_one_reading_of_both_buses_and_its_failures(ctl, torso, neck_ctl):
    torso.set_servo_position(3, 3072)  # a quarter turn past the middle
    torso.set_motor_position(2, 0.25)
    before = time.time()
    reading = ctl.read_torso_position()
    assert before <= reading.timestamp <= time.time()
    servos = ctl.read_all_positions()
    assert reading.left_arm + reading.right_arm + reading.nose == pytest.approx(servos, abs=1e-3)
    assert reading.right_arm[0] == pytest.approx(math.pi / 2, abs=0.01)
    assert reading.neck == pytest.approx(ctl.read_neck_positions(), abs=0.01)
    assert reading.neck[1] == pytest.approx(0.25, abs=0.01)
    # Requests on both buses, the neck's first: three feedback requests, two sync reads.
    assert [can_id for can_id, _ in torso.can_rx()][:3] == [0x7FF] * 3

    # The first joint that fails is named as the two single reads name it.
    torso.unplug_motor(2)
    with pytest.raises(RuntimeError) as neck_failure:
        ctl.read_neck_positions()
    with pytest.raises(RuntimeError) as torso_failure:
        ctl.read_torso_position()
    assert str(torso_failure.value) == str(neck_failure.value)
    assert str(torso_failure.value).startswith("read_neck_positions(neck_pitch): ")
    torso.unplug_servo(6)
    with pytest.raises(RuntimeError) as servo_failure:
        ctl.read_all_positions()
    with pytest.raises(RuntimeError, match=f"^{re.escape(str(servo_failure.value))}$"):
        ctl.read_torso_position()

    torso.clear_logs()
    with pytest.raises(RuntimeError, match=r"^serial port not configured \(neck-only controller\)$"):
        neck_ctl.read_torso_position()
