"""User-space CAN bus: a hub and participants over AF_UNIX SOCK_SEQPACKET.

A virtual interface NAME exists while a hub listens at ``$VELMORA_VCAN_DIR/NAME``
(default directory ``/tmp/velmora-vcan``). Every message on the socket is one
Linux kernel frame structure: 16 bytes (``struct can_frame``) or 72 bytes
(``struct canfd_frame``). The hub forwards each frame from one participant to
every other participant on the interface, never back to the sender, as a real
bus does. Programs written against SocketCAN join through the LD_PRELOAD
library ``libvelmora_vcan.so``; Python code joins with ``VcanEndpoint``.

Run a hub on its own with ``python -m velmora_sim.vcan NAME [--dir DIR]``.
"""

from .endpoint import VcanEndpoint
from .frame import (CAN_EFF_FLAG, CAN_EFF_MASK, CAN_ERR_FLAG, CAN_MTU, CAN_RTR_FLAG, CAN_SFF_MASK, CANFD_BRS,
                    CANFD_FDF, CANFD_MTU, Frame)
from .hub import VcanBus
from .interfaces import DEFAULT_DIR, interface_dir, interface_path

__all__ = ["CAN_EFF_FLAG", "CAN_EFF_MASK", "CAN_ERR_FLAG", "CAN_MTU", "CAN_RTR_FLAG", "CAN_SFF_MASK", "CANFD_BRS",
           "CANFD_FDF", "CANFD_MTU", "DEFAULT_DIR", "Frame", "VcanBus", "VcanEndpoint", "interface_dir",
           "interface_path"]
