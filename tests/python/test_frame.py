"""Frame objects as the host sees them: sizes, codec, views, control fields, CRCs, errors."""
import copy
import gc
import pickle
import random

import pytest

import velmora
from velmora import FSOECommand, FSOEFrame

TOO_MUCH = "Frame structure cannot handle more than 16 bytes"


def frame_with(size, command=FSOECommand.PROCESS_DATA, seq=1, conn=0, crc0=0, data=()):
    frame = FSOEFrame(0)
    frame.safe_data_size_bytes = size
    frame.control.command = command
    frame.control.sequence_number = seq
    frame.control.connection_id = conn
    frame.control.crc0 = crc0
    for i, word in enumerate(data):
        frame.safe_data[i] = word
    return frame


# ---- sizes and construction ----------------------------------------------------------------

@pytest.mark.parametrize("length, size", [(0, 0), (4, 0), (5, 1), (6, 1), (7, 2), (8, 2), (9, 2),
                                          (10, 2), (11, 4), (13, 4), (15, 6), (35, 16), (36, 16)])
def test_size_follows_length(length, size):
    assert FSOEFrame(length).safe_data_size_bytes == size


def test_default_frame_is_empty():
    frame = FSOEFrame()
    assert frame.safe_data_size_bytes == 0
    assert list(frame.safe_data) == [0] * 8 and list(frame.crcs) == [0] * 8
    c = frame.control
    assert (c.sequence_number, c.connection_id, c.crc0) == (0, 0, 0)
    assert not c.command_is_valid()


@pytest.mark.parametrize("length, error", [(37, ValueError), (2**70, ValueError),
                                           (-1, OverflowError), (-(2**70), OverflowError),
                                           (7.0, TypeError), ("7", TypeError), (None, TypeError)])
def test_bad_lengths(length, error):
    with pytest.raises(error) as info:
        FSOEFrame(length)
    if error is ValueError:
        assert info.value.args == (TOO_MUCH,)


# ---- decoding and encoding -------------------------------------------------------------------

def reference_decode(pdu):
    """The wire layout, written out independently of the library."""
    words = (len(pdu) + 1) // 2
    n = 0 if words <= 2 else words - 2
    if n > 1 and n % 2:
        n -= 1
    padded = bytes(pdu) + bytes(40)
    le16 = lambda at: padded[at] | padded[at + 1] << 8  # noqa: E731
    if n == 1:
        return n, padded[0], [padded[1]], [le16(2)], le16(4)
    blocks = (n + 1) // 2
    data = [le16(1 + 4 * i) for i in range(blocks)]
    crcs = [le16(3 + 4 * i) for i in range(blocks)]
    return n, padded[0], data, crcs, le16(1 + 4 * blocks)


@pytest.mark.parametrize("length", range(41))
def test_decode_every_length(length):
    rng = random.Random(length)
    pdu = bytes(rng.randrange(256) for _ in range(length))
    if length > 36:
        with pytest.raises(ValueError) as info:
            FSOEFrame.frame_from_array(pdu)
        assert info.value.args == (TOO_MUCH,)
        existing = frame_with(2, data=[0x1234])
        with pytest.raises(ValueError):
            existing._frame_from_array(pdu)
        assert existing.safe_data_size_bytes == 2 and existing.safe_data[0] == 0x1234
        return
    frame = FSOEFrame.frame_from_array(pdu)
    n, command, data, crcs, conn = reference_decode(pdu)
    assert frame.safe_data_size_bytes == n
    assert frame.control.command_is_valid() == FSOECommand.has_value(command)
    assert list(frame.safe_data) == data + [0] * (8 - len(data))
    assert list(frame.crcs) == crcs + [0] * (8 - len(crcs))
    assert frame.control.connection_id == conn
    assert (frame.control.sequence_number, frame.control.crc0) == (0, 0)
    encoded = frame.frame_to_array()
    assert len(encoded) == {0: 3, 1: 6}.get(n, 2 * n + 3)
    if length >= len(encoded):
        assert encoded == pdu[: len(encoded)]


def test_seven_byte_example():
    frame = frame_with(2, conn=0x0102, data=[0x1234])
    frame.crcs[0] = 0xABCD
    assert frame.frame_to_array() == bytes.fromhex("36 34 12 CD AB 02 01")
    back = FSOEFrame.frame_from_array(bytearray.fromhex("36 34 12 CD AB 02 01 FF"))
    assert (back.safe_data_size_bytes, back.safe_data[0], back.crcs[0]) == (2, 0x1234, 0xABCD)
    assert back.control.command is FSOECommand.PROCESS_DATA
    assert back.control.connection_id == 0x0102


