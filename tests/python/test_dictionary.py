import gc
import weakref

import pytest

from velmora import (
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
)


@pytest.fixture
def items():
    return (
        DictionaryItemInput(1, "speed", DataType.INT16, -5),
        DictionaryItemOutput(2, "enable", DataType.BOOL),
        DictionaryItemInputOutput(3, "level", DataType.FLOAT, 0.5),
        DictionaryItemOutput(4, "limit", DataType.UINT8),
    )


@pytest.fixture
def dictionary(items):
    return Dictionary(list(items))


def test_initial_values(items):
    speed, enable, level, limit = items
    assert speed.get() == speed._value == speed.fail_safe_value == -5
    assert enable.get() is False and enable._value is False
    assert level.get() == level.value_input == level.fail_safe_input_value == 0.5
    assert level.value_output == 0.0 and type(level.value_output) is float
    assert limit.get() == 0 and type(limit.get()) is int
    assert (speed.key, speed.name, speed.data_type) == (1, "speed", DataType.INT16)


@pytest.mark.parametrize(
    "args, error",
    [
        (("1", "a", DataType.UINT8), TypeError),
        ((1.0, "a", DataType.UINT8), TypeError),
        ((2**31, "a", DataType.UINT8), OverflowError),
        ((-(2**31) - 1, "a", DataType.UINT8), OverflowError),
        ((2**80, "a", DataType.UINT8), OverflowError),
        ((1, 5, DataType.UINT8), TypeError),
        ((1, "a", 3), TypeError),
    ],
)
def test_constructor_checks(args, error):
    with pytest.raises(error):
        DictionaryItemOutput(*args)
    with pytest.raises(error):
        DictionaryItemInput(*args, 0)


def test_fail_safe_value_must_be_a_value():
    with pytest.raises(TypeError):
        DictionaryItemInput(1, "a", DataType.UINT8, None)
    with pytest.raises(TypeError):
        DictionaryItemInputOutput(1, "a", DataType.UINT8, "0")


def test_base_item():
    item = DictionaryItem(-2147483648, "base", DataType.UINT32)
    for call in (item.get, item._read, lambda: item.set(1), lambda: item._write(1)):
        with pytest.raises(NotImplementedError):
            call()
    with pytest.raises(TypeError):
        item._write(1.0)
    assert item._set_fail_safe() is None


def test_read_only_fields(items):
    speed, enable, level, _ = items
    for obj, field in [(speed, "_value"), (speed, "key"), (speed, "fail_safe_value"),
                       (enable, "_value"), (level, "value_output"), (level, "data_type")]:
        with pytest.raises(AttributeError):
            setattr(obj, field, 1)


def test_input_refuses_set(dictionary, items):
    with pytest.raises(PermissionError) as err:
        dictionary.set("speed", 3)
    assert err.value.args == ("Cannot set safe input item speed",)
    with pytest.raises(PermissionError):
        items[0].set("not even a number")
    assert items[0].get() == -5
    with pytest.raises(NotImplementedError):
        items[0]._read()


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("limit", 256, ValueError),
        ("limit", -1, ValueError),
        ("limit", 2**70, ValueError),
        ("limit", 1.5, TypeError),
        ("limit", "7", TypeError),
        ("limit", None, TypeError),
        ("enable", 2, ValueError),
        ("level", 1e39, OverflowError),
    ],
)
def test_output_set_is_checked_and_keeps_old_value(dictionary, name, value, error):
    item = dictionary.name_map[name]
    dictionary.set(name, 1)
    with pytest.raises(error):
        dictionary.set(name, value)
    assert (item.value_output if name == "level" else item.get()) == 1


def test_engine_access(dictionary, items):
    speed, enable, level, limit = items
    dictionary.set("enable", True)
    dictionary.set("limit", 200)
    dictionary.set("level", 1.0)
    assert dictionary._read(2) == 1
    assert dictionary._read(4) == 200
    assert dictionary._read(3) == 0x3F800000
    dictionary._write(1, 0xFFFE)
    assert dictionary.get("speed") == -2
    dictionary._write(3, 0x40000000)
    assert level.get() == 2.0 and level.value_output == 1.0
    with pytest.raises(NotImplementedError):
        dictionary._write(2, 1)
    with pytest.raises(TypeError):
        dictionary._write(1, 2.0)
    assert speed.get() == -2


@pytest.mark.parametrize("missing", ["nope", 7, None, 2**70])
def test_unknown_key_or_name_carries_itself(dictionary, missing):
    for call in (dictionary.get, lambda k: dictionary.set(k, 1)):
        with pytest.raises(KeyError) as err:
            call(missing)
        assert err.value.args == (missing,)
    for call in (dictionary._read, lambda k: dictionary._write(k, 1)):
        with pytest.raises(KeyError) as err:
            call(missing)
        assert err.value.args == (missing,)


