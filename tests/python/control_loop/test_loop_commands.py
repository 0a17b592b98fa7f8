"""What each queued command does on the wires of the virtual torso."""

import time

import pytest

import velmora_motor_controller as vmc

pytestmark = pytest.mark.needs_can

COMM = "Motor communication error! Check connections and power supply."
SYNC_WRITE, WRITE = 0x83, 0x03
REG_TORQUE_ENABLE, REG_GOAL_POSITION = 40, 42


COMM = "Motor communication error! Check connections and power supply."


def reading_fails(loop) -> bool:
    """Whether the loop's last reading failed."""
    try:
        loop.get_last_position()
    except RuntimeError as e:
        assert str(e) == COMM
        return True
    return False


def torque(loop) -> bool | None:
    """The loop's torque state, None while it is not known."""
    try:
        return loop.is_torque_enabled()
    except RuntimeError as e:
        assert str(e) == COMM
        return None


def eventually(check, timeout=3.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            result = check()
        except AssertionError:
            if time.monotonic() > deadline:
                raise
        else:
            if result is not False:
                return result
            if time.monotonic() > deadline:
                raise AssertionError("condition not reached")
        time.sleep(0.01)


def parsed(packets):
    """(id, instruction, params) of each packet the servos received."""
    return [(p[2], p[4], bytes(p[5:-1])) for p in packets]


def sync_writes(torso, address):
    """{servo id: data} of the sync writes to `address`, in order."""
    out = []
    for _, instruction, params in parsed(torso.serial_rx()):
        if instruction == SYNC_WRITE and params[0] == address:
            size = params[1]
            rows = params[2:]
            out.append({rows[i]: rows[i + 1:i + 1 + size] for i in range(0, len(rows), size + 1)})
    return out


def test_position_commands_move_the_joints(torso, make_loop):
    loop = make_loop(torso)
    loop.enable_torque()
    loop.set_left_arm_position([0.1, -0.1])
    loop.set_right_arm_position((0.2, -0.2))
    loop.set_nose_position([0.05, 0.0, -0.05])

    def arrived():
        p = loop.get_last_position()
        want = [0.1, -0.1, 0.2, -0.2, 0.05, 0.0, -0.05]
        return all(abs(a - b) < 0.01 for a, b in zip(p.left_arm + p.right_arm + p.nose, want))

    eventually(arrived)
    assert loop.is_torque_enabled() is True
    loop.set_arms_position([0.0, 0.0, 0.3, 0.0])
    eventually(lambda: abs(loop.get_last_position().right_arm[0] - 0.3) < 0.01)

    goal = vmc.VelmoraTorsoPosition([0.0, 0.1], [0.0, 0.0], [0.2, 0.0, 0.0], [0.4, 0.4, 0.4])
    torso.clear_logs()
    loop.set_all_goal_positions(goal)
    eventually(lambda: abs(loop.get_last_position().nose[0] - 0.2) < 0.01)
    writes = sync_writes(torso, REG_GOAL_POSITION)
    assert [sorted(w) for w in writes] == [[1, 2, 3, 4], [5, 6, 7]]
    # the neck values of the record are not used
    assert all(torso.motor_state(i)["goal"] == pytest.approx(0.0, abs=1e-3) for i in (1, 2, 3))


def test_torque_commands(torso, make_loop):
    loop = make_loop(torso)
    loop.enable_torque_on_ids([3])
    eventually(lambda: loop.is_torque_enabled() is True)
    assert torso.servo_registers(3)[REG_TORQUE_ENABLE] == 1
    assert torso.servo_registers(4)[REG_TORQUE_ENABLE] == 0
    loop.enable_arms(True)
    loop.enable_nose(True)
    eventually(lambda: all(torso.servo_registers(i)[REG_TORQUE_ENABLE] == 1 for i in range(1, 8)))
    loop.disable_torque_on_ids([1, 5])
    eventually(lambda: loop.is_torque_enabled() is False)
    assert [torso.servo_registers(i)[REG_TORQUE_ENABLE] for i in range(1, 8)] == [0, 1, 1, 1, 0, 1, 1]
    loop.disable_torque()
    eventually(lambda: all(torso.servo_registers(i)[REG_TORQUE_ENABLE] == 0 for i in range(1, 8)))
    loop.enable_torque()
    eventually(lambda: loop.is_torque_enabled() is True)
    with pytest.raises(TypeError, match=r"Can't extract `str` to `Vec`"):
        loop.enable_torque_on_ids("123")
    with pytest.raises(TypeError):
        loop.enable_arms(1)


def test_neck_commands(torso, make_loop):
    loop = make_loop(torso)
    loop.enable_neck(True)
    eventually(lambda: all(torso.motor_state(i)["enabled"] for i in (1, 2, 3)))
    loop.set_neck_position([0.2, 0.9, -0.1])  # pitch beyond its limit of 0.45
    eventually(lambda: torso.motor_state(2)["goal"] == pytest.approx(0.45, abs=1e-3))
    assert torso.motor_state(1)["goal"] == pytest.approx(0.2, abs=1e-3)
    assert torso.motor_state(3)["goal"] == pytest.approx(-0.1, abs=1e-3)
    loop.set_neck_yaw_position(-0.3)
    loop.set_neck_pitch_position(0.1)
    loop.set_neck_roll_position(0.25)
    eventually(lambda: torso.motor_state(3)["goal"] == pytest.approx(0.25, abs=1e-3))
    assert torso.motor_state(1)["goal"] == pytest.approx(-0.3, abs=1e-3)
    assert torso.motor_state(2)["goal"] == pytest.approx(0.1, abs=1e-3)
    eventually(lambda: abs(loop.get_last_position().neck[0] + 0.3) < 0.02)
    loop.enable_neck(False)
    eventually(lambda: not any(torso.motor_state(i)["enabled"] for i in (1, 2, 3)))


def test_raw_register_access(torso, make_loop):
    loop = make_loop(torso)
    torso.write_servo_registers(1, 21, bytes([32, 0, 10]))
    assert loop.async_read_pid_gains(1) == (32, 10, 0)
    assert loop.async_read_raw_bytes(1, 21, 3) == bytes([32, 0, 10])
    assert isinstance(loop.async_read_raw_bytes(1, 5, 1), bytes)

    torso.clear_logs()
    loop.async_write_pid_gains(1, 300, 2, 3)  # P keeps its low byte only
    loop.async_write_raw_bytes(2, 44, [1, 0])
    loop.close()
    writes = [(i, params) for i, instruction, params in parsed(torso.serial_rx()) if instruction == WRITE]
    assert writes == [(1, bytes([21, 44, 3, 2])), (2, bytes([44, 1, 0]))]
    with pytest.raises(OverflowError):
        loop.async_write_pid_gains(1, 70000, 0, 0)


def test_raw_packet_round_trip(torso, make_loop):
    loop = make_loop(torso)
    body = bytes([3, 2, 0x01])  # ping servo 3
    ping = b"\xff\xff" + body + bytes([~sum(body) & 0xFF])
    reply = loop.write_raw_packet(ping)
    assert isinstance(reply, bytes)
    assert reply[:3] == b"\xff\xff\x03"
    with pytest.raises(TypeError):
        loop.write_raw_packet(bytearray(ping))


def test_a_closed_loop_keeps_its_readings_and_refuses_work(torso, make_loop):
    loop = make_loop(torso, stats_pub_period=__import__("datetime").timedelta(milliseconds=20))
    time.sleep(0.1)
    loop.close()
    assert loop.close() is None
    last = loop.get_last_position()
    assert last.timestamp == loop.get_last_position().timestamp
    assert loop.get_stats().period  # statistics stay readable
    with pytest.raises(RuntimeError, match="^channel closed$"):
        loop.enable_torque()
    with pytest.raises(RuntimeError, match="^channel closed$"):
        loop.set_neck_position([0, 0, 0])
    with pytest.raises(RuntimeError, match="^channel closed$"):
        loop.write_raw_packet(b"\xff\xff\x01\x02\x01\xfb")
    with pytest.raises(RuntimeError) as e:
        loop.async_write_raw_bytes(1, 21, [1])
    assert str(e.value) == "Failed to write raw bytes: " + COMM
    with pytest.raises(RuntimeError) as e:
        loop.async_write_pid_gains(1, 1, 1, 1)
    assert str(e.value) == "Failed to write pid gains: " + COMM
    t0 = time.monotonic()
    with pytest.raises(RuntimeError) as e:
        loop.async_read_pid_gains(1)
    assert str(e.value) == "Failed to read pid gains: " + COMM
    assert time.monotonic() - t0 < 0.5  # refused, not timed out


def test_goals_are_checked_before_anything_is_queued(torso, make_loop):
    loop = make_loop(torso)
    with pytest.raises(TypeError, match="positions"):
        loop.set_all_goal_positions([0.0] * 7)
    with pytest.raises(ValueError, match=r"^expected a sequence of length 2 \(got 3\)$"):
        loop.set_left_arm_position([0.0, 0.0, 0.0])
    nan = float("nan")
    with pytest.raises(ValueError, match=r"^set_all_goal_positions\(nose_left\): goal is not a number$"):
        loop.set_all_goal_positions(vmc.VelmoraTorsoPosition([0.0, 0.0], [0.0, 0.0], [0.0, nan, 0.0], [0.0] * 3))
    with pytest.raises(ValueError, match=r"^set_right_arm_position\(right_arm_yaw\): goal is not a number$"):
        loop.set_right_arm_position([0.0, nan])
    with pytest.raises(ValueError, match=r"^set_neck_position\(neck_yaw\): goal is not a number$"):
        loop.set_neck_position([nan, 0.0, 0.0])
    with pytest.raises(ValueError, match=r"^set_neck_roll_position\(neck_roll\): goal is not a number$"):
        loop.set_neck_roll_position(nan)
    loop.close()  # runs whatever was queued
    assert [i for i, instruction, _ in parsed(torso.serial_rx()) if instruction in (SYNC_WRITE, WRITE)] == []
    assert [i for i, _ in torso.can_rx() if i != 0x7FF] == []  # feedback requests only


def test_statistics(torso, make_loop):
    import datetime

    # A 50 ms period keeps "due at once" apart from "a period later" even on a
    # busy machine; the command's sample arrives with a later publication than
    # the first read samples when the neck's mode switch takes a while.
    loop = make_loop(torso, period_ms=50, stats_pub_period=datetime.timedelta(milliseconds=20))
    loop.enable_neck(True)
    eventually(lambda: len(loop.get_stats().read_dt) > 0 and len(loop.get_stats().write_dt) > 0)
    stats = loop.get_stats()
    assert len(stats.period) >= len(stats.read_dt)
    assert all(s > 0 for s in stats.write_dt)
    assert stats.period[0] < 0.025  # the first tick is due at once, not a period later
    assert all(s >= 0 for s in stats.period + stats.read_dt)
    assert repr(stats).startswith("ControlLoopStats(period=~")
