"""The servo side of the virtual torso, driven over its pseudo-terminal with plain reads and writes."""

import os
import time

import pytest

from simwire import open_port, packet, read_exactly, silent, status, transact

PING, READ, WRITE, REBOOT, SYNC_READ, SYNC_WRITE = 0x01, 0x02, 0x03, 0x08, 0x82, 0x83


@pytest.fixture
def port(torso):
    fd = open_port(torso.serial_device)
    yield fd
    os.close(fd)


def read_u16(fd, servo_id, address):
    reply = transact(fd, packet(servo_id, READ, bytes([address, 2])), 8)
    assert reply[:5] == bytes([0xFF, 0xFF, servo_id, 4, 0]), reply.hex()
    return int.from_bytes(reply[5:7], "little")


def write(fd, servo_id, address, data):
    assert transact(fd, packet(servo_id, WRITE, bytes([address]) + data), 6) == status(servo_id)


def test_documented_packets_get_the_documented_replies(torso, port):
    assert transact(port, bytes.fromhex("FFFF010201FB"), 6) == bytes.fromhex("FFFF010200FC")
    assert transact(port, bytes.fromhex("FFFF0104023802BE"), 8) == bytes.fromhex("FFFF0104000008F2")
    # Sync read: one reply per id, in the order the ids were asked for, not in id order.
    replies = transact(port, packet(0xFE, SYNC_READ, bytes([56, 2, 3, 1, 2])), 24)
    assert [replies[i + 2] for i in (0, 8, 16)] == [3, 1, 2]
    assert replies[:8] == status(3, b"\x00\x08")
    # Sync write of torque enable to 5 and 6: no reply, registers changed.
    os.write(port, bytes.fromhex("FFFFFE0883280105010600 41".replace(" ", "")))
    assert silent(port)
    assert torso.servo_registers(5)[40] == 1 and torso.servo_registers(6)[40] == 0
    assert torso.serial_rx()[-1] == bytes.fromhex("FFFFFE08832801050106004 1".replace(" ", ""))


def test_split_coalesced_and_garbled_input_is_framed(port):
    ping1, ping2 = packet(1, PING), packet(2, PING)
    for b in ping1:  # one byte at a time
        os.write(port, bytes([b]))
    assert read_exactly(port, 6) == status(1)
    os.write(port, ping1 + ping2)  # two packets in one write
    assert read_exactly(port, 12) == status(1) + status(2)
    os.write(port, b"\x00\x13\xff\x42" + b"\xff" + ping2)  # garbage, a stray header byte, then a packet
    assert read_exactly(port, 6) == status(2)
    bad = bytearray(ping1)
    bad[-1] ^= 1
    os.write(port, bytes(bad))  # a servo ignores a packet whose checksum fails...
    assert silent(port)
    assert transact(port, ping2, 6) == status(2)  # ...and still answers the next one
    os.write(port, b"\xff\xff\x01\x20\x03")  # a client that died early in a long packet
    time.sleep(0.1)
    assert transact(port, ping2, 6) == status(2)  # the stale half does not swallow the next packet


def test_port_survives_the_client_closing_and_reopening_it(torso, port):
    os.close(open_port(torso.serial_device))
    assert transact(port, packet(4, PING), 6) == status(4)
    second = open_port(torso.serial_device)
    try:
        assert transact(second, packet(7, PING), 6) == status(7)
    finally:
        os.close(second)


def test_registers_memory_read_write_and_sync_write(torso, port):
    regs = torso.servo_registers(2)
    assert len(regs) == 256
    assert (regs[5], regs[7], regs[21], regs[22], regs[23], regs[55]) == (2, 0, 32, 32, 0, 1)
    write(port, 2, 46, (1234).to_bytes(2, "little"))
    assert read_u16(port, 2, 46) == 1234
    # Sync write of goal positions 1000 and 3000 to ids 3 and 4.
    os.write(port, packet(0xFE, SYNC_WRITE, bytes([42, 2, 3]) + (1000).to_bytes(2, "little")
                           + bytes([4]) + (3000).to_bytes(2, "little")))
    assert silent(port)
    assert read_u16(port, 3, 42) == 1000 and read_u16(port, 4, 42) == 3000
    # A read running past the end of the memory gets what there is.
    assert transact(port, packet(1, READ, bytes([254, 4])), 8) == status(1, torso.servo_registers(1)[254:])


