"""velmora-doctor: what is wrong with the torso's wiring, before a program runs.

    velmora-doctor [--serial PATH] [--can IFACE] [--json]

Exit status 0 when all ten joints answer as expected, 1 when anything does not.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from .check import examine
from .report import to_json, to_table


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="velmora-doctor",
        description="Check the torso's serial servo bus and CAN neck bus without moving anything: adapters, "
                    "permissions, and every joint's answer. Only reads; never enables torque or writes a register.")
    p.add_argument("--serial", default=os.environ.get("VELMORA_SERIAL"),
                   help="serial device of the servo bus (default: $VELMORA_SERIAL, else the only USB serial "
                        "adapter)")
    p.add_argument("--can", default=os.environ.get("VELMORA_CAN", "can0"),
                   help="CAN interface of the neck (default: $VELMORA_CAN, else can0)")
    p.add_argument("--json", action="store_true", help="print the findings as JSON")
    return p.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    report = examine(args.serial, args.can)
    print(to_json(report) if args.json else to_table(report))
    return 0 if report.ok else 1


if __name__ == "__main__":
    sys.exit(main())
