"""A virtual Velmora torso: seven Feetech servos behind a pseudo-terminal and three Damiao neck motors
on a user-space CAN bus, simulated in their own process, with faults and timing on demand.

    from velmora_sim import VirtualTorso
    with VirtualTorso() as torso:
        ...  # open torso.serial_device and torso.can_interface as you would the real ones

Command line: ``velmora-sim --help`` (or ``python -m velmora_sim --help``).
"""

from ._preload import preload_library
from .torso import VirtualTorso

__all__ = ["VirtualTorso", "preload_library"]
