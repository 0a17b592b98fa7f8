"""The simulated half-duplex servo bus: instruction packets in, status packets out, faults on demand."""

from __future__ import annotations

import time
from collections import deque
from . import feetech as ft
from .callbacks import Clock, SendFn, TraceFn
from .servo import Servo
from .trace import hex_bytes

SERVO_MODELS = {1: "SM40BL", 2: "SM40BL", 3: "SM40BL", 4: "SM40BL",
                5: "STS3025BL", 6: "STS3025BL", 7: "STS3025BL"}

BYTE_TIME = 10e-6      # one byte at 1 Mbaud: start bit, 8 data bits, stop bit
RETURN_DELAY_UNIT = 2e-6


def _describe_register(address: int, data: bytes) -> str:
    """`addr=42(goal_position) value=2048` when the access is exactly one known register."""
    name, size = ft.REGISTER_NAMES.get(address, (None, 0))
    if name is None:
        return f"addr={address}"
    if len(data) == size:
        return f"addr={address}({name}) value={int.from_bytes(data, 'little')}"
    return f"addr={address}({name})"


def describe_request(packet: ft.Packet) -> str:
    name = ft.INSTRUCTION_NAMES.get(packet.instruction, f"INSTR_0x{packet.instruction:02X}")
    p = packet.params
    text = name
    if packet.instruction == ft.READ and len(p) >= 2:
        reg = ft.REGISTER_NAMES.get(p[0], (None, 0))[0]
        text += f" addr={p[0]}" + (f"({reg})" if reg else "") + f" len={p[1]}"
    elif packet.instruction in (ft.WRITE, ft.REG_WRITE) and p:
        text += f" {_describe_register(p[0], p[1:])} data={hex_bytes(p[1:])}"
    elif packet.instruction == ft.SYNC_READ and len(p) >= 2:
        reg = ft.REGISTER_NAMES.get(p[0], (None, 0))[0]
        text += f" addr={p[0]}" + (f"({reg})" if reg else "") + f" len={p[1]} ids={list(p[2:])}"
    elif packet.instruction == ft.SYNC_WRITE and len(p) >= 2:
        address, size = p[0], p[1]
        reg = ft.REGISTER_NAMES.get(address, (None, 0))[0]
        parts = []
        for sid, chunk in _sync_write_entries(p):
            parts.append(f"{sid}={int.from_bytes(chunk, 'little')}" if size <= 4 else f"{sid}={hex_bytes(chunk)}")
        text += f" addr={address}" + (f"({reg})" if reg else "") + f" len={size} " + " ".join(parts)
    elif p:
        text += f" params={hex_bytes(p)}"
    if not packet.checksum_ok:
        text += f" BAD CHECKSUM (got 0x{packet.raw[-1]:02X}, expected 0x{ft.checksum(packet.raw[2:-1]):02X}): ignored"
    return text


def _sync_write_entries(params: bytes) -> list[tuple[int, bytes]]:
    size = params[1]
    body = params[2:]
    step = size + 1
    return [(body[i], bytes(body[i + 1:i + step])) for i in range(0, len(body) - step + 1, step)]


def describe_reply(reply: bytes, request_address: int | None) -> str:
    """Decodes a status packet, naming the register it carries when the request is known."""
    if len(reply) < 6:
        return f"short reply {hex_bytes(reply)}"
    data = reply[5:-1]
    text = f"STATUS err=0x{reply[4]:02X}"
    if data:
        text += f" data={hex_bytes(data)}"
        if request_address is not None:
            name, size = ft.REGISTER_NAMES.get(request_address, (None, 0))
            if name and len(data) == size:
                text += f" {name}={int.from_bytes(data, 'little')}"
    if ft.checksum(reply[2:-1]) != reply[-1]:
        text += " (corrupted checksum)"
    return text


