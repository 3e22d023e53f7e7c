"""The examples in examples/: they run against the slave simulator, and they are fully typed
(``mypy --strict`` passes on them against the package's stubs)."""
import ast
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
HOST_LOOP = EXAMPLES / "host_loop.py"
QUICKSTART = EXAMPLES / "readme_quickstart.py"

pytestmark = pytest.mark.skipif(not EXAMPLES.is_dir(), reason="not run from a source tree")


def env():
    result = dict(os.environ)
    result["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    result.pop("VELMORA_LOGGING", None)
    return result


def run(path, *args):
    return subprocess.run([sys.executable, str(path), *args], env=env(), capture_output=True,
                          text=True, timeout=60)


def final_diagnostics(log_text):
    line = [l for l in log_text.splitlines() if "diagnostics: " in l][-1]
    return ast.literal_eval(line.split("diagnostics: ", 1)[1])


def test_host_loop_runs_into_the_data_state_at_its_period():
    r = run(HOST_LOOP, "--cycles", "150", "--period-ms", "1")
    assert r.returncode == 0, r.stderr
    log = r.stderr  # logging writes to stderr
    assert "FSoE state: StateData" in log
    assert "WARNING" not in log
    d = final_diagnostics(log)
    assert d["final_state"] == "StateData"
    assert d["cycles"] == d["accepted_replies"] == 150
    assert d["resets"] == {}
    # A fixed 1 ms grid: no cycle runs before its slot, so 150 cycles take at least 149 ms.
    first = logged_ms(log, "FSoE state: StateSession")
    last = logged_ms(log, "after 150 cycles")
    assert last - first >= 140


def logged_ms(log_text, text):
    line = next(l for l in log_text.splitlines() if text in l)
    return float(line.split(" ms ", 1)[0])


@pytest.mark.parametrize("fault, transition", [("corrupt_crc", "DATA_FAIL1"),
                                               ("reset", "DATA_RESET1"),
                                               ("silent", "DATA_WD")])
def test_host_loop_logs_the_fault_and_recovers(fault, transition):
    r = run(HOST_LOOP, "--cycles", "500", "--period-ms", "1", "--fault", fault)
    assert r.returncode == 0, r.stderr
    log = r.stderr
    assert f"WARNING FSoE error {transition}:" in log
    after = log.partition(f"FSoE error {transition}")[2]
    assert "FSoE state: StateReset" in after or transition == "DATA_RESET1"
    assert "FSoE state: StateData" in after
    d = final_diagnostics(log)
    assert d["final_state"] == "StateData"
    assert d["resets"] == {transition: 1}


def test_host_loop_refuses_a_bad_period():
    r = run(HOST_LOOP, "--period-ms", "0")
    assert r.returncode == 2 and "--period-ms" in r.stderr


def test_readme_quickstart_exchanges_process_data():
    r = run(QUICKSTART)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[:4] == ["state: StateSession", "state: StateConnection",
                         "state: StateParameter", "state: StateData"]
    assert "<MasterHandler state=StateData running=True connection_id=7>" in lines
    # 20 cycles: the last inputs arrived, the outputs of the cycle before reached the slave.
    assert "status 0xA013, slave speed 118" in lines
    assert "20 cycles, 20 accepted replies" in lines
    assert lines[-1] == "state: StateReset"  # the with block stopped the connection


def mypy(tmp_path, *files):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), *map(str, files)],
        cwd=tmp_path, env=env(), capture_output=True, text=True, timeout=300,
    )


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_examples_pass_mypy_strict(tmp_path):
    r = mypy(tmp_path, HOST_LOOP, QUICKSTART)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Success: no issues found in 2 source files" in r.stdout


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_sees_the_types_of_the_examples(tmp_path):
    # The control: the same check finds a wrong use of a velmora type in the same code.
    broken = tmp_path / "broken.py"
    shutil.copy(QUICKSTART, broken)
    with broken.open("a") as f:
        f.write("wrong: bytes = status.get()\nmaster.set_reply(3)\n")
    r = mypy(tmp_path, broken)
    errors = [line for line in r.stdout.splitlines() if line.startswith("broken.py:")]
    assert r.returncode == 1, r.stdout + r.stderr
    assert len(errors) == 2, r.stdout
