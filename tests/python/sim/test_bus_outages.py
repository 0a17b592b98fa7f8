"""Whole-bus faults of the virtual torso, seen from raw clients: the serial adapter pulled out and plugged
in again, the servos browning out, the CAN interface removed and restored, CAN controller error frames."""

import errno
import os
import select
import socket
import struct
import subprocess
import time

import pytest

from simwire import open_port, packet, sim_command, status, transact
from velmora_sim.vcan import VcanEndpoint

PING, READ, WRITE, SYNC_READ = 0x01, 0x02, 0x03, 0x82
CAN_ERR_FLAG = 0x20000000
CAN_RAW_ERR_FILTER = 2  # not among the socket module's constants
ERR_BUSOFF, ERR_CRTL, ERR_RESTARTED = 0x040, 0x004, 0x100


def write(fd, servo_id, address, data):
    assert transact(fd, packet(servo_id, WRITE, bytes([address]) + data), 6) == status(servo_id)


def test_a_pulled_serial_adapter_hangs_up_and_its_stable_path_follows_it_back(torso):
    path = torso.serial_device
    before = os.path.realpath(path)
    assert os.path.islink(path) and before.startswith("/dev/pts/")
    old = open_port(path)
    write(old, 2, 40, b"\x01")  # torque on: state the servos must keep, since they keep power
    torso.unplug_serial_adapter()

    assert not os.path.lexists(path)
    assert torso.link_state()["serial_adapter"] == "unplugged"
    poller = select.poll()
    poller.register(old, select.POLLIN)
    assert poller.poll(0)[0][1] & select.POLLHUP
    assert os.read(old, 16) == b""
    with pytest.raises(OSError) as e:
        os.write(old, packet(1, PING))
    assert e.value.errno == errno.EIO
    with pytest.raises(RuntimeError, match="unplugged"):
        torso.inject_serial_noise(b"\xff")

    torso.replug_serial_adapter()
    assert os.path.realpath(path) not in (before, path)  # the old pseudo-terminal is still held open above
    with pytest.raises(OSError):
        os.write(old, packet(1, PING))  # a descriptor of the old one stays dead
    os.close(old)
    new = open_port(path)
    try:
        assert transact(new, packet(2, READ, bytes([40, 1])), 7) == status(2, b"\x01")
        assert transact(new, packet(7, PING), 6) == status(7)
    finally:
        os.close(new)
    notes = [line for line in torso.trace_lines() if " -- sim " in line]
    assert "pulled out" in notes[0] and "plugged in" in notes[1]


def test_a_brownout_silences_every_servo_then_they_come_back_as_after_a_reboot(torso):
    port = open_port(torso.serial_device)
    everyone = packet(0xFE, SYNC_READ, bytes([40, 18]) + bytes(range(1, 8)))  # torque .. present of ids 1-7

    def torque_goal_lock_present(replies):
        chunks = [replies[i:i + 24][5:-1] for i in range(0, len(replies), 24)]
        return [(c[0], int.from_bytes(c[2:4], "little"), c[15], int.from_bytes(c[16:18], "little")) for c in chunks]

    try:
        write(port, 1, 46, (100).to_bytes(2, "little"))  # slowly,
        write(port, 1, 42, (3000).to_bytes(2, "little"))  # toward 3000,
        write(port, 1, 40, b"\x01")                       # with torque on
        write(port, 3, 55, b"\x00")                       # lock cleared
        started = time.monotonic()
        torso.brownout_servos(0.5)
        # No reply can come before the brown-out is over, however late this process runs.
        while transact(port, packet(7, PING), 6, timeout=1.0) != status(7):
            assert time.monotonic() < started + 10, "the servos never came back"
        assert time.monotonic() - started >= 0.5
        state = torque_goal_lock_present(transact(port, everyone, 7 * 24, timeout=5.0))
        assert [s[0] for s in state] == [0] * 7 and [s[2] for s in state] == [1] * 7
        assert all(goal == present for _, goal, _, present in state)  # servo 1 no longer heads for 3000
    finally:
        os.close(port)


