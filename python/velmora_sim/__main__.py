"""Command line of the virtual torso.

    velmora-sim [options]                  start it, say where it is, take steering commands on stdin
    velmora-sim [options] run -- PROGRAM   start it, run PROGRAM against it, exit with PROGRAM's status
"""

from __future__ import annotations

import os
import shlex
import signal
import subprocess
import sys
from types import FrameType
from typing import TextIO

from ._options import build_parser, check_outages, start_torso
from ._steering import execute
from .torso import VirtualTorso


def announce(torso: VirtualTorso, out: TextIO) -> None:
    print(f"velmora-sim: virtual torso running (pid {torso.pid})", file=out)
    if torso.serial_device:
        # The stable path for programs; the pseudo-terminal behind it changes when the adapter is replugged.
        pty = torso.link_state()["serial_pty"] or "(adapter unplugged)"
        print(f"  serial device  {torso.serial_device} -> {pty}", file=out)
    else:
        print("  serial device  (none: neck only)", file=out)
    print(f"  CAN interface  {torso.can_interface}  (hub in {torso.vcan_dir})", file=out)
    env = torso.env()
    if "LD_PRELOAD" not in env:
        print("  warning: libvelmora_vcan.so not found; programs cannot open the CAN interface "
              "(build the velmora_vcan target or set VELMORA_VCAN_PRELOAD)", file=out)
    print("  for a program in another shell:", file=out)
    print("    export " + " ".join(f"{k}={shlex.quote(v)}" for k, v in sorted(env.items())), file=out)
    out.flush()


def serve_foreground(torso: VirtualTorso) -> int:
    announce(torso, sys.stdout)
    interactive = sys.stdin is not None and sys.stdin.isatty()
    if interactive:
        print("type 'help' for commands; Ctrl-C or 'quit' stops", flush=True)
    try:
        while True:
            if interactive:
                print("velmora-sim> ", end="", flush=True)
            line = sys.stdin.readline() if sys.stdin is not None else ""
            if not line:
                # No more commands (stdin closed or not a terminal): run until a signal.
                while True:
                    signal.pause()
            try:
                text = execute(torso, line)
            except EOFError:
                break
            except (ValueError, KeyError, RuntimeError) as e:
                text = f"error: {e}"
            if text:
                print(text, flush=True)
    except KeyboardInterrupt:
        pass
    return 0


def run_program(torso: VirtualTorso, program: list[str]) -> int:
    env = dict(os.environ)
    env.update(torso.env())
    if "LD_PRELOAD" not in env or not env["LD_PRELOAD"]:
        print("velmora-sim: warning: libvelmora_vcan.so not found; the program cannot open the CAN interface",
              file=sys.stderr)
    # Ctrl-C reaches the program through the terminal; we wait for it to finish and report its status.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        try:
            process = subprocess.Popen(program, env=env)
        except OSError as e:
            print(f"velmora-sim: cannot run {program[0]}: {e.strerror or e}", file=sys.stderr)
            return 127 if isinstance(e, FileNotFoundError) else 126
        # A termination request is passed on: the program decides how to end, we report how it did.
        signal.signal(signal.SIGTERM, lambda signum, frame: process.send_signal(signal.SIGTERM))
        code = process.wait()
    finally:
        signal.signal(signal.SIGINT, previous)
    return 128 - code if code < 0 else code


def split_run(argv: list[str]) -> tuple[list[str], list[str] | None]:
    """Options before 'run' belong to the torso; everything after it (less a leading '--') is the program."""
    if "run" not in argv:
        return argv, None
    i = argv.index("run")
    program = argv[i + 1:]
    if program[:1] == ["--"]:
        program = program[1:]
    return argv[:i], program


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    options, program = split_run(argv)
    parser = build_parser()
    args = parser.parse_args(options)
    if program is not None and not program:
        parser.error("run needs a program: velmora-sim run -- PROGRAM [ARGS...]")
    check_outages(parser, args)

    def on_term(signum: int, frame: FrameType | None) -> None:
        raise KeyboardInterrupt  # unwinds through the torso's context manager, which stops it cleanly

    signal.signal(signal.SIGTERM, on_term)
    try:
        torso = start_torso(args)
    except (OSError, RuntimeError, ValueError, KeyError) as e:
        print(f"velmora-sim: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    with torso:
        try:
            if program is None:
                return serve_foreground(torso)
            return run_program(torso, program)
        except KeyboardInterrupt:  # asked to stop before the program started, or while announcing
            return 0 if program is None else 130


if __name__ == "__main__":
    sys.exit(main())
