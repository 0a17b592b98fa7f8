"""Damiao motor wire format as the simulated motors see it: MIT payloads, parameter frames, bus timing.

Written from the protocol's public description, independently of the
controller's C++ codec.
"""

from __future__ import annotations

import functools

import struct
from dataclasses import dataclass

PARAM_ID = 0x7FF           # feedback requests and register access
CMD_ENABLE = 0xFC
CMD_DISABLE = 0xFD
CMD_SAVE_ZERO = 0xFE
CMD_CLEAR_ERROR = 0xFB
PARAM_FEEDBACK = 0xCC
PARAM_READ = 0x33
PARAM_WRITE = 0x55
PARAM_SAVE = 0xAA

MODE_MIT, MODE_POS_VEL, MODE_VEL, MODE_FORCE_POS = 1, 2, 3, 4
MODE_NAMES = {MODE_MIT: "MIT", MODE_POS_VEL: "POS_VEL", MODE_VEL: "VEL", MODE_FORCE_POS: "FORCE_POS"}
# Arbitration id offset of each mode's command frame.
MODE_BASE = {MODE_MIT: 0x000, MODE_POS_VEL: 0x100, MODE_VEL: 0x200, MODE_FORCE_POS: 0x300}

KP_MAX = 500.0
KD_MAX = 5.0

REG_MST_ID = 7
REG_ESC_ID = 8
REG_CTRL_MODE = 10
REG_PMAX = 21
REG_VMAX = 22
REG_TMAX = 23
REG_P_M = 80
REG_XOUT = 81


@dataclass(frozen=True)
class Register:
    name: str
    kind: str        # "f" 32-bit float, "u" unsigned 32-bit
    writable: bool
    default: float | int


# Factory values of a neck motor; MST_ID, ESC_ID and the mapping ranges are set per motor.
REGISTERS: dict[int, Register] = {
    0: Register("UV_Value", "f", True, 10.0),
    1: Register("KT_Value", "f", True, 0.087),
    2: Register("OT_Value", "f", True, 80.0),
    3: Register("OC_Value", "f", True, 0.98),
    4: Register("ACC", "f", True, 25.0),
    5: Register("DEC", "f", True, -25.0),
    6: Register("MAX_SPD", "f", True, 30.0),
    7: Register("MST_ID", "u", True, 0),
    8: Register("ESC_ID", "u", True, 0),
    9: Register("TIMEOUT", "u", True, 0),
    10: Register("CTRL_MODE", "u", True, MODE_MIT),
    11: Register("Damp", "f", False, 0.0),
    12: Register("Inertia", "f", False, 0.0),
    13: Register("hw_ver", "u", False, 0),
    14: Register("sw_ver", "u", False, 5012),
    15: Register("SN", "u", False, 0),
    16: Register("NPP", "u", False, 14),
    17: Register("Rs", "f", False, 0.6),
    18: Register("Ls", "f", False, 0.0003),
    19: Register("Flux", "f", False, 0.007),
    20: Register("Gr", "f", False, 10.0),
    21: Register("PMAX", "f", True, 12.5),
    22: Register("VMAX", "f", True, 30.0),
    23: Register("TMAX", "f", True, 10.0),
    24: Register("I_BW", "f", True, 1000.0),
    25: Register("KP_ASR", "f", True, 0.02),
    26: Register("KI_ASR", "f", True, 0.002),
    27: Register("KP_APR", "f", True, 40.0),
    28: Register("KI_APR", "f", True, 0.0),
    29: Register("OV_Value", "f", True, 32.0),
    30: Register("GREF", "f", True, 1.0),
    31: Register("Deta", "f", True, 1.0),
    32: Register("V_BW", "f", True, 500.0),
    33: Register("IQ_c1", "f", True, 100.0),
    34: Register("VL_c1", "f", True, 100.0),
    35: Register("can_br", "u", True, 4),
    36: Register("sub_ver", "u", False, 0),
    50: Register("u_off", "f", False, 0.0),
    51: Register("v_off", "f", False, 0.0),
    52: Register("k1", "f", False, 0.0),
    53: Register("k2", "f", False, 0.0),
    54: Register("m_off", "f", False, 0.0),
    55: Register("dir", "f", False, 1.0),
    56: Register("m_off_motor", "f", False, 0.0),
    59: Register("Imax", "f", False, 10.0),
    60: Register("VBus", "f", False, 24.0),
    61: Register("Tpcb", "f", False, 30.0),
    62: Register("Tmtr", "f", False, 32.0),
    63: Register("Iu_off", "f", False, 0.0),
    64: Register("Iv_off", "f", False, 0.0),
    65: Register("Iw_off", "f", False, 0.0),
    80: Register("p_m", "f", False, 0.0),
    81: Register("xout", "f", False, 0.0),
}


def value_bytes(kind: str, value: float | int) -> bytes:
    if kind == "f":
        return struct.pack("<f", float(value))
    return struct.pack("<I", int(value) & 0xFFFFFFFF)


