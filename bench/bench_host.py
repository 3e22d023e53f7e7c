#!/usr/bin/env python3
"""The host-level cycle of velmora, measured from Python, with the five performance targets.

A master handler runs in the Data state against velmora.sim.SlaveSimulator, 16 bytes of safe
data in each direction laid out as eight UINT16 items (also 2 bytes: one UINT16 item), with
new simulator inputs, so a new reply, every cycle. Measured, all as CPU time of this thread:

- host cycle: set_reply with a new reply + get_request, from Python;
- C++ cycle: the core's set_reply + get_request, as a loop in C++ (a private hook);
- two do-nothing binding calls that take and return bytes (velmora._core._bench_echo);
- a repeated identical reply + get_request;
- the C++ cycle of a handler without connection history (history_size=0): the difference
  from the C++ cycle is what recording the history costs a cycle;
- the block-CRC work of one cycle with the per-block computation, and the fast one;
- 512 handlers, each with its simulator, cycled round robin: the masters' calls timed apart
  from the simulators'; memory per handler;
- the connection setup, from a reset to the Data state (cycles and wall time).

A clock read costs a good part of a cycle, so nothing is timed per call. A cycle's master
share is the difference of two loops: handler and simulator, and a twin simulator (same
seed) replaying the same requests alone, which does exactly the simulator's work again.
Loops of calls are measured against an empty loop of the same length. Every figure is the
median over repetitions, and the repetitions of all figures are interleaved, so the two
sides of each ratio are measured side by side.

Cold caches: a real host does other work between two cycles, so the handler's memory and
code have left the caches when the next reply comes. The cold figures stream a preallocated
buffer (--evict-mib MiB copied into another as many, in pieces so the copy goes through the
caches) before every timed region, and time single regions with perf_counter_ns: the
simulator answers (untimed), the buffer is streamed, then set_reply + get_request is timed
once. Interleaved in the same loop, each after the same eviction: two get_slave_address
calls, an empty region (the timer's own cold cost, subtracted from the others), and, as
information only, set_reply and get_request each alone and a repeated reply. Figures are
medians over all regions (--cold-cycles per repetition, --reps repetitions). The fleet
gets a cold round as well: the buffer is streamed after the simulators of a round, before
the masters.

    python bench/bench_host.py [--json PATH] [--reps N] [--cycles N] [--handlers N]
                               [--cold-cycles N] [--evict-mib N]
"""
import argparse
import gc
import json
import os
import platform
import random
import statistics
import sys
import time

import velmora as v
from velmora import _core
from velmora.sim import SlaveSimulator

ADDRESS, CONN_ID, SEED = 0x0042, 0x1234, 7
WATCHDOG_S = 60.0  # a pause between measurements must never let a watchdog expire
clock = time.thread_time_ns
set_sim_inputs = SlaveSimulator.inputs.fset
# The simulator's inputs in cycle i are PATTERNS[i & 255], as in the C++ hooks.
PATTERNS = [bytes((i * 7 + j * 13) & 0xFF for j in range(16)) for i in range(256)]


def make_handler(n_bytes, history_size=64):
    """A handler with n_bytes of safe data each way as UINT16 items (UINT8 for one byte)."""
    data_type = v.DataType.UINT8 if n_bytes == 1 else v.DataType.UINT16
    count = 1 if n_bytes == 1 else n_bytes // 2
    outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", data_type) for i in range(count)]
    inputs = [v.DictionaryItemInput(100 + i, f"in{i}", data_type, 0) for i in range(count)]
    for i, item in enumerate(outputs):
        item.set(0x11 * (i + 1))
    handler = v.MasterHandler(v.Dictionary(outputs + inputs), ADDRESS, CONN_ID, WATCHDOG_S,
                              history_size=history_size)
    for item in outputs:
        handler.master.dictionary_map.add(item)
    for item in inputs:
        handler.slave.dictionary_map.add(item)
    return handler


