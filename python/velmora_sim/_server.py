"""A process of the virtual torso: one bus (the servo line or the neck's CAN bus) and its control channel,
served from one selector.

``VirtualTorso`` starts one such process per bus, so the two buses work side by
side as on the robot: a burst of CAN frames never holds back a servo's reply.
Each is started with the control connection's descriptor as its only argument.
Nothing here polls: the loop sleeps in ``select`` until a packet, a frame, a
control request or the next scheduled reply is due.
"""

from __future__ import annotations

import heapq
import itertools
import os
import selectors
import signal
import sys
import time
import traceback
from multiprocessing.connection import Connection
from types import FrameType
from typing import Any, Callable

from ._can_link import CanLink
from ._commands import ControlCommands
from ._serial_line import SerialLine
from .neck_bus import NeckBus
from .servo_bus import ServoBus
from .trace import Trace, hex_bytes
from .vcan import Frame

clock = time.monotonic


class Server:
    def __init__(self, conn: Connection, config: dict[str, Any]) -> None:
        self.conn = conn
        self.trace = Trace(config.get("trace"), epoch=config.get("trace_epoch"))
        self._tasks: list[tuple[float, int, Callable[[], None]]] = []
        self._seq = itertools.count()
        # Replies scheduled and not yet sent, per bus: a reply that is already due must still queue
        # behind them, or a simulator that fell behind would put replies on a line out of order.
        self._queued = {"serial": 0, "can": 0}
        # select() takes its time-out in microseconds; epoll would round a reply due in 0.4 ms up to 1 ms.
        self.sel = selectors.SelectSelector()
        self.line: SerialLine | None = None
        self.servos: ServoBus | None = None
        self.can: CanLink | None = None
        self.neck: NeckBus | None = None
        self.running = True
        wire_timing = bool(config.get("wire_timing"))

        try:
            if config.get("servos", True):
                self.servos = ServoBus(self._send_serial, self._trace_serial, wire_timing=wire_timing,
                                       reboot_time=config.get("reboot_time", 0.05))
                servos = self.servos
                self.line = SerialLine(self.sel, lambda packet, now: self._guarded(servos.receive, packet, now))
            if config.get("neck", True):
                self.neck = NeckBus(self._send_can, self._trace_can, wire_timing=wire_timing,
                                    positions=config.get("neck_positions"))
                neck = self.neck
                self.can = CanLink(self.sel, config, lambda frame, now: self._guarded(neck.receive, frame, now),
                                   self.trace, self.schedule)
        except BaseException:
            self.close()
            raise
        self.sel.register(self.conn.fileno(), selectors.EVENT_READ, self._on_control)
        info: dict[str, object] = {
            "serial_device": self.line.path if self.line else None,
            "can_interface": self.can.name if self.can else None,
            "vcan_dir": self.can.vcan_dir if self.can else None,
            "pid": os.getpid(), "trace_epoch": self.trace.epoch}
        self.commands = ControlCommands(self.servos, self.neck, self.line, self.can, self.trace, info, self.stop,
                                        self.inject_noise, self.schedule)

    # ---- scheduling ----------------------------------------------------------

    def _send_in_order(self, bus: str, at: float, send: Callable[[], None]) -> None:
        """Sends now when due and nothing is queued on the bus before it; otherwise queues it."""
        if at <= clock() and not self._queued[bus]:
            send()
            return
        self._queued[bus] += 1

        def queued() -> None:
            self._queued[bus] -= 1
            send()
        self.schedule(at, queued)

    def schedule(self, at: float, action: Callable[[], None]) -> None:
        heapq.heappush(self._tasks, (at, next(self._seq), action))

    def _run_due(self) -> None:
        now = clock()
        while self._tasks and self._tasks[0][0] <= now:
            _, _, action = heapq.heappop(self._tasks)
            self._guarded(action)

    def serve(self) -> None:
        while self.running:
            timeout = None
            if self._tasks:
                timeout = max(0.0, self._tasks[0][0] - clock())
            for key, _ in self.sel.select(timeout):
                key.data()
                if not self.running:
                    return
            self._run_due()

    def _guarded(self, handler: Callable[..., object], *args: object) -> None:
        # A fault in the simulator must not take the whole torso down in the middle of someone's test.
        try:
            handler(*args)
        except Exception:
            text = traceback.format_exc()
            self.trace.note("simulator fault, packet or reply dropped: " + text.strip().splitlines()[-1])
            print(f"velmora_sim: simulator fault:\n{text}", file=sys.stderr, flush=True)

    # ---- serial --------------------------------------------------------------

    def _trace_serial(self, direction: str, ident: str, text: str) -> None:
        self.trace.emit(direction, "serial", ident, text)

    def _send_serial(self, at: float, packet: bytes, text: str) -> None:
        line = self.line
        assert line is not None
        generation = line.generation

        def write() -> None:
            # Traced before it goes out: the client may act on the other bus the moment it has the reply,
            # and the other process's trace must not get there first.
            pulled = line.generation != generation
            self.trace.emit("<-", "serial", f"id={packet[2]}",
                            text + (" (lost: the serial adapter was pulled out)" if pulled else ""))
            if pulled:
                return
            n = line.write(packet)
            if n != len(packet):
                self.trace.note(f"serial line full: {len(packet) - n} bytes of that reply lost")
        self._send_in_order("serial", at, write)

    def inject_noise(self, data: bytes) -> None:
        assert self.line is not None
        self.line.write(bytes(data))
        self.trace.emit("<-", "serial", "", f"NOISE {len(data)} bytes {hex_bytes(data)}")

    # ---- CAN -----------------------------------------------------------------

    def _trace_can(self, direction: str, ident: str, text: str) -> None:
        self.trace.emit(direction, "can", ident, text)

    def _send_can(self, at: float, frame: Frame, text: str) -> None:
        can = self.can
        assert can is not None
        generation = can.generation

        def send() -> None:
            gone = can.generation != generation
            # Before it goes out, as a serial reply is.
            self.trace.emit("<-", "can", f"0x{frame.can_id:03X}",
                            text + (" (not sent: the CAN interface went away)" if gone else ""))
            if gone:
                return
            try:
                can.send(frame)
            except OSError as e:
                self.trace.note(f"CAN frame 0x{frame.can_id:03X} not sent: {e.strerror or e}")
        self._send_in_order("can", at, send)

    # ---- control channel -----------------------------------------------------

    def _take_pending_traffic(self) -> None:
        """Handles whatever the buses already hold, so a control request sees all traffic sent before it.

        A client that sends a packet needing no reply (a sync write) and then asks
        for the logs must find that packet in them.
        """
        if self.line is not None:
            self.line.take_pending()
        if self.can is not None:
            self.can.take_pending()

    def _on_control(self) -> None:
        self._take_pending_traffic()
        try:
            request = self.conn.recv()
        except (EOFError, OSError):
            self.running = False  # the owner has gone: so do we
            return
        name, args, kwargs = request
        reply: tuple[object, ...]
        try:
            handler = getattr(self.commands, "cmd_" + name)
            reply = ("ok", handler(*args, **kwargs))
        except Exception as e:  # reported to the caller, who raises it
            reply = ("error", type(e).__name__, str(e))
        try:
            self.conn.send(reply)
        except OSError:
            self.running = False

    def stop(self) -> None:
        self.running = False

    def close(self) -> None:
        if self.can is not None:
            self.can.close()
        if self.line is not None:
            self.line.close()
        self.trace.close()


def _raise_priority(realtime: bool) -> None:
    # Real hardware never waits for a CPU: on a busy machine, a reply that is late only because
    # other work held the processor would look like a bus fault. SCHED_FIFO (asked for) puts this
    # process ahead of every ordinary one; otherwise ask for a better share, where allowed. The loop
    # only ever sleeps in select, so it cannot starve the host.
    if realtime:
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
            return
        except OSError:
            pass
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        pass


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    conn = Connection(int(argv[0]))
    # Ctrl-C in a terminal reaches the whole process group: the owner decides when we stop.
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    def on_term(signum: int, frame: FrameType | None) -> None:
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, on_term)
    config = conn.recv()
    _raise_priority(bool(config.get("realtime")))
    try:
        # A processor of its own when the handle asks for one (bus_cpus).
        if config.get("cpu") is not None:
            os.sched_setaffinity(0, {int(config["cpu"])})
        server = Server(conn, config)
    except Exception as e:
        conn.send(("error", type(e).__name__, f"{e}\n{traceback.format_exc()}"))
        return 1
    try:
        conn.send(("ok", server.commands.cmd_info()))
        server.serve()
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
