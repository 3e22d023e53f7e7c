import pytest

from velmora import (
    DataType,
    Dictionary,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DictionaryMap,
    FSOEFrame,
)

HEADER = "Item".ljust(40) + " | Position bytes..bits | Size bytes..bits    "


def make_map(*items, accepted=None):
    accepted = accepted or {DictionaryItemInputOutput, DictionaryItemOutput}
    return DictionaryMap(Dictionary(list(items)), accepted)


def words(frame):
    return list(frame.safe_data)


def test_byte_and_word_example():
    a = DictionaryItemInputOutput(1, "a", DataType.UINT8, 0)
    b = DictionaryItemInputOutput(2, "b", DataType.UINT16, 0)
    m = make_map(a, b)
    m.add(a)
    m.add(b)
    a.set(0x01)
    b.set(0x1234)
    frame = FSOEFrame(11)
    m._set_data_to_frame(frame=frame)
    assert words(frame) == [0x3401, 0x0012, 0, 0, 0, 0, 0, 0]
    assert frame.get_safe_data_bytes()[:4] == b"\x01\x34\x12\x00"
    m._get_data_from_frame(frame=frame)
    assert (a.get(), b.get()) == (0x01, 0x1234)


@pytest.mark.parametrize(
    "lead, data_type, bits, value, expected",
    [
        (14, DataType.UINT8, 4, 0xB, [0xC000, 0x0002]),  # a nibble over a word boundary
        (4, DataType.FLOAT, None, -2.5, [0x0000, 0x0200, 0x000C]),
        (96, DataType.INT32, None, -(2**31), [0, 0, 0, 0, 0, 0, 0x0000, 0x8000]),
    ],
)
def test_straddling_values(lead, data_type, bits, value, expected):
    item = DictionaryItemInputOutput(1, "v", data_type, 99)
    m = make_map(item)
    m.add_padding(lead)
    m.insert(1, item, bits)
    item.set(value)
    frame = FSOEFrame(36)
    frame.set_safe_data_bytes(b"\xff" * 16)
    m._set_data_to_frame(frame)
    assert words(frame) == expected + [0] * (8 - len(expected))
    m._get_data_from_frame(frame)
    assert item.get() == value and type(item.get()) is type(value)


def test_narrow_and_empty_entries_stay_in_their_bits():
    wide = DictionaryItemInputOutput(1, "wide", DataType.UINT8, 0)
    ghost = DictionaryItemInputOutput(2, "ghost", DataType.UINT8, 7)
    bit = DictionaryItemInputOutput(3, "bit", DataType.BOOL, True)
    m = make_map(wide, ghost, bit)
    m.add(wide, bits=4)
    m.add(ghost, bits=0)
    m.add(bit)
    wide.set(0xFF)
    ghost.set(0xFF)
    bit.set(False)
    frame = FSOEFrame(11)
    m._set_data_to_frame(frame)
    assert words(frame)[0] == 0x000F  # cut to 4 bits; the bit after it stays 0
    m._get_data_from_frame(frame)
    assert (wide.get(), ghost.get(), bit.get()) == (0xF, 7, False)


def test_maps_beyond_the_safe_data_are_refused():
    item = DictionaryItemInputOutput(1, "late", DataType.UINT8, 0)
    m = make_map(item)
    m.add_padding(128)
    m.add(item)
    frame = FSOEFrame(36)
    frame.set_safe_data_bytes(bytes(range(16)))
    for transfer in (m._set_data_to_frame, m._get_data_from_frame):
        with pytest.raises(ValueError) as err:
            transfer(frame)
        assert err.value.args == ("Frame structure cannot handle more than 16 bytes",)
    assert frame.get_safe_data_bytes() == bytes(range(16))
    assert item.get() == 0


def test_frame_argument_type():
    m = make_map()
    for bad in (None, b"\x00" * 16, 3):
        with pytest.raises(TypeError):
            m._set_data_to_frame(bad)
        with pytest.raises(TypeError):
            m._get_data_from_frame(bad)


def test_subscribers_run_in_layout_order_once_the_frame_is_read():
    first = DictionaryItemInput(1, "first", DataType.UINT8, 0)
    second = DictionaryItemInput(2, "second", DataType.UINT8, 0)
    m = make_map(first, second, accepted={DictionaryItemInput})
    m.add(first)
    m.add(second)
    seen = []
    first.subscribe_changed(lambda: seen.append(("first", first.get(), second.get())))
    second.subscribe_changed(lambda: seen.append(("second", first.get(), second.get())))
    frame = FSOEFrame(11)
    frame.set_safe_data_bytes(b"\x05\x06")
    m._get_data_from_frame(frame)
    # Every value of the frame is stored before the first subscriber runs.
    assert seen == [("first", 5, 6), ("second", 5, 6)]
    m._get_data_from_frame(frame)  # unchanged values notify nobody
    assert len(seen) == 2


def test_text_representation():
    mode = DictionaryItemOutput(1, "mode", DataType.UINT8)
    m = make_map(mode)
    assert m.get_text_representation() == HEADER
    m.add(mode)
    m.add_padding(4)
    assert m.get_text_representation(item_space=10) == (
        "Item       | Position bytes..bits | Size bytes..bits    \n"
        "mode       | 0..0                 | 1..0                \n"
        "Padding    | 1..0                 | 0..4                "
    )
    assert m.get_text_representation(0).startswith("Item | Position")
    with pytest.raises(TypeError):
        m.get_text_representation("40")
    with pytest.raises(OverflowError):
        m.get_text_representation(-1)


@pytest.mark.parametrize("name", ["Größe", "速度", "x\u0301", "😀 stop"])
def test_text_representation_pads_names_by_characters(name):
    item = DictionaryItemOutput(1, name, DataType.UINT8)
    m = make_map(item)
    m.add(item)
    rows = m.get_text_representation(item_space=12).split("\n")
    # As str.ljust pads: the columns line up however many bytes a character takes.
    assert rows[1] == name.ljust(12) + " | " + "0..0".ljust(20) + " | " + "1..0".ljust(20)
    assert rows[1].index("|") == rows[0].index("|")
