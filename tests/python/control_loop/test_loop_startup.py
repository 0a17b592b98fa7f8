"""Start-up checks of VelmoraPyControlLoop against the virtual torso, and its argument handling."""

import datetime
import subprocess
import sys
import textwrap
import time

import pytest

import velmora_motor_controller as vmc

pytestmark = pytest.mark.needs_can

ms = lambda n: datetime.timedelta(milliseconds=n)  # noqa: E731
COMM = "Motor communication error! Check connections and power supply."


def test_neck_only_loop_defaults(neck_only_torso):
    loop = vmc.VelmoraPyControlLoop(None, ms(10), neck_only_torso.can_interface)
    try:
        assert loop.get_stats() is None
        assert loop.is_torque_enabled() is False
        p = loop.get_last_position()
        assert p.left_arm == [0.0, 0.0] and p.right_arm == [0.0, 0.0] and p.nose == [0.0, 0.0, 0.0]
        assert loop.enable_arms(True) is None  # fails inside the loop only
        with pytest.raises(RuntimeError, match="^Failed to read raw bytes: " + COMM):
            loop.async_read_raw_bytes(1, 21, 3)
    finally:
        loop.close()


def test_port_problems(torso):
    with pytest.raises(RuntimeError) as e:
        vmc.VelmoraPyControlLoop("/dev/does-not-exist", ms(10), torso.can_interface)
    assert str(e.value) == "Check if your USB cable is connected. Could not find port: /dev/does-not-exist!"
    with pytest.raises(RuntimeError) as e:
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), "nosuchcan0")
    assert str(e.value) == (f"Could not open serial port: {torso.serial_device}! "
                            "Check permissions and if the port is already in use.")
    with pytest.raises(RuntimeError) as e:
        vmc.VelmoraPyControlLoop(None, ms(10), "nosuchcan0")
    assert str(e.value) == "Could not open serial port: ! Check permissions and if the port is already in use."


def test_missing_motors(torso):
    for servo_id in range(1, 8):
        torso.unplug_servo(servo_id)
    with pytest.raises(RuntimeError) as e:
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), torso.can_interface)
    assert str(e.value) == "No motors detected. Check if the power supply is connected and turned on!"
    for servo_id in (1, 2, 3, 4, 6, 7):
        torso.unplug_servo(servo_id, False)
    with pytest.raises(RuntimeError) as e:
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), torso.can_interface)
    assert str(e.value) == 'Missing motors: ["nose_top"]!'
    torso.unplug_servo(5, False)
    torso.unplug_motor(3)
    with pytest.raises(RuntimeError) as e:
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), torso.can_interface)
    assert str(e.value) == 'Missing motors: ["neck_roll"]!'


def test_voltage_that_stays_low_times_out_with_the_lowest_reading(torso):
    torso.set_voltage(None, 100)
    torso.set_voltage(4, 95)
    t0 = time.monotonic()
    with pytest.raises(RuntimeError) as e:
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), torso.can_interface,
                                 voltage_rampup_timeout=ms(300))
    assert str(e.value) == "Voltage did not ramp up to 12V (got 9.5V) within 300ms!"
    assert time.monotonic() - t0 >= 0.3


def test_voltage_ramp_is_waited_for(torso, make_loop):
    # (The start-up log lines are checked in a fresh interpreter by the
    # interpreter-exit test: logger levels are cached at first use.)
    torso.ramp_voltage(90, 120, 0.5)
    t0 = time.monotonic()
    loop = make_loop(torso)
    assert time.monotonic() - t0 >= 0.25
    assert loop.get_last_position().timestamp > 0


def test_argument_errors(torso):
    with pytest.raises(TypeError, match="read_position_loop_period"):
        vmc.VelmoraPyControlLoop(torso.serial_device, 0.01, torso.can_interface)
    with pytest.raises(TypeError, match="voltage_rampup_timeout"):
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), torso.can_interface, voltage_rampup_timeout=None)
    with pytest.raises(ValueError):
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(-10), torso.can_interface)
    with pytest.raises(OverflowError):
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), torso.can_interface, allowed_retries=-1)
    with pytest.raises(TypeError):
        vmc.VelmoraPyControlLoop(torso.serial_device)


def test_settings_that_cannot_run_are_refused_up_front(torso):
    # Both would otherwise start a loop thread that dies at once or at its first read.
    with pytest.raises(ValueError, match="^read_position_loop_period must be greater than zero$"):
        vmc.VelmoraPyControlLoop(torso.serial_device, datetime.timedelta(0), torso.can_interface)
    with pytest.raises(ValueError, match="^allowed_retries must be at least 1$"):
        vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), torso.can_interface, allowed_retries=0)
    # The existing device up to the NUL is not the path given.
    with pytest.raises(RuntimeError, match="^Check if your USB cable is connected. Could not find port: "):
        vmc.VelmoraPyControlLoop(torso.serial_device + "\0x", ms(10), torso.can_interface)
    assert torso.serial_rx() == []  # refused before touching the bus