def make_simulator(n_bytes):
    return SlaveSimulator(ADDRESS, CONN_ID, n_bytes, n_bytes, int(WATCHDOG_S * 1000), seed=SEED)


class Link:
    """A handler, its simulator, and a twin simulator that follows the same requests."""

    def __init__(self, n_bytes, twin=True, history_size=64):
        self.n_bytes = n_bytes
        self.patterns = [p[:n_bytes] for p in PATTERNS]
        self.handler = make_handler(n_bytes, history_size)
        self.sim = make_simulator(n_bytes)
        self.twin = make_simulator(n_bytes) if twin else None
        self.index = 0  # cycles so far: the number of requests fed to the simulator
        self.twin_index = 0
        self.pending = []  # requests the twin has not been fed yet
        self.handler.start()

    def cycle(self):
        request = self.handler.get_request()
        set_sim_inputs(self.sim, self.patterns[self.index & 255])
        self.pending.append(request)
        self.index += 1
        self.handler.set_reply(self.sim.process(request))

    def to_data(self):
        """Cycles until the Data state with fail-safe mode off; returns the cycles."""
        self.handler.set_fail_safe(False)
        cycles = 0
        while self.handler.state is not v.StateData:
            cycles += 1
            if cycles > 1000:
                raise RuntimeError("the connection does not reach the Data state")
            self.cycle()
        self.handler.set_fail_safe(False)
        return cycles

    def catch_up(self):
        """Feeds the twin what the simulator got, untimed."""
        if self.twin is not None:
            for request in self.pending:
                set_sim_inputs(self.twin, self.patterns[self.twin_index & 255])
                self.twin.process(request)
                self.twin_index += 1
        self.pending = []

    def ready(self):
        self.to_data()
        self.catch_up()
        assert self.twin is None or self.twin_index == self.index

    def close(self):
        self.handler.delete()


# ---- one repetition of each measurement; each returns nanoseconds per operation ----

def empty_loop(n):
    start = clock()
    for _ in range(n):
        pass
    return clock() - start


def measure_host_cycle(link, n):
    """Python: set_reply(new reply) + get_request, less the simulator's share."""
    link.ready()
    handler, sim, twin, patterns = link.handler, link.sim, link.twin, link.patterns
    set_reply, get_request, process = handler.set_reply, handler.get_request, sim.process
    first = link.index
    record = [None] * n
    request = get_request()
    start = clock()
    for k in range(n):
        set_sim_inputs(sim, patterns[(first + k) & 255])
        record[k] = request
        set_reply(process(request))
        request = get_request()
    both = clock() - start
    process = twin.process
    start = clock()
    for k in range(n):
        set_sim_inputs(twin, patterns[(first + k) & 255])
        process(record[k])
    alone = clock() - start
    link.index += n
    link.twin_index += n
    assert handler.state is v.StateData
    assert twin.reply == sim.reply, "the twin simulator did other work than the simulator"
    return (both - alone) / n, alone / n


def measure_core_cycle(link, n):
    """C++: the core's set_reply + get_request, less the simulator's share."""
    link.ready()
    both, record = _core._bench_link(link.handler, link.sim, n, link.index)
    alone = _core._bench_replay(link.twin, record, link.twin_index)
    link.index += n
    link.twin_index += n
    assert link.handler.state is v.StateData
    assert link.twin.reply == link.sim.reply, "the twin simulator did other work than the simulator"
    return (both - alone) / n


def measure_echo(n, data):
    """Two do-nothing binding calls that take and return bytes."""
    echo = _core._bench_echo
    start = clock()
    for _ in range(n):
        echo(data)
        echo(data)
    return (clock() - start - empty_loop(n)) / n


def measure_repeated(link, n):
    """The reply already processed, again, + get_request."""
    link.ready()
    reply = link.sim.reply
    set_reply, get_request = link.handler.set_reply, link.handler.get_request
    start = clock()
    for _ in range(n):
        set_reply(reply)
        get_request()
    return (clock() - start - empty_loop(n)) / n


