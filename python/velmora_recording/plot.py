"""velmora-recording plot: the joints against time with their commanded goals, and the loop's period error."""

from __future__ import annotations

import os

from .contents import JOINTS, ROWS, Recording, failed_readings, goals, period_errors



class MissingMatplotlib(RuntimeError):
    def __init__(self) -> None:
        super().__init__("velmora-recording plot needs matplotlib, which is not installed: "
                         "pip install 'velmora_motor_controller[plot]'")

# Each panel's joints, as indices into a position row.
_PANELS = (("arms", range(ROWS["left_arm"].start, ROWS["right_arm"].stop)), ("nose", ROWS["nose"]),
           ("neck", ROWS["neck"]))


def plot(rec: Recording, png: str) -> None:
    """Draws the recording into a PNG file; MissingMatplotlib without matplotlib."""
    try:
        # Imported here: matplotlib is an optional extra, and only this command needs it.
        import numpy as np
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as e:
        raise MissingMatplotlib() from e

    fig = Figure(figsize=(12, 11), layout="constrained")
    FigureCanvasAgg(fig)  # rendered off screen, whatever backend the environment names
    axes = fig.subplots(len(_PANELS) + 1, 1, sharex=True, height_ratios=[3] * len(_PANELS) + [2])
    title = os.path.basename(rec.path) + ("" if rec.complete else " (cut short: read up to its last whole chunk)")
    fig.suptitle(f"{title}\nsolid: positions read; dashed: commanded goals; shaded: failed readings")

    end_s = rec.seconds(rec.end_ns)
    nominal, errors = period_errors(rec)
    # A failure with no good reading after it still gets a visible stripe.
    least = nominal or 1e-3
    failed = [(rec.seconds(r.start_ns), max(rec.seconds(r.end_ns), rec.seconds(r.start_ns) + least))
              for r in failed_readings(rec)]
    order = np.argsort(rec.position_times, kind="stable")
    times = np.array([rec.seconds(t) for t in rec.position_times])[order]
    rows = np.array(rec.positions).reshape(-1, len(JOINTS))[order]
    # A gap in each line where readings failed, rather than a line across it.
    gaps = np.searchsorted(times, [start for start, _ in failed])
    times = np.insert(times, gaps, [start for start, _ in failed])
    rows = np.insert(rows, gaps, np.nan, axis=0)
    steps: dict[int, list[tuple[float, float]]] = {}
    for command in sorted(rec.commands, key=lambda c: c.time_ns):
        for joint, goal in goals(command):
            steps.setdefault(joint, []).append((rec.seconds(command.time_ns), goal))

    for ax, (name, joints) in zip(axes, _PANELS):
        for k, joint in enumerate(joints):
            color = f"C{k}"
            ax.plot(times, rows[:, joint], color=color, linewidth=1.2, label=JOINTS[joint])
            if joint in steps:
                # Each goal holds until the next one, the last until the end of the recording.
                xs, ys = zip(*steps[joint], (end_s, steps[joint][-1][1]))
                ax.step(xs, ys, where="post", color=color, linestyle="--", linewidth=1)
        ax.set_ylabel(f"{name} (rad)")
        ax.legend(loc="upper right", fontsize="small", ncols=len(joints))
        ax.grid(alpha=0.3)

    period_ax = axes[-1]
    if errors:
        period_ax.plot([rec.seconds(t) for t in rec.tick_times], np.array(errors) * 1e3, linewidth=0.8)
        period_ax.set_title(f"period error: |period - {nominal * 1e3:.3f} ms| (the median period)", fontsize="medium")
    else:
        period_ax.set_title("period error: no ticks recorded", fontsize="medium")
    period_ax.set_ylabel("period error (ms)")
    period_ax.grid(alpha=0.3)

    for start, stop in failed:
        for ax in axes:
            ax.axvspan(start, stop, color="tab:red", alpha=0.25, linewidth=0)

    period_ax.set_xlabel(f"time since {rec.started('seconds')} (s)")
    period_ax.set_xlim(0, max(end_s, least))
    fig.savefig(png, dpi=100)
