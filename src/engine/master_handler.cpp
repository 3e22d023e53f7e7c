#include "engine/master_handler.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/steady_now.hpp"
#include "protocol/constants.hpp"
#include "protocol/cycle_code.hpp"
#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"

namespace velmora {
namespace {

std::vector<DynamicMappableItemPtr> as_items(const std::vector<ApplicationParameterPtr>& params) {
    return {params.begin(), params.end()};
}

// The slave node receives the echo of each parameter into an item of the same type.
std::vector<DynamicMappableItemPtr> placeholders(
    const std::vector<ApplicationParameterPtr>& params) {
    std::vector<DynamicMappableItemPtr> items;
    items.reserve(params.size());
    for (const auto& p : params) {
        items.push_back(
            std::make_shared<DynamicMappableItem>(Value{std::int64_t{0}}, p->data_type()));
    }
    return items;
}

void check_parameters(const std::vector<ApplicationParameterPtr>& params) {
    std::size_t total_bytes = 0;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!params[i])
            throw TypeError("application_parameters must hold ApplicationParameter objects");
        if (params[i]->claimed()) throw PermissionError(kParameterAlreadyUsedMessage);
        // The same parameter twice would be claimed twice.
        for (std::size_t j = 0; j < i; ++j) {
            if (params[j] == params[i]) throw PermissionError(kParameterAlreadyUsedMessage);
        }
        total_bytes += params[i]->n_bytes();
    }
    // Their total length travels as one 16-bit value.
    if (total_bytes > 0xFFFF) {
        throw ValueError("Application parameters cannot exceed 65535 bytes in total");
    }
}

std::shared_ptr<AcceptedItemTypes> accepting(std::vector<ItemKind> kinds) {
    return std::make_shared<AcceptedItemTypes>(std::move(kinds));
}

}  // namespace

std::uint16_t u16_from_real(double value) {
    if (std::isnan(value)) throw ValueError("cannot convert float NaN to integer");
    if (std::isinf(value)) throw OverflowError("cannot convert float infinity to integer");
    double truncated = std::trunc(value);
    if (truncated < 0) throw OverflowError("can't convert negative value to uint16_t");
    if (truncated > 0xFFFF) throw OverflowError("value too large to convert to uint16_t");
    return static_cast<std::uint16_t>(truncated);
}

MasterHandler::MasterHandler(DictionaryPtr dictionary, std::int64_t slave_address,
                             std::int64_t connection_id, double watchdog_timeout_s,
                             std::vector<ApplicationParameterPtr> application_parameters,
                             ErrorCallbackPtr report_error_callback,
                             StateChangeCallbackPtr state_change_callback,
                             bool dictionary_map_is_editable, std::size_t history_size)
    : dictionary_(std::move(dictionary)),
      application_parameters_(std::move(application_parameters)),
      report_error_callback_(std::move(report_error_callback)),
      state_change_callback_(std::move(state_change_callback)),
      history_(history_size),
      random_(std::make_unique<std::mt19937>(std::random_device{}())) {
    if (!dictionary_) throw TypeError("dictionary must be a Dictionary");
    const std::uint16_t address = to_u16(slave_address);
    const std::uint16_t id = to_u16(connection_id);
    if (id == 0) throw ValueError("Connection ID = 0 is not permitted");
    check_parameters(application_parameters_);
    const std::uint16_t watchdog_ms = u16_from_real(watchdog_timeout_s * 1000.0);
    // With 0 ms the connection could never progress and the watchdog thread would spin.
    if (watchdog_ms == 0) throw ValueError("Watchdog time must be at least 1 ms");

    master_ = make_hot<Node>(address, id, watchdog_ms, as_items(application_parameters_),
                             dictionary_, accepting({ItemKind::Output, ItemKind::InputOutput}),
                             dictionary_map_is_editable);
    slave_ = make_hot<Node>(0, 0, 0, placeholders(application_parameters_), dictionary_,
                            accepting({ItemKind::Input, ItemKind::InputOutput}),
                            dictionary_map_is_editable);
    watchdog_ = make_hot<Watchdog>(watchdog_timeout_s, [this] { on_watchdog_timeout_(); },
                                   [this] { on_watchdog_wake_(); });
    watchdog_->start();
    // Claimed last, once nothing else can fail.
    for (const auto& parameter : application_parameters_) parameter->_set_use_by_master(running_);
}

