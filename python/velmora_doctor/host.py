"""What the host says about the torso's two buses: USB serial adapters, the serial device and the CAN interface.

Everything here reads sysfs, /dev and /proc, or asks ``ip``; nothing talks to a motor.
"""

from __future__ import annotations

import errno
import fcntl
import grp
import json
import os
import pwd
import resource
import shutil
import stat
import subprocess
from dataclasses import dataclass, field

# Group every hint about a serial device falls back to when the device cannot be looked at.
SERIAL_GROUP = "dialout"
ARPHRD_CAN = 280
IFF_UP = 0x1
NECK_BITRATE = 1_000_000
IP_TIMEOUT = 2.0


@dataclass
class SerialAdapter:
    device: str
    vid_pid: str | None
    driver: str | None
    latency_timer_ms: int | None
    hints: list[str] = field(default_factory=list)


@dataclass
class SerialDevice:
    path: str
    exists: bool = False
    real_path: str | None = None
    owner: str | None = None
    group: str | None = None
    mode: str | None = None
    accessible: bool = False
    in_group: bool | None = None
    locked_by_other: bool | None = None
    holders: list[str] = field(default_factory=list)
    hints: list[str] = field(default_factory=list)


@dataclass
class CanInterface:
    name: str
    in_sysfs: bool = False
    is_can: bool | None = None
    up: bool | None = None
    operstate: str | None = None
    bitrate: int | None = None
    # The CAN controller's state as the kernel reports it: "ERROR-ACTIVE", "ERROR-WARNING",
    # "ERROR-PASSIVE", "BUS-OFF", "STOPPED" (None when unknown, as for a virtual interface).
    controller_state: str | None = None
    hints: list[str] = field(default_factory=list)


@dataclass
class Realtime:
    """Whether this user may run the control loop's thread under SCHED_FIFO (set_realtime), and the memory it may lock."""
    cap_sys_nice: bool
    rtprio_limit: int | None  # RLIMIT_RTPRIO (soft); None: unlimited
    max_priority: int  # the highest SCHED_FIFO priority allowed; 0: none
    memlock_bytes: int | None  # RLIMIT_MEMLOCK (soft); None: unlimited
    hints: list[str] = field(default_factory=list)

    @property
    def allowed(self) -> bool:
        return self.max_priority > 0


CAP_SYS_NICE = 23


def _soft_limit(which: int) -> int | None:
    soft, _ = resource.getrlimit(which)
    return None if soft == resource.RLIM_INFINITY else soft


def realtime_allowance(status_path: str = "/proc/self/status") -> Realtime:
    cap_eff = 0
    for line in (_read(status_path) or "").splitlines():
        if line.startswith("CapEff:"):
            cap_eff = int(line.split()[1], 16)
    cap = bool(cap_eff >> CAP_SYS_NICE & 1)
    rtprio = _soft_limit(resource.RLIMIT_RTPRIO)
    fifo_max = os.sched_get_priority_max(os.SCHED_FIFO)
    allowed = fifo_max if cap or rtprio is None else min(rtprio, fifo_max)
    found = Realtime(cap, rtprio, allowed, _soft_limit(resource.RLIMIT_MEMLOCK))
    if not found.allowed:
        found.hints.append(
            "the loop thread cannot run under real-time priority (VelmoraPyControlLoop.set_realtime): "
            "no CAP_SYS_NICE and RLIMIT_RTPRIO is 0; grant it with a line such as '@robot - rtprio 90' in a file "
            "under /etc/security/limits.d/ (then log in again), or 'ulimit -r 90' in the starting shell")
    return found


