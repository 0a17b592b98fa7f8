"""The kernel's CAN frame structures, packed and unpacked: the only thing a virtual bus carries."""

from __future__ import annotations

import struct
from dataclasses import dataclass

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x000007FF
CAN_EFF_MASK = 0x1FFFFFFF
CANFD_BRS = 0x01
CANFD_FDF = 0x04

CAN_MTU = 16
CANFD_MTU = 72
_FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)

_HEADER = struct.Struct("=IBBBB")


def _fd_length(n: int) -> int:
    for length in _FD_LENGTHS:
        if length >= n:
            return length
    raise ValueError(f"CAN FD payload too long: {n} bytes")


@dataclass
class Frame:
    can_id: int
    data: bytes
    extended: bool = False
    fd: bool = False
    brs: bool = False
    rtr: bool = False
    error: bool = False

    def pack(self) -> bytes:
        """The kernel frame structure: 16 bytes classic, 72 bytes CAN FD."""
        limit = CAN_EFF_MASK if self.extended else CAN_SFF_MASK
        if not 0 <= self.can_id <= limit:
            raise ValueError(f"CAN id {self.can_id:#x} out of range")
        word = self.can_id
        if self.extended:
            word |= CAN_EFF_FLAG
        if self.rtr:
            word |= CAN_RTR_FLAG
        if self.error:
            word |= CAN_ERR_FLAG
        data = bytes(self.data)
        if self.fd:
            length = _fd_length(len(data))
            flags = CANFD_FDF | (CANFD_BRS if self.brs else 0)
            return _HEADER.pack(word, length, flags, 0, 0) + data.ljust(64, b"\0")
        if len(data) > 8:
            raise ValueError(f"classic CAN payload too long: {len(data)} bytes")
        return _HEADER.pack(word, len(data), 0, 0, 0) + data.ljust(8, b"\0")

    @classmethod
    def unpack(cls, raw: bytes) -> "Frame":
        """Reads one kernel frame structure; any size but 16 or 72 bytes is a ValueError."""
        raw = bytes(raw)
        if len(raw) == CAN_MTU:
            fd, limit = False, 8
        elif len(raw) == CANFD_MTU:
            fd, limit = True, 64
        else:
            raise ValueError(f"not a CAN frame structure: {len(raw)} bytes")
        word, length, flags, _, _ = _HEADER.unpack_from(raw)
        extended = bool(word & CAN_EFF_FLAG)
        error = bool(word & CAN_ERR_FLAG)
        rtr = bool(word & CAN_RTR_FLAG)
        can_id = word & (CAN_EFF_MASK if extended else CAN_SFF_MASK)
        # The kernel always hands error frames over with their 8 data bytes.
        n = 8 if (error and not fd) else min(length, limit)
        return cls(can_id=can_id, data=raw[8:8 + n], extended=extended, fd=fd,
                   brs=fd and bool(flags & CANFD_BRS), rtr=rtr, error=error)
