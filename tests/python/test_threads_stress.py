"""Two host threads calling every public operation of a handler while its watchdog expires at
random moments: no deadlock, no lost expiry (the watchdog fires again in every quiet period),
no exception but the documented ones, and no call anywhere near the watchdog's 5-second
confirmation wait."""
import random
import threading
import time

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONNECTION_ID = 0x0042, 0x1234
WATCHDOG_S = 0.002
CALL_LIMIT_S = 1.0
NOT_RUNNING = "FSoE Watchdog thread is not running"
PERIODS = 15


class Gate:
    """Lets the host threads run, or parks them between calls for a quiet period."""

    def __init__(self, workers):
        self.workers = workers
        self.running = threading.Event()
        self.running.set()
        self.parked = threading.Semaphore(0)
        self.over = False

    def pass_(self):
        if not self.running.is_set():
            self.parked.release()
            self.running.wait()
        return not self.over

    def park(self):
        self.running.clear()
        for _ in range(self.workers):
            assert self.parked.acquire(timeout=10), "a host thread is stuck in a call"

    def open(self):
        self.running.set()

    def end(self):
        self.over = True
        self.running.set()


class Rig:
    def __init__(self):
        self.inputs = [v.DictionaryItemInput(10 + i, f"in{i}", v.DataType.UINT8, 0xA0)
                       for i in range(2)]
        self.outputs = [v.DictionaryItemOutput(20 + i, f"out{i}", v.DataType.UINT8)
                        for i in range(2)]
        self.lock = threading.Lock()
        self.expiries = []  # (transition, thread)
        self.handler = v.MasterHandler(
            v.Dictionary(self.inputs + self.outputs), ADDRESS, CONNECTION_ID, WATCHDOG_S,
            report_error_callback=self.on_error)
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.sim = SlaveSimulator(ADDRESS, CONNECTION_ID, 2, 2, int(WATCHDOG_S * 1000),
                                  seed=9, max_events=8)
        self.slowest = 0.0
        self.failures = []
        self.deleting = False

    def on_error(self, name, message):
        if name.endswith("_WD"):
            with self.lock:
                self.expiries.append((name, threading.get_ident()))
                if message != "The watchdog of the master expired":
                    self.failures.append(message)

    def expiry_count(self):
        with self.lock:
            return len(self.expiries)

    def timed(self, operation, *args):
        begin = time.monotonic()
        try:
            return operation(*args)
        except v.FSOEMasterRunningException as error:
            assert str(error) == "Cannot set slave address while running"
        except RuntimeError as error:
            if not (self.deleting and str(error) == NOT_RUNNING):
                self.failures.append(repr(error))
        except Exception as error:  # noqa: BLE001 - every other error is a failure
            self.failures.append(repr(error))
        finally:
            took = time.monotonic() - begin
            with self.lock:
                self.slowest = max(self.slowest, took)
        return None


def bus_thread(rig, gate, seed):
    """The host's bus cycle against the simulated slave, with pauses of up to twice the
    watchdog time, so that the watchdog expires at random moments."""
    rng = random.Random(seed)
    h = rig.handler
    while gate.pass_():
        request = rig.timed(h.get_request)
        if request is not None:
            rig.timed(h.set_reply, rig.sim.process(request))
        time.sleep(rng.random() * 2 * WATCHDOG_S)


def host_thread(rig, gate, seed):
    """Every other public operation, in random order."""
    rng = random.Random(seed)
    h = rig.handler
    operations = [
        lambda: h.reset(),
        lambda: h.set_fail_safe(rng.random() < 0.5),
        lambda: h.set_fail_safe(),
        lambda: (h.stop(), h.start()),
        lambda: h.set_slave_address(ADDRESS),
        lambda: h.get_slave_address(),
        lambda: h.state,
        lambda: h.running,
        lambda: h.initialization_data_bytes,
        lambda: h.get_request(),
        lambda: h.set_reply(bytes(rng.getrandbits(8) for _ in range(7))),
        lambda: rig.outputs[rng.randrange(2)].set(rng.getrandbits(8)),
        lambda: [item.get() for item in rig.inputs],
    ]
    while gate.pass_():
        rig.timed(rng.choice(operations))
        time.sleep(rng.random() * WATCHDOG_S)


def test_two_host_threads_against_an_expiring_watchdog():
    rig = Rig()
    h = rig.handler
    h.start()
    gate = Gate(2)
    threads = [threading.Thread(target=bus_thread, args=(rig, gate, 1)),
               threading.Thread(target=host_thread, args=(rig, gate, 2))]
    for thread in threads:
        thread.start()
    quiet = 0
    try:
        for _ in range(PERIODS):
            time.sleep(0.04)
            gate.park()
            # Quiet: whatever the last calls and expiries were, the watchdog fires again.
            if not h.running:
                rig.timed(h.start)
            seen = rig.expiry_count()
            deadline = time.monotonic() + CALL_LIMIT_S
            while rig.expiry_count() == seen and time.monotonic() < deadline:
                time.sleep(0.001)
            quiet += rig.expiry_count() > seen
            # The request follows the state it was built in.
            request = h.get_request()
            assert request and request[0] in {
                v.StateReset: {0x2A}, v.StateSession: {0x4E}, v.StateConnection: {0x64},
                v.StateParameter: {0x52}, v.StateData: {0x36, 0x08}}[h.state]
            gate.open()
    finally:
        gate.end()
        for thread in threads:
            thread.join(20)
    assert not any(thread.is_alive() for thread in threads), "deadlock"
    rig.deleting = True
    rig.timed(h.delete)
    assert rig.failures == []
    assert quiet == PERIODS, "an expiry was lost in a quiet period"
    assert rig.slowest < CALL_LIMIT_S
    host_threads = {thread.ident for thread in threads} | {threading.get_ident()}
    # Expiries ran on the watchdog thread itself, not only in busy host calls.
    assert {name for name, _ in rig.expiries} & {"RESET_WD", "SESSION_WD"}
    assert any(ident not in host_threads for _, ident in rig.expiries)
    assert not h._watchdog.is_alive()


def test_delete_while_two_threads_still_call_the_handler():
    rig = Rig()
    h = rig.handler
    h.start()
    over = threading.Event()

    def caller(seed):
        rng = random.Random(seed)
        operations = [h.reset, h.get_request, lambda: (h.stop(), h.start()),
                      lambda: h.set_reply(bytes([0x2A, rng.getrandbits(8), 0, 0, 0, 0, 0])),
                      lambda: h.state, lambda: h.set_fail_safe(False)]
        while not over.is_set():
            rig.timed(rng.choice(operations))
            # Host threads that never pause make the others wait longer: the handler's
            # exclusion and the watchdog's command lock are not fair.
            time.sleep(rng.random() * 0.001)

    threads = [threading.Thread(target=caller, args=(seed,)) for seed in (3, 4)]
    for thread in threads:
        thread.start()
    time.sleep(0.05)
    rig.deleting = True
    rig.timed(h.delete)
    time.sleep(0.02)
    rig.timed(h.delete)  # twice is harmless
    over.set()
    for thread in threads:
        thread.join(20)
    assert not any(thread.is_alive() for thread in threads), "deadlock"
    assert rig.failures == []
    assert rig.slowest < CALL_LIMIT_S
    assert not h.running and not h._watchdog.is_alive()
