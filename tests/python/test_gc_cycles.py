"""Handlers held in reference cycles are collected like any Python object: the collector sees
every reference the core holds, once, and a collected handler's watchdog thread is joined and
its application parameters are free, also while expiries call back on that thread."""
import gc
import os
import subprocess
import sys
import textwrap
import time
import weakref

import pytest

import velmora as v
from velmora.sim import SlaveSimulator
from waiting import os_thread_ids, threads_since, wait_until

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")

ROUNDS = 50
U16 = v.DataType.UINT16


def os_threads():
    return len(os.listdir("/proc/self/task"))


def run_to_data(handler, cycles=14):
    """A few cycles against a simulated slave: the connection reaches Data and the inputs
    change, so the subscribers run (and the handler queues items) before it is dropped."""
    slave = SlaveSimulator(slave_address=5, connection_id=7, input_bytes=4, output_bytes=4,
                           watchdog_ms=100)
    handler.start()
    for cycle in range(cycles):
        slave.inputs = bytes([cycle, 0, cycle, 1])
        handler.set_reply(slave.process(handler.get_request()))
        if handler.state is v.StateData:
            handler.set_fail_safe(False)


def items():
    return (v.DictionaryItemInput(0x6000, "status", U16, 0),
            v.DictionaryItemInputOutput(0x6001, "mode", U16, 0),
            v.DictionaryItemOutput(0x7000, "speed", U16),
            v.DictionaryItemOutput(0x7001, "torque", U16))


# How the application maps its items and where its subscriber sits (every way of holding an
# item: a map entry made from the item, one made by key, an item in both maps).
def map_by_item(app):
    app.handler.slave.dictionary_map.add(app.status)
    app.handler.slave.dictionary_map.add(app.mode)
    app.handler.master.dictionary_map.add(app.speed)
    app.handler.master.dictionary_map.add(app.torque)
    app.status.subscribe_changed(app.on_change)


def map_by_key(app):
    for key in (0x6000, 0x6001):
        app.handler.slave.dictionary_map.add_by_key(key)
    for key in (0x7000, 0x7001):
        app.handler.master.dictionary_map.add_by_key(key)
    app.status.subscribe_changed(app.on_change)


def map_input_output_twice(app):
    app.entries = [app.handler.slave.dictionary_map.add(app.mode),
                   app.handler.slave.dictionary_map.add(app.status),
                   app.handler.master.dictionary_map.add(app.mode),
                   app.handler.master.dictionary_map.add(app.speed)]
    app.outputs = app.handler.master.dictionary_map  # the host keeps a map of its handler
    app.mode.subscribe_input_changed(app.on_change)


class Application:
    """A host object that owns a plain handler; only its subscriber refers back to it."""

    def __init__(self, watchdog_s, parameter, mapping):
        self.status, self.mode, self.speed, self.torque = items()
        self.handler = v.MasterHandler(
            v.Dictionary([self.status, self.mode, self.speed, self.torque]), 5, 7, watchdog_s,
            application_parameters=[parameter])
        self.changes = 0
        mapping(self)

    def on_change(self):
        self.changes += 1


class App(v.MasterHandler):
    """A handler subclass whose callbacks and subscriber refer back to itself."""

    def __new__(cls, watchdog_s, parameter):
        me = []
        self = super().__new__(
            cls, v.Dictionary(list(items())), 5, 7, watchdog_s, application_parameters=[parameter],
            state_change_callback=lambda state: me[0].on_state(state),
            report_error_callback=lambda name, error: me[0].on_error(name, error))
        me.append(self)
        return self

    def __init__(self, watchdog_s, parameter):
        self.status = self.dictionary.name_map["status"]
        self.states, self.errors = [], []
        map_by_key(self)

    @property
    def handler(self):
        return self

    def on_state(self, state):
        self.states.append(state)

    def on_error(self, name, error):
        self.errors.append(name)

    def on_change(self):
        self.states.append("change")


class Bare(v.MasterHandler):
    pass


def drop_and_collect(make, rounds=ROUNDS):
    """Makes, runs and drops `rounds` applications; returns their weak references and
    parameters (still claimed by the running handlers until these are collected)."""
    gc.collect()
    refs, parameters = [], []
    for _ in range(rounds):
        parameter = v.ApplicationParameter("p", 1, 1)
        app = make(parameter)
        run_to_data(app.handler)
        refs.append(weakref.ref(app))
        parameters.append(parameter)
        del app
    with pytest.raises(v.FSOEMasterRunningException):
        parameters[-1].value = 2  # the last one is surely running still
    gc.collect()
    return refs, parameters


def assert_all_ended(threads_before, refs, parameters):
    assert wait_until(lambda: all(r() is None for r in refs))
    assert wait_until(lambda: not threads_since(threads_before))
    for parameter in parameters:
        parameter.value = 3  # the handler that claimed it no longer runs
        assert parameter.value == 3


@pytest.mark.parametrize("mapping", [map_by_item, map_by_key, map_input_output_twice])
@pytest.mark.parametrize("watchdog_s", [0.1, 0.002])
def test_application_held_by_its_subscriber_is_collected(mapping, watchdog_s):
    before = os_thread_ids()
    refs, parameters = drop_and_collect(lambda p: Application(watchdog_s, p, mapping))
    assert_all_ended(before, refs, parameters)


