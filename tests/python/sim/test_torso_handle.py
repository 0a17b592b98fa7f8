"""The VirtualTorso handle and the velmora-sim command line: lifecycle, environment, trace, run."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from simwire import PACKAGES, open_port, packet, sim_command, status, transact
from velmora_sim import VirtualTorso, preload_library
from velmora_sim.vcan import Frame, VcanEndpoint


def gone(pid, within=5.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.02)
    return False


def have_preload():
    try:
        preload_library()
        return True
    except FileNotFoundError:
        return False


def test_close_removes_devices_and_process():
    torso = VirtualTorso()
    serial, hub = torso.serial_device, os.path.join(torso.vcan_dir, torso.can_interface)
    assert os.path.exists(serial) and os.path.exists(hub)
    torso.close()
    torso.close()  # twice is fine
    assert gone(torso.pid)
    assert not os.path.exists(hub) and not os.path.exists(os.path.dirname(serial))
    with pytest.raises(RuntimeError, match="closed"):
        torso.motor_state(1)


def test_simulator_ends_with_its_owner():
    script = textwrap.dedent(f"""
        import sys, time
        sys.path.insert(0, {PACKAGES!r})
        from velmora_sim import VirtualTorso
        t = VirtualTorso()
        print(t.pid, flush=True)
        time.sleep(60)
    """)
    owner = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        pid = int(owner.stdout.readline())
        owner.kill()  # no chance to clean up
        owner.wait()
        assert gone(pid)
    finally:
        owner.kill()
        owner.stdout.close()


def test_neck_only_torso_and_bad_ids(neck_only_torso, torso):
    assert neck_only_torso.serial_device is None
    assert "VELMORA_SERIAL" not in neck_only_torso.env()
    with pytest.raises(RuntimeError, match="no servos"):
        neck_only_torso.servo_registers(1)
    with pytest.raises(KeyError):
        torso.servo_registers(8)
    with pytest.raises(KeyError):
        torso.motor_state(4)
    with pytest.raises(ValueError):
        torso.write_servo_registers(1, 255, b"\x00\x00")
    env = torso.env()
    assert env["VELMORA_SERIAL"] == torso.serial_device and env["VELMORA_CAN"] == torso.can_interface
    assert env["VELMORA_VCAN_DIR"] == torso.vcan_dir
    if have_preload():
        assert env["LD_PRELOAD"].split()[0] == preload_library()
    assert neck_only_torso.can_interface != torso.can_interface


def test_trace_decodes_both_buses_into_one_line_each(tmp_path):
    path = tmp_path / "trace.txt"
    with VirtualTorso(trace=path) as torso:
        fd = open_port(torso.serial_device)
        sent_at = time.monotonic()
        try:
            transact(fd, packet(0xFE, 0x82, bytes([56, 2, 1, 2])), 16)
            transact(fd, packet(3, 0x03, bytes([42]) + (3000).to_bytes(2, "little")), 6)
        finally:
            os.close(fd)
        with VcanEndpoint(torso.can_interface, torso.vcan_dir) as bus:
            bus.send(Frame(0x001, bytes.fromhex("8A3C7FF0A33337FF")))
            assert bus.recv(0.5) is not None
        lines = torso.trace_lines()
        first = torso.trace_epoch + float(lines[0].split()[0])
        assert sent_at <= first < time.monotonic()  # trace times convert to this process's monotonic clock
        torso.clear_logs()
        assert torso.trace_lines() == [] and torso.serial_rx() == [] and torso.can_rx() == []
    written = path.read_text().splitlines()
    assert written == lines
    expected = [
        ("-> serial id=254", "SYNC_READ addr=56(present_position) len=2 ids=[1, 2]"),
        ("<- serial id=1", "STATUS err=0x00 data=[00 08] present_position=2048"),
        ("<- serial id=2", "STATUS err=0x00 data=[00 08] present_position=2048"),
        ("-> serial id=3", "WRITE addr=42(goal_position) value=3000 data=[B8 0B]"),
        ("<- serial id=3", "STATUS err=0x00"),
        ("-> can    0x001", "MIT neck_yaw p=+0.99"),
        ("<- can    0x001", "FEEDBACK neck_yaw motor=1 status=0"),
    ]
    assert len(lines) == len(expected)
    for line, (head, body) in zip(lines, expected):
        t, rest = line.split(maxsplit=1)
        assert float(t) >= 0
        assert " ".join(rest.split()).startswith(" ".join(head.split())), line
        assert body in line


@pytest.mark.skipif(not have_preload(), reason="libvelmora_vcan.so is not built")
def test_run_gives_a_program_both_buses_and_returns_its_status(tmp_path):
    probe = tmp_path / "probe.py"
    probe.write_text(textwrap.dedent("""
        import os, select, socket, struct, sys
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        s.bind((os.environ["VELMORA_CAN"],))
        s.settimeout(1.0)
        s.send(struct.pack("=IB3x8s", 0x7FF, 8, bytes([3, 0, 0xCC, 0, 0, 0, 0, 0])))
        can_id = struct.unpack_from("=I", s.recv(72))[0]
        fd = os.open(os.environ["VELMORA_SERIAL"], os.O_RDWR | os.O_NOCTTY)
        os.write(fd, bytes.fromhex("FFFF050201F7"))
        select.select([fd], [], [], 1.0)
        ok = os.read(fd, 6) == bytes.fromhex("FFFF050200F8")
        sys.exit(40 + can_id if ok else 1)
    """))
    cmd, env = sim_command("run", "--", sys.executable, str(probe))
    assert subprocess.run(cmd, env=env, timeout=60).returncode == 43
    cmd, env = sim_command("--no-servos", "run", sys.executable, "-c", "import os, sys; "
                           "sys.exit(0 if 'VELMORA_SERIAL' not in os.environ else 5)")
    assert subprocess.run(cmd, env=env, timeout=60).returncode == 0


def test_command_line_options_and_steering_commands():
    cmd, env = sim_command("--unplug-servo", "4", "--voltage", "95", "--block-motor", "2",
                           "--neck-start", "6.3,0.02,-6.27")
    commands = "state\nunplug servo 5\nnoise ff 00\nbogus\ntrace 3\nquit\n"
    done = subprocess.run(cmd, env=env, input=commands, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert re.search(r"serial device  /\S+/servo-adapter -> /dev/pts/\d+\n", out) and "CAN interface  vtorso" in out
    assert "export " in out and "VELMORA_CAN=vtorso" in out
    servo_table = out.split("servo  present")[1].split("motor  position")[0].splitlines()[1:]
    motor_table = out.split("motor  position")[1].splitlines()[1:4]
    assert [row.split()[4] for row in servo_table] == ["9.5V"] * 7
    assert [row.split()[1] for row in motor_table] == ["+6.3000", "+0.0200", "-6.2700"]
    assert servo_table[3].split()[-1] == "unplugged" and servo_table[0].split()[-1] == "ok"
    assert "unknown command: 'bogus'" in out
    assert "servo 5 unplugged" in out and "NOISE 2 bytes [FF 00]" in out


def test_foreground_torso_stops_on_sigterm():
    cmd, env = sim_command("--no-servos")
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().startswith("velmora-sim: virtual torso running")
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
    finally:
        proc.kill()
        proc.stdout.close()


def test_preload_library_lookup_order_and_sanitizer_builds(tmp_path, monkeypatch):
    from velmora_sim import _preload
    fake = tmp_path / "libvelmora_vcan.so"
    fake.write_bytes(b"\x7fELF plain")
    monkeypatch.setenv("VELMORA_VCAN_PRELOAD", str(fake))
    beside = os.path.join(os.path.dirname(_preload.__file__), "libvelmora_vcan.so")
    assert preload_library() == (beside if os.path.isfile(beside) else str(fake))
    sanitized = tmp_path / "asan.so"
    sanitized.write_bytes(b"\x7fELF ... libasan.so.8 ...")
    assert _preload._sanitized(str(sanitized)) and not _preload._sanitized(str(fake))
