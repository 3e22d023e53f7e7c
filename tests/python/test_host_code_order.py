"""Host code runs after the operation that caused it: callbacks and subscribers see a handler
that is whole (state, request, counters and every input of the reply already updated), a
reset asked for from a subscriber is in force when the call that handled the reply returns,
a raising subscriber does not cut a transfer short, a map edited from a subscriber does not
change what the reply delivers, and two handlers whose callbacks act on each other never
wait on each other."""
import faulthandler
import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONNECTION_ID = 0x0042, 0x1234
COMMANDS = {v.StateReset: {v.FSOECommand.RESET}, v.StateSession: {v.FSOECommand.SESSION},
            v.StateConnection: {v.FSOECommand.CONNECTION},
            v.StateParameter: {v.FSOECommand.PARAMETER},
            v.StateData: {v.FSOECommand.PROCESS_DATA, v.FSOECommand.FAILSAFE_DATA}}


@pytest.fixture(autouse=True)
def no_hang():
    # A callback that waits on its own handler would hang the whole run: end it with the
    # stacks of every thread instead.
    faulthandler.dump_traceback_later(60, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


class Link:
    """A handler with UINT8 inputs (fail-safe 0xA0, 0xA1, ...) and one UINT16 output,
    against its own simulated slave."""

    def __init__(self, n_inputs=2, watchdog_s=5.0, inputs=None, unmapped=(), **kwargs):
        self.inputs = inputs or [
            v.DictionaryItemInput(1 + i, f"in{i}", v.DataType.UINT8, 0xA0 + i)
            for i in range(n_inputs)]
        self.output = v.DictionaryItemOutput(0x20, "out", v.DataType.UINT16)
        self.handler = v.MasterHandler(
            v.Dictionary(self.inputs + list(unmapped) + [self.output]), ADDRESS, CONNECTION_ID,
            watchdog_s, **kwargs)
        self.handler.master.dictionary_map.add(self.output)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.input_bytes = self.handler.slave.dictionary_map.safety_bytes
        self.sim = SlaveSimulator(ADDRESS, CONNECTION_ID, self.input_bytes, 2,
                                  int(watchdog_s * 1000))

    def cycle(self, inputs=None):
        if inputs is not None:
            self.sim.inputs = bytes(inputs)
        self.handler.set_reply(self.sim.process(self.handler.get_request()))

    def connect(self, inputs=None):
        """Starts (if stopped) and runs cycles until the Data state; then one more cycle so
        the inputs hold the slave's values."""
        if not self.handler.running:
            self.handler.start()
        for _ in range(60):
            if self.handler.state is v.StateData:
                self.cycle(inputs if inputs is not None else bytes(self.input_bytes))
                return
            self.cycle()
        raise AssertionError(f"no Data state: {self.handler!r}")

    def values(self):
        return [item.get() for item in self.inputs]

    def fail_safe(self):
        return [item.fail_safe_value for item in self.inputs]


def command(request):
    return v.FSOEFrame.frame_from_array(request).control.command


HOST_RESETS = {
    "reset": lambda h: h.reset(),
    "start": lambda h: h.start(),
    "stop, start": lambda h: (h.stop(), h.start()),
}


@pytest.mark.parametrize("action", list(HOST_RESETS))
def test_reset_from_a_subscriber_during_a_data_reply_is_in_force_when_the_reply_returns(action):
    states = []
    link = Link(state_change_callback=states.append)
    h = link.handler
    link.connect(inputs=[1, 2])
    acted = []

    def on_change():
        if not acted:
            acted.append(link.inputs[0].get())
            HOST_RESETS[action](h)

    link.inputs[0].subscribe_changed(on_change)
    mark = len(states)
    link.cycle([0x11, 0x22])
    assert acted == [0x11]
    assert h.state is v.StateReset and h.running
    assert command(h.get_request()) is v.FSOECommand.RESET
    assert link.values() == link.fail_safe()
    assert states[mark - 1] is v.StateData and states[-1] is v.StateReset
    assert v.StateData not in states[mark:], states[mark:]
    # The connection carries on from the reset.
    link.inputs[0].unsubscribe_changed(on_change)
    link.connect(inputs=[3, 4])
    assert link.values() == [3, 4]
    h.delete()


def test_raising_subscribers_do_not_cut_the_transfer_short():
    link = Link(n_inputs=4)
    h = link.handler
    link.connect()
    called = []

    def recorder(index, error=None):
        def subscriber():
            called.append(index)
            if error is not None:
                raise error
        return subscriber

    subscribers = [recorder(0, ValueError("first input")), recorder(1),
                   recorder(2, KeyError("third input")), recorder(3)]
    for item, subscriber in zip(link.inputs, subscribers):
        item.subscribe_changed(subscriber)
    before = h.diagnostics
    with pytest.raises(ValueError) as raised:
        link.cycle([0x11, 0x22, 0x33, 0x44])
    assert link.values() == [0x11, 0x22, 0x33, 0x44]
    after = h.diagnostics
    assert after["cycles"] == before["cycles"] + 1
    assert after["accepted_replies"] == before["accepted_replies"] + 1
    # The first error, once every notification of the reply was delivered.
    assert type(raised.value) is ValueError and raised.value.args == ("first input",)
    assert sorted(called) == [0, 1, 2, 3]
    assert h.state is v.StateData
    for item, subscriber in zip(link.inputs, subscribers):
        item.unsubscribe_changed(subscriber)
    link.cycle([0x55, 0x66, 0x77, 0x88])
    assert link.values() == [0x55, 0x66, 0x77, 0x88]
    h.delete()


MAP_EDITS = {
    "remove the middle item": lambda m, extra: m.remove(m[1]),
    "append past the safe data": lambda m, extra: m.add(extra),
    "remove and append": lambda m, extra: (m.remove(m[1]), m.add(extra)),
    "insert in front": lambda m, extra: m.insert(0, extra),
    "clear": lambda m, extra: m.clear(),
}


@pytest.mark.parametrize("edit", list(MAP_EDITS))
def test_map_edited_from_a_subscriber_does_not_change_what_the_reply_delivers(edit):
    a = v.DictionaryItemInput(1, "a", v.DataType.UINT8, 0xA1)
    b = v.DictionaryItemInput(2, "b", v.DataType.UINT8, 0xA2)
    c = v.DictionaryItemInput(3, "c", v.DataType.UINT16, 0xA3A3)
    extra = v.DictionaryItemInput(4, "x", v.DataType.UINT32, 0xEEEEEEEE)
    link = Link(inputs=[a, b, c], unmapped=[extra])
    h, m = link.handler, link.handler.slave.dictionary_map
    link.connect()
    edited = []

    def on_change():
        if not edited:
            edited.append(True)
            m._lock(False)
            MAP_EDITS[edit](m, extra)
            m._lock(True)

    a.subscribe_changed(on_change)
    link.cycle([0x11, 0x22, 0x33, 0x44])
    assert edited
    # Exactly the frame's values, for the map as it was when the reply came.
    assert [a.get(), b.get(), c.get(), extra.get()] == [0x11, 0x22, 0x4433, 0xEEEEEEEE]
    a.unsubscribe_changed(on_change)
    # The next reply goes through the edited map: no value takes bits from beyond the safe
    # data (the CRCs follow it in the frame); an entry that reaches past it keeps its value or
    # gets the bits that lie inside.
    previous = {entry.item.key: entry.item.get() for entry in m if entry.item is not None}
    safe = bytes([0x55, 0x66, 0x77, 0x88])
    link.cycle(safe)
    assert h.state is v.StateData
    padded = int.from_bytes(safe + bytes(8), "little")
    for entry in m:
        if entry.item is None:
            continue
        inside = (padded >> entry.position_bits) & ((1 << entry.bits) - 1)
        assert entry.item.get() in (inside, previous[entry.item.key]), (entry, m._items)
    h.delete()


def test_state_callbacks_find_the_handler_in_the_state_they_are_told():
    holder, seen = {}, []
    expired = threading.Event()

    def on_state(state):
        h = holder["h"]
        request = h.get_request()
        seen.append((state, h.state, command(request) if request else None))
        if state is v.StateReset and threading.get_ident() != threading.main_thread().ident:
            expired.set()

    link = Link(watchdog_s=0.2, state_change_callback=on_state)
    h = holder["h"] = link.handler
    link.connect()
    link.handler.reset()
    link.connect()
    assert expired.wait(5), "the watchdog did not expire"  # on the watchdog thread
    h.stop()
    h.delete()
    assert [state for state, _, _ in seen].count(v.StateData) == 2
    for state, current, request_command in seen:
        assert current is state
        assert request_command in COMMANDS[state], (state, request_command)


def test_subscribers_see_every_input_of_their_reply():
    link = Link(n_inputs=4)
    h = link.handler
    link.connect()
    seen = []
    for index, item in enumerate(link.inputs):
        item.subscribe_changed(
            lambda index=index: seen.append((index, link.values(), h.diagnostics["cycles"])))
    link.cycle([0x11, 0x22, 0x33, 0x44])
    cycles = h.diagnostics["cycles"]
    assert sorted(index for index, _, _ in seen) == [0, 1, 2, 3]
    assert all(values == [0x11, 0x22, 0x33, 0x44] for _, values, _ in seen), seen
    assert all(count == cycles for _, _, count in seen), seen
    # The reset of the inputs to their fail-safe values is delivered whole too.
    del seen[:]
    h.reset()
    assert sorted(index for index, _, _ in seen) == [0, 1, 2, 3]
    assert all(values == link.fail_safe() for _, values, _ in seen), seen
    h.delete()


OWN_OPERATIONS = {
    "get_request": lambda h: h.get_request(),
    "diagnostics": lambda h: h.diagnostics,
    "set_fail_safe": lambda h: h.set_fail_safe(False),
    "reset_diagnostics": lambda h: h.reset_diagnostics(),
}


@pytest.mark.parametrize("where", ["state callback", "subscriber"])
@pytest.mark.parametrize("operation", list(OWN_OPERATIONS))
def test_callback_calling_its_own_handler(where, operation):
    holder, calls = {}, []

    def act(*_):
        h = holder.get("h")
        if h is None or h.state is not v.StateData or calls:
            return
        begin = time.monotonic()
        OWN_OPERATIONS[operation](h)
        calls.append((time.monotonic() - begin, h.state, command(h.get_request())))

    kwargs = {"state_change_callback": act} if where == "state callback" else {}
    link = Link(**kwargs)
    h = holder["h"] = link.handler
    if where == "subscriber":
        link.inputs[1].subscribe_changed(act)
    link.connect(inputs=[7, 8])
    assert len(calls) == 1
    took, state, request_command = calls[0]
    assert took < 1.0
    assert state is v.StateData and request_command in COMMANDS[v.StateData]
    link.cycle([9, 10])
    assert h.state is v.StateData and link.values() == [9, 10]
    if operation == "set_fail_safe":
        assert command(h.get_request()) is v.FSOECommand.PROCESS_DATA
    h.delete()


TWO_HANDLERS = textwrap.dedent(r"""
    import json, sys, threading, time
    import velmora as v
    from velmora.sim import SlaveSimulator

    class Link:
        def __init__(self, k):
            self.input = v.DictionaryItemInput(1, "in", v.DataType.UINT16, 0xAAAA)
            out = v.DictionaryItemOutput(2, "out", v.DataType.UINT16)
            self.seen, self.acted = [], threading.Event()
            self.handler = v.MasterHandler(v.Dictionary([self.input, out]), 0x10 + k,
                                           0x100 + k, 0.05, report_error_callback=self.on_error)
            self.handler.master.dictionary_map.add(out)
            self.handler.slave.dictionary_map.add(self.input)
            self.sim = SlaveSimulator(0x10 + k, 0x100 + k, 2, 2, 50)

        def on_error(self, name, message):
            self.seen.append((name, message))
            if not self.acted.is_set():
                self.own_state = self.handler.state.__name__
                time.sleep(0.2)  # the other one's watchdog expires meanwhile
                begin = time.monotonic()
                self.other.handler.reset()  # one slave dropped out: reset the other one too
                self.reset_took = time.monotonic() - begin
                self.other_state = self.other.handler.state.__name__
                self.acted.set()

        def connect(self):
            self.sim.reset()
            if not self.handler.running:
                self.handler.start()
            for _ in range(60):
                self.handler.set_reply(self.sim.process(self.handler.get_request()))
                if self.handler.state is v.StateData:
                    return True
            return False

    links = [Link(0), Link(1)]
    links[0].other, links[1].other = links[1], links[0]
    rounds = []
    for _ in range(3):
        for link in links:
            link.seen.clear()
            link.acted.clear()
        connected = [link.connect() for link in links]
        # The host stops feeding both: both watchdogs expire at about the same moment.
        acted = [link.acted.wait(10) for link in links]
        rounds.append({"connected": connected, "acted": acted,
                       "states": [(getattr(link, "own_state", None),
                                   getattr(link, "other_state", None)) for link in links],
                       "reset_took": [getattr(link, "reset_took", None) for link in links],
                       "first_errors": [link.seen[:1] for link in links]})
    for link in links:
        link.acted.set()
    final = [link.connect() for link in links]
    for link in links:
        link.handler.delete()
    print(json.dumps({"rounds": rounds, "final": final}))
""")


def test_two_handlers_whose_error_callbacks_reset_each_other():
    try:
        result = subprocess.run([sys.executable, "-c", TWO_HANDLERS], capture_output=True,
                                text=True, timeout=30, env=dict(os.environ))
    except subprocess.TimeoutExpired as hang:
        pytest.fail(f"two handlers waited on each other: {hang.stderr}")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    for number, round_ in enumerate(report["rounds"]):
        assert round_["connected"] == [True, True], (number, round_)
        assert round_["acted"] == [True, True], (number, round_)
        # Each expiry left its own handler in Reset, and the other's reset did the same.
        assert round_["states"] == [["StateReset", "StateReset"]] * 2, (number, round_)
        assert max(round_["reset_took"]) < 1.0, (number, round_)
        expected = [["DATA_WD", "The watchdog of the master expired"]]
        assert round_["first_errors"] == [expected, expected], (number, round_)
    assert report["final"] == [True, True]
