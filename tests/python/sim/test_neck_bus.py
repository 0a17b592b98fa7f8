"""The neck side of the virtual torso, driven with raw frames over the user-space CAN bus."""

import math
import struct
import time

import pytest

from simwire import WIRE_VECTORS, mit_decode, vector
from velmora_sim.vcan import Frame, VcanEndpoint

YAW = (12.5, 30.0, 10.0)
PITCH = (12.5, 10.0, 28.0)
ENABLE = bytes.fromhex(vector("damiao_commands", "enable")["bytes"])
DISABLE = bytes.fromhex(vector("damiao_commands", "disable")["bytes"])


@pytest.fixture
def bus(neck_only_torso):
    with VcanEndpoint(neck_only_torso.can_interface, neck_only_torso.vcan_dir) as endpoint:
        yield endpoint


def request(bus, can_id, data, timeout=0.2):
    bus.send(Frame(can_id, bytes(data)))
    return bus.recv(timeout)


def feedback_request(motor):
    return bytes([motor, 0, 0xCC, 0, 0, 0, 0, 0])


def register_read(motor, reg):
    return bytes([motor, 0, 0x33, reg, 0, 0, 0, 0])


def register_write(motor, reg, value: bytes):
    return bytes([motor, 0, 0x55, reg]) + value


def test_feedback_carries_state_on_the_master_id(neck_only_torso, bus):
    at_rest = vector("mit_feedback", "enabled motor 1 at rest near zero")
    neck_only_torso.set_motor_position(1, at_rest["state"]["position"])
    reply = request(bus, 0x001, ENABLE)
    assert (reply.can_id, reply.extended) == (1, False)
    # The documented feedback payload of an enabled motor resting at that position.
    assert reply.data == bytes.fromhex(at_rest["bytes"])
    reply = request(bus, 0x7FF, feedback_request(2))
    assert reply.can_id == 2 and mit_decode(reply.data, *PITCH)[:2] == (2, 0)  # pitch still disabled
    # A multi-turn position, as after a power cycle.
    neck_only_torso.set_motor_position(3, 2 * math.pi + 0.1)
    motor, _, position, _, _ = mit_decode(request(bus, 0x7FF, feedback_request(3)).data, *PITCH)
    assert motor == 3 and position == pytest.approx(2 * math.pi + 0.1, abs=4e-4)
    assert mit_decode(request(bus, 0x001, DISABLE).data, *YAW)[1] == 0
    assert neck_only_torso.can_rx()[-1] == (0x001, DISABLE)


def test_mit_command_drives_the_joint_under_kp_and_kd(neck_only_torso, bus):
    request(bus, 0x001, ENABLE)
    # Position 1.0, velocity 0, kp 20, kd 1, torque 0 under the yaw ranges.
    reply = request(bus, 0x001, bytes.fromhex("8A3C7FF0A33337FF"))
    assert reply.can_id == 1
    state = neck_only_torso.motor_state(1)
    assert state["goal"] == pytest.approx(1.0, abs=1e-3)
    assert (state["kp"], state["kd"]) == (pytest.approx(20, abs=0.2), pytest.approx(1, abs=0.01))
    time.sleep(0.05)
    moving = mit_decode(request(bus, 0x7FF, feedback_request(1)).data, *YAW)[2]
    assert 0.0 < moving < 1.0  # under way, not teleported
    time.sleep(1.0)
    _, _, position, velocity, _ = mit_decode(request(bus, 0x7FF, feedback_request(1)).data, *YAW)
    assert position == pytest.approx(1.0, abs=0.01) and abs(velocity) < 0.05


def test_disabled_or_blocked_joint_does_not_move(neck_only_torso, bus):
    command = bytes.fromhex("8A3C7FF0A33337FF")
    request(bus, 0x001, command)  # not enabled yet
    time.sleep(0.1)
    assert neck_only_torso.motor_state(1)["position"] == 0.0
    neck_only_torso.block_motor(1)
    request(bus, 0x001, ENABLE)
    _, status, _, _, torque = mit_decode(request(bus, 0x001, command).data, *YAW)
    time.sleep(0.1)
    _, _, position, _, torque = mit_decode(request(bus, 0x7FF, feedback_request(1)).data, *YAW)
    assert status == 1 and abs(position) < 1e-3
    assert torque > 5  # the motor pushes against the block


