"""Fail-safe requests carry all-zero safe data, end to end against the simulated slave: from
the first Data frame, across a switch of fail-safe mode in the middle of a connection, and
after resets while the outputs hold values."""
import pytest

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONN_ID = 0x0042, 0x1234
WORDS = 8  # 16 bytes each way, as UINT16 items


class Link:
    def __init__(self):
        self.outputs = [v.DictionaryItemOutput(0x7000 + i, f"out{i}", v.DataType.UINT16)
                        for i in range(WORDS)]
        self.inputs = [v.DictionaryItemInput(0x6000 + i, f"in{i}", v.DataType.UINT16, 0)
                       for i in range(WORDS)]
        self.handler = v.MasterHandler(v.Dictionary(self.outputs + self.inputs), ADDRESS,
                                       CONN_ID, 1.0)
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.sim = SlaveSimulator(ADDRESS, CONN_ID, 2 * WORDS, 2 * WORDS, 1000, seed=3)
        self.requests = []

    def cycle(self, n=1):
        for _ in range(n):
            request = self.handler.get_request()
            self.requests.append(request)
            self.handler.set_reply(self.sim.process(request))

    def connect(self):
        for _ in range(100):
            if self.handler.state is v.StateData:
                return
            self.cycle()
        assert self.handler.state is v.StateData

    def set_outputs(self, base):
        for i, item in enumerate(self.outputs):
            item.set(base + i)

    def expected_outputs(self):
        return b"".join(item.get().to_bytes(2, "little") for item in self.outputs)


def data_request(pdu):
    frame = v.FSOEFrame.frame_from_array(pdu)
    return frame.control.command, bytes(frame.get_safe_data_bytes())


@pytest.fixture
def link():
    made = Link()
    yield made
    made.handler.delete()


def test_fail_safe_requests_carry_zeros_and_the_outputs_follow_the_switch(link):
    link.set_outputs(0xA100)
    link.handler.start()
    link.connect()
    link.cycle(3)
    # Every Data request so far, the first one after the parameters included, is fail-safe
    # and carries zeros; the slave applied nothing and noted nothing.
    data = [data_request(r) for r in link.requests
            if data_request(r)[0] in (v.FSOECommand.FAILSAFE_DATA, v.FSOECommand.PROCESS_DATA)]
    assert data and all(r == (v.FSOECommand.FAILSAFE_DATA, bytes(2 * WORDS)) for r in data)
    assert link.sim.outputs == bytes(2 * WORDS)
    assert [e for e in link.sim.events if e.kind == "failsafe_not_zero"] == []
    assert [item.get() for item in link.outputs] == [0xA100 + i for i in range(WORDS)]

    link.handler.set_fail_safe(False)
    link.cycle(2)
    assert data_request(link.handler.get_request()) == (v.FSOECommand.PROCESS_DATA,
                                                        link.expected_outputs())
    assert link.sim.outputs == link.expected_outputs()

    # Back to fail-safe in the middle of the connection: zeros again, the slave holds none.
    link.handler.set_fail_safe(True)
    link.cycle(2)
    assert data_request(link.handler.get_request()) == (v.FSOECommand.FAILSAFE_DATA,
                                                        bytes(2 * WORDS))
    assert link.sim.outputs == bytes(2 * WORDS)
    assert link.handler.state is v.StateData
    assert [e for e in link.sim.events if e.kind == "failsafe_not_zero"] == []


@pytest.mark.parametrize("how", ["host_reset", "slave_reset", "restart"])
def test_after_a_reset_with_live_outputs_the_data_state_starts_fail_safe(link, how):
    link.set_outputs(0x5500)
    link.handler.start()
    link.connect()
    link.handler.set_fail_safe(False)
    link.cycle(2)
    assert link.sim.outputs == link.expected_outputs()
    if how == "host_reset":
        link.handler.reset()
    elif how == "slave_reset":
        link.sim.inject("reset")
        link.cycle()
    else:
        link.handler.stop()
        link.handler.start()
    assert link.handler.state is not v.StateData
    link.requests.clear()
    link.connect()
    link.cycle(2)
    first_data = [data_request(r) for r in link.requests
                  if data_request(r)[0] == v.FSOECommand.FAILSAFE_DATA]
    assert first_data and all(r[1] == bytes(2 * WORDS) for r in first_data)
    assert data_request(link.handler.get_request()) == (v.FSOECommand.FAILSAFE_DATA,
                                                        bytes(2 * WORDS))
