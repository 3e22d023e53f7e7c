"""Corrupted Data-state replies, exhaustively: every single-bit corruption of a valid reply
(PROCESS_DATA or FAILSAFE_DATA), over every bit position of every frame size, is rejected with
the Data state's transition and error code, and its data never reaches the host; so is every
double-bit corruption of a PROCESS_DATA reply (the counts are printed: run with -s). Reset
frames carry no checked CRC, so they are not part of this."""
import pytest

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONNECTION_ID = 0x0042, 0x1234
SIZES = [1, 2, 4, 6, 8, 10, 12, 14, 16]
PROCESS_DATA = v.FSOECommand.PROCESS_DATA.value
FAILSAFE_DATA = v.FSOECommand.FAILSAFE_DATA.value


def frame_length(data_bytes):
    return 6 if data_bytes == 1 else 3 + 2 * data_bytes


class Link:
    """A handler in the Data state against a simulated slave whose inputs change every
    cycle, so that the data of a frame tells which frame it came from."""

    def __init__(self, in_bytes, out_bytes=2):
        self.in_bytes = in_bytes
        self.inputs = [v.DictionaryItemInput(100 + i, f"in{i}", v.DataType.UINT8, 0xA0 + i)
                       for i in range(in_bytes)]
        outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", v.DataType.UINT8)
                   for i in range(out_bytes)]
        self.fail_safe = tuple(0xA0 + i for i in range(in_bytes))
        self.reports = []
        self.handler = v.MasterHandler(
            v.Dictionary(self.inputs + outputs), ADDRESS, CONNECTION_ID, 60.0,
            report_error_callback=lambda name, message: self.reports.append(name))
        for item in outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.sim = SlaveSimulator(ADDRESS, CONNECTION_ID, in_bytes, out_bytes, 60000, seed=5,
                                  max_events=8)
        self.counter = 0
        self.handler.start()

    def fresh_inputs(self):
        """Input bytes unlike the fail-safe values and unlike the last ones sent."""
        self.counter += 1
        return bytes((0x11 * self.counter + 3 * i) & 0x7F for i in range(self.in_bytes))

    def valid_reply(self, failsafe=False):
        """The next valid Data reply of the slave, with the inputs it carries."""
        self.run_to_data()
        self.sim.inputs = self.fresh_inputs()
        if failsafe:
            self.sim.inject("failsafe_data")
        reply = self.sim.process(self.handler.get_request())
        assert reply[0] == (FAILSAFE_DATA if failsafe else PROCESS_DATA)
        return reply, tuple(self.sim.inputs)

    def run_to_data(self):
        for _ in range(100):
            if self.handler.state is v.StateData:
                self.handler.set_fail_safe(False)
                return
            before = self.handler.get_request()
            self.handler.set_reply(self.sim.process(before))
            if self.handler.get_request() == before:
                # Master and slave wait on each other: what the watchdog would end.
                self.handler._watchdog_expired_event()
        raise AssertionError("the connection did not come back to the Data state")

    def expected(self):
        """The sequence number, reference CRC_0 and last CRC_0 that the handler expects."""
        control = self.handler.slave.frame.control
        return control.sequence_number, control.crc0, self.handler.slave._last_crc0_sent

    def input_values(self):
        return tuple(item.get() for item in self.inputs)

    def close(self):
        self.handler.delete()


@pytest.fixture(scope="module")
def links():
    made = {}
    yield lambda size: made.setdefault(size, Link(size))
    for link in made.values():
        link.close()


def flip(data, *bits):
    out = bytearray(data)
    for bit in bits:
        out[bit // 8] ^= 1 << (bit % 8)
    return bytes(out)


def expected_transition(length, bit):
    """The Data state's row for a reply with this one bit changed: the command byte is
    checked first, then the connection id field (the last two bytes), then the CRCs."""
    byte = bit // 8
    if byte == 0:
        return "DATA_FAIL4", 2  # no single-bit change of 0x36 or 0x08 is a valid command
    if byte >= length - 2:
        return "DATA_FAIL2", 3
    return "DATA_FAIL1", 4


def reset_code(handler):
    request = handler.get_request()
    assert request[0] == v.FSOECommand.RESET.value
    data = v.FSOEFrame.frame_from_array(request).get_safe_data_bytes()
    return data[0] | data[1] << 8


@pytest.mark.parametrize("command", ["PROCESS_DATA", "FAILSAFE_DATA"])
@pytest.mark.parametrize("size", SIZES)
def test_every_single_bit_corruption_is_rejected(links, size, command):
    link = links(size)
    length = frame_length(size)
    for bit in range(8 * length):
        reply, data = link.valid_reply(failsafe=command == "FAILSAFE_DATA")
        link.reports.clear()
        link.handler.set_reply(flip(reply, bit))
        name, code = expected_transition(length, bit)
        assert link.reports == [name], (size, bit)
        assert link.handler.state is v.StateReset, (size, bit)
        assert reset_code(link.handler) == code, (size, bit)
        # Fail-safe values, which the data of the corrupted frame never are.
        assert link.input_values() == link.fail_safe != data, (size, bit)
    # The uncorrupted reply is taken, so the rejections above are the corruption's doing.
    reply, data = link.valid_reply()
    link.handler.set_reply(reply)
    assert link.handler.state is v.StateData and link.input_values() == data


@pytest.mark.parametrize("size", SIZES)
def test_every_double_bit_corruption_is_rejected(links, size):
    """Every pair of bit positions, through the handler; the count is printed."""
    link = links(size)
    bits = 8 * frame_length(size)
    pairs = taken = 0
    for first in range(bits):
        for second in range(first + 1, bits):
            reply, data = link.valid_reply()
            link.reports.clear()
            link.handler.set_reply(flip(reply, first, second))
            pairs += 1
            if link.handler.state is v.StateData or link.input_values() == data:
                taken += 1
                continue
            assert len(link.reports) == 1 and link.reports[0].startswith("DATA_FAIL")
            assert link.input_values() == link.fail_safe
    print(f"\n{size} bytes of safe data: {pairs} double-bit corruptions, {taken} accepted")
    assert pairs == bits * (bits - 1) // 2
    assert taken == 0