@pytest.mark.parametrize("watchdog_s", [0.1, 0.01, 0.002])
def test_subclass_in_a_callback_cycle_is_collected(watchdog_s):
    before = os_thread_ids()
    refs, parameters = drop_and_collect(lambda p: App(watchdog_s, p))
    assert_all_ended(before, refs, parameters)


def test_subclass_dropped_outside_a_cycle_ends_with_its_last_reference():
    before = os_thread_ids()
    gc.disable()  # only reference counting: no collector to run the finalizer
    try:
        for _ in range(ROUNDS):
            parameter = v.ApplicationParameter("p", 1, 1)
            app = Bare(v.Dictionary([]), 5, 7, 0.002, application_parameters=[parameter])
            app.master.dictionary_map.add_padding(8)
            app.slave.dictionary_map.add_padding(8)
            app.start()
            del app
            parameter.value = 3  # stopped as the last reference went
    finally:
        gc.enable()
    assert wait_until(lambda: not threads_since(before))


def test_a_core_that_its_holder_still_serves_keeps_running():
    # The state's context is the object that holds the core, not the subclass instance.
    parameter = v.ApplicationParameter("p", 1, 1)
    app = Bare(v.Dictionary([]), 5, 7, 0.1, application_parameters=[parameter])
    app.master.dictionary_map.add_padding(8)
    app.slave.dictionary_map.add_padding(8)
    app.start()
    holder = app._state.context
    assert holder is not app and isinstance(holder, v.MasterHandler)
    app.me = app  # a cycle of the subclass instance alone
    ref = weakref.ref(app)
    del app
    gc.collect()
    assert ref() is None
    try:
        assert holder.running and holder._watchdog.is_alive()
        with pytest.raises(v.FSOEMasterRunningException):
            parameter.value = 2
    finally:
        holder.delete()


def test_collector_counts_each_reference_of_the_core_once():
    status, mode, speed, torque = items()
    dictionary = v.Dictionary([status, mode, speed, torque])
    parameter = v.ApplicationParameter("p", 1, 1)

    def on_state(state):
        pass

    def on_error(name, error):
        pass

    watched = [dictionary, parameter, on_state, on_error, status, mode, speed, torque]
    before = [sys.getrefcount(o) for o in watched]
    handler = v.MasterHandler(dictionary, 5, 7, 0.1, application_parameters=[parameter],
                              report_error_callback=on_error, state_change_callback=on_state)
    handler.slave.dictionary_map.add(status)
    handler.slave.dictionary_map.add(mode)
    handler.master.dictionary_map.add(mode)  # a second entry: a second reference
    handler.master.dictionary_map.add_by_key(0x7000)  # the dictionary's own reference
    handler.master.dictionary_map.add(torque)
    after = [sys.getrefcount(o) for o in watched]
    held = [a - b for a, b in zip(after, before)]
    assert held == [1, 1, 1, 1, 1, 2, 0, 1]
    referents = gc.get_referents(handler)
    assert [sum(r is o for r in referents) for o in watched] == held
    try:
        app = App(0.1, v.ApplicationParameter("q", 1, 1))
        # A subclass instance visits the object that holds the core, and nothing of the core.
        assert [r for r in gc.get_referents(app) if isinstance(r, v.MasterHandler)] == [
            app._state.context]
        assert not any(r is app.dictionary for r in gc.get_referents(app))
        app.delete()
    finally:
        handler.delete()


STRESS = textwrap.dedent("""
    import gc, os, random, sys, threading, time
    sys.path[:0] = {paths!r}
    import velmora as v
    import test_gc_cycles as t

    def busy(*args):
        [object() for _ in range(50)]  # garbage: collections run on watchdog threads too

    class Loud(t.App):
        def on_state(self, state):
            busy()
            self.states.append(state)

        on_error = on_change = busy

    def watchdog_in_a_cycle():
        wd = v.Watchdog(0.002, lambda: (wd, busy()))
        wd.start()
        wd.activate()

    stop = threading.Event()

    def collect():
        while not stop.is_set():
            gc.collect()
            time.sleep(0.0005)

    collector = threading.Thread(target=collect)
    collector.start()
    before = t.os_threads()
    parameters = []
    for i in range(150):
        p = v.ApplicationParameter("p", 1, 1)
        parameters.append(p)
        app = t.Application(0.002, p, t.map_by_item) if i % 3 == 0 else Loud(0.002, p)
        t.run_to_data(app.handler, random.randint(0, 14))
        watchdog_in_a_cycle()
        time.sleep(random.random() * 0.004)
        del app
    stop.set()
    collector.join()
    gc.collect()
    assert t.wait_until(lambda: t.os_threads() <= before), (t.os_threads(), before)
    for p in parameters:
        p.value = 3
    print("ok")
""")


def test_collecting_while_expiries_call_back_is_safe():
    # A watchdog thread that already took a callback must never call it once the collector
    # has cleared it: a crash kills the process, hence a child process.
    paths = [os.path.dirname(__file__)] + sys.path
    result = subprocess.run([sys.executable, "-c", STRESS.format(paths=paths)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip().endswith("ok")
    assert result.stderr == ""  # nothing logged: no callback ran on a cleared object
