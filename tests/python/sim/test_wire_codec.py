"""The simulator's own codec against the wire vectors the C++ codec tests read: the two are written
apart, so a shared misreading of the protocol shows here as a disagreement with the vectors."""

import pytest

from simwire import WIRE_VECTORS
from velmora_sim import damiao, feetech


def test_feetech_packets_frame_and_build_as_the_vectors_say():
    instructions = WIRE_VECTORS["feetech_instructions"]
    # Back to back on the line, as a controller sends them.
    packets = feetech.PacketStream().feed(b"".join(bytes.fromhex(v["bytes"]) for v in instructions))
    assert [(p.id, p.instruction, p.params, p.checksum_ok) for p in packets] == [
        (v["id"], v["instruction"], bytes.fromhex(v["params"]), True) for v in instructions]
    for v in WIRE_VECTORS["feetech_status"]:
        assert feetech.status_packet(v["id"], v["error"], bytes.fromhex(v["params"])) == bytes.fromhex(v["bytes"]), \
            v["name"]


def test_mit_payloads_decode_and_encode_as_the_vectors_say():
    limits = WIRE_VECTORS["mit_limits"]
    for v in WIRE_VECTORS["mit_commands"]:
        lim = limits[v["limits"]]
        command = damiao.decode_command(bytes.fromhex(v["bytes"]), lim["p_max"], lim["v_max"], lim["t_max"])
        # Each field within one code step of the value the payload was made from.
        steps = {"position": 2 * lim["p_max"] / 65535, "velocity": 2 * lim["v_max"] / 4095,
                 "kp": lim["kp_max"] / 4095, "kd": lim["kd_max"] / 4095, "torque": 2 * lim["t_max"] / 4095}
        for name, step in steps.items():
            assert abs(getattr(command, name) - v[name]) <= step, (v["name"], name)
    for v in WIRE_VECTORS["mit_feedback"]:
        lim, s = limits[v["limits"]], v["state"]
        ranges = (lim["p_max"], lim["v_max"], lim["t_max"])
        data = damiao.encode_feedback(s["motor_id"], s["status"], s["position"], s["velocity"], s["torque"],
                                      *ranges, s["mos_temperature"], s["rotor_temperature"])
        assert data == bytes.fromhex(v["bytes"]), v["name"]
        decoded = damiao.decode_feedback(data, *ranges)
        assert {k: decoded[k] for k in v["decoded"]} == pytest.approx(v["decoded"], abs=1e-6), v["name"]