@pytest.mark.parametrize("size", [0, 1, 2, 4, 6, 8, 10, 12, 14, 16])
def test_round_trip_keeps_all_but_sequence_and_crc0(size):
    rng = random.Random(size)
    frame = frame_with(size, command=FSOECommand.SESSION, seq=77, conn=rng.randrange(65536),
                       crc0=0x4444, data=[rng.randrange(65536) for _ in range(8)])
    frame.generate_crcs()
    back = FSOEFrame.frame_from_array(frame.frame_to_array())
    assert back.safe_data_size_bytes == size
    assert back.control.command is FSOECommand.SESSION
    assert back.control.connection_id == frame.control.connection_id
    blocks = (size + 1) // 2
    mask = 0xFF if size == 1 else 0xFFFF
    assert [w & mask for w in list(frame.safe_data)[:blocks]] == list(back.safe_data)[:blocks]
    assert list(frame.crcs)[:blocks] == list(back.crcs)[:blocks]
    assert (back.control.sequence_number, back.control.crc0) == (0, 0)
    back.control.sequence_number, back.control.crc0 = 77, 0x4444
    assert back.check_crcs()


def test_decode_into_existing_frame_keeps_sequence_and_crc0():
    frame = frame_with(16, seq=0x1111, crc0=0x2222, data=[0xEEEE] * 8)
    frame._frame_from_array(bytes.fromhex("2A 05 00 C4 2D 09 00"))
    assert frame.safe_data_size_bytes == 2
    assert list(frame.safe_data) == [5] + [0] * 7
    assert (frame.control.sequence_number, frame.control.crc0) == (0x1111, 0x2222)
    assert frame.control.connection_id == 9


@pytest.mark.parametrize("size, length", [(3, 7), (5, 11), (15, 31)])
def test_odd_sizes_encode_as_next_smaller_even_size(size, length):
    frame = frame_with(size, data=list(range(1, 9)))
    pdu = frame.frame_to_array()
    assert len(pdu) == length
    assert FSOEFrame.frame_from_array(pdu).safe_data_size_bytes == size - 1


def test_frame_from_array_makes_a_frame_of_the_calling_class():
    class MyFrame(FSOEFrame):
        pass

    frame = MyFrame.frame_from_array(b"\x2a\x01\x00")
    assert type(frame) is MyFrame
    assert frame.control.connection_id == 1
    assert type(FSOEFrame.frame_from_array(b"")) is FSOEFrame


def test_frame_from_array_uses_the_class_own_decoder():
    calls = []

    class Traced(FSOEFrame):
        def _frame_from_array(self, data):
            calls.append(bytes(data))
            super()._frame_from_array(data)

    frame = Traced.frame_from_array(b"\x2a\x05\x00\xc4\x2d\x00\x00")
    assert calls == [b"\x2a\x05\x00\xc4\x2d\x00\x00"]
    assert frame.safe_data[0] == 5


@pytest.mark.parametrize("data", ["abc", [1, 2, 3], 5, None])
def test_decoding_needs_bytes(data):
    with pytest.raises(TypeError):
        FSOEFrame.frame_from_array(data)
    with pytest.raises(TypeError):
        FSOEFrame(7)._frame_from_array(data)


# ---- safe data -------------------------------------------------------------------------------

def test_set_safe_data_bytes_packs_little_endian_and_clears_the_rest():
    frame = frame_with(16, data=[0xFFFF] * 8)
    frame.set_safe_data_bytes(b"\x0a\x0b\x0c")
    assert list(frame.safe_data) == [0x0B0A, 0x0C, 0, 0, 0, 0, 0, 0]
    assert frame.safe_data_size_bytes == 16
    frame.set_safe_data_bytes(memoryview(bytes(range(16))))
    assert frame.get_safe_data_bytes() == bytes(range(16))


def test_set_safe_data_bytes_refuses_more_than_16_and_keeps_the_old_data():
    frame = frame_with(4, data=[1, 2])
    with pytest.raises(ValueError) as info:
        frame.set_safe_data_bytes(bytes(17))
    assert info.value.args == (TOO_MUCH,)
    assert list(frame.safe_data)[:2] == [1, 2]
    with pytest.raises(TypeError):
        frame.set_safe_data_bytes("ab")


def test_get_safe_data_bytes_is_always_16_bytes():
    frame = FSOEFrame(6)
    frame.safe_data[0] = 0x3412
    frame.safe_data[7] = 0xBBAA
    assert frame.get_safe_data_bytes() == b"\x12\x34" + bytes(12) + b"\xaa\xbb"


@pytest.mark.parametrize("value, error", [(17, ValueError), (2**64, ValueError),
                                          (-1, OverflowError), (1.0, TypeError)])
