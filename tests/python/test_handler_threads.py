"""The host's calls against the watchdog thread: no deadlock, no 5-second waits, callbacks
with the GIL on either thread, expiries handled by a busy host call, lifecycle at exit."""
import logging
import os
import subprocess
import sys
import threading
import time

import pytest

import velmora as v
from velmora.sim import SlaveSimulator

RESET_REPLY = bytes.fromhex("2a000000000000")


def make_handler(watchdog_s, **kwargs):
    inp = v.DictionaryItemInput(1, "in", v.DataType.UINT16, 0xAAAA)
    out = v.DictionaryItemOutput(2, "out", v.DataType.UINT16)
    h = v.MasterHandler(v.Dictionary([inp, out]), 0x42, 0x1234, watchdog_s, **kwargs)
    h.master.dictionary_map.add(out)
    h.slave.dictionary_map.add(inp)
    return h, inp


def test_host_loop_against_a_1ms_watchdog():
    calls = []
    h, _ = make_handler(0.001, report_error_callback=lambda name, message: calls.append(
        (name, threading.get_ident())))
    failures, slowest = [], [0.0]

    def host():
        try:
            h.start()
            end = time.monotonic() + 0.6
            i = 0
            while time.monotonic() < end:
                for op in (lambda: h.set_reply(bytes([0x2A, i & 0xFF, 0, 0, 0, 0, 0])),
                           h.get_request, h.reset if i % 5 == 0 else h.get_request,
                           (lambda: (h.stop(), h.start())) if i % 50 == 0 else h.get_request):
                    begin = time.monotonic()
                    op()
                    slowest[0] = max(slowest[0], time.monotonic() - begin)
                i += 1
            h.stop()
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    worker = threading.Thread(target=host)
    worker.start()
    worker.join(20)
    assert not worker.is_alive(), "deadlock"
    h.delete()
    assert failures == []
    assert slowest[0] < 1.0
    # The busy host ran the expiries that happened while it held the handler.
    assert worker.ident in {t for _, t in calls}


def test_expiry_during_slow_host_code_is_delivered_and_its_errors_are_logged(caplog):
    seen = []

    def on_error(name, message):
        seen.append(name)
        if name == "SESSION_WD":
            raise RuntimeError("boom")

    def on_state(state):
        if state is v.StateSession:
            time.sleep(0.3)  # slow host code while the watchdog expires

    h, _ = make_handler(0.1, report_error_callback=on_error, state_change_callback=on_state)
    h.start()
    with caplog.at_level(logging.ERROR, logger="velmora"):
        began = time.monotonic()
        h.set_reply(RESET_REPLY)  # does not raise the expiry's error, nor wait for its callbacks
        assert time.monotonic() - began < 1.0
        deadline = time.monotonic() + 5
        while "SESSION_WD" not in seen and time.monotonic() < deadline:
            time.sleep(0.01)
        h.stop()
    h.delete()
    assert "SESSION_WD" in seen
    records = [r for r in caplog.records if r.name == "velmora"]
    assert records and records[0].exc_info[0] is RuntimeError
    assert str(records[0].exc_info[1]) == "boom"


def test_callbacks_run_with_the_gil_on_the_watchdog_thread():
    main = threading.get_ident()
    events = []
    done = threading.Event()

    def on_error(name, message):
        events.append(("error", name, threading.get_ident(), "".join(reversed(message))))

    def on_state(state):
        events.append(("state", state.__name__, threading.get_ident(), state.id))
        if state is v.StateReset:
            done.set()

    h, inp = make_handler(0.05, report_error_callback=on_error, state_change_callback=on_state)
    inp.subscribe_changed(lambda: events.append(("input", inp.get(), threading.get_ident(), 0)))
    sim = SlaveSimulator(0x42, 0x1234, 2, 2, 50)
    h.start()
    for _ in range(20):
        h.set_reply(sim.process(h.get_request()))
    sim.inputs = b"\x01\x02"
    for _ in range(2):
        h.set_reply(sim.process(h.get_request()))
    assert h.state is v.StateData and inp.get() == 0x0201
    done.clear()
    assert done.wait(2), "the watchdog expired in the Data state"
    h.stop()
    h.delete()
    watchdog = [e for e in events if e[2] != main]
    assert ("error", "DATA_WD") in [(e[0], e[1]) for e in watchdog]
    assert ("state", "StateReset") in [(e[0], e[1]) for e in watchdog]
    assert ("input", 0xAAAA) in [(e[0], e[1]) for e in watchdog]


@pytest.mark.parametrize("operation", ["reset", "stop", "delete"])
def test_handler_operations_from_a_callback_on_the_watchdog_thread(operation):
    took, done = [], threading.Event()
    holder = {}

    def on_error(name, message):
        if threading.get_ident() == threading.main_thread().ident or done.is_set():
            return
        begin = time.monotonic()
        getattr(holder["h"], operation)()
        took.append(time.monotonic() - begin)
        done.set()

    h, _ = make_handler(0.005, report_error_callback=on_error)
    holder["h"] = h
    h.start()
    assert done.wait(3)
    assert took[0] < 1.0
    if operation != "reset":
        # Stopped for good: the expiry that called it does not re-arm the watchdog.
        time.sleep(0.03)
        assert not h.running and h.state is v.StateReset and not h._watchdog.active
        assert h.get_request()[:2] == b"\x2a\x00"
    h.delete()
    assert not h._watchdog.is_alive()


def test_dropping_a_running_handler_in_its_own_callback():
    holder, done = {}, threading.Event()

    def on_error(name, message):
        if threading.get_ident() != threading.main_thread().ident and "h" in holder:
            del holder["h"]  # the last reference goes away on the watchdog thread
            done.set()

    holder["h"], _ = make_handler(0.005, report_error_callback=on_error)
    holder["h"].start()
    assert done.wait(3)
    time.sleep(0.05)


def test_running_handler_at_interpreter_exit():
    code = (
        "import velmora as v\n"
        "i = v.DictionaryItemInput(1, 'i', v.DataType.UINT8, 0)\n"
        "o = v.DictionaryItemOutput(2, 'o', v.DataType.UINT8)\n"
        "h = v.MasterHandler(v.Dictionary([i, o]), 1, 1, 0.001,\n"
        "                    report_error_callback=lambda a, b: None,\n"
        "                    state_change_callback=lambda s: None)\n"
        "h.master.dictionary_map.add(o); h.slave.dictionary_map.add(i)\n"
        "h.start()\n"
        "import time; time.sleep(0.05)\n"
    )
    begin = time.monotonic()
    result = subprocess.run([sys.executable, "-c", code], env=dict(os.environ),
                            capture_output=True, timeout=30)
    assert result.returncode == 0, result.stderr
    assert time.monotonic() - begin < 10
