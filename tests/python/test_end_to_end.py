"""A master against velmora.sim.SlaveSimulator: into the Data state for many frame sizes and
parameter sets, process data both ways, every fault of the simulator with its transition,
message and error code, fail-safe inputs, recovery, and a watchdog expiry in each state."""
import time

import pytest

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONN_ID = 0x0042, 0x1234
STATES = [v.StateReset, v.StateSession, v.StateConnection, v.StateParameter, v.StateData]


class Link:
    """One handler and one simulated slave, with recorded callbacks."""

    def __init__(self, in_bytes=2, out_bytes=2, params=(), watchdog_s=1.0):
        self.inputs = [v.DictionaryItemInput(100 + i, f"in{i}", v.DataType.UINT8, 0xA0 + i)
                       for i in range(in_bytes)]
        self.outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", v.DataType.UINT8)
                        for i in range(out_bytes)]
        self.errors, self.states = [], []
        self.params = list(params)
        self.handler = v.MasterHandler(
            v.Dictionary(self.inputs + self.outputs), ADDRESS, CONN_ID, watchdog_s,
            application_parameters=self.params,
            report_error_callback=lambda name, message: self.errors.append((name, message)),
            state_change_callback=self.states.append)
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        block = b"".join(p.raw_value.to_bytes(p.n_bytes, "little") for p in self.params)
        self.sim = SlaveSimulator(ADDRESS, CONN_ID, in_bytes, out_bytes, int(watchdog_s * 1000),
                                  application_parameters=block, seed=7)
        self.handler.start()

    def cycle(self, n=1):
        for _ in range(n):
            self.handler.set_reply(self.sim.process(self.handler.get_request()))

    def run_until(self, state, limit=100, pause=0.0):
        for _ in range(limit):
            if self.handler.state is state:
                return
            self.cycle()
            time.sleep(pause)
        assert self.handler.state is state, (self.handler.state, self.errors[-3:])

    def request_code(self):
        request = v.FSOEFrame.frame_from_array(self.handler.get_request())
        assert request.control.command == v.FSOECommand.RESET
        return int.from_bytes(request.get_safe_data_bytes()[:min(2, request.safe_data_size_bytes)],
                              "little")

    def inputs_fail_safe(self):
        return all(item.get() == 0xA0 + i for i, item in enumerate(self.inputs))

    def close(self):
        self.handler.delete()


@pytest.fixture
def links():
    made = []

    def make(*args, **kwargs):
        made.append(Link(*args, **kwargs))
        return made[-1]

    yield make
    for link in made:
        link.close()


def exchange_process_data(link):
    link.handler.set_fail_safe(False)
    for step in range(3):
        for i, item in enumerate(link.outputs):
            item.set((step * 31 + i) & 0xFF)
        values = bytes((step * 17 + 5 * i) & 0xFF for i in range(len(link.inputs)))
        link.sim.inputs = values
        link.cycle(2)
        assert link.sim.outputs == bytes(item.get() for item in link.outputs)
        assert bytes(item.get() for item in link.inputs) == values
    assert link.handler.state is v.StateData


SIZES = [(1, 1), (2, 2), (4, 4), (6, 6), (16, 16), (2, 4), (4, 2), (1, 16), (16, 2), (6, 1)]


@pytest.mark.parametrize("in_bytes,out_bytes", SIZES)
def test_data_state_for_every_frame_size(links, in_bytes, out_bytes):
    link = links(in_bytes, out_bytes)
    link.run_until(v.StateData)
    assert link.errors == []
    assert link.states == STATES[1:]
    assert link.handler.initialization_data_bytes == min(in_bytes, out_bytes)
    exchange_process_data(link)


PARAMETER_SETS = {
    "none": [],
    "one byte": [(1, 0x5A)],
    "two bytes": [(2, 0xBEEF)],
    "four bytes": [(4, 0x12345678)],
    "1, 2 and 4 bytes": [(1, 0x11), (2, 0x2233), (4, 0x44556677)],
}


