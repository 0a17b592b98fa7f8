"""One participant on a virtual CAN interface, for Python code (programs join through the LD_PRELOAD library)."""

from __future__ import annotations

import errno
import math
import select
import socket
import time

from .frame import CAN_MTU, CANFD_MTU, Frame
from .interfaces import interface_path

# How long connecting, or a send the hub does not take, may wait: the hub
# never blocks on one participant, so only a wedged hub makes it expire.
_SEND_TIMEOUT = 1.0


class VcanEndpoint:
    """One participant on a virtual CAN interface.

    One thread may send while another receives: the socket stays non-blocking
    and every wait is a poll of its own.
    """

    def __init__(self, name: str, directory: str | None = None):
        path = interface_path(name, directory)
        self.name = name
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self._sock.settimeout(_SEND_TIMEOUT)
            self._sock.connect(path)
            self._sock.setblocking(False)
        except BaseException:
            self._sock.close()
            raise

    def fileno(self) -> int:
        return self._sock.fileno()

    def _wait(self, event: int, timeout: float | None) -> bool:
        poller = select.poll()
        poller.register(self._sock, event)
        ms = None if timeout is None else max(0, math.ceil(timeout * 1000))
        return bool(poller.poll(ms))

    def send(self, frame: Frame) -> None:
        """Puts one frame on the bus; TimeoutError when the hub does not take it within a second."""
        raw = frame.pack()
        deadline = time.monotonic() + _SEND_TIMEOUT
        while True:
            try:
                self._sock.send(raw, socket.MSG_NOSIGNAL | socket.MSG_DONTWAIT)
                return
            except (BlockingIOError, InterruptedError):
                left = deadline - time.monotonic()
                if left <= 0 or not self._wait(select.POLLOUT, left):
                    raise TimeoutError(errno.ETIMEDOUT, f"vcan hub of {self.name} does not take frames")

    def recv(self, timeout: float | None = None) -> Frame | None:
        """The next frame from the bus, or None when none came within timeout (None waits without end).

        ConnectionResetError when the hub has gone away.
        """
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        while True:
            try:
                raw = self._sock.recv(CANFD_MTU + 1, socket.MSG_DONTWAIT)
            except (BlockingIOError, InterruptedError):
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return None
                self._wait(select.POLLIN, left)
                continue
            if not raw:
                raise ConnectionResetError(errno.ECONNRESET, f"vcan hub of {self.name} closed the connection")
            if len(raw) in (CAN_MTU, CANFD_MTU):
                return Frame.unpack(raw)

    def close(self) -> None:
        self._sock.close()

    def __enter__(self) -> "VcanEndpoint":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
