"""The servo line's USB serial adapter: a pseudo-terminal behind a stable path, which can be pulled out
and plugged in again.

The stable path is a symlink in a directory of the simulator's own, as a udev
name follows an adapter: pulled out, the pseudo-terminal hangs up and the link
disappears; plugged in again, a new pseudo-terminal appears and the link points
at it.
"""

from __future__ import annotations

import os
import selectors
import shutil
import tempfile
import time
from typing import Callable

from . import feetech as ft
from ._devices import open_pty

LINK_NAME = "servo-adapter"


class SerialLine:
    """The simulator's end of the servo line; on_packet gets each instruction packet with its arrival time."""

    def __init__(self, sel: selectors.BaseSelector, on_packet: Callable[[ft.Packet, float], None]) -> None:
        self._sel = sel
        self._on_packet = on_packet
        self._dir = tempfile.mkdtemp(prefix="velmora-sim-")
        # Reachable by anyone, as /dev is; only the simulator can change what is in it.
        os.chmod(self._dir, 0o755)
        self.path = os.path.join(self._dir, LINK_NAME)
        self._master: int | None = None
        self._slave: int | None = None
        # Bumped at every plug: a reply scheduled for one pseudo-terminal must never reach the next.
        self.generation = 0
        self.stream = ft.PacketStream()
        try:
            self.plug()
        except BaseException:
            shutil.rmtree(self._dir, ignore_errors=True)
            raise

    @property
    def plugged(self) -> bool:
        return self._master is not None

    def pty(self) -> str | None:
        """The pseudo-terminal the stable path points at, None while the adapter is out."""
        return os.readlink(self.path) if self.plugged else None

    def plug(self) -> bool:
        """A new pseudo-terminal, raw before anyone can open it, and the link re-pointed at it at once.
        False when the adapter is already in."""
        if self.plugged:
            return False
        master, slave, pty = open_pty()
        try:
            temporary = self.path + ".new"
            if os.path.lexists(temporary):
                os.unlink(temporary)
            os.symlink(pty, temporary)
            os.replace(temporary, self.path)  # a client never finds the name missing or half made
        except BaseException:
            os.close(master)
            os.close(slave)
            raise
        # Our own slave stays open: without it, reads of the master fail with EIO whenever no client has the port.
        self._master, self._slave = master, slave
        self.generation += 1
        self.stream = ft.PacketStream()  # whatever half a packet the old line held went with it
        self._sel.register(master, selectors.EVENT_READ, self._on_readable)
        return True

    def unplug(self) -> bool:
        """Closes every descriptor of the pseudo-terminal (a client's reads then give end-of-file, writes EIO,
        poll POLLHUP) and removes the link. False when the adapter is already out."""
        if self._master is None:
            return False
        self._sel.unregister(self._master)
        for fd in (self._master, self._slave):
            if fd is not None:
                os.close(fd)
        self._master = self._slave = None
        self.generation += 1
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
        return True

    def write(self, data: bytes) -> int:
        """Puts bytes on the line; returns how many the line took. RuntimeError while the adapter is out."""
        if self._master is None:
            raise RuntimeError("the serial adapter is unplugged")
        try:
            return os.write(self._master, data)
        except BlockingIOError:
            return 0

    def _on_readable(self) -> None:
        self.read_once()

    def read_once(self) -> bool:
        """Handles what one read of the line gives; False when there was nothing to read."""
        if self._master is None:
            return False
        try:
            data = os.read(self._master, 4096)
        except (BlockingIOError, InterruptedError):
            return False
        except OSError:
            return False  # EIO: nobody has the port open, which our own slave descriptor rules out
        now = time.monotonic()
        for packet in self.stream.feed(data):
            self._on_packet(packet, now)
        return bool(data)

    def take_pending(self) -> None:
        """Handles, without waiting, whatever the client has already written."""
        for _ in range(16):  # bounded: a client writing without pause cannot hold us here
            if not self.read_once():
                return

    def close(self) -> None:
        self.unplug()
        shutil.rmtree(self._dir, ignore_errors=True)