@pytest.mark.parametrize("sizes", [(2, 2), (1, 1), (6, 4)])
@pytest.mark.parametrize("name", list(PARAMETER_SETS))
def test_data_state_for_every_parameter_set(links, name, sizes):
    params = [v.ApplicationParameter(f"p{i}", value, n)
              for i, (n, value) in enumerate(PARAMETER_SETS[name])]
    link = links(*sizes, params=params)
    link.run_until(v.StateData)
    assert link.errors == []
    session = link.handler.slave.session
    assert session.app_parameter_size_bytes.value == sum(n for n, _ in PARAMETER_SETS[name])
    assert session.watchdog_ms.value == 1000
    assert [p.value for p in link.handler.slave.application_parameters] == \
        [value for _, value in PARAMETER_SETS[name]]
    exchange_process_data(link)


def connection_id_message(received):
    return f"Connection id exchanged does not match {received} != {CONN_ID}"


def slave_reset_message(name):
    return f"Connection was reset by the slave (slave reported error {name})"


# (state to inject in, fault, parameters, transition, message, error code or None for a
# Session restart)
FAULT_ROWS = [
    (v.StateData, "corrupt_crc", {}, "DATA_FAIL1", "Invalid slave CRC", 4),
    (v.StateData, "wrong_connection_id", {"connection_id": 0x4321}, "DATA_FAIL2",
     connection_id_message(0x4321), 3),
    (v.StateData, "unknown_command", {}, "DATA_FAIL4", "Invalid slave frame command", 2),
    (v.StateData, "wrong_command", {"command": v.FSOECommand.SESSION}, "DATA_FAIL3",
     "Invalid slave frame command", 1),
    (v.StateData, "reset", {"error": v.BaseError.INVALID_CRC}, "DATA_RESET1",
     slave_reset_message("INVALID_CRC"), None),
    (v.StateData, "reset", {"error": 12}, "DATA_RESET1", slave_reset_message("12"), None),
    (v.StateParameter, "corrupt_crc", {}, "PARA_FAIL1", "Invalid slave CRC", 4),
    (v.StateParameter, "wrong_connection_id", {"connection_id": 7}, "PARA_FAIL3",
     connection_id_message(7), 3),
    (v.StateParameter, "unknown_command", {"command": 0x99}, "PARA_FAIL5",
     "Invalid slave frame command", 2),
    (v.StateParameter, "wrong_command", {"command": v.FSOECommand.PROCESS_DATA}, "PARA_FAIL4",
     "Invalid slave frame command", 1),
    (v.StateParameter, "reset", {"error": v.BaseError.INVALID_USERPARA}, "PARA_RESET1",
     slave_reset_message("INVALID_USERPARA"), None),
    (v.StateConnection, "corrupt_crc", {}, "CONN_FAIL1", "Invalid slave CRC", 4),
    (v.StateConnection, "wrong_connection_id", {}, "CONN_FAIL3",
     connection_id_message(CONN_ID ^ 0xFFFF), 3),
    (v.StateConnection, "unknown_command", {}, "CONN_FAIL5", "Invalid slave frame command", 2),
    (v.StateConnection, "wrong_command", {"command": v.FSOECommand.PARAMETER}, "CONN_FAIL4",
     "Invalid slave frame command", 1),
    (v.StateConnection, "reset", {"error": 200}, "CONN_RESET1",
     slave_reset_message("INVALID_SAFEPARA_200"), None),
    (v.StateSession, "unknown_command", {}, "SESSION_FAIL4", "Invalid slave frame command", 2),
    (v.StateSession, "wrong_command", {"command": v.FSOECommand.CONNECTION}, "SESSION_FAIL3",
     "Invalid slave frame command", 1),
    (v.StateSession, "reset", {"error": v.BaseError.WD_EXPIRED}, "SESSION_RESET1",
     slave_reset_message("WD_EXPIRED"), None),
]