MasterHandler::~MasterHandler() {
    // The parameters outlive the handler; they are free to change from now on.
    running_->store(false);
    try {
        if (watchdog_ && watchdog_->is_alive()) watchdog_->stop();
    } catch (...) {
        // Ended meanwhile.
    }
    try {
        if (watchdog_) watchdog_->join();
    } catch (...) {
    }
}

State& MasterHandler::state_object(StateId id) noexcept {
    switch (id) {
        case StateId::Reset:
            return reset_state_;
        case StateId::Session:
            return session_state_;
        case StateId::Connection:
            return connection_state_;
        case StateId::Parameter:
            return parameter_state_;
        case StateId::Data:
            return data_state_;
    }
    return reset_state_;
}

// ---- Host operations ----

void MasterHandler::start() {
    exclusive([this] {
        // Every configuration error is raised before a map is locked, so the host can fix
        // the map and start again.
        const std::uint16_t sizes[2] = {master_->dictionary_map()->safety_bytes(),
                                        slave_->dictionary_map()->safety_bytes()};
        for (std::uint16_t size : sizes) {
            if (size > MAX_DATA_BYTES) throw ValueError(too_much_safe_data_message());
        }
        for (std::uint16_t size : sizes) {
            if (size > 1 && size % 2 != 0) {
                throw ValueError("Safe data of " + std::to_string(size) +
                                 " bytes is not a valid frame size: complete the map to whole "
                                 "16-bit words");
            }
        }
        for (std::uint16_t size : sizes) {
            if (size == 0) {
                throw ValueError(
                    "A connection needs at least 1 byte of safe data in each direction");
            }
        }
        if (!watchdog_->is_alive()) throw RuntimeError(kWatchdogNotRunningMessage);
        master_->start();
        slave_->start();
        initialization_data_bytes_.store(std::min(slave_->frame().safe_data_size_bytes(),
                                                  master_->frame().safe_data_size_bytes()),
                                         std::memory_order_relaxed);
        take_footprint_();
        // A new connection: the slave's first reply may repeat, byte for byte, the last
        // reply of the previous one (a Reset frame after a reset), and must not be taken
        // for a repeat.
        forget_last_reply_();
        diagnostics_.restart_intervals();
        open_event_(HistoryKind::Start);
        // Running first: the watchdog is armed only while the connection runs.
        running_->store(true);
        reset_locked_();
        close_event_();
    });
}

void MasterHandler::stop() {
    exclusive([this] { stop_locked_(); });
}

void MasterHandler::stop_locked_() {
    if (!running_->load()) return;
    open_event_(HistoryKind::Stop);
    running_->store(false);
    reset_locked_();
    watchdog_->deactivate();
    master_->stop();
    slave_->stop();
    close_event_();
}

void MasterHandler::reset() {
    exclusive([this] {
        if (!watchdog_->is_alive()) throw RuntimeError(kWatchdogNotRunningMessage);
        open_event_(HistoryKind::Reset);
        reset_locked_();
        close_event_();
    });
}

void MasterHandler::reset_locked_() {
    _set_next_state(state_->_process_reset_connection_event());
    recalculate_request_();
}

VELMORA_CYCLE_CODE
void MasterHandler::set_reply(std::span<const std::uint8_t> data) {
    exclusive([this, data] {
        if (!running_->load()) return;
        if (same_as_last_reply_(data)) return;
        history_.prefetch_next();
        _set_reply(data);
        recalculate_request_();
        close_event_();
    });
}