class ServoBus:
    def __init__(self, send: SendFn[bytes], trace: TraceFn, *, wire_timing: bool = False,
                 reboot_time: float = 0.05, clock: Clock = time.monotonic,
                 log_limit: int = 100_000) -> None:
        self._send = send
        self._trace = trace
        self._clock = clock
        self.wire_timing = wire_timing
        self.reboot_time = reboot_time
        self.reply_delay = 0.0
        self.servos = [Servo(i, m, clock=clock) for i, m in SERVO_MODELS.items()]
        self.corrupt: dict[int, int] = {}   # id -> replies left to corrupt
        self.wrong_id: dict[int, int] = {}  # id -> replies left to send with another id
        self.out_of_order = 0   # sync reads left whose replies come reversed
        self.rx_log: deque[bytes] = deque(maxlen=log_limit)
        self._busy_until = 0.0  # the line is ours until then (replies already scheduled)

    # ---- lookup ------------------------------------------------------------

    def servo(self, servo_id: int) -> Servo:
        for s in self.servos:
            if s.id == servo_id:
                return s
        raise KeyError(f"no servo with id {servo_id}")

    def _listening(self, servo_id: int, now: float) -> list[Servo]:
        """Servos that hear a packet addressed to servo_id (several if ids collide)."""
        return [s for s in self.servos
                if (servo_id == ft.BROADCAST_ID or s.id == servo_id)
                and not s.unplugged and now >= s.silent_until]

    def restart(self, servo: Servo, now: float, silent_for: float) -> None:
        """The servo restarts: RAM as after power-on (torque off, goal = present, lock set), and it neither
        hears nor answers for silent_for seconds."""
        servo.power_on()
        servo.silent_until = max(servo.silent_until, now + silent_for)

    def brownout(self, seconds: float, now: float | None = None) -> None:
        """The supply of every servo sags for that long: all silent, then back as after a reboot."""
        now = self._clock() if now is None else now
        for s in self.servos:
            self.restart(s, now, seconds)

    # ---- packets -------------------------------------------------------------

    def receive(self, packet: ft.Packet, now: float | None = None) -> None:
        now = self._clock() if now is None else now
        self.rx_log.append(packet.raw)
        text = describe_request(packet)
        if packet.checksum_ok:
            text += self._silence_note(packet, now)
        self._trace("->", f"id={packet.id}", text)
        if not packet.checksum_ok:
            return  # servos ignore a packet whose checksum fails
        # A reply starts once the request has crossed the wire and the previous replies are out.
        start = now
        if self.wire_timing:
            start = max(now + len(packet.raw) * BYTE_TIME, self._busy_until)
        replies = self._execute(packet, now)
        at = start
        for servo, data, address in replies:
            at += servo.regs[ft.REG_RETURN_DELAY] * RETURN_DELAY_UNIT + self.reply_delay
            reply = self._reply_bytes(servo, data)
            if self.wire_timing:
                at += len(reply) * BYTE_TIME
            self._send(at, reply, describe_reply(reply, address))
        self._busy_until = at

    def _silence_note(self, packet: ft.Packet, now: float) -> str:
        """Why an addressed servo will not answer, for the trace reader."""
        if packet.instruction == ft.SYNC_READ:
            ids = list(packet.params[2:])
        elif packet.id != ft.BROADCAST_ID and packet.instruction != ft.SYNC_WRITE:
            ids = [packet.id]
        else:
            return ""
        reasons = []
        for sid in ids:
            present = [s for s in self.servos if s.id == sid]
            if not present:
                reasons.append(f"no servo {sid} on the bus")
            elif all(s.unplugged for s in present):
                reasons.append(f"servo {sid} unplugged")
            elif all(s.unplugged or now < s.silent_until for s in present):
                reasons.append(f"servo {sid} rebooting")
            if reasons and packet.instruction == ft.SYNC_READ:
                reasons[-1] += ", later ids wait for it"
                break
        return f" ({'; '.join(reasons)}: no answer)" if reasons else ""

    def _reply_bytes(self, servo: Servo, data: bytes) -> bytes:
        sid = servo.id
        if self.wrong_id.get(sid, 0) > 0:
            self.wrong_id[sid] -= 1
            sid = sid + 1 if sid < 0xFD else 1
        reply = bytearray(ft.status_packet(sid, servo.error_byte(), data))
        if self.corrupt.get(servo.id, 0) > 0:
            self.corrupt[servo.id] -= 1
            reply[-1] ^= 0xFF
        return bytes(reply)

    def _execute(self, packet: ft.Packet, now: float) -> list[tuple[Servo, bytes, int | None]]:
        """Carries the instruction out; returns the replies due, in bus order: (servo, data, register address)."""
        instr, p = packet.instruction, packet.params
        broadcast = packet.id == ft.BROADCAST_ID
        if instr == ft.SYNC_READ:
            return self._sync_read(p, now)
        if instr == ft.SYNC_WRITE:
            if len(p) >= 2:
                for sid, chunk in _sync_write_entries(p):
                    for s in self._listening(sid, now):
                        if sid != ft.BROADCAST_ID:
                            s.write(p[0], chunk)
            return []
        targets = self._listening(packet.id, now)
        replies: list[tuple[Servo, bytes, int | None]] = []
        for s in sorted(targets, key=lambda s: s.id):
            data = b""
            address = None
            if instr == ft.PING:
                pass
            elif instr == ft.READ:
                if len(p) < 2 or broadcast:
                    continue
                data, address = s.read(p[0], p[1]), p[0]
            elif instr == ft.WRITE:
                if not p:
                    continue
                s.write(p[0], p[1:])
            elif instr == ft.REG_WRITE:
                if not p:
                    continue
                s.pending_write = (p[0], bytes(p[1:]))
            elif instr == ft.ACTION:
                pending = s.pending_write
                if pending is not None:
                    s.write(*pending)
                    s.pending_write = None
            elif instr == ft.RESET:
                s.factory_reset()
            elif instr == ft.REBOOT:
                # The servo answers, then restarts: RAM back to defaults, silent for a while.
                if not broadcast:
                    replies.append((s, b"", None))
                self.restart(s, now, self.reboot_time)
                continue
            else:
                continue  # an instruction these servos do not know gets no answer
            if not broadcast or instr == ft.PING:
                replies.append((s, data, address))
        return replies

    def _sync_read(self, p: bytes, now: float) -> list[tuple[Servo, bytes, int | None]]:
        if len(p) < 2:
            return []
        address, length = p[0], p[1]
        replies: list[tuple[Servo, bytes, int | None]] = []
        for sid in p[2:]:
            # Each servo answers after the one before it in the list; behind a silent one the rest
            # wait for a reply that never comes, so the client sees a time-out, not a stranger's reply.
            listening = self._listening(sid, now)
            if not listening:
                break
            for s in listening:
                replies.append((s, s.read(address, length), address))
        if self.out_of_order > 0 and len(replies) > 1:
            self.out_of_order -= 1
            replies.reverse()
        return replies
