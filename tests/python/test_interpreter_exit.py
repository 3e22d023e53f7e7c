"""Interpreter exit while daemon threads are inside handler operations: the process ends
normally every time, whatever the threads were doing (waiting on the watchdog in start, stop
or reset, making or deleting handlers, running callbacks that print)."""
import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

REPEATS = 20
PARALLEL = 4
BAD_SIGNS = ("terminate called", "FATAL", "Fatal Python error")

PRELUDE = textwrap.dedent(r"""
    import sys, threading, time
    import velmora as v
    from velmora.sim import SlaveSimulator


    class Link:
        def __init__(self, callbacks=False):
            self.speed = v.DictionaryItemOutput(0x7000, "speed", v.DataType.UINT16)
            self.status = v.DictionaryItemInput(0x6000, "status", v.DataType.UINT16, 0)
            kwargs = {}
            if callbacks:
                kwargs["state_change_callback"] = lambda state: print("state", state.__name__)
                kwargs["report_error_callback"] = lambda name, message: print("error", name)
                self.status.subscribe_changed(lambda: print("status", self.status.get()))
            self.handler = v.MasterHandler(v.Dictionary([self.speed, self.status]), 5, 7, 0.1,
                                           **kwargs)
            self.handler.master.dictionary_map.add(self.speed)
            self.handler.slave.dictionary_map.add(self.status)
            self.sim = SlaveSimulator(5, 7, 2, 2, 100)
            self.count = 0

        def connection(self):
            h = self.handler
            h.start()
            for _ in range(20):
                self.count += 1
                self.sim.inputs = (self.count & 0xFFFF).to_bytes(2, "little")
                h.set_reply(self.sim.process(h.get_request()))
            h.reset()
            h.stop()


    def forever(make, step):
        link = make()
        while True:
            try:
                link = step(link) or link
            except Exception:
                # Once exit has begun the handlers are stopped and refuse; keep calling.
                pass


    def start_stop(link):
        link.handler.start()
        link.handler.stop()


    def reset_only(link):
        if not link.handler.running:
            link.handler.start()
        link.handler.reset()


    def new_and_delete(link):
        link.handler.delete()
        link = Link()
        link.connection()
        return link


    SCENARIOS = {
        "connection": (Link, Link.connection),
        "start_stop": (Link, start_stop),
        "reset": (Link, reset_only),
        "new_and_delete": (Link, new_and_delete),
        "callbacks": (lambda: Link(callbacks=True), Link.connection),
    }
    make, step = SCENARIOS[sys.argv[1]]
    for _ in range(2):
        threading.Thread(target=forever, args=(make, step), daemon=True).start()
    time.sleep(float(sys.argv[2]))
""")


def run_once(scenario, sleep_s):
    result = subprocess.run([sys.executable, "-c", PRELUDE, scenario, str(sleep_s)],
                            capture_output=True, text=True, timeout=30, env=dict(os.environ))
    return result.returncode, result.stderr


@pytest.mark.parametrize("scenario",
                         ["connection", "start_stop", "reset", "new_and_delete", "callbacks"])
def test_exit_with_daemon_threads_inside_operations(scenario):
    # The main thread returns at a different moment of the threads' loops each time.
    sleeps = [0.1 + 0.05 * (n % 5) for n in range(REPEATS)]
    with ThreadPoolExecutor(PARALLEL) as pool:
        outcomes = list(pool.map(lambda s: run_once(scenario, s), sleeps))
    bad = [(code, stderr[-2000:]) for code, stderr in outcomes
           if code != 0 or any(sign in stderr for sign in BAD_SIGNS)]
    assert not bad, f"{len(bad)} of {REPEATS} runs ended badly; first: {bad[0]}"
