"""The watchdog thread seen from Python: commands, expiry, logging, GIL and lifecycle."""
import gc
import logging
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from velmora import Watchdog, WatchdogCommand
from waiting import os_thread_ids, threads_since, wait_until

NOT_RUNNING = "FSoE Watchdog thread is not running"
ALREADY_ACTIVE = "WatchdogCommand.ACTIVATE received while already active"
UNKNOWN = "Unknown FSoE Watchdog internal command received. Watchdog corrupted"
CRASHED = "FSoE Watchdog thread crashed. Restarting..."


needs_proc = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")


class Counter:
    def __init__(self):
        self.calls = 0

    def __call__(self):
        self.calls += 1


@pytest.fixture
def make():
    """Builds started watchdogs and stops whatever a test leaves running."""
    made = []

    def build(timeout_s, callback, start=True):
        wd = Watchdog(timeout_s, callback)
        if start:
            wd.start()
        made.append(wd)
        return wd

    yield build
    for wd in made:
        if wd.is_alive():
            wd.stop()
        wd.join()


def velmora_errors(caplog):
    return [r for r in caplog.records if r.name == "velmora" and r.levelno == logging.ERROR]


def test_active_expires_about_every_timeout_until_deactivated(make):
    count = Counter()
    wd = make(0.02, count)
    assert wd.is_alive() and not wd.active
    wd.activate()
    assert wd.active
    time.sleep(0.21)
    wd.deactivate()
    assert not wd.active  # confirmed before deactivate returned
    seen = count.calls
    assert 3 <= seen <= 11
    time.sleep(0.06)
    assert count.calls == seen


def test_inactive_never_expires_and_ignores_resets(make):
    count = Counter()
    wd = make(0.005, count)
    for _ in range(20):
        wd.reset()
        time.sleep(0.003)
    time.sleep(0.03)
    assert count.calls == 0 and not wd.active


def test_resets_keep_it_from_expiring(make):
    count = Counter()
    wd = make(0.04, count)
    wd.activate_and_reset()
    for _ in range(80):
        wd.reset()
        time.sleep(0.002)
    assert count.calls == 0
    last = time.monotonic()
    wd.reset()
    assert wait_until(lambda: count.calls > 0)
    assert time.monotonic() - last >= 0.035


@pytest.mark.parametrize("started", [False, True], ids=["not_started", "stopped"])
@pytest.mark.parametrize(
    "operation", ["activate", "deactivate", "reset", "stop", "activate_and_reset"]
)
def test_commands_fail_when_the_thread_is_not_running(make, started, operation):
    wd = make(0.01, Counter(), start=started)
    if started:
        wd.stop()
    assert not wd.is_alive()
    with pytest.raises(RuntimeError) as err:
        getattr(wd, operation)()
    assert err.value.args == (NOT_RUNNING,)
    assert wd.active is False


def test_thread_starts_once(make):
    wd = make(0.01, Counter())
    with pytest.raises(RuntimeError):
        wd.start()
    wd.stop()
    with pytest.raises(RuntimeError):
        wd.start()


@pytest.mark.parametrize(
    "timeout, callback, error",
    [
        ("1", print, TypeError),
        (None, print, TypeError),
        (-0.5, print, ValueError),
        (float("nan"), print, ValueError),
        (1, None, TypeError),
        (1, 5, TypeError),
    ],
)
def test_bad_construction_is_refused(timeout, callback, error):
    with pytest.raises(error):
        Watchdog(timeout, callback)


def test_keywords_and_refused_pickling():
    wd = Watchdog(timeout_s=1, callback=print)
    with pytest.raises(TypeError):
        pickle.dumps(wd)
    with pytest.raises(RuntimeError):
        wd.run()  # the process runs on its own thread only
    with pytest.raises(AttributeError):
        wd.active = True


def test_raising_callback_logs_the_crash_with_traceback_and_is_called_again(make, caplog):
    caplog.set_level(logging.ERROR, logger="velmora")
    calls = []

    def failing_callback():
        calls.append(1)
        raise ValueError("boom")

    wd = make(0.01, failing_callback)
    wd.activate()
    assert wait_until(lambda: len(calls) >= 3)
    wd.deactivate()
    assert wd.is_alive()
    records = velmora_errors(caplog)
    assert len(records) >= 2
    for record in records:
        assert record.getMessage() == CRASHED
        exc_type, exc, tb = record.exc_info
        assert exc_type is ValueError and exc.args == ("boom",)
        assert tb is not None
    assert "failing_callback" in caplog.text and "Traceback" in caplog.text


