#pragma once
// One connection for the benchmarks: a master handler against the slave simulator, with
// `bytes` of safe data in each direction laid out as UINT16 items (a single UINT8 item for
// one byte). The simulator's inputs change every cycle, so every reply is new and every
// input item takes a new value.
//
// The simulator is deterministic for a given seed and request sequence, so a second
// simulator fed the same requests reaches the same state: the benchmarks replay recorded
// requests into such a twin to measure the simulator's share of a cycle on its own.
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/master_handler.hpp"
#include "model/dictionary.hpp"
#include "model/dictionary_item.hpp"
#include "sim/slave_simulator.hpp"

namespace velmora::bench {

// Every operator new of the benchmark program, counted (bench_allocations.cpp).
std::uint64_t allocations_so_far() noexcept;
// Allocations of `cycles` Data-state cycles, 16 bytes, with the connection history on.
std::uint64_t allocations_in_data_cycles(std::uint64_t cycles);
// The cold-cache figures (bench_cold.cpp): medians of `samples` cycles each, in ns.
struct ColdFigure {
    const char* name;
    double ns;
};
std::vector<ColdFigure> cold_figures(int samples);

inline constexpr std::uint16_t kAddress = 0x0042;
inline constexpr std::uint16_t kConnectionId = 0x1234;
inline constexpr std::uint64_t kSeed = 7;
// Long enough that a pause between two benchmark runs never lets the watchdog expire.
inline constexpr double kWatchdogSeconds = 60.0;

// The inputs the simulator sends in cycle `index`: a new pattern every cycle.
inline void fill_inputs(std::uint8_t* out, std::size_t n, std::uint64_t index) noexcept {
    for (std::size_t j = 0; j < n; ++j) out[j] = static_cast<std::uint8_t>(index * 7 + j * 13);
}

struct Pdu {
    std::uint8_t bytes[2 * FSOE_MAX_FRAME_WORDS] = {};
    std::uint16_t length = 0;
    std::span<const std::uint8_t> span() const noexcept { return {bytes, length}; }
};

inline std::unique_ptr<sim::SlaveSimulator> make_simulator(std::uint16_t bytes) {
    return std::make_unique<sim::SlaveSimulator>(kAddress, kConnectionId, bytes, bytes,
                                                 static_cast<std::int64_t>(kWatchdogSeconds * 1000),
                                                 std::span<const std::uint8_t>{}, kSeed);
}

class Link {
  public:
    // `history_size` events of connection history (0: none), as a handler keeps by default.
    explicit Link(std::uint16_t bytes, std::size_t history_size = 64)
        : bytes_(bytes), simulator_(make_simulator(bytes)) {
        std::vector<DictionaryItemPtr> items;
        std::vector<DictionaryItemPtr> outputs;
        std::vector<DictionaryItemPtr> inputs;
        const DataType type = bytes == 1 ? DataType::UINT8 : DataType::UINT16;
        const unsigned count = bytes == 1 ? 1u : bytes / 2u;
        for (unsigned i = 0; i < count; ++i) {
            auto out =
                std::make_shared<DictionaryItemOutput>(200 + i, "out" + std::to_string(i), type);
            out->set(Value{std::int64_t{0x11 * (i + 1)}});
            auto in = std::make_shared<DictionaryItemInput>(100 + i, "in" + std::to_string(i), type,
                                                            Value{std::int64_t{0}});
            outputs.push_back(out);
            inputs.push_back(in);
            items.push_back(out);
            items.push_back(in);
        }
        dictionary_ = std::make_shared<Dictionary>(items);
        handler_ = std::allocate_shared<MasterHandler>(
            HotAllocator<MasterHandler>{}, dictionary_, kAddress, kConnectionId, kWatchdogSeconds,
            std::vector<ApplicationParameterPtr>{}, nullptr, nullptr, true, history_size);
        for (auto& item : outputs) handler_->master().dictionary_map()->add(item);
        for (auto& item : inputs) handler_->slave().dictionary_map()->add(item);
        handler_->start();
        request_.length = handler_->get_request(request_.bytes);
    }
    ~Link() {
        try {
            handler_->delete_();
        } catch (...) {
        }
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    MasterHandler& handler() noexcept { return *handler_; }
    sim::SlaveSimulator& simulator() noexcept { return *simulator_; }
    std::uint16_t bytes() const noexcept { return bytes_; }
    const Pdu& request() const noexcept { return request_; }

    // One cycle with new inputs: the simulator answers the current request, the master
    // takes the reply and builds its next request. Every request fed to the simulator is
    // appended to `record` when given.
    void cycle(std::vector<Pdu>* record = nullptr) {
        std::uint8_t inputs[MAX_DATA_BYTES];
        fill_inputs(inputs, bytes_, index_++);
        simulator_->set_inputs({inputs, bytes_});
        if (record != nullptr) record->push_back(request_);
        handler_->set_reply(simulator_->process(request_.span()));
        request_.length = handler_->get_request(request_.bytes);
    }

    // A cycle in two halves, so that the master's half can be timed alone: the simulator
    // answers the current request with new inputs, then the master takes that reply and
    // builds its next request.
    Pdu prepare_reply() {
        std::uint8_t inputs[MAX_DATA_BYTES];
        fill_inputs(inputs, bytes_, index_++);
        simulator_->set_inputs({inputs, bytes_});
        const auto reply = simulator_->process(request_.span());
        Pdu pdu;
        std::memcpy(pdu.bytes, reply.data(), reply.size());
        pdu.length = static_cast<std::uint16_t>(reply.size());
        return pdu;
    }
    void take_reply(const Pdu& reply) {
        handler_->set_reply(reply.span());
        request_.length = handler_->get_request(request_.bytes);
    }

    // A reset by the host: the next request is the master's Reset frame.
    void reset() {
        handler_->reset();
        request_.length = handler_->get_request(request_.bytes);
    }

    // Cycles until the master is in the Data state (turning fail-safe mode off on the way,
    // so that the inputs travel); returns the number of cycles.
    int run_to_data(std::vector<Pdu>* record = nullptr) {
        handler_->set_fail_safe(false);
        int cycles = 0;
        while (handler_->state() != StateId::Data) {
            if (++cycles > 1000) throw std::runtime_error("the connection does not reach Data");
            cycle(record);
        }
        handler_->set_fail_safe(false);
        return cycles;
    }

    std::uint64_t index() const noexcept { return index_; }

  private:
    std::uint16_t bytes_;
    DictionaryPtr dictionary_;
    std::shared_ptr<MasterHandler> handler_;
    std::unique_ptr<sim::SlaveSimulator> simulator_;
    Pdu request_;
    std::uint64_t index_ = 0;
};

// A twin of a link's simulator: fed the same requests with the same inputs, it does the
// same work as the link's simulator did, without a master.
class Replay {
  public:
    explicit Replay(std::uint16_t bytes) : bytes_(bytes), simulator_(make_simulator(bytes)) {}

    // One recorded request of cycle `index`.
    void feed(const Pdu& request, std::uint64_t index) {
        std::uint8_t inputs[MAX_DATA_BYTES];
        fill_inputs(inputs, bytes_, index);
        simulator_->set_inputs({inputs, bytes_});
        last_ = simulator_->process(request.span());
    }
    std::span<const std::uint8_t> last_reply() const noexcept { return last_; }
    sim::SlaveSimulator& simulator() noexcept { return *simulator_; }

  private:
    std::uint16_t bytes_;
    std::unique_ptr<sim::SlaveSimulator> simulator_;
    std::span<const std::uint8_t> last_;
};

}  // namespace velmora::bench
