"""One simulated Feetech servo: its 256-byte register memory, its motion and its supply voltage.

Motion and voltage are computed from elapsed time whenever they are looked at,
so an idle torso costs nothing and a reading is exact at the moment it is taken.
"""

from __future__ import annotations

import time

from . import feetech as ft
from .callbacks import Clock

STEPS = 4096

MODELS = ("SM40BL", "STS3025BL")
# Speed at which the present position follows the goal when no goal speed is set,
# in steps per second (about 50 rpm at 12 V, a loaded servo's figure).
DEFAULT_SPEED = {"SM40BL": 3400.0, "STS3025BL": 3400.0}


def _u16(value: int) -> bytes:
    return (value & 0xFFFF).to_bytes(2, "little")


def decode_offset(raw: int) -> int:
    """The offset register in signed servo steps: bits 0-10 the magnitude, bit 11 the sign.

    Only the pattern with bit 11 set and bits 12-15 clear is negative, the same
    reading the controller applies, so both sides agree on every register value.
    """
    magnitude = raw & 0x7FF
    return -magnitude if (raw & 0xF800) == 0x0800 else magnitude


def encode_offset(steps: int) -> int:
    magnitude = min(abs(int(steps)), 0x7FF)
    return magnitude | (0x800 if steps < 0 else 0)