@pytest.mark.parametrize(
    "command, message, error",
    [
        (WatchdogCommand.ACTIVATE, ALREADY_ACTIVE, RuntimeError),
        (99, UNKNOWN, NotImplementedError),
    ],
    ids=["activate_while_active", "unknown"],
)
def test_unexpected_commands_are_logged_and_the_thread_goes_on(
    make, caplog, command, message, error
):
    caplog.set_level(logging.ERROR, logger="velmora")
    count = Counter()
    wd = make(0.01, count)
    wd.activate()
    start = time.monotonic()
    wd._process_blocking_command(command)
    assert time.monotonic() - start < 1.0  # released, not the 5-second wait
    assert wait_until(lambda: len(velmora_errors(caplog)) >= 2)
    first, crash = velmora_errors(caplog)
    assert first.getMessage() == message and first.exc_info is None
    assert crash.getMessage() == CRASHED and crash.exc_info[0] is error
    assert wd.is_alive() and wd.active
    seen = count.calls
    assert wait_until(lambda: count.calls > seen)


def test_blocking_commands_release_the_gil_while_a_callback_runs(make):
    busy = threading.Event()

    def python_work():
        busy.set()
        end = time.monotonic() + 0.1
        while time.monotonic() < end:  # holds the GIL between bytecodes
            pass

    wd = make(0.005, python_work)
    wd.activate()
    assert busy.wait(2)
    start = time.monotonic()
    wd.deactivate()
    assert time.monotonic() - start < 1.0
    assert not wd.active


@pytest.mark.parametrize(
    "action, keeps_expiring",
    [
        (lambda wd: wd.activate_and_reset(), True),
        (lambda wd: wd.reset(), True),
        (lambda wd: wd.deactivate(), False),
        (lambda wd: (wd.stop(), wd.join()), False),
    ],
    ids=["activate_and_reset", "reset", "deactivate", "stop"],
)
def test_callback_may_command_its_own_watchdog(make, caplog, action, keeps_expiring):
    durations = []
    holder = []

    def callback():
        start = time.monotonic()
        action(holder[0])
        durations.append(time.monotonic() - start)

    holder.append(make(0.005, callback))
    holder[0].activate()
    if keeps_expiring:
        assert wait_until(lambda: len(durations) >= 3)
    else:
        assert wait_until(lambda: len(durations) >= 1)
        time.sleep(0.04)
        assert len(durations) == 1
    assert max(durations) < 1.0
    assert not velmora_errors(caplog)


def test_concurrent_callers_do_not_deadlock(make, caplog):
    wd = make(0.001, Counter())
    slowest = []

    def caller(shift):
        ops = [wd.reset, wd.activate, wd.deactivate, wd.activate_and_reset]
        worst = 0.0
        for i in range(1500):
            start = time.monotonic()
            ops[(i + shift) % 4]()
            worst = max(worst, time.monotonic() - start)
        slowest.append(worst)

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert len(slowest) == 4 and max(slowest) < 1.0
    assert not velmora_errors(caplog)


@needs_proc
def test_collected_watchdog_stops_and_joins_its_thread():
    # By thread id, and waiting for it: other tests' threads may still be ending meanwhile.
    def thread_ids():
        return set(os.listdir("/proc/self/task"))

    before = thread_ids()
    wd = Watchdog(0.005, Counter())
    wd.start()
    wd.activate()
    assert wait_until(lambda: len(thread_ids() - before) == 1, limit=5.0)
    ours = thread_ids() - before
    del wd
    assert wait_until(lambda: not thread_ids() & ours, limit=5.0)


@needs_proc
def test_collected_cycle_through_the_callback_joins_its_thread():
    before = os_thread_ids()
    wd = Watchdog(0.005, lambda: wd.reset())  # the callback refers to its watchdog
    wd.start()
    wd.activate()
    assert wait_until(lambda: len(threads_since(before)) == 1)
    time.sleep(0.02)
    del wd
    gc.collect()
    assert wait_until(lambda: not threads_since(before))


EXIT_SCRIPTS = {
    "active": """
        wd = Watchdog(0.01, lambda: None)
        wd.start(); wd.activate()
    """,
    "busy_callback": """
        def slow():
            time.sleep(0.05)
        wd = Watchdog(0.001, slow)
        wd.start(); wd.activate()
        time.sleep(0.02)
    """,
    "raising_callback": """
        def bad():
            raise ValueError("x")
        wd = Watchdog(0.001, bad)
        wd.start(); wd.activate()
        time.sleep(0.02)
    """,
    "cycle": """
        wd = Watchdog(0.001, lambda: wd.activate_and_reset())
        wd.start(); wd.activate()
        time.sleep(0.02)
    """,
}


@pytest.mark.parametrize("body", EXIT_SCRIPTS.values(), ids=EXIT_SCRIPTS.keys())
def test_interpreter_exits_promptly_with_live_watchdogs(body):
    script = "import time, logging\nfrom velmora import Watchdog\n" + textwrap.dedent(body)
    script += "print('done')\n"
    start = time.monotonic()
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=20
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"
    assert "Fatal" not in result.stderr
    assert "velmora._core.Watchdog" not in result.stderr  # no instance outlived the interpreter
    assert time.monotonic() - start < 5.0
