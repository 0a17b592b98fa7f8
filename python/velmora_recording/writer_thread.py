"""The thread that drains the loop's record buffer into a recording file.

The loop never waits for it: the loop puts records into a bounded buffer of its
own and counts what does not fit. This thread takes them out with the loop's
``take(timeout_s)``, which blocks with the interpreter lock released and
returns None once the recording is stopped and the buffer is empty.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable, Sequence

from .writer import Counts, Record, RecordingWriter, failure_text

Take = Callable[[float], Sequence[Record] | None]

log = logging.getLogger("velmora_motor_controller.recording")


class WriterThread:
    """A running recording; ``finish(dropped)`` ends it."""

    def __init__(self, path: str, take: Take) -> None:
        self.path = path
        self._writer = RecordingWriter(path)
        self._take = take
        self._error: RuntimeError | None = None
        # A daemon, so that an interpreter exiting without stopping the
        # recording is not held up by it: the file then ends at its last flush.
        self._thread = threading.Thread(target=self._run, name="velmora-recording", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        writer = self._writer
        take = self._take
        while True:
            try:
                records = take(writer.seconds_until_flush())
            except BaseException as e:
                self._fail(e, failure_text(self.path, e))
                return
            if records is None:
                return
            if self._error is not None:
                continue  # keep draining, so that stopping still completes
            try:
                writer.write(records)
            except BaseException as e:
                # The writer's own RuntimeErrors already name the file.
                self._fail(e, str(e) if isinstance(e, RuntimeError) else failure_text(self.path, e))

    def _fail(self, error: BaseException, text: str) -> None:
        if self._error is None:
            self._error = RuntimeError(text)
            self._error.__cause__ = error
            self._writer.abandon()
            # Said now, not only at the stop: a recording can run for hours.
            log.error("%s; records are discarded until the recording is stopped", text)

    def finish(self, dropped: int) -> Counts:
        """Waits for the thread to drain the buffer, then finishes the file and returns its counts.

        Call it after the loop has stopped the recording (take then returns None).
        Raises RuntimeError naming the file if anything failed on the way.
        """
        self._thread.join()
        if self._error is not None:
            raise self._error
        return self._writer.finish(dropped)


def start_writer_thread(path: str, take: Take) -> WriterThread:
    """Creates the file at path (RuntimeError naming it and the OS error if it cannot) and starts draining."""
    return WriterThread(path, take)