def test_safe_data_size_setter_errors_leave_the_size(value, error):
    frame = FSOEFrame(11)
    with pytest.raises(error) as info:
        frame.safe_data_size_bytes = value
    if error is ValueError:
        assert info.value.args == (TOO_MUCH,)
    assert frame.safe_data_size_bytes == 4


# ---- views ------------------------------------------------------------------------------------

def test_u16_array_rules():
    frame = FSOEFrame(35)
    data = frame.safe_data
    assert len(data) == 8 and len(frame.crcs) == 8
    data[7] = 65535
    assert data[7] == 65535 and frame.safe_data[7] == 65535
    with pytest.raises(IndexError) as info:
        data[8]
    assert info.value.args == ()
    for index in (-1, 65536, 2**70):
        with pytest.raises(OverflowError):
            data[index]
    with pytest.raises(IndexError):
        data[8] = 1
    for value in (-1, 65536):
        with pytest.raises(OverflowError):
            data[0] = value
    with pytest.raises(TypeError):
        data[0] = 1.5
    with pytest.raises(TypeError):
        data["0"]
    with pytest.raises(TypeError):
        del data[0]
    assert data[0] == 0 and data[7] == 65535
    assert list(data) == [0] * 7 + [65535]
    data.clear()
    assert list(data) == [0] * 8


def test_empty_u16_array():
    array = velmora.U16Array()
    assert len(array) == 0 and list(array) == []
    with pytest.raises(IndexError):
        array[0]
    array.clear()


def test_views_are_read_only_attributes():
    frame = FSOEFrame(7)
    for name in ("control", "safe_data", "crcs"):
        with pytest.raises(AttributeError):
            setattr(frame, name, None)


@pytest.mark.parametrize("view", ["control", "safe_data", "crcs"])
def test_views_keep_their_frame_alive(view):
    obj = getattr(FSOEFrame(35), view)
    gc.collect()
    filler = [FSOEFrame(35) for _ in range(100)]  # reuse any freed memory
    for f in filler:
        f.set_safe_data_bytes(b"\xff" * 16)
    if view == "control":
        obj.crc0 = 0x1234
        assert obj.crc0 == 0x1234 and obj.sequence_number == 0
    else:
        obj[3] = 0x5678
        assert list(obj) == [0, 0, 0, 0x5678, 0, 0, 0, 0]


def test_control_fields():
    c = FSOEFrame(7).control
    c.command = FSOECommand.CONNECTION
    assert c.command is FSOECommand.CONNECTION and c.command_is_valid()
    for name in ("sequence_number", "connection_id", "crc0"):
        setattr(c, name, 65535)
        for bad, error in ((65536, OverflowError), (-1, OverflowError), (2**70, OverflowError),
                           ("1", TypeError)):
            with pytest.raises(error):
                setattr(c, name, bad)
        assert getattr(c, name) == 65535
    for bad in (0x64, velmora.BaseError.INVALID_CMD, "CONNECTION", None):
        with pytest.raises(TypeError):
            c.command = bad
    assert c.command is FSOECommand.CONNECTION


def test_unknown_command_read_is_the_enumeration_value_error():
    frame = FSOEFrame.frame_from_array(b"\x2b\x00\x00")
    assert not frame.control.command_is_valid()
    with pytest.raises(ValueError) as info:
        frame.control.command
    assert info.value.args == ("43 is not a valid FSOECommand",)


@pytest.mark.parametrize("start, after", [(0, 1), (1, 2), (65534, 65535), (65535, 1)])
def test_increment_sequence_number(start, after):
    c = FSOEFrame().control
    c.sequence_number = start
    c.increment_sequence_number()
    assert c.sequence_number == after


@pytest.mark.parametrize("obj", [lambda: FSOEFrame(7), lambda: FSOEFrame(7).control,
                                 lambda: FSOEFrame(7).safe_data, lambda: FSOEFrame(7).crcs])
def test_pickling_and_copying_are_refused(obj):
    target = obj()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(target, protocol)
    with pytest.raises(TypeError):
        copy.deepcopy(target)


