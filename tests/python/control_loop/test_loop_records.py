"""VelmoraTorsoPosition and ControlLoopStats as Python classes."""

import re
import time

import pytest

import velmora_motor_controller as vmc


def test_torso_position_holds_copies_of_its_lists():
    before = time.time()
    p = vmc.VelmoraTorsoPosition([0.0, 0.0], (0, -1.25), [1e-5, 0.1, 2], neck=[0.5, 0.0, -0.0])
    assert p.left_arm == [0.0, 0.0] and p.right_arm == [0.0, -1.25]
    assert p.nose == [1e-5, 0.1, 2.0] and p.neck == [0.5, 0.0, -0.0]
    assert before - 1 <= p.timestamp <= time.time() + 1
    assert p.left_arm is not p.left_arm
    p.left_arm.append(3.0)
    assert p.left_arm == [0.0, 0.0]
    assert re.fullmatch(
        r"VelmoraTorsoPosition\(left_arm=\[0\.0, 0\.0\], right_arm=\[0\.0, -1\.25\], "
        r"nose=\[1e-5, 0\.1, 2\.0\], neck=\[0\.5, 0\.0, -0\.0\], timestamp=\d+\.\d{3}\)", repr(p))
    for name in ("left_arm", "right_arm", "nose", "neck", "timestamp"):
        with pytest.raises(AttributeError):
            setattr(p, name, [0.0])


@pytest.mark.parametrize("lengths", [(1, 2, 3, 3), (2, 2, 3, 4), (2, 3, 3, 3), (0, 0, 0, 0)])
def test_torso_position_rejects_wrong_lengths_together(lengths):
    with pytest.raises(ValueError) as e:
        vmc.VelmoraTorsoPosition(*[[0.0] * n for n in lengths])
    assert str(e.value) == "Each arm must have 2 positions, nose must have 3, neck must have 3."


def test_torso_position_argument_errors_name_the_argument():
    with pytest.raises(TypeError, match=r"^argument 'nose': "):
        vmc.VelmoraTorsoPosition([0, 0], [0, 0], 5, [0, 0, 0])
    with pytest.raises(TypeError, match=r"^argument 'neck': "):
        vmc.VelmoraTorsoPosition([0, 0], [0, 0], [0, 0, 0], ["a", 0, 0])
    with pytest.raises(TypeError, match=r"^argument 'left_arm': Can't extract `str` to `Vec`$"):
        vmc.VelmoraTorsoPosition("ab", [0, 0], [0, 0, 0], [0, 0, 0])
    with pytest.raises(TypeError):
        vmc.VelmoraTorsoPosition([0, 0], [0, 0], [0, 0, 0])


def test_class_faces():
    assert vmc.VelmoraTorsoPosition.__text_signature__ == "(left_arm, right_arm, nose, neck)"
    assert vmc.VelmoraTorsoPosition.neck.__doc__ == "Neck joint positions in rad: [yaw, pitch, roll]."
    assert vmc.VelmoraTorsoPosition.left_arm.__doc__ is None
    assert vmc.VelmoraTorsoPosition.__module__ == "builtins"
    with pytest.raises(TypeError):
        vmc.ControlLoopStats()
    with pytest.raises(TypeError):
        vmc.VelmoraTorsoPosition.__repr__(5)
    sig = vmc.VelmoraPyControlLoop.__text_signature__
    assert sig == ("(serialport, read_position_loop_period, can_bus=..., allowed_retries=5, "
                   "stats_pub_period=None, voltage_rampup_timeout=...)")
    assert vmc.VelmoraPyControlLoop.close.__doc__ == "Close the control loop and release resources."
    assert vmc.VelmoraPyControlLoop.async_read_pid_gains.__text_signature__ == "($self, id)"
    assert not vmc.VelmoraPyControlLoop.write_raw_packet.__doc__
