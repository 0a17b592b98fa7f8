"""``VirtualTorso``: the handle that starts the simulated hardware in its own process and steers it.

The hardware cannot live in the caller's process: the controller holds the
interpreter lock for the whole of every bus transaction, so a simulated servo
in a thread of the same process could never answer in time.
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import threading
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


def _stop(process: subprocess.Popen[bytes], conn: Connection) -> None:
    try:
        conn.close()  # end of the channel: the server closes its buses and exits
    except OSError:
        pass
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class VirtualTorso:
    """A virtual torso: seven servos behind a pseudo-terminal, three neck motors on a virtual CAN bus.

    trace: None (kept in memory only), "-" or True (also printed to standard error), or a file path.
    wire_timing: replies take the time they would on a 1 Mbaud serial line and a 1 Mbit/s CAN bus.
    servos: False for a neck-only torso (no pseudo-terminal).
    Keyword-only extras: neck_positions (power-up positions of yaw, pitch, roll in radians; a motor's
    multi-turn counter can start at 2*pi*k plus a small angle), reboot_time (how long a rebooting servo
    stays silent), can_interface and vcan_dir (interface name and hub directory), kernel_can (serve a
    real kernel CAN interface named can_interface instead of the user-space bus).
    """

    def __init__(self, trace: str | os.PathLike[str] | Literal[True] | None = None, wire_timing: bool = False,
                 servos: bool = True, *, neck_positions: Sequence[float] | None = None, reboot_time: float = 0.05, can_interface: str | None = None,
                 vcan_dir: str | os.PathLike[str] | None = None, kernel_can: bool = False) -> None:
        if kernel_can and not can_interface:
            raise ValueError("kernel_can needs the name of the kernel CAN interface")
        if trace is not None and trace is not True and trace != "-":
            trace = os.path.abspath(os.fspath(trace))
        config = {"trace": trace, "wire_timing": bool(wire_timing), "servos": bool(servos),
                  "neck_positions": tuple(float(p) for p in neck_positions) if neck_positions else None,
                  "reboot_time": float(reboot_time), "can_interface": can_interface,
                  "vcan_dir": os.fspath(vcan_dir) if vcan_dir else None, "kernel_can": bool(kernel_can)}
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        self._lock = threading.Lock()
        try:
            env = dict(os.environ)
            if not kernel_can:
                # The simulator talks to its hub directly; it has no use for the CAN stand-in.
                env.pop("LD_PRELOAD", None)
            self._process = subprocess.Popen(
                [sys.executable, "-I", "-S", "-c", _BOOTSTRAP, _PACKAGE_PARENT, str(theirs.fileno())],
                pass_fds=[theirs.fileno()], env=env, stdin=subprocess.DEVNULL, close_fds=True)
        finally:
            theirs.close()
        self._conn = Connection(ours.detach())
        self._finalizer = weakref.finalize(self, _stop, self._process, self._conn)
        try:
            self._conn.send(config)
            info = self._receive(START_TIMEOUT, "start")
        except BaseException:
            self.close()
            raise
        self.serial_device: str | None = info["serial_device"]
        self.can_interface: str = info["can_interface"]
        self.vcan_dir: str = info["vcan_dir"]
        self.pid: int = info["pid"]
        # time.monotonic() of trace time 0: trace time t happened at trace_epoch + t in any process.
        self.trace_epoch: float = info["trace_epoch"]

    # ---- lifecycle -----------------------------------------------------------

    def close(self) -> None:
        """Stops the simulated hardware: the pseudo-terminal and the CAN interface disappear."""
        self._finalizer()

    @property
    def closed(self) -> bool:
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

    # ---- control channel -----------------------------------------------------

    def _receive(self, timeout: float, what: str) -> Any:
        if not self._conn.poll(timeout):
            raise RuntimeError(f"virtual torso did not answer {what} within {timeout:g} s")
        reply = self._conn.recv()
        if reply[0] == "ok":
            return reply[1]
        _, kind, text = reply
        raise _ERRORS.get(kind, RuntimeError)(text)

    def _call(self, name: str, *args: object, **kwargs: object) -> Any:
        with self._lock:
            if self.closed:
                raise RuntimeError("virtual torso is closed")
            try:
                self._conn.send((name, args, kwargs))
                return self._receive(REQUEST_TIMEOUT, name)
            except (EOFError, OSError) as e:
                raise RuntimeError(f"virtual torso process has gone: {e}") from None

    # ---- servos --------------------------------------------------------------

    def servo_registers(self, servo_id: int) -> bytes:
        """All 256 register bytes of a servo, present position and voltage as of now."""
        return cast(bytes, self._call("servo_registers", servo_id))

    def servo_state(self, servo_id: int) -> dict[str, Any]:
        """id, model, present, goal, torque, moving, voltage, offset (raw), locked, unplugged, rebooting."""
        return cast("dict[str, Any]", self._call("servo_state", servo_id))

    def write_servo_registers(self, servo_id: int, address: int, data: bytes) -> None:
        """Writes register bytes directly (the lock register is not consulted)."""
        self._call("write_servo_registers", servo_id, address, bytes(data))

    def set_servo_position(self, servo_id: int, raw: int) -> None:
        """Turns the shaft so the present position reads raw; the goal follows."""
        self._call("set_servo_position", servo_id, int(raw))

    def unplug_servo(self, servo_id: int, unplugged: bool = True) -> None:
        self._call("unplug_servo", servo_id, unplugged)

    def corrupt_next_reply(self, servo_id: int, count: int = 1) -> None:
        """The servo's next count replies carry a wrong checksum."""
        self._call("corrupt_next_reply", servo_id, count)

    def wrong_id_next_reply(self, servo_id: int, count: int = 1) -> None:
        """The servo's next count replies carry another servo's id."""
        self._call("wrong_id_next_reply", servo_id, count)

    def out_of_order_sync_read(self, count: int = 1) -> None:
        """The next count sync reads are answered in reverse order."""
        self._call("out_of_order_sync_read", count)

    def inject_serial_noise(self, data: bytes) -> None:
        """Puts stale bytes on the line now, as if a servo had babbled."""
        self._call("inject_serial_noise", bytes(data))

    def set_voltage(self, servo_id: int | None, decivolts: int) -> None:
        """Supply voltage in tenths of a volt of one servo, or of all with None."""
        self._call("set_voltage", servo_id, int(decivolts))

    def ramp_voltage(self, start: int, end: int, seconds: float) -> None:
        """The supply of all servos rises (or falls) linearly from start to end, starting now."""
        self._call("ramp_voltage", int(start), int(end), float(seconds))

    def set_servo_reply_delay(self, seconds: float) -> None:
        """Extra time every servo takes before it answers."""
        self._call("set_servo_reply_delay", float(seconds))

    # ---- neck motors ---------------------------------------------------------

    def motor_state(self, can_id: int) -> dict[str, Any]:
        """position, velocity, torque, enabled, mode, kp, kd, goal, blocked, unplugged, ... as of now."""
        return cast("dict[str, Any]", self._call("motor_state", can_id))

    def set_motor_position(self, can_id: int, radians: float) -> None:
        self._call("set_motor_position", can_id, float(radians))

    def unplug_motor(self, can_id: int, unplugged: bool = True) -> None:
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

    # ---- what crossed the wires ----------------------------------------------

    def serial_rx(self) -> list[bytes]:
        """Packets the servos received, in order, since the last clear_logs()."""
        return cast("list[bytes]", self._call("serial_rx"))

    def can_rx(self) -> list[tuple[int, bytes]]:
        """(standard id, data) of every frame the motors received since the last clear_logs()."""
        return cast("list[tuple[int, bytes]]", self._call("can_rx"))

    def trace_lines(self) -> list[str]:
        return cast("list[str]", self._call("trace_lines"))

    def clear_logs(self) -> None:
        self._call("clear_logs")