def test_registers_read_write_and_mode_switch(neck_only_torso, bus):
    for write in WIRE_VECTORS["damiao_register_writes"]:
        bus.send(Frame(write["can_id"], bytes.fromhex(write["bytes"])))
        assert bus.recv(0.05) is None, write["name"]  # writes are not answered
    for read in WIRE_VECTORS["damiao_register_reads"]:
        reply = request(bus, read["can_id"], bytes.fromhex(read["bytes"]))
        assert (reply.can_id, reply.data) == (read["motor"], bytes.fromhex(read["reply"])), read["name"]
    bus.send(Frame(0x7FF, register_write(1, 11, struct.pack("<f", 9.0))))  # read-only: ignored
    assert struct.unpack("<f", request(bus, 0x7FF, register_read(1, 11)).data[4:])[0] == 0.0
    assert request(bus, 0x7FF, register_read(1, 40), timeout=0.05) is None  # no such register

    # Position-velocity mode: MIT frames are ignored, 0x100 + id frames drive the joint.
    bus.send(Frame(0x7FF, register_write(2, 10, struct.pack("<I", 2))))
    assert request(bus, 0x7FF, register_read(2, 10)).data[4] == 2
    request(bus, 0x002, ENABLE)
    assert request(bus, 0x002, bytes.fromhex("7AE07FF0A33337FF"), timeout=0.05) is None
    assert request(bus, 0x102, struct.pack("<ff", 0.2, 2.0)).can_id == 2
    time.sleep(0.2)
    assert neck_only_torso.motor_state(2)["position"] == pytest.approx(0.2, abs=1e-6)

    neck_only_torso.refuse_mode_switch(2)
    bus.send(Frame(0x7FF, register_write(2, 10, struct.pack("<I", 1))))
    assert request(bus, 0x7FF, register_read(2, 10)).data[4] == 2


def test_unplugged_and_slow_motors(neck_only_torso, bus):
    neck_only_torso.unplug_motor(2)
    assert request(bus, 0x7FF, feedback_request(2), timeout=0.05) is None
    assert request(bus, 0x002, ENABLE, timeout=0.05) is None
    assert request(bus, 0x7FF, feedback_request(1)).can_id == 1
    neck_only_torso.unplug_motor(2, False)
    neck_only_torso.set_motor_reply_delay(0.03)
    bus.send(Frame(0x7FF, feedback_request(2)))
    assert bus.recv(0.02) is None
    assert bus.recv(0.1).can_id == 2


def test_frames_for_nobody_are_logged_and_traced_but_not_answered(neck_only_torso, bus):
    bus.send(Frame(0x123, b"\x01\x02"))
    bus.send(Frame(0x1ABCDE, b"\x00", extended=True))
    assert bus.recv(0.05) is None
    assert neck_only_torso.can_rx() == [(0x123, b"\x01\x02")]
    lines = neck_only_torso.trace_lines()
    assert any("0x123" in line and "no neck motor" in line for line in lines)
    assert any("0x001ABCDE" in line for line in lines)


def test_wire_timing_on_the_can_bus():
    from velmora_sim import VirtualTorso
    from velmora_sim.damiao import frame_bits
    # 8 data bytes: 111 bits before stuffing, at most 135 with it; a run-heavy payload needs more stuffing.
    assert 111 <= frame_bits(0x001, bytes(8)) <= 135 and 111 <= frame_bits(0x7FF, b"\x55" * 8) <= 135
    assert frame_bits(0x000, bytes(8)) > frame_bits(0x555, b"\x55" * 8)
    with VirtualTorso(wire_timing=True, servos=False) as torso:
        with VcanEndpoint(torso.can_interface, torso.vcan_dir) as bus:
            request(bus, 0x7FF, feedback_request(1))
            started = time.monotonic()
            assert request(bus, 0x7FF, feedback_request(1)).can_id == 1
            # Request on the wire, the motor's latency, reply on the wire.
            assert time.monotonic() - started >= 2 * 111e-6 + 150e-6


def test_documented_command_payloads_are_decoded_with_each_motors_ranges(neck_only_torso, bus):
    # (motor, payload, position, kp, kd): the yaw and pitch examples, and one clamped to the range ends.
    motor_of = {"yaw": 1, "pitch": 2}
    cases = [(motor_of[v["limits"]], v["bytes"], v["position"], v["kp"], v["kd"]) for v in WIRE_VECTORS["mit_commands"]]
    cases.append((3, "FFFF7FFFFF0007FF", 12.5, 500.0, 0.0))
    for motor, payload, position, kp, kd in cases:
        assert request(bus, motor, bytes.fromhex(payload)).can_id == motor
        state = neck_only_torso.motor_state(motor)
        # One code step: 25/65535 rad, 500/4095 and 5/4095.
        assert state["goal"] == pytest.approx(position, abs=4e-4)
        assert state["kp"] == pytest.approx(kp, abs=0.13) and state["kd"] == pytest.approx(kd, abs=1.3e-3)