def measure_crc(kind, size, n):
    return _core._bench_crc(kind, size, n) / n


def measure_setup(link):
    """From a host reset to the Data state: (cycles, wall ns), simulator included."""
    link.ready()
    start = time.perf_counter_ns()
    link.handler.reset()
    cycles = link.to_data()
    elapsed = time.perf_counter_ns() - start
    link.catch_up()
    return cycles, elapsed


# This machine (lscpu): L1d 32 KiB and L2 1 MiB per core, one 32 MiB L3 shared by both
# cores. Copying 16 MiB streams 32 MiB (read and written) through the caches: every line of
# L1 and L2 and about all of L3 is replaced, and the TLBs too (4096 pages).
class Evictor:
    """Streams a preallocated buffer through the caches: `mib` MiB copied into another."""

    # One memcpy of many MiB may use non-temporal stores that bypass the caches; pieces of
    # 256 KiB stay below that threshold, so the destination is written through the caches.
    PIECE = 1 << 18

    def __init__(self, mib):
        self.mib = mib
        size = mib << 20
        # Filled, so both buffers are real pages (calloc'd pages all map one zero page).
        self.source = b"\x5a" * size
        self.target = bytearray(self.source)
        src, dst = memoryview(self.source), memoryview(self.target)
        self.pieces = [(dst[i:i + self.PIECE], src[i:i + self.PIECE])
                       for i in range(0, size, self.PIECE)]

    def __call__(self):
        for dst, src in self.pieces:
            dst[:] = src


COLD_KINDS = ("cold_cycle_16", "cold_trivial_x2", "cold_empty", "cold_set_reply_16",
              "cold_get_request_16", "cold_repeated_16", "cold_cycle_16_no_history")


def measure_cold(link, no_history, evict, n, order):
    """n cold rounds; each kind of region once per round, the buffer streamed before each.

    Returns the regions' wall ns per kind, the timer's cost not yet subtracted. Calls are
    written as a host writes them (attribute lookups included), as they run cold too.
    """
    link.ready()
    no_history.ready()
    now = time.perf_counter_ns
    handler, sim, patterns = link.handler, link.sim, link.patterns
    other, other_sim = no_history.handler, no_history.sim
    out = {kind: [] for kind in COLD_KINDS}
    request = handler.get_request()
    other_request = other.get_request()

    def fresh_reply(of, simulator, to_request):
        """The simulator's answer with new inputs (untimed), then the caches emptied."""
        set_sim_inputs(simulator, patterns[of.index & 255])
        reply = simulator.process(to_request)
        of.index += 1
        evict()
        return reply

    def cycle():  # a new reply, then the same reply again
        nonlocal request
        reply = fresh_reply(link, sim, request)
        t0 = now()
        handler.set_reply(reply)
        request = handler.get_request()
        t1 = now()
        out["cold_cycle_16"].append(t1 - t0)
        evict()
        t0 = now()
        handler.set_reply(reply)
        handler.get_request()
        t1 = now()
        out["cold_repeated_16"].append(t1 - t0)

    def halves():  # a new reply, set_reply and get_request each cold
        nonlocal request
        reply = fresh_reply(link, sim, request)
        t0 = now()
        handler.set_reply(reply)
        t1 = now()
        out["cold_set_reply_16"].append(t1 - t0)
        evict()
        t0 = now()
        request = handler.get_request()
        t1 = now()
        out["cold_get_request_16"].append(t1 - t0)

    def trivial():
        evict()
        t0 = now()
        handler.get_slave_address()
        handler.get_slave_address()
        t1 = now()
        out["cold_trivial_x2"].append(t1 - t0)

    def empty():
        evict()
        t0 = now()
        t1 = now()
        out["cold_empty"].append(t1 - t0)

    def without_history():
        nonlocal other_request
        reply = fresh_reply(no_history, other_sim, other_request)
        t0 = now()
        other.set_reply(reply)
        other_request = other.get_request()
        t1 = now()
        out["cold_cycle_16_no_history"].append(t1 - t0)

    units = [cycle, halves, trivial, empty, without_history]
    for _ in range(n):
        order.shuffle(units)  # no kind always follows the same one
        for unit in units:
            unit()
    assert handler.state is v.StateData and other.state is v.StateData
    return out


