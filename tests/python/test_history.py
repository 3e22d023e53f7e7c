"""The connection history of a handler, read from Python, and its files."""
import io
import json
import pickle
import threading
import time

import pytest

import velmora
from velmora.sim import SlaveSimulator

from waiting import wait_until

ADDRESS, CONNECTION, WATCHDOG_MS = 5, 7, 100


def connection(history_size=64, watchdog_s=WATCHDOG_MS / 1000):
    speed = velmora.DictionaryItemOutput(0x7000, "speed", velmora.DataType.UINT16)
    status = velmora.DictionaryItemInput(0x6000, "status", velmora.DataType.UINT16, 0)
    slave = SlaveSimulator(slave_address=ADDRESS, connection_id=CONNECTION, input_bytes=2,
                           output_bytes=2, watchdog_ms=int(watchdog_s * 1000))
    master = velmora.MasterHandler(velmora.Dictionary([speed, status]), ADDRESS, CONNECTION,
                                   watchdog_s, history_size=history_size)
    master.master.dictionary_map.add(speed)
    master.slave.dictionary_map.add(status)
    return master, slave


def cycle(master, slave, times=1):
    for _ in range(times):
        master.set_reply(slave.process(master.get_request()))


def to_data(master, slave):
    master.start()
    for _ in range(50):
        cycle(master, slave)
        if master.state is velmora.StateData:
            return
    raise AssertionError("no Data state")


@pytest.fixture
def linked():
    master, slave = connection()
    yield master, slave
    master.delete()


def test_a_connection_tells_its_story(linked):
    master, slave = linked
    to_data(master, slave)
    master.set_fail_safe(False)
    master.set_fail_safe(False)  # no change, no event
    cycle(master, slave, 3)
    slave.inject("corrupt_crc")
    cycle(master, slave)
    master.stop()
    events = master.history()

    assert [e.number for e in events] == list(range(len(events)))
    assert all(a.time_ns <= b.time_ns for a, b in zip(events, events[1:]))
    assert events[0].kind == "start" and events[0].request[0] == 0x2A
    assert events[0].state_after == "StateReset"
    kinds = [e.kind for e in events]
    assert kinds.count("fail_safe") == 1 and kinds[-1] == "stop"
    states = [e.state_after for e in events if e.kind == "reply"]
    for name in ("StateSession", "StateConnection", "StateParameter", "StateData"):
        assert name in states
    for e in events:
        # Each state follows the last one's.
        assert e.state_before == events[events.index(e) - 1].state_after or e is events[0]
    switch = next(e for e in events if e.kind == "fail_safe")
    assert switch.fail_safe is False and switch.request is None and switch.reply is None

    failed = events[-2]
    assert failed.kind == "reply"
    assert (failed.state_before, failed.state_after) == ("StateData", "StateReset")
    assert (failed.transition, failed.error) == ("DATA_FAIL1", "Invalid slave CRC")
    assert failed.reply_length == len(failed.reply) == 7
    assert failed.reply_safe_data_bytes == 2 and failed.previous_crc0 is not None
    assert failed.request[0] == 0x2A and failed.fail_safe  # the master resets
    accepted = events[-3]
    assert accepted.transition is None and accepted.error is None
    assert accepted.request[0] == 0x36 and not accepted.fail_safe  # process data


def test_the_frames_of_a_reply_event_are_the_frames_exchanged(linked):
    master, slave = linked
    to_data(master, slave)
    request = master.get_request()
    reply = slave.process(request)
    master.set_reply(reply)
    last = master.history()[-1]
    assert last.reply == reply and last.reply_length == len(reply)
    assert last.request == master.get_request()
    assert last.expected_sequence_number is not None


def test_an_expiry_is_recorded_with_its_transition():
    master, slave = connection(watchdog_s=0.02)
    try:
        to_data(master, slave)
        assert wait_until(lambda: any(e.kind == "expiry" for e in master.history()))
        expiry = next(e for e in master.history() if e.kind == "expiry")
        assert expiry.state_before == "StateData" and expiry.state_after == "StateReset"
        assert expiry.transition == "DATA_WD"
        assert expiry.error == "The watchdog of the master expired"
        assert expiry.request is not None and expiry.reply is None
    finally:
        master.delete()