def test_present_position_moves_toward_the_goal_only_with_torque(torso, port):
    torso.set_servo_position(1, 1000)
    assert read_u16(port, 1, 56) == 1000 and read_u16(port, 1, 42) == 1000
    write(port, 1, 42, (3000).to_bytes(2, "little"))
    time.sleep(0.05)
    assert read_u16(port, 1, 56) == 1000  # torque off: the shaft stays
    write(port, 1, 46, (1000).to_bytes(2, "little"))  # goal speed, steps/s
    write(port, 1, 40, b"\x01")
    time.sleep(0.1)
    midway = read_u16(port, 1, 56)
    assert 1000 < midway < 3000  # moving at a finite speed
    time.sleep(2.1)
    assert read_u16(port, 1, 56) == 3000
    assert torso.servo_registers(1)[66] == 0  # no longer moving


def test_offset_is_guarded_by_the_lock_and_arm_homing_arithmetic_lands_on_zero(torso, port):
    torso.set_servo_position(3, 2500)
    write(port, 3, 31, (0x0100).to_bytes(2, "little"))
    assert read_u16(port, 3, 31) == 0  # locked: EEPROM write ignored
    write(port, 3, 55, b"\x00")
    write(port, 3, 31, (0x0100).to_bytes(2, "little"))
    assert read_u16(port, 3, 31) == 0x0100
    assert read_u16(port, 3, 56) == 2500 - 256  # present = encoder - offset
    write(port, 3, 31, (0x0900).to_bytes(2, "little"))  # bit 11: negative
    assert read_u16(port, 3, 56) == 2500 + 256
    write(port, 3, 31, (0x1900).to_bytes(2, "little"))  # with a higher bit also set it reads positive
    assert read_u16(port, 3, 56) == 2500 - 256
    write(port, 3, 31, (0x0900).to_bytes(2, "little"))
    # What arm homing does: new offset = present + old offset (in radians, offset steps of pi/2047),
    # wrapped into [-pi, pi]; afterwards the same pose reads about 0 rad.
    import math
    present = read_u16(port, 3, 56) * 2 * math.pi / 4096 - math.pi
    offset = -((0x0900 & 0x7FF) * math.pi / 2047)
    new = present + offset
    new = (new + math.pi) % (2 * math.pi) - math.pi
    magnitude = int(abs(new) * 2047 / math.pi)
    write(port, 3, 31, (magnitude | (0x800 if new < 0 else 0)).to_bytes(2, "little"))
    write(port, 3, 55, b"\x01")
    after = read_u16(port, 3, 56) * 2 * math.pi / 4096 - math.pi
    assert abs(after) < 0.01
    torso.servo_registers(3)  # and it holds across a reboot (EEPROM)
    assert transact(port, packet(3, REBOOT), 6) == status(3)
    time.sleep(0.1)
    assert abs(read_u16(port, 3, 56) * 2 * math.pi / 4096 - math.pi) < 0.01


def test_settings_written_while_locked_last_until_the_next_power_cycle(torso, port):
    write(port, 5, 21, bytes([50, 10, 3]))  # P, D, I
    assert transact(port, packet(5, READ, bytes([21, 3])), 9) == status(5, bytes([50, 10, 3]))
    assert transact(port, packet(5, REBOOT), 6) == status(5)
    time.sleep(0.08)
    assert transact(port, packet(5, READ, bytes([21, 3])), 9) == status(5, bytes([32, 32, 0]))
    write(port, 5, 55, b"\x00")
    write(port, 5, 21, bytes([50, 10, 3]))
    assert transact(port, packet(5, REBOOT), 6) == status(5)
    time.sleep(0.08)
    assert transact(port, packet(5, READ, bytes([21, 3])), 9) == status(5, bytes([50, 10, 3]))


def test_reboot_answers_then_goes_silent_and_resets_ram():
    from velmora_sim import VirtualTorso
    with VirtualTorso(reboot_time=0.5) as torso:
        port = open_port(torso.serial_device)
        try:
            write(port, 3, 40, b"\x01")
            write(port, 3, 55, b"\x00")
            write(port, 3, 42, (2100).to_bytes(2, "little"))
            assert transact(port, bytes.fromhex("FFFF030208F2"), 6) == status(3)
            assert transact(port, packet(3, PING), 6, timeout=0.02) == b""  # still booting
            assert transact(port, packet(4, PING), 6) == status(4)  # the others are not
            time.sleep(0.55)
            regs = torso.servo_registers(3)
            assert (regs[40], regs[55]) == (0, 1)
            assert regs[42:44] == regs[56:58]  # goal = present after power-up
            assert transact(port, packet(3, PING), 6) == status(3)
        finally:
            os.close(port)


