"""The state classes from Python: ids, operations on a handler, and the transition trace."""
import os
import subprocess
import sys

import pytest

import velmora as v

CLASSES = [v.StateReset, v.StateSession, v.StateConnection, v.StateParameter, v.StateData]


def started_handler(errors=None):
    inp = v.DictionaryItemInput(1, "in", v.DataType.UINT16, 0x5555)
    out = v.DictionaryItemOutput(2, "out", v.DataType.UINT16)
    h = v.MasterHandler(v.Dictionary([inp, out]), 0x42, 0x1234, 5.0,
                        report_error_callback=None if errors is None else
                        (lambda a, b: errors.append((a, b))))
    h.master.dictionary_map.add(out)
    h.slave.dictionary_map.add(inp)
    h.start()
    return h, inp


@pytest.fixture
def handler():
    h, inp = started_handler()
    yield h, inp
    h.delete()


def test_classes_and_ids():
    assert [cls.id for cls in CLASSES] == [0, 1, 2, 3, 4]
    assert all(issubclass(cls, v.State) for cls in CLASSES)
    assert [hasattr(cls, "map_frame") for cls in CLASSES] == [True, True, False, True, True]
    assert hasattr(v.StateReset, "_reset_handler") and hasattr(v.StateSession, "_reset_session")


def test_base_state_is_not_implemented(handler):
    h, _ = handler
    base = v.State(h)
    assert base.context is h
    for op in (base._process_frame_received_event, base._process_watchdog_expired_event,
               base._process_reset_connection_event):
        with pytest.raises(NotImplementedError):
            op()


def test_reset_handler_from_python(handler):
    h, inp = handler
    h.set_reply(bytes.fromhex("2a000000000000"))
    assert h.state is v.StateSession
    result = v.StateReset(h)._reset_handler(v.BaseError.INVALID_DATA)
    assert result is v.StateReset
    h._set_next_state(result)
    assert h.state is v.StateReset
    assert h.master.session.error is v.FSOEError.INVALID_DATA
    assert h._reset_slave_sequence_number_after_frame
    assert h._get_request()[1] == 7
    with pytest.raises(ValueError):
        v.StateReset(h)._reset_handler(50)
    with pytest.raises(TypeError):
        v.StateReset(h)._reset_handler("x")


def test_events_and_session_restart_from_python(handler):
    h, _ = handler
    assert h._state._process_reset_connection_event() is v.StateReset
    old = h.master.session.session_id.value
    ids = {old}
    for _ in range(3):
        assert v.StateSession(h)._reset_session() is v.StateSession
        ids.add(h.master.session.session_id.value)
    assert len(ids) > 1
    assert h.master.frame.control.command is v.FSOECommand.SESSION
    v.StateParameter(h).map_frame()
    assert h.master.frame.control.command is v.FSOECommand.PARAMETER
    assert h.master.session.comm_parameter_size_bytes.value == 2
    assert isinstance(h._state._check_received_crcs(), bool)


def test_state_keeps_its_handler_alive():
    h, _ = started_handler()
    state = v.StateData(h)
    del h
    assert isinstance(state.context, v.MasterHandler)
    state.map_frame()
    assert state.context.master.frame.control.command is v.FSOECommand.FAILSAFE_DATA
    state.context.delete()


def test_transition_trace_of_a_whole_connection():
    code = (
        "import velmora as v\n"
        "from velmora.sim import SlaveSimulator\n"
        "i = v.DictionaryItemInput(1, 'i', v.DataType.UINT8, 0)\n"
        "o = v.DictionaryItemOutput(2, 'o', v.DataType.UINT8)\n"
        "h = v.MasterHandler(v.Dictionary([i, o]), 5, 6, 5.0)\n"
        "h.master.dictionary_map.add(o); h.slave.dictionary_map.add(i)\n"
        "s = SlaveSimulator(5, 6, 1, 1, 5000)\n"
        "h.start()\n"
        "for _ in range(20): h.set_reply(s.process(h.get_request()))\n"
        "h.reset()\n"
        "h.delete()\n"
    )
    env = dict(os.environ, VELMORA_LOGGING="1")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                         text=True, timeout=60, check=True).stdout
    names = [line.split(" | ")[2] for line in out.splitlines()
             if line.startswith("MASTER | TRANSITION | ")]
    assert names[:4] == ["RESET_START", "RESET_OK", "SESSION_STAY1", "SESSION_OK"]
    assert names[4:8] == ["CONNECTION_STAY1"] * 3 + ["CONN_OK"]
    assert names[8:14] == ["PARA_STAY1"] * 5 + ["PARA_OK"]
    # delete stops the running connection: one more reset.
    assert set(names[14:-2]) == {"DATA_OK1"} and names[-2:] == ["DATA_RESET2", "RESET_START"]
    assert "MASTER | CRC | Generating" in out and "MASTER | CRC | Check" in out
