"""``VirtualTorso``: the handle that starts the simulated hardware in its own process and steers it.

The hardware cannot live in the caller's process: the controller holds the
interpreter lock for the whole of every bus transaction, so a simulated servo
in a thread of the same process could never answer in time. Nor do the two
buses share a process: one interpreter serving both would hold a servo's reply
back while it handles neck frames, where the robot's buses work side by side.
"""

from __future__ import annotations

import heapq
import os
import socket
import subprocess
import sys
import threading
import time
import weakref
from collections.abc import Sequence
from multiprocessing.connection import Connection
from typing import Any, Literal, cast

from ._preload import preload_library

# Time allowed for the process to start, and for any control request to be answered.
START_TIMEOUT = 20.0
REQUEST_TIMEOUT = 10.0

_PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# -I -S: no site packages to import, so the process is up in a few tens of milliseconds.
_BOOTSTRAP = "import sys; sys.path.insert(0, sys.argv[1]); from velmora_sim._server import main; sys.exit(main(sys.argv[2:]))"

_ERRORS = {"KeyError": KeyError, "ValueError": ValueError, "TypeError": TypeError,
           "RuntimeError": RuntimeError, "FileExistsError": FileExistsError, "OSError": OSError}


def _stop(processes: list[tuple[subprocess.Popen[bytes], Connection]]) -> None:
    for _, conn in processes:
        try:
            conn.close()  # end of the channel: the server closes its bus and exits
        except OSError:
            pass
    for process, _ in processes:
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def _deadline(after: float) -> float | None:
    """The monotonic time `after` seconds from now (shared by every process), None for at once."""
    return time.monotonic() + after if after > 0 else None


def _trace_time(line: str) -> float:
    return float(line.split(None, 1)[0])


class _Channel:
    """The control channel to one process of the torso: one request at a time, each answered in time."""

    def __init__(self, process: subprocess.Popen[bytes], conn: Connection) -> None:
        self.process = process
        self.conn = conn
        self.lock = threading.Lock()

    def receive(self, timeout: float, what: str) -> Any:
        if not self.conn.poll(timeout):
            raise RuntimeError(f"virtual torso did not answer {what} within {timeout:g} s")
        reply = self.conn.recv()
        if reply[0] == "ok":
            return reply[1]
        _, kind, text = reply
        raise _ERRORS.get(kind, RuntimeError)(text)


def _spawn(keep_preload: bool) -> _Channel:
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        env = dict(os.environ)
        if not keep_preload:
            # The simulator talks to its hub directly; it has no use for the CAN stand-in.
            env.pop("LD_PRELOAD", None)
        process = subprocess.Popen(
            [sys.executable, "-I", "-S", "-c", _BOOTSTRAP, _PACKAGE_PARENT, str(theirs.fileno())],
            pass_fds=[theirs.fileno()], env=env, stdin=subprocess.DEVNULL, close_fds=True)
    except BaseException:
        ours.close()
        raise
    finally:
        theirs.close()
    return _Channel(process, Connection(ours.detach()))


