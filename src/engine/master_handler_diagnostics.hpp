#pragma once
// Counters of one connection that a host reads without parsing the trace.
//
// Recording is all the cycle path pays: integer increments, and one read of the monotonic
// clock per accepted reply. Texts are copied only when an error is reported, into strings
// that keep their capacity, and a reset's transition name is stored once per name.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// A copy of the counters at one moment.
struct HandlerDiagnostics {
    std::uint64_t cycles = 0;
    std::uint64_t accepted_replies = 0;
    // Transition name -> how often it reset the connection.
    std::map<std::string, std::uint64_t, std::less<>> resets;
    // Transition name and message of the last reported error, when there was one.
    bool has_last_error = false;
    std::optional<std::string> last_error_transition;
    std::optional<std::string> last_error_message;
    std::optional<double> time_since_last_accepted_reply_s;
    std::optional<double> min_reply_interval_s;
    std::optional<double> max_reply_interval_s;
};

// Written and read by the handler under its exclusion.
class ConnectionDiagnostics {
  public:
    using Clock = std::chrono::steady_clock;

    void count_cycle() noexcept { ++cycles_; }

    void count_accepted(Clock::time_point now) noexcept {
        ++accepted_;
        if (anchored_) {
            const Clock::duration interval = now - last_accepted_;
            if (intervals_ == 0 || interval < min_interval_) min_interval_ = interval;
            if (intervals_ == 0 || interval > max_interval_) max_interval_ = interval;
            ++intervals_;
        }
        last_accepted_ = now;
        anchored_ = true;
        ever_accepted_ = true;
    }

    // Every error report; the handler compares this count around an event to tell whether
    // the event reported one.
    std::uint64_t errors_reported() const noexcept { return errors_reported_; }
    void record_error(std::optional<std::string_view> transition_name,
                      std::optional<std::string_view> message) noexcept;
    // The event that reported the last error reset the connection.
    void count_reset() noexcept;

    // A new connection: no interval spans the time the handler was stopped.
    void restart_intervals() noexcept { anchored_ = false; }

    HandlerDiagnostics snapshot(Clock::time_point now) const;
    void clear() noexcept;

  private:
    std::uint64_t cycles_ = 0;
    std::uint64_t accepted_ = 0;
    std::uint64_t errors_reported_ = 0;
    std::uint64_t intervals_ = 0;
    Clock::time_point last_accepted_{};
    Clock::duration min_interval_{};
    Clock::duration max_interval_{};
    bool anchored_ = false;
    bool ever_accepted_ = false;

    bool has_last_error_ = false;
    bool last_transition_set_ = false;
    bool last_message_set_ = false;
    std::string last_transition_;
    std::string last_message_;
    std::map<std::string, std::uint64_t, std::less<>> resets_;
};

}  // namespace velmora
