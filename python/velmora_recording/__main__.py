"""velmora-recording: look at a recording of the control loop.

    velmora-recording summary FILE
    velmora-recording plot FILE -o PNG
    velmora-recording candump FILE -o LOG [--interface can0] [--direction tx|rx]

Each also reads a recording whose writer was killed before finishing it, up to
its last whole chunk. Exit status 1 when the file cannot be read.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from mcap.exceptions import McapError
from mcap.stream_reader import CRCValidationError

from .candump import write_candump
from .contents import load
from .plot import MissingMatplotlib, plot
from .reading import RecordingFile
from .summary import summarize


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="velmora-recording",
                                description="Look at a recording of VelmoraPyControlLoop (an MCAP file).")
    sub = p.add_subparsers(dest="command", required=True)
    s = sub.add_parser("summary", help="what the recording holds: duration, readings, faults, timing, commands")
    s.add_argument("file")
    s = sub.add_parser("plot", help="a PNG of the joints against time, with the goals, failures and period error")
    s.add_argument("file")
    s.add_argument("-o", "--output", required=True, metavar="PNG")
    s = sub.add_parser("candump", help="the CAN frames as a candump -L log (canplayer replays it)")
    s.add_argument("file")
    s.add_argument("-o", "--output", required=True, metavar="LOG", help="the log file, or - for standard output")
    s.add_argument("--interface", default="can0", help="the interface name written in each line (default can0)")
    s.add_argument("--direction", choices=("tx", "rx"),
                   help="only the frames the host sent (tx) or received (rx); default both")
    return p.parse_args(argv)


def _cut_short_note(path: str) -> None:
    print(f"velmora-recording: {path} was cut short (its writer was stopped before finishing it); "
          "used what precedes the cut", file=sys.stderr)


def run(args: argparse.Namespace) -> None:
    if args.command == "summary":
        print(summarize(load(args.file)))
    elif args.command == "plot":
        rec = load(args.file)
        plot(rec, args.output)
        if not rec.complete:
            _cut_short_note(args.file)
    else:
        source = RecordingFile(args.file)
        if args.output == "-":
            write_candump(source, sys.stdout, args.interface, args.direction)
        else:
            with open(args.output, "w", encoding="ascii") as out:
                write_candump(source, out, args.interface, args.direction)
        if not source.complete:
            _cut_short_note(args.file)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        run(args)
    except BrokenPipeError:
        # The reader of our output went away (| head): not this file's fault.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as e:
        print(f"velmora-recording: {e.filename or args.file}: {e.strerror or e}", file=sys.stderr)
        return 1
    except (McapError, CRCValidationError) as e:
        print(f"velmora-recording: {args.file} is not a readable recording: {e}", file=sys.stderr)
        return 1
    except (KeyError, TypeError, ValueError) as e:
        print(f"velmora-recording: {args.file} holds a message this tool cannot read: {e!r}", file=sys.stderr)
        return 1
    except MissingMatplotlib as e:
        print(f"velmora-recording: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
