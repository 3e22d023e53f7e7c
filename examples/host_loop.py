"""A cyclic FSoE host: the shape of a safety master application on a fieldbus.

Every bus cycle, at a fixed period, the fieldbus exchanges the process image with the
slaves. The FSoE connection rides inside it: the slave's PDU arrives in the input image,
the master's PDU leaves in the output image. Between two exchanges the application

1. reads the process image in (the slave's PDU) and writes this cycle's safe outputs,
2. hands the PDU to velmora (``set_reply``): safe inputs are updated, the next request is
   built with the outputs,
3. takes the master's PDU (``get_request``) and writes it to the process image out,
4. reads its safe inputs.

Here the fieldbus is played by ``SimulatedBus`` and the slave by velmora's slave
simulator; on a real bus only ``SimulatedBus`` changes. State changes and connection
errors go to Python's ``logging``.

    python examples/host_loop.py --cycles 2000 --period-ms 1 --fault corrupt_crc
"""
from __future__ import annotations

import argparse
import logging
import math
import time
from typing import Optional, Sequence

import velmora
from velmora.sim import SlaveSimulator

log = logging.getLogger("host_loop")

SLAVE_ADDRESS = 0x0042
CONNECTION_ID = 0x1234
WATCHDOG_S = 0.1


class ProcessImage:
    """The bytes a fieldbus master exchanges each cycle: inputs from, outputs to the slaves."""

    def __init__(self, input_size: int, output_size: int) -> None:
        self.inputs = bytearray(input_size)
        self.outputs = bytearray(output_size)


class SimulatedBus:
    """Stands in for the fieldbus: carries the master's PDU from the output image to the
    slave, and the slave's PDU back into the input image, at fixed offsets."""

    def __init__(self, image: ProcessImage, slave: SlaveSimulator, offset_in: int,
                 offset_out: int) -> None:
        self.image = image
        self.slave = slave
        self.pdu_in = slice(offset_in, offset_in + slave.reply_length)
        self.pdu_out = slice(offset_out, offset_out + slave.request_length)
        self._started = time.perf_counter()

    def exchange(self) -> None:
        request = bytes(self.image.outputs[self.pdu_out])
        now_ms = (time.perf_counter() - self._started) * 1000.0
        reply = self.slave.process(request, now=now_ms)
        if reply:  # nothing before the slave's first reply
            self.image.inputs[self.pdu_in] = reply


class SafetyApplication:
    """The application: its safe items, outputs from a counter, inputs read every cycle."""

    def __init__(self) -> None:
        self.speed_limit = velmora.DictionaryItemOutput(0x7000, "speed_limit",
                                                        velmora.DataType.UINT16)
        self.enable = velmora.DictionaryItemOutput(0x7001, "enable", velmora.DataType.BOOL)
        # Inputs fall back to these values whenever the connection is not exchanging data.
        self.standstill = velmora.DictionaryItemInput(0x6000, "standstill",
                                                      velmora.DataType.BOOL, True)
        self.position = velmora.DictionaryItemInput(0x6001, "position", velmora.DataType.INT16, 0)
        self.dictionary = velmora.Dictionary(
            [self.speed_limit, self.enable, self.standstill, self.position])

    def map(self, master: velmora.MasterHandler) -> None:
        """The safe-data layout of both directions, in whole 16-bit words."""
        outputs = master.master.dictionary_map
        outputs.add(self.speed_limit)
        outputs.add(self.enable)
        outputs.add_padding(15)
        inputs = master.slave.dictionary_map
        inputs.add(self.standstill)
        inputs.add_padding(7)
        inputs.add(self.position)
        inputs.add_padding(8)

    def write_outputs(self, cycle: int) -> None:
        self.speed_limit.set(1000 + cycle % 100)
        self.enable.set(cycle % 2 == 0)

    def read_inputs(self) -> tuple[bool, int]:
        return bool(self.standstill.get()), int(self.position.get())


def on_state_change(state: type[velmora.State]) -> None:
    log.info("FSoE state: %s", state.__name__)


def on_error(transition: Optional[str], message: Optional[str]) -> None:
    log.warning("FSoE error %s: %s", transition, message)


def run(cycles: int, period_s: float, fault: Optional[str]) -> dict[str, object]:
    application = SafetyApplication()
    with velmora.MasterHandler(application.dictionary, SLAVE_ADDRESS, CONNECTION_ID, WATCHDOG_S,
                               report_error_callback=on_error,
                               state_change_callback=on_state_change) as master:
        application.map(master)
        slave = SlaveSimulator(SLAVE_ADDRESS, CONNECTION_ID,
                               input_bytes=master.slave.dictionary_map.safety_bytes,
                               output_bytes=master.master.dictionary_map.safety_bytes,
                               watchdog_ms=int(WATCHDOG_S * 1000))
        # The PDUs sit behind other devices' data in the process image.
        image = ProcessImage(input_size=64, output_size=64)
        bus = SimulatedBus(image, slave, offset_in=16, offset_out=8)

        master.start()
        fault_cycle = cycles // 2 if fault else -1
        next_cycle = time.perf_counter()
        for cycle in range(cycles):
            bus.exchange()
            if cycle == fault_cycle and fault is not None:
                log.info("slave simulator: injecting %s", fault)
                if fault == "silent":
                    # Long enough for the master's watchdog to expire, then answers again.
                    slave.inject("silent", count=int(1.5 * WATCHDOG_S / period_s))
                else:
                    slave.inject(fault)

            # 1. Process image in, and this cycle's outputs into the safe items.
            reply = bytes(image.inputs[bus.pdu_in])
            application.write_outputs(cycle)
            if master.state is velmora.StateData:
                master.set_fail_safe(False)
            # 2. The slave's PDU to velmora; the next request is built now.
            master.set_reply(reply)
            # 3. The master's PDU to the process image out.
            request = master.get_request()
            if len(request) != bus.pdu_out.stop - bus.pdu_out.start:
                raise RuntimeError(f"request of {len(request)} bytes does not fit its slot")
            image.outputs[bus.pdu_out] = request
            # 4. Safe inputs for the application (fail-safe values outside the Data state).
            standstill, position = application.read_inputs()
            if cycle % 500 == 0:
                log.debug("cycle %d: standstill=%s position=%d", cycle, standstill, position)

            # The next slot of a fixed grid; after an overrun the missed slots are dropped.
            next_cycle += period_s
            now = time.perf_counter()
            if next_cycle < now:
                next_cycle += period_s * math.ceil((now - next_cycle) / period_s)
            time.sleep(next_cycle - now)

        state = master.state
        diagnostics = master.diagnostics
        log.info("after %d cycles: %r", cycles, master)
    diagnostics["final_state"] = state.__name__
    return diagnostics


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="A cyclic FSoE host loop against the slave "
                                     "simulator.")
    parser.add_argument("--cycles", type=int, default=1000, help="bus cycles to run")
    parser.add_argument("--period-ms", type=float, default=2.0, help="bus cycle period")
    parser.add_argument("--fault", choices=SlaveSimulator.FAULTS, default=None,
                        help="inject this fault halfway")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every detail")
    args = parser.parse_args(argv)
    if args.cycles < 1 or args.period_ms <= 0:
        parser.error("--cycles and --period-ms must be positive")
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO,
                        format="%(relativeCreated)8.1f ms %(levelname)-7s %(message)s")
    result = run(args.cycles, args.period_ms / 1000.0, args.fault)
    log.info("diagnostics: %s", result)
    return 0 if result["final_state"] == "StateData" else 1


if __name__ == "__main__":
    raise SystemExit(main())
