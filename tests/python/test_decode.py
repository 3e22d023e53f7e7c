"""PDU descriptions from Python, and ``python -m velmora.decode`` run as a user runs it."""
import os
import subprocess
import sys

import pytest

import velmora
from velmora import FSOECommand, FSOEFrame

CRC0 = 0x4A3B
SEQ = 7
SIZES = [0, 1, 2, 4, 16]


def make_pdu(size=2, seq=SEQ, crc0=CRC0, command=FSOECommand.PROCESS_DATA, connection_id=5):
    length = {0: 3, 1: 6}.get(size, 2 * size + 3)
    frame = FSOEFrame(length)
    frame.control.command = command
    frame.control.sequence_number = seq
    frame.control.crc0 = crc0
    frame.control.connection_id = connection_id
    frame.set_safe_data_bytes(bytes(range(0xA0, 0xA0 + size)))
    frame.generate_crcs()
    return frame.frame_to_array()


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("command", list(FSOECommand))
def test_a_good_frame_decodes_and_checks(size, command):
    pdu = make_pdu(size, command=command)
    d = velmora.describe_pdu(bytearray(pdu), size, crc0=CRC0, sequence_number=SEQ)
    assert (d.length, d.safe_data_bytes, d.connection_id) == (len(pdu), size, 5)
    assert (d.command, d.command_name) == (command.value, command.name)
    assert d.safe_data == bytes(range(0xA0, 0xA0 + size))
    assert isinstance(d.crcs, tuple) and len(d.crcs) == (size + 1) // 2
    assert d.computed_crcs == d.crcs
    assert d.crcs_ok is True and d.problems == ()
    assert (d.crc0, d.sequence_number) == (CRC0, SEQ)
    # The same PDU without a reference: fields alike, nothing checked.
    plain = velmora.describe_pdu(memoryview(pdu), size)
    assert plain.crcs == d.crcs and plain.computed_crcs is None and plain.crcs_ok is None
    assert velmora.safe_data_bytes_for_length(len(pdu)) == size


@pytest.mark.parametrize("sent, found", [
    (dict(seq=SEQ + 2), "the CRCs check with sequence number 9, not 7"),
    (dict(crc0=0x0BAD), "the CRCs check with CRC_0 0x0BAD, not 0x4A3B"),
    (dict(command=0x99), "command 0x99 is not an FSoE command"),
])
def test_damage_is_named_in_problems(sent, found):
    sent = dict(sent)
    command = sent.pop("command", None)
    pdu = bytearray(make_pdu(4, **sent))
    if command is not None:
        pdu[0] = command
    d = velmora.describe_pdu(pdu, 4, crc0=CRC0, sequence_number=SEQ)
    assert any(found in p for p in d.problems), d.problems
    assert d.crcs_ok is False  # the command byte enters every CRC
    assert found in str(d)


def test_cyclic_advance_reports_the_sequence_number_used():
    probe = FSOEFrame(7)
    probe.control.command = FSOECommand.PROCESS_DATA
    probe.control.sequence_number, probe.control.crc0 = SEQ, CRC0
    probe.control.connection_id = 5
    probe.set_safe_data_bytes(bytes([0xA0, 0xA1]))
    previous = probe.calc_crc0()
    d = velmora.describe_pdu(make_pdu(2, seq=SEQ + 1), 2, crc0=CRC0, sequence_number=SEQ,
                             previous_crc0=previous)
    assert d.sequence_number == SEQ + 1 and d.crcs_ok is True


def test_text_repr_and_equality():
    d = velmora.describe_pdu(make_pdu(2), 2, crc0=CRC0, sequence_number=SEQ)
    assert str(d).startswith("PDU of 7 bytes: PROCESS_DATA (0x36), 2 bytes of safe data\n")
    assert "\n" not in repr(d) and "PROCESS_DATA" in repr(d) and "crcs=ok" in repr(d)
    same = velmora.describe_pdu(make_pdu(2), 2, crc0=CRC0, sequence_number=SEQ)
    assert d == same and hash(d) == hash(same) and d is not same
    assert d != velmora.describe_pdu(make_pdu(2), 2)
    with pytest.raises(AttributeError):
        d.crcs_ok = False


