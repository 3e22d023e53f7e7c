"""The handler's public surface from Python: construction and start checks, the request and
reply cycle, callbacks, state classes, lifecycle and pickling."""
import gc
import pickle
import time

import pytest

import velmora as v
from waiting import os_thread_ids, wait_until

RESET_REQUEST = bytes.fromhex("2a0000c42d0000")  # Reset frame, error 0, CRC_0 0x2DC4


class Rig:
    def __init__(self, in_bytes=2, out_bytes=2, start=True, **kwargs):
        self.inputs = [v.DictionaryItemInput(100 + i, f"in{i}", v.DataType.UINT8, 0)
                       for i in range(in_bytes)]
        self.outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", v.DataType.UINT8)
                        for i in range(out_bytes)]
        self.errors, self.states = [], []
        kwargs.setdefault("report_error_callback", lambda a, b: self.errors.append((a, b)))
        kwargs.setdefault("state_change_callback", self.states.append)
        self.dictionary = v.Dictionary(self.inputs + self.outputs)
        self.handler = v.MasterHandler(self.dictionary, 0x42, 0x1234, 1.0, **kwargs)
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        if start:
            self.handler.start()


@pytest.fixture
def rig():
    made = Rig()
    yield made
    made.handler.delete()


def test_construction_defaults():
    h = v.MasterHandler(v.Dictionary([]), slave_address=3, connection_id=4, watchdog_timeout_s=0.25)
    assert h.state is v.StateReset and isinstance(h._state, v.StateReset)
    assert h._state.context is h
    assert not h.running and h.get_request() == b"" and h.initialization_data_bytes == 0
    assert h.get_slave_address() == 3
    assert h.master.session.connection_id.value == 4
    assert h.master.session.watchdog_ms.value == 250
    assert h.slave.session.slave_address.value == 0
    assert h._data_command is v.FSOECommand.FAILSAFE_DATA
    assert not h._second_session_frame_sent
    assert not h._reset_slave_sequence_number_after_frame
    assert not h._generate_crcs_cyclic_for_next_frame
    assert h.master.dictionary_map.item_types_accepted == {v.DictionaryItemOutput,
                                                           v.DictionaryItemInputOutput}
    assert h.slave.dictionary_map.item_types_accepted == {v.DictionaryItemInput,
                                                          v.DictionaryItemInputOutput}
    assert isinstance(h._watchdog, v.Watchdog) and h._watchdog.is_alive()
    h.delete()


@pytest.mark.parametrize("args,kwargs,error,message", [
    ((1, 0, 1.0), {}, ValueError, "Connection ID = 0 is not permitted"),
    ((1, 1, 0.0005), {}, ValueError, "Watchdog time must be at least 1 ms"),
    ((1, 1, 65.536), {}, OverflowError, "value too large to convert to uint16_t"),
    ((1, 1, -1.0), {}, OverflowError, "can't convert negative value to uint16_t"),
    ((65536, 1, 1.0), {}, OverflowError, "value too large to convert to uint16_t"),
    ((1, 1, "1"), {}, TypeError, None),
    ((1, 1, 1.0), {"application_parameters": (1,)}, TypeError, None),
    ((1, 1, 1.0), {"application_parameters": [1]}, TypeError, None),
    ((1, 1, 1.0), {"report_error_callback": 5}, TypeError, None),
    ((1, 1, 1.0), {"state_change_callback": "x"}, TypeError, None),
])
def test_construction_errors(args, kwargs, error, message):
    with pytest.raises(error) as err:
        v.MasterHandler(v.Dictionary([]), *args, **kwargs)
    if message is not None:
        assert err.value.args == (message,)


def test_dictionary_is_required():
    with pytest.raises(TypeError):
        v.MasterHandler(None, 1, 1, 1.0)


