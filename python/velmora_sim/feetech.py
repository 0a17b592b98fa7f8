"""Feetech serial servo wire format, as the simulated servos see it.

Written from the protocol's public description on purpose, independently of the
controller's C++ codec, so that the two can check each other.
"""

from __future__ import annotations

import time

from .callbacks import Clock

BROADCAST_ID = 0xFE

PING = 0x01
READ = 0x02
WRITE = 0x03
REG_WRITE = 0x04
ACTION = 0x05
RESET = 0x06
REBOOT = 0x08
SYNC_READ = 0x82
SYNC_WRITE = 0x83

INSTRUCTION_NAMES = {
    PING: "PING",
    READ: "READ",
    WRITE: "WRITE",
    REG_WRITE: "REG_WRITE",
    ACTION: "ACTION",
    RESET: "RESET",
    REBOOT: "REBOOT",
    SYNC_READ: "SYNC_READ",
    SYNC_WRITE: "SYNC_WRITE",
}

# Register addresses (little-endian multi-byte values).
REG_ID = 5
REG_BAUD = 6
REG_RETURN_DELAY = 7
REG_MIN_ANGLE = 9
REG_MAX_ANGLE = 11
REG_MAX_TEMPERATURE = 13
REG_MAX_VOLTAGE = 14
REG_MIN_VOLTAGE = 15
REG_MAX_TORQUE = 16
REG_P_GAIN = 21
REG_D_GAIN = 22
REG_I_GAIN = 23
REG_OFFSET = 31
REG_MODE = 33
REG_TORQUE_ENABLE = 40
REG_ACCELERATION = 41
REG_GOAL_POSITION = 42
REG_GOAL_TIME = 44
REG_GOAL_SPEED = 46
REG_TORQUE_LIMIT = 48
REG_LOCK = 55
REG_PRESENT_POSITION = 56
REG_PRESENT_SPEED = 58
REG_PRESENT_LOAD = 60
REG_PRESENT_VOLTAGE = 62
REG_PRESENT_TEMPERATURE = 63
REG_STATUS = 65
REG_MOVING = 66
REG_PRESENT_CURRENT = 69

# Measured values (present position to present current): read-only from the bus.
READ_ONLY_START = 56
READ_ONLY_END = 70

# First RAM address: everything below lives in EEPROM, survives a reboot and is
# guarded by the lock register.
EEPROM_END = 40

# name, size: what the trace prints for an access starting at that address.
REGISTER_NAMES = {
    REG_ID: ("id", 1),
    REG_BAUD: ("baud_rate", 1),
    REG_RETURN_DELAY: ("return_delay", 1),
    REG_MIN_ANGLE: ("min_angle_limit", 2),
    REG_MAX_ANGLE: ("max_angle_limit", 2),
    REG_MAX_VOLTAGE: ("max_voltage", 1),
    REG_MIN_VOLTAGE: ("min_voltage", 1),
    REG_MAX_TORQUE: ("max_torque", 2),
    REG_P_GAIN: ("p_gain", 1),
    REG_D_GAIN: ("d_gain", 1),
    REG_I_GAIN: ("i_gain", 1),
    REG_OFFSET: ("position_offset", 2),
    REG_MODE: ("mode", 1),
    REG_TORQUE_ENABLE: ("torque_enable", 1),
    REG_ACCELERATION: ("acceleration", 1),
    REG_GOAL_POSITION: ("goal_position", 2),
    REG_GOAL_TIME: ("goal_time", 2),
    REG_GOAL_SPEED: ("goal_speed", 2),
    REG_TORQUE_LIMIT: ("torque_limit", 2),
    REG_LOCK: ("lock", 1),
    REG_PRESENT_POSITION: ("present_position", 2),
    REG_PRESENT_SPEED: ("present_speed", 2),
    REG_PRESENT_LOAD: ("present_load", 2),
    REG_PRESENT_VOLTAGE: ("present_voltage", 1),
    REG_PRESENT_TEMPERATURE: ("present_temperature", 1),
    REG_STATUS: ("status", 1),
    REG_MOVING: ("moving", 1),
    REG_PRESENT_CURRENT: ("present_current", 2),
}

# Status error byte bits.
ERR_VOLTAGE = 0x01


def checksum(body: bytes) -> int:
    """Complement of the 8-bit sum of everything from the id up to the checksum."""
    return (~sum(body)) & 0xFF


def instruction_packet(servo_id: int, instruction: int, params: bytes = b"") -> bytes:
    body = bytes([servo_id, len(params) + 2, instruction]) + bytes(params)
    return b"\xff\xff" + body + bytes([checksum(body)])


def status_packet(servo_id: int, error: int, data: bytes = b"") -> bytes:
    body = bytes([servo_id, len(data) + 2, error]) + bytes(data)
    return b"\xff\xff" + body + bytes([checksum(body)])


class Packet:
    """One framed packet taken off the line: id, instruction, params, and whether its checksum held."""

    __slots__ = ("raw", "id", "instruction", "params", "checksum_ok")

    def __init__(self, raw: bytes):
        self.raw = raw
        self.id = raw[2]
        self.instruction = raw[4]
        self.params = raw[5:-1]
        self.checksum_ok = checksum(raw[2:-1]) == raw[-1]


class PacketStream:
    """Frames instruction packets out of a byte stream that may arrive split, coalesced or with garbage.

    A packet left unfinished for longer than ``idle_reset`` seconds is dropped
    when new bytes come, as a servo's receiver does after a silent gap: a client
    that died halfway through a write must not swallow the next packet.
    """

    def __init__(self, idle_reset: float = 0.05, clock: Clock = time.monotonic) -> None:
        self._buf = bytearray()
        self._last = 0.0
        self._idle_reset = idle_reset
        self._clock = clock
        self.discarded = 0  # bytes thrown away while resynchronising

    def feed(self, data: bytes) -> list[Packet]:
        now = self._clock()
        if self._buf and now - self._last > self._idle_reset:
            self.discarded += len(self._buf)
            self._buf.clear()
        self._last = now
        self._buf += data
        return self._take()

    def _take(self) -> list[Packet]:
        out: list[Packet] = []
        buf = self._buf
        while True:
            start = buf.find(b"\xff\xff")
            if start < 0:
                # Keep a trailing 0xFF: it may be the first half of a header.
                keep = 1 if buf[-1:] == b"\xff" else 0
                self.discarded += len(buf) - keep
                del buf[:len(buf) - keep]
                return out
            if start:
                self.discarded += start
                del buf[:start]
            if len(buf) < 4:
                return out
            if buf[2] == 0xFF or buf[3] < 2:
                # FF FF FF ...: the header is one byte later; a length under 2 is no packet.
                self.discarded += 1
                del buf[:1]
                continue
            total = buf[3] + 4
            if len(buf) < total:
                return out
            packet = Packet(bytes(buf[:total]))
            if packet.checksum_ok:
                del buf[:total]
            else:
                # A corrupt packet may hide the header of a good one: rescan after its first byte.
                del buf[:1]
                self.discarded += 1
            out.append(packet)