def test_host_operations_are_recorded(linked):
    master, slave = linked
    master.stop()  # not running: nothing happens, nothing is recorded
    assert master.history() == []
    to_data(master, slave)
    master.reset()
    master.stop()
    kinds = [e.kind for e in master.history()]
    assert kinds[0] == "start" and kinds[-2:] == ["reset", "stop"]
    reset = master.history()[-2]
    assert (reset.state_before, reset.state_after) == ("StateData", "StateReset")


@pytest.mark.parametrize("size", [1, 3, 16])
def test_the_ring_keeps_the_last_events(size):
    master, slave = connection(history_size=size)
    try:
        assert master.history_size == size
        to_data(master, slave)
        cycle(master, slave, 2 * size + 3)
        events = master.history()
        assert len(events) == size
        numbers = [e.number for e in events]
        assert numbers == list(range(numbers[0], numbers[0] + size))
        assert events[-1].reply == slave.reply  # the newest is the last reply
    finally:
        master.delete()


def test_size_zero_keeps_nothing():
    master, slave = connection(history_size=0)
    try:
        to_data(master, slave)
        assert master.history() == [] and master.history_size == 0
    finally:
        master.delete()


@pytest.mark.parametrize("size, error", [(-1, ValueError), (65537, ValueError),
                                         (2.0, TypeError), (True, TypeError), ("8", TypeError)])
def test_bad_history_sizes_are_refused(size, error):
    with pytest.raises(error, match="history_size"):
        velmora.MasterHandler(velmora.Dictionary([]), 1, 1, 0.1, history_size=size)


def test_history_size_is_keyword_only():
    with pytest.raises(TypeError):
        velmora.MasterHandler(velmora.Dictionary([]), 1, 1, 0.1, None, None, None, True, 8)


def test_readers_never_see_a_torn_or_reordered_history():
    """A host thread cycles and switches while another reads, with expiries in between."""
    master, slave = connection(history_size=32, watchdog_s=0.005)
    stop = threading.Event()
    failures = []

    def host():
        try:
            while not stop.is_set():
                master.start() if not master.running else None
                cycle(master, slave, 20)
                master.set_fail_safe(False)
                time.sleep(0.006)  # now and then the watchdog expires
                master.set_fail_safe(True)
        except Exception as error:  # pragma: no cover - reported below
            failures.append(error)

    thread = threading.Thread(target=host)
    thread.start()
    snapshots = 0
    kinds = set()
    try:
        end = time.monotonic() + 1.5
        while time.monotonic() < end:
            events = master.history()
            snapshots += 1
            numbers = [e.number for e in events]
            assert numbers == list(range(numbers[0] if numbers else 0,
                                         (numbers[0] if numbers else 0) + len(numbers)))
            kinds.update(e.kind for e in events)
            for before, after in zip(events, events[1:]):
                assert before.time_ns <= after.time_ns
                assert after.state_before == before.state_after
            for e in events:
                if e.kind == "reply":
                    assert e.reply is not None and e.request is not None
                    assert len(e.reply) == e.reply_length == 7
                    assert (e.transition is None) == (e.error is None)
    finally:
        stop.set()
        thread.join()
        master.delete()
    assert not failures
    assert snapshots > 10
    assert {"start", "reply", "expiry", "fail_safe"} <= kinds


# ---- values and files ----

def event(**fields):
    base = dict(number=3, time_ns=1_000_000, kind="reply", state_before="StateData",
                state_after="StateReset", transition="DATA_FAIL1", error="Invalid slave CRC",
                fail_safe=True, reply=bytes.fromhex("3600017d810700"), reply_length=7,
                reply_safe_data_bytes=2, expected_crc0=0x4608, expected_sequence_number=12,
                previous_crc0=0xD0A4, request=bytes.fromhex("2a0400a6340000"))
    base.update(fields)
    return velmora.HistoryEvent(**base)


def test_an_event_is_an_immutable_value_with_a_readable_repr():
    e = event()
    assert e == event() and hash(e) == hash(event()) and e != event(number=4)
    with pytest.raises(AttributeError):
        e.kind = "stop"
    text = repr(e)
    for part in ("#3", "reply", "StateData -> StateReset", "DATA_FAIL1", "Invalid slave CRC",
                 "36 00 01 7D 81 07 00", "2A 04 00 A6 34 00 00"):
        assert part in text
    assert pickle.loads(pickle.dumps(e)) == e
    with pytest.raises(RuntimeError, match="already initialized"):
        e.__init__(number=1, time_ns=0, kind="stop", state_before="StateReset",
                   state_after="StateReset")