def test_failed_construction_claims_nothing():
    free, taken = v.ApplicationParameter("a", 1, 1), v.ApplicationParameter("b", 1, 1)
    owner = v.MasterHandler(v.Dictionary([]), 1, 1, 1.0, application_parameters=[taken])
    with pytest.raises(PermissionError) as err:
        v.MasterHandler(v.Dictionary([]), 1, 1, 1.0, application_parameters=[free, taken])
    assert err.value.args == ("Application parameter already used by a master",)
    with pytest.raises(ValueError):
        v.MasterHandler(v.Dictionary([]), 1, 0, 1.0, application_parameters=[free])
    user = v.MasterHandler(v.Dictionary([]), 1, 1, 1.0, application_parameters=[free])
    assert user.master.application_parameters == [free]
    assert [p.data_type for p in user.slave.application_parameters] == [v.DataType.UINT8]
    owner.delete()
    user.delete()


ODD = "Safe data of {} bytes is not a valid frame size: complete the map to whole 16-bit words"


@pytest.mark.parametrize("in_bytes,out_bytes,message", [
    (2, 17, "Frame structure cannot handle more than 16 bytes"),
    (20, 2, "Frame structure cannot handle more than 16 bytes"),
    (2, 5, ODD.format(5)),
    (3, 2, ODD.format(3)),
    (0, 2, "A connection needs at least 1 byte of safe data in each direction"),
    (2, 0, "A connection needs at least 1 byte of safe data in each direction"),
])
def test_start_refuses_bad_maps_before_locking(in_bytes, out_bytes, message):
    rig = Rig(in_bytes, out_bytes, start=False)
    h = rig.handler
    with pytest.raises(ValueError) as err:
        h.start()
    assert err.value.args == (message,)
    assert not h.running and h.get_request() == b""
    assert not h.master.dictionary_map.locked and not h.slave.dictionary_map.locked
    # The host can repair the map and start.
    for node in (h.master, h.slave):
        m = node.dictionary_map
        while m.safety_bytes > 16:
            m.remove(m[-1])
        if m.safety_bytes == 0 or m.safety_bytes % 2:
            m.add_padding(8)
    h.start()
    assert h.running and h.get_request()[0] == 0x2A
    h.delete()


def test_reset_request_and_cached_bytes(rig):
    h = rig.handler
    assert h.get_request() == RESET_REQUEST
    assert h.get_request() is h.get_request()
    assert h.initialization_data_bytes == 2
    assert h.master.dictionary_map.locked and h.slave.dictionary_map.locked


@pytest.mark.parametrize("data", ["2a", 42, None, [0x2A], object()])
def test_set_reply_refuses_non_bytes_even_while_stopped(data):
    rig = Rig(start=False)
    for _ in range(2):
        with pytest.raises(TypeError):
            rig.handler.set_reply(data)
        rig.handler.start()
    rig.handler.delete()


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview])
def test_set_reply_accepts_bytes_like(rig, make):
    rig.handler.set_reply(make(bytes.fromhex("2a000000000000")))
    assert rig.handler.state is v.StateSession
    assert rig.states == [v.StateSession]


def test_replies_detected_by_content(rig):
    h = rig.handler
    h.set_reply(b"\x2a\x00\x00\x00\x00\x00\x00")
    session = h.get_request()
    bad = [bytes([0x4E, i, 0, 0, 0, 0, 0]) for i in range(2)]
    h.set_reply(bad[0])
    h.set_reply(bad[0])
    assert len(rig.errors) == 1
    h.set_reply(bad[1])
    h.set_reply(bad[0])
    assert [e[0] for e in rig.errors] == ["SESSION_STAY2"] * 3
    assert h.get_request() != session


@pytest.mark.parametrize("data", [b"", b"\x2a", bytes(200), b"\xff" * 37, bytes(range(256)) * 40])
def test_bus_input_never_raises(rig, data):
    rig.handler.set_reply(data)
    rig.handler.set_reply(b"\x4e" + data)
    assert rig.handler.get_request()


def test_stopped_handler_ignores_replies(rig):
    h = rig.handler
    h.stop()
    assert not h.running and h.get_request() == RESET_REQUEST
    h.set_reply(bytes.fromhex("2a000000000000"))
    assert h.state is v.StateReset and rig.states == []
    assert not h._watchdog.active
    h.stop()
    assert rig.states == []


