"""The handler as a host programmer meets it: a context manager, readable reprs of handlers
and frames, and connection diagnostics after scripted runs against the slave simulator."""
import re
import time

import pytest

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONN_ID = 0x0042, 0x1234


class Rig:
    """A handler with 2 bytes of safe data each way and a simulated slave."""

    def __init__(self, watchdog_s=1.0, **callbacks):
        self.inputs = [v.DictionaryItemInput(100 + i, f"in{i}", v.DataType.UINT8, 0xA0 + i)
                       for i in range(2)]
        self.outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", v.DataType.UINT8)
                        for i in range(2)]
        self.errors = []
        self.handler = v.MasterHandler(
            v.Dictionary(self.inputs + self.outputs), ADDRESS, CONN_ID, watchdog_s,
            report_error_callback=lambda name, message: self.errors.append((name, message)),
            **callbacks)
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.sim = SlaveSimulator(ADDRESS, CONN_ID, 2, 2, int(watchdog_s * 1000), seed=3)
        self.new_replies = 0
        self._last = None

    def cycle(self, n=1):
        for _ in range(n):
            reply = self.sim.process(self.handler.get_request())
            if self.handler.running and reply != self._last:
                self.new_replies += 1
            self._last = reply
            self.handler.set_reply(reply)

    def run_until(self, state, limit=100):
        for _ in range(limit):
            if self.handler.state is state:
                return
            self.cycle()
        assert self.handler.state is state, self.errors


@pytest.fixture
def rig():
    made = Rig()
    yield made
    made.handler.delete()


# ---- context manager ----

def test_with_block_stops_the_handler_and_ends_its_watchdog_thread():
    r = Rig()
    with r.handler as master:
        assert master is r.handler
        master.start()
        r.run_until(v.StateData)
        assert master._watchdog.is_alive()
    assert not master.running
    assert master.state is v.StateReset
    assert not master._watchdog.is_alive()
    master.delete()  # a second end is harmless


def test_with_block_ends_the_handler_and_keeps_the_exception():
    r = Rig()
    with pytest.raises(ZeroDivisionError):
        with r.handler as master:
            master.start()
            r.run_until(v.StateData)
            1 / 0
    assert not master.running and not master._watchdog.is_alive()


def test_an_error_while_ending_carries_the_blocks_exception():
    def refuse_reset(state):
        if state is v.StateReset:
            raise RuntimeError("callback failed")

    r = Rig(state_change_callback=refuse_reset)
    with pytest.raises(RuntimeError, match="callback failed") as caught:
        with r.handler as master:
            master.start()
            r.run_until(v.StateData)
            raise KeyError("body")
    assert isinstance(caught.value.__context__, KeyError)
    # The handler ended all the same.
    assert not master.running and not master._watchdog.is_alive()


# ---- reprs ----

def test_handler_repr_follows_the_connection(rig):
    h = rig.handler
    assert repr(h) == f"<MasterHandler state=StateReset running=False connection_id={CONN_ID}>"
    h.start()
    rig.run_until(v.StateData)
    assert repr(h) == f"<MasterHandler state=StateData running=True connection_id={CONN_ID}>"
    h.stop()
    assert "state=StateReset running=False" in repr(h)


def test_handler_repr_of_a_subclass_names_the_subclass():
    class Safety(v.MasterHandler):
        pass

    h = Safety(v.Dictionary([]), 1, 9, 1.0)
    try:
        assert repr(h).startswith("<Safety state=StateReset running=False connection_id=9")
    finally:
        h.delete()


def make_frame(length, command, data, sequence=7, connection_id=0x1234):
    frame = v.FSOEFrame(length)
    frame.control.command = command
    frame.control.sequence_number = sequence
    frame.control.connection_id = connection_id
    frame.set_safe_data_bytes(data)
    frame.generate_crcs()
    return frame


@pytest.mark.parametrize("length, data, crcs", [
    (6, b"\x5a", 1), (7, b"\x01\xff", 1), (11, bytes(range(1, 5)), 2), (35, bytes(range(16)), 8),
])
def test_frame_repr_shows_command_counters_data_and_crcs(length, data, crcs):
    frame = make_frame(length, v.FSOECommand.PROCESS_DATA, data)
    text = repr(frame)
    words = " ".join(f"{frame.crcs[i]:04X}" for i in range(crcs))
    assert text == (f"<FSOEFrame PROCESS_DATA sequence_number=7 connection_id={0x1234} "
                    f"safe_data=[{data.hex(' ').upper()}] crcs=[{words}]>")


def test_frame_repr_of_a_received_frame_with_an_unknown_command():
    pdu = bytearray(make_frame(7, v.FSOECommand.RESET, b"\x00\x00").frame_to_array())
    pdu[0] = 0xC3
    assert repr(v.FSOEFrame.frame_from_array(bytes(pdu))).startswith(
        "<FSOEFrame 0xC3 sequence_number=0 connection_id=4660 safe_data=[00 00] crcs=[")


