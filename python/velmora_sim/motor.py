"""One simulated Damiao neck motor: registers, control modes and the joint's motion.

The joint is a rotating mass with viscous friction. In MIT mode the motor
applies tau = kp (p_des - p) + kd (v_des - v) + tau_ff, limited to the torque
range; the other modes move the joint kinematically toward their set-points.
Motion is integrated from the last update up to "now" whenever the joint is
looked at, with an implicit step that stays stable for any gains.
"""

from __future__ import annotations

import math
import time

from . import damiao as dm
from .callbacks import Clock

INERTIA = 0.01     # kg m^2, head and gearbox seen at the output shaft
FRICTION = 0.05    # N m s / rad
FINE_STEP = 0.0005
FINE_SPAN = 0.25   # integrate the first quarter second finely, then with growing steps

NECK_MOTORS = {
    # can id: (name, p_max, v_max, t_max)
    1: ("neck_yaw", 12.5, 30.0, 10.0),
    2: ("neck_pitch", 12.5, 10.0, 28.0),
    3: ("neck_roll", 12.5, 10.0, 28.0),
}


class Motor:
    def __init__(self, can_id: int, name: str, p_max: float, v_max: float, t_max: float,
                 position: float = 0.0, clock: Clock = time.monotonic) -> None:
        self.name = name
        self.can_id = can_id
        self.master_id = can_id
        self._clock = clock
        self.regs: dict[int, float | int] = {rid: r.default for rid, r in dm.REGISTERS.items()}
        self.regs[dm.REG_MST_ID] = can_id
        self.regs[dm.REG_ESC_ID] = can_id
        self.regs[dm.REG_PMAX] = p_max
        self.regs[dm.REG_VMAX] = v_max
        self.regs[dm.REG_TMAX] = t_max
        self.regs[6] = v_max
        self.position = float(position)
        self.velocity = 0.0
        self.torque = 0.0
        self.enabled = False
        # Set-points: MIT (goal, v_des, kp, kd, tau_ff); kinematic modes (goal, speed).
        self.goal = self.position
        self.v_des = 0.0
        self.kp = 0.0
        self.kd = 0.0
        self.tau_ff = 0.0
        self.speed = 0.0
        self.kinematic: str | None = None  # "position" or "velocity" while a non-MIT mode drives the joint
        self.blocked = False
        self.unplugged = False
        self.refuse_mode_switch = False
        # Feedback replies still to be preceded by a stray register reply (as if a
        # register read had been answered late, or another program had read one).
        self.stray_replies = 0
        self._t = clock()

    @property
    def mode(self) -> int:
        return int(self.regs[dm.REG_CTRL_MODE])

    @property
    def limits(self) -> tuple[float, float, float]:
        return float(self.regs[dm.REG_PMAX]), float(self.regs[dm.REG_VMAX]), float(self.regs[dm.REG_TMAX])

    # ---- commands ----------------------------------------------------------

    def set_enabled(self, enabled: bool) -> None:
        self.update()
        self.enabled = enabled
        if enabled:
            # Enabling holds the joint where it is until the first command arrives.
            self.goal, self.v_des, self.tau_ff, self.kinematic = self.position, 0.0, 0.0, None
            self.kp, self.kd = 0.0, 0.0

    def command_mit(self, cmd: dm.MitCommand) -> None:
        self.update()
        self.goal, self.v_des, self.kp, self.kd, self.tau_ff = (
            cmd.position, cmd.velocity, cmd.kp, cmd.kd, cmd.torque)
        self.kinematic = None

    def command_position(self, position: float, speed: float) -> None:
        self.update()
        self.goal, self.speed, self.kinematic = position, abs(speed), "position"

    def command_velocity(self, velocity: float) -> None:
        self.update()
        self.speed, self.kinematic = velocity, "velocity"

    def write_register(self, rid: int, value: float | int) -> bool:
        reg = dm.REGISTERS.get(rid)
        if reg is None or not reg.writable:
            return False
        if rid == dm.REG_CTRL_MODE:
            if self.refuse_mode_switch or int(value) not in dm.MODE_NAMES:
                return False
            self.update()
            self.kinematic = None
        self.regs[rid] = value
        return True

    def read_register(self, rid: int) -> float | int | None:
        if rid not in self.regs:
            return None
        if rid in (dm.REG_P_M, dm.REG_XOUT):
            self.update()
            gear = float(self.regs[20]) or 1.0
            return self.position * gear if rid == dm.REG_P_M else self.position
        return self.regs[rid]

    def set_position(self, radians: float) -> None:
        """Moves the joint by hand (or at power-up); an enabled motor holds the new place."""
        self.update()
        self.position = float(radians)
        self.velocity = 0.0
        if self.enabled and self.kinematic is None and self.kp == 0.0:
            self.goal = self.position

    def power_cycle(self, turn: int = 0) -> None:
        """Power lost and back: the motor comes back disabled, its multi-turn counter reading the
        joint's angle on the given turn (a real motor may pick any)."""
        self.update()
        self.position = math.remainder(self.position, 2 * math.pi) + 2 * math.pi * turn
        self.velocity = self.torque = 0.0
        self.enabled = False
        self.goal, self.v_des, self.kp, self.kd, self.tau_ff = self.position, 0.0, 0.0, 0.0, 0.0
        self.kinematic = None

    # ---- motion ------------------------------------------------------------

    def update(self) -> None:
        now = self._clock()
        elapsed = now - self._t
        self._t = now
        if elapsed <= 0:
            return
        if self.blocked:
            self.velocity = 0.0
            self.torque = self._mit_torque() if (self.enabled and self.kinematic is None) else 0.0
            return
        if not self.enabled:
            self.velocity, self.torque = 0.0, 0.0
            return
        if self.kinematic is not None:
            self._move_kinematic(elapsed)
            return
        done, step = 0.0, FINE_STEP
        while done < elapsed:
            dt = min(step, elapsed - done)
            self._step(dt)
            done += dt
            if done > FINE_SPAN:
                step *= 1.5

    def _mit_torque(self) -> float:
        t_max = self.limits[2]
        tau = self.kp * (self.goal - self.position) + self.kd * (self.v_des - self.velocity) + self.tau_ff
        return max(-t_max, min(t_max, tau))

    def _step(self, dt: float) -> None:
        # Backward Euler on J a = kp (g - p) + kd (vd - v) + ff - b v: stable for any kp, kd and dt.
        t_max = self.limits[2]
        j, p, v = INERTIA, self.position, self.velocity
        tau = self.kp * (self.goal - p) + self.kd * (self.v_des - v) + self.tau_ff
        if abs(tau) <= t_max:
            c = self.kd + FRICTION
            v = (v + dt / j * (self.kp * (self.goal - p) + self.kd * self.v_des + self.tau_ff)) / (
                1.0 + dt * c / j + dt * dt * self.kp / j)
        else:
            tau = math.copysign(t_max, tau)
            v = (v + dt / j * tau) / (1.0 + dt * FRICTION / j)
        self.position = p + dt * v
        self.velocity = v
        self.torque = max(-t_max, min(t_max, tau))

    def _move_kinematic(self, elapsed: float) -> None:
        self.torque = 0.0
        if self.kinematic == "velocity":
            self.velocity = self.speed
            self.position += self.speed * elapsed
            return
        distance = self.goal - self.position
        travel = self.speed * elapsed
        if travel >= abs(distance):
            self.position, self.velocity = self.goal, 0.0
        else:
            self.position += math.copysign(travel, distance)
            self.velocity = math.copysign(self.speed, distance)

    # ---- replies -----------------------------------------------------------

    def feedback(self) -> bytes:
        self.update()
        p_max, v_max, t_max = self.limits
        return dm.encode_feedback(self.can_id, 1 if self.enabled else 0, self.position, self.velocity,
                                  self.torque, p_max, v_max, t_max)

    def state(self) -> dict[str, object]:
        self.update()
        return {
            "name": self.name,
            "can_id": self.can_id,
            "position": self.position,
            "velocity": self.velocity,
            "torque": self.torque,
            "enabled": self.enabled,
            "mode": self.mode,
            "kp": self.kp,
            "kd": self.kd,
            "goal": self.goal,
            "blocked": self.blocked,
            "unplugged": self.unplugged,
            "refuse_mode_switch": self.refuse_mode_switch,
            "stray_replies": self.stray_replies,
        }