def cold_figures(regions):
    """Medians of the regions less the median empty region (the timer's own cost)."""
    timer = statistics.median(regions["cold_empty"])
    figures = {kind: statistics.median(regions[kind]) - timer
               for kind in COLD_KINDS if kind != "cold_empty"}
    figures["cold_empty"] = timer
    return figures


class Fleet:
    """Many handlers, each with its simulator, cycled round robin."""

    def __init__(self, count, n_bytes):
        gc.collect()
        before = rss_bytes()
        self.handlers = [make_handler(n_bytes) for _ in range(count)]
        middle = rss_bytes()
        self.sims = [make_simulator(n_bytes) for _ in range(count)]
        after = rss_bytes()
        self.memory_per_handler = (middle - before) / count
        self.memory_per_simulator = (after - middle) / count
        self.patterns = [p[:n_bytes] for p in PATTERNS]
        self.count = count
        self.round = 0
        for h in self.handlers:
            h.start()
        self.requests = [h.get_request() for h in self.handlers]
        self.replies = [None] * count
        for _ in range(1000):
            if all(h.state is v.StateData for h in self.handlers):
                break
            for h in self.handlers:
                h.set_fail_safe(False)
            self.cycle()
        else:
            raise RuntimeError("the fleet does not reach the Data state")
        for h in self.handlers:
            h.set_fail_safe(False)
        self.memory_per_handler_running = (rss_bytes() - before) / count - self.memory_per_simulator

    def cycle(self, evict=None):
        """One round: (simulator ns, master ns, empty-loop ns) for all connections.

        evict, if given, runs after the simulators, before the masters (untimed).
        """
        n, sims, replies, requests = self.count, self.sims, self.replies, self.requests
        set_replies = [h.set_reply for h in self.handlers]
        get_requests = [h.get_request for h in self.handlers]
        processes = [s.process for s in sims]
        inputs = self.patterns[self.round & 255]
        self.round += 1
        start = clock()
        for k in range(n):
            set_sim_inputs(sims[k], inputs)
            replies[k] = processes[k](requests[k])
        middle = clock()
        simulators = middle - start
        if evict is not None:
            evict()
            middle = clock()
        for k in range(n):
            set_replies[k](replies[k])
            requests[k] = get_requests[k]()
        end = clock()
        for k in range(n):
            pass
        return simulators, end - middle, clock() - end

    def close(self):
        for h in self.handlers:
            h.delete()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "nproc": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count(),
        "cpu": model,
        "python": platform.python_version(),
        "velmora": v.__version__,
        "load_average": os.getloadavg(),
    }


