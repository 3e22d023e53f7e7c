import enum
import struct

import pytest

from velmora import DataType

TABLE = [
    # member, value, bits, bytes, is_integer, is_signed, min, max, initial
    ("BOOL", 1, 1, 1, False, False, None, None, False),
    ("FLOAT", 2, 32, 4, False, False, None, None, 0.0),
    ("UINT8", 3, 8, 1, True, False, 0, 255, 0),
    ("INT8", 4, 8, 1, True, True, -128, 127, 0),
    ("UINT16", 5, 16, 2, True, False, 0, 65535, 0),
    ("INT16", 6, 16, 2, True, True, -32768, 32767, 0),
    ("UINT32", 7, 32, 4, True, False, 0, 4294967295, 0),
    ("INT32", 8, 32, 4, True, True, -2147483648, 2147483647, 0),
]


def test_is_an_enum_in_declaration_order():
    assert issubclass(DataType, enum.Enum)
    assert [m.name for m in DataType] == [row[0] for row in TABLE]
    assert DataType(5) is DataType.UINT16


@pytest.mark.parametrize("row", TABLE, ids=[r[0] for r in TABLE])
def test_member_attributes(row):
    name, value, bits, nbytes, is_integer, is_signed, lo, hi, initial = row
    t = DataType[name]
    assert t.value == value
    assert (t.bits, t.bytes, t.is_integer, t.is_signed) == (bits, nbytes, is_integer, is_signed)
    init = t.get_initial_value()
    assert init == initial and type(init) is type(initial)
    if lo is None:
        with pytest.raises(NotImplementedError):
            t.min_value
        with pytest.raises(NotImplementedError):
            t.max_value
        return
    assert (t.min_value, t.max_value) == (lo, hi)
    assert t.serialize_value(lo) == (lo + 2**bits if lo < 0 else lo)
    assert t.serialize_value(hi) == hi
    for bad in (lo - 1, hi + 1, 2**70, -(2**70)):
        with pytest.raises(ValueError) as err:
            t.serialize_value(bad)
        assert err.value.args == ()
    for raw in (0, hi, 2**bits - 1):
        assert t.serialize_value(t.unserialize_value(raw)) == raw


@pytest.mark.parametrize(
    "t, value, expected",
    [
        (DataType.INT8, -128, 128),
        (DataType.INT8, -1, 255),
        (DataType.UINT16, 65535, 65535),
        (DataType.BOOL, 1.0, 1),
        (DataType.BOOL, True, 1),
        (DataType.BOOL, 0, 0),
        (DataType.BOOL, 0.0, 0),
        (DataType.FLOAT, 1.0, 0x3F800000),
        (DataType.FLOAT, 1, 0x3F800000),
        (DataType.UINT8, True, 1),
    ],
)
def test_serialize_value(t, value, expected):
    result = t.serialize_value(value)
    assert result == expected and type(result) is int


@pytest.mark.parametrize(
    "t, value, error, message",
    [
        (DataType.INT8, 128, ValueError, None),
        (DataType.UINT16, -1, ValueError, None),
        (DataType.BOOL, 2, ValueError, "Invalid value for BOOL type"),
        (DataType.BOOL, 0.5, ValueError, "Invalid value for BOOL type"),
        (DataType.BOOL, 2**80, ValueError, "Invalid value for BOOL type"),
        (DataType.UINT8, 1.5, TypeError, ...),
        (DataType.UINT8, 2.0, TypeError, ...),
        (DataType.UINT8, 300.5, ValueError, None),
        (DataType.FLOAT, 1e39, OverflowError, ...),
        (DataType.FLOAT, 2**1024, OverflowError, ...),
        (DataType.UINT8, "1", TypeError, ...),
        (DataType.FLOAT, None, TypeError, ...),
    ],
)
def test_serialize_value_errors(t, value, error, message):
    with pytest.raises(error) as err:
        t.serialize_value(value)
    if message is None:
        assert err.value.args == ()
    elif message is not ...:
        assert err.value.args == (message,)
    with pytest.raises(error):
        t.serialize_bytes(value)


def test_float_is_single_precision():
    raw = DataType.FLOAT.serialize_value(0.1)
    assert raw == struct.unpack("<I", struct.pack("<f", 0.1))[0]
    back = DataType.FLOAT.unserialize_value(raw)
    assert back == struct.unpack("<f", struct.pack("<f", 0.1))[0] and back != 0.1
    # Beyond 64 bits but within single precision: packed, not refused.
    assert DataType.FLOAT.serialize_value(2**70) == struct.unpack("<I", struct.pack("<f", 2**70))[0]
    assert DataType.FLOAT.serialize_value(float("inf")) == 0x7F800000
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            DataType.FLOAT.unserialize_value(bad)


@pytest.mark.parametrize(
    "t, raw, expected",
    [
        (DataType.INT16, 0xFFFE, -2),
        (DataType.INT16, 0x7FFF, 32767),
        (DataType.UINT8, 300, 300),
        (DataType.INT32, 0x80000000, -2147483648),
        (DataType.BOOL, 5, True),
        (DataType.BOOL, 0, False),
    ],
)
def test_unserialize_value(t, raw, expected):
    result = t.unserialize_value(raw)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value", [1.0, "3", None, b"\x01"])
def test_unserialize_takes_integers_only(value):
    with pytest.raises(TypeError):
        DataType.UINT8.unserialize_value(value)


@pytest.mark.parametrize(
    "t, value, expected",
    [
        (DataType.BOOL, True, b"\x01"),
        (DataType.BOOL, 0, b"\x00"),
        (DataType.INT16, -2, b"\xfe\xff"),
        (DataType.FLOAT, 1.0, b"\x00\x00\x80\x3f"),
        (DataType.UINT32, 0x01020304, b"\x04\x03\x02\x01"),
    ],
)
def test_serialize_bytes(t, value, expected):
    assert t.serialize_bytes(value) == expected
