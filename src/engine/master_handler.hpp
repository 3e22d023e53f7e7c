#pragma once
// The master side of one FSoE connection, driven by the host cycle by cycle.
//
// Threads: the host's calls and the watchdog's expiry share one re-entrant exclusion.
// Every host operation takes it (waiting through the lock's wait hook); the expiry path
// only tries it, and when a host call holds it the expiry is recorded and run by that call
// before it returns.
//
// Host code runs outside the engine. The state-change and error callbacks and the item
// subscribers are never called while the exclusion is held or in the middle of a
// transition or transfer: each operation records its notifications in the handler's
// notification queue (engine/notification_queue.hpp), and once it has completed and
// released the exclusion, the thread that did it delivers them, in order. An operation that
// host code calls (on any handler, from any callback) is just the next operation and finds
// the handler whole; a reset the host asks for from a subscriber is in force when the call
// that handled the reply returns. No thread holds a handler while it runs host code, so no
// thread waits for another handler's callbacks. Errors of host code reach the host call
// that caused them, the first one, after every notification was delivered; those of a
// watchdog expiry are logged.
#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/application_parameter.hpp"
#include "engine/cycle_footprint.hpp"
#include "engine/fork_generation.hpp"
#include "engine/handler_lock.hpp"
#include "engine/host_callbacks.hpp"
#include "engine/master_handler_diagnostics.hpp"
#include "engine/node.hpp"
#include "engine/notification_queue.hpp"
#include "engine/state_id.hpp"
#include "engine/states/state_connection.hpp"
#include "engine/states/state_data.hpp"
#include "engine/states/state_parameter.hpp"
#include "engine/states/state_reset.hpp"
#include "engine/states/state_session.hpp"
#include "engine/watchdog.hpp"
#include "frame/fsoe_frame.hpp"
#include "history/history_ring.hpp"
#include "model/dictionary.hpp"
#include "model/hot_memory.hpp"

namespace velmora {

class MasterHandler : public std::enable_shared_from_this<MasterHandler> {
  public:
    // Everything is checked before anything is claimed: an error leaves every application
    // parameter unclaimed. The watchdog thread is started, inactive.
    MasterHandler(DictionaryPtr dictionary, std::int64_t slave_address, std::int64_t connection_id,
                  double watchdog_timeout_s,
                  std::vector<ApplicationParameterPtr> application_parameters = {},
                  ErrorCallbackPtr report_error_callback = nullptr,
                  StateChangeCallbackPtr state_change_callback = nullptr,
                  bool dictionary_map_is_editable = true, std::size_t history_size = 64);
    // Stops and joins the watchdog thread (stops only, when run on that thread).
    virtual ~MasterHandler();
    MasterHandler(const MasterHandler&) = delete;
    MasterHandler& operator=(const MasterHandler&) = delete;

    // ---- Host operations: each takes the exclusion itself. ----
    bool running() const noexcept { return running_->load(); }
    void start();
    void stop();
    void reset();
    // Replies are ignored while stopped, and when byte-for-byte equal to the last one.
    void set_reply(std::span<const std::uint8_t> data);
    // Copies the current request into `out`; returns its length.
    std::uint16_t get_request(std::uint8_t (&out)[2 * FSOE_MAX_FRAME_WORDS]);
    void set_fail_safe(bool active = true);
    StateId state() const noexcept { return state_id_.load(); }
    // Read without the exclusion by hosts on other threads: an atomic.
    std::uint16_t initialization_data_bytes() const noexcept {
        return initialization_data_bytes_.load(std::memory_order_relaxed);
    }
    // Stops the connection if it runs, then stops and joins the watchdog thread.
    void delete_();
    void set_slave_address(std::int64_t slave_address);
    std::uint16_t get_slave_address() const noexcept;

    // Connection counters. A cycle is one reply handed to the state machine (a new reply
    // while running); an accepted reply is a cycle whose reply passed every check of the
    // state that handled it, so no error was reported. Resets are counted by the name of
    // the reported transition that reset the connection: fail, watchdog and slave-reset
    // transitions, not the host's own resets.
    HandlerDiagnostics diagnostics();
    // Zeroes the counters; the time of the last accepted reply is kept.
    void reset_diagnostics();