@pytest.mark.parametrize("fields, error", [
    (dict(kind="replied"), ValueError),
    (dict(state_after="Data"), ValueError),
    (dict(number=-1), ValueError),
    (dict(time_ns=1.5), TypeError),
    (dict(fail_safe=1), TypeError),
    (dict(reply=b"\0" * 37, reply_length=37), ValueError),
    (dict(reply_length=8), ValueError),
    (dict(expected_crc0=0x10000), ValueError),
    (dict(reply_safe_data_bytes=17), ValueError),
    (dict(reply=None), ValueError),  # reply fields without a reply
    (dict(request="2a00"), TypeError),
    (dict(colour="red"), TypeError),
])
def test_bad_event_fields_are_refused(fields, error):
    with pytest.raises(error):
        event(**fields)


def test_a_reply_longer_than_a_frame_keeps_its_length():
    e = event(reply=bytes(36), reply_length=40)
    assert e.reply_length == 40 and "of 40 bytes" in repr(e)


def test_a_recording_reads_back_into_the_same_events(linked, tmp_path):
    master, slave = linked
    to_data(master, slave)
    slave.inject("wrong_connection_id")
    cycle(master, slave, 3)
    events = master.history()
    path = tmp_path / "history.jsonl"
    velmora.write_history(events, path)
    lines = path.read_text(encoding="utf-8").splitlines()
    assert len(lines) == len(events)
    first = json.loads(lines[0])
    assert first["kind"] == "start" and isinstance(first["request"], str)
    assert velmora.read_history(path) == events
    assert velmora.read_history(str(path)) == events
    buffer = io.StringIO()
    velmora.write_history(iter(events), buffer)
    assert buffer.getvalue() == path.read_text(encoding="utf-8")
    assert velmora.read_history(io.StringIO(buffer.getvalue())) == events


def test_writing_checks_every_event_before_writing_any(tmp_path):
    path = tmp_path / "h.jsonl"
    with pytest.raises(TypeError, match="item 1"):
        velmora.write_history([event(), "not an event"], path)
    assert not path.exists() or path.read_text() == ""


@pytest.mark.parametrize("text, message", [
    ('{"number": 1', r"line 1: .*truncated"),
    ("garbage\n", "line 1: not a JSON object"),
    ("[1, 2]\n", "line 1: a history event must be a JSON object"),
    ('{"number": 1}\n', "line 1: .*missing"),
    (None, r"line 2: .*reply must be hex digits"),
    (None, r"line 2: .*no field 'extra'"),
])
def test_bad_recordings_get_a_clear_error(text, message, tmp_path):
    good = json.dumps(event().to_dict())
    if text is None:
        bad = event().to_dict()
        if "hex" in message:
            bad["reply"] = "zz"
        else:
            bad["extra"] = 1
        text = good + "\n" + json.dumps(bad) + "\n"
    with pytest.raises(ValueError, match=message):
        velmora.read_history(io.StringIO(text))


def test_blank_lines_are_skipped_and_a_missing_file_is_reported(tmp_path):
    text = "\n" + json.dumps(event().to_dict()) + "\n\n"
    assert velmora.read_history(io.StringIO(text)) == [event()]
    with pytest.raises(FileNotFoundError):
        velmora.read_history(tmp_path / "missing.jsonl")


def test_the_history_outlives_the_connection():
    master, slave = connection()
    to_data(master, slave)
    master.delete()
    events = master.history()
    assert events[-1].kind == "stop" and events[-1].state_after == "StateReset"


def test_the_readme_example_decodes_and_draws_its_history(tmp_path):
    import importlib.util
    import os
    import pathlib
    import subprocess
    import sys

    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "readme_history.py"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    r = subprocess.run([sys.executable, str(example)], cwd=tmp_path, env=env,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "DATA_FAIL1 Invalid slave CRC"
    assert any("FAIL" in line and "block 0 CRC" in line for line in lines)
    events = velmora.read_history(tmp_path / "history.jsonl")
    assert sum(e.transition == "DATA_FAIL1" for e in events) == 1
    assert (tmp_path / "history.svg").read_text(encoding="utf-8").startswith("<svg")
    if importlib.util.find_spec("mypy") is not None:
        r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                            "--cache-dir", str(tmp_path / "cache"), str(example)],
                           cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
        assert r.returncode == 0, r.stdout + r.stderr