@pytest.mark.parametrize("call, error, message", [
    (lambda: velmora.describe_pdu(make_pdu(2), 3), ValueError, "3 bytes of safe data is not"),
    (lambda: velmora.describe_pdu(make_pdu(2), -1), ValueError, "-1 bytes of safe data is not"),
    (lambda: velmora.describe_pdu(make_pdu(2), 4), ValueError,
     "a PDU of 7 bytes does not fit 4 bytes of safe data, which take 11 bytes"),
    (lambda: velmora.describe_pdu(bytes(37), 16), ValueError, "37 bytes is longer"),
    (lambda: velmora.describe_pdu("36", 0), TypeError, "pdu"),
    (lambda: velmora.describe_pdu(make_pdu(2), "2"), TypeError, "safe_data_bytes"),
    (lambda: velmora.describe_pdu(make_pdu(2), 2, crc0=0x10000, sequence_number=1),
     OverflowError, "crc0 must be 0..65535, not 65536"),
    (lambda: velmora.describe_pdu(make_pdu(2), 2, crc0=1, sequence_number=-1),
     OverflowError, "sequence_number must be 0..65535"),
    (lambda: velmora.describe_pdu(make_pdu(2), 2, previous_crc0=1.5), TypeError,
     "previous_crc0"),
    (lambda: velmora.describe_pdu(make_pdu(2), 2, 1, 2), TypeError, "incompatible"),
    (lambda: velmora.describe_history([object()]), TypeError, "incompatible"),
])
def test_bad_arguments_raise_clear_errors(call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(".", r"\.")):
        call()


# --- the command line --------------------------------------------------------------------

def run_decode(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "velmora.decode", *args], env=env,
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("spell", [
    lambda b: b.hex(),
    lambda b: b.hex(" ").upper(),
    lambda b: b.hex(":"),
    lambda b: b.hex("-"),
    lambda b: " ".join(f"0x{x:02x}" for x in b),
    lambda b: "0x" + b.hex(),
])
def test_cli_decodes_hex_in_every_spelling(spell):
    r = run_decode("--crc0", f"{CRC0:04x}", "--seq", str(SEQ), spell(make_pdu(4)))
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    header, rule, row = r.stdout.splitlines()
    assert header.split()[:4] == ["pdu", "length", "command", "size"]
    assert row.split() == ["1", "11", "PROCESS_DATA", "4", "7", "5", "A0", "A1", "A2", "A3",
                           "ok"]


def test_cli_rows_for_each_pdu_and_problems_below():
    good, bad = make_pdu(2), make_pdu(16, seq=SEQ + 1)
    r = run_decode("--crc0", f"0x{CRC0:04X}", "--seq", str(SEQ), good.hex(), bad.hex() + "00")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[2].split()[-1] == "ok" and lines[3].split()[-1] == "FAIL"
    assert lines[3].split()[1] == "36"  # the word form, padding byte included
    assert any(line.startswith("PDU 2: sequence number: the CRCs check with sequence number 8")
               for line in lines), r.stdout
    assert not any(line.startswith("PDU 1:") for line in lines)
    # Without a reference the CRC column says nothing.
    r = run_decode(good.hex())
    assert r.returncode == 0 and r.stdout.splitlines()[2].split()[-1] == "-"


@pytest.mark.parametrize("args, message", [
    (["36 zz 00"], "is not hexadecimal"),
    (["361"], "odd number of hex digits"),
    (["::"], "holds no bytes"),
    (["36" + "00" * 8], "no frame is 9 bytes long; pass --size N"),
    (["--size", "4", make_pdu(2).hex()], "a PDU of 7 bytes does not fit 4 bytes"),
    (["--size", "3", make_pdu(2).hex()], "3 bytes of safe data is not a frame size"),
    (["--crc0", "1234", make_pdu(2).hex()], "give both or neither"),
    (["--crc0", "10000", "--seq", "1", make_pdu(2).hex()], "is not 0..65535"),
    (["--seq", "x", "--crc0", "1", make_pdu(2).hex()], "invalid value"),
    ([], "give one or more PDUs"),
    (["--history", "/nonexistent/history.jsonl"], "cannot read the history"),
])
def test_cli_bad_input_is_a_message_and_status_2(args, message):
    r = run_decode(*args)
    assert r.returncode == 2
    assert message in r.stderr
    assert "Traceback" not in r.stderr
    assert r.stdout == ""


def test_cli_prints_a_recorded_history(tmp_path):
    event = velmora.HistoryEvent.from_dict({
        "number": 3, "time_ns": 0, "kind": "reply", "state_before": "StateData",
        "state_after": "StateReset", "transition": "DATA_FAIL1", "error": "Invalid slave CRC",
        "fail_safe": True, "reply": make_pdu(2, seq=SEQ + 1).hex(), "reply_length": 7,
        "reply_safe_data_bytes": 2, "expected_crc0": CRC0, "expected_sequence_number": SEQ,
        "previous_crc0": None, "request": None,
    })
    path = tmp_path / "history.jsonl"
    velmora.write_history([event], path)
    r = run_decode("--history", str(path))
    assert r.returncode == 0, r.stderr
    assert r.stdout == velmora.describe_history(velmora.read_history(path))
    assert "the CRCs check with sequence number 8, not 7" in r.stdout
    assert "DATA_FAIL1: Invalid slave CRC" in r.stdout

    path.write_text(path.read_text()[:40])  # cut off mid-line
    r = run_decode("--history", str(path))
    assert r.returncode == 2 and "Traceback" not in r.stderr
    assert "cannot read the history" in r.stderr
