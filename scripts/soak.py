#!/usr/bin/env python3
"""Fault soak: masters against simulated slaves with seeded random faults, checked every cycle.

Usage: scripts/soak.py [--cycles N] [--seed S] [--fault-rate P] [--memory]

Runs one handler and one velmora.sim.SlaveSimulator per connection layout (several frame
sizes and parameter sets), cycled in turn. Faults are every fault of SlaveSimulator.FAULTS,
the slave's own watchdog expiring, and single-bit errors in new replies on the bus. Every
cycle checks, outside the handler:

- the inputs hold their fail-safe values or the data of the last reply that this script
  judged a valid PROCESS_DATA frame (never data of a rejected frame), and are fail-safe
  outside the Data state;
- every new reply ends as the states' tables say: accepted, or reported with the table's
  transition name and answered with a Reset frame carrying the table's error code, a
  Session restart, or (tolerated CRC failure of the Session state) the Session frame again;
- the request keeps its length and carries the command of the handler's state;
- once the faults are spent, the connection is back in the Data state within a bound;
- no exception reaches the host.

The master's watchdog time is a minute, so its thread never fires during a run; when master
and slave wait on each other (the request stays the same, so the slave repeats its reply)
the script runs the expiry that the watchdog would run. Prints the counts and exits 1 on
any violation. --memory samples the resident size (/proc/self/statm) and fails when it
grows after warm-up; `scripts/soak.py --memory --cycles 1000000` is the long memory run.
The seed fixes the faults, the values and the simulators; the handlers draw their session
ids at random, so two runs differ only where a session id matters (rarely).
"""
import argparse
import os
import random
import sys
import time
from collections import Counter

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONNECTION_ID = 0x0042, 0x1234
WATCHDOG_S = 60.0
RECOVERY_BOUND = 40  # cycles from the last spent fault back to the Data state
STALL_CYCLES = 4  # unchanged requests before the watchdog's expiry is run
ECHO_FAULTS = {"wrong_address": "Connection", "wrong_watchdog": "Parameter",
               "wrong_parameter": "Parameter"}
EXTRA_FAULTS = ("slave_watchdog", "bit_error")
SETUP_ORDER = ["StateReset", "StateSession", "StateConnection", "StateParameter", "StateData"]

RESET = v.FSOECommand.RESET.value
SESSION = v.FSOECommand.SESSION.value
CONNECTION = v.FSOECommand.CONNECTION.value
PARAMETER = v.FSOECommand.PARAMETER.value
PROCESS_DATA = v.FSOECommand.PROCESS_DATA.value
FAILSAFE_DATA = v.FSOECommand.FAILSAFE_DATA.value
STATE_COMMANDS = {v.StateReset: {RESET}, v.StateSession: {SESSION},
                  v.StateConnection: {CONNECTION}, v.StateParameter: {PARAMETER},
                  v.StateData: {PROCESS_DATA, FAILSAFE_DATA}}

# (input bytes, output bytes, application parameter sizes)
LAYOUTS = [(1, 1, (1,)), (2, 2, ()), (4, 2, (2,)), (16, 16, (1, 2, 4)), (2, 6, (4,))]


def frame_length(data_bytes):
    return 6 if data_bytes == 1 else 3 + 2 * data_bytes


class Expect:
    """What a new reply must lead to: the next states allowed, the transition reported
    (None: nothing), the error code of the Reset frame, and the inputs afterwards."""

    def __init__(self, states, report=None, code=None, inputs=None, command=None):
        self.states, self.report, self.code = states, report, code
        self.inputs, self.command = inputs, command


