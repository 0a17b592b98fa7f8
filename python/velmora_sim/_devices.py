"""The simulator's ends of the two buses: a pseudo-terminal for the servo line, a socket on a kernel CAN interface."""

from __future__ import annotations

import os
import secrets
import socket
import termios

from .vcan import Frame, interface_path


def make_raw(fd: int) -> None:
    """Raw 8N1 at 1 Mbaud, with every input translation off, so no byte is ever altered or echoed."""
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
               | termios.IGNCR | termios.ICRNL | termios.IXON | termios.IXOFF | termios.IXANY
               | termios.IMAXBEL | termios.INPCK | termios.IUCLC)
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN
               | termios.ECHOE | termios.ECHOK | termios.ECHOCTL | termios.ECHOKE)
    cflag &= ~(termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS)
    cflag |= termios.CS8 | termios.CREAD | termios.CLOCAL
    cc = list(cc)
    cc[termios.VMIN] = 1
    cc[termios.VTIME] = 0
    speed = getattr(termios, "B1000000", ispeed)
    termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, speed, speed, cc])


def open_pty() -> tuple[int, int, str]:
    master, slave = os.openpty()
    make_raw(slave)  # before anyone else can open the slave
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


class KernelCan:
    """A participant on a real (kernel) CAN interface, for machines that have one."""

    def __init__(self, name: str) -> None:
        self._sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            self._sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
            self._sock.bind((name,))
            self._sock.setblocking(False)
        except BaseException:
            self._sock.close()
            raise

    def fileno(self) -> int:
        return self._sock.fileno()

    def send(self, frame: Frame) -> None:
        self._sock.send(frame.pack())

    def recv(self) -> Frame | None:
        """The next frame, or None when none is waiting.

        EOFError at end-of-file, which only the user-space stand-in gives (its hub went away);
        OSError as the kernel reports it (ENODEV: interface removed, ENETDOWN: taken down).
        """
        try:
            raw = self._sock.recv(72)
        except BlockingIOError:
            return None
        if not raw:
            raise EOFError("end of file")
        return Frame.unpack(raw)

    def close(self) -> None:
        self._sock.close()


def unique_interface(directory: str) -> str:
    while True:
        name = "vtorso" + secrets.token_hex(2)
        if not os.path.exists(interface_path(name, directory)):
            return name
