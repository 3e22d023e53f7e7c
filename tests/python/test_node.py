"""Nodes, sessions and application parameters as the host sees them."""
import pickle

import pytest

import velmora as v


@pytest.mark.parametrize("kwargs,data_type", [
    ({"n_bytes": 1}, v.DataType.UINT8),
    ({"n_bytes": 2}, v.DataType.UINT16),
    ({"n_bytes": 4}, v.DataType.UINT32),
    ({"data_type": v.DataType.UINT8}, v.DataType.UINT8),
    ({"data_type": v.DataType.INT16, "n_bytes": 2}, v.DataType.INT16),
    ({"data_type": v.DataType.FLOAT}, v.DataType.FLOAT),
])
def test_parameter_type_rules(kwargs, data_type):
    p = v.ApplicationParameter("p", 1, **kwargs)
    assert p.data_type is data_type
    assert p.n_bytes == {1: 1, 2: 2, 4: 4}[p.n_bytes]
    assert isinstance(p, v.DynamicMappableItem)
    assert p.name == "p"


@pytest.mark.parametrize("kwargs,message", [
    ({}, "data type or number of bytes for application parameter must be specified"),
    ({"n_bytes": 3}, "n_bytes must be 1, 2 or 4, or type be specified"),
    ({"n_bytes": 2, "data_type": v.DataType.UINT8},
     "n_bytes must be equal to the number of bytes of the data type"),
])
def test_parameter_refuses_bad_sizes(kwargs, message):
    with pytest.raises(ValueError) as err:
        v.ApplicationParameter("p", 1, **kwargs)
    assert err.value.args == (message,)


@pytest.mark.parametrize("args", [(3, 1, 1), ("p", 1, "2"), ("p", 1, None, "UINT8")])
def test_parameter_refuses_bad_types(args):
    with pytest.raises(TypeError):
        v.ApplicationParameter(*args)


def test_parameter_value_range():
    with pytest.raises(ValueError):
        v.ApplicationParameter("p", 256, 1)
    p = v.ApplicationParameter("p", -2, data_type=v.DataType.INT8)
    assert p.value == -2 and p.raw_value == 0xFE


def test_parameter_pickles_without_its_handler():
    p = v.ApplicationParameter("gain", 0x1234, 2)
    h = v.MasterHandler(v.Dictionary([]), 1, 1, 1.0, application_parameters=[p])
    copy = pickle.loads(pickle.dumps(p))
    assert (copy.name, copy.data_type, copy.value) == ("gain", v.DataType.UINT16, 0x1234)
    copy.value = 7  # free: the copy belongs to no handler
    other = v.MasterHandler(v.Dictionary([]), 1, 1, 1.0, application_parameters=[copy])
    with pytest.raises(PermissionError):
        copy._set_use_by_master(h)
    h.delete()
    other.delete()


def test_parameter_changes_only_while_its_handler_is_stopped():
    p = v.ApplicationParameter("p", 1, 1)
    out = v.DictionaryItemOutput(1, "o", v.DataType.UINT8)
    inp = v.DictionaryItemInput(2, "i", v.DataType.UINT8, 0)
    h = v.MasterHandler(v.Dictionary([out, inp]), 1, 1, 1.0, application_parameters=[p])
    h.master.dictionary_map.add(out)
    h.slave.dictionary_map.add(inp)
    p.set(2)
    h.start()
    for change in (lambda: p.set(3), lambda: setattr(p, "value", 3)):
        with pytest.raises(v.FSOEMasterRunningException) as err:
            change()
        assert err.value.args == ("Application parameters cannot be changed while the master is running",)
    assert p.value == 2
    h.stop()
    p.value = 4
    assert p.get() == 4
    h.delete()