def test_durations_of_centuries_are_taken_as_very_long_waits(torso, neck_only_torso):
    ages = datetime.timedelta(days=365 * 1000)
    loop = vmc.VelmoraPyControlLoop(None, ages, neck_only_torso.can_interface)
    try:
        assert loop.get_last_position().timestamp > 0  # one reading now, the next one never
    finally:
        loop.close()
    loop = vmc.VelmoraPyControlLoop(None, ms(5), neck_only_torso.can_interface, stats_pub_period=ages)
    try:
        # Ticks wait on the simulator's process, which a loaded host can hold back for a while.
        deadline = time.monotonic() + 10
        while len((stats := loop.get_stats()).period) < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert len(stats.period) >= 3 and stats.read_dt == []  # nothing published yet
    finally:
        loop.close()
    torso.ramp_voltage(90, 120, 0.3)
    loop = vmc.VelmoraPyControlLoop(torso.serial_device, ms(10), torso.can_interface, voltage_rampup_timeout=ages)
    loop.close()


def test_ctrl_c_stops_homing_and_the_voltage_wait(torso, child_env):
    script = textwrap.dedent("""
        import datetime, logging, os, signal, subprocess, time
        import velmora_motor_controller as vmc

        # Ctrl-C as a program in a terminal gets it, even where this test runs as a background job
        # (a shell's background jobs start with SIGINT ignored, and Python then leaves it so).
        signal.signal(signal.SIGINT, signal.default_int_handler)

        class CtrlCWhileLogging(logging.Handler):
            armed = False

            def emit(self, record):
                if self.armed and record.getMessage().startswith("Waiting for voltage"):
                    os.kill(os.getpid(), signal.SIGINT)
                    time.sleep(0.01)  # Python runs the signal's handler here, inside the log call

        while_logging = CtrlCWhileLogging()
        logging.getLogger("velmora_motor_controller").addHandler(while_logging)
        logging.getLogger("velmora_motor_controller").setLevel(logging.INFO)

        def seconds_until_interrupted(call):
            # Ctrl-C from outside: no thread of this interpreter could run meanwhile.
            ctrl_c = subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -INT {os.getpid()}"])
            t0 = time.monotonic()
            try:
                call()
            except KeyboardInterrupt:
                ctrl_c.wait()
                return round(time.monotonic() - t0, 1)
            raise SystemExit("not interrupted")

        serial, can = os.environ["VELMORA_SERIAL"], os.environ["VELMORA_CAN"]
        ctl = vmc.VelmoraMotorController(serial, can)
        print(seconds_until_interrupted(lambda: ctl.neck_home(speed=0.01)), ctl.is_neck_torque_enabled(), flush=True)
        del ctl
        threads = len(os.listdir("/proc/self/task"))
        start = lambda: vmc.VelmoraPyControlLoop(serial, datetime.timedelta(milliseconds=10), can,
                                                 voltage_rampup_timeout=datetime.timedelta(seconds=60))
        print(seconds_until_interrupted(start), len(os.listdir("/proc/self/task")) - threads, flush=True)
        # Ctrl-C that lands while the module logs still stops the wait.
        while_logging.armed = True
        t0 = time.monotonic()
        try:
            vmc.VelmoraPyControlLoop(serial, datetime.timedelta(milliseconds=10), can,
                                     voltage_rampup_timeout=datetime.timedelta(seconds=10))
        except KeyboardInterrupt:
            print(round(time.monotonic() - t0, 1), flush=True)
        vmc.VelmoraMotorController(serial, can)  # the serial port was let go
    """)
    torso.set_motor_position(1, 1.0)  # 100 s of homing at 0.01 rad/s
    torso.set_voltage(None, 90)       # a supply that never comes up
    done = subprocess.run([sys.executable, "-c", script], env=child_env(torso), capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    (homing, torque), (start_up, new_threads), (while_logging,) = [line.split() for line in done.stdout.splitlines()]
    # Stopped within a cycle or two of the signal (0.5 s in), not after 100 s or 60 s.
    assert float(homing) < 3.0 and float(start_up) < 3.0 and float(while_logging) < 3.0
    assert torque == "True" and new_threads == "0"
    # The neck stayed enabled, holding the last setpoint of the ramp.
    yaw = torso.motor_state(1)
    assert yaw["enabled"] and 0.99 < yaw["goal"] < 1.0
