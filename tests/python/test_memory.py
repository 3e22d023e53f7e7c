"""Memory stays flat: a million checked cycles with faults (scripts/soak.py --memory, which
samples its resident size from /proc/self/statm), and handlers created, connected and
deleted over and over in this process."""
import gc
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import velmora as v
from velmora.sim import SlaveSimulator

from waiting import os_thread_ids, threads_since, wait_until

SOAK = Path(__file__).resolve().parents[2] / "scripts" / "soak.py"
LIMIT_KIB = 1024

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/statm"),
                                reason="needs /proc/self/statm")


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_a_million_cycles_with_faults_keep_memory_flat():
    result = subprocess.run([sys.executable, str(SOAK), "--memory", "--cycles", "1000000",
                             "--rss-limit-kib", str(LIMIT_KIB)],
                            capture_output=True, text=True, timeout=900, env=dict(os.environ))
    print(result.stdout)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"^cycles: 1000000$", result.stdout, re.MULTILINE)
    assert re.search(r"^violations: 0$", result.stdout, re.MULTILINE)
    growth = int(re.search(r"growth (-?\d+) KiB", result.stdout).group(1))
    assert growth <= LIMIT_KIB


def connect_and_delete(index):
    inputs = [v.DictionaryItemInput(1, "in", v.DataType.UINT16, 7)]
    outputs = [v.DictionaryItemOutput(2, "out", v.DataType.UINT16)]
    parameter = v.ApplicationParameter("p", index & 0xFF, 1)
    seen = []
    h = v.MasterHandler(v.Dictionary(inputs + outputs), 0x42, 0x1234, 60.0,
                        application_parameters=[parameter],
                        report_error_callback=lambda name, message: seen.append(name),
                        state_change_callback=seen.append)
    h.master.dictionary_map.add(outputs[0])
    h.slave.dictionary_map.add(inputs[0])
    inputs[0].subscribe_changed(lambda: seen.append(inputs[0].get()))
    sim = SlaveSimulator(0x42, 0x1234, 2, 2, 60000, application_parameters=bytes([index & 0xFF]),
                         seed=index, max_events=16)
    h.start()
    h.set_fail_safe(False)
    sim.inputs = index.to_bytes(2, "little")
    for _ in range(12):
        h.set_reply(sim.process(h.get_request()))
    assert h.state is v.StateData and inputs[0].get() == index & 0xFFFF
    h.reset()
    if index % 2:
        h.delete()  # the others are dropped running: collection stops their watchdog


def test_handlers_created_connected_and_dropped_keep_memory_flat():
    for i in range(200):
        connect_and_delete(i)
    gc.collect()
    start, threads = resident_kib(), os_thread_ids()
    for i in range(200, 2200):
        connect_and_delete(i)
    gc.collect()
    growth = resident_kib() - start
    print(f"2000 handlers: resident size grew by {growth} KiB")
    assert growth <= LIMIT_KIB
    assert wait_until(lambda: not threads_since(threads))  # every watchdog thread ended
