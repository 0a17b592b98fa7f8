"""Argument binding and conversion texts, through velmora_testmod, which runs the
same converters as the module's classes."""

import datetime
import re
import sys

import pytest


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


def raises(exc, text, fn, *args, **kwargs):
    """Calls fn and checks the exception type exactly (no subclass) and its full text."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == text


def test_float_parameters_take_what_float_conversion_takes(testmod):
    assert testmod.f64(1.25) == 1.25
    assert testmod.f64(3) == 3.0 and testmod.f64(True) == 1.0
    assert testmod.f64(Floaty()) == 2.5
    assert testmod.f64(Index(7)) == 7.0
    raises(TypeError, "argument 'value': must be real number, not str", testmod.f64, "1.0")
    raises(TypeError, "argument 'value': must be real number, not NoneType", testmod.f64, None)


@pytest.mark.parametrize("fn, top", [("u8", 255), ("u16", 65535), ("u64", 2**64 - 1), ("usize", 2**64 - 1)])
def test_unsigned_parameters_keep_their_range(testmod, fn, top):
    convert = getattr(testmod, fn)
    assert convert(0) == 0 and convert(top) == top
    assert convert(Index(top)) == top
    with pytest.raises(OverflowError):
        convert(top + 1)
    with pytest.raises(OverflowError):
        convert(-1)
    raises(TypeError, "argument 'value': 'float' object cannot be interpreted as an integer", convert, 1.0)
    raises(TypeError, "argument 'value': 'str' object cannot be interpreted as an integer", convert, "1")


def test_bool_parameters_take_only_true_and_false(testmod):
    assert testmod.boolean(True) is True and testmod.boolean(False) is False
    for value, name in [(1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float")]:
        raises(TypeError, f"argument 'enable': '{name}' object cannot be converted to 'PyBool'",
               testmod.boolean, value)


def test_bool_parameters_take_numpy_booleans(testmod):
    numpy = pytest.importorskip("numpy")
    assert testmod.boolean(numpy.bool_(True)) is True
    assert testmod.boolean(numpy.bool_(False)) is False
    with pytest.raises(TypeError, match="argument 'enable'"):
        testmod.boolean(numpy.int64(1))


def test_fixed_length_positions(testmod):
    assert testmod.position([1, 2.5, -3]) == [1.0, 2.5, -3.0]
    assert testmod.position((0.0, 0.0, 0.0)) == [0.0, 0.0, 0.0]
    assert testmod.position(range(3)) == [0.0, 1.0, 2.0]
    # Wrong lengths are ValueErrors and keep their text (no argument prefix).
    raises(ValueError, "expected a sequence of length 3 (got 2)", testmod.position, [1.0, 2.0])
    raises(ValueError, "expected a sequence of length 3 (got 4)", testmod.position, [0] * 4)
    raises(ValueError, "expected a sequence of length 3 (got 0)", testmod.position, [])
    raises(TypeError, "argument 'position': 'int' object cannot be converted to 'Sequence'", testmod.position, 5)
    raises(TypeError, "argument 'position': 'set' object cannot be converted to 'Sequence'",
           testmod.position, {1, 2, 3})
    raises(TypeError, "argument 'position': must be real number, not str", testmod.position, [1.0, "x", 2.0])


def test_id_lists(testmod):
    assert testmod.ids([1, 2, 7]) == b"\x01\x02\x07"
    assert testmod.ids((0, 255)) == b"\x00\xff"
    assert testmod.ids([]) == b""
    assert testmod.ids(b"\x05\x06") == b"\x05\x06"
    raises(TypeError, "argument 'ids': Can't extract `str` to `Vec`", testmod.ids, "12")
    raises(TypeError, "argument 'ids': Can't extract `str` to `Vec`", testmod.ids, "")
    raises(TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'", testmod.ids, 1)
    raises(TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer", testmod.ids, [1.0])
    with pytest.raises(OverflowError):
        testmod.ids([1, 256])
    with pytest.raises(OverflowError):
        testmod.ids([-1])


def test_durations_take_only_non_negative_timedeltas_to_the_microsecond(testmod):
    td = datetime.timedelta
    assert testmod.duration_us(td(0)) == 0
    assert testmod.duration_us(td(microseconds=1)) == 1
    assert testmod.duration_us(td(milliseconds=10)) == 10_000
    assert testmod.duration_us(td(days=2, seconds=3, microseconds=4)) == (2 * 86400 + 3) * 10**6 + 4

    class Sub(td):
        pass

    assert testmod.duration_us(Sub(seconds=1)) == 10**6
    with pytest.raises(ValueError):
        testmod.duration_us(td(microseconds=-1))
    with pytest.raises(ValueError):
        testmod.duration_us(td(days=-1, hours=23))
    for value, name in [(0.01, "float"), (10, "int"), (None, "NoneType"), ("1s", "str")]:
        raises(TypeError, f"argument 'read_position_loop_period': '{name}' object cannot be converted to 'PyDelta'",
               testmod.duration_us, value)
    # Beyond what 64-bit microseconds hold: refused rather than wrapped round.
    with pytest.raises(OverflowError):
        testmod.duration_us(td.max)
    assert testmod.optional_duration_us(None) is None
    assert testmod.optional_duration_us(td(seconds=2)) == 2 * 10**6


def test_strings_and_byte_strings(testmod):
    assert testmod.string("can0") == "can0"
    assert testmod.string("/dev/ttyµ") == "/dev/ttyµ"
    raises(TypeError, "argument 'can_bus': 'NoneType' object cannot be converted to 'PyString'", testmod.string, None)
    raises(TypeError, "argument 'can_bus': 'bytes' object cannot be converted to 'PyString'", testmod.string, b"can0")
    with pytest.raises(UnicodeEncodeError):
        testmod.string("\udcff")

    class Blob(bytes):
        pass

    assert testmod.byte_string(b"\xff\x00") == b"\xff\x00"
    assert testmod.byte_string(Blob(b"ab")) == b"ab"
    for value, name in [(bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), ("x", "str"),
                        ([1], "list")]:
        raises(TypeError, f"argument 'data': '{name}' object cannot be converted to 'PyBytes'",
               testmod.byte_string, value)


def test_instances_of_a_required_class(testmod):
    class Wanted:
        pass

    class Derived(Wanted):
        pass

    w, d = Wanted(), Derived()
    assert testmod.instance_of(w, Wanted) is w and testmod.instance_of(d, Wanted) is d
    raises(TypeError, "argument 'positions': 'list' object cannot be converted to "
                      "'test_instances_of_a_required_class.<locals>.Wanted'", testmod.instance_of, [0.0], Wanted)


def test_binding_uses_the_interpreters_wording_and_defaults(testmod):
    td = datetime.timedelta
    assert testmod.probe(None, td(milliseconds=10)) == (None, 10_000, "can0", 5)
    assert testmod.probe("/dev/ttyUSB0", td(0), "can1", 7) == ("/dev/ttyUSB0", 0, "can1", 7)
    assert testmod.probe(read_position_loop_period=td(0), serialport=None, allowed_retries=0) == (None, 0, "can0", 0)

    def wording(*args, **kwargs):
        with pytest.raises(TypeError) as info:
            testmod.probe(*args, **kwargs)
        return str(info.value)

    assert re.fullmatch(r"Probe\.__new__\(\) missing required argument 'serialport' \(pos 1\)", wording())
    assert "read_position_loop_period" in wording(None)
    assert wording(None, td(0), "can0", 5, 6) == "Probe.__new__() takes at most 4 arguments (5 given)"
    unknown = ("Probe.__new__() got an unexpected keyword argument 'bogus'" if sys.version_info >= (3, 13)
               else "'bogus' is an invalid keyword argument for Probe.__new__()")  # reworded in 3.13
    assert wording(None, td(0), bogus=1) == unknown
    assert wording(None, td(0), serialport=None) == \
        "argument for Probe.__new__() given by name ('serialport') and position (1)"
    # Conversion failures name the parameter, including keyword-given ones.
    assert wording(None, 0.01) == \
        "argument 'read_position_loop_period': 'float' object cannot be converted to 'PyDelta'"
    assert wording(None, td(0), can_bus=None) == \
        "argument 'can_bus': 'NoneType' object cannot be converted to 'PyString'"
