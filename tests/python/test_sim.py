"""The slave simulator as a host sees it: its face, a connection driven by a small master
built from FSOEFrame, process data both ways, every fault, the clock, bad input."""
import pickle
import random

import pytest

from velmora import BaseError, FSOECommand, FSOEFrame
from velmora.sim import SlaveEvent, SlaveSimulator

ADDRESS, CONN_ID, WATCHDOG = 0x0102, 0x0304, 100


def frame_length(n):
    return 3 if n == 0 else 6 if n == 1 else 2 * n + 3


class MiniMaster:
    """The master's side of the protocol, by hand: piecewise setup data, chained CRCs,
    sequence numbers, transition names. Reset paths expect the slave's sequence number 1."""

    def __init__(self, in_bytes=2, out_bytes=2, params=b"", watchdog=WATCHDOG, address=ADDRESS):
        self.req, self.rep = FSOEFrame(frame_length(out_bytes)), FSOEFrame(frame_length(in_bytes))
        self.init, self.out_bytes = min(in_bytes, out_bytes), out_bytes
        self.params, self.watchdog, self.address = bytes(params), watchdog, address
        self.outputs, self.inputs = bytes(out_bytes), bytes(in_bytes)
        self.fail_safe, self.seen, self.slave_error = True, [], None
        self.random, self.last_reply = random.Random(1), None
        self.master_last = self.slave_last = None

    def start(self):
        self.seen.append("RESET_START")
        self._reset(0)
        self._build()

    def _reset(self, code):
        self.state, self.cyclic, self.master_last, self.reset_slave_seq = "RESET", False, None, True
        for f in (self.req, self.rep):
            f.control.crc0, f.control.sequence_number = 0, 1
        self.fail_safe, self.inputs = True, bytes(len(self.inputs))
        self._setup(FSOECommand.RESET, code.to_bytes(2, "little"))

    def _setup(self, command, block):
        self.req.control.command, self.block, self.offset, self.piece = command, block, 0, 0

    def _session(self):
        self.state, self.second = "SESSION", False
        self._setup(FSOECommand.SESSION, self.random.randrange(65536).to_bytes(2, "little"))

    def _fail(self, name, code):
        self.seen.append(name)
        self._reset(int(code))

    def _slave_reset(self, name):
        self.seen.append(name)
        code = self.rep.get_safe_data_bytes()[:min(self.init, 2)]
        self.slave_error = int.from_bytes(code, "little")
        for f in (self.req, self.rep):
            f.control.crc0, f.control.sequence_number = 0, 1
        self.fail_safe, self.inputs, self.reset_slave_seq = True, bytes(len(self.inputs)), True
        self._session()

    def _crcs_ok(self):
        if self.slave_last is None:
            return self.rep.check_crcs()
        return self.rep.check_crcs_cyclic(self.slave_last)

    def set_reply(self, data):
        if data == self.last_reply:
            return
        self.last_reply, handled = data, self.state
        self.rep._frame_from_array(data)
        if self.state != "RESET":
            self.req.control.crc0 = self.rep.crcs[0]
        self._process()
        if handled != "RESET":
            self.rep.control.increment_sequence_number()
        self.slave_last = self.rep.crcs[0]
        self._build()

    def _process(self):
        c = self.rep.control
        cmd = c.command if c.command_is_valid() else None
        prefix = {"SESSION": "SESSION", "CONNECTION": "CONN", "PARAMETER": "PARA", "DATA": "DATA"}
        if self.state == "RESET":
            if cmd == FSOECommand.RESET:
                self.seen.append("RESET_OK")
                self._session()
            else:
                self.seen.append("RESET_STAY1")
                self._reset(0)
            return
        p = prefix[self.state]
        if cmd is None:
            name = p + ("_FAIL4" if p in ("SESSION", "DATA") else "_FAIL5")
            return self._fail(name, BaseError.UNKNOWN_CMD)
        if cmd == FSOECommand.RESET:
            return self._slave_reset(p + "_RESET1")
        if self.state == "SESSION":
            if cmd != FSOECommand.SESSION:
                return self._fail("SESSION_FAIL3", BaseError.INVALID_CMD)
            if not self._crcs_ok():
                if self.second:
                    return self._fail("SESSION_FAIL1", BaseError.INVALID_CRC)
                return self.seen.append("SESSION_STAY2")
            if self.offset < len(self.block):
                self.second = True
                return self.seen.append("SESSION_STAY1")
            self.seen.append("SESSION_OK")
            self.state, self.cyclic = "CONNECTION", True
            block = CONN_ID.to_bytes(2, "little") + self.address.to_bytes(2, "little")
            return self._setup(FSOECommand.CONNECTION, block)
        if self.state == "DATA":
            if cmd not in (FSOECommand.PROCESS_DATA, FSOECommand.FAILSAFE_DATA):
                return self._fail("DATA_FAIL3", BaseError.INVALID_CMD)
            if c.connection_id != CONN_ID:
                return self._fail("DATA_FAIL2", BaseError.INVALID_CONNID)
            if not self._crcs_ok():
                return self._fail("DATA_FAIL1", BaseError.INVALID_CRC)
            ok1 = cmd == FSOECommand.PROCESS_DATA
            n = len(self.inputs)
            self.inputs = self.rep.get_safe_data_bytes()[:n] if ok1 else bytes(n)
            return self.seen.append("DATA_OK1" if ok1 else "DATA_OK2")
        own = FSOECommand.CONNECTION if self.state == "CONNECTION" else FSOECommand.PARAMETER
        if cmd != own:
            return self._fail(p + "_FAIL4", BaseError.INVALID_CMD)
        if c.connection_id != CONN_ID:
            return self._fail(p + "_FAIL3", BaseError.INVALID_CONNID)
        echo = self.rep.get_safe_data_bytes()[:self.piece]
        if echo != self.block[self.offset - self.piece:self.offset]:
            return self._fail(p + "_FAIL2", BaseError.INVALID_DATA)
        if not self._crcs_ok():
            return self._fail(p + "_FAIL1", BaseError.INVALID_CRC)
        if self.offset < len(self.block):
            return self.seen.append("CONNECTION_STAY1" if p == "CONN" else "PARA_STAY1")
        self.seen.append(p + "_OK")
        if p == "CONN":
            self.state = "PARAMETER"
            block = (2).to_bytes(2, "little") + self.watchdog.to_bytes(2, "little")
            block += len(self.params).to_bytes(2, "little") + self.params
            self._setup(FSOECommand.PARAMETER, block)
        else:
            self.state = "DATA"

    def _build(self):
        r = self.req
        if self.state == "DATA":
            fail_safe = FSOECommand.FAILSAFE_DATA
            r.control.command = fail_safe if self.fail_safe else FSOECommand.PROCESS_DATA
            r.set_safe_data_bytes(self.outputs)
        else:
            piece = self.block[self.offset:self.offset + self.init]
            self.offset, self.piece = self.offset + len(piece), len(piece)
            r.set_safe_data_bytes(piece)
        r.control.connection_id = 0 if self.state in ("RESET", "SESSION") else CONN_ID
        r.generate_crcs_cyclic(self.master_last) if self.cyclic else r.generate_crcs()
        self.master_last = r.crcs[0]
        if self.reset_slave_seq:
            self.rep.control.sequence_number, self.reset_slave_seq = 1, False
        if self.state != "RESET":
            self.rep.control.crc0 = r.crcs[0]
            r.control.increment_sequence_number()
        self.request = r.frame_to_array()


