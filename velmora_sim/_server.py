"""The virtual torso's own process: both buses and the control channel, served from one selector.

Started by ``VirtualTorso`` with the control connection's descriptor as its only
argument. Nothing here polls: the loop sleeps in ``select`` until a packet, a
frame, a control request or the next scheduled reply is due.
"""

from __future__ import annotations

import heapq
import itertools
import os
import secrets
import select
import selectors
import signal
import socket
import sys
import termios
import time
import traceback
from multiprocessing.connection import Connection
from types import FrameType
from typing import Any, Callable

from . import feetech as ft
from .neck_bus import NeckBus
from .servo import Servo
from .servo_bus import ServoBus
from .trace import Trace
from .vcan import Frame, VcanBus, interface_dir, interface_path

clock = time.monotonic


def make_raw(fd: int) -> None:
    """Raw 8N1 at 1 Mbaud, with every input translation off, so no byte is ever altered or echoed."""
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
               | termios.IGNCR | termios.ICRNL | termios.IXON | termios.IXOFF | termios.IXANY
               | termios.IMAXBEL | termios.INPCK | termios.IUCLC)
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN
               | termios.ECHOE | termios.ECHOK | termios.ECHOCTL | termios.ECHOKE)
    cflag &= ~(termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS)
    cflag |= termios.CS8 | termios.CREAD | termios.CLOCAL
    cc = list(cc)
    cc[termios.VMIN] = 1
    cc[termios.VTIME] = 0
    speed = getattr(termios, "B1000000", ispeed)
    termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, speed, speed, cc])


def open_pty() -> tuple[int, int, str]:
    master, slave = os.openpty()
    make_raw(slave)  # before anyone else can open the slave
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


class KernelCan:
    """A participant on a real (kernel) CAN interface, for machines that have one."""

    def __init__(self, name: str) -> None:
        self._sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            self._sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
            self._sock.bind((name,))
            self._sock.setblocking(False)
        except BaseException:
            self._sock.close()
            raise

    def fileno(self) -> int:
        return self._sock.fileno()

    def send(self, frame: Frame) -> None:
        self._sock.send(frame.pack())

    def recv(self, timeout: float | None = None) -> Frame | None:
        try:
            return Frame.unpack(self._sock.recv(72))
        except BlockingIOError:
            return None

    def close(self) -> None:
        self._sock.close()


class HostedCan:
    """The simulator's own place on a bus it hosts (VcanBus.attach)."""

    def __init__(self, hub: VcanBus) -> None:
        self._hub = hub

    def send(self, frame: Frame) -> None:
        self._hub.send_local(frame.pack())

    def close(self) -> None:
        pass


def unique_interface(directory: str) -> str:
    while True:
        name = "vtorso" + secrets.token_hex(2)
        if not os.path.exists(interface_path(name, directory)):
            return name


