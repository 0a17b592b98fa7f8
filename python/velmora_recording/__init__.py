"""Recordings of VelmoraPyControlLoop: MCAP files with one JSON topic per kind of record.

The loop's native side drives the writer (``start_writer_thread``); programs
read a recording with ``RecordingFile`` (also one whose writer was killed) or
with any MCAP reader, and look at it with ``velmora-recording --help``
(or ``python -m velmora_recording``).
"""

from .reading import RecordingFile
from .schemas import TOPICS
from .writer import RecordingWriter
from .writer_thread import WriterThread, start_writer_thread

__all__ = ["RecordingFile", "RecordingWriter", "TOPICS", "WriterThread", "start_writer_thread"]
