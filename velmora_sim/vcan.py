"""User-space CAN bus: a hub and participants over AF_UNIX SOCK_SEQPACKET.

A virtual interface NAME exists while a hub listens at ``$VELMORA_VCAN_DIR/NAME``
(default directory ``/tmp/velmora-vcan``). Every message on the socket is one
Linux kernel frame structure: 16 bytes (``struct can_frame``) or 72 bytes
(``struct canfd_frame``). The hub forwards each frame from one participant to
every other participant on the interface, never back to the sender, as a real
bus does. Programs written against SocketCAN join through the LD_PRELOAD
library ``libvelmora_vcan.so``; Python code joins with ``VcanEndpoint``.

Run a hub on its own with ``python -m velmora_sim.vcan NAME [--dir DIR]``.
"""

from __future__ import annotations

import argparse
import errno
import math
import os
import select
import selectors
import signal
import socket
import stat
import struct
import sys
import threading
import time
from dataclasses import dataclass
from types import FrameType
from typing import Callable

DEFAULT_DIR = "/tmp/velmora-vcan"

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x000007FF
CAN_EFF_MASK = 0x1FFFFFFF
CANFD_BRS = 0x01
CANFD_FDF = 0x04

CAN_MTU = 16
CANFD_MTU = 72
_FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)
# Kernel interface names hold at most 15 characters (IFNAMSIZ 16 with the NUL).
_MAX_NAME = 15
# A participant that does not read within this long while the hub forwards to
# it is slow only for itself: the hub never blocks on one participant.
_SEND_TIMEOUT = 1.0

_HEADER = struct.Struct("=IBBBB")


def interface_dir(directory: str | None = None) -> str:
    """The directory holding the hub sockets: the argument, else $VELMORA_VCAN_DIR, else the default."""
    if directory is not None:
        return os.fspath(directory)
    return os.environ.get("VELMORA_VCAN_DIR") or DEFAULT_DIR


def interface_path(name: str, directory: str | None = None) -> str:
    _check_name(name)
    return os.path.join(interface_dir(directory), name)


def _check_name(name: str) -> None:
    if not isinstance(name, str):
        raise TypeError("interface name must be a str")
    if not name or len(name) > _MAX_NAME or "/" in name or "\0" in name or name in (".", ".."):
        raise ValueError(f"invalid CAN interface name: {name!r}")


def _fd_length(n: int) -> int:
    for length in _FD_LENGTHS:
        if length >= n:
            return length
    raise ValueError(f"CAN FD payload too long: {n} bytes")


@dataclass
class Frame:
    can_id: int
    data: bytes
    extended: bool = False
    fd: bool = False
    brs: bool = False
    rtr: bool = False
    error: bool = False

    def pack(self) -> bytes:
        """The kernel frame structure: 16 bytes classic, 72 bytes CAN FD."""
        limit = CAN_EFF_MASK if self.extended else CAN_SFF_MASK
        if not 0 <= self.can_id <= limit:
            raise ValueError(f"CAN id {self.can_id:#x} out of range")
        word = self.can_id
        if self.extended:
            word |= CAN_EFF_FLAG
        if self.rtr:
            word |= CAN_RTR_FLAG
        if self.error:
            word |= CAN_ERR_FLAG
        data = bytes(self.data)
        if self.fd:
            length = _fd_length(len(data))
            flags = CANFD_FDF | (CANFD_BRS if self.brs else 0)
            return _HEADER.pack(word, length, flags, 0, 0) + data.ljust(64, b"\0")
        if len(data) > 8:
            raise ValueError(f"classic CAN payload too long: {len(data)} bytes")
        return _HEADER.pack(word, len(data), 0, 0, 0) + data.ljust(8, b"\0")

    @classmethod
    def unpack(cls, raw: bytes) -> "Frame":
        """Reads one kernel frame structure; any size but 16 or 72 bytes is a ValueError."""
        raw = bytes(raw)
        if len(raw) == CAN_MTU:
            fd, limit = False, 8
        elif len(raw) == CANFD_MTU:
            fd, limit = True, 64
        else:
            raise ValueError(f"not a CAN frame structure: {len(raw)} bytes")
        word, length, flags, _, _ = _HEADER.unpack_from(raw)
        extended = bool(word & CAN_EFF_FLAG)
        error = bool(word & CAN_ERR_FLAG)
        rtr = bool(word & CAN_RTR_FLAG)
        can_id = word & (CAN_EFF_MASK if extended else CAN_SFF_MASK)
        # The kernel always hands error frames over with their 8 data bytes.
        n = 8 if (error and not fd) else min(length, limit)
        return cls(can_id=can_id, data=raw[8:8 + n], extended=extended, fd=fd,
                   brs=fd and bool(flags & CANFD_BRS), rtr=rtr, error=error)


