"""The topics of a recording and the JSON Schema of each one's messages.

Viewers take the field names (and descriptions) they show from these schemas,
and the tool reads the messages by the same names, so this is the one place
where a recording's layout is written down.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Final

POSITION: Final = "/velmora/position"
FAULT: Final = "/velmora/fault"
COMMAND: Final = "/velmora/command"
TIMING: Final = "/velmora/timing"
LOG: Final = "/velmora/log"
SERIAL: Final = "/velmora/serial"
CAN: Final = "/velmora/can"

# The source of a fault that a reading, not a command, raised.
READING_SOURCE: Final = "reading"

ARM_JOINTS: Final = ("pitch", "yaw")
NOSE_JOINTS: Final = ("top", "left", "right")
NECK_JOINTS: Final = ("yaw", "pitch", "roll")


@dataclass(frozen=True)
class Topic:
    name: str
    schema_name: str
    schema: dict[str, Any]


def _number(description: str) -> dict[str, Any]:
    return {"type": "number", "description": description}


def _text(description: str) -> dict[str, Any]:
    return {"type": "string", "description": description}


def _joints(group: str, joints: tuple[str, ...]) -> dict[str, Any]:
    return {
        "type": "array",
        "items": {"type": "number"},
        "minItems": len(joints),
        "maxItems": len(joints),
        "description": f"{group} joint positions in rad: [{', '.join(joints)}]",
    }


def _direction() -> dict[str, Any]:
    return {"type": "string", "enum": ["tx", "rx"], "description": "tx: sent by the host; rx: received by it"}


def _object(title: str, properties: dict[str, dict[str, Any]]) -> dict[str, Any]:
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "title": title,
        "type": "object",
        "properties": properties,
        "required": list(properties),
    }


TOPICS: Final = (
    Topic(POSITION, "velmora.Position", _object("A reading of all ten joints", {
        "timestamp": _number("wall clock when the reading was taken, s since the epoch"),
        "left_arm": _joints("left arm", ARM_JOINTS),
        "right_arm": _joints("right arm", ARM_JOINTS),
        "nose": _joints("nose", NOSE_JOINTS),
        "neck": _joints("neck", NECK_JOINTS),
    })),
    Topic(FAULT, "velmora.Fault", _object("A failed reading or a failed command", {
        "source": _text(f'"{READING_SOURCE}", or the name of the loop method whose command failed'),
        "error": _text("the error's text"),
    })),
    Topic(COMMAND, "velmora.Command", _object("A command the loop executed", {
        "command": _text("the name of the loop method that queued it"),
        "arguments": {
            "type": "object",
            "description": "the method's arguments by parameter name, after the loop's clamping; bytes as hex",
        },
        "ok": {"type": "boolean", "description": "whether the command succeeded"},
        "error": {"type": ["string", "null"], "description": "the error's text when it failed, else null"},
        "duration_s": _number("how long executing it took, s"),
    })),
    Topic(TIMING, "velmora.Timing", _object("One tick of the loop", {
        "period_s": _number("time since the previous tick started, s"),
        "read_s": _number("time the tick's reading took, s"),
    })),
    Topic(LOG, "velmora.Log", _object("A record the module logged", {
        "level": {"type": "integer", "description": "the Python logging level (10 debug ... 50 critical)"},
        "logger": _text("the logger's name"),
        "message": _text("the record's text"),
    })),
    Topic(SERIAL, "velmora.SerialPacket", _object("A packet on the servo bus", {
        "direction": _direction(),
        "data": _text("the packet's bytes in hex"),
    })),
    Topic(CAN, "velmora.CanFrame", _object("A frame on the neck's CAN bus", {
        "direction": _direction(),
        "id": {"type": "integer", "description": "the frame's identifier, without flag bits"},
        "data": _text("the frame's data bytes in hex"),
    })),
)
