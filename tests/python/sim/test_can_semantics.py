"""What the Linux kernel does with frames on a CAN interface, which the user-space stand-in must do alike.

Runs against the stand-in (a hub of this process, sockets through the preload)
and, inside tools/kernel_can_check.sh's virtual machine, against the kernel's
own vcan interface; the expectations are the kernel's.
"""

from __future__ import annotations

import os
import socket
import struct
import tempfile

import pytest

from velmora_sim.vcan import VcanBus

pytestmark = pytest.mark.needs_can

CAN_EFF_FLAG = 0x80000000
CAN_ERR_FLAG = 0x20000000
CANFD_BRS, CANFD_FDF = 0x01, 0x04
ERR_BUSOFF = 0x40
CAN_RAW_ERR_FILTER = 2  # not among the socket module's constants


@pytest.fixture
def interface(monkeypatch):
    kernel = os.environ.get("VELMORA_KERNEL_CAN")
    if kernel:
        yield kernel
        return
    with tempfile.TemporaryDirectory(prefix="vcan-") as d, VcanBus("vsem0", d) as bus:
        monkeypatch.setenv("VELMORA_VCAN_DIR", d)
        yield bus.name


@pytest.fixture
def open_socket(interface):
    opened = []

    def make(fd_frames=True, err_mask=0):
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        opened.append(s)
        if fd_frames:
            s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
        if err_mask:
            s.setsockopt(socket.SOL_CAN_RAW, CAN_RAW_ERR_FILTER, err_mask)
        s.bind((interface,))
        return s

    yield make
    for s in opened:
        s.close()


def classic(word: int, data: bytes) -> bytes:
    return struct.pack("=IB3x", word, len(data)) + data.ljust(8, b"\0")


def fd(word: int, data: bytes, flags: int, length: int | None = None) -> bytes:
    return struct.pack("=IBBxx", word, len(data) if length is None else length, flags) + data.ljust(64, b"\0")


def received(s: socket.socket, timeout: float = 0.2) -> list[bytes]:
    """Every frame that arrives until the socket stays quiet for the time-out."""
    frames = []
    s.settimeout(timeout)
    while True:
        try:
            frames.append(s.recv(128))
        except TimeoutError:
            return frames


def test_frames_reach_every_other_socket_and_fd_frames_carry_the_fd_flag(open_socket):
    sender, fd_peer, classic_peer = open_socket(), open_socket(), open_socket(fd_frames=False)
    sender.send(classic(0x123, b"\x01\x02\x03"))
    sender.send(fd(0x10 | CAN_EFF_FLAG, b"Z" * 12, CANFD_BRS))  # sent without the FD flag: the kernel adds it
    assert received(fd_peer) == [classic(0x123, b"\x01\x02\x03"), fd(0x10 | CAN_EFF_FLAG, b"Z" * 12, CANFD_FDF | CANFD_BRS)]
    # A socket that did not ask for FD frames never sees one.
    assert received(classic_peer) == [classic(0x123, b"\x01\x02\x03")]
    assert received(sender, 0.05) == []  # nor does a socket see its own


def test_error_frames_reach_only_sockets_that_ask_for_them(open_socket):
    sender, plain, busoff = open_socket(), open_socket(), open_socket(err_mask=ERR_BUSOFF)
    other_errors = open_socket(err_mask=0x1FFFFFFF & ~ERR_BUSOFF)
    error = classic(CAN_ERR_FLAG | ERR_BUSOFF, bytes(8))
    sender.send(error)
    sender.send(classic(0x55, b"\x01"))
    assert received(busoff) == [error, classic(0x55, b"\x01")]
    assert received(plain) == [classic(0x55, b"\x01")]
    assert received(other_errors) == [classic(0x55, b"\x01")]


def test_frames_the_kernel_refuses_never_reach_the_bus(open_socket):
    sender, peer = open_socket(), open_socket()
    for raw in (struct.pack("=IB3x", 0x16, 9) + bytes(8),        # classic frame longer than 8 bytes
                fd(0x17, b"Z" * 64, CANFD_FDF, length=65),        # FD frame longer than 64 bytes
                b"\0" * 20):                                      # no frame structure at all
        try:
            sender.send(raw)
        except OSError:
            pass  # the kernel says EINVAL; the stand-in cannot tell the sender
    sender.send(classic(0x18, b"\x01"))
    assert received(peer) == [classic(0x18, b"\x01")]


def test_socket_reports_what_it_is(open_socket):
    s = open_socket()
    assert s.getsockopt(socket.SOL_SOCKET, socket.SO_DOMAIN) == socket.AF_CAN
    assert s.getsockopt(socket.SOL_SOCKET, socket.SO_TYPE) == socket.SOCK_RAW
    assert s.getsockopt(socket.SOL_SOCKET, socket.SO_PROTOCOL) == 0  # the kernel leaves it unset for CAN