@pytest.mark.parametrize("state,fault,params,transition,message,code", FAULT_ROWS,
                         ids=[f"{r[3]}-{r[1]}" for r in FAULT_ROWS])
def test_fault_transition_and_recovery(links, state, fault, params, transition, message, code):
    link = links(2, 2, params=[v.ApplicationParameter("p", 3, 2)])
    link.run_until(v.StateData)
    link.cycle()
    link.sim.inputs = b"\x01\x02"
    link.cycle(2)
    assert not link.inputs_fail_safe()
    if state is not v.StateData:
        link.handler.reset()
        link.run_until(state)
    link.sim.inject(fault, **params)
    link.cycle()
    assert link.errors[-1] == (transition, message)
    assert link.inputs_fail_safe()
    if code is None:
        assert link.handler.state is v.StateSession
    else:
        assert link.handler.state is v.StateReset
        assert link.request_code() == code
    reported = len(link.errors)
    link.run_until(v.StateData)
    assert len(link.errors) == reported
    exchange_process_data(link)


@pytest.mark.parametrize("fault,params", [
    ("wrong_address", {}),
    ("wrong_watchdog", {"watchdog_ms": 999}),
    ("wrong_parameter", {"index": 1, "value": 0x77}),
])
def test_wrong_echo_is_invalid_data(links, fault, params):
    link = links(2, 2, params=[v.ApplicationParameter("p", 0x1234, 2)])
    link.sim.inject(fault, **params)
    link.run_until(v.StateReset, limit=1)
    for _ in range(30):
        link.cycle()
        if link.errors:
            break
    expected = ("CONN_FAIL2", "Data exchanged during session state does not match") \
        if fault == "wrong_address" else \
        ("PARA_FAIL2", "Data exchanged during parameter state does not match")
    assert link.errors[0] == expected
    assert link.request_code() == 7
    link.run_until(v.StateData)
    exchange_process_data(link)


def test_failsafe_data_reply_sets_fail_safe_inputs_and_stays(links):
    link = links(2, 2)
    link.run_until(v.StateData)
    link.sim.inputs = b"\x05\x06"
    link.cycle(2)
    assert [i.get() for i in link.inputs] == [5, 6]
    link.sim.inject("failsafe_data")
    link.cycle()
    assert link.inputs_fail_safe()
    assert link.handler.state is v.StateData
    assert link.errors == []
    link.cycle()
    assert [i.get() for i in link.inputs] == [5, 6]


def test_session_crc_failure_is_tolerated(links):
    link = links(2, 2)
    link.run_until(v.StateSession)
    link.sim.inject("corrupt_crc")
    link.cycle()
    assert link.errors == [("SESSION_STAY2", "Invalid slave CRC")]
    assert link.handler.state is v.StateSession
    link.run_until(v.StateData)


@pytest.mark.parametrize("state", STATES, ids=lambda s: s.__name__)
def test_watchdog_expiry_in_each_state(links, state):
    link = links(1, 1, watchdog_s=0.05)
    link.run_until(state)
    link.sim.inject("silent")
    deadline = time.monotonic() + 2
    while not link.errors and time.monotonic() < deadline:
        time.sleep(0.005)
        link.cycle()  # the silent slave repeats its last reply, which is no new frame
    name = {v.StateReset: "RESET", v.StateSession: "SESSION", v.StateConnection: "CONN",
            v.StateParameter: "PARA", v.StateData: "DATA"}[state]
    link.handler.stop()
    assert link.errors[0] == (f"{name}_WD", "The watchdog of the master expired")
    assert link.inputs_fail_safe()
    link.sim.clear_faults()
    reported = len(link.errors)
    link.handler.start()
    # A restart is a new connection: the slave's Reset reply is taken even when it equals,
    # byte for byte, the reply the master processed last, so no watchdog expiry is needed.
    link.run_until(v.StateData, limit=20)
    assert link.errors[reported:] == []