VELMORA_CYCLE_CODE
std::uint16_t MasterHandler::get_request(std::uint8_t (&out)[2 * FSOE_MAX_FRAME_WORDS]) {
    std::uint16_t length = 0;
    exclusive([&] {
        std::memcpy(out, request_.data(), sizeof out);  // all of it: a fixed size
        length = request_length_;
    });
    return length;
}

void MasterHandler::set_fail_safe(bool active) {
    exclusive([this, active] {
        const FSOECommand command = active ? FSOECommand::FAILSAFE_DATA : FSOECommand::PROCESS_DATA;
        // Hosts switch every cycle; only a change is an event.
        if (command == _data_command) return;
        open_event_(HistoryKind::FailSafe);
        _data_command = command;
        close_event_();
    });
}

void MasterHandler::delete_() {
    // Inherited through fork(): no thread to end, and nothing may run; only the parameters
    // are let go.
    if (fork_generation_ != fork_generation()) {
        running_->store(false);
        return;
    }
    std::exception_ptr deferred;
    try {
        exclusive([this] {
            stop_locked_();
            if (watchdog_->is_alive()) watchdog_->stop();
        });
    } catch (...) {
        deferred = std::current_exception();
    }
    // Not under the exclusion: the thread may be finishing an expiry of this handler.
    watchdog_->join();
    if (deferred) std::rethrow_exception(deferred);
}

void MasterHandler::set_slave_address(std::int64_t slave_address) {
    exclusive([this, slave_address] {
        if (running_->load()) {
            throw FSOEMasterRunningException("Cannot set slave address while running");
        }
        master_->session().slave_address->set_raw_value(to_u16(slave_address));
    });
}

std::uint16_t MasterHandler::get_slave_address() const noexcept {
    return u16_value(*master_->session().slave_address);
}

HandlerDiagnostics MasterHandler::diagnostics() {
    HandlerDiagnostics snapshot;
    exclusive([&] { snapshot = diagnostics_.snapshot(ConnectionDiagnostics::Clock::now()); });
    return snapshot;
}

void MasterHandler::reset_diagnostics() {
    exclusive([this] { diagnostics_.clear(); });
}

std::vector<HistoryEvent> MasterHandler::history() {
    HistoryRing::Copy copy;
    exclusive([&] { copy = history_.copy(); });
    // Converted once the cycle may go on.
    return HistoryRing::events(copy);
}

VELMORA_CYCLE_CODE
void MasterHandler::open_event_(HistoryKind kind,
                                ConnectionDiagnostics::Clock::time_point at) noexcept {
    history_.open(kind,
                  std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch())
                      .count(),
                  state_id_.load());
}

VELMORA_CYCLE_CODE
void MasterHandler::close_event_() noexcept {
    history_.close(state_id_.load(), _data_command == FSOECommand::FAILSAFE_DATA);
}

void MasterHandler::take_footprint_() {
    // Member by member, what a Data-state cycle reads or writes: a line fetched for nothing
    // would take the place of one the cycle needs. (A member a cycle comes to use and that
    // is missing here costs a miss of its own, nothing worse.)
    const auto members = [this](const auto& first, const auto& last) {
        const auto* begin = reinterpret_cast<const char*>(&first);
        const auto* end = reinterpret_cast<const char*>(&last) + sizeof last;
        footprint_.add(begin, static_cast<std::size_t>(end - begin));
    };
    footprint_.clear();
    // The handler: the public flags and the fields of every host call, then the rest but the
    // dictionary, the parameters and the callbacks.
    footprint_.add(this, static_cast<std::size_t>(reinterpret_cast<const char*>(&footprint_) -
                                                  reinterpret_cast<const char*>(this)));
    members(running_, slave_);
    members(reset_state_, reply_length_ok_);
    members(request_, watchdog_);
    footprint_.add(running_.get(), sizeof(std::atomic<bool>));
    for (Node* node : {master_.get(), slave_.get()}) {
        footprint_.add(&node->_last_crc0_sent, sizeof node->_last_crc0_sent);
        footprint_.add(&node->frame(), sizeof(FSOEFrame));
        footprint_.add(&node->dictionary_map(), sizeof(DictionaryMapPtr));
        footprint_.add(&node->_dynamic_map(), sizeof(FSOEDynamicMap));
        footprint_.add_map(*node->dictionary_map());
    }
    footprint_.add(&master_->session().connection_id, sizeof(DynamicMappableItemPtr));
    footprint_.add(master_->session().connection_id.get(), sizeof(DynamicMappableItem));
    footprint_.add(watchdog_.get(), sizeof(Watchdog));
    footprint_.add(watchdog_->rearm_state(), watchdog_->rearm_state_bytes());
    footprint_.finish();
    footprint_.add_own_list();
    footprint_.finish();
}