def test_fail_safe_switch(rig):
    h = rig.handler
    h.set_fail_safe(False)
    assert h._data_command is v.FSOECommand.PROCESS_DATA
    h.set_fail_safe()
    assert h._data_command is v.FSOECommand.FAILSAFE_DATA
    h.set_fail_safe(active=0)
    assert h._data_command is v.FSOECommand.PROCESS_DATA
    h.reset()
    assert h._data_command is v.FSOECommand.FAILSAFE_DATA


def test_slave_address(rig):
    h = rig.handler
    with pytest.raises(v.FSOEMasterRunningException) as err:
        h.set_slave_address(5)
    assert err.value.args == ("Cannot set slave address while running",)
    assert h.get_slave_address() == 0x42
    h.stop()
    h.set_slave_address(5)
    assert h.get_slave_address() == 5 and h.master.session.slave_address.value == 5
    with pytest.raises(OverflowError):
        h.set_slave_address(-1)


def test_callback_errors_reach_the_host_after_the_transition():
    class Boom(Exception):
        pass

    def explode(*args):
        raise Boom(args)

    rig = Rig(report_error_callback=explode, state_change_callback=explode)
    h = rig.handler
    with pytest.raises(Boom):
        h.set_reply(bytes.fromhex("2a000000000000"))
    assert h.state is v.StateSession and h.get_request()[0] == 0x4E
    with pytest.raises(Boom) as err:
        h.set_reply(b"\x36" + bytes(6))  # SESSION_FAIL3: reported, then reset
    assert err.value.args[0][0] == "SESSION_FAIL3"
    assert h.state is v.StateReset
    assert v.FSOEFrame.frame_from_array(h.get_request()).get_safe_data_bytes()[0] == 1
    h.delete()


def test_next_state_and_report_error_from_python(rig):
    h = rig.handler
    h._set_next_state(v.StateReset)
    assert rig.states == []
    h._set_next_state(v.StateData)
    assert rig.states == [v.StateData] and h.state is v.StateData
    with pytest.raises(TypeError):
        h._set_next_state(v.State)
    with pytest.raises(TypeError):
        h._set_next_state(4)
    h._report_error("NAME", None)
    assert rig.errors == [("NAME", None)]
    with pytest.raises(TypeError):
        h._report_error(1, "x")


def test_session_id_draws(rig):
    h = rig.handler
    seen = set()
    for _ in range(200):
        h._create_session_id()
        seen.add(h.master.session.session_id.value)
    assert len(seen) > 150 and all(0 <= s <= 0xFFFF for s in seen)
    h._second_session_frame_sent = True
    h._create_session_id()
    assert not h._second_session_frame_sent


def test_internal_request_and_reply(rig):
    h = rig.handler
    assert h._get_request()[0] == 0x2A
    h._set_reply(bytes.fromhex("2a000000000000"))
    assert h.state is v.StateSession
    assert h._dynamic_map_pending()


@pytest.mark.parametrize("obj", ["handler", "node", "session", "state"])
def test_engine_objects_refuse_pickling(rig, obj):
    target = {"handler": rig.handler, "node": rig.handler.master,
              "session": rig.handler.master.session, "state": rig.handler._state}[obj]
    with pytest.raises(TypeError):
        pickle.dumps(target)


def test_delete_twice_and_start_after_delete(rig):
    h = rig.handler
    h.delete()
    h.delete()
    assert not h.running and not h._watchdog.is_alive()
    with pytest.raises(RuntimeError) as err:
        h.start()
    assert err.value.args == ("FSoE Watchdog thread is not running",)
    assert not h.master.dictionary_map.locked
    h.set_reply(b"\x2a" + bytes(6))


def test_collected_handler_ends_its_thread():
    # By thread id, and waiting for it: other tests' threads may still be ending meanwhile.
    thread_ids = os_thread_ids
    before = thread_ids()
    rig = Rig()
    # A callback that refers to its own handler: a cycle only the collector can break.
    rig.handler_ref = rig.handler
    rig.handler = None
    assert wait_until(lambda: len(thread_ids() - before) == 1)
    ours = thread_ids() - before
    del rig
    gc.collect()
    assert wait_until(lambda: not thread_ids() & ours)
