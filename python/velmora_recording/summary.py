"""velmora-recording summary: what a recording holds, as text."""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterable

from . import schemas
from .contents import Recording, failed_readings, percentile, period_errors

# Longer lists are cut; a fault storm would otherwise bury the rest.
MOST_LISTED = 20
WARNING = 30


def _listed(lines: list[str], what: str) -> Iterable[str]:
    yield from lines[:MOST_LISTED]
    if len(lines) > MOST_LISTED:
        yield f"  ... and {len(lines) - MOST_LISTED} more {what}"


def _ms(seconds: float) -> str:
    return f"{seconds * 1e3:.3f} ms"


def summarize(rec: Recording) -> str:
    out = [f"recording: {rec.path}"]
    if not rec.complete:
        out.append("  cut short: the file has no summary or footer (its writer was stopped before finishing it); "
                   "what follows is what precedes the cut")
    if not rec.message_count:
        out.append("no messages")
        return "\n".join(out)
    out.append(f"start: {rec.started()}")
    out.append(f"duration: {rec.duration_s:.3f} s")

    n = len(rec.position_times)
    span = (max(rec.position_times) - min(rec.position_times)) / 1e9 if n else 0.0
    rate = f", {(n - 1) / span:.1f} a second" if n > 1 and span > 0 else ""
    out.append(f"readings: {n}{rate}")

    runs = failed_readings(rec)
    out.append(f"failed readings: {sum(r.count for r in runs)}"
               + (f" in {len(runs)} stretch{'es' if len(runs) != 1 else ''}" if runs else ""))
    out.extend(_listed([f"  {rec.seconds(r.start_ns):.3f}-{rec.seconds(r.end_ns):.3f} s: {r.count} failed "
                        f"({r.first_error})" for r in runs], "stretches"))

    command_faults = [f for f in rec.faults if f.message["source"] != schemas.READING_SOURCE]
    out.append(f"command faults: {len(command_faults)}")
    out.extend(_listed([f"  {rec.seconds(f.time_ns):.3f} s {f.message['source']}: {f.message['error']}"
                        for f in command_faults], "faults"))

    nominal, errors = period_errors(rec)
    if errors:
        out.append(f"period error over {len(errors)} ticks, against {_ms(nominal)} (the median period): "
                   f"p50 {_ms(percentile(errors, 0.5))}, p99 {_ms(percentile(errors, 0.99))}, "
                   f"max {_ms(max(errors))}")
    else:
        out.append("period error: no ticks recorded")

    out.append(f"commands: {len(rec.commands)}")
    executed = Counter(str(c.message["command"]) for c in rec.commands)
    failed = Counter(str(c.message["command"]) for c in rec.commands if not c.message["ok"])
    width = max((len(name) for name in executed), default=0)
    for name, count in sorted(executed.items()):
        out.append(f"  {name:<{width}}  {count}" + (f" ({failed[name]} failed)" if failed[name] else ""))

    warnings = [r for r in rec.log if r.message["level"] >= WARNING]
    out.append(f"log records: {len(rec.log)}, {len(warnings)} of them warnings or worse")
    out.extend(_listed([f"  {rec.seconds(r.time_ns):.3f} s {r.message['logger']}: {r.message['message']}"
                        for r in warnings], "warnings"))
    out.append(f"bus traffic: {rec.serial_packets} serial packets, {rec.can_frames} CAN frames")
    return "\n".join(out)