class Connection:
    """One handler and its simulated slave, with the bookkeeping of the checks."""

    def __init__(self, layout, rng, stats):
        in_bytes, out_bytes, param_sizes = layout
        self.in_bytes, self.out_bytes, self.rng, self.stats = in_bytes, out_bytes, rng, stats
        self.inputs = [v.DictionaryItemInput(100 + i, f"in{i}", v.DataType.UINT8, 0xA0 + i)
                       for i in range(in_bytes)]
        self.outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", v.DataType.UINT8)
                        for i in range(out_bytes)]
        self.fail_safe = tuple(0xA0 + i for i in range(in_bytes))
        params = [v.ApplicationParameter(f"p{i}", rng.getrandbits(8 * n), n)
                  for i, n in enumerate(param_sizes)]
        block = b"".join(p.raw_value.to_bytes(p.n_bytes, "little") for p in params)
        self.has_parameters = bool(params)
        self.reports = []
        self.handler = v.MasterHandler(
            v.Dictionary(self.inputs + self.outputs), ADDRESS, CONNECTION_ID, WATCHDOG_S,
            application_parameters=params,
            report_error_callback=lambda name, message: self.reports.append(name))
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.sim = SlaveSimulator(ADDRESS, CONNECTION_ID, in_bytes, out_bytes,
                                  int(WATCHDOG_S * 1000), application_parameters=block,
                                  seed=rng.getrandbits(32), max_events=64)
        self.reply_length = frame_length(in_bytes)
        self.request_length = frame_length(out_bytes)
        self.init_bytes = min(in_bytes, out_bytes)
        self.last_processed = None
        self.accepted = None  # the input data of the last accepted PROCESS_DATA reply
        self.stall = 0
        self.fault_pending = False  # a fault was injected and has not been followed by Data
        self.quiet_cycles = 0  # cycles since the faults were spent, while not in Data
        self.bit_error_next = False
        self.handler.start()
        self.handler.set_fail_safe(False)

    def close(self):
        self.handler.delete()

    # ---- one cycle ----

    def cycle(self, violations):
        h, sim = self.handler, self.sim
        if self.handler.state is v.StateData and self.rng.random() < 0.3:
            self.handler.set_fail_safe(self.rng.random() < 0.2)
        for item in self.outputs:
            item.set(self.rng.getrandbits(8))
        sim.inputs = bytes(self.rng.getrandbits(8) for _ in range(self.in_bytes))
        request = h.get_request()
        sim.clear_events()
        reply = sim.process(request)
        if self.bit_error_next and sim.events and sim.events[-1].kind == "frame":
            # A bit error on the bus, in a new reply (a repeated one the handler ignores).
            self.bit_error_next = False
            self.stats["faults"]["bit_error"] += 1
            bit = self.rng.randrange(8 * len(reply))
            reply = bytearray(reply)
            reply[bit // 8] ^= 1 << (bit % 8)
            reply = bytes(reply)
        before = h.state
        expect = self.judge(before, request, reply)
        self.reports.clear()
        h.set_reply(reply)
        self.check(before, expect, reply, violations)
        if h.get_request() == request:
            self.stall += 1
            if self.stall >= STALL_CYCLES:
                self.expire(violations)
        else:
            self.stall = 0
        self.track_recovery(violations)

    def expire(self, violations):
        """The watchdog time passed without a new frame: what the watchdog thread runs."""
        state = self.handler.state
        self.stats["watchdog expiries"] += 1
        self.reports.clear()
        self.handler._watchdog_expired_event()
        self.stall = 0
        name = {v.StateReset: "RESET_WD", v.StateSession: "SESSION_WD",
                v.StateConnection: "CONN_WD", v.StateParameter: "PARA_WD",
                v.StateData: "DATA_WD"}[state]
        if self.reports != [name]:
            violations.add(f"expiry in {state.__name__} reported {self.reports}")
        if state is v.StateReset:
            self.require(self.handler.state is v.StateSession, violations, "RESET_WD state")
        else:
            self.require(self.handler.state is v.StateReset, violations, f"{name} state")
            self.require(self.reset_code() == int(v.BaseError.WD_EXPIRED), violations,
                         f"{name} error code")
        self.check_invariants(violations)

    # ---- the tables, from the reply's bytes ----

    def judge(self, state, request, reply):
        if not self.handler.running or reply == self.last_processed:
            return None
        self.last_processed = reply
        command = reply[0] if reply else 0
        valid = v.FSOECommand.has_value(command)
        if state is v.StateReset:
            if valid and command == RESET:
                return Expect({v.StateSession})
            return Expect({v.StateReset}, "RESET_STAY1", 0)
        crc_ok = self.crcs_valid(reply)
        connection_id = int.from_bytes(reply[-2:], "little") if len(reply) >= 2 else 0
        if state is v.StateSession:
            if not valid:
                return Expect({v.StateReset}, "SESSION_FAIL4", 2)
            if command == SESSION:
                if crc_ok:
                    return Expect({v.StateSession, v.StateConnection})
                if self.handler._second_session_frame_sent:
                    return Expect({v.StateReset}, "SESSION_FAIL1", 4)
                return Expect({v.StateSession}, "SESSION_STAY2", command=SESSION)
            if command == RESET:
                return Expect({v.StateSession}, "SESSION_RESET1", command=SESSION)
            return Expect({v.StateReset}, "SESSION_FAIL3", 1)
        if state in (v.StateConnection, v.StateParameter):
            prefix, own, nxt = (("CONN", CONNECTION, v.StateParameter)
                                if state is v.StateConnection
                                else ("PARA", PARAMETER, v.StateData))
            if not valid:
                return Expect({v.StateReset}, f"{prefix}_FAIL5", 2)
            if command == RESET:
                return Expect({v.StateSession}, f"{prefix}_RESET1", command=SESSION)
            if command != own:
                return Expect({v.StateReset}, f"{prefix}_FAIL4", 1)
            if connection_id != CONNECTION_ID:
                return Expect({v.StateReset}, f"{prefix}_FAIL3", 3)
            if not self.echo_valid(request, reply):
                return Expect({v.StateReset}, f"{prefix}_FAIL2", 7)
            if not crc_ok:
                return Expect({v.StateReset}, f"{prefix}_FAIL1", 4)
            return Expect({state, nxt})
        # Data
        if not valid:
            return Expect({v.StateReset}, "DATA_FAIL4", 2)
        if command in (SESSION, CONNECTION, PARAMETER):
            return Expect({v.StateReset}, "DATA_FAIL3", 1)
        if command == RESET:
            return Expect({v.StateSession}, "DATA_RESET1", command=SESSION)
        if connection_id != CONNECTION_ID:
            return Expect({v.StateReset}, "DATA_FAIL2", 3)
        if not crc_ok:
            return Expect({v.StateReset}, "DATA_FAIL1", 4)
        if command == FAILSAFE_DATA:
            return Expect({v.StateData}, inputs=self.fail_safe)
        frame = v.FSOEFrame.frame_from_array(reply)
        data = tuple(frame.get_safe_data_bytes()[:self.in_bytes])
        return Expect({v.StateData}, inputs=data)

    def echo_valid(self, request, reply):
        """Whether the reply echoes the setup bytes of the request it answers (the piece
        that the handler's map of the slave receives; the zero padding is not compared)."""
        received = self.handler.slave._dynamic_map
        piece = max(0, min(self.init_bytes, received.total_bytes - received.bytes_processed))
        sent = v.FSOEFrame.frame_from_array(request).get_safe_data_bytes()[:piece]
        echoed = v.FSOEFrame.frame_from_array(reply).get_safe_data_bytes()[:piece]
        return sent == echoed

    def crcs_valid(self, reply):
        """The reply's CRCs against the sequence number and reference CRC_0 the handler
        expects, checked with the frame layer here."""
        if len(reply) != self.reply_length:
            return False
        expected = self.handler.slave.frame.control
        frame = v.FSOEFrame.frame_from_array(reply)
        frame.control.sequence_number = expected.sequence_number
        frame.control.crc0 = expected.crc0
        last = self.handler.slave._last_crc0_sent
        return frame.check_crcs() if last is None else frame.check_crcs_cyclic(last)

    # ---- checks ----

    def require(self, condition, violations, what):
        if not condition:
            violations.add(f"{what} (layout {self.in_bytes}/{self.out_bytes}, "
                           f"state {self.handler.state.__name__})")

    def check(self, before, expect, reply, violations):
        h = self.handler
        if expect is None:
            self.require(h.state is before and self.reports == [], violations,
                         "an ignored reply changed something")
        else:
            self.require(h.state in expect.states, violations,
                         f"{before.__name__} -> {h.state.__name__} for {reply.hex()}")
            reported = [expect.report] if expect.report else []
            self.require(self.reports == reported, violations,
                         f"reported {self.reports}, expected {reported} for {reply.hex()}")
            if expect.code is not None:
                self.require(self.reset_code() == expect.code, violations,
                             f"error code of {expect.report}")
            if expect.command is not None:
                self.require(h.get_request()[0] == expect.command, violations,
                             f"request after {expect.report}")
            if expect.inputs is not None:
                self.require(self.input_values() == expect.inputs, violations,
                             "inputs after an accepted Data reply")
                if expect.inputs is not self.fail_safe:
                    self.accepted = expect.inputs
                    self.stats["accepted PROCESS_DATA"] += 1
            if expect.report:
                self.stats["rejected"] += 1
            if h.state is v.StateReset and before is not v.StateReset:
                self.stats["resets"] += 1
        self.check_invariants(violations)

    def check_invariants(self, violations):
        h = self.handler
        request = h.get_request()
        self.require(len(request) == self.request_length, violations, "request length")
        self.require(bool(request) and request[0] in STATE_COMMANDS[h.state], violations,
                     f"request command {request[:1].hex()}")
        values = self.input_values()
        fail_safe = values == self.fail_safe
        self.require(fail_safe or (h.state is v.StateData and values == self.accepted),
                     violations, f"inputs {values} neither fail-safe nor accepted data")

    def input_values(self):
        return tuple(item.get() for item in self.inputs)

    def reset_code(self):
        request = self.handler.get_request()
        if request[0] != RESET:
            return None
        data = v.FSOEFrame.frame_from_array(request).get_safe_data_bytes()
        return data[0] if self.out_bytes == 1 else data[0] | data[1] << 8

    # ---- faults ----

    def inject(self, fault):
        sim = self.sim
        if fault == "slave_watchdog":
            sim.advance(sim.watchdog_ms + 1)
        elif fault == "bit_error":
            self.bit_error_next = True
            return
        elif fault == "silent":
            sim.inject(fault, count=self.rng.randint(1, 2 * STALL_CYCLES))
        elif fault == "reset":
            sim.inject(fault, error=self.rng.choice([0, 1, 4, 7, 12, 127, 128, 255]))
        elif fault == "wrong_parameter":
            sim.inject(fault, index=self.rng.randrange(len(sim.application_parameters)))
        else:
            sim.inject(fault)
        self.stats["faults"][fault] += 1

    def fault_choices(self):
        state = self.handler.state.__name__
        choices = [f for f in SlaveSimulator.FAULTS if f not in ECHO_FAULTS]
        for fault, phase in ECHO_FAULTS.items():
            # An echo fault bites in its setup phase, so it is injected before it.
            if fault == "wrong_parameter" and not self.has_parameters:
                continue
            if SETUP_ORDER.index(state) < SETUP_ORDER.index("State" + phase):
                choices += [fault] * 4  # their window is short
        if self.handler.state is not v.StateData:
            choices.remove("failsafe_data")
        return choices + list(EXTRA_FAULTS)

    def maybe_inject(self, rate):
        if self.rng.random() >= rate:
            return
        self.inject(self.rng.choice(self.fault_choices()))
        self.fault_pending = True
        self.quiet_cycles = 0

    def track_recovery(self, violations):
        if not self.fault_pending:
            return
        if self.sim.faults or self.bit_error_next:
            self.quiet_cycles = 0
            return
        if self.handler.state is v.StateData:
            self.stats["recoveries"] += 1
            self.stats["longest recovery"] = max(self.stats["longest recovery"],
                                                 self.quiet_cycles)
            self.fault_pending = False
            self.quiet_cycles = 0
            return
        self.quiet_cycles += 1
        if self.quiet_cycles == RECOVERY_BOUND:
            violations.add(f"not back in Data {RECOVERY_BOUND} cycles after the faults "
                           f"(layout {self.in_bytes}/{self.out_bytes}, "
                           f"{self.handler.state.__name__})")


class Violations:
    def __init__(self):
        self.count, self.first = 0, []

    def add(self, text):
        self.count += 1
        if len(self.first) < 20:
            self.first.append(text)


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def run(cycles, seed, fault_rate, memory=False, rss_limit_kib=1024):
    rng = random.Random(seed)
    stats = Counter()
    stats["faults"] = Counter()
    violations = Violations()
    connections = [Connection(layout, rng, stats) for layout in LAYOUTS]
    samples = []
    warm_up = cycles // 10
    begin = time.monotonic()
    for n in range(cycles):
        link = connections[n % len(connections)]
        try:
            link.maybe_inject(fault_rate)
            link.cycle(violations)
        except Exception as error:  # noqa: BLE001 - no exception may reach the host
            violations.add(f"exception {type(error).__name__}: {error}")
        if memory and (n == warm_up or (n > warm_up and n % 10000 == 0) or n == cycles - 1):
            samples.append(resident_kib())
    elapsed = time.monotonic() - begin
    for link in connections:
        link.close()

    print(f"soak: seed {seed}, {len(connections)} connections (input/output bytes "
          f"{', '.join(f'{a}/{b}' for a, b, _ in LAYOUTS)}), fault rate {fault_rate}")
    print(f"cycles: {cycles}")
    print("faults: " + ", ".join(f"{name} {stats['faults'][name]}"
                                 for name in list(SlaveSimulator.FAULTS) + list(EXTRA_FAULTS)))
    print(f"rejected replies: {stats['rejected']}")
    print(f"accepted PROCESS_DATA replies: {stats['accepted PROCESS_DATA']}")
    print(f"resets: {stats['resets']}")
    print(f"watchdog expiries: {stats['watchdog expiries']}")
    print(f"recoveries: {stats['recoveries']} (longest {stats['longest recovery']} cycles "
          f"after the last fault)")
    print(f"time: {elapsed:.1f} s ({1e6 * elapsed / max(cycles, 1):.1f} us per cycle)")
    failed = violations.count > 0
    missing = [name for name in list(SlaveSimulator.FAULTS) + list(EXTRA_FAULTS)
               if stats["faults"][name] == 0]
    if missing and cycles >= 10000:
        print(f"faults never injected: {', '.join(missing)}")
        failed = True
    if memory:
        growth = samples[-1] - samples[0]
        print(f"rss: {samples[0]} KiB after {warm_up} cycles, {max(samples)} KiB at most, "
              f"{samples[-1]} KiB at the end, growth {growth} KiB (limit {rss_limit_kib})")
        if growth > rss_limit_kib:
            failed = True
    print(f"violations: {violations.count}")
    for text in violations.first:
        print(f"  {text}")
    return 1 if failed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--fault-rate", type=float, default=0.02,
                        help="chance of a new fault per cycle (default 0.02)")
    parser.add_argument("--memory", action="store_true",
                        help="sample the resident size and fail when it grows after warm-up")
    parser.add_argument("--rss-limit-kib", type=int, default=1024)
    args = parser.parse_args(argv)
    return run(args.cycles, args.seed, args.fault_rate, args.memory, args.rss_limit_kib)


if __name__ == "__main__":
    sys.exit(main())
