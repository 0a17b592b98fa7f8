"""Reads a recording front to back, also one whose writer was killed before it finished the file.

Such a file has no summary and no footer, and its last chunk may be cut short.
The ``mcap`` package's seeking reader (``mcap.reader.make_reader`` on a file)
looks for the footer first and fails. Its non-seeking reader yields the
messages in file order (``log_time_order=False``; in log-time order it sorts
them all first, so it yields none) and then fails at the cut with whatever a
short read leads to: struct.error, a decompression error or a bogus record
length. This module runs the same package's stream reader, makes a short read
show as the end of the file and stops there, so it yields every message of
every chunk that reached the disk, and still fails on a file damaged inside.
"""

from __future__ import annotations

import io
import json
from collections.abc import Collection, Iterator
from typing import Any

from mcap.exceptions import EndOfFile, McapError
from mcap.records import Channel, Footer, Message
from mcap.stream_reader import StreamReader


class _WholeReads(io.BufferedReader):
    def read(self, size: int | None = -1, /) -> bytes:
        data = super().read(size)
        if size is not None and 0 <= size != len(data):
            raise EndOfFile()
        return data


class RecordingFile:
    """A recording on disk. ``complete`` says, after reading, whether the file ended with its footer."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.complete = False

    def messages(self, topics: Collection[str] | None = None) -> Iterator[tuple[str, int, Any]]:
        """(topic, log_time_ns, decoded message) in file order, of the given topics or of all.

        Raises OSError when the file cannot be opened, mcap.exceptions.McapError
        when it is not a recording (or is damaged inside, not merely cut short).
        """
        self.complete = False
        channels: dict[int, Channel] = {}
        with _WholeReads(io.FileIO(self.path, "r")) as stream:
            try:
                for record in StreamReader(stream, validate_crcs=True).records:
                    if isinstance(record, Message):
                        channel = channels.get(record.channel_id)
                        if channel is None:
                            raise McapError(f"a message on channel {record.channel_id}, which no record declares")
                        topic = channel.topic
                        if topics is None or topic in topics:
                            yield topic, record.log_time, json.loads(record.data)
                    elif isinstance(record, Channel):
                        channels[record.id] = record
                    elif isinstance(record, Footer):
                        self.complete = True
            except EndOfFile:
                return  # the file was cut short: everything before the cut has been read

