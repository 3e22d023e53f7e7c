"""The private benchmark hooks of velmora._core that bench/bench_host.py relies on: the
do-nothing call, the CRC loops, and the premise of the cycle measurement (a twin simulator
fed the recorded requests does the same work as the simulator of the link)."""
import pytest

import velmora as v
from velmora import _core
from velmora.sim import SlaveSimulator

ADDRESS, CONN_ID = 0x0042, 0x1234


@pytest.mark.parametrize("data", [b"", b"\x01" * 35, bytearray(b"ab"), memoryview(b"xyz")])
def test_echo_returns_its_argument_itself(data):
    assert _core._bench_echo(data) is data


@pytest.mark.parametrize("bad", [None, 3, "text", [1, 2]])
def test_echo_refuses_what_is_not_bytes_like(bad):
    with pytest.raises(TypeError):
        _core._bench_echo(bad)


@pytest.mark.parametrize("kind", ["generate_plain", "generate_fast", "cycle_plain", "cycle_fast"])
@pytest.mark.parametrize("size", [0, 1, 2, 16])
def test_crc_loops_report_a_time(kind, size):
    assert _core._bench_crc(kind, size, 1000) >= 0


@pytest.mark.parametrize("kind,size,iterations,error", [
    ("generate", 16, 10, ValueError),
    ("cycle_plain", 3, 10, ValueError),
    ("cycle_plain", 18, 10, ValueError),
    ("cycle_plain", 16, -1, ValueError),
    ("cycle_plain", "16", 10, TypeError),
])
def test_crc_loops_refuse_bad_arguments(kind, size, iterations, error):
    with pytest.raises(error):
        _core._bench_crc(kind, size, iterations)


def make_link(n_bytes):
    outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", v.DataType.UINT16)
               for i in range(n_bytes // 2)]
    inputs = [v.DictionaryItemInput(100 + i, f"in{i}", v.DataType.UINT16, 0)
              for i in range(n_bytes // 2)]
    handler = v.MasterHandler(v.Dictionary(outputs + inputs), ADDRESS, CONN_ID, 60.0)
    for item in outputs:
        handler.master.dictionary_map.add(item)
    for item in inputs:
        handler.slave.dictionary_map.add(item)
    handler.start()
    return handler, inputs


@pytest.mark.parametrize("n_bytes", [2, 16])
def test_a_twin_simulator_replays_the_work_of_the_link(n_bytes):
    handler, inputs = make_link(n_bytes)
    try:
        sim = SlaveSimulator(ADDRESS, CONN_ID, n_bytes, n_bytes, 60000, seed=3)
        twin = SlaveSimulator(ADDRESS, CONN_ID, n_bytes, n_bytes, 60000, seed=3)
        handler.set_fail_safe(False)
        _, setup = _core._bench_link(handler, sim, 20, 0)
        assert handler.state is v.StateData
        assert _core._bench_replay(twin, setup, 0) >= 0
        elapsed, requests = _core._bench_link(handler, sim, 50, 20)
        assert elapsed >= 0 and len(requests) == 50
        # A new request every cycle (over 50 of them, two 2-byte requests may still meet:
        # their CRC is all that differs).
        assert all(a != b for a, b in zip(requests, requests[1:]))
        _core._bench_replay(twin, requests, 20)
        assert twin.reply == sim.reply
        assert twin.data_frames == sim.data_frames > 0
        assert twin.errors_detected == sim.errors_detected == 0
        # The inputs changed every cycle and reached the master's items.
        assert [item.get() for item in inputs] == [
            int.from_bytes(sim.inputs[2 * i:2 * i + 2], "little") for i in range(len(inputs))]
    finally:
        handler.delete()


def test_link_and_replay_refuse_bad_arguments():
    handler, _ = make_link(2)
    try:
        sim = SlaveSimulator(ADDRESS, CONN_ID, 2, 2, 60000)
        with pytest.raises(ValueError):
            _core._bench_link(handler, sim, -1, 0)
        with pytest.raises(TypeError):
            _core._bench_link(sim, handler, 1, 0)
        with pytest.raises(TypeError):
            _core._bench_replay(sim, (b"",), 0)
        with pytest.raises(TypeError):
            _core._bench_replay(sim, [b"", 5], 0)
    finally:
        handler.delete()