class VirtualTorso:
    """A virtual torso: seven servos behind a pseudo-terminal, three neck motors on a virtual CAN bus.

    Each bus is simulated in a process of its own, so the two work side by side as on the robot.

    trace: None (kept in memory only), "-" or True (also printed to standard error), or a file path.
    wire_timing: replies take the time they would on a 1 Mbaud serial line and a 1 Mbit/s CAN bus.
    servos: False for a neck-only torso (no pseudo-terminal).
    Keyword-only extras: neck_positions (power-up positions of yaw, pitch, roll in radians; a motor's
    multi-turn counter can start at 2*pi*k plus a small angle), reboot_time (how long a rebooting servo
    stays silent), can_interface and vcan_dir (interface name and hub directory), kernel_can (serve a
    real kernel CAN interface named can_interface instead of the user-space bus), bus_cpus (a processor
    each for the servo line's and the CAN bus's process, for benchmarks on an otherwise idle machine:
    neither bus then waits for the other's simulation; by default both float, so a processor kept busy
    by other work never holds a bus back), realtime (both processes under SCHED_FIFO where this user may
    ask for it, so that no other work on the host delays a reply, as it never delays real hardware;
    otherwise they run at a raised share of the processor).
    """

    def __init__(self, trace: str | os.PathLike[str] | Literal[True] | None = None, wire_timing: bool = False,
                 servos: bool = True, *, neck_positions: Sequence[float] | None = None, reboot_time: float = 0.05, can_interface: str | None = None,
                 vcan_dir: str | os.PathLike[str] | None = None, kernel_can: bool = False,
                 bus_cpus: tuple[int, int] | None = None, realtime: bool = False) -> None:
        if kernel_can and not can_interface:
            raise ValueError("kernel_can needs the name of the kernel CAN interface")
        if trace is not None and trace is not True and trace != "-":
            trace = os.path.abspath(os.fspath(trace))
        # One time line for the traces of both processes.
        shared = {"trace": trace, "trace_epoch": time.monotonic(), "wire_timing": bool(wire_timing),
                  "realtime": bool(realtime)}
        serial_cpu, can_cpu = bus_cpus if bus_cpus is not None else (None, None)
        serial_config = dict(shared, servos=True, neck=False, reboot_time=float(reboot_time), cpu=serial_cpu)
        can_config = dict(shared, servos=False, neck=True, cpu=can_cpu,
                          neck_positions=tuple(float(p) for p in neck_positions) if neck_positions else None,
                          can_interface=can_interface, vcan_dir=os.fspath(vcan_dir) if vcan_dir else None,
                          kernel_can=bool(kernel_can))
        self._channels: list[_Channel] = []
        try:
            # Both processes start side by side.
            if servos:
                self._channels.append(_spawn(keep_preload=False))
                self._channels[-1].conn.send(serial_config)
            self._channels.append(_spawn(keep_preload=kernel_can))
            self._channels[-1].conn.send(can_config)
        except BaseException:
            _stop([(c.process, c.conn) for c in self._channels])
            raise
        self._serial = self._channels[0] if servos else None
        self._can = self._channels[-1]
        self._finalizer = weakref.finalize(self, _stop, [(c.process, c.conn) for c in self._channels])
        try:
            infos = [c.receive(START_TIMEOUT, "start") for c in self._channels]
        except BaseException:
            self.close()
            raise
        can_info = infos[-1]
        # A stable path (a symlink, as a udev name) to the pseudo-terminal of the moment: it follows the
        # adapter when it is pulled out and plugged in again.
        self.serial_device: str | None = infos[0]["serial_device"] if servos else None
        self.can_interface: str = can_info["can_interface"]
        self.vcan_dir: str = can_info["vcan_dir"]
        # The simulator's processes: the servo line's (when there are servos), then the CAN bus's.
        self.pids: tuple[int, ...] = tuple(info["pid"] for info in infos)
        self.pid: int = self.pids[0]
        # time.monotonic() of trace time 0: trace time t happened at trace_epoch + t in any process.
        self.trace_epoch: float = can_info["trace_epoch"]

    # ---- lifecycle -----------------------------------------------------------

    def close(self) -> None:
        """Stops the simulated hardware: the pseudo-terminal, its stable path and the CAN interface disappear."""
        self._finalizer()

    @property
    def closed(self) -> bool:
        """True once close() has run (or the handle was collected)."""
        return not self._finalizer.alive

    def __enter__(self) -> "VirtualTorso":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def env(self) -> dict[str, str]:
        """Environment variables a program needs to use this torso (merge them into os.environ)."""
        env = {"VELMORA_VCAN_DIR": self.vcan_dir, "VELMORA_CAN": self.can_interface}
        if self.serial_device:
            env["VELMORA_SERIAL"] = self.serial_device
        try:
            library = preload_library()
        except FileNotFoundError:
            library = None
        if library:
            others = [p for p in os.environ.get("LD_PRELOAD", "").replace(":", " ").split()
                      if p and os.path.basename(p) != os.path.basename(library)]
            env["LD_PRELOAD"] = " ".join([library] + others)
        return env

    # ---- control channels ----------------------------------------------------

    def _request(self, channel: _Channel, name: str, *args: object, **kwargs: object) -> Any:
        with channel.lock:
            if self.closed:
                raise RuntimeError("virtual torso is closed")
            try:
                channel.conn.send((name, args, kwargs))
                return channel.receive(REQUEST_TIMEOUT, name)
            except (EOFError, OSError) as e:
                raise RuntimeError(f"virtual torso process has gone: {e}") from None

    def _call(self, name: str, *args: object, **kwargs: object) -> Any:
        """A request to the neck's CAN bus."""
        return self._request(self._can, name, *args, **kwargs)

    def _serial_call(self, name: str, *args: object, **kwargs: object) -> Any:
        """A request to the servo line."""
        if self._serial is None:
            if self.closed:
                raise RuntimeError("virtual torso is closed")
            raise RuntimeError("this virtual torso has no servos")
        return self._request(self._serial, name, *args, **kwargs)

    # ---- servos --------------------------------------------------------------

    def servo_registers(self, servo_id: int) -> bytes:
        """All 256 register bytes of a servo, present position and voltage as of now."""
        return cast(bytes, self._serial_call("servo_registers", servo_id))

    def servo_state(self, servo_id: int) -> dict[str, Any]:
        """id, model, present, goal, torque, moving, voltage, offset (raw), locked, unplugged, rebooting."""
        return cast("dict[str, Any]", self._serial_call("servo_state", servo_id))

    def write_servo_registers(self, servo_id: int, address: int, data: bytes) -> None:
        """Writes register bytes directly (the lock register is not consulted)."""
        self._serial_call("write_servo_registers", servo_id, address, bytes(data))

    def set_servo_position(self, servo_id: int, raw: int) -> None:
        """Turns the shaft so the present position reads raw; the goal follows."""
        self._serial_call("set_servo_position", servo_id, int(raw))

    def unplug_servo(self, servo_id: int, unplugged: bool = True) -> None:
        """The servo's cable is pulled (or, with False, plugged back): it hears and answers nothing."""
        self._serial_call("unplug_servo", servo_id, unplugged)

    def corrupt_next_reply(self, servo_id: int, count: int = 1) -> None:
        """The servo's next count replies carry a wrong checksum."""
        self._serial_call("corrupt_next_reply", servo_id, count)

    def wrong_id_next_reply(self, servo_id: int, count: int = 1) -> None:
        """The servo's next count replies carry another servo's id."""
        self._serial_call("wrong_id_next_reply", servo_id, count)

    def out_of_order_sync_read(self, count: int = 1) -> None:
        """The next count sync reads are answered in reverse order."""
        self._serial_call("out_of_order_sync_read", count)

    def inject_serial_noise(self, data: bytes) -> None:
        """Puts stale bytes on the line now, as if a servo had babbled."""
        self._serial_call("inject_serial_noise", bytes(data))

    def set_voltage(self, servo_id: int | None, decivolts: int) -> None:
        """Supply voltage in tenths of a volt of one servo, or of all with None."""
        self._serial_call("set_voltage", servo_id, int(decivolts))

    def ramp_voltage(self, start: int, end: int, seconds: float) -> None:
        """The supply of all servos rises (or falls) linearly from start to end, starting now."""
        self._serial_call("ramp_voltage", int(start), int(end), float(seconds))

    def set_servo_reply_delay(self, seconds: float) -> None:
        """Extra time every servo takes before it answers."""
        self._serial_call("set_servo_reply_delay", float(seconds))

    # ---- neck motors ---------------------------------------------------------

    def motor_state(self, can_id: int) -> dict[str, Any]:
        """position, velocity, torque, enabled, mode, kp, kd, goal, blocked, unplugged, ... as of now."""
        return cast("dict[str, Any]", self._call("motor_state", can_id))

    def set_motor_position(self, can_id: int, radians: float) -> None:
        """Moves the joint by hand to that position in radians; an enabled motor holds the new place."""
        self._call("set_motor_position", can_id, float(radians))

    def unplug_motor(self, can_id: int, unplugged: bool = True) -> None:
        """The motor's cable is pulled (or, with False, plugged back): it answers no frame."""
        self._call("unplug_motor", can_id, unplugged)

    def block_motor(self, can_id: int, blocked: bool = True) -> None:
        """The joint cannot move: commands are answered, the position stays."""
        self._call("block_motor", can_id, blocked)

    def refuse_mode_switch(self, can_id: int, refuse: bool = True) -> None:
        """Writes of the control-mode register are ignored."""
        self._call("refuse_mode_switch", can_id, refuse)

    def set_motor_mode(self, can_id: int, mode: int) -> None:
        """Puts a motor in a control mode directly (1 MIT, 2 position-velocity, 3 velocity, 4 force-position)."""
        self._call("set_motor_mode", can_id, int(mode))

    def stray_register_reply(self, can_id: int, count: int = 1) -> None:
        """The motor's next count feedback replies each follow a reply to a register read (its
        control mode) on the same id: a late answer, or another program reading a register."""
        self._call("stray_register_reply", can_id, int(count))

    def power_cycle_motor(self, can_id: int, turn: int = 0, after: float = 0.0) -> None:
        """The motor loses power and comes back (now, or after that many seconds): disabled, with
        its multi-turn counter reading the joint's angle on the given turn."""
        self._call("power_cycle_motor", can_id, int(turn), float(after))

    def set_motor_reply_delay(self, seconds: float) -> None:
        """Extra time every motor takes before it answers."""
        self._call("set_motor_reply_delay", float(seconds))

    # ---- the adapters and the supply ------------------------------------------

    def link_state(self) -> dict[str, Any]:
        """serial_adapter ("plugged" or "unplugged") and serial_pty (the pseudo-terminal serial_device points
        at, None while unplugged) when there are servos; can_interface: "up", "down" (a kernel interface
        taken down) or "gone" (removed; in kernel mode, waiting to bind again)."""
        state: dict[str, Any] = {}
        for channel in self._channels:
            state.update(self._request(channel, "link_state"))
        return state

    def unplug_serial_adapter(self, after: float = 0.0) -> None:
        """The USB serial adapter is pulled out (now, or after that many seconds).

        The pseudo-terminal hangs up: a client that has it open reads end-of-file, its writes fail with EIO,
        poll reports POLLHUP. serial_device disappears until replug_serial_adapter(). The servos keep power
        and their state; replies on their way are lost. Nothing happens when it is already out.
        """
        self._serial_call("unplug_serial_adapter", _deadline(after))

    def replug_serial_adapter(self, after: float = 0.0) -> None:
        """The adapter is plugged in again (now, or after that many seconds): serial_device points at a new
        pseudo-terminal, which a client opens anew to reach the servos. Nothing happens when it is in."""
        self._serial_call("replug_serial_adapter", _deadline(after))

    def brownout_servos(self, seconds: float = 0.5, after: float = 0.0) -> None:
        """The servos' supply sags (now, or after that many seconds): every servo loses power at once (torque
        off, settings written while locked forgotten), answers nothing for `seconds`, then comes back as after
        a reboot: torque off, goal = present position, lock set."""
        self._serial_call("brownout_servos", float(seconds), _deadline(after))

    def remove_can_interface(self, after: float = 0.0) -> None:
        """The CAN interface is removed, as a USB CAN adapter pulled out (now, or after that many seconds).

        Every socket on it reads end-of-file and its sends fail (EPIPE or ECONNRESET); binding a new one
        fails with ENODEV until restore_can_interface(). The motors keep power and their state. In kernel
        mode the interface belongs to whoever made it: RuntimeError (remove it with ip link delete; the
        simulator binds again by name by itself once it is back).
        """
        self._call("remove_can_interface", _deadline(after))

    def restore_can_interface(self, after: float = 0.0) -> None:
        """The CAN interface is back under the same name (now, or after that many seconds): a socket bound
        to it anew is on the bus again. RuntimeError in kernel mode."""
        self._call("restore_can_interface", _deadline(after))

    def can_error_frame(self, state: str) -> None:
        """Puts one error frame on the bus, as the kernel reports a CAN controller's state (linux/can/error.h):
        "bus-off" (class CAN_ERR_BUSOFF), "error-passive" (CAN_ERR_CRTL, data[1] = RX and TX passive) or
        "restarted" (CAN_ERR_RESTARTED); 8 data bytes. Only sockets whose CAN_RAW_ERR_FILTER asks for
        the class receive it. RuntimeError in kernel mode, where only the controller's driver reports
        its state; ValueError for any other state."""
        self._call("can_error_frame", str(state))

    # ---- what crossed the wires ----------------------------------------------

    def serial_rx(self) -> list[bytes]:
        """Packets the servos received, in order, since the last clear_logs()."""
        if self._serial is None:
            return []
        return cast("list[bytes]", self._serial_call("serial_rx"))

    def can_rx(self) -> list[tuple[int, bytes]]:
        """(standard id, data) of every frame the motors received since the last clear_logs()."""
        return cast("list[tuple[int, bytes]]", self._call("can_rx"))

    def trace_lines(self) -> list[str]:
        """The trace of both buses as one time line."""
        traces = [cast("list[str]", self._request(c, "trace_lines")) for c in self._channels]
        return list(heapq.merge(*traces, key=_trace_time))

    def clear_logs(self) -> None:
        """Empties serial_rx(), can_rx() and the trace."""
        for c in self._channels:
            self._request(c, "clear_logs")
