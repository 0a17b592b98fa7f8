"""Exact bytes the controller is expected to put on the servo and neck buses."""

from __future__ import annotations

import math
import struct

CONTROLLER_LOGGER = "velmora_motor_controller.controller"
TWO_PI = 2 * math.pi


def feetech(servo_id: int, instruction: int, params: bytes = b"") -> bytes:
    """An instruction packet: FF FF id len instr params checksum."""
    body = bytes([servo_id, len(params) + 2, instruction]) + bytes(params)
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


def sync_write(address: int, values: dict[int, bytes]) -> bytes:
    width = len(next(iter(values.values())))
    params = bytes([address, width]) + b"".join(bytes([i]) + v for i, v in values.items())
    return feetech(0xFE, 0x83, params)


def sync_read(address: int, length: int, ids) -> bytes:
    return feetech(0xFE, 0x82, bytes([address, length, *ids]))


def position_code(radians: float, p_max: float = 12.5) -> int:
    """The 16-bit MIT position code the controller sends for a goal (float32 arithmetic, truncated)."""
    f = lambda x: struct.unpack("<f", struct.pack("<f", x))[0]  # noqa: E731
    clamped = min(max(f(radians), -p_max), p_max)
    return int(f(f(f(clamped + p_max) * 65535.0) / f(p_max + p_max)))


def mit_position_code(payload: bytes) -> int:
    return payload[0] << 8 | payload[1]


def mit_kd_code(payload: bytes) -> int:
    return payload[5] << 4 | payload[6] >> 4


def mit_kp_code(payload: bytes) -> int:
    return (payload[3] & 0x0F) << 8 | payload[4]


def is_mit_command(frame) -> bool:
    can_id, data = frame
    return 1 <= can_id <= 3 and data[:7] != b"\xff" * 7


def controller_records(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == CONTROLLER_LOGGER]