    // The connection history, oldest event first (see history/history_ring.hpp).
    std::vector<HistoryEvent> history();
    std::size_t history_size() const noexcept { return history_.size(); }

    // Runs `f` as one host operation under the exclusion; expiries recorded meanwhile run
    // before the exclusion is released. Then the notifications are delivered (unless this
    // thread still holds the handler, or already delivers them further up its stack), and
    // the first error of the host code they ran is raised. An error of `f` itself wins.
    template <typename F>
    void exclusive(F&& f) {
        enter_();
        try {
            std::forward<F>(f)();
        } catch (...) {
            leave_(false);
            throw;
        }
        leave_(true);
    }

    // The stored request and a counter of its rebuilds (read under the exclusion).
    std::span<const std::uint8_t> current_request() const noexcept {
        return {request_.data(), request_length_};
    }
    std::uint64_t request_version() const noexcept { return request_version_; }

    // Shared with the application parameters that this handler claimed.
    ApplicationParameter::RunningFlag running_flag() const noexcept { return running_; }

    // ---- For the states and the binding: the caller holds the exclusion. ----
    const DictionaryPtr& dictionary() const noexcept { return dictionary_; }
    Node& master() noexcept { return *master_; }
    Node& slave() noexcept { return *slave_; }
    State& _state() noexcept { return *state_; }
    Watchdog& _watchdog() noexcept { return *watchdog_; }
    const std::vector<ApplicationParameterPtr>& application_parameters() const noexcept {
        return application_parameters_;
    }

    FSOECommand _data_command = FSOECommand::FAILSAFE_DATA;
    bool _second_session_frame_sent = false;
    bool _reset_slave_sequence_number_after_frame = false;
    bool _generate_crcs_cyclic_for_next_frame = false;

    // Decodes and processes one reply (whatever the running flag and the last reply).
    void _set_reply(std::span<const std::uint8_t> data);
    // Builds the next request into `out` and returns its length.
    std::uint16_t _get_request(std::uint8_t (&out)[2 * FSOE_MAX_FRAME_WORDS]);
    bool _dynamic_map_pending() const noexcept;
    void _create_session_id();
    void _set_next_state(StateId next_state);
    void _watchdog_expired_event();
    void _report_error(std::optional<std::string_view> transition_name,
                       std::optional<std::string_view> error);

    // activate_and_reset of the watchdog.
    void activate_and_reset_watchdog();
    // The steady clock now. Within the handling of one reply it is read once and shared
    // (the watchdog's re-arm and the diagnostics), since a read costs a good part of a cycle.
    ConnectionDiagnostics::Clock::time_point cycle_time();
    // Every safe input to its fail-safe value; the subscribers of those that changed are
    // notified after the operation.
    void set_inputs_to_failsafe();
    // Where the notifications of the current operation go (the caller holds the exclusion).
    NotificationQueue& notifications() noexcept { return notifications_; }
    // Whether the last reply had the length that the input map fixes.
    bool reply_length_matches() const noexcept { return reply_length_ok_; }

    // The host callbacks (for a binding's garbage-collector support).
    ErrorCallbackPtr report_error_callback() const;
    StateChangeCallbackPtr state_change_callback() const;
    void clear_callbacks() noexcept;

    // The object behind a state id.
    State& state_object(StateId id) noexcept;

  protected:
    // Called when a new reply finds the handler's data cold, with the handler's own fetch: a
    // binding asks for what it keeps for the host there (the request's objects).
    virtual void warm_host_side_() const noexcept {}