// ---- Operations for the states ----

bool MasterHandler::_dynamic_map_pending() const noexcept {
    return master_->_dynamic_map().pending() || slave_->_dynamic_map().pending();
}

void MasterHandler::_create_session_id() {
    _second_session_frame_sent = false;
    std::uniform_int_distribution<std::uint32_t> draw(0, 0xFFFF);
    master_->session().session_id->set_raw_value(draw(*random_));
}

VELMORA_CYCLE_CODE
void MasterHandler::_set_next_state(StateId next_state) {
    if (next_state == state_id_.load()) return;
    state_ = &state_object(next_state);
    state_id_.store(next_state);
    notifications_.state_changed(next_state);
}

void MasterHandler::_watchdog_expired_event() {
    open_event_(HistoryKind::Expiry);
    const std::uint64_t reported = diagnostics_.errors_reported();
    const StateId next_state = state_->_process_watchdog_expired_event();
    // Every expiry that is reported resets the connection (or, in the Reset state, moves on
    // to a new session).
    if (diagnostics_.errors_reported() != reported) diagnostics_.count_reset();
    _set_next_state(next_state);
    recalculate_request_();
    close_event_();
}

void MasterHandler::_report_error(std::optional<std::string_view> transition_name,
                                  std::optional<std::string_view> error) {
    diagnostics_.record_error(transition_name, error);
    history_.note_error(transition_name, error);
    notifications_.error(transition_name, error);
}

VELMORA_CYCLE_CODE
void MasterHandler::activate_and_reset_watchdog() {
    // A stopped connection keeps its watchdog inactive, whatever resets it.
    if (!running_->load()) return;
    // Only this handler deactivates its watchdog, under the exclusion that the caller
    // holds, so an active watchdog stays active here: re-arming it is just a reset, which
    // records the time (the thread reads it when it wakes).
    if (!watchdog_->active()) {
        watchdog_->activate();
        have_cycle_time_ = false;  // the activation waited for the thread
    }
    watchdog_->reset_at(
        std::chrono::duration_cast<std::chrono::nanoseconds>(cycle_time().time_since_epoch())
            .count());
}

VELMORA_CYCLE_CODE
ConnectionDiagnostics::Clock::time_point MasterHandler::cycle_time() {
    if (in_reply_ && have_cycle_time_) return cycle_time_;
    const auto now = steady_now();
    if (in_reply_) {
        cycle_time_ = now;
        have_cycle_time_ = true;
    }
    return now;
}

void MasterHandler::set_inputs_to_failsafe() {
    for (const auto& item : dictionary_->items()) {
        if (item->_store_fail_safe()) notifications_.item_changed(item);
    }
}

ErrorCallbackPtr MasterHandler::report_error_callback() const {
    std::lock_guard lock(callbacks_mutex_);
    return report_error_callback_;
}

StateChangeCallbackPtr MasterHandler::state_change_callback() const {
    std::lock_guard lock(callbacks_mutex_);
    return state_change_callback_;
}

void MasterHandler::clear_callbacks() noexcept {
    ErrorCallbackPtr error;
    StateChangeCallbackPtr change;
    {
        std::lock_guard lock(callbacks_mutex_);
        error.swap(report_error_callback_);
        change.swap(state_change_callback_);
    }
    // Released outside the lock: releasing a host callable may run host code.
}

}  // namespace velmora
