"""Shared pytest fixtures: a fresh virtual torso per test, and the CAN stand-in check.

Fixtures:
    torso            a VirtualTorso with servos and neck motors, replies without wire timing
    neck_only_torso  the same without servos (no pseudo-terminal)

Both torsos run under SCHED_FIFO where allowed (root, as in CI): a test such as a
timed-out homing needs thousands of replies in a row, each inside the
controller's 20 ms window, and on a shared host an ordinary process can wait
longer than that for a processor.
    can_preload      skips the test unless this process runs with the CAN stand-in preloaded

Marker:
    @pytest.mark.needs_can   the same skip as the can_preload fixture, for whole tests or modules

The extension opens its CAN sockets in this very process, so the LD_PRELOAD library
must have been loaded when the interpreter started (tools/run_tests.sh does that);
setting LD_PRELOAD from inside a running test is too late.

With VELMORA_KERNEL_CAN naming a kernel CAN interface (tools/kernel_can_check.sh
sets it inside its virtual machine), the tests in kernel_can/ run against it, and
nothing may be skipped there: a skip fails the run.
"""

from __future__ import annotations

import os
import sys

import pytest

try:
    import velmora_sim  # noqa: F401  (installed alongside the module)
except ImportError:
    sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python")))
    import velmora_sim  # noqa: F401

from velmora_sim import VirtualTorso, preload_library


KERNEL_CAN = os.environ.get("VELMORA_KERNEL_CAN") or None

# Only a machine with a kernel CAN interface can run these.
collect_ignore = [] if KERNEL_CAN else ["kernel_can"]


def can_preload_active() -> bool:
    """True when the CAN stand-in library is mapped into this process."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            return any("libvelmora_vcan.so" in line for line in maps)
    except OSError:
        return False


def can_preload_skip_reason() -> str:
    try:
        library = preload_library()
    except FileNotFoundError as e:
        return f"CAN tests need the user-space SocketCAN stand-in, which is not built: {e}"
    return ("CAN tests need the user-space SocketCAN stand-in loaded at interpreter start: "
            f"run pytest as LD_PRELOAD={library} python -m pytest ... (tools/run_tests.sh does this)")


def skip_without_can_preload() -> None:
    """Call at the top of a test that opens a CAN socket in this process."""
    if not can_preload_active():
        pytest.skip(can_preload_skip_reason())


def pytest_configure(config):
    config.addinivalue_line("markers", "needs_can: the test opens SocketCAN sockets in the pytest process "
                                       "and is skipped unless the CAN stand-in is preloaded")


def pytest_runtest_setup(item):
    if item.get_closest_marker("needs_can") is not None and not KERNEL_CAN:
        skip_without_can_preload()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if KERNEL_CAN and report.skipped:
        report.outcome = "failed"
        report.longrepr = f"skipped on a kernel CAN interface, where nothing may be skipped: {report.longrepr}"


@pytest.fixture
def can_preload():
    skip_without_can_preload()
    return preload_library()


@pytest.fixture
def torso():
    with VirtualTorso(trace=None, wire_timing=False, servos=True, realtime=True) as t:
        yield t


@pytest.fixture
def neck_only_torso():
    with VirtualTorso(trace=None, wire_timing=False, servos=False, realtime=True) as t:
        yield t
