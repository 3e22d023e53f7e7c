"""``python -m velmora``: a master against the slave simulator, told as it goes.

The master connects to a simulated slave (Reset, Session, Connection, Parameter, Data),
exchanges process data for a few cycles, meets one injected fault, recovers, and exchanges
process data again. States, errors and values are printed; with ``--trace`` (or with
VELMORA_LOGGING set) the library's diagnostic trace is printed in between.
"""
from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import time
from typing import Callable, Optional, Sequence

import velmora
from velmora.sim import SlaveSimulator

SLAVE_ADDRESS = 0x0042
CONNECTION_ID = 0x1234
WATCHDOG_S = 0.5
PERIOD_S = 0.002
SETUP_CYCLE_LIMIT = 200
# Enough for the whole run; a handler keeps 64 events by default.
HISTORY_SIZE = 1024
# Events shown before the fault's first error and after it.
EVENTS_BEFORE_FAULT, EVENTS_AFTER_FAULT = 2, 3
# Echo faults act while the slave echoes its setup data, so the host resets the
# connection to let the slave echo again.
ECHO_FAULTS = ("wrong_address", "wrong_watchdog", "wrong_parameter")
VALID_SIZES = tuple([1] + list(range(2, velmora.MAX_DATA_BYTES + 1, 2)))


def _sizes(text: str) -> tuple[int, int]:
    parts = text.lower().split("x")
    if len(parts) != 2 or not all(p.strip().isdigit() for p in parts):
        raise argparse.ArgumentTypeError(f"expected OUTxIN, such as 2x4, not {text!r}")
    out_bytes, in_bytes = (int(p) for p in parts)
    for size in (out_bytes, in_bytes):
        if size not in VALID_SIZES:
            raise argparse.ArgumentTypeError(
                f"{size} bytes of safe data is not a frame size: use 1 or an even number "
                f"from 2 to {velmora.MAX_DATA_BYTES}"
            )
    return out_bytes, in_bytes


