"""Host misuse of dictionary maps: random editing, placement and transfer sequences with
hostile arguments. Only documented exception types may come out, nothing may crash, a
refused call leaves the map as it was, and after every accepted call the layout is whole:
contiguous from bit 0, no item mapped twice, widths and positions within 0..255, and for
maps of at most 128 bits every value travels through a frame and back unchanged."""
import math
import os
import pickle
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora
from velmora import (
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DictionaryMap,
    DictionaryMappedItem,
    FSOEFrame,
    FSOEMasterMappingLockedException,
)

DOCUMENTED = (
    ValueError,
    TypeError,
    OverflowError,
    IndexError,
    KeyError,
    PermissionError,
    NotImplementedError,
    RuntimeError,
    ZeroDivisionError,  # an alignment boundary of 0
    velmora.FSOEMasterException,
)

# VELMORA_MISUSE_EXAMPLES raises the number of sequences per test for a longer campaign.
MISUSE = settings(
    max_examples=int(os.environ.get("VELMORA_MISUSE_EXAMPLES", "150")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

LOCKED = "Mapping is locked, cannot be modified"
OUTPUTS = {DictionaryItemOutput, DictionaryItemInputOutput}


class CustomOutput(DictionaryItemOutput):
    """A host subclass: a map accepts it only when the subclass itself is listed."""


def hostile_objects():
    stray = DictionaryItemOutput(99, "stray", DataType.UINT8)
    return [
        object(), 1.5, math.nan, "a", b"\x01", [1], (1,), {1: 1}, Decimal(1), DataType.UINT8,
        FSOEFrame(7), stray, Dictionary([stray]), DictionaryMappedItem(None, 4, 0),
        DictionaryMappedItem(stray, 8, 0), lambda: None,
        DictionaryItemOutput.__new__(DictionaryItemOutput),
        DictionaryMappedItem.__new__(DictionaryMappedItem), FSOEFrame.__new__(FSOEFrame),
    ]


OBJECTS = st.integers(0, len(hostile_objects()) - 1).map(lambda i: hostile_objects()[i])
INTS = st.one_of(
    st.sampled_from([0, 1, 255, 256, -1, 2**16, 2**31, 2**63 - 1, 2**63, -(2**63) - 1, 2**80]),
    st.integers(-(2**70), 2**70),
)
ANY = st.one_of(INTS, st.none(), st.booleans(), st.floats(), st.text(max_size=3), OBJECTS)


def mostly(valid, hostile=ANY):
    """valid four times in five, else hostile (one_of would flatten and dilute valid)."""
    return st.integers(0, 4).flatmap(lambda i: valid if i else hostile)


# Widths and boundaries: mostly useful, sometimes hostile.
BITS = mostly(st.one_of(st.integers(0, 24), st.sampled_from([1, 8, 16, 32]), st.none(),
                        st.integers(0, 300)))
BOUNDARY = mostly(st.one_of(st.sampled_from([1, 2, 8, 16]), st.integers(0, 20)))
ALIGN = mostly(st.one_of(st.none(), BOUNDARY))


def make_items():
    return [
        DictionaryItemOutput(1, "u8", DataType.UINT8),
        DictionaryItemOutput(2, "u16", DataType.UINT16),
        DictionaryItemOutput(3, "flag", DataType.BOOL),
        DictionaryItemOutput(4, "i32", DataType.INT32),
        DictionaryItemOutput(5, "real", DataType.FLOAT),
        DictionaryItemInputOutput(6, "io16", DataType.INT16, -3),
        DictionaryItemInputOutput(7, "io8", DataType.INT8, 0),
        DictionaryItemInputOutput(8, "iobit", DataType.BOOL, True),
        DictionaryItemInput(9, "in8", DataType.UINT8, 0),
        CustomOutput(10, "custom", DataType.UINT8),
        DictionaryItem(11, "bare", DataType.UINT8),
    ]


# ---- the rules every accepted edit must keep -----------------------------------------------

# Every entry the test has seen stays referenced, so that its Python object (and its id)
# is the same each time the map hands it out.
SEEN = []


def layout(m):
    SEEN.extend(m._items)
    return [(id(e), id(e.item) if e.item is not None else None, e.bits, e.position_bits)
            for e in m._items]


def size_rule(bits):
    return 8 if bits <= 8 else -(-bits // 16) * 16


def check_layout(m, tampered=False):
    entries = m._items
    assert len(m) == len(entries) == len(list(m))
    for i, e in enumerate(entries):
        assert 0 <= e.bits <= 255 and 0 <= e.position_bits <= 255
        assert m[i] is e and m[i - len(entries)] is e and e in m
    if tampered:
        return
    position = 0
    for e in entries:
        assert e.position_bits == position, "entries are not contiguous"
        position += e.bits
    assert m.safety_bits == position and m.safety_bytes == -(-position // 8)
    mapped = [e.item for e in entries if e.item is not None]
    assert len({id(i) for i in mapped}) == len(mapped), "an item is mapped twice"
    assert [id(i) for i in m.mapped_dictionary_items()] == [id(i) for i in mapped]
    accepted = m.item_types_accepted
    expected = [i for i in m.dictionary.key_map.values()
                if type(i) in accepted and all(i is not x for x in mapped)]
    assert [id(i) for i in m.unmapped_dictionary_items()] == [id(i) for i in expected]


def entry_bits(words, position, bits):
    value = 0
    for i in range(bits):
        b = position + i
        value |= ((words[b // 16] >> (b % 16)) & 1) << i
    return value


def check_transfer(m, draw):
    """The map's values go into a frame bit by bit and come back through it."""
    frame = FSOEFrame()
    frame.set_safe_data_bytes(bytes(draw(st.binary(min_size=16, max_size=16))))
    before = frame.get_safe_data_bytes()
    values = {}
    for e in m._items:
        if isinstance(e.item, (DictionaryItemOutput, DictionaryItemInputOutput)):
            try:
                e.item.set(draw(st.one_of(st.integers(-(2**31), 2**32), st.floats(width=32),
                                          st.booleans())))
            except (ValueError, TypeError, OverflowError):
                pass
    if m.safety_bits > 128 or any(e.position_bits + e.bits > 128 for e in m._items):
        with pytest.raises(DOCUMENTED):
            m._set_data_to_frame(frame)
        assert frame.get_safe_data_bytes() == before, "a refused transfer wrote the frame"
        return
    try:
        m._set_data_to_frame(frame)
    except NotImplementedError:
        # An item that cannot be sent (the host widened the accepted types).
        assert any(isinstance(e.item, (DictionaryItemInput, DictionaryItem)) and not isinstance(
            e.item, (DictionaryItemOutput, DictionaryItemInputOutput)) for e in m._items)
        return
    words = list(frame.safe_data)
    covered = set()
    for e in m._items:
        covered.update(range(e.position_bits, e.position_bits + e.bits))
        got = entry_bits(words, e.position_bits, e.bits)
        if e.item is None or e.bits == 0:
            assert got == 0, "a padding carries data"
        else:
            raw = e.item._read()
            assert got == raw & ((1 << e.bits) - 1), f"{e.item.name} sent as {got}"
            values[id(e)] = got
    for b in set(range(128)) - covered:
        assert entry_bits(words, b, 1) == 0, f"bit {b} outside every entry is set"
    if all(isinstance(e.item, DictionaryItemInputOutput) or e.item is None for e in m._items):
        m._get_data_from_frame(frame)
        for e in m._items:
            if e.item is not None and e.bits:
                expected = e.item.data_type.unserialize_value(values[id(e)])
                assert e.item.get() == expected or (
                    math.isnan(expected) and math.isnan(e.item.get()))
        assert list(frame.safe_data) == words, "reading changed the frame"


def safe_repr(value):
    try:
        return repr(value)
    except Exception:  # noqa: BLE001 - an uninitialised object cannot describe itself
        return f"<{type(value).__name__}>"


# ---- random editing ------------------------------------------------------------------------

CHECKED = {"add", "add_by_key", "add_padding", "insert", "insert_before", "insert_after",
           "move_item_up", "move_item_down", "set_bits", "clear", "insert_in_best_position",
           "merge_adjacent_paddings", "complete_with_padding", "trim_map"}
# Refusals the Parts allow to leave an alignment padding behind (or a dropped trailing one).
KEEPS_PADDING_ON_INDEX_ERROR = {"add", "add_by_key", "insert_in_best_position"}


class Run:
    def __init__(self, draw, accepted):
        self.draw = draw
        self.items = make_items()
        self.dictionary = Dictionary(self.items)
        self.accepted = accepted
        self.maps = [DictionaryMap(self.dictionary, accepted), DictionaryMap(self.dictionary,
                                                                             set(OUTPUTS))]
        self.tampered = set()
        self.frame = FSOEFrame(35)

    def state(self):
        return ([layout(m) + [m.locked] for m in self.maps],
                [repr(i.__getstate__()) for i in self.items[:-1]], list(self.frame.safe_data))

    def entry(self):
        entries = [e for m in self.maps for e in m._items]
        return self.draw(mostly(st.sampled_from(entries)) if entries else ANY)

    def item(self):
        return self.draw(mostly(st.one_of(st.sampled_from(self.items), st.none())))

    def arguments(self, op):
        d = self.draw
        return {
            "add": lambda: (self.item(), d(BITS), d(ALIGN)),
            "add_by_key": lambda: (d(mostly(st.integers(0, 12))), d(BITS)),
            "add_padding": lambda: (d(BITS),),
            "insert": lambda: (d(mostly(st.integers(-6, 8))), self.item(), d(BITS)),
            "insert_before": lambda: (self.entry(), self.item(), d(BITS)),
            "insert_after": lambda: (self.entry(), self.item(), d(BITS)),
            "remove": lambda: (d(st.sampled_from([self.entry, self.item]))(),),
            "move_item_up": lambda: (self.entry(),),
            "move_item_down": lambda: (self.entry(),),
            "set_bits": lambda: (self.entry(), d(BITS)),
            "insert_in_best_position": lambda: (self.item(), d(BOUNDARY)),
            "transform_to_padding": lambda: (d(st.sampled_from([self.entry, self.item]))(),),
            "get_text_representation": lambda: (d(mostly(st.integers(0, 50))),),
            "_lock": lambda: (d(mostly(st.booleans())),),
            "__getitem__": lambda: (d(mostly(st.integers(-8, 8))),),
            "__contains__": lambda: (self.entry(),),
            "_set_data_to_frame": lambda: (d(mostly(st.just(self.frame))),),
            "_get_data_from_frame": lambda: (d(mostly(st.just(self.frame))),),
        }.get(op, lambda: ())()


OPERATIONS = ["add", "add", "add", "add_by_key", "add_padding", "add_padding", "insert",
              "insert", "insert_before", "insert_after", "remove", "move_item_up",
              "move_item_down", "set_bits", "set_bits", "insert_in_best_position",
              "insert_in_best_position", "merge_adjacent_paddings", "complete_with_padding",
              "trim_map", "transform_to_padding", "clear", "copy", "_lock",
              "get_text_representation", "__getitem__", "__contains__",
              "mapped_dictionary_items", "unmapped_dictionary_items", "_set_data_to_frame",
              "_get_data_from_frame", "pickle", "accepted_types", "tamper"]


def expect_result(run, m, op, args, result, before):
    """What an accepted call promises, beyond the layout rules."""
    entries_before = before
    entries = m._items
    if op in ("add", "add_by_key", "add_padding"):
        assert entries[-1] is result
        if op == "add_padding":
            assert result.item is None and result.bits == args[0]
        if op == "add":
            assert result.item is args[0]
            assert args[1] is None or result.bits == args[1]
            if args[2] is not None:
                assert result.position_bits % args[2] == 0
            assert len(entries) - len(entries_before) in (1, 2)
    elif op in ("insert", "insert_before", "insert_after"):
        assert result in m and result.item is args[1] and len(entries) == len(entries_before) + 1
        if op == "insert_before":
            assert entries[entries.index(result) + 1] is args[0]
        if op == "insert_after":
            assert entries[entries.index(result) - 1] is args[0]
    elif op == "remove":
        target = args[0]
        assert all(e is not target and e.item is not target for e in entries)
        assert [e for e in entries_before if e is not target and e.item is not target] == entries
    elif op in ("move_item_up", "move_item_down"):
        i = [x is args[0] for x in entries_before].index(True)
        j = i - 1 if op == "move_item_up" else i + 1
        assert result == (0 <= j < len(entries_before))
        if result:
            assert entries[j] is args[0] and entries[i] is entries_before[j]
    elif op == "set_bits":
        assert args[0].bits == args[1]
    elif op == "transform_to_padding":
        assert [e.position_bits for e in entries] == [p for p in run.positions_before]
        assert all(e is not args[0] and e.item is not args[0] for e in entries)
    elif op == "insert_in_best_position":
        assert result.item is args[0] and result in m
        assert result.position_bits % args[1] == 0
    elif op == "merge_adjacent_paddings":
        assert m.safety_bits == run.bits_before
        assert not any(a.item is None and b.item is None for a, b in zip(entries, entries[1:]))
    elif op in ("complete_with_padding", "trim_map"):
        # 0 bits: a map of zero-width entries, pinned in test_completing_zero_width_entries.
        assert m.safety_bits in (0, size_rule(m.safety_bits))
        kept = [(id(e), e.position_bits) for e in entries if e.item is not None]
        assert kept == run.items_before
        if op == "trim_map":
            items_end = max((e.position_bits + e.bits for e in entries if e.item is not None),
                            default=0)
            assert m.safety_bits in (0, size_rule(items_end))
    elif op == "clear":
        assert len(m) == 0
    elif op == "copy":
        assert layout(result) != layout(m) or not len(m)
        assert [(id(e.item), e.bits, e.position_bits) for e in result] == [
            (id(e.item), e.bits, e.position_bits) for e in m]
        assert result.locked == m.locked and result.item_types_accepted is m.item_types_accepted
    elif op == "_lock":
        assert m.locked == bool(args[0]) == m._locked


@MISUSE
@given(data=st.data(), accepted=st.sampled_from(
    [OUTPUTS, {DictionaryItemOutput}, {DictionaryItemInputOutput, CustomOutput},
     {DictionaryItemInput, DictionaryItemInputOutput}, set()]))
def test_map_editing_in_random_order(data, accepted):
    draw = data.draw
    run = Run(draw, set(accepted))
    SEEN.clear()
    for _ in range(draw(st.integers(1, 40))):
        m = draw(st.sampled_from(run.maps))
        op = draw(st.sampled_from(OPERATIONS))
        tampered = id(m) in run.tampered
        if op == "tamper":
            # The underscore setters bypass the map: the layout is the host's problem from
            # here on, but transfers must still stay inside the frame.
            if m._items and draw(st.integers(0, 3)) == 0:
                e = draw(st.sampled_from(m._items))
                value = draw(mostly(st.integers(0, 255)))
                setter = draw(st.sampled_from([e._set_bits, e._set_position_bits]))
                try:
                    setter(value)
                    run.tampered.add(id(m))
                except DOCUMENTED:
                    pass
            continue
        if op == "accepted_types":
            cls = draw(st.sampled_from([DictionaryItemInput, DictionaryItemOutput, CustomOutput,
                                        DictionaryItemInputOutput, DictionaryItem]))
            m.item_types_accepted.symmetric_difference_update({cls})
            continue
        if op == "pickle":
            copy = pickle.loads(pickle.dumps(m))
            # A restored map recalculates positions, which undoes tampering.
            assert [(e.item.name if e.item else None, e.bits) for e in copy] == [
                (e.item.name if e.item else None, e.bits) for e in m]
            assert copy.locked == m.locked
            check_layout(copy)
            continue
        args = run.arguments(op)
        before_state = run.state()
        before = list(m._items)
        run.positions_before = [e.position_bits for e in before]
        run.bits_before = m.safety_bits
        run.items_before = [(id(e), e.position_bits) for e in before if e.item is not None]
        was_locked = m.locked
        try:
            result = getattr(m, op)(*args)
        except DOCUMENTED as error:
            state = run.state()
            if isinstance(error, IndexError) and op in KEEPS_PADDING_ON_INDEX_ERROR:
                assert error.args == (
                    "Variables with more than 8 bits must be aligned in 8-bit safe-data slots",)
                added = [e for e in m._items if all(e is not b for b in before)]
                assert all(e.item is None for e in added) and len(added) <= 1
            elif op == "_get_data_from_frame" and isinstance(error, NotImplementedError):
                assert state[0] == before_state[0]  # items before the refusal took values
            else:
                assert state == before_state, f"{op}{safe_repr(args)} failed with {error!r}"
            if isinstance(error, FSOEMasterMappingLockedException):
                assert was_locked and op in CHECKED and error.args == (LOCKED,)
            check_layout(m, tampered)
            continue
        assert not (was_locked and op in CHECKED), f"{op} edited a locked map"
        check_layout(m, tampered)
        if not tampered:
            expect_result(run, m, op, args, result, before)
            if op in CHECKED or op in ("remove", "transform_to_padding"):
                check_transfer(m, draw)
    for m in run.maps:
        if id(m) in run.tampered:
            # Whatever the host did to the entries, a transfer never leaves the frame.
            frame = FSOEFrame()
            try:
                m._set_data_to_frame(frame)
                m._get_data_from_frame(frame)
            except DOCUMENTED:
                pass
        else:
            m._lock(False)
            check_layout(m)


@pytest.mark.parametrize("operation, build", [("complete_with_padding", "padding"),
                                              ("complete_with_padding", "item"),
                                              ("trim_map", "item")])
def test_completing_zero_width_entries(operation, build):
    item = DictionaryItemOutput(1, "u8", DataType.UINT8)
    m = DictionaryMap(Dictionary([item]), set(OUTPUTS))
    if build == "padding":
        m.add_padding(0)
    else:
        m.add(item, 0)
    getattr(m, operation)()
    assert m.safety_bits == 8


@pytest.mark.parametrize("operation", ["remove", "transform_to_padding"])
@pytest.mark.parametrize("cls", [DictionaryMappedItem, DictionaryItemOutput])
def test_uninitialised_argument_is_a_type_error(operation, cls):
    item = DictionaryItemOutput(1, "u8", DataType.UINT8)
    m = DictionaryMap(Dictionary([item]), set(OUTPUTS))
    m.add(item)
    with pytest.raises(TypeError):
        getattr(m, operation)(cls.__new__(cls))
    assert [e.item for e in m] == [item]


def tampered_map():
    """[u8, flag, io32, padding] whose flag entry was widened behind the map's back, so that
    any position recalculation now overflows."""
    items = make_items()
    m = DictionaryMap(Dictionary(items), set(OUTPUTS))
    m.add(items[0])
    flag = m.add(items[2])
    m.insert(len(m), items[5])
    m.add_padding(8)
    flag._set_bits(250)
    return m, items


@pytest.mark.parametrize("operation", ["remove", "transform_to_padding"])
@pytest.mark.parametrize("by", ["entry", "item"])
def test_refused_recalculation_leaves_the_map_unchanged(operation, by):
    m, items = tampered_map()
    before = [(e.item, e.bits, e.position_bits) for e in m]
    first = m[0]
    with pytest.raises(OverflowError):
        getattr(m, operation)(first if by == "entry" else first.item)
    assert [(e.item, e.bits, e.position_bits) for e in m] == before


@pytest.mark.parametrize("dt, bits", [(DataType.UINT8, 12), (DataType.INT8, 12),
                                      (DataType.UINT16, 24), (DataType.FLOAT, 40)])
def test_received_bits_beyond_the_data_type_stay_out(dt, bits):
    item = DictionaryItemInputOutput(1, "wide", dt, 0)
    after = DictionaryItemInputOutput(2, "after", DataType.UINT8, 0)
    m = DictionaryMap(Dictionary([item, after]), set(OUTPUTS))
    try:
        m.add(item, bits)
    except (ValueError, OverflowError):
        return  # refusing the wide entry is sound too
    m.add(after, 8, align_to_bits=8)
    frame = FSOEFrame()
    frame.set_safe_data_bytes(b"\xff" * 16)
    m._get_data_from_frame(frame)
    if dt.is_integer:
        assert dt.min_value <= item.get() <= dt.max_value
    assert after.get() == 255


class HostError(Exception):
    pass


class Picky(set):
    """An accepted-types set whose membership test starts failing once armed."""

    armed = False

    def __contains__(self, cls):
        if self.armed:
            raise HostError("no membership")
        return super().__contains__(cls)


@pytest.mark.parametrize("call", [
    lambda m, i: m.add(i), lambda m, i: m.insert(0, i), lambda m, i: m.add_by_key(i.key),
    lambda m, i: m.insert_in_best_position(i, 8), lambda m, i: m.insert_after(m[0], i),
    lambda m, i: m.unmapped_dictionary_items(),
])
def test_accepted_types_that_fail_leave_the_map_alone(call):
    items = make_items()
    accepted = Picky(OUTPUTS)
    m = DictionaryMap(Dictionary(items), accepted)
    m.add(items[0])
    m.add_padding(24)
    before = layout(m)
    accepted.armed = True
    with pytest.raises(HostError):
        call(m, items[1])
    assert layout(m) == before
    accepted.armed = False
    check_layout(m)