def value_from_bytes(kind: str, raw: bytes) -> float | int:
    value: float | int = struct.unpack("<f" if kind == "f" else "<I", bytes(raw[:4]))[0]
    return value


# ---- MIT payloads -------------------------------------------------------------

def _to_code(x: float, lo: float, hi: float, bits: int) -> int:
    """Saturating, truncating float-to-code mapping of [lo, hi] onto 0..2^bits-1."""
    if x != x:  # NaN
        return 0
    x = max(lo, min(hi, x))
    top = (1 << bits) - 1
    return max(0, min(top, int((x - lo) * top / (hi - lo)))) if hi > lo else 0


def _from_code(code: int, lo: float, hi: float, bits: int) -> float:
    return code * (hi - lo) / ((1 << bits) - 1) + lo


@dataclass
class MitCommand:
    position: float
    velocity: float
    kp: float
    kd: float
    torque: float


def decode_command(data: bytes, p_max: float, v_max: float, t_max: float) -> MitCommand:
    d = bytes(data).ljust(8, b"\0")
    p = (d[0] << 8) | d[1]
    v = (d[2] << 4) | (d[3] >> 4)
    kp = ((d[3] & 0x0F) << 8) | d[4]
    kd = (d[5] << 4) | (d[6] >> 4)
    t = ((d[6] & 0x0F) << 8) | d[7]
    return MitCommand(_from_code(p, -p_max, p_max, 16), _from_code(v, -v_max, v_max, 12),
                      _from_code(kp, 0.0, KP_MAX, 12), _from_code(kd, 0.0, KD_MAX, 12),
                      _from_code(t, -t_max, t_max, 12))


def encode_feedback(motor_id: int, status: int, position: float, velocity: float, torque: float,
                    p_max: float, v_max: float, t_max: float, t_mos: int = 30, t_rotor: int = 32) -> bytes:
    p = _to_code(position, -p_max, p_max, 16)
    v = _to_code(velocity, -v_max, v_max, 12)
    t = _to_code(torque, -t_max, t_max, 12)
    return bytes([((status & 0x0F) << 4) | (motor_id & 0x0F), p >> 8, p & 0xFF, v >> 4,
                  ((v & 0x0F) << 4) | (t >> 8), t & 0xFF, t_mos & 0xFF, t_rotor & 0xFF])


def decode_feedback(data: bytes, p_max: float, v_max: float, t_max: float) -> dict[str, float | int]:
    d = bytes(data)
    return {
        "motor_id": d[0] & 0x0F,
        "status": d[0] >> 4,
        "position": _from_code((d[1] << 8) | d[2], -p_max, p_max, 16),
        "velocity": _from_code((d[3] << 4) | (d[4] >> 4), -v_max, v_max, 12),
        "torque": _from_code(((d[4] & 0x0F) << 8) | d[5], -t_max, t_max, 12),
        "t_mos": d[6],
        "t_rotor": d[7],
    }


# ---- bus timing ---------------------------------------------------------------

def _crc15(bits: list[int]) -> int:
    crc = 0
    for b in bits:
        top = ((crc >> 14) & 1) ^ b
        crc = (crc << 1) & 0x7FFF
        if top:
            crc ^= 0x4599
    return crc


def _bits(value: int, width: int) -> list[int]:
    return [(value >> (width - 1 - i)) & 1 for i in range(width)]


def frame_bits(can_id: int, data: bytes, extended: bool = False, rtr: bool = False) -> int:
    """Bits a classic frame occupies on the bus, stuff bits and interframe space included."""
    return _frame_bits(can_id, bytes(data[:8]), extended, rtr)


# Bit by bit, a frame's CRC and stuffing cost the simulator more than the rest of a reply: the same
# frames (requests, replies of a joint at rest) come again and again.
@functools.lru_cache(maxsize=4096)
def _frame_bits(can_id: int, data: bytes, extended: bool, rtr: bool) -> int:
    dlc = min(len(data), 8)
    if extended:
        head = [0] + _bits(can_id >> 18, 11) + [1, 1] + _bits(can_id & 0x3FFFF, 18) + [int(rtr), 0, 0]
    else:
        head = [0] + _bits(can_id, 11) + [int(rtr), 0, 0]
    body = head + _bits(dlc, 4)
    if not rtr:
        for byte in bytes(data[:8]):
            body += _bits(byte, 8)
    body += _bits(_crc15(body), 15)
    stuffed, run, last = 0, 0, None
    for b in body:
        if b == last:
            run += 1
            if run == 5:
                stuffed += 1
                last, run = 1 - b, 1  # the stuff bit itself starts a new run
                continue
        else:
            last, run = b, 1
    # CRC delimiter, ACK slot and delimiter, end of frame, interframe space.
    return len(body) + stuffed + 1 + 2 + 7 + 3


def frame_time(can_id: int, data: bytes, extended: bool = False, fd: bool = False, bitrate: float = 1e6) -> float:
    if fd:
        # Rough figure: arbitration and data at the nominal rate, no bit-rate switch modelled.
        return (67 + 8 * len(data) + 8 * len(data) // 4) / bitrate
    return frame_bits(can_id, data, extended) / bitrate