def run(args):
    figures = {}
    samples = {}

    def add(name, value):
        samples.setdefault(name, []).append(value)

    links = {16: Link(16), 2: Link(2)}
    no_history = Link(16, history_size=0)
    cold_links = (Link(16, twin=False), Link(16, twin=False, history_size=0))
    evict = Evictor(args.evict_mib)
    cold_order = random.Random(2)
    regions = {kind: [] for kind in COLD_KINDS}
    cold_ratios = []

    def cold_task():
        out = measure_cold(*cold_links, evict, args.cold_cycles, cold_order)
        for kind, values in out.items():
            regions[kind].extend(values)
        rep = cold_figures(out)
        cold_ratios.append(rep["cold_cycle_16"] / rep["cold_trivial_x2"])

    n = args.cycles
    reply16 = links[16].sim.reply or bytes(35)
    tasks = [
        lambda: add("host_cycle_16", measure_host_cycle(links[16], n)[0]),
        lambda: add("host_cycle_2", measure_host_cycle(links[2], n)[0]),
        lambda: add("core_cycle_16", measure_core_cycle(links[16], n)),
        lambda: add("core_cycle_2", measure_core_cycle(links[2], n)),
        lambda: add("core_cycle_16_no_history", measure_core_cycle(no_history, n)),
        lambda: add("echo_x2_16", measure_echo(n, reply16)),
        lambda: add("repeated_16", measure_repeated(links[16], n)),
        lambda: add("crc_generate_plain_16", measure_crc("generate_plain", 16, 20 * n)),
        lambda: add("crc_generate_fast_16", measure_crc("generate_fast", 16, 20 * n)),
        lambda: add("crc_cycle_plain_16", measure_crc("cycle_plain", 16, 20 * n)),
        lambda: add("crc_cycle_plain_2", measure_crc("cycle_plain", 2, 20 * n)),
    ]
    if args.cold_cycles > 0:
        tasks.append(cold_task)
    shuffle = random.Random(1)
    gc.disable()
    try:
        for task in tasks:  # warm-up
            task()
        samples.clear()
        cold_ratios.clear()
        for values in regions.values():
            values.clear()
        for _ in range(args.reps):
            shuffle.shuffle(tasks)
            for task in tasks:
                task()
        sim16 = [measure_host_cycle(links[16], n)[1] for _ in range(3)]
        setup = {size: [measure_setup(links[size]) for _ in range(args.reps)] for size in links}
    finally:
        gc.enable()
    for name, values in samples.items():
        figures[name] = statistics.median(values)
    figures["simulator_cycle_16_py"] = statistics.median(sim16)
    for size, runs in setup.items():
        figures[f"setup_cycles_{size}"] = statistics.median(c for c, _ in runs)
        figures[f"setup_wall_ns_{size}"] = statistics.median(t for _, t in runs)
    if args.cold_cycles > 0:
        figures.update(cold_figures(regions))
        figures["cold_regions_per_kind"] = len(regions["cold_cycle_16"])
        figures["cold_ratio_repetition_min"] = min(cold_ratios)
        figures["cold_ratio_repetition_max"] = max(cold_ratios)
    figures["evict_mib"] = args.evict_mib
    for link in links.values():
        link.close()
    no_history.close()
    for link in cold_links:
        link.close()
    del evict

    # The fleet, with the single-handler figure measured between its rounds.
    fleet = Fleet(args.handlers, 16)
    single = Link(16)
    # 512 handlers and their simulators occupy about 40 MiB; a round touches less of it, but
    # spread over all of it. A cold round streams twice a single handler's eviction (64 MiB
    # through the 32 MiB L3 by default), so no handler's lines survive in L3.
    fleet_evict = Evictor(2 * args.evict_mib) if args.evict_mib > 0 else None
    per_conn, master_round, sim_round, host_single = [], [], [], []
    per_conn_cold, master_round_cold = [], []
    gc.disable()
    try:
        fleet.cycle()
        for _ in range(args.rounds):
            sim_ns, master_ns, loop_ns = fleet.cycle()
            master_round.append(master_ns)
            sim_round.append(sim_ns)
            per_conn.append((master_ns - loop_ns) / fleet.count)
            host_single.append(measure_host_cycle(single, n)[0])
            if fleet_evict is not None:
                _, master_ns, loop_ns = fleet.cycle(fleet_evict)
                master_round_cold.append(master_ns)
                per_conn_cold.append((master_ns - loop_ns) / fleet.count)
    finally:
        gc.enable()
    assert all(h.state is v.StateData for h in fleet.handlers)
    figures["fleet_handlers"] = fleet.count
    figures["fleet_master_per_connection"] = statistics.median(per_conn)
    figures["fleet_master_round"] = statistics.median(master_round)
    figures["fleet_simulator_round"] = statistics.median(sim_round)
    figures["fleet_single_host_cycle_16"] = statistics.median(host_single)
    if per_conn_cold:
        figures["fleet_evict_mib"] = fleet_evict.mib
        figures["fleet_master_per_connection_cold"] = statistics.median(per_conn_cold)
        figures["fleet_master_round_cold"] = statistics.median(master_round_cold)
        if "cold_cycle_16" in figures:
            figures["fleet_cold_per_connection_over_cold_cycle"] = (
                figures["fleet_master_per_connection_cold"] / figures["cold_cycle_16"])
    figures["memory_per_handler_bytes"] = fleet.memory_per_handler
    figures["memory_per_handler_running_bytes"] = fleet.memory_per_handler_running
    figures["memory_per_simulator_bytes"] = fleet.memory_per_simulator
    single.close()
    fleet.close()
    return figures