def _is_live_socket(path: str) -> bool:
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        probe.settimeout(1.0)
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


class VcanBus:
    """The hub of one virtual CAN interface."""

    def __init__(self, name: str, directory: str | None = None):
        _check_name(name)
        self.name = name
        self._dir = interface_dir(directory)
        self._path = os.path.join(self._dir, name)
        self._listener: socket.socket | None = None
        self._inode: tuple[int, int] | None = None
        self._wake_r: socket.socket | None = None
        self._wake_w: socket.socket | None = None
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()
        self._pending: select.poll | None = None
        self._participants: list[socket.socket] = []
        # Set when served from the caller's selector (attach) instead of a thread.
        self._attached: selectors.BaseSelector | None = None
        self._local: Callable[[bytes], None] | None = None

    @property
    def path(self) -> str:
        return self._path

    def start(self) -> "VcanBus":
        """Creates the listening socket, then serves it from a daemon thread."""
        with self._lock:
            self._listen()
            self._wake_r, self._wake_w = socket.socketpair()
            self._thread = threading.Thread(target=self._serve, name=f"vcan-hub-{self.name}", daemon=True)
            self._thread.start()
            return self

    def attach(self, sel: selectors.BaseSelector, local: Callable[[bytes], None]) -> "VcanBus":
        """Serves the hub from the caller's selector loop, with the caller as one more participant.

        The selector's keys carry callables, which the caller's loop calls when
        they are ready. ``local`` gets every frame another participant sends;
        ``send_local`` puts the caller's own frames on the bus. No thread and no
        extra hop: a simulator that hosts its bus answers as fast as a device.
        """
        with self._lock:
            listener = self._listen()
            self._attached = sel
            self._local = local
            sel.register(listener, selectors.EVENT_READ, lambda: self._accept(sel, self._participants))
            return self

    def send_local(self, raw: bytes) -> None:
        """Puts a frame of the attached caller on the bus."""
        self._send_to_others(self._attached, None, raw)

    def take_pending(self) -> None:
        """Forwards, without waiting, whatever the participants have sent (attached hub only)."""
        assert self._attached is not None and self._pending is not None
        if self._pending.poll(0):
            self._accept(self._attached, self._participants)
        for conn in list(self._participants):
            self._forward_attached(conn)

    def _listen(self) -> socket.socket:
        if self._listener is not None:
            raise RuntimeError(f"vcan hub {self.name} already started")
        os.makedirs(self._dir, exist_ok=True)
        try:
            st = os.lstat(self._path)
        except FileNotFoundError:
            pass
        else:
            if not stat.S_ISSOCK(st.st_mode):
                raise FileExistsError(errno.EEXIST, "not a vcan hub socket", self._path)
            if _is_live_socket(self._path):
                raise FileExistsError(errno.EEXIST, "vcan interface already has a hub", self._path)
            os.unlink(self._path)  # left behind by a hub that died
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            listener.bind(self._path)
            listener.listen(64)
            listener.setblocking(False)
            st = os.stat(self._path)
        except BaseException:
            listener.close()
            raise
        self._listener = listener
        self._inode = (st.st_dev, st.st_ino)
        self._pending = select.poll()  # connections waiting in the listen queue
        self._pending.register(listener, select.POLLIN)
        return listener

    def close(self) -> None:
        """Stops the hub, disconnects every participant and removes the interface."""
        with self._lock:
            if self._attached is not None:
                sel, self._attached = self._attached, None
                for s in [self._listener, *self._participants]:
                    if s is not None and s.fileno() >= 0:
                        sel.unregister(s)
                        s.close()
                self._participants.clear()
                self._unlink_own_path()
                self._listener = None
                return
            thread, self._thread = self._thread, None
            if thread is None:
                return
            assert self._wake_w is not None
            try:
                self._wake_w.send(b"x")
            except OSError:
                pass
            thread.join(timeout=5.0)
            self._unlink_own_path()
            for s in (self._listener, self._wake_r, self._wake_w):
                if s is not None:
                    s.close()
            self._listener = self._wake_r = self._wake_w = None

    def _unlink_own_path(self) -> None:
        # Only our own socket file: a later hub may already own the name.
        try:
            st = os.lstat(self._path)
            if (st.st_dev, st.st_ino) == self._inode:
                os.unlink(self._path)
        except OSError:
            pass

    def __enter__(self) -> "VcanBus":
        if self._thread is None and self._attached is None:
            self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # At interpreter exit the serving thread may already be frozen.
        if sys.is_finalizing():
            return
        try:
            self.close()
        except Exception:
            pass

    def _serve(self) -> None:
        sel = selectors.DefaultSelector()
        participants = self._participants
        assert self._listener is not None and self._wake_r is not None and self._pending is not None
        sel.register(self._listener, selectors.EVENT_READ, "accept")
        sel.register(self._wake_r, selectors.EVENT_READ, "stop")
        try:
            while True:
                for key, _ in sel.select():
                    if key.data == "stop":
                        return
                    if key.data == "accept":
                        self._accept(sel, participants)
                    elif key.fileobj in participants:  # not dropped earlier in this round
                        self._forward(sel, participants, key.fileobj, self._pending)
        finally:
            for p in participants:
                p.close()
            participants.clear()
            sel.close()

    def _accept(self, sel: selectors.BaseSelector, participants: list[socket.socket]) -> None:
        assert self._listener is not None
        while True:
            try:
                conn, _ = self._listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return  # e.g. out of descriptors; the peer sees its connection refused
            conn.setblocking(False)
            participants.append(conn)
            if self._attached is not None:
                sel.register(conn, selectors.EVENT_READ, lambda c=conn: self._forward_attached(c))
            else:
                sel.register(conn, selectors.EVENT_READ, "participant")

    def _forward_attached(self, conn: socket.socket) -> None:
        assert self._attached is not None and self._pending is not None
        if conn in self._participants:  # not dropped earlier in this round
            self._forward(self._attached, self._participants, conn, self._pending)

    @staticmethod
    def _drop(sel: selectors.BaseSelector, participants: list[socket.socket], conn: socket.socket) -> None:
        sel.unregister(conn)
        participants.remove(conn)
        conn.close()

    def _forward(self, sel: selectors.BaseSelector, participants: list[socket.socket], conn: socket.socket,
                 pending: select.poll) -> None:
        while True:
            try:
                raw, _, flags, _ = conn.recvmsg(CANFD_MTU + 1)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                self._drop(sel, participants, conn)
                return
            if not raw:
                self._drop(sel, participants, conn)  # the participant went away
                return
            if flags & socket.MSG_TRUNC or len(raw) not in (CAN_MTU, CANFD_MTU):
                continue  # not a frame: a bus carries nothing else
            if raw[4] > (8 if len(raw) == CAN_MTU else 64):
                continue  # longer than its frame can be: the kernel refuses such a send
            if len(raw) == CANFD_MTU and not raw[5] & CANFD_FDF:
                raw = raw[:5] + bytes([raw[5] | CANFD_FDF]) + raw[6:]  # the kernel marks every FD frame it carries
            # A participant whose connect returned before this frame was sent
            # must see it, even when the selector reported the frame first.
            if pending.poll(0):
                self._accept(sel, participants)
            self._send_to_others(sel, conn, raw)
            if self._local is not None:
                self._local(raw)

    def _send_to_others(self, sel: selectors.BaseSelector | None, sender: socket.socket | None,
                        raw: bytes) -> None:
        for other in list(self._participants):
            if other is sender:
                continue
            try:
                other.send(raw, socket.MSG_NOSIGNAL | socket.MSG_DONTWAIT)
            except (BlockingIOError, InterruptedError):
                pass  # that participant's queue is full: it loses the frame, as on a real bus
            except OSError:
                if sel is not None:
                    self._drop(sel, self._participants, other)


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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velmora_sim.vcan",
                                     description="Run a user-space CAN bus hub until SIGINT or SIGTERM.")
    parser.add_argument("name", help="interface name, e.g. vcan0")
    parser.add_argument("--dir", default=None, help=f"socket directory (default $VELMORA_VCAN_DIR or {DEFAULT_DIR})")
    args = parser.parse_args(argv)
    stop = threading.Event()

    def on_signal(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    try:
        bus = VcanBus(args.name, args.dir).start()
    except (OSError, ValueError) as e:
        print(f"vcan: {e}", file=sys.stderr)
        return 1
    with bus:
        print(f"vcan interface {bus.name} at {bus.path}", flush=True)
        stop.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