def test_parameter_claimed_once():
    p = v.ApplicationParameter("p", 1, 1)
    h = v.MasterHandler(v.Dictionary([]), 1, 1, 1.0)
    p._set_use_by_master(h)
    with pytest.raises(PermissionError) as err:
        p._set_use_by_master(h)
    assert err.value.args == ("Application parameter already used by a master",)
    with pytest.raises(TypeError):
        v.ApplicationParameter("q", 1, 1)._set_use_by_master(object())
    h.delete()


def test_session_values_and_error():
    s = v.Session(7, 9, 99.9)
    assert (s.slave_address.value, s.connection_id.value, s.watchdog_ms.value) == (7, 9, 99)
    assert [s.session_id.value, s.error_id.value, s.comm_parameter_size_bytes.value,
            s.app_parameter_size_bytes.value] == [0, 0, 0, 0]
    assert s.session_id.data_type is v.DataType.UINT16
    assert s.error is v.FSOEError.RESET
    s.error = v.BaseError.INVALID_CRC
    assert s.error is v.FSOEError.INVALID_CRC and s.error_id.value == 4
    s.error = v.FSOEError.INVALID_SAFEPARA_200
    assert s.error_id.value == 200
    s.error_id.value = 12
    with pytest.raises(ValueError):
        s.error
    with pytest.raises(ValueError):
        s.error = 13
    with pytest.raises(TypeError):
        pickle.dumps(s)


@pytest.mark.parametrize("value,error,message", [
    (65536, OverflowError, "value too large to convert to uint16_t"),
    (-1, OverflowError, "can't convert negative value to uint16_t"),
    (70000.5, OverflowError, "value too large to convert to uint16_t"),
    ("1", TypeError, None),
])
def test_session_values_are_16_bit(value, error, message):
    with pytest.raises(error) as err:
        v.Session(value, 1, 1)
    if message:
        assert err.value.args == (message,)


def make_node(editable=True, params=None):
    out = v.DictionaryItemOutput(1, "o", v.DataType.UINT16)
    d = v.Dictionary([out, v.DictionaryItemInput(2, "i", v.DataType.UINT8, 0)])
    node = v.Node(1, 2, 3, params, d, {v.DictionaryItemOutput}, editable)
    return node, out, d


def test_node_start_locks_and_sizes():
    node, out, d = make_node()
    assert node.dictionary_map.dictionary is d
    assert node.frame.safe_data_size_bytes == 0
    node.start()
    assert node.dictionary_map.locked and node.frame.safe_data_size_bytes == 0
    node.stop()
    node.dictionary_map.add(out)
    node.start()
    assert node.frame.safe_data_size_bytes == 2
    with pytest.raises(v.FSOEMasterMappingLockedException):
        node.dictionary_map.add_padding(8)
    node.stop()
    assert not node.dictionary_map.locked


def test_node_not_editable_stays_locked():
    node, _, _ = make_node(editable=False)
    assert node.dictionary_map.locked
    node.start()
    node.stop()
    assert node.dictionary_map.locked


def test_node_fields():
    p = v.DynamicMappableItem(5, v.DataType.UINT8)
    node, _, _ = make_node(params=[p])
    assert node.application_parameters[0] is p
    assert node._last_crc0_sent is None
    node._last_crc0_sent = 0xBEEF
    assert node._last_crc0_sent == 0xBEEF
    node._last_crc0_sent = None
    with pytest.raises(OverflowError):
        node._last_crc0_sent = 0x10000
    assert isinstance(node._dynamic_map, v.FSOEDynamicMap)
    assert node.session.watchdog_ms.value == 3
    with pytest.raises(TypeError):
        pickle.dumps(node)


@pytest.mark.parametrize("args", [
    (1, 2, 3, None, None, None),
    (1, 2, 3, "x", v.Dictionary([]), None),
    (1, 2, 3, [1], v.Dictionary([]), None),
    (1, 2, 3, None, v.Dictionary([]), [v.DictionaryItemInput]),
])
def test_node_refuses_bad_types(args):
    with pytest.raises(TypeError):
        v.Node(*args)
