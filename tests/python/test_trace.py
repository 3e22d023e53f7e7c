"""The diagnostic trace: its switch, read once at import, and its exact lines on sys.stdout.

The switch is read when the library loads, so every case runs in a fresh interpreter.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import contextlib, io, json, sys
import velmora
from velmora import FSOECommand, FSOEFrame

def capture(fn):
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        fn()
    return buf.getvalue().splitlines()

def reset_frame():
    frame = FSOEFrame(7)
    frame.control.command = FSOECommand.RESET
    frame.control.sequence_number = 1
    return frame
"""


def run(setting, code):
    """Runs code after PRELUDE with VELMORA_LOGGING unset (None) or set; returns its result."""
    env = dict(os.environ)
    env.pop("VELMORA_LOGGING", None)
    if setting is not None:
        env["VELMORA_LOGGING"] = setting
    program = PRELUDE + textwrap.dedent(code) + "\nsys.__stdout__.write(json.dumps(result))\n"
    done = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout), done.stderr


EVERY_TRACE_CALL = """
def everything():
    frame = reset_frame()
    frame.generate_crcs()
    frame.check_crcs()
    frame.generate_crcs_cyclic(frame.crcs[0])
    frame.check_crcs_cyclic(0)
    velmora._log_transition("SESSION_OK")
    velmora._log_generate_crc(frame)
    velmora._log_check_crc([0] * 8, frame, False)
result = {"switch": velmora.VELMORA_LOGGING, "lines": capture(everything)}
"""


@pytest.mark.parametrize("setting", [None, ""])
def test_off_when_unset_or_empty(setting):
    result, stderr = run(setting, EVERY_TRACE_CALL)
    assert result == {"switch": False, "lines": []}
    assert stderr == ""


@pytest.mark.parametrize("setting", ["0", "false", "1", " "])
def test_any_non_empty_value_turns_it_on(setting):
    result, _ = run(setting, EVERY_TRACE_CALL)
    assert result["switch"] is True
    lines = result["lines"]
    assert lines.count("MASTER | CRC | Generating") == 4  # plain, cyclic twice, direct call
    assert lines.count("MASTER | CRC | Check") == 3
    assert "MASTER | TRANSITION | SESSION_OK" in lines


@pytest.mark.parametrize("setting, later", [(None, "1"), ("1", "")])
def test_switch_is_read_once_at_import(setting, later):
    result, _ = run(setting, f"""
import os
os.environ["VELMORA_LOGGING"] = {later!r}
result = capture(lambda: velmora._log_transition("X"))
""")
    assert result == ([] if setting is None else ["MASTER | TRANSITION | X"])


def test_generation_trace_of_a_reset_frame():
    result, _ = run("1", "result = capture(lambda: reset_frame().generate_crcs())")
    assert result == [
        "MASTER | CRC | Generating",
        "Calculated CRC[0]: 0x2dc4",
        "Reference CRC0:    0x0",
        "Connection ID:     0x0",
        "Sequence number:   0x1",
        "Command:           0x2a",
    ]


def test_check_trace_of_one_block_lists_eight_values():
    result, _ = run("1", """
frame = reset_frame()
frame.control.crc0 = 0xBEEF
frame.control.connection_id = 0xABCD
frame.control.sequence_number = 0x1234
capture(frame.generate_crcs)
good = capture(frame.check_crcs)
crc = frame.crcs[0]
frame.crcs[0] ^= 0xFFFF
bad = capture(frame.check_crcs)
result = {"crc": crc, "good": good, "bad": bad}
""")
    crc = result["crc"]
    tail = [
        "Reference CRC0:    0xbeef",
        "Connection ID:     0xabcd",
        "Sequence number:   0x1234",
        "Command:           0x2a",
    ]
    zeros = "0000 " * 7
    assert result["good"] == [
        "MASTER | CRC | Check",
        f"Calculated CRCs:   {crc:04X} " + zeros,
        f"Received CRCs:     {crc:04X} " + zeros,
        *tail,
        "VALID",
    ]
    assert result["bad"] == [
        "MASTER | CRC | Check",
        f"Calculated CRCs:   {crc:04X} " + zeros,
        f"Received CRCs:     {crc ^ 0xFFFF:04X} " + zeros,
        *tail,
        "INVALID!",
    ]


