"""The stay transitions of the setup states re-arm the master's watchdog.

With 1 byte of safe data each way every setup state takes several frames. One state at a time
runs at a slow pace: each cycle well inside one watchdog period, the state's frames together
longer than one period. The state must end in its next state without an expiry; if its stays
did not re-arm the watchdog, the arming on entry would run out before the last frame. The
other states run at full speed, so each case depends on the stays of its own state only.
"""
import time

import pytest

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONN_ID = 0x0042, 0x1234
WD_MESSAGE = "The watchdog of the master expired"
# A long application-parameter set: 10 bytes, after the 6 bytes of communication parameters
# and sizes, so the Parameter state takes 16 frames of 1 byte.
PARAMETERS = [(4, 0x11223344), (4, 0x55667788), (2, 0x99AA)]
SETUP = [v.StateSession, v.StateConnection, v.StateParameter, v.StateData]

# (state, prefix of its transitions, frames it takes, watchdog period s, pause per cycle s).
# A pause is at most 2/3 of its period and the state's frames last at least 4/3 of it: a
# cycle may come 150 ms (Session), 150 ms (Connection), 200 ms (Parameter) late before the
# watchdog expires, and the expiry that a missing re-arm causes comes 150 ms, 300 ms, 1.3 s
# before the state's last frame would re-arm it.
CASES = [
    (v.StateSession, "SESSION", 2, 0.45, 0.30),      # 0.60 s = 1.3 periods, 150 ms to spare
    (v.StateConnection, "CONN", 4, 0.30, 0.15),      # 0.60 s = 2 periods, 150 ms to spare
    (v.StateParameter, "PARA", 6 + 10, 0.30, 0.10),  # 1.60 s = 5.3 periods, 200 ms to spare
]
IDS = [case[1] for case in CASES]


class Link:
    """A handler and a simulated slave with 1 byte of safe data each way."""

    def __init__(self, watchdog_s):
        self.watchdog_s = watchdog_s
        self.errors, self.states = [], []
        params = [v.ApplicationParameter(f"p{i}", value, n)
                  for i, (n, value) in enumerate(PARAMETERS)]
        inputs = v.DictionaryItemInput(100, "in", v.DataType.UINT8, 0)
        outputs = v.DictionaryItemOutput(200, "out", v.DataType.UINT8)
        self.handler = v.MasterHandler(
            v.Dictionary([inputs, outputs]), ADDRESS, CONN_ID, watchdog_s,
            application_parameters=params,
            report_error_callback=lambda name, message: self.errors.append((name, message)),
            state_change_callback=self.states.append)
        self.handler.master.dictionary_map.add(outputs)
        self.handler.slave.dictionary_map.add(inputs)
        block = b"".join(value.to_bytes(n, "little") for n, value in PARAMETERS)
        # The simulator's watchdog runs on a clock only the host moves; it stays still here,
        # so only the master's watchdog is timed.
        self.sim = SlaveSimulator(ADDRESS, CONN_ID, 1, 1, round(watchdog_s * 1000),
                                  application_parameters=block, seed=7)
        self.handler.start()

    def cycle(self):
        self.handler.set_reply(self.sim.process(self.handler.get_request()))

    def run_until(self, state, limit=60):
        for _ in range(limit):
            if self.handler.state is state:
                return
            self.cycle()
        assert self.handler.state is state, (self.handler.state, self.errors)

    def paced(self, frames, pause, stop_on_error=False):
        """Cycles once per pause from now, when the state was just entered (which armed the
        watchdog). Returns the state after each cycle and the longest time between two
        cycles, the first counted from now."""
        start = last = time.monotonic()
        seen, longest = [], 0.0
        for k in range(1, frames + 1):
            # Deadlines from the start: a late cycle does not push the later ones back.
            time.sleep(max(0.0, start + k * pause - time.monotonic()))
            now = time.monotonic()
            longest, last = max(longest, now - last), now
            self.cycle()
            seen.append(self.handler.state)
            if stop_on_error and self.errors:
                break
        return seen, longest


@pytest.fixture
def links():
    made = []

    def make(watchdog_s):
        made.append(Link(watchdog_s))
        return made[-1]

    yield make
    for link in made:
        link.handler.delete()


@pytest.mark.parametrize("state,prefix,frames,watchdog_s,pause", CASES, ids=IDS)
def test_slow_stay_sequence_does_not_expire(links, state, prefix, frames, watchdog_s, pause):
    following = SETUP[SETUP.index(state) + 1]
    for _ in range(3):
        link = links(watchdog_s)
        link.run_until(state)
        seen, longest = link.paced(frames, pause)
        # A cycle stalled past 90 % of a period by the machine's load proves nothing: run
        # again. A stay that does not re-arm fails every run, with every cycle on time.
        if longest < 0.9 * watchdog_s:
            break
    else:
        pytest.fail(f"the machine stalled a cycle for {longest:.3f} s in three runs")
    assert link.errors == [], (prefix, longest)
    # Every frame but the last is a stay; the last moves on.
    assert seen == [state] * (frames - 1) + [following]
    link.run_until(v.StateData)
    assert link.errors == []
    assert link.states == SETUP


@pytest.mark.parametrize("state,prefix,frames,watchdog_s,pause", CASES, ids=IDS)
def test_same_pace_without_rearming_expires(links, state, prefix, frames, watchdog_s, pause):
    # The slave falls silent on entry: no new frame, so no stay and no re-arm. At the pace
    # above the watchdog expires within the state's frames, so the test above would see a
    # stay that stopped re-arming.
    link = links(watchdog_s)
    link.run_until(state)
    link.sim.inject("silent")
    link.paced(frames, pause, stop_on_error=True)
    assert link.errors[:1] == [(f"{prefix}_WD", WD_MESSAGE)]
    assert link.handler.state is v.StateReset
