"""Host misuse of a master handler: random sequences of its public operations with random
arguments, against a simulated slave. Only documented exception types may come out, the
process never crashes, and the handler stays consistent: a refused operation changes
nothing, the request keeps the length of its map and the command of its state, and outside
the Data state the inputs hold their fail-safe values."""
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONNECTION_ID = 0x0042, 0x1234
DOCUMENTED = (ValueError, TypeError, OverflowError, IndexError, KeyError, PermissionError,
              RuntimeError, v.FSOEMasterException)
STATES = (v.StateReset, v.StateSession, v.StateConnection, v.StateParameter, v.StateData)
COMMANDS = {v.StateReset: {v.FSOECommand.RESET}, v.StateSession: {v.FSOECommand.SESSION},
            v.StateConnection: {v.FSOECommand.CONNECTION},
            v.StateParameter: {v.FSOECommand.PARAMETER},
            v.StateData: {v.FSOECommand.PROCESS_DATA, v.FSOECommand.FAILSAFE_DATA}}

MISUSE = settings(
    max_examples=int(os.environ.get("VELMORA_MISUSE_EXAMPLES", "60")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

HOSTILE = st.one_of(
    st.none(), st.booleans(), st.floats(), st.text(max_size=3),
    st.integers(-(2**70), 2**70),
    st.sampled_from([object(), [1, 2], (1,), {1: 2}, math.nan, b"", bytearray(b"\x36")]),
)
REPLIES = st.one_of(
    st.binary(max_size=40),
    st.binary(min_size=7, max_size=7),
    st.sampled_from([b"\x2a" + bytes(6), b"\x36" + bytes(6)]),
    HOSTILE,
)


class Rig:
    def __init__(self, with_parameter):
        self.inputs = [v.DictionaryItemInput(1 + i, f"in{i}", v.DataType.UINT8, 0xA0 + i)
                       for i in range(2)]
        self.outputs = [v.DictionaryItemOutput(5 + i, f"out{i}", v.DataType.UINT8)
                        for i in range(2)]
        params = [v.ApplicationParameter("p", 0x5A, 1)] if with_parameter else None
        self.handler = v.MasterHandler(v.Dictionary(self.inputs + self.outputs), ADDRESS,
                                       CONNECTION_ID, 60.0, application_parameters=params)
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.sim = SlaveSimulator(ADDRESS, CONNECTION_ID, 2, 2, 60_000,
                                  application_parameters=b"\x5a" if with_parameter else b"",
                                  seed=1)
        self.deleted = False

    def honest_cycle(self):
        self.handler.set_reply(self.sim.process(self.handler.get_request()))


def attempt(call):
    """Runs call; a documented error is an answer, anything else fails the test."""
    try:
        return True, call()
    except DOCUMENTED as error:
        return False, error


def operations(rig, data):
    h = rig.handler
    return {
        "start": h.start,
        "stop": h.stop,
        "reset": h.reset,
        "honest cycle": rig.honest_cycle,
        "honest cycles": lambda: [rig.honest_cycle() for _ in range(data.draw(st.integers(1, 8)))],
        "set_reply": lambda: h.set_reply(data.draw(REPLIES)),
        "get_request": h.get_request,
        "set_fail_safe": lambda: h.set_fail_safe(data.draw(st.one_of(st.booleans(), HOSTILE))),
        "set_slave_address": lambda: h.set_slave_address(
            data.draw(st.one_of(st.integers(0, 0xFFFF), HOSTILE))),
        "expire": h._watchdog_expired_event,
        "edit map": lambda: h.master.dictionary_map.add_padding(
            data.draw(st.one_of(st.integers(1, 8), HOSTILE))),
        "output": lambda: rig.outputs[0].set(data.draw(st.one_of(st.integers(0, 255), HOSTILE))),
        "diagnostics": lambda: (h.diagnostics, h.reset_diagnostics()),
        "delete": h.delete,
    }


def check_consistent(rig, ok, name, before):
    h = rig.handler
    if rig.deleted:
        return
    assert h.state in STATES
    # A refused operation changes nothing the host can see.
    if not ok:
        assert (h.running, h.get_slave_address(), h.state) == before, name
    if not h.running:
        return
    request = h.get_request()
    assert type(request) is bytes and len(request) == rig.request_length, name
    assert v.FSOECommand(request[0]) in COMMANDS[h.state], (name, request[0], h.state)
    if h.state is not v.StateData:
        assert [item.get() for item in rig.inputs] == [0xA0, 0xA1], name


@pytest.mark.parametrize("with_parameter", [False, True])
@MISUSE
@given(data=st.data())
def test_random_host_calls_keep_the_handler_consistent(with_parameter, data):
    rig = Rig(with_parameter)
    rig.request_length = None
    try:
        names = list(operations(rig, data))
        for _ in range(data.draw(st.integers(1, 40))):
            name = data.draw(st.sampled_from(names))
            h = rig.handler
            before = None if rig.deleted else (h.running, h.get_slave_address(), h.state)
            ok, result = attempt(operations(rig, data)[name])
            if name == "delete" and ok:
                rig.deleted = True
            if rig.deleted:
                continue  # every call still answers with a documented error at most
            # A connection's request length is fixed from its start by the master's map.
            if not h.running:
                rig.request_length = None
            elif rig.request_length is None:
                rig.request_length = len(h.get_request())
            if ok and name == "set_slave_address":
                assert not before[0]
            if not ok and name in ("set_slave_address", "edit map") and before[0]:
                # Refused while running, with the library's own exception.
                assert isinstance(result, (v.FSOEMasterException, TypeError, ValueError,
                                           OverflowError)), (name, result)
            check_consistent(rig, ok, name, before)
        if not rig.deleted and rig.handler.master.dictionary_map.safety_bytes == 2:
            # Whatever happened, a restart and honest cycles bring the connection back.
            # When master and slave wait on each other (the request repeats, so the slave
            # sees no new frame) the watchdog's expiry ends it, run here in its place.
            h = rig.handler
            h.stop()
            h.set_slave_address(ADDRESS)
            h.start()
            h.set_fail_safe(False)
            for _ in range(40):
                request = h.get_request()
                rig.honest_cycle()
                if h.state is v.StateData:
                    break
                if h.get_request() == request:
                    h._watchdog_expired_event()
            assert h.state is v.StateData
    finally:
        rig.handler.delete()
