"""Objects are built once: a restored input holds only values its item can hold, and
__init__ or __setstate__ on a live object is refused plainly, leaving it as it was."""
import math
import pickle

import pytest

import velmora as v
from velmora import DataType
from velmora.sim import SlaveSimulator

NAN = float("nan")


def raised(call):
    try:
        call()
    except Exception as error:  # the type is what is compared
        return type(error)
    return None


def input_state(data_type, fail_safe, value):
    return (1, "in", data_type, fail_safe, value, None)


def input_output_state(data_type, fail_safe, value):
    return (1, "io", data_type, fail_safe, value, 0, None)


STATES = {v.DictionaryItemInput: input_state, v.DictionaryItemInputOutput: input_output_state}

# Values that no operation of the item gives it: NaN or a real for an integer type, a real or
# an int other than 0 and 1 for BOOL, a FLOAT beyond single precision, an int beyond 64 bits.
UNFIT = [
    (DataType.UINT8, NAN), (DataType.UINT8, 1.5), (DataType.INT32, 2.0), (DataType.UINT16, 2**70),
    (DataType.BOOL, 0.5), (DataType.BOOL, 2), (DataType.FLOAT, 1e300),
]


@pytest.mark.parametrize("cls", STATES)
@pytest.mark.parametrize("data_type, value", UNFIT)
def test_unfit_current_value_is_refused_as_set_would_refuse_it(cls, data_type, value):
    expected = raised(lambda: data_type.serialize_value(value))
    assert expected is not None
    assert raised(lambda: v.DictionaryItemOutput(1, "o", data_type).set(value)) is expected
    obj = cls.__new__(cls)
    with pytest.raises(expected):
        obj.__setstate__(STATES[cls](data_type, 0, value))
    # Still unbuilt: a good state is taken afterwards.
    obj.__setstate__(STATES[cls](data_type, 0, 1))
    assert obj.get() == 1


@pytest.mark.parametrize("cls", STATES)
@pytest.mark.parametrize("data_type, fail_safe", [
    (DataType.UINT8, NAN), (DataType.UINT8, 300), (DataType.BOOL, 0.5), (DataType.FLOAT, 1e300),
])
def test_an_input_holding_its_fail_safe_value_round_trips(cls, data_type, fail_safe):
    # The constructor takes any fail-safe value, and the input holds it until a reply comes.
    item = cls(1, "in", data_type, fail_safe)
    clone = pickle.loads(pickle.dumps(item))
    value = clone.get()
    assert value == fail_safe or (math.isnan(value) and math.isnan(fail_safe))
    clone._write(0x3F800000 if data_type is DataType.FLOAT else 1)
    assert clone.get() == 1


@pytest.mark.parametrize("cls", STATES)
@pytest.mark.parametrize("data_type, raw, value", [
    (DataType.INT8, 0xFF, -1), (DataType.UINT32, 0xFFFFFFFF, 0xFFFFFFFF), (DataType.BOOL, 5, True),
    (DataType.FLOAT, 0x3FC00000, 1.5),
    # No masking: the bits above the width stay, so an integer input may hold any integer.
    (DataType.UINT8, 300, 300), (DataType.UINT8, -1, -1), (DataType.INT8, 2**40, 2**40),
])
def test_values_an_input_is_given_round_trip(cls, data_type, raw, value):
    item = cls(1, "in", data_type, 0)
    item._write(raw)
    assert item.get() == value
    assert pickle.loads(pickle.dumps(item)).get() == value


def test_a_received_nan_round_trips():
    item = v.DictionaryItemInput(1, "in", DataType.FLOAT, 0.0)
    item._write(0x7FC00000)
    assert math.isnan(pickle.loads(pickle.dumps(item)).get())


def handler_parts():
    handler = v.MasterHandler(v.Dictionary([]), 1, 2, 1.0)
    handler.delete()
    return handler


class Tagged(v.DictionaryItemOutput):
    pass