def _cycles(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of cycles, not {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m velmora",
        description="Run an FSoE master against the slave simulator: connect, exchange "
        "process data, inject one fault, recover.",
        allow_abbrev=False,
    )
    parser.add_argument("--cycles", type=_cycles, default=3, metavar="N",
                        help="process-data cycles before the fault and after recovery "
                        "(default 3)")
    parser.add_argument("--sizes", type=_sizes, default=(2, 2), metavar="OUTxIN",
                        help="safe-data bytes from master to slave and back: 1 or an even "
                        "number up to 16 each (default 2x2)")
    parser.add_argument("--fault", choices=SlaveSimulator.FAULTS, default="corrupt_crc",
                        metavar="NAME",
                        help="the fault the slave simulator injects: "
                        + ", ".join(SlaveSimulator.FAULTS) + " (default corrupt_crc)")
    parser.add_argument("--history", metavar="PATH",
                        help="write the connection history as JSON lines to PATH and as an "
                        "SVG timeline beside it (PATH with the suffix .svg)")
    parser.add_argument("--trace", action="store_true",
                        help="show the diagnostic trace (runs again with VELMORA_LOGGING=1)")
    return parser


def _hex(data: bytes) -> str:
    return " ".join(f"{b:02X}" for b in data)


class Demo:
    """One master handler, one simulated slave, and the narration."""

    def __init__(self, master: velmora.MasterHandler, sim: SlaveSimulator,
                 inputs: list[velmora.DictionaryItemInput],
                 outputs: list[velmora.DictionaryItemOutput]) -> None:
        self.master = master
        self.sim = sim
        self.inputs = inputs
        self.outputs = outputs
        self.cycle = 0
        self.errors = 0
        self.show_data = False
        self._last_reply = b""
        self._next = time.perf_counter()

    def say(self, text: str) -> None:
        print(f"  [cycle {self.cycle:3d}] {text}", flush=True)

    def on_state(self, state: type[velmora.State]) -> None:
        self.say(f"state -> {state.__name__}")

    def on_error(self, transition: Optional[str], message: Optional[str]) -> None:
        self.errors += 1
        self.say(f"error {transition}: {message}")

    def step(self) -> None:
        """One bus cycle at the fixed period: the slave's PDU in, the master's PDU out."""
        self.cycle += 1
        # The slave's application: new inputs every cycle.
        self.sim.inputs = bytes((0x10 * self.cycle + i) & 0xFF for i in range(len(self.inputs)))
        reply = self.sim.process(self.master.get_request())
        in_data = self.master.state is velmora.StateData
        if in_data:
            # The master's application: outputs as process data, not fail-safe data. They
            # go out with the request that set_reply builds.
            self.master.set_fail_safe(False)
            for i, item in enumerate(self.outputs):
                item.set((self.cycle + i) & 0xFF)
        self.master.set_reply(reply)
        if self.show_data and in_data and reply != self._last_reply:
            self.show_values()
        self._last_reply = reply
        # The next slot of a fixed grid; after an overrun the missed slots are dropped.
        self._next += PERIOD_S
        now = time.perf_counter()
        if self._next < now:
            self._next += PERIOD_S * math.ceil((now - self._next) / PERIOD_S)
        time.sleep(self._next - now)

    def run_until(self, done: Callable[[], bool], limit: int = SETUP_CYCLE_LIMIT) -> bool:
        for _ in range(limit):
            if done():
                return True
            self.step()
        return done()

    def exchanging(self) -> bool:
        """The last cycle moved process data both ways."""
        return (self.master.state is velmora.StateData and self.sim.outputs_valid
                and bytes(int(item.get()) for item in self.inputs) == self.sim.inputs)

    def show_values(self) -> None:
        sent = _hex(self.sim.outputs) if self.sim.outputs_valid else "fail-safe data"
        read = bytes(int(item.get()) for item in self.inputs)
        note = "" if read == self.sim.inputs else " (fail-safe values)"
        self.say(f"outputs -> slave: {sent}   inputs <- slave: {_hex(read)}{note}")

    def exchange(self, cycles: int) -> None:
        for _ in range(cycles):
            self.step()

    def inject(self, fault: str) -> bool:
        print(f"Injecting fault {fault!r}", flush=True)
        if fault == "silent":
            # The slave stops answering until the master's watchdog has expired.
            self.sim.inject("silent")
            errors = self.errors
            deadline = time.monotonic() + 4 * WATCHDOG_S
            while self.errors == errors and time.monotonic() < deadline:
                self.step()
            self.sim.clear_faults()
            self.say("the slave answers again")
        elif fault in ECHO_FAULTS:
            self.sim.inject(fault)
            self.say("the host resets the connection: the slave echoes its setup again")
            self.master.reset()
        else:
            self.sim.inject(fault)
        return self.run_until(lambda: fault not in self.sim.faults and self.exchanging())


def _rerun_with_trace(argv: Sequence[str]) -> int:
    sys.stdout.flush()
    env = dict(os.environ, VELMORA_LOGGING="1")
    return subprocess.call([sys.executable, "-m", "velmora", *argv], env=env)


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        return _run(argv)
    except BrokenPipeError:
        # The reader went away (a pager or head): no more output, and no traceback.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def _run(argv: Optional[Sequence[str]]) -> int:
    args_list = list(sys.argv[1:] if argv is None else argv)
    args = build_parser().parse_args(args_list)
    # The trace switch is read when velmora is imported: only a new process can turn it on.
    if args.trace and not velmora.VELMORA_LOGGING:
        return _rerun_with_trace(args_list)

    out_bytes, in_bytes = args.sizes
    inputs = [velmora.DictionaryItemInput(0x6000 + i, f"safe_input_{i}", velmora.DataType.UINT8, 0)
              for i in range(in_bytes)]
    outputs = [velmora.DictionaryItemOutput(0x7000 + i, f"safe_output_{i}", velmora.DataType.UINT8)
               for i in range(out_bytes)]
    parameter = velmora.ApplicationParameter("cycle_time_us", int(PERIOD_S * 1e6), 2)
    block = parameter.raw_value.to_bytes(parameter.n_bytes, "little")
    sim = SlaveSimulator(SLAVE_ADDRESS, CONNECTION_ID, in_bytes, out_bytes, int(WATCHDOG_S * 1000),
                         application_parameters=block, seed=1)

    print(f"velmora {velmora.__version__}: an FSoE master against velmora.sim.SlaveSimulator")
    print(f"  slave address {SLAVE_ADDRESS}, connection id {CONNECTION_ID}, "
          f"watchdog {WATCHDOG_S * 1000:.0f} ms, bus cycle {PERIOD_S * 1000:.0f} ms")
    print(f"  safe data: {out_bytes} byte(s) out, {in_bytes} byte(s) in; "
          f"application parameter {parameter.name} = {parameter.value}", flush=True)

    demo: Optional[Demo] = None

    def on_state(state: type[velmora.State]) -> None:
        if demo is not None:
            demo.on_state(state)

    def on_error(transition: Optional[str], message: Optional[str]) -> None:
        if demo is not None:
            demo.on_error(transition, message)

    with velmora.MasterHandler(velmora.Dictionary([*inputs, *outputs]), SLAVE_ADDRESS,
                               CONNECTION_ID, WATCHDOG_S, application_parameters=[parameter],
                               report_error_callback=on_error,
                               state_change_callback=on_state,
                               history_size=HISTORY_SIZE) as master:
        for output in outputs:
            master.master.dictionary_map.add(output)
        for input_item in inputs:
            master.slave.dictionary_map.add(input_item)
        demo = Demo(master, sim, inputs, outputs)
        print("Connecting", flush=True)
        master.start()
        if not demo.run_until(lambda: master.state is velmora.StateData):
            print(f"The master did not reach the Data state: {master!r}")
            return 1
        print(f"Exchanging process data ({master!r})", flush=True)
        demo.show_data = True
        demo.exchange(args.cycles)
        before_fault = master.history()[-1].number
        recovered = demo.inject(args.fault)
        _print_fault_history(master.history(), before_fault)
        if not recovered:
            print(f"The connection did not recover: {master!r}")
            return 1
        print(f"Recovered ({master!r})", flush=True)
        demo.exchange(args.cycles)
        print("Stopping", flush=True)
        master.stop()
        _print_diagnostics(master)
        if args.history:
            _write_history(master.history(), args.history)
    return 0


def _print_fault_history(events: list[velmora.HistoryEvent], before_fault: int) -> None:
    """The connection history around the fault's first error, decoded."""
    first = next((i for i, e in enumerate(events)
                  if e.number > before_fault and (e.error is not None or e.kind == "expiry")),
                 None)
    if first is None:
        print("History: no error was recorded after the fault")
        return
    shown = events[max(0, first - EVENTS_BEFORE_FAULT):first + EVENTS_AFTER_FAULT + 1]
    print("History around the fault (python -m velmora.decode explains a recording):")
    for line in velmora.describe_history(shown).splitlines():
        print(f"  {line}")


def _write_history(events: list[velmora.HistoryEvent], path: str) -> None:
    svg_path = os.path.splitext(path)[0] + ".svg"
    if os.path.abspath(svg_path) == os.path.abspath(path):
        svg_path = path + ".svg"
    velmora.write_history(events, path)
    with open(svg_path, "w", encoding="utf-8") as svg:
        svg.write(velmora.history_to_svg(events))
    print(f"History: {len(events)} events written to {path} and drawn in {svg_path}")


def _print_diagnostics(master: velmora.MasterHandler) -> None:
    d = master.diagnostics
    resets = ", ".join(f"{name} x{count}" for name, count in sorted(d["resets"].items())) or "none"
    print(f"Diagnostics: {d['cycles']} cycles, {d['accepted_replies']} accepted replies, "
          f"resets: {resets}")
    if d["last_error"] is not None:
        print("  last error {}: {}".format(*d["last_error"]))
    if d["min_reply_interval_s"] is not None:
        print(f"  reply interval {d['min_reply_interval_s'] * 1000:.2f} to "
              f"{d['max_reply_interval_s'] * 1000:.2f} ms")
