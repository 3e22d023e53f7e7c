"""A handler across os.fork(): the child's copy has no watchdog thread, so it refuses every
operation with a RuntimeError that names the fork and lets go of it at once; a new handler
made in the child is supervised; the parent's handler carries on, supervised."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")

OPERATIONS = ["start", "stop", "reset", "set_reply", "get_request", "set_fail_safe",
              "set_slave_address"]
EXPIRED = "DATA_WD"

# Runs in a fresh interpreter, so that the fork copies no thread but the ones made here.
SCRIPT = textwrap.dedent(r"""
    import json, os, select, signal, sys, threading, time, warnings
    import velmora as v
    from velmora.sim import SlaveSimulator

    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process


    class Link:
        def __init__(self):
            self.input = v.DictionaryItemInput(1, "in", v.DataType.UINT16, 0xAAAA)
            out = v.DictionaryItemOutput(2, "out", v.DataType.UINT16)
            self.errors = []
            self.expired = threading.Event()
            self.handler = v.MasterHandler(v.Dictionary([self.input, out]), 0x42, 0x1234, 0.05,
                                           report_error_callback=self.on_error)
            self.handler.master.dictionary_map.add(out)
            self.handler.slave.dictionary_map.add(self.input)
            self.sim = SlaveSimulator(0x42, 0x1234, 2, 2, 50)

        def on_error(self, name, message):
            self.errors.append(name)
            if name == "DATA_WD":
                self.expired.set()

        def after_expiry(self):
            expired = self.expired.wait(3)
            end = time.monotonic() + 1
            while self.handler.state is v.StateData and time.monotonic() < end:
                time.sleep(0.001)
            return {"expired": expired, "state": self.handler.state.__name__,
                    "input": self.input.get()}

        def cycle(self):
            self.handler.set_reply(self.sim.process(self.handler.get_request()))

        def connect(self):
            self.sim.reset()
            if not self.handler.running:
                self.handler.start()
            for _ in range(60):
                self.cycle()
                if self.handler.state is v.StateData:
                    self.sim.inputs = b"\x34\x12"
                    self.cycle()
                    return self.input.get() == 0x1234
            return False

        def supervised(self):
            # Connected, then left without replies: the watchdog must end the connection.
            self.expired.clear()
            connected = self.connect()
            return dict(connected=connected, **self.after_expiry())


    def attempt(call):
        begin = time.monotonic()
        try:
            call()
            outcome = [None, None]
        except Exception as error:
            outcome = [type(error).__name__, str(error)]
        return outcome + [time.monotonic() - begin]


    link = Link()
    assert link.connect()
    h = link.handler
    reply = link.sim.reply
    read_end, write_end = os.pipe()
    link.cycle()  # freshly fed, well inside its watchdog time
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        report = {}
        try:
            operations = {
                "start": h.start, "stop": h.stop, "reset": h.reset,
                "set_reply": lambda: h.set_reply(reply), "get_request": h.get_request,
                "set_fail_safe": lambda: h.set_fail_safe(False),
                "set_slave_address": lambda: h.set_slave_address(0x42),
            }
            report["operations"] = {name: attempt(call) for name, call in operations.items()}
            report["delete"] = attempt(h.delete)
            report["new_handler"] = Link().supervised()
        except BaseException as error:
            report["crash"] = repr(error)
        data = json.dumps(report).encode()
        while data:
            data = data[os.write(write_end, data):]
        os._exit(0)

    os.close(write_end)
    report = {"parent_first": link.after_expiry()}
    chunks, end = [], time.monotonic() + 25
    while True:
        left = end - time.monotonic()
        if left <= 0 or not select.select([read_end], [], [], left)[0]:
            os.kill(pid, signal.SIGKILL)  # the child hangs
            break
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    _, status = os.waitpid(pid, 0)
    report["child_status"] = status
    report["child"] = json.loads(b"".join(chunks) or b"null")
    report["parent_again"] = link.supervised()
    report["parent_errors"] = link.errors
    h.delete()
    print(json.dumps(report))
""")


@pytest.fixture(scope="module")
def forked():
    result = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ))
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["child_status"] == 0, report
    assert report["child"] is not None and "crash" not in report["child"], report
    return report


@pytest.mark.parametrize("operation", OPERATIONS)
def test_inherited_handler_refuses_in_the_child(forked, operation):
    kind, message, took = forked["child"]["operations"][operation]
    assert kind == "RuntimeError", (operation, kind, message)
    assert "fork" in message.lower(), message
    assert took < 1.0


def test_inherited_handler_is_let_go_at_once_in_the_child(forked):
    kind, message, took = forked["child"]["delete"]
    assert (kind, message) == (None, None)
    assert took < 1.0


def test_new_handler_in_the_child_is_supervised(forked):
    assert forked["child"]["new_handler"] == {"connected": True, "expired": True,
                                              "state": "StateReset", "input": 0xAAAA}


def test_parent_handler_stays_supervised(forked):
    # Left without replies from the fork on, then connected again and left once more.
    expected = {"expired": True, "state": "StateReset", "input": 0xAAAA}
    assert forked["parent_first"] == expected
    assert forked["parent_again"] == dict(expected, connected=True)
    assert forked["parent_errors"].count(EXPIRED) == 2
