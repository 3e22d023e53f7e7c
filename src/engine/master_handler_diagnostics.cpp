#include "engine/master_handler_diagnostics.hpp"

namespace velmora {
namespace {

double seconds(ConnectionDiagnostics::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

void ConnectionDiagnostics::record_error(std::optional<std::string_view> transition_name,
                                         std::optional<std::string_view> message) noexcept {
    ++errors_reported_;
    has_last_error_ = true;
    last_transition_set_ = transition_name.has_value();
    last_message_set_ = message.has_value();
    // Counters never fail the connection: without memory for a text, the text stays short.
    try {
        last_transition_.assign(transition_name.value_or(std::string_view{}));
        last_message_.assign(message.value_or(std::string_view{}));
    } catch (...) {
        last_transition_.clear();
        last_message_.clear();
    }
}

void ConnectionDiagnostics::count_reset() noexcept {
    if (!last_transition_set_) return;
    try {
        auto found = resets_.find(std::string_view(last_transition_));
        if (found != resets_.end()) {
            ++found->second;
        } else {
            resets_.emplace(last_transition_, 1);
        }
    } catch (...) {
        // A new name that cannot be stored is not counted.
    }
}

HandlerDiagnostics ConnectionDiagnostics::snapshot(Clock::time_point now) const {
    HandlerDiagnostics d;
    d.cycles = cycles_;
    d.accepted_replies = accepted_;
    d.resets = resets_;
    d.has_last_error = has_last_error_;
    if (has_last_error_) {
        if (last_transition_set_) d.last_error_transition = last_transition_;
        if (last_message_set_) d.last_error_message = last_message_;
    }
    if (ever_accepted_) d.time_since_last_accepted_reply_s = seconds(now - last_accepted_);
    if (intervals_ > 0) {
        d.min_reply_interval_s = seconds(min_interval_);
        d.max_reply_interval_s = seconds(max_interval_);
    }
    return d;
}

void ConnectionDiagnostics::clear() noexcept {
    // The anchor stays: the interval to the next accepted reply is a real one.
    cycles_ = 0;
    accepted_ = 0;
    intervals_ = 0;
    min_interval_ = max_interval_ = Clock::duration{};
    has_last_error_ = last_transition_set_ = last_message_set_ = false;
    last_transition_.clear();
    last_message_.clear();
    resets_.clear();
}

}  // namespace velmora
