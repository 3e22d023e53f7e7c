"""The fault soak (scripts/soak.py) from the test command: 100,000 cycles with seeded random
faults of every kind, invariants checked on every cycle."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from velmora.sim import SlaveSimulator

SOAK = Path(__file__).resolve().parents[2] / "scripts" / "soak.py"
KINDS = list(SlaveSimulator.FAULTS) + ["slave_watchdog", "bit_error"]


def run_soak(*args):
    result = subprocess.run([sys.executable, str(SOAK), *args], capture_output=True,
                            text=True, timeout=600, env=dict(os.environ))
    print(result.stdout)
    return result


def counts(output):
    """The 'name: number' lines and the per-kind fault counts of the soak's report."""
    found = {name: int(number) for name, number in re.findall(r"^([\w ]+): (\d+)", output,
                                                             re.MULTILINE)}
    faults = re.search(r"^faults: (.*)$", output, re.MULTILINE).group(1)
    found["faults"] = {name: int(n) for name, n in re.findall(r"(\w+) (\d+)", faults)}
    return found


@pytest.mark.parametrize("seed", [1, 2])
def test_soak_of_100000_cycles_with_every_fault(seed):
    result = run_soak("--cycles", "100000", "--seed", str(seed))
    assert result.returncode == 0, result.stdout + result.stderr
    found = counts(result.stdout)
    assert found["cycles"] == 100000
    assert found["violations"] == 0
    assert set(found["faults"]) == set(KINDS)
    assert all(found["faults"][kind] > 0 for kind in KINDS), found["faults"]
    # Faults had their effect, and the connections came back after them.
    assert found["resets"] > 1000 and found["watchdog expiries"] > 0
    assert found["recoveries"] > 1000
    assert found["accepted PROCESS_DATA replies"] > 50000


def test_soak_refuses_bad_arguments():
    result = run_soak("--cycles", "many")
    assert result.returncode == 2 and "invalid int value" in result.stderr