def cycle(master, sim, n=1, **kw):
    for _ in range(n):
        master.set_reply(sim.process(master.request, **kw))


def connect(master, sim, limit=200):
    for _ in range(limit):
        cycle(master, sim)
        if master.state == "DATA" and sim.state == "DATA":
            return
    pytest.fail(f"no connection: {master.seen[-5:]} {sim.events[-3:]}")


def pair(in_bytes=2, out_bytes=2, params=b"", **kw):
    sim = SlaveSimulator(ADDRESS, CONN_ID, in_bytes, out_bytes, WATCHDOG, params, seed=9, **kw)
    master = MiniMaster(in_bytes, out_bytes, params)
    master.start()
    return master, sim


# ---- connection and process data --------------------------------------------------------------

@pytest.mark.parametrize("in_bytes, out_bytes", [(1, 1), (2, 2), (4, 4), (6, 6), (16, 16),
                                                  (1, 16), (16, 1), (2, 6)])
@pytest.mark.parametrize("params", [b"", b"\x07", b"\x01\x02", b"\x01\x02\x03\x04"])
def test_connects_and_exchanges_process_data(in_bytes, out_bytes, params):
    master, sim = pair(in_bytes, out_bytes, params)
    connect(master, sim)
    assert not [t for t in master.seen if "FAIL" in t or "RESET1" in t or "STAY2" in t]
    frames = lambda n: -(-n // min(in_bytes, out_bytes))  # noqa: E731
    assert master.seen.count("PARA_STAY1") == frames(6 + len(params)) - 1
    assert sim.outputs == bytes(out_bytes) and not sim.outputs_valid  # fail-safe data first
    master.fail_safe = False
    for k in range(4):
        master.outputs = bytes((k * 31 + i) % 256 for i in range(out_bytes))
        sim.inputs = bytes((k * 7 + 100 + i) % 256 for i in range(in_bytes))
        cycle(master, sim, 2)
        assert sim.outputs == master.outputs and sim.outputs_valid
        assert master.inputs == sim.inputs
    assert sim.errors_detected == 0 and sim.last_error is None


def test_pinned_reset_frames():
    sim = SlaveSimulator(1, 1, 2, 2, 100)
    assert sim.process(bytes.fromhex("2a0000c42d0000")) == bytes.fromhex("2a0000c42d0000")
    one = SlaveSimulator(1, 1, 1, 1, 100)
    one.inject("reset", error=0x12)
    one.inject("wrong_command", command=FSOECommand.PROCESS_DATA)
    assert one.process(bytes(6)[:0] + b"\x2a" + bytes(5)) == bytes.fromhex("3612bd920000")


# ---- faults -----------------------------------------------------------------------------------

@pytest.mark.parametrize("fault, params, when, transition", [
    ("corrupt_crc", {}, "DATA", "DATA_FAIL1"),
    ("corrupt_crc", {}, "SESSION", "SESSION_STAY2"),
    ("wrong_connection_id", {"connection_id": 9}, "CONNECTION", "CONN_FAIL3"),
    ("wrong_connection_id", {}, "DATA", "DATA_FAIL2"),
    ("reset", {"error": BaseError.INVALID_USERPARA}, "DATA", "DATA_RESET1"),
    ("unknown_command", {"command": 0x99}, "PARAMETER", "PARA_FAIL5"),
    ("wrong_command", {}, "SESSION", "SESSION_FAIL3"),
    ("wrong_command", {"command": FSOECommand.SESSION}, "DATA", "DATA_FAIL3"),
    ("wrong_address", {"address": 3}, "RESET", "CONN_FAIL2"),
    ("wrong_watchdog", {}, "RESET", "PARA_FAIL2"),
    ("wrong_parameter", {"index": 1, "value": 0}, "RESET", "PARA_FAIL2"),
    ("failsafe_data", {"count": 2}, "DATA", "DATA_OK2"),
])
def test_fault_reaches_the_master_and_connection_recovers(fault, params, when, transition):
    master, sim = pair(params=b"\x05\x06")
    while master.state != when:
        cycle(master, sim)
    sim.inputs = b"\x33\x44"
    sim.inject(fault, **params)
    before, needed = len(master.seen), params.get("count", 1)
    for _ in range(50):
        cycle(master, sim)
        if master.seen[before:].count(transition) == needed:
            break
    assert master.seen[before:].count(transition) == needed
    assert sim.faults == {}
    if fault == "reset":
        assert master.slave_error == BaseError.INVALID_USERPARA
    if fault == "failsafe_data":
        assert master.seen[before:].count("DATA_OK2") == 2 and master.inputs == bytes(2)
    assert any(e.kind == "fault" and e.fault == fault for e in sim.events)
    connect(master, sim)
    cycle(master, sim, 2)
    assert master.inputs == b"\x33\x44"


def test_silent_slave_and_fault_counts():
    master, sim = pair()
    connect(master, sim)
    last = sim.reply
    sim.inject("silent")
    assert sim.faults == {"silent": None}
    assert all(sim.process(master.request) == last for _ in range(3))
    assert [e.kind for e in sim.events[-3:]] == ["ignored"] * 3
    sim.clear_faults("silent")
    cycle(master, sim)
    assert master.seen[-1] == "DATA_OK1"
    sim.inject("corrupt_crc", count=None)
    sim.inject("failsafe_data", count=3)
    assert sim.faults == {"corrupt_crc": None, "failsafe_data": 3}
    sim.clear_faults()
    assert sim.faults == {}


@pytest.mark.parametrize("fault, params, error", [
    ("nonsense", {}, ValueError),
    (3, {}, TypeError),
    ("silent", {"error": 1}, TypeError),
    ("reset", {"count": 0}, ValueError),
    ("reset", {"count": "x"}, TypeError),
    ("reset", {"error": -1}, OverflowError),
    ("unknown_command", {"command": FSOECommand.RESET}, ValueError),
    ("wrong_command", {"command": 0x77}, ValueError),
    ("wrong_parameter", {}, ValueError),  # no application parameters
])
def test_bad_injections_raise_and_arm_nothing(fault, params, error):
    sim = SlaveSimulator(1, 1, 2, 2, 100)
    with pytest.raises(error):
        sim.inject(fault, **params)
    assert sim.faults == {}


# ---- the slave's checks, clock, host operations -----------------------------------------------

@pytest.mark.parametrize("sim_kw, error", [
    ({"watchdog_ms": 99}, BaseError.INVALID_COMPARA),
    ({"slave_address": 5}, BaseError.INVALID_ADDRESS),
    ({"application_parameters": b"\x05\x07"}, BaseError.INVALID_USERPARA),
    ({"application_parameters": b"\x05"}, BaseError.INVALID_USERPARALEN),
])
def test_slave_checks_the_masters_setup_data(sim_kw, error):
    kw = dict(slave_address=ADDRESS, connection_id=CONN_ID, input_bytes=2, output_bytes=2,
              watchdog_ms=WATCHDOG, application_parameters=b"\x05\x06")
    sim = SlaveSimulator(**{**kw, **sim_kw})
    master = MiniMaster(params=b"\x05\x06")
    master.start()
    for _ in range(30):
        cycle(master, sim)
    assert sim.last_error == error and isinstance(sim.last_error, BaseError)
    assert master.slave_error == error
    assert any(e.kind == "error" and e.error == error for e in sim.events)


def test_watchdog_runs_on_the_hosts_clock():
    master, sim = pair()
    connect(master, sim)
    t = sim.time_ms
    for _ in range(5):
        t += WATCHDOG
        cycle(master, sim, now=t)
    assert sim.state == "DATA"
    sim.advance(WATCHDOG + 0.25)
    assert sim.state == "RESET" and sim.last_error == BaseError.WD_EXPIRED
    cycle(master, sim)
    assert master.seen[-1] == "DATA_RESET1" and master.slave_error == BaseError.WD_EXPIRED
    connect(master, sim)
    with pytest.raises(ValueError):
        sim.process(master.request, now=sim.time_ms - 1)
    with pytest.raises(TypeError):
        sim.process(master.request, now="soon")
    with pytest.raises(ValueError):
        sim.advance(float("nan"))


def test_host_reset_sends_a_reset_frame_at_once():
    master, sim = pair()
    connect(master, sim)
    sim.reset(error=BaseError.INVALID_DATA)
    assert sim.reply[:2] == b"\x2a\x07" and sim.state == "RESET"
    cycle(master, sim)
    assert master.seen[-1] == "DATA_RESET1" and master.slave_error == 7
    connect(master, sim)
    steps = [e.message for e in sim.events if e.kind in ("host_reset", "state")][-6:]
    assert steps == ["reset by the host (error INVALID_DATA)", "state DATA -> RESET",
                     "state RESET -> SESSION", "state SESSION -> CONNECTION",
                     "state CONNECTION -> PARAMETER", "state PARAMETER -> DATA"]


def test_events_describe_what_happened():
    sim = SlaveSimulator(1, 1, 2, 2, 100, max_events=4)
    sim.process(b"")
    sim.process(bytes.fromhex("4e00000000ffff"))  # a Session frame with a wrong connection id
    kinds = [e.kind for e in sim.events]
    assert kinds == ["ignored", "frame", "error"]
    frame, error = sim.events[1], sim.events[2]
    assert isinstance(frame, SlaveEvent)
    assert (frame.command, frame.reply, frame.error) == ("SESSION", "RESET", None)
    assert error.error == BaseError.INVALID_CONNID and "65535" in error.message
    for _ in range(5):
        sim.process(b"")
    assert [e.number for e in sim.events] == [4, 5, 6, 7]
    sim.clear_events()
    assert sim.events == []


# ---- construction and bad input ---------------------------------------------------------------

@pytest.mark.parametrize("args, kw, error", [
    ((1, 0, 2, 2, 100), {}, ValueError),
    ((1, 1, 3, 2, 100), {}, ValueError),
    ((1, 1, 2, 17, 100), {}, ValueError),
    ((1, 1, 2, 2, 70000), {}, OverflowError),
    ((-1, 1, 2, 2, 100), {}, OverflowError),
    (("1", 1, 2, 2, 100), {}, TypeError),
    ((1, 1, 2, 2, 100), {"application_parameters": "ab"}, TypeError),
    ((1, 1, 2, 2, 100), {"seed": 1.5}, TypeError),
    ((1, 1, 2, 2, 100), {"max_events": -1}, ValueError),
])
def test_bad_construction(args, kw, error):
    with pytest.raises(error):
        SlaveSimulator(*args, **kw)


def test_face_and_bad_input():
    sim = SlaveSimulator(5, 6, 4, 2, 50, b"\x01", seed=2**70 + 3)
    assert (sim.slave_address, sim.connection_id, sim.input_bytes, sim.output_bytes) == (5, 6, 4, 2)
    assert (sim.initialization_data_bytes, sim.request_length, sim.reply_length) == (2, 7, 11)
    assert sim.application_parameters == b"\x01" and sim.state == "RESET" and sim.reply == b""
    assert "silent" in SlaveSimulator.FAULTS and len(SlaveSimulator.FAULTS) == 10
    assert SlaveSimulator.STATES == ("RESET", "SESSION", "CONNECTION", "PARAMETER", "DATA")
    with pytest.raises(ValueError):
        sim.inputs = b"\x01"
    with pytest.raises(TypeError):
        sim.process("2a")
    with pytest.raises(TypeError):
        pickle.dumps(sim)
    rng = random.Random(3)
    for _ in range(3000):
        data = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 7, 7, 36, 40, 100])))
        reply = sim.process(bytearray(data))
        assert reply == b"" or (len(reply) == 11 and reply[0] in (0x2A, 0x4E))
    assert sim.process_calls == 3000


def test_seed_repeats_session_ids():
    def ids(seed):
        master, sim = pair()
        sim = SlaveSimulator(ADDRESS, CONN_ID, 2, 2, WATCHDOG, seed=seed)
        out = []
        for _ in range(3):
            connect(master, sim)
            out.append(sim.session_id)
            sim.reset()
        return out
    assert ids(11) == ids(11) != ids(12)
