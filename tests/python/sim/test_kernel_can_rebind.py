"""The simulator's kernel-CAN mode when its interface goes away and comes back: it binds a new socket by name.

Runs against a hub of this test, which the simulator reaches through the preloaded
stand-in as a program would, and, inside tools/kernel_can_check.sh's virtual
machine, against the kernel's vcan interface, which it deletes and adds again,
then takes down and brings up (as root).
"""

from __future__ import annotations

import errno
import os
import socket
import struct
import subprocess
import tempfile
import time

import pytest

from velmora_sim import VirtualTorso
from velmora_sim.vcan import VcanBus

pytestmark = pytest.mark.needs_can

KERNEL = os.environ.get("VELMORA_KERNEL_CAN")
FEEDBACK_REQUEST = struct.pack("=IB3x8s", 0x7FF, 8, bytes([1, 0, 0xCC, 0, 0, 0, 0, 0]))


def ip(*args: str) -> None:
    subprocess.run(["ip", "link", *args], check=True, timeout=30)


class KernelInterface:
    def __init__(self, name: str) -> None:
        self.name = name

    def remove(self) -> None:
        ip("delete", "dev", self.name)

    def restore(self) -> None:
        ip("add", "dev", self.name, "type", "vcan")
        ip("set", "up", self.name)

    def ensure(self) -> None:
        if not os.path.exists(f"/sys/class/net/{self.name}"):
            ip("add", "dev", self.name, "type", "vcan")
        ip("set", "up", self.name)


class HubInterface:
    def __init__(self, name: str, directory: str) -> None:
        self.name, self.directory = name, directory
        self.hub: VcanBus | None = VcanBus(name, directory).start()

    def remove(self) -> None:
        assert self.hub is not None
        self.hub.close()
        self.hub = None

    def restore(self) -> None:
        self.hub = VcanBus(self.name, self.directory).start()

    def ensure(self) -> None:
        if self.hub is not None:
            self.hub.close()


@pytest.fixture
def interface(monkeypatch):
    if KERNEL:
        iface = KernelInterface(KERNEL)
        try:
            yield iface
        finally:
            iface.ensure()  # the tests after this one need it as it was
        return
    with tempfile.TemporaryDirectory(prefix="vcan-") as d:
        monkeypatch.setenv("VELMORA_VCAN_DIR", d)  # for the simulator's stand-in and for ours
        iface = HubInterface("kcan0", d)
        try:
            yield iface
        finally:
            iface.ensure()


def answered(s: socket.socket) -> bool:
    """Whether motor 1 answers a feedback request sent on s within a moment."""
    s.settimeout(0.2)
    try:
        s.send(FEEDBACK_REQUEST)
        return struct.unpack_from("=I", s.recv(72))[0] == 1
    except TimeoutError:
        return False
    except OSError as e:
        if e.errno in (errno.ENETDOWN, errno.ENODEV, errno.ENXIO):
            return False  # reported once for the interface's change, or sent before it was back
        raise


def until(condition, what: str, within: float = 15.0) -> None:
    deadline = time.monotonic() + within
    while not condition():
        assert time.monotonic() < deadline, f"{what} within {within:g} s"
        time.sleep(0.02)


def test_kernel_mode_binds_again_when_the_interface_comes_back(interface):
    with VirtualTorso(servos=False, can_interface=interface.name, kernel_can=True) as torso:
        def notes() -> list[str]:
            return [line.split(" -- sim ", 1)[1].strip() for line in torso.trace_lines() if " -- sim " in line]

        for refused in (torso.remove_can_interface, torso.restore_can_interface):
            with pytest.raises(RuntimeError, match="by its owner"):
                refused()
        with pytest.raises(RuntimeError, match="driver"):
            torso.can_error_frame("bus-off")
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        s.bind((interface.name,))
        until(lambda: answered(s), "feedback before the interface goes")
        interface.remove()
        s.close()
        until(lambda: any("went away" in n for n in notes()), "the simulator noticed the interface had gone")
        assert torso.link_state()["can_interface"] == "gone"
        interface.restore()

        def a_new_socket_is_answered() -> bool:
            fresh = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
            try:
                fresh.bind((interface.name,))
                return answered(fresh)
            finally:
                fresh.close()
        until(a_new_socket_is_answered, "the simulator bound again")
        went = [i for i, n in enumerate(notes()) if "went away" in n]
        back = [i for i, n in enumerate(notes()) if "is back" in n]
        assert len(went) == len(back) == 1 and went < back

        if KERNEL:  # only a kernel interface can merely go down: the same sockets work again once it is up
            s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
            s.bind((interface.name,))
            try:
                until(lambda: answered(s), "feedback on the interface once it was back")
                ip("set", "down", interface.name)
                until(lambda: any("is down" in n for n in notes()), "the simulator noticed the interface was down")
                ip("set", "up", interface.name)
                until(lambda: answered(s), "feedback on the same socket once up")
                assert any("is up again" in n for n in notes())
                assert sum("went away" in n for n in notes()) == 1  # no new socket for a mere down and up
            finally:
                s.close()
