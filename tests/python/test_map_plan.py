"""Transfers follow every edit of a map from Python: each editing method, a change of an entry
on its own, a refused edit, a copy, a pickled map, and a connection restarted after its map
changed. The expected bits are computed from the entries themselves."""
import copy
import math
import pickle
import random
import struct

import pytest

import velmora as v
from velmora.sim import SlaveSimulator

TYPES = [v.DataType.UINT8, v.DataType.UINT16, v.DataType.BOOL, v.DataType.INT8,
         v.DataType.UINT32, v.DataType.FLOAT, v.DataType.BOOL]


def make_rig():
    items = [v.DictionaryItemInputOutput(i + 1, "abcdefg"[i], t, 0) for i, t in enumerate(TYPES)]
    m = v.DictionaryMap(v.Dictionary(items), {v.DictionaryItemInputOutput})
    a, b, c, d, e, f, g = items
    entries = {}
    # a | pad 4 | c | pad 3 | b | d | pad 2 | pad 6 | e | pad 6: 86 bits
    entries["a"] = m.add(a)
    m.add_padding(4)
    entries["c"] = m.add(c)
    m.add_padding(3)
    entries["b"] = m.add(b)
    entries["d"] = m.add(d)
    m.add_padding(2)
    m.add_padding(6)
    entries["e"] = m.add(e)
    m.add_padding(6)
    return m, dict(zip("abcdefg", items)), entries


def random_value(data_type, rng):
    if data_type == v.DataType.BOOL:
        return rng.random() < 0.5
    if data_type == v.DataType.FLOAT:
        return float(rng.randrange(512))
    return rng.randint(data_type.min_value, data_type.max_value)


def check_transfers(m, items, seed):
    """Both directions against a bit-by-bit reading of the map's entries."""
    rng = random.Random(seed)
    for item in items.values():
        item.set(random_value(item.data_type, rng))
    expected = 0
    for entry in m._items:
        if entry.item is not None:
            raw = entry.item._read() & ((1 << entry.bits) - 1)
            expected |= raw << entry.position_bits
    frame = v.FSOEFrame(36)
    frame.set_safe_data_bytes(b"\xa5" * 16)
    m._set_data_to_frame(frame)
    assert int.from_bytes(frame.get_safe_data_bytes(), "little") == expected

    received = rng.getrandbits(128)
    frame.set_safe_data_bytes(received.to_bytes(16, "little"))
    before = {name: item.get() for name, item in items.items()}
    m._get_data_from_frame(frame)
    mapped = {id(entry.item): entry for entry in m._items if entry.item is not None}
    for name, item in items.items():
        entry = mapped.get(id(item))
        if entry is None or entry.bits == 0:
            assert item.get() == before[name] and type(item.get()) is type(before[name]), name
            continue
        kept = min(entry.bits, item.data_type.bits)
        raw = (received >> entry.position_bits) & ((1 << kept) - 1)
        if item.data_type == v.DataType.FLOAT:
            value = struct.unpack("<f", raw.to_bytes(4, "little"))[0]
            assert item.get() == value or math.isnan(item.get()) and math.isnan(value), name
        elif item.data_type == v.DataType.BOOL:
            assert item.get() == bool(raw), name  # an equal int stays as it was
        else:
            value = raw - (1 << kept) if item.data_type.min_value < 0 and raw >> (kept - 1) else raw
            assert item.get() == value, name


def refused(call, error=Exception):
    with pytest.raises(error):
        call()