# ---- CRCs -------------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "size, command, seq, conn, crc0, data, crcs",
    [
        (2, FSOECommand.RESET, 1, 0, 0, [0], [0x2DC4]),
        (1, FSOECommand.PROCESS_DATA, 1, 0, 0, [0x12], [0x92BD]),
        (1, FSOECommand.PROCESS_DATA, 0x1234, 0xABCD, 0xBEEF, [0x12], [0xC7EC]),
        (4, FSOECommand.PROCESS_DATA, 1, 0, 0, [0x1234, 0x5678], [0xFDEB, 0xA275]),
        (6, FSOECommand.PROCESS_DATA, 0x1234, 0xABCD, 0xBEEF, [0x1234, 0x5678, 0x9ABC],
         [0xAE54, 0xC19F, 0xA68F]),
    ],
)
def test_reference_block_crcs(size, command, seq, conn, crc0, data, crcs):
    frame = frame_with(size, command, seq, conn, crc0, data)
    frame.generate_crcs()
    assert list(frame.crcs) == crcs + [0] * (8 - len(crcs))
    assert frame.calc_crc0() == crcs[0]
    assert frame.check_crcs()
    # Through the wire and back, with the receiver's sequence number and reference CRC_0.
    received = FSOEFrame.frame_from_array(frame.frame_to_array())
    assert not received.check_crcs()
    received.control.sequence_number, received.control.crc0 = seq, crc0
    assert received.check_crcs()


def test_one_byte_frame_ignores_the_high_byte():
    frame = frame_with(1, data=[0xFF12])
    frame.generate_crcs()
    assert frame.crcs[0] == 0x92BD
    assert frame.frame_to_array()[1] == 0x12


@pytest.mark.parametrize("field", ["command", "sequence_number", "connection_id", "crc0"])
def test_every_control_field_enters_every_crc(field):
    frame = frame_with(16, seq=5, conn=6, crc0=7, data=range(8))
    frame.generate_crcs()
    before = list(frame.crcs)
    if field == "command":
        frame.control.command = FSOECommand.FAILSAFE_DATA
    else:
        setattr(frame.control, field, getattr(frame.control, field) + 1)
    assert not frame.check_crcs()
    frame.generate_crcs()
    assert all(a != b for a, b in zip(before, frame.crcs))


def test_generate_leaves_crcs_beyond_the_blocks():
    frame = frame_with(2)
    frame.crcs[1] = 0x7777
    frame.generate_crcs()
    assert frame.crcs[1] == 0x7777


def test_empty_frame_checks_true():
    frame = FSOEFrame(3)
    frame.crcs[0] = 0x1234
    assert frame.check_crcs()


def colliding_frame(size=2, seq=1):
    """A frame whose next CRC_0 equals the returned last CRC_0: the edge case fires."""
    frame = frame_with(size, seq=seq, crc0=0x4321, data=[0x0A0B])
    return frame, frame.calc_crc0()


@pytest.mark.parametrize("size", [1, 2, 16])
@pytest.mark.parametrize("seq", [1, 300, 65535])
def test_cyclic_generation_and_check_advance_alike(size, seq):
    sender, last = colliding_frame(size, seq)
    sender.generate_crcs_cyclic(last)
    expected = 1 if seq == 65535 else seq + 1
    assert sender.control.sequence_number == expected
    assert sender.crcs[0] != last
    receiver = FSOEFrame.frame_from_array(sender.frame_to_array())
    receiver.control.sequence_number, receiver.control.crc0 = seq, 0x4321
    assert receiver.check_crcs_cyclic(last)
    assert receiver.control.sequence_number == expected


def test_cyclic_without_collision_keeps_the_sequence_number():
    frame, crc = colliding_frame()
    for last in (crc ^ 1, -1, 65536, 2**70):
        frame.control.sequence_number = 1
        frame.generate_crcs_cyclic(last)
        assert frame.control.sequence_number == 1 and frame.crcs[0] == crc
        assert frame.check_crcs_cyclic(last)
        assert frame.control.sequence_number == 1


def test_cyclic_check_fails_for_a_wrong_frame():
    frame, last = colliding_frame()
    frame.generate_crcs_cyclic(last)
    frame.control.sequence_number = 1
    frame.safe_data[0] ^= 1
    assert frame.check_crcs_cyclic(last) is False


def test_cyclic_generation_without_safe_data():
    frame = FSOEFrame(3)
    frame.control.sequence_number = 9
    frame.crcs[0] = 0x1357
    with pytest.raises(RuntimeError) as info:
        frame.generate_crcs_cyclic(0x1357)
    assert info.value.args == ("Cannot generate cyclic CRCs for a frame without safe data",)
    assert frame.control.sequence_number == 9 and frame.crcs[0] == 0x1357
    frame.generate_crcs_cyclic(0x1358)
    assert frame.control.sequence_number == 9


@pytest.mark.parametrize("method", ["generate_crcs_cyclic", "check_crcs_cyclic"])
@pytest.mark.parametrize("last", [1.0, "1", None])
def test_cyclic_needs_an_integer(method, last):
    with pytest.raises(TypeError):
        getattr(FSOEFrame(7), method)(last)


def test_check_returns_booleans():
    frame = frame_with(2)
    assert frame.check_crcs() is False
    frame.generate_crcs()
    assert frame.check_crcs() is True