class Servo:
    """present position = (encoder - offset) mod 4096, with the offset in signed steps."""

    def __init__(self, servo_id: int, model: str, clock: Clock = time.monotonic,
                 encoder: float = 2048.0) -> None:
        if model not in MODELS:
            raise ValueError(f"unknown servo model {model!r}")
        self.model = model
        self._clock = clock
        self.regs = bytearray(256)
        self._factory_eeprom(servo_id)
        # What survives a power cycle; regs[:EEPROM_END] is the working copy.
        self.eeprom = bytearray(self.regs[:ft.EEPROM_END])
        self._encoder = float(encoder) % STEPS
        self._moved_at = clock()
        self._velocity = 0.0  # steps/s, signed, as of the last update
        # Supply voltage: a fixed value, or a linear ramp (start, end, t0, seconds).
        self._voltage = 120
        self._ramp: tuple[int, int, float, float] | None = None
        self.unplugged = False
        self.silent_until = 0.0  # rebooting: deaf and mute until then
        self.pending_write: tuple[int, bytes] | None = None  # REG_WRITE waiting for ACTION
        self.power_on()

    # ---- register memory -------------------------------------------------

    def _factory_eeprom(self, servo_id: int) -> None:
        r = self.regs
        r[0], r[1] = 3, 10            # firmware version
        r[3], r[4] = 9, 3             # model code reported on the bus
        r[ft.REG_ID] = servo_id
        r[ft.REG_BAUD] = 0            # 1 Mbaud
        r[ft.REG_RETURN_DELAY] = 0    # units of 2 us
        r[8] = 1                      # reply to every instruction
        r[ft.REG_MIN_ANGLE:ft.REG_MIN_ANGLE + 2] = _u16(0)
        r[ft.REG_MAX_ANGLE:ft.REG_MAX_ANGLE + 2] = _u16(STEPS - 1)
        r[ft.REG_MAX_TEMPERATURE] = 70
        r[ft.REG_MAX_VOLTAGE] = 140
        r[ft.REG_MIN_VOLTAGE] = 40
        r[ft.REG_MAX_TORQUE:ft.REG_MAX_TORQUE + 2] = _u16(1000)
        r[19], r[20] = 44, 47         # unloading and LED alarm conditions
        r[ft.REG_P_GAIN] = 32
        r[ft.REG_D_GAIN] = 32
        r[ft.REG_I_GAIN] = 0
        r[24:26] = _u16(16)           # minimum starting force
        r[26], r[27] = 1, 1           # dead zones
        r[28:30] = _u16(500)          # protection current
        r[30] = 1                     # angular resolution
        r[ft.REG_OFFSET:ft.REG_OFFSET + 2] = _u16(0)
        r[ft.REG_MODE] = 0            # position mode
        r[34], r[35], r[36] = 20, 200, 80
        r[37], r[38], r[39] = 10, 200, 200

    def factory_reset(self) -> None:
        """Factory settings, kept in EEPROM; the bus id stays, or the servo would vanish from its bus."""
        self._factory_eeprom(self.id)
        self.eeprom[:] = self.regs[:ft.EEPROM_END]
        self.power_on()

    def power_on(self) -> None:
        """Settings come back from EEPROM; RAM comes up as after power-on: torque off, goal = present, locked."""
        self.update()
        self.regs[:ft.EEPROM_END] = self.eeprom
        self.regs[ft.EEPROM_END:] = bytes(256 - ft.EEPROM_END)
        self.regs[ft.REG_TORQUE_LIMIT:ft.REG_TORQUE_LIMIT + 2] = self.regs[ft.REG_MAX_TORQUE:ft.REG_MAX_TORQUE + 2]
        self.regs[ft.REG_LOCK] = 1
        self.regs[ft.REG_PRESENT_TEMPERATURE] = 30
        self.regs[ft.REG_GOAL_POSITION:ft.REG_GOAL_POSITION + 2] = _u16(self.present_position())
        self._velocity = 0.0
        self.pending_write = None  # a registered write lived in RAM

    @property
    def id(self) -> int:
        return self.regs[ft.REG_ID]

    def _u16(self, address: int) -> int:
        return int.from_bytes(self.regs[address:address + 2], "little")

    @property
    def offset_steps(self) -> int:
        return decode_offset(self._u16(ft.REG_OFFSET))

    @property
    def torque_on(self) -> bool:
        return self.regs[ft.REG_TORQUE_ENABLE] != 0

    @property
    def locked(self) -> bool:
        return self.regs[ft.REG_LOCK] != 0

    def goal_position(self) -> int:
        goal = int.from_bytes(self.regs[ft.REG_GOAL_POSITION:ft.REG_GOAL_POSITION + 2], "little", signed=True)
        lo, hi = self._u16(ft.REG_MIN_ANGLE), self._u16(ft.REG_MAX_ANGLE)
        if lo < hi:  # equal limits mean "no limits" on these servos
            goal = max(lo, min(hi, goal))
        return max(0, min(STEPS - 1, goal))

    def read(self, address: int, length: int) -> bytes:
        self.update()
        self._refresh_present()
        end = min(256, address + length)
        return bytes(self.regs[address:end])

    def write(self, address: int, data: bytes, *, from_bus: bool = True) -> None:
        """Stores data as a bus write would.

        While the lock register is set, settings (the EEPROM area) change only
        until the next power cycle, and the position offset does not change at
        all; with the lock cleared they are stored for good. from_bus=False
        (the test side's direct access) always stores for good.
        Writing the present position (only possible from the test side) moves the
        encoder so that it reads back the value written.
        """
        self.update()
        if not data or address >= 256:
            return
        data = bytes(data[:256 - address])
        end = address + len(data)
        locked = from_bus and self.locked
        for i, b in enumerate(data):
            a = address + i
            if from_bus and ft.READ_ONLY_START <= a <= ft.READ_ONLY_END:
                continue  # measured values: the bus cannot write them
            if a < ft.EEPROM_END:
                if locked and a in (ft.REG_OFFSET, ft.REG_OFFSET + 1):
                    continue
                if not locked:
                    self.eeprom[a] = b
            self.regs[a] = b
        if from_bus:
            return
        if address <= ft.REG_PRESENT_POSITION + 1 and end > ft.REG_PRESENT_POSITION:
            self.set_present(self._u16(ft.REG_PRESENT_POSITION), keep_goal=True)
        if address <= ft.REG_PRESENT_VOLTAGE < end:
            self.set_voltage(self.regs[ft.REG_PRESENT_VOLTAGE])

    # ---- motion ------------------------------------------------------------

    def present_position(self) -> int:
        return int(round(self._encoder - self.offset_steps)) % STEPS

    def _speed(self) -> float:
        speed = self._u16(ft.REG_GOAL_SPEED) & 0x7FFF
        return float(speed) if speed else DEFAULT_SPEED[self.model]

    def update(self) -> None:
        """Moves the shaft to where it is now: toward the goal at the servo's speed while torque is on."""
        now = self._clock()
        dt = now - self._moved_at
        self._moved_at = now
        self._velocity = 0.0
        if dt <= 0 or not self.torque_on:
            return
        offset = self.offset_steps
        present = (self._encoder - offset) % STEPS
        goal = self.goal_position()
        distance = goal - present
        if abs(distance) < 0.5:
            return
        step = self._speed() * dt
        if step >= abs(distance):
            present = float(goal)
        else:
            present += step if distance > 0 else -step
            self._velocity = self._speed() if distance > 0 else -self._speed()
        self._encoder = (present + offset) % STEPS

    def set_present(self, raw: int, keep_goal: bool = False) -> None:
        """Puts the shaft where the present position reads raw (by hand: works with torque on or off)."""
        self.update()
        self._encoder = (int(raw) % STEPS + self.offset_steps) % STEPS
        if not keep_goal:
            self.regs[ft.REG_GOAL_POSITION:ft.REG_GOAL_POSITION + 2] = _u16(self.present_position())
        self._refresh_present()

    def is_moving(self) -> bool:
        return self.torque_on and abs(self.goal_position() - self.present_position()) > 0

    # ---- supply ----------------------------------------------------------

    def set_voltage(self, decivolts: int) -> None:
        self._voltage = max(0, min(255, int(decivolts)))
        self._ramp = None

    def ramp_voltage(self, start: int, end: int, seconds: float) -> None:
        self._ramp = (int(start), int(end), self._clock(), max(0.0, float(seconds)))

    def voltage(self) -> int:
        if self._ramp is not None:
            start, end, t0, seconds = self._ramp
            done = 1.0 if seconds <= 0 else min(1.0, max(0.0, (self._clock() - t0) / seconds))
            value = round(start + (end - start) * done)
            if done >= 1.0:
                self._voltage, self._ramp = end, None
            return max(0, min(255, value))
        return self._voltage

    def error_byte(self) -> int:
        v = self.voltage()
        if v < self.regs[ft.REG_MIN_VOLTAGE] or v > self.regs[ft.REG_MAX_VOLTAGE]:
            return ft.ERR_VOLTAGE
        return 0

    def _refresh_present(self) -> None:
        r = self.regs
        r[ft.REG_PRESENT_POSITION:ft.REG_PRESENT_POSITION + 2] = _u16(self.present_position())
        speed = int(abs(self._velocity))
        r[ft.REG_PRESENT_SPEED:ft.REG_PRESENT_SPEED + 2] = _u16(min(speed, 0x7FFF) | (0x8000 if self._velocity < 0 else 0))
        r[ft.REG_PRESENT_VOLTAGE] = self.voltage()
        r[ft.REG_STATUS] = self.error_byte()
        r[ft.REG_MOVING] = 1 if self.is_moving() else 0

    def snapshot(self) -> bytes:
        self.update()
        self._refresh_present()
        return bytes(self.regs)
