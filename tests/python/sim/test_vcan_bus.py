"""The Python end of the user-space CAN bus: frame layout, the hub, participants,
and a SocketCAN socket of another process (through the preload) on the same bus."""

from __future__ import annotations

import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

from velmora_sim import preload_library
from velmora_sim.vcan import Frame, VcanBus, VcanEndpoint

PACKAGES = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..", "python"))


@pytest.fixture
def vcan_dir():
    with tempfile.TemporaryDirectory(prefix="vcan-") as d:
        yield d


@pytest.fixture
def bus(vcan_dir):
    with VcanBus("vbus0", vcan_dir) as b:
        yield b


def join(bus: VcanBus) -> VcanEndpoint:
    return VcanEndpoint(bus.name, os.path.dirname(bus.path))


# --- frames -----------------------------------------------------------------

def test_classic_frame_layout_and_round_trip():
    raw = Frame(0x123, b"\x01\x02\x03").pack()
    assert raw == struct.pack("=IBBBB", 0x123, 3, 0, 0, 0) + b"\x01\x02\x03" + bytes(5)
    assert Frame(0x1ABCDEF, b"", extended=True).pack()[:4] == struct.pack("=I", 0x1ABCDEF | 0x80000000)
    for f in (Frame(0x7FF, bytes(range(8))), Frame(0x1FFFFFFF, b"x", extended=True),
              Frame(0x55, b"", rtr=True)):
        assert Frame.unpack(f.pack()) == f


def test_fd_frame_length_is_rounded_and_flags_set():
    raw = Frame(0x10, b"\xaa" * 9, fd=True, brs=True).pack()
    assert len(raw) == 72
    can_id, length, flags = struct.unpack_from("=IBB", raw)
    assert (can_id, length, flags) == (0x10, 12, 0x05)
    back = Frame.unpack(raw)
    assert back.fd and back.brs and back.data == b"\xaa" * 9 + bytes(3)
    assert [struct.unpack_from("=IB", Frame(1, bytes(n), fd=True).pack())[1] for n in (0, 8, 13, 33, 64)] == \
        [0, 8, 16, 48, 64]


def test_error_frames_keep_their_eight_bytes():
    raw = struct.pack("=IBBBB", 0x20000004, 0, 0, 0, 0) + bytes(range(1, 9))
    f = Frame.unpack(raw)
    assert f.error and f.can_id == 4 and f.data == bytes(range(1, 9))


@pytest.mark.parametrize("bad", [
    Frame(0x800, b""), Frame(0x20000000, b"", extended=True), Frame(-1, b""),
    Frame(1, bytes(9)), Frame(1, bytes(65), fd=True),
])
def test_unsendable_frames_are_refused(bad):
    with pytest.raises(ValueError):
        bad.pack()


def test_only_kernel_frame_sizes_unpack():
    for size in (0, 15, 17, 71, 73):
        with pytest.raises(ValueError):
            Frame.unpack(bytes(size))


# --- hub and participants -----------------------------------------------------

def test_hub_forwards_to_every_other_participant_only(bus):
    with join(bus) as a, join(bus) as b, join(bus) as c:
        a.send(Frame(0x1, b"from a"))
        assert b.recv(1.0) == Frame(0x1, b"from a")
        assert c.recv(1.0) == Frame(0x1, b"from a")
        c.send(Frame(0x2, b"\x01" * 20, fd=True))
        assert a.recv(1.0).can_id == 0x2
        assert b.recv(1.0).fd
        assert a.recv(0.05) is None
        assert c.recv(0.05) is None  # no echo to the sender


def test_a_new_participant_sees_every_frame_sent_after_it_joined(bus):
    with join(bus) as a:
        for i in range(300):
            with join(bus) as late:
                a.send(Frame(i & 0x7FF, b""))
                assert late.recv(1.0) == Frame(i & 0x7FF, b""), f"round {i}"


def test_recv_timeout_is_bounded(bus):
    with join(bus) as a:
        start = time.monotonic()
        assert a.recv(0.1) is None
        assert 0.09 <= time.monotonic() - start < 1.0
        assert a.recv(0) is None


def test_hub_drops_messages_that_are_not_frames(bus):
    with join(bus) as a, join(bus) as b:
        raw = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        raw.connect(bus.path)
        try:
            raw.send(b"not a frame")
            raw.send(bytes(200))
            raw.send(Frame(0x3, b"ok").pack())
            assert a.recv(1.0) == Frame(0x3, b"ok")
            assert b.recv(1.0) == Frame(0x3, b"ok")
        finally:
            raw.close()