  private:
    // A handler inherited through fork() has no watchdog thread: it refuses to run.
    void check_not_forked_() const;
    void enter_();
    // Releases the exclusion, then delivers; raises the first host error when asked to.
    void leave_(bool raise_errors);
    void release_() noexcept;
    void run_missed_expiry_() noexcept;
    // Delivers what is queued, if this thread may; returns the first error that belongs to
    // this thread's host call (others are logged).
    std::exception_ptr deliver_();
    // One batch; true when other threads' notifications were left for later.
    bool deliver_batch_(std::exception_ptr& first);
    void deliver_one_(const Notification& notification);
    void on_watchdog_timeout_();
    // The watchdog thread, asked to deliver what a batch left.
    void on_watchdog_wake_();
    void deliver_on_watchdog_thread_();
    void reset_locked_();
    void stop_locked_();
    void recalculate_request_();
    bool same_as_last_reply_(std::span<const std::uint8_t> data) const noexcept;
    void store_last_reply_(std::span<const std::uint8_t> data) noexcept;
    void forget_last_reply_() noexcept;
    void take_footprint_();
    // Opens a history event stamped `at` (a reply shares the cycle's clock read).
    void open_event_(HistoryKind kind, ConnectionDiagnostics::Clock::time_point at =
                                           ConnectionDiagnostics::Clock::now()) noexcept;
    void close_event_() noexcept;
    class ReplyScope;

    // What every host call touches first, together at the front of the object: the
    // exclusion, the last reply and the cycle's footprint.
    HandlerLock lock_;
    std::atomic<bool> expiry_pending_{false};
    // The process generation it was made in: another one means it was inherited by fork().
    const std::uint32_t fork_generation_ = fork_generation();
    // The last reply: its bytes up to a frame's length, and for a longer one a hash of the
    // rest, so that repeats are recognised without storing arbitrary lengths.
    std::size_t last_reply_length_ = 0;
    std::uint64_t last_reply_tail_hash_ = 0;
    std::array<std::uint8_t, 2 * FSOE_MAX_FRAME_WORDS> last_reply_{};
    std::uint64_t last_reply_ticks_ = 0;  // when the last new reply came (see _set_reply)
    CycleFootprint footprint_;  // taken at start, fetched when a new reply finds it cold

    DictionaryPtr dictionary_;
    std::vector<ApplicationParameterPtr> application_parameters_;
    // The handler's cycle data (nodes, maps, watchdog) is in the hot memory.
    std::shared_ptr<std::atomic<bool>> running_ =
        std::allocate_shared<std::atomic<bool>>(HotAllocator<std::atomic<bool>>{}, false);
    HotPtr<Node> master_;
    HotPtr<Node> slave_;

    StateReset reset_state_{*this};
    StateSession session_state_{*this};
    StateConnection connection_state_{*this};
    StateParameter parameter_state_{*this};
    StateData data_state_{*this};
    State* state_ = &reset_state_;
    std::atomic<StateId> state_id_{StateId::Reset};

    std::atomic<std::uint16_t> initialization_data_bytes_{0};
    bool reply_length_ok_ = true;

    mutable std::mutex callbacks_mutex_;
    ErrorCallbackPtr report_error_callback_;
    StateChangeCallbackPtr state_change_callback_;

    std::array<std::uint8_t, 2 * FSOE_MAX_FRAME_WORDS> request_{};
    std::uint16_t request_length_ = 0;
    std::uint64_t request_version_ = 0;
    HistoryRing history_;

    ConnectionDiagnostics diagnostics_;
    NotificationQueue notifications_;
    bool in_reply_ = false;
    bool have_cycle_time_ = false;
    ConnectionDiagnostics::Clock::time_point cycle_time_{};

    // Apart from the fields of the cycle (it is 5 KB).
    std::unique_ptr<std::mt19937> random_;

    HotPtr<Watchdog> watchdog_;  // last: its thread calls back into the members
};

// A real number of the host as an unsigned 16-bit value, truncated toward zero.
std::uint16_t u16_from_real(double value);

inline constexpr const char* kWatchdogNotRunningMessage = "FSoE Watchdog thread is not running";
inline constexpr const char* kForkedHandlerMessage =
    "This handler was inherited through fork(): its watchdog thread does not exist in this "
    "process, so it cannot supervise a connection here. Create a new handler in this process";

}  // namespace velmora
