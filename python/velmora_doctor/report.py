"""The examination as a table for people, or as JSON for programs."""

from __future__ import annotations

import dataclasses
import json

from .check import Report


def to_json(report: Report) -> str:
    data = dataclasses.asdict(report)
    data["ok"] = report.ok
    return json.dumps(data, indent=2)


def _signed(value: float | None, digits: int = 4) -> str:
    return "-" if value is None else f"{value:+.{digits}f}"


def _serial_lines(report: Report) -> list[str]:
    lines = ["USB serial adapters"]
    for a in report.adapters:
        timer = "-" if a.latency_timer_ms is None else f"{a.latency_timer_ms} ms"
        lines.append(f"  {a.device:<14} {a.vid_pid or '?':<10} {a.driver or '?':<12} latency timer {timer}")
    if not report.adapters:
        lines.append("  none found")
    lines.append(f"Serial port {report.serial_port or '(none)'}")
    dev = report.serial
    if dev is not None:
        if not dev.exists:
            lines.append("  device    missing")
        else:
            real = f" -> {dev.real_path}" if dev.real_path and dev.real_path != dev.path else ""
            lines.append(f"  device    {dev.mode} {dev.owner}:{dev.group}{real}")
            lines.append(f"  access    {'read and write' if dev.accessible else 'refused'}")
            if dev.locked_by_other is not None:
                lines.append(f"  lock      {'held by another process' if dev.locked_by_other else 'free'}")
    if report.serial_error:
        lines.append(f"  open      failed: {report.serial_error}")
    return lines


def _servo_row(*cells: object) -> str:
    sid, joint, model, supply, temp, position, offset, eeprom, torque = cells
    return (f"  {sid:>2}  {joint:<16} {model:>5}  {supply:>6}  {temp:>4}  {position:>8}  {offset:>8}  "
            f"{eeprom:<8}  {torque}")


def _servo_lines(report: Report) -> list[str]:
    lines = ["Servos", _servo_row("id", "joint", "model", "supply", "temp", "position", "offset", "eeprom", "torque")]
    for s in report.servos:
        if not s.answers:
            lines.append(f"  {s.id:>2}  {s.joint:<16} -- {s.error or 'no answer'}")
            continue
        lines.append(_servo_row(s.id, s.joint, s.model, f"{s.voltage:.1f} V", f"{s.temperature} C",
                                _signed(s.position), _signed(s.offset), "locked" if s.eeprom_locked else "unlocked",
                                "on" if s.torque else "off"))
    return lines


def _can_lines(report: Report) -> list[str]:
    lines = [f"CAN interface {report.can_bus}"]
    can = report.can
    if can is not None:
        if can.in_sysfs:
            state = "up" if can.up else "down" if can.up is False else can.operstate or "?"
            kind = "" if can.is_can is not False else " (not a CAN device)"
            rate = f", {can.bitrate} bit/s" if can.bitrate is not None else ", bitrate unknown"
            controller = f", controller {can.controller_state.lower()}" if can.controller_state else ""
            lines.append(f"  kernel    {state}{kind}{rate}{controller}")
        else:
            lines.append("  kernel    not in /sys/class/net" +
                         (" (a user-space bus: the module opened it)" if report.can_error is None else ""))
    lines.append(f"  open      {'failed: ' + report.can_error if report.can_error else 'ok'}")
    return lines


def _motor_row(*cells: object) -> str:
    cid, joint, position, velocity, status, temperatures, mode = cells
    return f"  {cid:>2}  {joint:<11} {position:>9}  {velocity:>9}  {status:<22}  {temperatures:<15}  {mode}"


def _motor_lines(report: Report) -> list[str]:
    lines = ["Neck motors", _motor_row("id", "joint", "position", "velocity", "status", "temp mos/rotor",
                                       "control mode")]
    for m in report.motors:
        if not m.answers:
            lines.append(f"  {m.can_id:>2}  {m.joint:<11} -- {m.error or 'no answer'}")
            continue
        mode = "?" if m.control_mode is None else f"{m.control_mode} {m.control_mode_name}"
        lines.append(_motor_row(m.can_id, m.joint, _signed(m.position), _signed(m.velocity), m.status_name,
                                f"{m.mos_temperature}/{m.rotor_temperature} C", mode))
    return lines


def _size(n: int | None) -> str:
    if n is None:
        return "unlimited"
    return f"{n // 1024} KiB" if n < 1 << 20 else f"{n / (1 << 20):g} MiB"


def _realtime_lines(report: Report) -> list[str]:
    rt = report.realtime
    if rt is None:
        return []
    if rt.allowed:
        why = "CAP_SYS_NICE" if rt.cap_sys_nice else f"RLIMIT_RTPRIO {rt.rtprio_limit}" if rt.rtprio_limit else \
            "RLIMIT_RTPRIO unlimited"
        allowed = f"allowed up to priority {rt.max_priority} ({why})"
    else:
        allowed = "not allowed (no CAP_SYS_NICE, RLIMIT_RTPRIO 0)"
    return ["Real-time scheduling", f"  SCHED_FIFO    {allowed}", f"  locked memory {_size(rt.memlock_bytes)}"]


def to_table(report: Report) -> str:
    lines = [*_serial_lines(report), *_servo_lines(report), *_can_lines(report), *_motor_lines(report),
             *_realtime_lines(report)]
    if report.hints:
        lines.append("Hints")
        lines += [f"  - {hint}" for hint in report.hints]
    if report.problems:
        lines.append("Problems")
        lines += [f"  - {problem}" for problem in report.problems]
        lines.append(f"Result: {len(report.problems)} problem{'s' if len(report.problems) > 1 else ''}")
    else:
        lines.append("Result: all 10 joints answer as expected")
    return "\n".join(lines)