def ratios_of(f):
    return [
        ("1. CRC generation, fast / per-block (16 bytes)",
         f["crc_generate_fast_16"] / f["crc_generate_plain_16"], 0.6),
        ("2. C++ cycle / per-block CRC work of a cycle (16 bytes)",
         f["core_cycle_16"] / f["crc_cycle_plain_16"], 3.0),
        ("3. host cycle / (C++ cycle + two no-op calls)",
         f["host_cycle_16"] / (f["core_cycle_16"] + f["echo_x2_16"]), 1.3),
        ("4. repeated reply + get_request / two no-op calls",
         f["repeated_16"] / f["echo_x2_16"], 2.0),
        (f"5. {f['fleet_handlers']} handlers: master calls per connection / single",
         f["fleet_master_per_connection"] / f["fleet_single_host_cycle_16"], 1.3),
        (f"5. {f['fleet_handlers']} handlers: master calls of a round / 1 ms",
         f["fleet_master_round"] / 1e6, 1.0),
        ("6. history recording / C++ cycle (16 bytes)",
         max(0.0, f["core_cycle_16"] - f["core_cycle_16_no_history"]) / f["core_cycle_16"], 0.10),
    ] + ([
        ("7. cold cycle / cold trivial calls (two get_slave_address)",
         f["cold_cycle_16"] / f["cold_trivial_x2"], 2.0),
    ] if "cold_cycle_16" in f else [])


