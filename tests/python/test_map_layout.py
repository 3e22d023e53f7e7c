import pytest

from velmora import (
    DataType,
    Dictionary,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DictionaryMap,
    FSoEAlreadyMappedException,
)


@pytest.fixture
def items():
    return {
        "a": DictionaryItemOutput(1, "a", DataType.UINT8),
        "b": DictionaryItemOutput(2, "b", DataType.UINT16),
        "x": DictionaryItemOutput(3, "x", DataType.INT8),
        "bit": DictionaryItemOutput(4, "bit", DataType.BOOL),
        "inp": DictionaryItemInput(5, "inp", DataType.UINT8, 0),
    }


@pytest.fixture
def dmap(items):
    return DictionaryMap(Dictionary(list(items.values())),
                         {DictionaryItemOutput, DictionaryItemInputOutput})


def layout(m):
    return [(e.item.name if e.item is not None else None, e.bits, e.position_bits) for e in m]


def build(m, items, entries):
    for name, bits in entries:
        if name is None:
            m.add_padding(bits)
        else:
            m.insert(len(m), items[name], bits)


@pytest.mark.parametrize(
    "start, item, align, expected",
    [
        ([("a", 8), (None, 16)], "b", 8, [("a", 8, 0), ("b", 16, 8)]),
        ([("bit", 1), (None, 15)], "b", 8, [("bit", 1, 0), (None, 7, 1), ("b", 16, 8)]),
        ([("a", 4), (None, 12)], "x", 8, [("a", 4, 0), (None, 4, 4), ("x", 8, 8)]),
        ([("bit", 1), (None, 20)], None, None, [("bit", 1, 0), ("b", 16, 1), (None, 4, 17)]),
    ],
)
def test_insert_in_best_position(dmap, items, start, item, align, expected):
    build(dmap, items, start)
    if align is None:  # the default boundary is 1 bit
        entry = dmap.insert_in_best_position(items["b"])
    else:
        entry = dmap.insert_in_best_position(dict_item=items[item], align_to_bits=align)
    assert layout(dmap) == expected
    assert entry in dmap


def test_best_position_refusals_change_nothing(dmap, items):
    build(dmap, items, [("a", 8), (None, 4), (None, 12)])
    before = dmap._items
    with pytest.raises(FSoEAlreadyMappedException):
        dmap.insert_in_best_position(items["a"], 8)
    with pytest.raises(PermissionError):
        dmap.insert_in_best_position(items["inp"], 8)
    with pytest.raises(TypeError):
        dmap.insert_in_best_position(None, 8)
    with pytest.raises(ZeroDivisionError):
        dmap.insert_in_best_position(items["x"], 0)
    with pytest.raises(TypeError):
        dmap.insert_in_best_position(items["x"], "8")
    assert dmap._items == before and layout(dmap)[1] == (None, 4, 8)


def test_misaligned_append_keeps_its_padding_changes(dmap, items):
    build(dmap, items, [("bit", 1), (None, 3)])
    with pytest.raises(IndexError):
        dmap.insert_in_best_position(items["b"], 4)
    assert layout(dmap) == [("bit", 1, 0), (None, 3, 1)]
    assert items["b"] not in dmap.mapped_dictionary_items()


def test_padding_rules(dmap, items):
    build(dmap, items, [("a", 5)])
    dmap.complete_with_padding()
    assert layout(dmap) == [("a", 5, 0), (None, 3, 5)]
    build(dmap, items, [(None, 3), ("x", 8), (None, 2), (None, 2)])
    dmap.merge_adjacent_paddings()
    assert layout(dmap) == [("a", 5, 0), (None, 6, 5), ("x", 8, 11), (None, 4, 19)]
    dmap.trim_map()
    assert layout(dmap) == [("a", 5, 0), (None, 6, 5), ("x", 8, 11), (None, 13, 19)]
    dmap.add_padding(250)  # 13 + 250 does not fit 8 bits
    before = layout(dmap)
    with pytest.raises(OverflowError):
        dmap.merge_adjacent_paddings()
    assert layout(dmap) == before


def test_transform_to_padding(dmap, items):
    build(dmap, items, [("a", 8), ("b", 16), ("bit", 1)])
    entry = dmap[2]
    dmap._lock()
    dmap.transform_to_padding(item=items["b"])
    dmap.transform_to_padding(entry)
    assert layout(dmap) == [("a", 8, 0), (None, 16, 8), (None, 1, 24)]
    assert entry not in dmap
    with pytest.raises(ValueError):
        dmap.transform_to_padding(entry)
    dmap.transform_to_padding(items["x"])  # not mapped: nothing
    with pytest.raises(TypeError):
        dmap.transform_to_padding(3)
    assert len(dmap) == 3
