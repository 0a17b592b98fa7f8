"""Writes a recording: MCAP, one JSON-encoded channel per topic, in chunks that reach the OS often.

The loop formats each message itself and hands over (topic, log_time_ns, json_bytes)
records, so this side only frames them. A chunk is finished and handed to the OS
at most FLUSH_INTERVAL_S after its first message arrived: a process killed
without warning leaves a file whose every finished chunk can still be read
(reading.py reads such a file).
"""

from __future__ import annotations

import json
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import IO, Final

from mcap.well_known import MessageEncoding, SchemaEncoding
from mcap.writer import CompressionType, Writer

from . import schemas

# Well under the second the loop's users are promised, so that a take() that
# blocks for its whole time-out still leaves the flush on time.
FLUSH_INTERVAL_S: Final = 0.5

# The final log record about dropped records names this logger.
LOGGER: Final = "velmora_motor_controller.recording"
WARNING: Final = 30

Record = tuple[str, int, bytes]
Counts = dict[str, int]


def failure_text(path: str, error: BaseException) -> str:
    why = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return f"recording to {path} failed: {why}"


class RecordingWriter:
    """One recording file. Not thread-safe: one thread writes it and finishes it."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._file: IO[bytes] | None = None
        try:
            self._file = open(path, "wb")
            self._mcap = Writer(self._file, compression=CompressionType.ZSTD)
            self._mcap.start(library="velmora_motor_controller")
            self._channels: dict[str, int] = {}
            for topic in schemas.TOPICS:
                schema_id = self._mcap.register_schema(
                    topic.schema_name, SchemaEncoding.JSONSchema, json.dumps(topic.schema).encode())
                self._channels[topic.name] = self._mcap.register_channel(
                    topic.name, MessageEncoding.JSON, schema_id)
            # The header reaches the OS now, so that a full disk shows at the
            # start, not at the first chunk.
            self._file.flush()
        except OSError as e:
            self._close_quietly()
            raise RuntimeError(f"cannot record to {path}: {e.strerror or e}") from e
        self._fault_channel = self._channels[schemas.FAULT]
        self._per_channel = [0] * (len(self._channels) + 1)
        self._failed_readings = 0
        self._first_unflushed: float | None = None

    def write(self, records: Sequence[Record]) -> None:
        """Adds the records to the chunk in progress, and hands the chunk to the OS when it is due.

        Raises ValueError for a topic that is not one of schemas.TOPICS, and
        RuntimeError naming the file when it cannot be written.
        """
        if self._file is None:
            raise RuntimeError(f"the recording to {self.path} is closed")
        add = self._mcap.add_message
        channels = self._channels
        per_channel = self._per_channel
        fault = self._fault_channel
        with self._io_errors():
            for topic, log_time, data in records:
                try:
                    channel = channels[topic]
                except KeyError:
                    raise ValueError(f"no recording topic {topic!r}") from None
                add(channel, log_time, data, log_time)
                per_channel[channel] += 1
                if channel == fault and json.loads(data)["source"] == schemas.READING_SOURCE:
                    self._failed_readings += 1
            if records and self._first_unflushed is None:
                self._first_unflushed = time.monotonic()
            self.flush_if_due()

    def seconds_until_flush(self) -> float:
        """How long the writer may wait for more records before its chunk is due."""
        if self._first_unflushed is None:
            return FLUSH_INTERVAL_S
        return max(0.0, self._first_unflushed + FLUSH_INTERVAL_S - time.monotonic())

    def flush_if_due(self) -> None:
        if self._first_unflushed is not None and self.seconds_until_flush() == 0.0:
            self._mcap.flush()  # type: ignore[no-untyped-call]  # (mcap leaves it unannotated)
            self._first_unflushed = None

    def finish(self, dropped: int) -> Counts:
        """Writes the summary and closes the file; returns what the recording holds."""
        if dropped > 0:
            message = f"{dropped} records dropped: the loop produced them faster than they could be written"
            self.write([(schemas.LOG, time.time_ns(), json.dumps(
                {"level": WARNING, "logger": LOGGER, "message": message}).encode())])
        if self._file is None:
            raise RuntimeError(f"the recording to {self.path} is closed")
        with self._io_errors():
            self._mcap.finish()  # type: ignore[no-untyped-call]
            self._file.close()
        self._file = None
        count = self._per_channel
        return {
            "readings": count[self._channels[schemas.POSITION]],
            "failed_readings": self._failed_readings,
            "commands": count[self._channels[schemas.COMMAND]],
            "log_records": count[self._channels[schemas.LOG]],
            "frames": count[self._channels[schemas.SERIAL]] + count[self._channels[schemas.CAN]],
            "dropped": dropped,
        }

    def abandon(self) -> None:
        """Closes the file as it is, after an error: what was flushed stays readable."""
        self._close_quietly()

    @contextmanager
    def _io_errors(self) -> Iterator[None]:
        # After a failed write the file is closed as it is: its flushed chunks stay readable.
        try:
            yield
        except OSError as e:
            self._close_quietly()
            raise RuntimeError(failure_text(self.path, e)) from e

    def _close_quietly(self) -> None:
        if self._file is not None:
            try:
                self._file.close()
            except OSError:
                pass  # the error that brought us here is the one worth reporting
            self._file = None