EDITS = {
    "add": lambda m, i, e: m.add(i["g"]),
    "add_aligned": lambda m, i, e: m.add(i["f"], align_to_bits=16),
    "add_by_key": lambda m, i, e: m.add_by_key(7),
    "insert_front": lambda m, i, e: m.insert(0, i["f"]),
    "insert_before": lambda m, i, e: m.insert_before(e["b"], i["g"]),
    "insert_after": lambda m, i, e: m.insert_after(e["a"], i["g"], 3),
    "remove_entry": lambda m, i, e: m.remove(e["c"]),
    "remove_item": lambda m, i, e: m.remove(i["b"]),
    "move_up": lambda m, i, e: m.move_item_up(e["d"]),
    "move_down": lambda m, i, e: m.move_item_down(e["a"]),
    "set_bits": lambda m, i, e: m.set_bits(e["a"], 4),
    "clear": lambda m, i, e: m.clear(),
    "insert_in_best_position": lambda m, i, e: m.insert_in_best_position(i["g"]),
    "insert_in_best_position_at_end": lambda m, i, e: m.insert_in_best_position(i["f"], 8),
    "complete_with_padding": lambda m, i, e: m.complete_with_padding(),
    "merge_adjacent_paddings": lambda m, i, e: m.merge_adjacent_paddings(),
    "trim_map": lambda m, i, e: m.trim_map(),
    "transform_entry_to_padding": lambda m, i, e: m.transform_to_padding(e["b"]),
    "transform_item_to_padding": lambda m, i, e: m.transform_to_padding(i["d"]),
    "entry_moved_on_its_own": lambda m, i, e: e["e"]._set_position_bits(90),
    "entry_narrowed_on_its_own": lambda m, i, e: e["a"]._set_bits(3),
    "refused_duplicate": lambda m, i, e: refused(lambda: m.add(i["a"])),
    "refused_misaligned_add": lambda m, i, e: (
        m.add_padding(3), refused(lambda: m.add(i["f"], align_to_bits=2), IndexError)),
}


@pytest.mark.parametrize("edit", EDITS.values(), ids=EDITS.keys())
def test_transfers_follow_an_edit(edit):
    m, items, entries = make_rig()
    check_transfers(m, items, 1)  # the map's plan is in use
    edit(m, items, entries)
    check_transfers(m, items, 2)
    check_transfers(m, items, 3)


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy,
                                       lambda m: pickle.loads(pickle.dumps(m)),
                                       lambda m: m.copy()],
                         ids=["copy", "deepcopy", "pickle", "method"])
def test_a_duplicated_map_transfers_its_own_layout(duplicate):
    m, items, entries = make_rig()
    check_transfers(m, items, 1)
    twin = duplicate(m)
    twin_items = {entry.item.name: entry.item for entry in twin._items if entry.item is not None}
    twin_items.update({name: item for name, item in items.items() if name not in twin_items})
    m.remove(entries["a"])
    m.insert(0, items["f"])
    check_transfers(twin, twin_items, 2)
    check_transfers(m, items, 3)
    twin.set_bits(twin._items[0], 2)
    check_transfers(twin, twin_items, 4)
    check_transfers(m, items, 5)


def test_a_restarted_connection_sends_the_edited_layout():
    """Edited between two connections: the second one carries the new layout."""
    outputs = [v.DictionaryItemOutput(10 + i, f"o{i}", v.DataType.UINT8) for i in range(2)]
    inputs = [v.DictionaryItemInput(20 + i, f"i{i}", v.DataType.UINT8, 0) for i in range(2)]
    handler = v.MasterHandler(v.Dictionary(outputs + inputs), 5, 0x77, 1.0)
    try:
        for item in outputs:
            handler.master.dictionary_map.add(item)
        for item in inputs:
            handler.slave.dictionary_map.add(item)

        def connect_and_exchange():
            sim = SlaveSimulator(5, 0x77, 2, 2, 1000, seed=3)
            handler.start()
            for _ in range(50):
                if handler.state is v.StateData:
                    break
                handler.set_reply(sim.process(handler.get_request()))
            assert handler.state is v.StateData
            handler.set_fail_safe(False)
            outputs[0].set(0x12)
            outputs[1].set(0x34)
            sim.inputs = b"\x56\x78"
            for _ in range(2):
                handler.set_reply(sim.process(handler.get_request()))
            exchanged = sim.outputs, [item.get() for item in inputs]
            with pytest.raises(v.FSOEMasterMappingLockedException):
                handler.master.dictionary_map.add_padding(8)
            handler.stop()  # (the inputs go fail-safe)
            return exchanged

        assert connect_and_exchange() == (b"\x12\x34", [0x56, 0x78])
        handler.master.dictionary_map.move_item_down(handler.master.dictionary_map._items[0])
        handler.slave.dictionary_map.move_item_up(handler.slave.dictionary_map._items[1])
        assert connect_and_exchange() == (b"\x34\x12", [0x78, 0x56])
    finally:
        handler.delete()
