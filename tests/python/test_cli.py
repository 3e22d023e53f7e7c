"""``python -m velmora``: the main job, its options and its errors, run as a user runs it."""
import os
import re
import subprocess
import sys
import time

import pytest

from velmora.sim import SlaveSimulator

DATA_LINE = re.compile(r"outputs -> slave: ([0-9A-F ]+|fail-safe data)   "
                       r"inputs <- slave: ([0-9A-F ]+)")


def run_cli(*args, trace_env=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.pop("VELMORA_LOGGING", None)
    if trace_env is not None:
        env["VELMORA_LOGGING"] = trace_env
    started = time.monotonic()
    result = subprocess.run([sys.executable, "-m", "velmora", *args], env=env,
                            capture_output=True, text=True, timeout=60)
    result.elapsed = time.monotonic() - started
    return result


def data_lines(text):
    return [m.groups() for m in DATA_LINE.finditer(text)]


def test_default_run_reaches_data_and_recovers_from_the_fault():
    r = run_cli()
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    out = r.stdout
    assert r.elapsed < 5
    # Connects, exchanges, meets the default fault, reconnects, exchanges again.
    before, _, after = out.partition("Injecting fault 'corrupt_crc'")
    assert after, out
    assert "state -> StateData" in before
    assert "error DATA_FAIL1: Invalid slave CRC" in after
    assert after.index("state -> StateReset") < after.index("state -> StateData")
    assert "Recovered" in after
    assert len(data_lines(before)) == 3
    # Both directions carry the values of the run: 2 bytes each, inputs as the slave sent.
    for sent, read in data_lines(after.partition("Recovered")[2]):
        assert len(sent.split()) == 2 and len(read.split()) == 2
    assert "resets: DATA_FAIL1 x1" in out
    assert "MASTER | TRANSITION" not in out


@pytest.mark.parametrize("sizes", ["1x1", "1x16", "4x2", "16x6"])
def test_sizes_set_the_safe_data_of_each_direction(sizes):
    out_bytes, in_bytes = (int(n) for n in sizes.split("x"))
    r = run_cli("--sizes", sizes, "--cycles", "2")
    assert r.returncode == 0, r.stdout + r.stderr
    assert f"safe data: {out_bytes} byte(s) out, {in_bytes} byte(s) in" in r.stdout
    lines = data_lines(r.stdout)
    assert len(lines) >= 4
    process_data = [(s, i) for s, i in lines if s != "fail-safe data"]
    assert process_data
    for sent, read in process_data:
        assert len(sent.split()) == out_bytes
        assert len(read.split()) == in_bytes


@pytest.mark.parametrize("cycles", ["1", "5"])
def test_cycles_counts_the_exchange_before_the_fault_and_after_recovery(cycles):
    r = run_cli("--cycles", cycles)
    assert r.returncode == 0, r.stderr
    before, _, rest = r.stdout.partition("Injecting fault")
    after = rest.partition("Recovered")[2]
    assert len(data_lines(before)) == int(cycles)
    assert len(data_lines(after)) == int(cycles)


EXPECTED = {
    "corrupt_crc": "error DATA_FAIL1: Invalid slave CRC",
    "wrong_connection_id": "error DATA_FAIL2: Connection id exchanged does not match",
    "reset": "error DATA_RESET1: Connection was reset by the slave (slave reported error RESET)",
    "unknown_command": "error DATA_FAIL4: Invalid slave frame command",
    "wrong_command": "error DATA_FAIL3: Invalid slave frame command",
    "wrong_address": "error CONN_FAIL2:",
    "wrong_watchdog": "error PARA_FAIL2:",
    "wrong_parameter": "error PARA_FAIL2:",
    "silent": "error DATA_WD: The watchdog of the master expired",
    "failsafe_data": "(fail-safe values)",
}


def test_every_fault_of_the_simulator_is_covered():
    assert set(EXPECTED) == set(SlaveSimulator.FAULTS)


@pytest.mark.parametrize("fault", sorted(EXPECTED))
def test_each_fault_is_met_and_recovered_from(fault):
    r = run_cli("--fault", fault, "--cycles", "1")
    assert r.returncode == 0, r.stdout + r.stderr
    after = r.stdout.partition(f"Injecting fault '{fault}'")[2]
    assert EXPECTED[fault] in after, r.stdout
    recovered = after.partition("Recovered")[2]
    assert recovered, r.stdout
    sent, read = data_lines(recovered)[-1]
    assert sent != "fail-safe data" and "fail-safe" not in read
    # The decoded history around the fault names the transition the callback reported.
    table = after.partition("History around the fault")[2].partition("Recovered")[0]
    if fault != "failsafe_data":  # fail-safe data from the slave is no error
        transition = EXPECTED[fault].split()[1].rstrip(":")
        assert transition in table, r.stdout


def test_trace_reruns_with_the_diagnostic_trace():
    r = run_cli("--trace", "--cycles", "1")
    assert r.returncode == 0, r.stderr
    assert "MASTER | TRANSITION | RESET_START" in r.stdout
    assert "MASTER | TRANSITION | DATA_OK1" in r.stdout
    assert "MASTER | TRANSITION | DATA_FAIL1" in r.stdout
    # The narration is still there, once.
    assert r.stdout.count("Injecting fault 'corrupt_crc'") == 1


def test_the_trace_variable_alone_turns_the_trace_on():
    r = run_cli("--cycles", "1", trace_env="1")
    assert r.returncode == 0
    assert "MASTER | TRANSITION | SESSION_OK" in r.stdout


@pytest.mark.parametrize("args, complaint", [
    (["--cycles", "0"], "--cycles"),
    (["--cycles", "many"], "--cycles"),
    (["--sizes", "3x2"], "--sizes"),
    (["--sizes", "2x18"], "--sizes"),
    (["--sizes", "2"], "--sizes"),
    (["--sizes", "x2"], "--sizes"),
    (["--fault", "meteor"], "--fault"),
    (["--trac"], "unrecognized arguments"),
    (["extra"], "unrecognized arguments"),
])
def test_bad_options_are_usage_errors(args, complaint):
    r = run_cli(*args)
    assert r.returncode == 2
    assert r.stdout == ""
    assert r.stderr.startswith("usage: python -m velmora")
    assert complaint in r.stderr.splitlines()[-1]


def test_history_option_writes_the_recording_and_its_timeline(tmp_path):
    import xml.etree.ElementTree as ElementTree

    import velmora

    path = tmp_path / "run.jsonl"
    r = run_cli("--cycles", "2", "--history", str(path))
    assert r.returncode == 0, r.stderr
    events = velmora.read_history(path)
    assert events[0].kind == "start" and events[-1].kind == "stop"
    assert any(e.transition == "DATA_FAIL1" for e in events)
    svg = ElementTree.parse(tmp_path / "run.svg").getroot()
    markers = [g for g in svg.iter("{http://www.w3.org/2000/svg}g")
               if "event" in g.get("class", "").split()]
    assert len(markers) == len(events)
    assert f"{len(events)} events written to {path}" in r.stdout
