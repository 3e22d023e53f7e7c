import copy
import pickle

import pytest

from velmora import (
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DynamicMappableItem,
    FSOEDynamicMap,
    FSOEFrame,
)


def roundtrip(obj):
    return pickle.loads(pickle.dumps(obj))


def test_items_keep_their_fields():
    inp = DictionaryItemInput(-3, "in", DataType.INT8, -1)
    inp._write(0x7F)
    out = DictionaryItemOutput(2**31 - 1, "out", DataType.FLOAT)
    out.set(2.5)
    io = DictionaryItemInputOutput(5, "io", DataType.BOOL, True)
    io._write(0)
    io.set(1)
    base = DictionaryItem(9, "base", DataType.UINT32)

    inp2, out2, io2, base2 = roundtrip([inp, out, io, base])
    assert type(inp2) is DictionaryItemInput
    assert (inp2.key, inp2.name, inp2.data_type, inp2.fail_safe_value, inp2.get()) == (-3, "in", DataType.INT8, -1, 127)
    assert (out2.key, out2.get(), out2._read()) == (2**31 - 1, 2.5, out._read())
    assert (io2.value_input, io2.value_output, io2.fail_safe_input_value) == (False, 1, True)
    assert type(io2.value_output) is int and type(io2.value_input) is bool
    assert (base2.key, base2.name, base2.data_type) == (9, "base", DataType.UINT32)


def test_restored_input_does_not_notify_and_drops_subscribers():
    inp = DictionaryItemInput(1, "in", DataType.UINT8, 0)
    calls = []
    inp.subscribe_changed(lambda: calls.append(1))  # a lambda could not even be pickled
    inp._write(5)
    calls.clear()
    clone = roundtrip(inp)
    assert clone.get() == 5 and calls == []
    clone._write(6)
    assert calls == []  # the subscriber stayed with the original
    clone._set_fail_safe()
    assert clone.get() == 0


def test_dictionary_and_maps_share_items_after_loading():
    shared = DictionaryItemInput(1, "a", DataType.UINT16, 0)
    other = DictionaryItemOutput(2, "b", DataType.UINT8)
    d = Dictionary([shared, other])
    dyn_item = DynamicMappableItem(0x1234, DataType.UINT16)
    m = FSOEDynamicMap()
    m.add(dyn_item)
    m.add(dyn_item)
    frame = FSOEFrame()
    frame.safe_data_size_bytes = 3
    m.set_data_to_frame(frame, 3)

    d2, shared2, m2, item2 = roundtrip((d, shared, m, dyn_item))
    assert d2.key_map[1] is shared2 and d2.name_map["a"] is shared2
    assert list(d2.key_map) == [1, 2]
    assert m2._items[0] is item2 and m2._items[1] is item2
    assert (m2.total_bytes, m2.bytes_processed, m2.items_processed,
            m2.current_processed_item, m2.current_processed_item_byte) == (4, 3, 1, 1, 1)
    # The restored map continues where the original stopped.
    m2.set_data_to_frame(frame, 3)
    assert frame.get_safe_data_bytes()[:3] == b"\x12\x00\x00"
    assert not m2.pending()
    # And the restored objects are independent of the originals.
    d2._write(1, 77)
    assert shared.get() == 0 and shared2.get() == 77


def test_deepcopy_uses_the_same_state():
    d = Dictionary([DictionaryItemOutput(1, "a", DataType.INT16)])
    d.set("a", -7)
    d2 = copy.deepcopy(d)
    assert d2.get("a") == -7 and d2.key_map[1] is not d.key_map[1]


class Tagged(DictionaryItemOutput):
    def __init__(self, key):  # a different signature: restoring must not call it
        super().__init__(key, "tagged", DataType.UINT8)
        self.tag = "kept"


def test_subclass_keeps_class_and_attributes():
    item = Tagged(4)
    item.set(3)
    clone = roundtrip(item)
    assert type(clone) is Tagged and clone.tag == "kept" and clone.get() == 3


@pytest.mark.parametrize(
    "cls, state",
    [
        (DictionaryItemInput, (1, "a", DataType.UINT8, 0)),
        (DictionaryItemOutput, (1, "a", DataType.UINT8, 999, None)),
        (DictionaryItemOutput, ("1", "a", DataType.UINT8, 0, None)),
        (DynamicMappableItem, (2**32, DataType.UINT8, None)),
        (FSOEDynamicMap, ([1], 0, 0, 0, 0, 0, None)),
        (Dictionary, ([DictionaryItemOutput(1, "a", DataType.UINT8)] * 2, None)),
    ],
)
def test_bad_state_is_refused(cls, state):
    obj = cls.__new__(cls)
    with pytest.raises((TypeError, ValueError, OverflowError)):
        obj.__setstate__(state)


def test_setstate_on_a_live_object_is_refused():
    item = DictionaryItemOutput(1, "a", DataType.UINT8)
    d = Dictionary([item])
    with pytest.raises(RuntimeError):
        item.__setstate__((2, "b", DataType.UINT8, 0, None))
    with pytest.raises(TypeError):
        DictionaryItem.__setstate__(DictionaryItemOutput.__new__(DictionaryItemOutput), (1, "a", DataType.UINT8, None))
    assert d.key_map[1].name == "a"


@pytest.mark.parametrize("obj", [FSOEFrame(), FSOEFrame().control, FSOEFrame().safe_data])
def test_frames_still_refuse(obj):
    with pytest.raises(TypeError):
        pickle.dumps(obj)
