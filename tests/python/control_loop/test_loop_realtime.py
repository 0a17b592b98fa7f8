"""VelmoraPyControlLoop.set_realtime: the named loop thread under SCHED_FIFO, and the system's refusal."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from test_loop_commands import eventually

pytestmark = pytest.mark.needs_can


def loop_thread_ids():
    ids = []
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm") as f:
            if f.read().strip() == "velmora-loop":
                ids.append(int(tid))
    return ids


def refused_in_a_child(torso, child_env):
    """set_realtime where neither CAP_SYS_NICE nor RLIMIT_RTPRIO allow it (we may be root here)."""
    script = textwrap.dedent(f"""
        import datetime, os, velmora_motor_controller as vmc
        loop = vmc.VelmoraPyControlLoop({torso.serial_device!r}, datetime.timedelta(milliseconds=10),
                                        {torso.can_interface!r}, voltage_rampup_timeout=datetime.timedelta(seconds=2))
        try:
            loop.set_realtime(20)
        except RuntimeError as e:
            print(e)
        finally:
            loop.close()
    """)
    drop = ["prlimit", "--rtprio=0:0", "setpriv", "--bounding-set", "-sys_nice", "--inh-caps", "-sys_nice", "--"]
    done = subprocess.run(drop + [sys.executable, "-c", script], env=child_env(torso), capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_realtime_loop_thread_and_the_refusal(torso, make_loop, child_env):
    if shutil.which("setpriv") and shutil.which("prlimit") and os.geteuid() == 0:
        refusal = refused_in_a_child(torso, child_env)
        for needed in ("no CAP_SYS_NICE", "RLIMIT_RTPRIO 0 (below 20)", "/etc/security/limits.d/", "ulimit -r 20"):
            assert needed in refusal

    loop = make_loop(torso)
    [tid] = loop_thread_ids()
    cpu = max(os.sched_getaffinity(0))
    for priority, where in ((0, None), (100, None), (10, 4096), (10, -1)):
        with pytest.raises(ValueError):
            loop.set_realtime(priority, cpu=where)
    assert os.sched_getscheduler(tid) == os.SCHED_OTHER  # a refused call changes nothing
    try:
        loop.set_realtime(10, cpu=cpu)
    except RuntimeError as e:
        pytest.skip(f"real-time priority not granted here: {e}")
    assert os.sched_getscheduler(tid) == os.SCHED_FIFO and os.sched_getparam(tid).sched_priority == 10
    assert os.sched_getaffinity(tid) == {cpu}
    first = loop.get_last_position().timestamp
    eventually(lambda: loop.get_last_position().timestamp > first)
    loop.close()
    with pytest.raises(RuntimeError, match="control loop is closed"):
        loop.set_realtime(10)