def report(f, info):
    us = lambda ns: f"{ns / 1000:9.3f} us"
    print(f"machine: {info['nproc']} CPUs, {info['cpu']}; Python {info['python']}; "
          f"velmora {info['velmora']}; load average {info['load_average'][0]:.2f}")
    print("\nFigures (median CPU time per operation)")
    rows = [
        ("host cycle, 16 bytes (set_reply new + get_request)", f["host_cycle_16"]),
        ("host cycle, 2 bytes", f["host_cycle_2"]),
        ("C++ cycle, 16 bytes (core set_reply + get_request)", f["core_cycle_16"]),
        ("C++ cycle, 2 bytes", f["core_cycle_2"]),
        ("C++ cycle, 16 bytes, no connection history", f["core_cycle_16_no_history"]),
        ("history recording per cycle (difference of the two)",
         f["core_cycle_16"] - f["core_cycle_16_no_history"]),
        ("two no-op binding calls (bytes in, bytes out)", f["echo_x2_16"]),
        ("repeated reply + get_request, 16 bytes", f["repeated_16"]),
        ("simulator cycle from Python, 16 bytes (apart)", f["simulator_cycle_16_py"]),
        ("per-block CRC generation, 16 bytes", f["crc_generate_plain_16"]),
        ("fast CRC generation, 16 bytes", f["crc_generate_fast_16"]),
        ("per-block CRC work of a cycle, 16 bytes", f["crc_cycle_plain_16"]),
        ("per-block CRC work of a cycle, 2 bytes", f["crc_cycle_plain_2"]),
    ]
    for name, ns in rows:
        print(f"  {name:<54} {us(ns)}")
    n = f["fleet_handlers"]
    print(f"\n{n} handlers round robin, 16 bytes")
    print(f"  {'master calls per connection (loop excluded)':<54} {us(f['fleet_master_per_connection'])}")
    print(f"  {'master calls of one round, all connections':<54} {us(f['fleet_master_round'])}")
    print(f"  {'simulators of one round (apart)':<54} {us(f['fleet_simulator_round'])}")
    print(f"  {'single handler, measured between the rounds':<54} {us(f['fleet_single_host_cycle_16'])}")
    if "fleet_master_per_connection_cold" in f:
        print(f"  {'master calls per connection, cold':<54} {us(f['fleet_master_per_connection_cold'])}")
        print(f"  {'master calls of one round, cold':<54} {us(f['fleet_master_round_cold'])}")
        print(f"    (streaming {f['fleet_evict_mib']} MiB between the simulators and the masters)")
    print(f"  {'memory per handler (RSS delta, created)':<54} {f['memory_per_handler_bytes'] / 1024:9.1f} KiB")
    print(f"  {'memory per handler (RSS delta, running)':<54} {f['memory_per_handler_running_bytes'] / 1024:9.1f} KiB")
    print(f"  {'memory per simulator':<54} {f['memory_per_simulator_bytes'] / 1024:9.1f} KiB")
    if "cold_cycle_16" in f:
        print(f"\nCold caches: {f['evict_mib']} MiB streamed before each region; median wall "
              f"time of {f['cold_regions_per_kind']} regions per kind, timer subtracted"
              + ("\n  (nothing streamed: these regions are hot)" if f["evict_mib"] == 0 else ""))
        cold_rows = [
            ("cold cycle, 16 bytes (set_reply new + get_request)", f["cold_cycle_16"]),
            ("cold trivial calls (two get_slave_address)", f["cold_trivial_x2"]),
            ("cold empty region (the timer, subtracted above)", f["cold_empty"]),
            ("info: cold set_reply of a new reply alone", f["cold_set_reply_16"]),
            ("info: cold get_request alone", f["cold_get_request_16"]),
            ("info: cold repeated reply + get_request", f["cold_repeated_16"]),
            ("info: cold cycle, no connection history", f["cold_cycle_16_no_history"]),
        ]
        for name, ns in cold_rows:
            print(f"  {name:<54} {us(ns)}")
        print(f"  {'info: cold ratio (target 7.) per repetition, min..max':<54} "
              f"{f['cold_ratio_repetition_min']:6.2f} .. {f['cold_ratio_repetition_max']:.2f}")
        if "fleet_cold_per_connection_over_cold_cycle" in f:
            print(f"  {'info: fleet cold per connection (CPU) / cold cycle':<54} "
                  f"{f['fleet_cold_per_connection_over_cold_cycle']:6.3f}")
    print("\nConnection setup, reset to Data (wall time, simulator included)")
    for size in (16, 2):
        print(f"  {size:2d} bytes: {f[f'setup_cycles_{size}']:.0f} cycles, "
              f"{f[f'setup_wall_ns_{size}'] / 1000:.1f} us")
    print("\nTargets")
    results = []
    for name, value, target in ratios_of(f):
        ok = value <= target
        results.append({"name": name, "value": value, "target": target, "pass": ok})
        print(f"  {name:<62} {value:6.3f}  (target <= {target:.2f})  {'PASS' if ok else 'FAIL'}")
    print("\nall targets met" if all(r["pass"] for r in results) else "\nNOT all targets met")
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--reps", type=int, default=15, help="repetitions per figure")
    parser.add_argument("--cycles", type=int, default=2000, help="cycles per repetition")
    parser.add_argument("--handlers", type=int, default=512, help="handlers in the fleet")
    parser.add_argument("--rounds", type=int, default=31, help="timed rounds of the fleet")
    parser.add_argument("--cold-cycles", type=int, default=60,
                        help="cold regions per kind per repetition (0: no cold figures)")
    parser.add_argument("--evict-mib", type=int, default=16,
                        help="MiB streamed before each cold region (the fleet: twice as many)")
    args = parser.parse_args(argv)
    info = machine()
    figures = run(args)
    results = report(figures, info)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "figures_ns": figures, "ratios": results}, f, indent=2)
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
