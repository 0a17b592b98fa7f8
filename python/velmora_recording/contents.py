"""What the summary and the plot take from a recording, read in one pass.

Positions are kept as rows of ten floats rather than as the decoded messages:
an hour at 500 Hz is nearly two million of them.
"""

from __future__ import annotations

import bisect
import datetime
import math
import statistics
from dataclasses import dataclass, field
from typing import Any

from . import schemas
from .reading import RecordingFile

# The order of a position row: the groups of VelmoraTorsoPosition, one after the other.
GROUPS = (("left_arm", schemas.ARM_JOINTS), ("right_arm", schemas.ARM_JOINTS),
          ("nose", schemas.NOSE_JOINTS), ("neck", schemas.NECK_JOINTS))
JOINTS = tuple(f"{group.replace('_', ' ')} {joint}" for group, joints in GROUPS for joint in joints)
ROWS = {group: range(sum(len(j) for _, j in GROUPS[:i]), sum(len(j) for _, j in GROUPS[:i + 1]))
        for i, (group, _) in enumerate(GROUPS)}

# Where each goal-setting command of the loop puts its "position" argument in a row.
_GOAL_OFFSET = {
    "set_left_arm_position": ROWS["left_arm"][0], "set_right_arm_position": ROWS["right_arm"][0],
    "set_arms_position": ROWS["left_arm"][0], "set_nose_position": ROWS["nose"][0],
    "set_neck_position": ROWS["neck"][0], "set_neck_yaw_position": ROWS["neck"][0],
    "set_neck_pitch_position": ROWS["neck"][1], "set_neck_roll_position": ROWS["neck"][2],
}


@dataclass
class Stamped:
    time_ns: int
    message: dict[str, Any]


@dataclass
class FailedReadings:
    """Readings that failed one after the other, up to the next good one (or the last failure)."""
    start_ns: int
    end_ns: int
    count: int
    first_error: str


@dataclass
class Recording:
    path: str
    complete: bool = False
    message_count: int = 0
    start_ns: int = 0
    end_ns: int = 0
    position_times: list[int] = field(default_factory=list)
    positions: list[list[float]] = field(default_factory=list)
    tick_times: list[int] = field(default_factory=list)
    periods: list[float] = field(default_factory=list)
    faults: list[Stamped] = field(default_factory=list)
    commands: list[Stamped] = field(default_factory=list)
    log: list[Stamped] = field(default_factory=list)
    serial_packets: int = 0
    can_frames: int = 0

    @property
    def duration_s(self) -> float:
        return (self.end_ns - self.start_ns) / 1e9

    def started(self, timespec: str = "milliseconds") -> str:
        """The first message's wall-clock time, local, in ISO 8601."""
        when = datetime.datetime.fromtimestamp(self.start_ns / 1e9, datetime.timezone.utc)
        return when.astimezone().isoformat(timespec=timespec)

    def seconds(self, time_ns: int) -> float:
        """A log time as seconds since the recording's first message."""
        return (time_ns - self.start_ns) / 1e9


def load(path: str) -> Recording:
    """Reads everything but the bus traffic's contents (see RecordingFile for a cut-short file)."""
    rec = Recording(path)
    source = RecordingFile(path)
    first: int | None = None
    last = 0
    for topic, time_ns, m in source.messages():
        first = time_ns if first is None else min(first, time_ns)
        last = max(last, time_ns)
        rec.message_count += 1
        if topic == schemas.POSITION:
            rec.position_times.append(time_ns)
            rec.positions.append([float(v) for group, _ in GROUPS for v in m[group]])
        elif topic == schemas.TIMING:
            rec.tick_times.append(time_ns)
            rec.periods.append(float(m["period_s"]))
        elif topic == schemas.FAULT:
            rec.faults.append(Stamped(time_ns, m))
        elif topic == schemas.COMMAND:
            rec.commands.append(Stamped(time_ns, m))
        elif topic == schemas.LOG:
            rec.log.append(Stamped(time_ns, m))
        elif topic == schemas.SERIAL:
            rec.serial_packets += 1
        elif topic == schemas.CAN:
            rec.can_frames += 1
    rec.complete = source.complete
    rec.start_ns, rec.end_ns = (first, last) if first is not None else (0, 0)
    return rec


def failed_readings(rec: Recording) -> list[FailedReadings]:
    """The runs of failed readings, each ending where the next good reading came (or at its last failure)."""
    good = sorted(rec.position_times)
    failures = sorted((f for f in rec.faults if f.message["source"] == schemas.READING_SOURCE),
                      key=lambda f: f.time_ns)
    runs: list[FailedReadings] = []
    ended_by: int | None = None  # the good reading after the current run, if one came
    for f in failures:
        if runs and (ended_by is None or f.time_ns < ended_by):
            runs[-1].count += 1
            if ended_by is None:
                runs[-1].end_ns = f.time_ns
            continue
        i = bisect.bisect_right(good, f.time_ns)
        ended_by = good[i] if i < len(good) else None
        runs.append(FailedReadings(f.time_ns, f.time_ns if ended_by is None else ended_by, 1,
                                   str(f.message["error"])))
    return runs


def period_errors(rec: Recording) -> tuple[float, list[float]]:
    """The nominal period (the median one) and each tick's |period - nominal|, in s."""
    if not rec.periods:
        return 0.0, []
    nominal = statistics.median(rec.periods)
    return nominal, [abs(p - nominal) for p in rec.periods]


def percentile(values: list[float], fraction: float) -> float:
    """The nearest-rank percentile of values (not empty)."""
    ordered = sorted(values)
    # Rounded first, so that 0.99 * 100 ranks 99, not 100.
    rank = math.ceil(round(fraction * len(ordered), 6))
    return ordered[max(rank, 1) - 1]


def goals(command: Stamped) -> list[tuple[int, float]]:
    """(row index, goal) for each joint a succeeded command set a goal for."""
    m = command.message
    if not m["ok"]:
        return []
    args = m["arguments"]
    if m["command"] == "set_all_goal_positions":
        row = [float(v) for group, _ in GROUPS for v in args["positions"][group]]
        return list(enumerate(row))
    offset = _GOAL_OFFSET.get(m["command"])
    if offset is None:
        return []
    value = args["position"]
    values = value if isinstance(value, list) else [value]
    return [(offset + i, float(v)) for i, v in enumerate(values)]
