// The exclusion between the host's calls and the watchdog's expiry path.
//
// The expiry path never waits for the exclusion: it records the expiry and tries it. If a
// host call holds it, that call runs the recorded expiry before it lets go. A host call
// therefore never waits for a watchdog thread that waits for it, and the watchdog thread
// is always free to confirm the blocking commands of a host call at once.
#include <string>

#include "engine/master_handler.hpp"

namespace velmora {
namespace {

constexpr std::string_view kExpiryFailed = "FSoE Watchdog thread crashed. Restarting...";

// True for a handler that no shared_ptr ever owned (no control block at all).
bool never_shared(const std::weak_ptr<MasterHandler>& weak) noexcept {
    const std::weak_ptr<MasterHandler> empty;
    return !weak.owner_before(empty) && !empty.owner_before(weak);
}

}  // namespace

void MasterHandler::enter_(ErrorScope& scope) {
    lock_.lock();
    scope.outer = error_scope_;
    error_scope_ = &scope;
}

void MasterHandler::leave_(ErrorScope& scope) noexcept {
    error_scope_ = scope.outer;
    release_();
}

void MasterHandler::defer_error_(std::exception_ptr error) {
    if (error_scope_ == nullptr) std::rethrow_exception(error);
    if (!error_scope_->first) error_scope_->first = std::move(error);
}

// Lets go of the exclusion. The outermost hold first runs the expiries recorded while it
// was held; after letting go it looks once more, so that an expiry recorded just before
// is never lost (the watchdog records before it tries, the holder looks after releasing).
void MasterHandler::release_() noexcept {
    for (;;) {
        if (lock_.depth() != 1) {
            lock_.unlock();
            return;
        }
        // A plain load first: the exchange is an atomic read-modify-write, and the
        // uncontended path keeps to the one of taking the exclusion.
        while (expiry_pending_.load() && expiry_pending_.exchange(false)) {
            run_missed_expiry_(nullptr);
        }
        lock_.unlock();
        if (!expiry_pending_.load()) return;
        if (watchdog_ && watchdog_->on_watchdog_thread()) return;
        if (!lock_.try_lock()) return;
    }
}

void MasterHandler::run_missed_expiry_(std::exception_ptr* error) noexcept {
    // An expiry that a stop or delete overtook is void: the watchdog no longer runs.
    if (!watchdog_->is_alive() || !watchdog_->active()) return;
    ErrorScope scope;
    scope.outer = error_scope_;
    error_scope_ = &scope;
    try {
        _watchdog_expired_event();
        settle_();
    } catch (...) {
        if (!scope.first) scope.first = std::current_exception();
    }
    error_scope_ = scope.outer;
    if (!scope.first) return;
    if (error != nullptr) {
        *error = scope.first;
    } else {
        // Not the host call's own error: logged as the watchdog thread would log it.
        Watchdog::log_error(kExpiryFailed, scope.first);
    }
}

void MasterHandler::on_watchdog_timeout_() {
    // Keep the handler alive while this expiry runs: host code called from it may drop
    // the host's last reference.
    std::shared_ptr<MasterHandler> self;
    if (std::weak_ptr<MasterHandler> weak = weak_from_this(); !never_shared(weak)) {
        self = weak.lock();
        if (!self) return;  // being destroyed
    }
    expiry_pending_.store(true);
    if (!lock_.try_lock()) return;  // the holder runs it
    std::exception_ptr error;
    while (expiry_pending_.exchange(false)) run_missed_expiry_(&error);
    release_();
    // The watchdog logs what the expiry's host code raised.
    if (error) std::rethrow_exception(error);
}

}  // namespace velmora