def test_a_participant_that_never_reads_does_not_stall_the_bus(bus):
    with join(bus) as sender, join(bus) as reader, join(bus):  # the third never reads
        for i in range(2000):
            sender.send(Frame(i & 0x7FF, struct.pack("<I", i)))
            assert struct.unpack("<I", reader.recv(1.0).data)[0] == i


def test_participants_leaving_while_frames_fly_do_not_stop_the_hub(bus):
    with join(bus) as a, join(bus) as watcher:
        for i in range(300):
            leaver = join(bus)
            a.send(Frame(i & 0x7FF, b"x"))
            leaver.close()
            assert watcher.recv(1.0) is not None, f"hub stopped forwarding at round {i}"


def test_close_disconnects_and_removes_the_interface(vcan_dir):
    hub = VcanBus("vbus1", vcan_dir).start()
    ep = VcanEndpoint("vbus1", vcan_dir)
    hub.close()
    assert not os.path.exists(hub.path)
    with pytest.raises(ConnectionResetError):
        ep.recv(1.0)
    ep.close()
    with pytest.raises(OSError):
        VcanEndpoint("vbus1", vcan_dir)
    hub.close()  # twice is fine


def test_one_hub_per_name_and_stale_sockets_are_replaced(vcan_dir):
    with VcanBus("vbus2", vcan_dir):
        with pytest.raises(FileExistsError):
            VcanBus("vbus2", vcan_dir).start()
    # A socket file left by a hub that died is taken over.
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    stale.bind(os.path.join(vcan_dir, "vbus3"))
    stale.close()
    with VcanBus("vbus3", vcan_dir) as hub, VcanEndpoint("vbus3", vcan_dir) as a, VcanEndpoint("vbus3", vcan_dir) as b:
        a.send(Frame(1, b"x"))
        assert b.recv(1.0) == Frame(1, b"x")
        assert hub.path == os.path.join(vcan_dir, "vbus3")


@pytest.mark.parametrize("name", ["", "a/b", "..", "x" * 16, "nul\0"])
def test_bad_interface_names(name, vcan_dir):
    with pytest.raises(ValueError):
        VcanBus(name, vcan_dir)


def test_send_and_recv_from_two_threads(bus):
    with join(bus) as a, join(bus) as b:
        got = []
        reader = threading.Thread(target=lambda: got.extend(a.recv(2.0) for _ in range(100)))
        reader.start()
        for i in range(100):
            b.send(Frame(i, b""))
        reader.join(5.0)
        assert [f.can_id for f in got] == list(range(100))


def test_standalone_hub_runs_until_sigterm(vcan_dir):
    proc = subprocess.Popen([sys.executable, "-m", "velmora_sim.vcan", "vbus4", "--dir", vcan_dir],
                            cwd=PACKAGES, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert os.path.join(vcan_dir, "vbus4") in line
        with VcanEndpoint("vbus4", vcan_dir) as a, VcanEndpoint("vbus4", vcan_dir) as b:
            a.send(Frame(7, b"hi"))
            assert b.recv(2.0) == Frame(7, b"hi")
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(5.0) == 0
        assert not os.path.exists(os.path.join(vcan_dir, "vbus4"))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()


# --- a SocketCAN socket of another process, through the preload ---------------

CHILD = textwrap.dedent("""
    import socket, struct, sys
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
    s.bind((sys.argv[1],))
    s.settimeout(5)
    s.send(struct.pack("=IBBBB8s", 0x123, 2, 0, 0, 0, b"hi"))
    reply = s.recv(72)
    # Echo the reply's payload back on id + 1, as a CAN FD frame.
    can_id, length = struct.unpack_from("=IB", reply)
    s.send(struct.pack("=IBBBB64s", can_id + 1, length, 0x04, 0, 0, reply[8:8 + length]))
    print(socket.if_nametoindex(sys.argv[1]) > 0, flush=True)
""")


def test_socketcan_socket_in_another_process_joins_the_bus(bus):
    try:
        library = preload_library()
    except FileNotFoundError as e:
        pytest.skip(str(e))
    env = dict(os.environ, LD_PRELOAD=library, VELMORA_VCAN_DIR=os.path.dirname(bus.path))
    with join(bus) as ep:
        child = subprocess.Popen([sys.executable, "-I", "-S", "-c", CHILD, bus.name], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            first = ep.recv(10.0)
            assert first == Frame(0x123, b"hi")
            ep.send(Frame(0x1ABCDE, b"\x01\x02\x03", extended=True))
            echoed = ep.recv(10.0)
            assert echoed == Frame(0x1ABCDF, b"\x01\x02\x03", extended=True, fd=True)
            out, err = child.communicate(timeout=10)
            assert child.returncode == 0, err
            assert out.strip() == "True"
        finally:
            if child.poll() is None:
                child.kill()
                child.communicate()