def _read(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().strip()
    except OSError:
        return None


def _usb_ancestor(path: str, sysfs: str) -> str | None:
    """The USB device directory (the one holding idVendor) above a sysfs device path."""
    devices = os.path.join(sysfs, "devices")
    while path.startswith(devices) and path != devices:
        if os.path.isfile(os.path.join(path, "idVendor")):
            return path
        path = os.path.dirname(path)
    return None


def usb_serial_adapters(sysfs: str = "/sys") -> list[SerialAdapter]:
    """Every tty on a USB device: ttyUSB* (usb-serial drivers such as ftdi_sio, ch341) and ttyACM*."""
    base = os.path.join(sysfs, "class", "tty")
    try:
        names = sorted(os.listdir(base))
    except OSError:
        return []
    adapters = []
    for name in names:
        link = os.path.join(base, name, "device")
        if not os.path.exists(link):
            continue  # virtual terminals and pseudo-terminals have no device
        device_dir = os.path.realpath(link)
        usb = _usb_ancestor(device_dir, os.path.realpath(sysfs))
        if usb is None:
            continue  # a built-in UART
        vid, pid = _read(os.path.join(usb, "idVendor")), _read(os.path.join(usb, "idProduct"))
        driver_link = os.path.join(device_dir, "driver")
        driver = os.path.basename(os.path.realpath(driver_link)) if os.path.exists(driver_link) else None
        timer_path = os.path.join(device_dir, "latency_timer")
        timer_text = _read(timer_path)
        timer = int(timer_text) if timer_text and timer_text.isdigit() else None
        adapter = SerialAdapter(f"/dev/{name}", f"{vid}:{pid}" if vid and pid else None, driver, timer)
        if timer is not None and timer > 1:
            adapter.hints.append(
                f"/dev/{name}: the adapter holds replies back for up to {timer} ms (its latency timer); "
                f"set it to 1 ms: echo 1 | sudo tee /sys/bus/usb-serial/devices/{name}/latency_timer "
                "(the README has a udev rule that does it at every plug-in)")
        adapters.append(adapter)
    return adapters


def _process(pid: str) -> str:
    return f"pid {pid} ({_read(f'/proc/{pid}/comm') or '?'})"


def _lock_holders(st: os.stat_result) -> list[str]:
    """Processes holding a lock on the device file (the module takes an exclusive flock)."""
    key = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
    found: list[str] = []
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as locks:
            for line in locks:
                fields = [f for f in line.split() if f != "->"]  # "->" marks a waiter
                if len(fields) > 5 and fields[5] == key and _process(fields[4]) not in found:
                    found.append(_process(fields[4]))
    except OSError:
        pass
    return found


def _holders(real_path: str) -> list[str]:
    """Processes with the device open, as far as /proc lets us see them."""
    found: list[str] = []
    try:
        pids = [p for p in os.listdir("/proc") if p.isdigit() and int(p) != os.getpid()]
    except OSError:
        return found
    for pid in pids:
        fd_dir = f"/proc/{pid}/fd"
        try:
            fds = os.listdir(fd_dir)
        except OSError:
            continue
        for fd in fds:
            try:
                target = os.readlink(os.path.join(fd_dir, fd))
            except OSError:
                continue
            if target == real_path:
                found.append(_process(pid))
                break
    return found


def _user_listed_in(group: grp.struct_group) -> bool:
    """Whether the user database puts this user in the group (the session may not have caught up yet)."""
    user = pwd.getpwuid(os.getuid())
    return user.pw_name in group.gr_mem or user.pw_gid == group.gr_gid


def _probe_lock(path: str) -> bool:
    """True when another process holds the device exclusively (its exclusive mode or its lock)."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        return e.errno == errno.EBUSY
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        return False  # no locking on this file system: nothing to learn
    finally:
        os.close(fd)  # releases our lock with the descriptor
    return False


def serial_device(path: str) -> SerialDevice:
    """Whether the device exists, whether this user may open it (and why not), and whether another
    process holds it."""
    dev = SerialDevice(path)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        dev.hints.append(f"{path} does not exist: is the adapter plugged in? (ls /dev/ttyUSB* /dev/ttyACM*)")
        return dev
    except OSError as e:
        dev.hints.append(f"{path}: {e.strerror}")
        return dev
    dev.exists = True
    dev.real_path = os.path.realpath(path)
    dev.mode = stat.filemode(st.st_mode)
    try:
        dev.owner = pwd.getpwuid(st.st_uid).pw_name
    except KeyError:
        dev.owner = str(st.st_uid)
    group: grp.struct_group | None
    try:
        group = grp.getgrgid(st.st_gid)
        dev.group = group.gr_name
    except KeyError:
        group, dev.group = None, str(st.st_gid)
    dev.in_group = st.st_gid == os.getegid() or st.st_gid in os.getgroups()
    dev.accessible = os.access(path, os.R_OK | os.W_OK)
    if not dev.accessible:
        name = dev.group if group is not None else SERIAL_GROUP
        if group is not None and not dev.in_group and _user_listed_in(group):
            dev.hints.append(f"you were added to group '{name}' after this session started: "
                             "log out and back in (or run: newgrp " + name + ")")
        else:
            dev.hints.append(f"{path} belongs to group '{name}' ({dev.mode}); join it: "
                             f"sudo usermod -aG {name} $USER, then log out and back in")
        return dev
    dev.locked_by_other = _probe_lock(path)
    if dev.locked_by_other:
        # The lock's owner when there is one; otherwise (exclusive mode) whoever has the device open.
        dev.holders = _lock_holders(st) or _holders(dev.real_path)
        dev.hints.append(f"{path} is held by another process" +
                         (f" ({', '.join(dev.holders)})" if dev.holders else "") +
                         ": stop it (ModemManager and brltty are known to grab USB serial adapters)")
    return dev


def _ip_can_details(name: str) -> tuple[int | None, str | None]:
    """The interface's bitrate and its controller's state, from `ip -details -json link show`."""
    ip = shutil.which("ip")
    if ip is None:
        return None, None
    try:
        done = subprocess.run([ip, "-details", "-json", "link", "show", "dev", name], capture_output=True,
                              text=True, timeout=IP_TIMEOUT, check=False)
        links = json.loads(done.stdout) if done.returncode == 0 else []
        info = links[0]["linkinfo"]["info_data"]
    except (OSError, subprocess.TimeoutExpired, ValueError, LookupError, TypeError):
        return None, None
    if not isinstance(info, dict):
        return None, None
    timing = info.get("bittiming")
    bitrate = timing.get("bitrate") if isinstance(timing, dict) else None
    state = info.get("state")
    return (bitrate if isinstance(bitrate, int) else None), (state if isinstance(state, str) else None)


def can_interface(name: str, sysfs: str = "/sys") -> CanInterface:
    """The kernel's view of a CAN interface: whether it exists, is a CAN device, is up, and its bitrate."""
    can = CanInterface(name)
    base = os.path.join(sysfs, "class", "net", name)
    if not os.path.isdir(base):
        return can
    can.in_sysfs = True
    kind = _read(os.path.join(base, "type"))
    can.is_can = kind == str(ARPHRD_CAN) if kind is not None else None
    flags = _read(os.path.join(base, "flags"))
    if flags is not None:
        try:
            can.up = bool(int(flags, 16) & IFF_UP)
        except ValueError:
            pass
    can.operstate = _read(os.path.join(base, "operstate"))
    can.bitrate, can.controller_state = _ip_can_details(name)
    bring_up = (f"sudo ip link set {name} down; "
                f"sudo ip link set {name} up type can bitrate {NECK_BITRATE}")
    if can.is_can is False:
        can.hints.append(f"{name} is not a CAN interface: pass the neck's interface with --can")
    elif can.up is False:
        can.hints.append(f"{name} is down: {bring_up}")
    elif can.controller_state in ("BUS-OFF", "ERROR-PASSIVE"):
        # A bus-off controller stays off until the interface is restarted; restart-ms does it by itself.
        can.hints.append(f"{name}'s controller is {can.controller_state.lower()} (frames keep failing: check the "
                         f"wiring, the termination and the bitrate); restart it: {bring_up} restart-ms 100")
    elif can.bitrate is not None and can.bitrate != NECK_BITRATE:
        can.hints.append(f"{name} runs at {can.bitrate} bit/s; the neck motors talk at 1 Mbit/s: {bring_up}")
    return can
