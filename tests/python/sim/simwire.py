"""Plain helpers for talking to the virtual torso from tests: raw pty bytes and raw CAN frames."""

from __future__ import annotations

import json
import os
import select
import sys
import termios
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
PACKAGES = os.path.join(REPO, "python")

# The golden wire encodings the C++ codec tests read too.
with open(os.path.join(REPO, "tests", "data", "wire_vectors.json"), encoding="utf-8") as _f:
    WIRE_VECTORS = json.load(_f)


def vector(section: str, name: str) -> dict:
    """The entry called `name` of a section of the wire vectors."""
    [entry] = [v for v in WIRE_VECTORS[section] if v["name"] == name]
    return entry


def sim_command(*args: str) -> tuple[list[str], dict[str, str]]:
    """The velmora-sim command line of this source tree, and the environment to run it in."""
    env = dict(os.environ, PYTHONPATH=PACKAGES + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return [sys.executable, "-m", "velmora_sim", *args], env


def open_port(path: str) -> int:
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    termios.tcflush(fd, termios.TCIOFLUSH)
    return fd


def read_exactly(fd: int, n: int, timeout: float = 0.5) -> bytes:
    """Up to n bytes: fewer only when the line stays silent until the timeout."""
    out = bytearray()
    deadline = time.monotonic() + timeout
    while len(out) < n:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        out += os.read(fd, n - len(out))
    return bytes(out)


def silent(fd: int, wait: float = 0.05) -> bool:
    """True when nothing arrives within wait seconds."""
    return not select.select([fd], [], [], wait)[0]


def packet(servo_id: int, instruction: int, params: bytes = b"") -> bytes:
    body = bytes([servo_id, len(params) + 2, instruction]) + bytes(params)
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


def status(servo_id: int, data: bytes = b"", error: int = 0) -> bytes:
    return packet(servo_id, error, data)


def transact(fd: int, request: bytes, reply_len: int, timeout: float = 0.5) -> bytes:
    os.write(fd, request)
    return read_exactly(fd, reply_len, timeout)


def mit_decode(data: bytes, p_max: float, v_max: float, t_max: float) -> tuple[int, int, float, float, float]:
    """(motor id, status, position, velocity, torque) of an MIT feedback payload."""
    p = (data[1] << 8) | data[2]
    v = (data[3] << 4) | (data[4] >> 4)
    t = ((data[4] & 0xF) << 8) | data[5]
    return (data[0] & 0xF, data[0] >> 4, p * 2 * p_max / 65535 - p_max,
            v * 2 * v_max / 4095 - v_max, t * 2 * t_max / 4095 - t_max)
