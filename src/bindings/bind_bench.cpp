// Private hooks for bench/bench_host.py, so that the host-level figures are measured in the
// same process and run as the core's figures they are compared with:
// - _bench_echo: a binding call that does nothing, taking and returning bytes;
// - _bench_link / _bench_replay: the core's cycle of a handler against a simulator, and a
//   simulator alone on recorded requests, as loops in C++;
// - _bench_crc: the block-CRC work of the frame layer, per-block and fast.
// Times are CPU time of the calling thread, in nanoseconds, for the whole loop.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <ctime>
#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/subsystems.hpp"
#include "engine/master_handler.hpp"
#include "frame/fsoe_crc_fast.hpp"
#include "frame/fsoe_frame.hpp"
#include "protocol/errors.hpp"
#include "sim/slave_simulator.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

using Pdu = std::vector<std::uint8_t>;

std::int64_t thread_cpu_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The simulator's inputs in cycle `index` (bench_host.py uses the same pattern).
void set_inputs(sim::SlaveSimulator& simulator, std::uint64_t index) {
    std::uint8_t inputs[MAX_DATA_BYTES];
    const std::uint16_t n = simulator.input_bytes();
    for (std::size_t j = 0; j < n; ++j) inputs[j] = static_cast<std::uint8_t>(index * 7 + j * 13);
    simulator.set_inputs({inputs, n});
}

std::uint64_t count_argument(nb::handle value, const char* what) {
    const std::int64_t n = to_int64(value, what);
    if (n < 0) throw ValueError(std::string(what) + " must not be negative");
    return static_cast<std::uint64_t>(n);
}

// `cycles` cycles from cycle number `first` on: new simulator inputs, the simulator answers
// the master's current request, the master takes the reply and builds its next request.
// Returns the loop's CPU time and the requests fed to the simulator.
nb::tuple bench_link(MasterHandler& handler, sim::SlaveSimulator& simulator, nb::handle cycles_arg,
                     nb::handle first_arg) {
    const std::uint64_t cycles = count_argument(cycles_arg, "cycles");
    const std::uint64_t first = count_argument(first_arg, "first");
    std::vector<std::uint8_t> record(cycles * 2 * FSOE_MAX_FRAME_WORDS);
    std::vector<std::uint16_t> lengths(cycles);
    std::uint8_t request[2 * FSOE_MAX_FRAME_WORDS];
    std::uint16_t length = handler.get_request(request);
    const std::int64_t start = thread_cpu_ns();
    for (std::uint64_t i = 0; i < cycles; ++i) {
        set_inputs(simulator, first + i);
        std::copy_n(request, length, &record[i * sizeof request]);
        lengths[i] = length;
        handler.set_reply(simulator.process({request, length}));
        length = handler.get_request(request);
    }
    const std::int64_t elapsed = thread_cpu_ns() - start;
    nb::list requests;
    for (std::uint64_t i = 0; i < cycles; ++i) {
        requests.append(
            nb::bytes(reinterpret_cast<const char*>(&record[i * sizeof request]), lengths[i]));
    }
    return nb::make_tuple(elapsed, requests);
}

// The simulator alone on recorded requests, the first of them in cycle number `first`.
std::int64_t bench_replay(sim::SlaveSimulator& simulator, nb::handle requests_arg,
                          nb::handle first_arg) {
    const std::uint64_t first = count_argument(first_arg, "first");
    if (!PyList_Check(requests_arg.ptr())) throw TypeError("requests must be a list of bytes");
    std::vector<Pdu> requests;
    for (nb::handle item : nb::borrow<nb::list>(requests_arg)) {
        ByteView view(item, "request");
        requests.emplace_back(view.span().begin(), view.span().end());
    }
    const std::int64_t start = thread_cpu_ns();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        set_inputs(simulator, first + i);
        simulator.process(requests[i]);
    }
    return thread_cpu_ns() - start;
}

// `iterations` of one kind of CRC work on a frame of `size_bytes` of safe data:
// "generate_plain" / "generate_fast" (one frame's CRCs), "cycle_plain" / "cycle_fast" (one
// frame's generated and another's checked, as in one cycle).
std::int64_t bench_crc(const std::string& kind, nb::handle size_arg, nb::handle iterations_arg) {
    const std::uint64_t size = count_argument(size_arg, "size_bytes");
    const std::uint64_t iterations = count_argument(iterations_arg, "iterations");
    if (size > MAX_DATA_BYTES || (size > 1 && size % 2 != 0)) {
        throw ValueError("size_bytes must be 0, 1 or an even number up to 16");
    }
    const bool plain = kind == "generate_plain" || kind == "cycle_plain";
    const bool cycle = kind == "cycle_plain" || kind == "cycle_fast";
    if (!plain && !cycle && kind != "generate_fast")
        throw ValueError("unknown kind '" + kind + "'");
    FSOE_SFrame request{};
    request.u16DataSizeBytes = static_cast<std::uint16_t>(size);
    request.sControl = {0x36, 0x1234, 0xABCD, 0xBEEF};
    for (unsigned i = 0; i < MAX_DATA_WORDS; ++i) {
        request.au16Data[i] = static_cast<std::uint16_t>(0x1111u * (i + 1));
    }
    FSOE_SFrame reply = request;
    std::uint16_t calculated[MAX_CRC_WORDS] = {};
    volatile bool sink = false;
    const std::int64_t start = thread_cpu_ns();
    for (std::uint64_t i = 0; i < iterations; ++i) {
        request.sControl.u16SequenceNum++;
        if (plain) {
            FSOE_FrameGenerateCrc(&request);
            if (cycle) sink = FSOE_FrameCheckCrc(&reply, calculated);
        } else {
            FSOE_FrameGenerateCrcFast(&request);
            if (cycle) sink = FSOE_FrameCheckCrcFast(&reply, calculated);
        }
        // Keeps the results alive without a store per block.
        asm volatile("" : : "r"(request.au16Crc), "r"(calculated) : "memory");
    }
    const std::int64_t elapsed = thread_cpu_ns() - start;
    (void)sink;
    return elapsed;
}

}  // namespace

void bind_bench(nb::module_& m) {
    m.def(
        "_bench_echo",
        [](nb::handle data) -> nb::object {
            ByteView view(data, "data");
            return nb::borrow(data);
        },
        nb::arg("data").none(), nb::sig("def _bench_echo(data: bytes) -> bytes"),
        "Benchmark hook: takes bytes and returns them, doing nothing.");
    m.def("_bench_link", &bench_link, nb::arg("handler"), nb::arg("simulator"), nb::arg("cycles"),
          nb::arg("first"),
          nb::sig("def _bench_link(handler: MasterHandler, simulator: SlaveSimulator, "
                  "cycles: int, first: int) -> tuple[int, list[bytes]]"),
          "Benchmark hook: core cycles against a simulator; (CPU ns, requests fed).");
    m.def("_bench_replay", &bench_replay, nb::arg("simulator"), nb::arg("requests"),
          nb::arg("first"),
          nb::sig("def _bench_replay(simulator: SlaveSimulator, requests: list[bytes], "
                  "first: int) -> int"),
          "Benchmark hook: a simulator alone on recorded requests; CPU ns.");
    m.def("_bench_crc", &bench_crc, nb::arg("kind"), nb::arg("size_bytes"), nb::arg("iterations"),
          nb::sig("def _bench_crc(kind: str, size_bytes: int, iterations: int) -> int"),
          "Benchmark hook: block-CRC work of the frame layer; CPU ns.");
}

}  // namespace velmora::bindings