def test_maps_keep_list_order_and_identity(items):
    shuffled = [items[2], items[0], items[3], items[1]]
    d = Dictionary(shuffled)
    assert list(d.key_map) == [3, 1, 4, 2]
    assert list(d.name_map) == ["level", "speed", "limit", "enable"]
    assert all(a is b for a, b in zip(d.key_map.values(), shuffled))
    assert all(a is b for a, b in zip(d.name_map.values(), shuffled))


@pytest.mark.parametrize(
    "key, name, message",
    [
        (1, "b", "Duplicated Key 1"),
        (1, "a", "Duplicated Key 1"),  # the key is checked first
        (2, "a", "Duplicated name a"),
        (5, "c", "Duplicated Key 5"),
    ],
)
def test_duplicates(key, name, message):
    first = DictionaryItemOutput(1, "a", DataType.UINT8)
    middle = DictionaryItemOutput(5, "c", DataType.UINT8)
    with pytest.raises(ValueError) as err:
        Dictionary([first, middle, DictionaryItemOutput(key, name, DataType.UINT8)])
    assert err.value.args == (message,)


@pytest.mark.parametrize("items_arg", [(), None, {}, "ab"])
def test_dictionary_needs_a_list(items, items_arg):
    with pytest.raises(TypeError):
        Dictionary(items_arg if items_arg != () else tuple(items))
    with pytest.raises(TypeError):
        Dictionary([items[0], "not an item"])


def test_set_inputs_to_failsafe(dictionary, items):
    speed, enable, level, limit = items
    order = []
    speed.subscribe_changed(lambda: order.append("speed"))
    level.subscribe_input_changed(lambda: order.append("level"))
    dictionary._write(1, 3)
    dictionary._write(3, 0)
    dictionary.set("enable", True)
    dictionary.set("level", 2.5)
    order.clear()
    dictionary._set_inputs_to_failsafe()
    assert order == ["speed", "level"]
    assert speed.get() == -5 and level.get() == 0.5
    assert enable.get() is True and level.value_output == 2.5
    dictionary._set_inputs_to_failsafe()
    assert order == ["speed", "level"]


class Counter:
    def __init__(self):
        self.calls = 0

    def hit(self):
        self.calls += 1


@pytest.mark.parametrize("kind", ["input", "input_output"])
def test_subscribers(kind):
    if kind == "input":
        item = DictionaryItemInput(1, "a", DataType.UINT8, 0)
        sub, unsub = item.subscribe_changed, item.unsubscribe_changed
    else:
        item = DictionaryItemInputOutput(1, "a", DataType.UINT8, 0)
        sub, unsub = item.subscribe_input_changed, item.unsubscribe_input_changed
    counter = Counter()
    seen = []
    sub(counter.hit)
    sub(counter.hit)  # a new bound method object, equal by ==
    sub(lambda: seen.append(item.get()))
    item._write(4)
    item._write(4)
    assert counter.calls == 1 and seen == [4]
    unsub(counter.hit)
    unsub(Counter().hit)  # unknown: ignored
    unsub(42)  # not even callable: ignored
    item._write(5)
    assert counter.calls == 1 and seen == [4, 5]
    with pytest.raises(TypeError):
        sub(42)


def test_numeric_equality_means_no_change():
    item = DictionaryItemInput(1, "a", DataType.BOOL, 1)
    calls = []
    item.subscribe_changed(lambda: calls.append(item.get()))
    item._write(1)  # True == 1
    assert calls == [] and item.get() == 1
    item._write(0)
    assert calls == [False] and item.get() is False


def test_subscriber_error_propagates_and_stops(items):
    speed = items[0]
    calls = []
    error = RuntimeError("subscriber failed")

    def bad():
        raise error

    speed.subscribe_changed(lambda: calls.append(1))
    speed.subscribe_changed(bad)
    speed.subscribe_changed(lambda: calls.append(3))
    with pytest.raises(RuntimeError) as err:
        speed._write(9)
    assert err.value is error
    assert calls == [1] and speed.get() == 9


def test_subscriber_may_unsubscribe_itself():
    item = DictionaryItemInput(1, "a", DataType.UINT8, 0)
    calls = []

    def once():
        calls.append("once")
        item.unsubscribe_changed(once)

    item.subscribe_changed(once)
    item.subscribe_changed(lambda: calls.append("other"))
    item._write(1)
    item._write(2)
    # As a list iterated while an earlier entry is removed: the next one is skipped once.
    assert calls == ["once", "other"]


def test_subclass_runs_core_behaviour():
    class Mine(DictionaryItemOutput):
        def set(self, value):
            raise AssertionError("not called by the dictionary's engine path")

    item = Mine(1, "m", DataType.UINT8)
    d = Dictionary([item])
    assert d.key_map[1] is item
    DictionaryItemOutput.set(item, 7)
    assert d._read(1) == 7


def test_cycle_through_a_subscriber_is_collected():
    class Host:
        def __init__(self):
            self.item = DictionaryItemInput(1, "a", DataType.UINT8, 0)
            self.dictionary = Dictionary([self.item])
            self.item.subscribe_changed(self.changed)

        def changed(self):
            pass

    host = Host()
    ref = weakref.ref(host)
    del host
    gc.collect()
    assert ref() is None
