"""Where virtual CAN interfaces live: interface NAME is the hub socket NAME in one directory."""

from __future__ import annotations

import os

DEFAULT_DIR = "/tmp/velmora-vcan"

# Kernel interface names hold at most 15 characters (IFNAMSIZ 16 with the NUL).
_MAX_NAME = 15


def interface_dir(directory: str | None = None) -> str:
    """The directory holding the hub sockets: the argument, else $VELMORA_VCAN_DIR, else the default."""
    if directory is not None:
        return os.fspath(directory)
    return os.environ.get("VELMORA_VCAN_DIR") or DEFAULT_DIR


def interface_path(name: str, directory: str | None = None) -> str:
    check_name(name)
    return os.path.join(interface_dir(directory), name)


def check_name(name: str) -> None:
    if not isinstance(name, str):
        raise TypeError("interface name must be a str")
    if not name or len(name) > _MAX_NAME or "/" in name or "\0" in name or name in (".", ".."):
        raise ValueError(f"invalid CAN interface name: {name!r}")