def test_frame_repr_of_an_empty_frame():
    assert repr(v.FSOEFrame()) == (
        "<FSOEFrame 0x00 sequence_number=0 connection_id=0 safe_data=[] crcs=[]>")


# ---- diagnostics ----

DIAGNOSTIC_KEYS = {"cycles", "accepted_replies", "resets", "last_error",
                   "time_since_last_accepted_reply_s", "min_reply_interval_s",
                   "max_reply_interval_s"}


def test_diagnostics_before_any_reply(rig):
    d = rig.handler.diagnostics
    assert set(d) == DIAGNOSTIC_KEYS
    assert d == dict.fromkeys(DIAGNOSTIC_KEYS) | {"cycles": 0, "accepted_replies": 0,
                                                  "resets": {}}
    rig.handler.set_reply(b"\x2a\x00\x00\x00\x00\x00\x00")  # stopped: no cycle
    assert rig.handler.diagnostics["cycles"] == 0


def test_diagnostics_of_a_clean_run_into_the_data_state(rig):
    rig.handler.start()
    rig.run_until(v.StateData)
    rig.handler.set_fail_safe(False)
    rig.cycle(10)
    rig.handler.set_reply(rig.sim.reply)  # a repeat is no cycle
    d = rig.handler.diagnostics
    assert d["cycles"] == rig.new_replies and d["cycles"] >= 10
    assert d["accepted_replies"] == d["cycles"]
    assert d["resets"] == {} and d["last_error"] is None
    assert 0 <= d["min_reply_interval_s"] <= d["max_reply_interval_s"] < 1.0
    first = d["time_since_last_accepted_reply_s"]
    time.sleep(0.02)
    assert rig.handler.diagnostics["time_since_last_accepted_reply_s"] >= first + 0.02


def test_diagnostics_count_resets_by_transition_and_keep_the_last_error(rig):
    rig.handler.start()
    rig.run_until(v.StateData)
    faults = [("corrupt_crc", "DATA_FAIL1"), ("reset", "DATA_RESET1"),
              ("corrupt_crc", "DATA_FAIL1")]
    for fault, _ in faults:
        rig.sim.inject(fault)
        rig.cycle()
        rig.run_until(v.StateData)
        rig.cycle(2)
    d = rig.handler.diagnostics
    assert d["resets"] == {"DATA_FAIL1": 2, "DATA_RESET1": 1}
    assert d["last_error"] == rig.errors[-1] == ("DATA_FAIL1", "Invalid slave CRC")
    assert d["cycles"] == rig.new_replies
    assert d["accepted_replies"] == d["cycles"] - len(faults)


def test_a_tolerated_session_crc_error_is_no_reset(rig):
    rig.handler.start()
    rig.run_until(v.StateSession)
    rig.sim.inject("corrupt_crc")
    rig.cycle()
    d = rig.handler.diagnostics
    assert d["last_error"] == ("SESSION_STAY2", "Invalid slave CRC")
    assert d["resets"] == {}


def test_a_watchdog_expiry_is_counted():
    r = Rig(watchdog_s=0.05)
    try:
        r.handler.start()
        r.run_until(v.StateData)
        deadline = time.monotonic() + 2
        while not r.errors and time.monotonic() < deadline:
            time.sleep(0.005)
        r.handler.stop()
        d = r.handler.diagnostics
        assert d["resets"].get("DATA_WD") == 1
        assert d["last_error"] == ("DATA_WD", "The watchdog of the master expired")
        assert d["time_since_last_accepted_reply_s"] >= 0.05
    finally:
        r.handler.delete()


def test_reset_diagnostics_zeroes_the_counters(rig):
    rig.handler.start()
    rig.run_until(v.StateData)
    rig.sim.inject("corrupt_crc")
    rig.cycle()
    rig.handler.reset_diagnostics()
    d = rig.handler.diagnostics
    assert (d["cycles"], d["accepted_replies"], d["resets"], d["last_error"]) == (0, 0, {}, None)
    assert d["min_reply_interval_s"] is None
    assert d["time_since_last_accepted_reply_s"] is not None
    rig.cycle(3)
    assert rig.handler.diagnostics["cycles"] == 3


def test_diagnostics_is_a_fresh_dict_on_every_read(rig):
    first = rig.handler.diagnostics
    first["resets"]["DATA_FAIL1"] = 99
    first["cycles"] = 99
    assert rig.handler.diagnostics["cycles"] == 0
    assert rig.handler.diagnostics["resets"] == {}


# ---- a restart is a new connection ----

def test_restart_takes_a_reset_reply_equal_to_the_last_one(rig):
    rig.handler.start()
    rig.cycle()  # the slave's Reset reply: on to the Session state
    assert rig.handler.state is v.StateSession
    last = rig.sim.reply
    rig.handler.stop()
    rig.handler.start()
    rig.cycle()
    assert rig.sim.reply == last  # the very same bytes, yet a new reply
    assert rig.handler.state is v.StateSession
    rig.run_until(v.StateData, limit=20)
    assert rig.errors == []
