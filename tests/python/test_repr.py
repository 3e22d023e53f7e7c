"""Reprs of items, dictionaries, maps, map entries, dynamic items and dynamic maps."""
import pytest

from velmora import (
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DictionaryMap,
    DynamicMappableItem,
    FSOEDynamicMap,
    FSOEFrame,
)

OUTPUTS = {DictionaryItemOutput, DictionaryItemInputOutput}


@pytest.mark.parametrize(
    "make, expected",
    [
        (
            lambda: DictionaryItemOutput(1, "speed", DataType.UINT16),
            "<DictionaryItemOutput 'speed' key=1 type=UINT16 value=0>",
        ),
        (
            lambda: DictionaryItemInput(-7, "mode", DataType.INT8, -3),
            "<DictionaryItemInput 'mode' key=-7 type=INT8 value=-3>",
        ),
        (
            lambda: DictionaryItemInput(2, "stop", DataType.BOOL, True),
            "<DictionaryItemInput 'stop' key=2 type=BOOL value=True>",
        ),
        (
            lambda: DictionaryItemInputOutput(3, "torque", DataType.FLOAT, 1.5),
            "<DictionaryItemInputOutput 'torque' key=3 type=FLOAT value_input=1.5 value_output=0.0>",
        ),
        (
            lambda: DictionaryItem(4, "bare", DataType.UINT32),
            "<DictionaryItem 'bare' key=4 type=UINT32>",
        ),
        # The name is shown as Python shows a string: quotes and control characters escaped.
        (
            lambda: DictionaryItemOutput(5, "it's\n<&>", DataType.BOOL),
            "<DictionaryItemOutput \"it's\\n<&>\" key=5 type=BOOL value=False>",
        ),
    ],
)
def test_item_repr(make, expected):
    assert repr(make()) == expected


def test_item_repr_follows_the_current_values():
    out = DictionaryItemOutput(1, "speed", DataType.UINT16)
    out.set(1200)
    inp = DictionaryItemInput(2, "pos", DataType.INT16, 0)
    inp._write(0xFFFF)
    both = DictionaryItemInputOutput(3, "both", DataType.UINT8, 0)
    both.set(9)
    both._write(4)
    assert repr(out).endswith("value=1200>")
    assert repr(inp).endswith("value=-1>")
    assert repr(both).endswith("value_input=4 value_output=9>")


def test_subclass_repr_names_the_subclass_and_survives_a_missing_init():
    class Speed(DictionaryItemOutput):
        pass

    class Broken(DictionaryItemOutput):
        def __init__(self):  # never calls the base constructor
            pass

    assert repr(Speed(1, "s", DataType.UINT8)) == "<Speed 's' key=1 type=UINT8 value=0>"
    assert repr(Broken()) == "<Broken (uninitialized)>"


def test_dictionary_repr_lists_item_reprs_in_order():
    class Custom(DictionaryItemOutput):
        def __repr__(self):
            return "<custom>"

    a = DictionaryItemInput(2, "a", DataType.UINT8, 0)
    b = Custom(1, "b", DataType.UINT8)
    assert repr(Dictionary([a, b])) == f"<Dictionary 2 items: {a!r}, <custom>>"
    assert repr(Dictionary([a])) == f"<Dictionary 1 item: {a!r}>"
    assert repr(Dictionary([])) == "<Dictionary 0 items>"


def make_map(names_and_bits, locked=False):
    items = [DictionaryItemOutput(i, name, DataType.UINT32) if name else None
             for i, (name, _) in enumerate(names_and_bits)]
    m = DictionaryMap(Dictionary([item for item in items if item]), OUTPUTS)
    for item, (_, bits) in zip(items, names_and_bits):
        m.insert(len(m), item, bits)
    m._lock(locked)
    return m


@pytest.mark.parametrize(
    "layout, locked, header, width",
    [
        ([], False, "<DictionaryMap 0 bits (0 bytes), 0 entries, unlocked>", 4),
        ([("mode", 8)], True, "<DictionaryMap 8 bits (1 byte), 1 entry, locked>", 4),
        ([("a", 3), (None, 5)], False, "<DictionaryMap 8 bits (1 byte), 2 entries, unlocked>", 7),
        (
            [("velocity_setpoint", 16), (None, 4), ("b", 12)],
            False,
            "<DictionaryMap 32 bits (4 bytes), 3 entries, unlocked>",
            17,
        ),
    ],
)
def test_map_repr_is_a_header_and_the_text_form(layout, locked, header, width):
    m = make_map(layout, locked)
    first, _, rest = repr(m).partition("\n")
    assert first == header
    # The label column is as wide as the longest label.
    assert rest == m.get_text_representation(width)
    assert len(rest.splitlines()) == len(layout) + 1


def test_entry_repr_for_items_and_paddings():
    m = make_map([("it's", 8), (None, 4)])
    assert repr(m[0]) == "<DictionaryMappedItem \"it's\" bits=8 position_bits=0>"
    assert repr(m[1]) == "<DictionaryMappedItem padding bits=4 position_bits=8>"


@pytest.mark.parametrize(
    "value, t, expected",
    [
        (0x1234, DataType.UINT16, "<DynamicMappableItem UINT16 value=4660 raw_value=0x1234>"),
        (-1, DataType.INT8, "<DynamicMappableItem INT8 value=-1 raw_value=0xFF>"),
        (True, DataType.BOOL, "<DynamicMappableItem BOOL value=True raw_value=0x1>"),
        (1.0, DataType.FLOAT, "<DynamicMappableItem FLOAT value=1.0 raw_value=0x3F800000>"),
    ],
)
def test_dynamic_item_repr(value, t, expected):
    assert repr(DynamicMappableItem(value, t)) == expected


def test_dynamic_map_repr_shows_progress():
    m = FSOEDynamicMap()
    assert repr(m) == "<FSOEDynamicMap 0 of 0 bytes, 0 of 0 items processed>"
    m.add(DynamicMappableItem(1, DataType.UINT16))
    m.add(DynamicMappableItem(2, DataType.UINT32))
    assert repr(m) == "<FSOEDynamicMap 0 of 6 bytes, 0 of 2 items processed>"
    frame = FSOEFrame()
    frame.safe_data_size_bytes = 3
    m.set_data_to_frame(frame, 3)
    assert repr(m) == "<FSOEDynamicMap 3 of 6 bytes, 1 of 2 items processed>"
    m.set_data_to_frame(frame, 3)
    assert repr(m) == "<FSOEDynamicMap 6 of 6 bytes, 2 of 2 items processed>"
