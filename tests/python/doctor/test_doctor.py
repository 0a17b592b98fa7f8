"""velmora-doctor against the virtual torso, and its reading of sysfs."""

from __future__ import annotations

import fcntl
import json
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

from velmora_doctor.host import can_interface, usb_serial_adapters


def doctor_command() -> list[str]:
    script = Path(sysconfig.get_path("scripts")) / "velmora-doctor"
    assert script.is_file(), "velmora-doctor is not installed (pip install .)"
    return [str(script)]


def run_on_virtual_torso(*sim_options: str, doctor_args: tuple[str, ...] = ()) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "velmora_sim", *sim_options, "run", "--", *doctor_command(),
                           *doctor_args], capture_output=True, text=True, timeout=60)


def test_a_healthy_torso_passes():
    done = run_on_virtual_torso()
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "Result: all 10 joints answer as expected"
    assert any(line.split()[:3] == ["7", "nose_right", "777"] for line in lines)
    assert any(line.split()[:2] == ["3", "neck_roll"] and line.endswith("1 MIT") for line in lines)
    realtime = lines.index("Real-time scheduling")
    assert lines[realtime + 1].split()[0] == "SCHED_FIFO" and lines[realtime + 2].split()[:2] == ["locked", "memory"]


def test_missing_servo_missing_motor_and_a_motor_in_the_wrong_mode():
    done = run_on_virtual_torso("--unplug-servo", "6", "--unplug-motor", "3", "--motor-mode", "2=2",
                                doctor_args=("--json",))
    assert done.returncode == 1, done.stderr
    report = json.loads(done.stdout)
    assert not report["ok"]
    assert [s["id"] for s in report["servos"] if not s["answers"]] == [6]
    servo = report["servos"][0]
    assert (servo["model"], servo["voltage"], servo["temperature"], servo["eeprom_locked"], servo["torque"]) == (
        777, 12.0, 30, True, False)
    motors = {m["can_id"]: m for m in report["motors"]}
    assert not motors[3]["answers"] and "timeout" in motors[3]["error"]
    assert (motors[1]["control_mode"], motors[2]["control_mode"]) == (1, 2)
    assert motors[1]["status_name"] == "disabled" and motors[1]["mos_temperature"] == 30
    assert len(report["problems"]) == 3
    assert report["problems"][0].startswith("servo 6 (nose_left) does not answer")
    assert report["problems"][1].startswith("neck motor 2 (neck_pitch) is in position-velocity mode")
    assert report["problems"][2].startswith("neck motor 3 (neck_roll) does not answer")


def test_a_port_held_by_another_process_names_it(torso):
    fd = os.open(torso.serial_device, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        done = subprocess.run([*doctor_command(), "--json"], env={**os.environ, **torso.env()},
                              capture_output=True, text=True, timeout=60)
    finally:
        os.close(fd)
    assert done.returncode == 1, done.stderr
    report = json.loads(done.stdout)
    assert report["serial"]["locked_by_other"] is True
    assert report["serial"]["holders"] == [f"pid {os.getpid()} ({Path('/proc/self/comm').read_text().strip()})"]
    assert "device is locked by another process" in report["serial_error"]
    assert [m["answers"] for m in report["motors"]] == [True] * 3  # the neck is still checked


def test_sysfs_adapters_and_can_interface(tmp_path, monkeypatch):
    sysfs = tmp_path
    usb = sysfs / "devices" / "pci0" / "usb1" / "1-1"
    port = usb / "1-1:1.0" / "ttyUSB0"
    port.mkdir(parents=True)
    (usb / "idVendor").write_text("0403\n")
    (usb / "idProduct").write_text("6014\n")
    (port / "latency_timer").write_text("16\n")
    driver = sysfs / "bus" / "usb-serial" / "drivers" / "ftdi_sio"
    driver.mkdir(parents=True)
    (port / "driver").symlink_to(driver)
    uart = sysfs / "devices" / "platform" / "serial8250" / "ttyS0"
    uart.mkdir(parents=True)
    ttys = sysfs / "class" / "tty"
    for name, device in (("ttyUSB0", port), ("ttyS0", uart), ("tty0", None)):
        (ttys / name).mkdir(parents=True)
        if device is not None:
            (ttys / name / "device").symlink_to(device)

    [adapter] = usb_serial_adapters(str(sysfs))  # the built-in UART and the console are no adapters
    assert (adapter.device, adapter.vid_pid, adapter.driver, adapter.latency_timer_ms) == (
        "/dev/ttyUSB0", "0403:6014", "ftdi_sio", 16)
    assert "echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer" in adapter.hints[0]

    net = sysfs / "class" / "net" / "can7"
    net.mkdir(parents=True)
    (net / "type").write_text("280\n")
    (net / "flags").write_text("0x80\n")
    can = can_interface("can7", str(sysfs))
    assert (can.in_sysfs, can.is_can, can.up) == (True, True, False)
    assert can.hints == ["can7 is down: sudo ip link set can7 down; sudo ip link set can7 up type can bitrate 1000000"]

    # Up, but its controller bus-off, as `ip -details -json link show` tells.
    (net / "flags").write_text("0x1\n")
    fake_ip = tmp_path / "bin" / "ip"
    fake_ip.parent.mkdir()
    fake_ip.write_text('#!/bin/sh\necho \'[{"linkinfo": {"info_data": {"state": "BUS-OFF", '
                       '"bittiming": {"bitrate": 1000000}}}}]\'\n')
    fake_ip.chmod(0o755)
    monkeypatch.setenv("PATH", f"{fake_ip.parent}{os.pathsep}{os.environ['PATH']}")
    can = can_interface("can7", str(sysfs))
    assert (can.up, can.bitrate, can.controller_state) == (True, 1_000_000, "BUS-OFF")
    assert can.hints == ["can7's controller is bus-off (frames keep failing: check the wiring, the termination and "
                         "the bitrate); restart it: sudo ip link set can7 down; sudo ip link set can7 up type can "
                         "bitrate 1000000 restart-ms 100"]