def test_supply_voltage_can_be_set_and_ramped(torso, port):
    assert transact(port, packet(1, READ, bytes([62, 1])), 7) == status(1, bytes([120]))
    torso.set_voltage(6, 95)
    assert transact(port, packet(6, READ, bytes([62, 1])), 7)[5] == 95
    torso.ramp_voltage(0, 120, 1.0)
    first = [transact(port, packet(i, READ, bytes([62, 1])), 7)[5] for i in range(1, 8)]
    assert max(first) < 60
    assert transact(port, packet(1, READ, bytes([62, 1])), 7)[4] & 0x01  # voltage error bit while low
    time.sleep(1.05)
    assert [transact(port, packet(i, READ, bytes([62, 1])), 7)[5] for i in range(1, 8)] == [120] * 7


def test_reply_faults(torso, port):
    torso.unplug_servo(2)
    assert transact(port, packet(2, PING), 6, timeout=0.03) == b""
    # Replies stop at the silent servo: the client times out where servo 2 should have answered.
    replies = transact(port, packet(0xFE, SYNC_READ, bytes([56, 2, 1, 2, 3])), 24, timeout=0.05)
    assert replies == status(1, b"\x00\x08")
    torso.unplug_servo(2, False)

    torso.corrupt_next_reply(1)
    bad = transact(port, packet(1, PING), 6)
    assert bad[:5] == status(1)[:5] and bad != status(1)
    assert transact(port, packet(1, PING), 6) == status(1)  # only the next reply

    torso.wrong_id_next_reply(4, count=2)
    assert transact(port, packet(4, PING), 6)[2] != 4
    assert transact(port, packet(4, PING), 6)[2] != 4
    assert transact(port, packet(4, PING), 6) == status(4)

    torso.out_of_order_sync_read()
    replies = transact(port, packet(0xFE, SYNC_READ, bytes([56, 2, 5, 6, 7])), 24)
    assert [replies[i + 2] for i in (0, 8, 16)] == [7, 6, 5]
    replies = transact(port, packet(0xFE, SYNC_READ, bytes([56, 2, 5, 6, 7])), 24)
    assert [replies[i + 2] for i in (0, 8, 16)] == [5, 6, 7]

    torso.inject_serial_noise(b"\xff\x00\x55")
    assert read_exactly(port, 3) == b"\xff\x00\x55"


def test_reply_delay_and_wire_timing(torso, port):
    torso.set_servo_reply_delay(0.03)
    started = time.monotonic()
    assert transact(port, packet(1, PING), 6) == status(1)
    assert time.monotonic() - started >= 0.03
    torso.set_servo_reply_delay(0)
    from velmora_sim import VirtualTorso
    with VirtualTorso(wire_timing=True) as timed:
        fd = open_port(timed.serial_device)
        try:
            # Return delay 250 x 2 us on each servo: four replies cannot be complete before 2 ms.
            os.write(fd, packet(0xFE, SYNC_WRITE, bytes([7, 1, 1, 250, 2, 250, 3, 250, 4, 250])))
            time.sleep(0.01)
            started = time.monotonic()
            assert len(transact(fd, packet(0xFE, SYNC_READ, bytes([56, 2, 1, 2, 3, 4])), 32)) == 32
            assert time.monotonic() - started >= 4 * 500e-6 + (12 + 32) * 10e-6
        finally:
            os.close(fd)


def test_measured_values_are_read_only_from_the_bus_and_silence_is_explained(torso, port):
    write(port, 1, 56, (100).to_bytes(2, "little"))
    write(port, 1, 62, bytes([10]))
    regs = torso.servo_registers(1)
    assert regs[56:58] == (2048).to_bytes(2, "little") and regs[62] == 120
    torso.unplug_servo(2)
    transact(port, packet(0xFE, SYNC_READ, bytes([56, 2, 1, 2, 9])), 8)
    assert transact(port, packet(2, PING), 6, timeout=0.02) == b""
    lines = torso.trace_lines()
    assert "(servo 2 unplugged, later ids wait for it: no answer)" in lines[-3]
    assert lines[-1].endswith("PING (servo 2 unplugged: no answer)")


def test_deferred_write_action_and_factory_reset(torso, port):
    REG_WRITE, ACTION, RESET = 0x04, 0x05, 0x06
    goal = bytes([42]) + (1500).to_bytes(2, "little")
    assert transact(port, packet(1, REG_WRITE, goal), 6) == status(1)
    assert read_u16(port, 1, 42) == 2048  # held back...
    os.write(port, packet(0xFE, ACTION))
    assert silent(port)  # a broadcast gets no answer
    assert read_u16(port, 1, 42) == 1500  # ...until the action
    write(port, 2, 55, b"\x00")
    write(port, 2, 21, bytes([50]))
    assert transact(port, packet(2, RESET), 6) == status(2)
    regs = torso.servo_registers(2)
    assert (regs[5], regs[21], regs[55]) == (2, 32, 1)  # factory gains, same id, locked again
