"""How many records a second the recording writer frames into an MCAP file, alone and behind its thread.
Prints, asserts nothing.

    python bench/recording_writer_bench.py [--runs N] [--records N]

The records are what a 500 Hz loop with bus traffic hands over each tick: a reading, a timing
record, a serial sync-read request and its reply, and three CAN frames out and three back. Two
figures, each the median of the runs: RecordingWriter.write on batches of one tick's records, and
the whole path through start_writer_thread with a take() that returns ready batches at once.
From the second follows the share of one core (and of the interpreter lock) the writer needs at
500 Hz.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import tempfile
import time
from collections.abc import Sequence

from velmora_recording import RecordingWriter, schemas, start_writer_thread

T0 = time.time_ns()
TICK_NS = 2_000_000


def tick(i: int) -> list[tuple[str, int, bytes]]:
    t = T0 + i * TICK_NS
    reading = {"timestamp": t / 1e9, "left_arm": [0.1234567, -0.2345678], "right_arm": [0.3456789, 0.0123456],
               "nose": [0.0012345, 0.5432109, -0.1111111], "neck": [0.0101010, -0.2020202, 0.3030303]}
    out = [(schemas.POSITION, t, json.dumps(reading).encode()),
           (schemas.TIMING, t, b'{"period_s": 0.0020013, "read_s": 0.0011002}'),
           (schemas.SERIAL, t, b'{"direction": "tx", "data": "fffffe0b8238020102030405060788"}'),
           (schemas.SERIAL, t + 300_000, b'{"direction": "rx", "data": "ffff0104000008f2ffff020400000cee"}')]
    for motor in (1, 2, 3):
        out.append((schemas.CAN, t + 400_000 + motor, json.dumps(
            {"direction": "tx", "id": motor, "data": "7fff7ff000000fff"}).encode()))
        out.append((schemas.CAN, t + 500_000 + motor, json.dumps(
            {"direction": "rx", "id": 0x10 + motor, "data": "017ffe7ff8011a1e"}).encode()))
    return out


def written_directly(path: str, batches: Sequence[list[tuple[str, int, bytes]]]) -> float:
    start = time.perf_counter()
    writer = RecordingWriter(path)
    for batch in batches:
        writer.write(batch)
    writer.finish(0)
    return time.perf_counter() - start


def written_by_thread(path: str, batches: Sequence[list[tuple[str, int, bytes]]]) -> float:
    pending = iter(batches)
    start = time.perf_counter()
    handle = start_writer_thread(path, lambda _timeout: next(pending, None))
    handle.finish(0)
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7, help="runs of each (default 7)")
    parser.add_argument("--records", type=int, default=200_000, help="records a run (default 200000)")
    args = parser.parse_args()
    per_tick = len(tick(0))
    batches = [tick(i) for i in range(args.records // per_tick)]
    count = len(batches) * per_tick
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.mcap")
        direct, threaded = [], []
        for _ in range(args.runs):  # alternated, so that a busy machine slows both alike
            direct.append(count / written_directly(path, batches))
            threaded.append(count / written_by_thread(path, batches))
        size = os.path.getsize(path)
    rate = statistics.median(threaded)
    at_500_hz = per_tick * 500
    print(f"{count} records a run ({per_tick} a tick), {args.runs} runs, medians (best):")
    print(f"  RecordingWriter.write      {statistics.median(direct):9.0f} records/s ({max(direct):.0f})")
    print(f"  through start_writer_thread {rate:8.0f} records/s ({max(threaded):.0f})")
    print(f"  file: {size / count:.1f} bytes a record")
    print(f"  a 500 Hz loop with bus traffic hands over {at_500_hz} records/s: "
          f"the writer is busy {100 * at_500_hz / rate:.1f}% of the time")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