class Server:
    def __init__(self, conn: Connection, config: dict[str, Any]) -> None:
        self.conn = conn
        self.trace = Trace(config.get("trace"))
        self._tasks: list[tuple[float, int, Callable[[], None]]] = []
        self._seq = itertools.count()
        # select() takes its time-out in microseconds; epoll would round a reply due in 0.4 ms up to 1 ms.
        self.sel = selectors.SelectSelector()
        self.master: int | None = None
        self.slave: int | None = None
        self.serial_device: str | None = None
        self.servos: ServoBus | None = None
        self.stream = ft.PacketStream()
        self.hub: VcanBus | None = None
        self.can: KernelCan | HostedCan
        self.running = True
        wire_timing = bool(config.get("wire_timing"))

        if config.get("servos", True):
            self.master, self.slave, self.serial_device = open_pty()
            self.servos = ServoBus(self._send_serial, self._trace_serial, wire_timing=wire_timing,
                                   reboot_time=config.get("reboot_time", 0.05))
            self.sel.register(self.master, selectors.EVENT_READ, self._on_serial)

        self.vcan_dir = interface_dir(config.get("vcan_dir"))
        if config.get("kernel_can"):
            self.can_interface = config["can_interface"]
            self.can = KernelCan(self.can_interface)
        else:
            self.can_interface = config.get("can_interface") or unique_interface(self.vcan_dir)
            # The simulator hosts the bus in its own loop: frames reach the
            # motors without a hop through another thread.
            self.hub = VcanBus(self.can_interface, self.vcan_dir).attach(self.sel, self._on_hub_frame)
            self.can = HostedCan(self.hub)
        self.neck = NeckBus(self._send_can, self._trace_can, wire_timing=wire_timing,
                            positions=config.get("neck_positions"))
        self._can_fd: int | None = None
        if isinstance(self.can, KernelCan):
            self._can_fd = self.can.fileno()
            self.sel.register(self._can_fd, selectors.EVENT_READ, self._on_can)
        self.sel.register(self.conn.fileno(), selectors.EVENT_READ, self._on_control)

    # ---- scheduling ----------------------------------------------------------

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

    # ---- serial --------------------------------------------------------------

    def _trace_serial(self, direction: str, ident: str, text: str) -> None:
        self.trace.emit(direction, "serial", ident, text)

    def _send_serial(self, at: float, packet: bytes, text: str) -> None:
        assert self.master is not None
        master = self.master

        def write() -> None:
            try:
                n = os.write(master, packet)
            except BlockingIOError:
                n = 0
            note = "" if n == len(packet) else f" (line full: {len(packet) - n} bytes lost)"
            self.trace.emit("<-", "serial", f"id={packet[2]}", text + note)
        if at <= clock():
            write()
        else:
            self.schedule(at, write)

    def _on_serial(self) -> None:
        assert self.master is not None and self.servos is not None
        try:
            data = os.read(self.master, 4096)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return  # EIO: nobody has the port open, which our own slave descriptor rules out
        now = clock()
        for packet in self.stream.feed(data):
            self._guarded(self.servos.receive, packet, now)

    def _guarded(self, handler: Callable[..., object], *args: object) -> None:
        # A fault in the simulator must not take the whole torso down in the middle of someone's test.
        try:
            handler(*args)
        except Exception:
            text = traceback.format_exc()
            self.trace.note("simulator fault, packet or reply dropped: " + text.strip().splitlines()[-1])
            print(f"velmora_sim: simulator fault:\n{text}", file=sys.stderr, flush=True)

    def inject_noise(self, data: bytes) -> None:
        assert self.master is not None
        try:
            os.write(self.master, bytes(data))
        except BlockingIOError:
            pass
        self.trace.emit("<-", "serial", "", f"NOISE {len(data)} bytes [{' '.join(f'{b:02X}' for b in data)}]")

    # ---- CAN -----------------------------------------------------------------

    def _trace_can(self, direction: str, ident: str, text: str) -> None:
        self.trace.emit(direction, "can", ident, text)

    def _send_can(self, at: float, frame: Frame, text: str) -> None:
        def send() -> None:
            try:
                self.can.send(frame)
                note = ""
            except OSError as e:
                note = f" (not sent: {e})"
            self.trace.emit("<-", "can", f"0x{frame.can_id:03X}", text + note)
        if at <= clock():
            send()
        else:
            self.schedule(at, send)

    def _on_hub_frame(self, raw: bytes) -> None:
        try:
            frame = Frame.unpack(raw)
        except ValueError:
            return
        self._guarded(self.neck.receive, frame, clock())

    def _on_can(self) -> None:
        assert isinstance(self.can, KernelCan)
        now = clock()
        while True:
            try:
                frame = self.can.recv(0)
            except (ConnectionResetError, OSError):
                if self._can_fd in {key.fd for key in self.sel.get_map().values()}:
                    self.sel.unregister(self._can_fd)
                    self.trace.note("CAN interface went away")
                return
            if frame is None:
                return
            self._guarded(self.neck.receive, frame, now)

    # ---- control channel -----------------------------------------------------

    def _take_pending_traffic(self) -> None:
        """Handles whatever the buses already hold, so a control request sees all traffic sent before it.

        A client that sends a packet needing no reply (a sync write) and then asks
        for the logs must find that packet in them.
        """
        if self.hub is not None:
            self.hub.take_pending()
        registered = {key.fd for key in self.sel.get_map().values()}
        sources = {fd: handler for fd, handler in ((self.master, self._on_serial), (self._can_fd, self._on_can))
                   if fd in registered}
        for _ in range(16):  # bounded: a descriptor that stays readable without yielding data cannot hold us
            ready = select.select(list(sources), [], [], 0)[0] if sources else []
            if not ready:
                return
            for fd in ready:
                sources[fd]()

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
            handler = getattr(self, "cmd_" + name)
            reply = ("ok", handler(*args, **kwargs))
        except Exception as e:  # reported to the caller, who raises it
            reply = ("error", type(e).__name__, str(e))
        try:
            self.conn.send(reply)
        except OSError:
            self.running = False

    def close(self) -> None:
        self.trace.close()
        self.can.close()
        if self.hub is not None:
            self.hub.close()
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)

    # Every cmd_* below is one request of the VirtualTorso handle.

    def cmd_info(self) -> dict[str, object]:
        return {"serial_device": self.serial_device, "can_interface": self.can_interface,
                "vcan_dir": self.vcan_dir, "pid": os.getpid(), "trace_epoch": self.trace.epoch}

    def cmd_close(self) -> None:
        self.running = False

    def _servo_bus(self) -> ServoBus:
        if self.servos is None:
            raise RuntimeError("this virtual torso has no servos")
        return self.servos

    def _servo(self, servo_id: int) -> Servo:
        return self._servo_bus().servo(servo_id)

    def cmd_servo_registers(self, servo_id: int) -> bytes:
        return self._servo(servo_id).snapshot()

    def cmd_servo_state(self, servo_id: int) -> dict[str, object]:
        s = self._servo(servo_id)
        regs = s.snapshot()

        def u16(a: int) -> int:
            return regs[a] | (regs[a + 1] << 8)

        return {"id": s.id, "model": s.model, "present": u16(56), "goal": u16(42), "torque": bool(regs[40]),
                "moving": bool(regs[66]), "voltage": regs[62], "offset": u16(31), "locked": bool(regs[55]),
                "unplugged": s.unplugged, "rebooting": time.monotonic() < s.silent_until}

    def cmd_write_servo_registers(self, servo_id: int, address: int, data: bytes) -> None:
        if not 0 <= address < 256 or address + len(data) > 256:
            raise ValueError(f"register write {address}+{len(data)} runs past the 256-byte memory")
        self._servo(servo_id).write(address, bytes(data), from_bus=False)

    def cmd_set_servo_position(self, servo_id: int, raw: int) -> None:
        self._servo(servo_id).set_present(raw)

    def cmd_unplug_servo(self, servo_id: int, unplugged: bool = True) -> None:
        self._servo(servo_id).unplugged = bool(unplugged)
        self.trace.note(f"servo {servo_id} {'unplugged' if unplugged else 'plugged in'}")

    def cmd_corrupt_next_reply(self, servo_id: int, count: int = 1) -> None:
        self._servo(servo_id)
        self._servo_bus().corrupt[servo_id] = int(count)

    def cmd_wrong_id_next_reply(self, servo_id: int, count: int = 1) -> None:
        self._servo(servo_id)
        self._servo_bus().wrong_id[servo_id] = int(count)

    def cmd_out_of_order_sync_read(self, count: int = 1) -> None:
        if self.servos is None:
            raise RuntimeError("this virtual torso has no servos")
        self.servos.out_of_order = int(count)

    def cmd_inject_serial_noise(self, data: bytes) -> None:
        if self.servos is None:
            raise RuntimeError("this virtual torso has no servos")
        self.inject_noise(bytes(data))

    def cmd_set_voltage(self, servo_id: int | None, decivolts: int) -> None:
        targets = self._servo_bus().servos if servo_id is None else [self._servo(servo_id)]
        for s in targets:
            s.set_voltage(decivolts)
        self.trace.note(f"supply of {'all servos' if servo_id is None else f'servo {servo_id}'} at {decivolts / 10:.1f} V")

    def cmd_ramp_voltage(self, start: int, end: int, seconds: float) -> None:
        if self.servos is None:
            raise RuntimeError("this virtual torso has no servos")
        for s in self.servos.servos:
            s.ramp_voltage(start, end, seconds)
        self.trace.note(f"supply ramping from {start / 10:.1f} V to {end / 10:.1f} V over {seconds:g} s")

    def cmd_set_servo_reply_delay(self, seconds: float) -> None:
        if self.servos is None:
            raise RuntimeError("this virtual torso has no servos")
        self.servos.reply_delay = max(0.0, float(seconds))

    def cmd_motor_state(self, can_id: int) -> dict[str, object]:
        return self.neck.motor(can_id).state()

    def cmd_set_motor_position(self, can_id: int, radians: float) -> None:
        self.neck.motor(can_id).set_position(radians)

    def cmd_unplug_motor(self, can_id: int, unplugged: bool = True) -> None:
        self.neck.motor(can_id).unplugged = bool(unplugged)
        self.trace.note(f"neck motor {can_id} {'unplugged' if unplugged else 'plugged in'}")

    def cmd_block_motor(self, can_id: int, blocked: bool = True) -> None:
        m = self.neck.motor(can_id)
        m.update()
        m.blocked = bool(blocked)
        self.trace.note(f"neck motor {can_id} {'blocked' if blocked else 'free'}")

    def cmd_refuse_mode_switch(self, can_id: int, refuse: bool = True) -> None:
        self.neck.motor(can_id).refuse_mode_switch = bool(refuse)

    def cmd_set_motor_mode(self, can_id: int, mode: int) -> None:
        m = self.neck.motor(can_id)
        m.update()
        m.regs[10] = int(mode)

    def cmd_set_motor_reply_delay(self, seconds: float) -> None:
        self.neck.reply_delay = max(0.0, float(seconds))

    def cmd_serial_rx(self) -> list[bytes]:
        return list(self.servos.rx_log) if self.servos else []

    def cmd_can_rx(self) -> list[tuple[int, bytes]]:
        return list(self.neck.rx_log)

    def cmd_trace_lines(self) -> list[str]:
        return list(self.trace.lines)

    def cmd_clear_logs(self) -> None:
        if self.servos:
            self.servos.rx_log.clear()
        self.neck.rx_log.clear()
        self.trace.lines.clear()


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    conn = Connection(int(argv[0]))
    # Ctrl-C in a terminal reaches the whole process group: the owner decides when we stop.
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    def on_term(signum: int, frame: FrameType | None) -> None:
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, on_term)
    # The CAN hub thread shares the interpreter with the selector loop: switch often.
    sys.setswitchinterval(0.0005)
    # Real hardware never waits for a CPU: on a busy machine, a reply that is late only because
    # compilers hold both cores would look like a bus fault. Ask for a better share where allowed.
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        pass
    config = conn.recv()
    try:
        server = Server(conn, config)
    except Exception as e:
        conn.send(("error", type(e).__name__, f"{e}\n{traceback.format_exc()}"))
        return 1
    try:
        conn.send(("ok", server.cmd_info()))
        server.serve()
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
