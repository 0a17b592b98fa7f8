"""Recordings: written through the writer thread as the loop drives it, read back, and looked at with the tool."""

from __future__ import annotations

import json
import os
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import can
import pytest
from mcap.reader import make_reader

import velmora_recording
from velmora_recording import RecordingFile, RecordingWriter, start_writer_thread, schemas
from velmora_recording.__main__ import main

T0 = 1_700_000_000_000_000_000
TICK_NS = 10_000_000
FAILED_TICKS = range(50, 55)
ARMS_ERROR = "servo 3 (right_arm_pitch) did not answer"


def msg(**fields: object) -> bytes:
    return json.dumps(fields).encode()


def command(t: int, name: str, arguments: dict[str, object], error: str | None = None) -> list[tuple[str, int, bytes]]:
    out = [(schemas.COMMAND, t, msg(command=name, arguments=arguments, ok=error is None, error=error,
                                     duration_s=0.0004))]
    if error is not None:
        out.append((schemas.FAULT, t, msg(source=name, error=error)))
    return out


def loop_run() -> list[tuple[str, int, bytes]]:
    """Two seconds of a 100 Hz loop, as its native side would hand them over."""
    commands = {
        10: command(0, "set_neck_position", {"position": [0.1, 0.2, 0.0]}),
        20: command(0, "set_neck_yaw_position", {"position": 0.3}),
        30: command(0, "set_arms_position", {"position": [0.2, 0.0, -0.2, 0.0]}, ARMS_ERROR),
        40: command(0, "set_all_goal_positions", {"positions": {
            "left_arm": [0.1, 0.1], "right_arm": [-0.1, -0.1], "nose": [0.0, 0.1, 0.2], "neck": [0.0, -0.1, 0.0]}}),
        60: command(0, "enable_torque_on_ids", {"ids": [1, 2]}),
    }
    records = []
    for i in range(200):
        t = T0 + i * TICK_NS
        period = 0.013 if i == 100 else 0.0101 if i % 4 == 0 else 0.010
        records.append((schemas.TIMING, t, msg(period_s=period, read_s=0.002)))
        records.append((schemas.SERIAL, t, msg(direction="tx", data="fffe0182")))
        records.append((schemas.SERIAL, t + 1000, msg(direction="rx", data="ffff010200fc")))
        records.append((schemas.CAN, t + 2000, msg(direction="tx", id=1 + i % 3, data="ffffffffffffffFc")))
        records.append((schemas.CAN, t + 3000, msg(direction="rx", id=0x11, data="017fff7ff8011a1e")))
        if i in FAILED_TICKS:
            records.append((schemas.FAULT, t, msg(source="reading", error="neck motor 2 timed out")))
        else:
            records.append((schemas.POSITION, t, msg(timestamp=t / 1e9, left_arm=[0.0, 0.01 * i], right_arm=[0.0, 0.0],
                                                     nose=[0.1, 0.1, 0.1], neck=[0.0, 0.1, 0.0])))
        for name, when, data in commands.get(i, []):
            records.append((name, t + 5000, data))
    records.append((schemas.LOG, T0 + 150 * TICK_NS, msg(level=20, logger="velmora_motor_controller.control_loop",
                                                           message="neck motor 2 answers again")))
    return records


def fake_take(batches: list[list[tuple[str, int, bytes]]]):
    """The loop's take(timeout_s): a batch a call, then None; it asks never to block for a second or more."""
    pending = list(batches)

    def take(timeout_s: float):
        assert 0.0 <= timeout_s < 1.0
        return pending.pop(0) if pending else None
    take.pending = pending  # type: ignore[attr-defined]
    return take


def record(path: Path, dropped: int) -> tuple[list[tuple[str, int, bytes]], dict[str, int]]:
    """Writes loop_run() the way the loop's native side does, in batches with an empty take among them."""
    records = loop_run()
    batches = [records[k:k + 37] for k in range(0, len(records), 37)]
    batches.insert(3, [])
    return records, start_writer_thread(str(path), fake_take(batches)).finish(dropped=dropped)


def test_the_mcap_reader_reads_back_every_record_with_its_schema(tmp_path):
    path = tmp_path / "run.mcap"
    records, counts = record(path, dropped=4)
    assert counts == {"readings": 195, "failed_readings": 5, "commands": 5, "log_records": 2, "frames": 800,
                      "dropped": 4}
    with open(path, "rb") as f:
        reader = make_reader(f)
        summary = reader.get_summary()
        assert summary is not None
        by_topic = {c.topic: c for c in summary.channels.values()}
        assert sorted(by_topic) == sorted(t.name for t in velmora_recording.TOPICS)
        for topic in velmora_recording.TOPICS:
            channel = by_topic[topic.name]
            schema = summary.schemas[channel.schema_id]
            assert (channel.message_encoding, schema.encoding, schema.name) == ("json", "jsonschema", topic.schema_name)
            assert json.loads(schema.data) == topic.schema
        read = [(c.topic, m.log_time, m.data) for _, c, m in reader.iter_messages(log_time_order=False)]
    assert read[:-1] == records
    dropped_topic, dropped_time, dropped = read[-1]
    assert dropped_topic == schemas.LOG and dropped_time > T0 + 200 * TICK_NS
    assert json.loads(dropped)["level"] == 30 and "4 records dropped" in json.loads(dropped)["message"]
    properties = {t.name: set(t.schema["properties"]) for t in velmora_recording.TOPICS}
    assert all(set(json.loads(data)) == properties[topic] for topic, _, data in read)