# Factories of live objects, the arguments of a second __init__, and a reading that must not
# change when it is refused.
LIVE = {
    "Dictionary": (lambda: v.Dictionary([v.DictionaryItemOutput(1, "a", DataType.UINT8)]),
                   lambda: ([],), len),
    "DictionaryItem": (lambda: v.DictionaryItem(1, "a", DataType.UINT8),
                       lambda: (2, "b", DataType.INT8), lambda o: (o.key, o.name, o.data_type)),
    "DictionaryItemInput": (lambda: v.DictionaryItemInput(1, "a", DataType.UINT8, 3),
                            lambda: (2, "b", DataType.UINT8, 0), lambda o: (o.key, o.get())),
    "DictionaryItemOutput": (lambda: v.DictionaryItemOutput(1, "a", DataType.UINT8),
                             lambda: (2, "b", DataType.UINT8), lambda o: o.key),
    "DictionaryItemInputOutput": (lambda: v.DictionaryItemInputOutput(1, "a", DataType.BOOL, True),
                                  lambda: (2, "b", DataType.BOOL, False),
                                  lambda o: (o.key, o.value_input)),
    "Tagged": (lambda: Tagged(1, "a", DataType.UINT8), lambda: (2, "b", DataType.UINT8),
               lambda o: o.key),
    "DictionaryMap": (lambda: v.DictionaryMap(v.Dictionary([]), {v.DictionaryItemOutput}),
                      lambda: (v.Dictionary([]), {v.DictionaryItemInput}),
                      lambda o: o.item_types_accepted),
    "handler's map": (lambda: handler_parts().master.dictionary_map,
                      lambda: (v.Dictionary([]), {v.DictionaryItemInput}),
                      lambda o: o.item_types_accepted),
    "DictionaryMappedItem": (lambda: v.DictionaryMappedItem(None, 8, 0), lambda: (None, 4, 4),
                             lambda o: (o.bits, o.position_bits)),
    "DynamicMappableItem": (lambda: v.DynamicMappableItem(7, DataType.UINT8),
                            lambda: (9, DataType.UINT16), lambda o: (o.get(), o.data_type)),
    "ApplicationParameter": (lambda: v.ApplicationParameter("p", 7, 1),
                             lambda: ("q", 9, 2), lambda o: (o.name, o.value)),
    "FSOEDynamicMap": (v.FSOEDynamicMap, lambda: (), lambda o: o.total_bytes),
    "Session": (lambda: v.Session(1, 2, 3), lambda: (4, 5, 6),
                lambda o: o.connection_id.value),
    "Node": (lambda: handler_parts().master, lambda: (1, 2, 3, None, v.Dictionary([]), None),
             lambda o: o.session.connection_id.value),
    "Watchdog": (lambda: v.Watchdog(1.0, lambda: None), lambda: (2.0, print),
                 lambda o: o.is_alive()),
    "handler's watchdog": (lambda: handler_parts()._watchdog, lambda: (2.0, print),
                           lambda o: o.is_alive()),
}


@pytest.mark.parametrize("name", LIVE)
def test_init_of_a_live_object_says_so(name):
    make, args, reading = LIVE[name]
    obj = make()
    before = reading(obj)
    with pytest.raises(RuntimeError) as err:
        obj.__init__(*args())
    assert err.value.args == (f"{type(obj).__name__} is already initialized",)
    assert reading(obj) == before


@pytest.mark.parametrize("make, args", [
    (lambda: v.MasterHandler(v.Dictionary([]), 1, 2, 1.0), lambda: (v.Dictionary([]), 3, 4, 1.0)),
    (lambda: v.StateData(handler_parts()), lambda: (handler_parts(),)),
    (lambda: v.FSOEFrame(6), lambda: (8,)),
    (lambda: SlaveSimulator(1, 1, 2, 2, 100), lambda: (2, 2, 2, 2, 100)),
], ids=["MasterHandler", "StateData", "FSOEFrame", "SlaveSimulator"])
def test_init_of_other_live_objects_says_so(make, args):
    obj = make()
    try:
        with pytest.raises(RuntimeError, match="is already initialized"):
            obj.__init__(*args())
    finally:
        if isinstance(obj, v.MasterHandler):
            obj.delete()


def test_setstate_of_a_live_object_says_so_before_reading_the_state():
    item = v.DictionaryItemInput(1, "a", DataType.UINT8, 0)
    with pytest.raises(RuntimeError) as err:
        item.__setstate__("not even a state")
    assert err.value.args == ("DictionaryItemInput is already initialized",)


def test_a_refused_init_leaves_the_object_unbuilt():
    obj = v.DictionaryItemInput.__new__(v.DictionaryItemInput)
    with pytest.raises(TypeError):
        obj.__init__(1, "a", "UINT8", 0)
    with pytest.raises(TypeError):  # the base class's __init__ cannot build a subclass object
        v.DictionaryItem.__init__(obj, 1, "a", DataType.UINT8)
    with pytest.raises(TypeError):
        v.DictionaryItem.__init__(object(), 1, "a", DataType.UINT8)
    obj.__init__(1, "a", DataType.UINT8, 0)
    assert (obj.key, obj.get()) == (1, 0)