def test_unknown_command_is_traced_with_its_raw_value():
    result, _ = run("1", """
frame = FSOEFrame.frame_from_array(bytes.fromhex("2b 00 00 00 00 00 00"))
checked = capture(frame.check_crcs)
generated = capture(frame.generate_crcs)
result = {"checked": checked, "generated": generated, "crc": frame.crcs[0],
          "valid": frame.control.command_is_valid()}
""")
    crc = result["crc"]
    assert result["valid"] is False
    control = ["Reference CRC0:    0x0", "Connection ID:     0x0", "Sequence number:   0x0",
               "Command:           0x2b"]
    assert result["checked"] == [
        "MASTER | CRC | Check",
        f"Calculated CRCs:   {crc:04X} " + "0000 " * 7,
        "Received CRCs:     " + "0000 " * 8,
        *control,
        "INVALID!",
    ]
    assert result["generated"] == ["MASTER | CRC | Generating", f"Calculated CRC[0]: 0x{crc:x}",
                                   *control]


def test_transition_and_direct_calls():
    result, _ = run("1", """
frame = reset_frame()
frame.crcs[0] = 0x0abc
result = capture(lambda: (velmora._log_transition("SESSION_OK"), velmora._log_transition(5),
                          velmora._log_generate_crc(frame),
                          velmora._log_check_crc([1, 0xFFFF], frame, 0)))
""")
    assert result == [
        "MASTER | TRANSITION | SESSION_OK",
        "MASTER | TRANSITION | 5",
        "MASTER | CRC | Generating",
        "Calculated CRC[0]: 0xabc",
        "Reference CRC0:    0x0",
        "Connection ID:     0x0",
        "Sequence number:   0x1",
        "Command:           0x2a",
        "MASTER | CRC | Check",
        "Calculated CRCs:   0001 FFFF ",
        "Received CRCs:     0ABC 0000 0000 0000 0000 0000 0000 0000 ",
        "Reference CRC0:    0x0",
        "Connection ID:     0x0",
        "Sequence number:   0x1",
        "Command:           0x2a",
        "INVALID!",
    ]


def test_cyclic_operations_log_every_generation_and_one_check():
    result, _ = run("1", """
frame = reset_frame()
last = frame.calc_crc0()
generated = capture(lambda: frame.generate_crcs_cyclic(last))
receiver = FSOEFrame.frame_from_array(frame.frame_to_array())
receiver.control.sequence_number = 1
checked = capture(lambda: receiver.check_crcs_cyclic(last))
result = {"generated": generated, "checked": checked}
""")
    generated = result["generated"]
    assert len(generated) == 12
    assert [line for line in generated if line.startswith("Sequence")] == [
        "Sequence number:   0x1", "Sequence number:   0x2"]
    checked = result["checked"]
    assert len(checked) == 8
    assert checked[5] == "Sequence number:   0x2" and checked[-1] == "VALID"


def test_lines_go_to_the_current_sys_stdout_from_any_thread():
    result, _ = run("1", """
import threading
def in_thread():
    t = threading.Thread(target=lambda: velmora._log_transition("FROM_THREAD"))
    t.start()
    t.join()
result = capture(in_thread)
""")
    assert result == ["MASTER | TRANSITION | FROM_THREAD"]


@pytest.mark.parametrize("error, reported", [
    ('OSError("stream closed")', True),
    # The reader went away (output piped into a program that ended): nothing to report.
    ("BrokenPipeError()", False),
])
def test_a_failing_stream_does_not_change_behaviour(error, reported):
    result, stderr = run("1", f"""
class Broken:
    def write(self, text):
        raise {error}
frame = reset_frame()
sys.stdout = Broken()
frame.generate_crcs()
valid = frame.check_crcs()
sys.stdout = sys.__stdout__
result = {{"crc": frame.crcs[0], "valid": valid}}
""")
    assert result == {"crc": 0x2DC4, "valid": True}
    assert ("stream closed" in stderr) == reported
    assert ("Exception ignored" in stderr) == reported


def test_bad_arguments_of_the_direct_calls():
    result, _ = run("1", """
errors = []
frame = reset_frame()
for call in (lambda: velmora._log_generate_crc(None),
             lambda: velmora._log_check_crc(5, frame, True),
             lambda: velmora._log_check_crc([65536], frame, True),
             lambda: velmora._log_transition("\\udc80")):
    try:
        call()
        errors.append(None)
    except Exception as e:
        errors.append(type(e).__name__)
result = errors
""")
    assert result == ["TypeError", "TypeError", "OverflowError", "UnicodeEncodeError"]