def test_files_that_cannot_be_written_and_a_failing_writer_thread(tmp_path):
    with pytest.raises(RuntimeError, match=f"cannot record to {tmp_path}/no/such.mcap: No such file or directory"):
        RecordingWriter(str(tmp_path / "no" / "such.mcap"))
    with pytest.raises(RuntimeError, match="cannot record to /dev/full: No space left on device"):
        RecordingWriter("/dev/full")

    path = tmp_path / "bad.mcap"
    take = fake_take([loop_run()[:10], [("/velmora/elsewhere", T0, b"{}")], loop_run()[:10]])
    handle = start_writer_thread(str(path), take)
    with pytest.raises(RuntimeError, match=f"recording to {path} failed: no recording topic '/velmora/elsewhere'"):
        handle.finish(dropped=0)
    assert take.pending == []  # drained to the end all the same, so that stopping the loop's buffer completes


CHILD = """
import sys, time
from velmora_recording import start_writer_thread
sequence = 0
def take(timeout_s):
    global sequence
    time.sleep(0.001)  # a tick of the loop
    sequence += 1
    return [("/velmora/timing", {T0} + sequence * 1_000_000, b'{{"period_s": 0.001, "read_s": 0.0005}}')]
start_writer_thread(sys.argv[1], take)
time.sleep(3600)
"""


def test_a_killed_writer_leaves_a_file_read_up_to_its_last_flushed_chunk(tmp_path):
    path = tmp_path / "killed.mcap"
    env = {**os.environ, "PYTHONPATH": str(Path(velmora_recording.__file__).parents[1])}
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(T0=T0), str(path)], env=env)
    try:
        deadline = time.monotonic() + 60
        while not path.exists() or len(list(RecordingFile(str(path)).messages())) < 100:
            assert child.poll() is None and time.monotonic() < deadline, "the writer never flushed a chunk"
            time.sleep(0.05)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()

    source = RecordingFile(str(path))
    times = [t for _, t, _ in source.messages()]
    assert not source.complete and len(times) >= 100
    assert times == [T0 + (i + 1) * 1_000_000 for i in range(len(times))]
    assert main(["summary", str(path)]) == 0


def test_the_tool_summarises_plots_and_dumps_the_can_frames(tmp_path, capsys):
    path = tmp_path / "run.mcap"
    records, _ = record(path, dropped=0)
    assert main(["summary", str(path)]) == 0
    out = capsys.readouterr().out
    for line in ("duration: 1.990 s", "readings: 195, 97.5 a second", "failed readings: 5 in 1 stretch",
                 "  0.500-0.550 s: 5 failed (neck motor 2 timed out)", "command faults: 1",
                 f"  0.300 s set_arms_position: {ARMS_ERROR}",
                 "period error over 200 ticks, against 10.000 ms (the median period): "
                 "p50 0.000 ms, p99 0.100 ms, max 3.000 ms",
                 "  set_arms_position       1 (1 failed)", "  set_neck_yaw_position   1",
                 "log records: 1, 0 of them warnings or worse", "bus traffic: 400 serial packets, 400 CAN frames"):
        assert line in out.splitlines(), out
    assert "cut short" not in out

    png = tmp_path / "run.png"
    assert main(["plot", str(path), "-o", str(png)]) == 0
    head = png.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", head[16:24]) == (1200, 1100)
    assert 30_000 < png.stat().st_size < 2_000_000

    log = tmp_path / "run.log"
    assert main(["candump", str(path), "-o", str(log), "--interface", "vcan0"]) == 0
    frames = list(can.CanutilsLogReader(str(log)))
    expected = sorted((t, json.loads(d)) for topic, t, d in records if topic == schemas.CAN)
    assert [(round(f.timestamp * 1e6), f.channel, f.arbitration_id, f.is_extended_id, f.data.hex())
            for f in frames] == [(t // 1000, "vcan0", m["id"], False, m["data"].lower()) for t, m in expected]
    assert log.read_text().splitlines()[0] == "(1700000000.000002) vcan0 001#FFFFFFFFFFFFFFFC"

    assert main(["summary", str(log)]) == 1
    assert "is not a readable recording" in capsys.readouterr().err
