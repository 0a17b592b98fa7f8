"""The hub of a virtual CAN interface: it forwards every frame to every other participant, as a bus does.

It serves either from a thread of its own (``start``) or from the caller's
selector loop (``attach``), where the caller is one more participant.
"""

from __future__ import annotations

import errno
import os
import select
import selectors
import socket
import stat
import sys
import threading
from typing import Callable

from .frame import CAN_MTU, CANFD_FDF, CANFD_MTU
from .interfaces import check_name, interface_dir


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
        check_name(name)
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
