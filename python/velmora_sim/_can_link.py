"""The neck's place on its CAN interface: a user-space interface the simulator hosts, or a kernel one.

A hosted interface is removed and restored on request, as a USB CAN adapter is
pulled out and plugged in again. A kernel interface belongs to whoever made it:
when it is removed, the link binds a new socket by name every REBIND_INTERVAL
until it is back; when it is merely taken down, the same socket works again
once it is up.
"""

from __future__ import annotations

import errno
import os
import selectors
import time
from typing import Any, Callable

from ._devices import KernelCan, unique_interface
from .trace import Trace, hex_bytes
from .vcan import Frame, VcanBus, interface_dir

REBIND_INTERVAL = 0.1

# Controller states as the kernel's error frames report them (linux/can/error.h): the class in the
# CAN id, the details in the data, always 8 bytes.
CAN_ERR_CRTL = 0x004
CAN_ERR_BUSOFF = 0x040
CAN_ERR_RESTARTED = 0x100
CAN_ERR_CRTL_RX_PASSIVE = 0x10
CAN_ERR_CRTL_TX_PASSIVE = 0x20
ERROR_FRAMES = {
    "bus-off": Frame(CAN_ERR_BUSOFF, bytes(8), error=True),
    "error-passive": Frame(CAN_ERR_CRTL, bytes([0, CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE]) + bytes(6),
                           error=True),
    "restarted": Frame(CAN_ERR_RESTARTED, bytes(8), error=True),
}


class CanLink:
    """on_frame gets every frame another participant sends, with its arrival time; schedule(at, action)
    runs an action later from the simulator's loop."""

    def __init__(self, sel: selectors.BaseSelector, config: dict[str, Any], on_frame: Callable[[Frame, float], None],
                 trace: Trace, schedule: Callable[[float, Callable[[], None]], None]) -> None:
        self._sel = sel
        self._on_frame = on_frame
        self._trace = trace
        self._schedule = schedule
        self.vcan_dir = interface_dir(config.get("vcan_dir"))
        self.kernel = bool(config.get("kernel_can"))
        self._hub: VcanBus | None = None
        self._sock: KernelCan | None = None
        self._down = False  # a kernel interface reported ENETDOWN and has carried nothing since
        self._closed = False
        # Bumped whenever the interface goes or comes: a reply scheduled before must not go out after.
        self.generation = 0
        if self.kernel:
            self.name: str = config["can_interface"]
            self._bind(KernelCan(self.name))
        else:
            self.name = config.get("can_interface") or unique_interface(self.vcan_dir)
            self.restore()

    def state(self) -> str:
        """"up", "down" (a kernel interface taken down) or "gone" (removed; a kernel one being waited for)."""
        if self._hub is None and self._sock is None:
            return "gone"
        return "down" if self._down else "up"

    # ---- frames ----------------------------------------------------------------

    def send(self, frame: Frame) -> None:
        """OSError when the frame cannot go out (interface removed, or down)."""
        if self._hub is not None:
            self._hub.send_local(frame.pack())
            return
        if self._sock is None:
            raise OSError(errno.ENODEV, os.strerror(errno.ENODEV))
        try:
            self._sock.send(frame)
        except OSError as e:
            if e.errno == errno.ENETDOWN:
                self._went_down(e)
            raise
        self._came_up()

    def send_error_frame(self, state: str) -> Frame:
        """Puts the error frame of a controller state on the bus, for the participants that ask for error frames."""
        if state not in ERROR_FRAMES:
            raise ValueError(f"unknown controller state {state!r}: expected one of {', '.join(ERROR_FRAMES)}")
        if self.kernel:
            raise RuntimeError("error frames on a kernel CAN interface come from its controller's driver; "
                               "the simulator cannot report a controller state there")
        if self._hub is None:
            raise RuntimeError(f"CAN interface {self.name} is removed")
        frame = ERROR_FRAMES[state]
        self._hub.send_local(frame.pack())
        self._trace.emit("<-", "can", "ERR",
                         f"ERROR FRAME {state} class=0x{frame.can_id:03X} data={hex_bytes(frame.data)}")
        return frame

    def take_pending(self) -> None:
        """Handles, without waiting, whatever the other participants have already sent."""
        if self._hub is not None:
            self._hub.take_pending()
        elif self._sock is not None:
            self._on_socket_readable()

    def _on_hub_frame(self, raw: bytes) -> None:
        try:
            frame = Frame.unpack(raw)
        except ValueError:
            return
        self._on_frame(frame, time.monotonic())

    # ---- a hosted interface: removed and restored on request -------------------

    def remove(self) -> bool:
        """Closes the hub, so every participant reads end-of-file and its sends fail (EPIPE), and removes its
        socket file. False when already removed."""
        self.require_hosted("removed")
        if self._hub is None:
            return False
        hub, self._hub = self._hub, None
        hub.close()
        self.generation += 1
        return True

    def restore(self) -> bool:
        """A new hub under the same name and directory. False when the interface is there."""
        self.require_hosted("restored")
        if self._hub is not None:
            return False
        self._hub = VcanBus(self.name, self.vcan_dir).attach(self._sel, self._on_hub_frame)
        self.generation += 1
        return True

    def require_hosted(self, what: str) -> None:
        if self.kernel:
            raise RuntimeError(f"kernel CAN interface {self.name} is {what} by its owner "
                               "(ip link delete / ip link add), not by the simulator")

    # ---- a kernel interface: bound again by name when it comes back ------------

    def _bind(self, sock: KernelCan) -> None:
        self._sock = sock
        self._down = False
        self.generation += 1
        self._sel.register(sock.fileno(), selectors.EVENT_READ, self._on_socket_readable)

    def _on_socket_readable(self) -> None:
        sock = self._sock
        while sock is not None and sock is self._sock:
            try:
                frame = sock.recv()
            except ValueError:
                continue  # not a frame structure: nothing a CAN socket would hand over
            except EOFError as e:
                self._gone(e)
                return
            except OSError as e:
                if e.errno == errno.ENETDOWN:
                    self._went_down(e)  # reported once; the socket stays bound and works again once up
                    continue
                self._gone(e)
                return
            if frame is None:
                return
            self._came_up()
            self._on_frame(frame, time.monotonic())

    def _went_down(self, e: OSError) -> None:
        if not self._down:
            self._down = True
            self._trace.note(f"CAN interface {self.name} is down ({e.strerror or e}): "
                             "the socket waits for it to come up")

    def _came_up(self) -> None:
        if self._down:
            self._down = False
            self._trace.note(f"CAN interface {self.name} is up again")

    def _gone(self, e: BaseException) -> None:
        assert self._sock is not None
        self._sel.unregister(self._sock.fileno())
        self._sock.close()
        self._sock = None
        self._down = False
        self.generation += 1
        reason = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        self._trace.note(f"CAN interface {self.name} went away ({reason}): "
                         f"binding a new socket every {REBIND_INTERVAL:g} s")
        self._schedule(time.monotonic() + REBIND_INTERVAL, self._rebind)

    def _rebind(self) -> None:
        if self._closed or self._sock is not None:
            return
        try:
            sock = KernelCan(self.name)
        except OSError:
            self._schedule(time.monotonic() + REBIND_INTERVAL, self._rebind)
            return
        self._bind(sock)
        self._trace.note(f"CAN interface {self.name} is back: a new socket is bound to it")

    def close(self) -> None:
        self._closed = True
        if self._sock is not None:
            self._sel.unregister(self._sock.fileno())
            self._sock.close()
            self._sock = None
        if self._hub is not None:
            self._hub.close()
            self._hub = None
