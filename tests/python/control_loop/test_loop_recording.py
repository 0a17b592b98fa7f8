"""The loop's recordings end to end: what a short run with commands and a fault leaves in the file,
the bus traffic against what the simulator saw, the tool on it, and a recorder killed mid-run."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from mcap.reader import make_reader

from velmora_recording import RecordingFile
from velmora_recording.__main__ import main as recording_tool

from test_loop_commands import eventually, reading_fails, torque

pytestmark = pytest.mark.needs_can


def messages(path):
    with open(path, "rb") as f:
        out = {}
        for schema, channel, message in make_reader(f).iter_messages():
            assert schema.encoding == "jsonschema"
            out.setdefault(channel.topic, []).append((message.log_time, json.loads(message.data)))
        return out


def test_a_recorded_run_reads_back_with_its_commands_faults_and_bus_traffic(torso, make_loop, tmp_path, capsys):
    path = str(tmp_path / "run.mcap")
    loop = make_loop(torso)
    loop.start_recording(path, bus_traffic=True)
    with pytest.raises(RuntimeError, match=f"^already recording to {path}$"):
        loop.start_recording(str(tmp_path / "other.mcap"))
    torso.clear_logs()
    loop.set_neck_position([1.0, 0.2, 0.0])  # yaw is clamped to 0.5, with a warning
    loop.enable_torque()
    eventually(lambda: torque(loop) is True)  # both ran, and so were recorded
    torso.unplug_servo(6)
    eventually(lambda: reading_fails(loop))
    torso.unplug_servo(6, False)
    eventually(lambda: not reading_fails(loop))
    counts = loop.stop_recording()
    can_seen = torso.can_rx()
    assert loop.stop_recording() is None

    got = messages(path)
    assert counts["readings"] == len(got["/velmora/position"]) > 0
    assert counts["failed_readings"] == len([m for _, m in got["/velmora/fault"] if m["source"] == "reading"]) > 0
    assert counts["dropped"] == 0
    commands = {m["command"]: m for _, m in got["/velmora/command"]}
    assert commands["set_neck_position"]["arguments"] == {"position": [0.5, 0.2, 0.0]}
    assert commands["set_neck_position"]["ok"] and commands["enable_torque"]["error"] is None
    assert any("clamped to 0.5000" in m["message"] and m["level"] == 30 for _, m in got["/velmora/log"])
    assert all(m["period_s"] >= 0 and m["read_s"] > 0 for _, m in got["/velmora/timing"])
    t, first = got["/velmora/position"][0]
    assert abs(t - first["timestamp"] * 1e9) < 1e3  # on the reading's own clock
    assert len(first["nose"]) == 3 and len(first["neck"]) == 3
    # Every frame the motors received while it recorded (their log began after the start, and goes
    # on past the stop) is a frame the recording saw go out, in the same order.
    sent = [(m["id"], bytes.fromhex(m["data"])) for _, m in got["/velmora/can"] if m["direction"] == "tx"]
    overlap = next(n for n in range(min(len(sent), len(can_seen)), -1, -1) if sent[len(sent) - n:] == can_seen[:n])
    assert overlap >= 3
    assert any(m["direction"] == "rx" for _, m in got["/velmora/serial"])

    assert recording_tool(["summary", path]) == 0
    summary = capsys.readouterr().out
    assert "set_neck_position" in summary and "failed" in summary
    assert recording_tool(["plot", path, "-o", str(tmp_path / "run.png")]) == 0
    assert (tmp_path / "run.png").stat().st_size > 10_000
    assert recording_tool(["candump", path, "-o", str(tmp_path / "run.log")]) == 0
    assert (tmp_path / "run.log").read_text().count("can0 ") == len(got["/velmora/can"])


def test_a_killed_recorder_leaves_a_readable_file(torso, child_env, tmp_path):
    path = tmp_path / "killed.mcap"
    script = textwrap.dedent(f"""
        import datetime, os, sys, time
        import velmora_motor_controller as vmc
        loop = vmc.VelmoraPyControlLoop(os.environ["VELMORA_SERIAL"], datetime.timedelta(milliseconds=5),
                                        os.environ["VELMORA_CAN"])
        loop.start_recording({str(path)!r})
        print("recording", flush=True)
        time.sleep(60)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], env=child_env(torso), stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "recording"
        time.sleep(1.5)  # three flushes at least
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    recording = RecordingFile(str(path))
    readings = list(recording.messages(["/velmora/position"]))
    assert len(readings) > 50
    assert not recording.complete