@pytest.mark.needs_can
def test_a_removed_can_interface_disconnects_everyone_and_a_new_socket_joins_it_once_restored(torso, monkeypatch):
    monkeypatch.setenv("VELMORA_VCAN_DIR", torso.vcan_dir)
    request = struct.pack("=IB3x8s", 0x7FF, 8, bytes([2, 0, 0xCC, 0, 0, 0, 0, 0]))

    def bound():
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            s.bind((torso.can_interface,))
        except OSError:
            s.close()
            raise
        s.settimeout(5.0)
        return s

    torso.set_motor_position(2, 0.25)
    before = bound()
    watcher = VcanEndpoint(torso.can_interface, torso.vcan_dir)
    try:
        before.send(request)
        assert struct.unpack_from("=I", before.recv(72))[0] == 2
        assert watcher.recv(5.0) is not None and watcher.recv(5.0) is not None  # the request and the reply
        torso.remove_can_interface()
        assert before.recv(72) == b""
        with pytest.raises(OSError) as e:
            before.send(request)
        assert e.value.errno in (errno.EPIPE, errno.ECONNRESET)
        with pytest.raises(ConnectionResetError):
            watcher.recv(5.0)
        assert not os.path.exists(os.path.join(torso.vcan_dir, torso.can_interface))
        assert torso.link_state()["can_interface"] == "gone"
        with pytest.raises(OSError) as e:
            bound()
        assert e.value.errno == errno.ENODEV
    finally:
        before.close()
        watcher.close()

    torso.restore_can_interface()
    after = bound()
    try:
        after.send(request)
        reply = after.recv(72)
        assert struct.unpack_from("=I", reply)[0] == 2
        assert abs(torso.motor_state(2)["position"] - 0.25) < 1e-3  # the motors kept their state
    finally:
        after.close()


@pytest.mark.needs_can
def test_error_frames_reach_the_sockets_that_ask_for_their_class(torso, monkeypatch):
    monkeypatch.setenv("VELMORA_VCAN_DIR", torso.vcan_dir)
    sockets = []
    for mask in (0, ERR_BUSOFF, 0x1FFFFFFF):
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        sockets.append(s)
        if mask:
            s.setsockopt(socket.SOL_CAN_RAW, CAN_RAW_ERR_FILTER, mask)
        s.bind((torso.can_interface,))
    plain, bus_off_only, every_error = sockets

    def received(s):
        frames = []
        s.settimeout(0.2)
        while True:
            try:
                frames.append(s.recv(72))
            except TimeoutError:
                return frames

    def error_frame(cls, data=bytes(8)):
        return struct.pack("=IB3x", CAN_ERR_FLAG | cls, 8) + data

    try:
        for state in ("bus-off", "error-passive", "restarted"):
            torso.can_error_frame(state)
        with pytest.raises(ValueError):
            torso.can_error_frame("on-fire")
        assert received(every_error) == [error_frame(ERR_BUSOFF), error_frame(ERR_CRTL, bytes([0, 0x30]) + bytes(6)),
                                         error_frame(ERR_RESTARTED)]
        assert received(bus_off_only) == [error_frame(ERR_BUSOFF)]
        assert received(plain) == []
    finally:
        for s in sockets:
            s.close()


def test_outage_options_and_steering_commands():
    cmd, env = sim_command("--serial-outage", "0:1000", "--can-outage", "0:1000", "--brownout", "0:1000")
    commands = ("state\nnoise ff\ncan-error bus-off\nplug serial\nplug can\nstate\n"
                "brownout\nunplug serial\nunplug can\ncan-error restarted\nquit\n")
    done = subprocess.run(cmd, env=env, input=commands, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "-> (adapter unplugged)" in out
    first, second = out.split("servo  present")[1:3]
    assert "serial adapter unplugged" in out.split("servo  present")[0] and " gone\n" in out.split("servo  present")[0]
    assert [row.split()[-1] for row in first.splitlines()[1:8]] == ["rebooting"] * 7
    assert "error: the serial adapter is unplugged" in out and "is removed" in out
    assert "serial adapter plugged in (/dev/pts/" in first and " up\n" in first
    assert [row.split()[-1] for row in second.splitlines()[1:8]] == ["rebooting"] * 7  # still browned out

    cmd, env = sim_command("--brownout", "1:2", "--brownout", "2.5:1", "run", "--", "true")
    done = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "--brownout 2.5:1 starts before the one before it has ended" in done.stderr
