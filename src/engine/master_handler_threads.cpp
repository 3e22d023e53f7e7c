// The exclusion between the host's calls and the watchdog's expiry path, and the delivery
// of notifications once an operation has let go of it.
//
// The expiry path never waits for the exclusion: it records the expiry and tries it. If a
// host call holds it, that call runs the recorded expiry before it lets go. A host call
// therefore never waits for a watchdog thread that waits for it, and the watchdog thread
// is always free to confirm the blocking commands of a host call at once.
#include <string>

#include "engine/forced_unwind.hpp"
#include "engine/master_handler.hpp"
#include "protocol/errors.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

constexpr std::string_view kExpiryFailed = "FSoE Watchdog thread crashed. Restarting...";

// True for a handler that no shared_ptr ever owned (no control block at all).
bool never_shared(const std::weak_ptr<MasterHandler>& weak) noexcept {
    const std::weak_ptr<MasterHandler> empty;
    return !weak.owner_before(empty) && !empty.owner_before(weak);
}

}  // namespace

void MasterHandler::check_not_forked_() const {
    if (fork_generation_ != fork_generation()) throw RuntimeError(kForkedHandlerMessage);
}

VELMORA_CYCLE_CODE
void MasterHandler::enter_() {
    check_not_forked_();
    lock_.lock();
}

VELMORA_CYCLE_CODE
void MasterHandler::leave_(bool raise_errors) {
    release_();
    // Still held further up this thread's stack: the outermost operation delivers.
    if (!notifications_.pending() || lock_.held_by_this_thread()) return;
    std::exception_ptr error = deliver_();
    if (error && raise_errors) std::rethrow_exception(error);
}

// Lets go of the exclusion. The outermost hold first runs the expiries recorded while it
// was held; after letting go it looks once more, so that an expiry recorded just before
// is never lost (the watchdog records before it tries, the holder looks after releasing).
VELMORA_CYCLE_CODE
void MasterHandler::release_() noexcept {
    for (;;) {
        if (lock_.depth() != 1) {
            lock_.unlock();
            return;
        }
        // A plain load first: the exchange is an atomic read-modify-write, and the
        // uncontended path keeps to the one of taking the exclusion.
        while (expiry_pending_.load() && expiry_pending_.exchange(false)) run_missed_expiry_();
        lock_.unlock();
        if (!expiry_pending_.load()) return;
        if (watchdog_ && watchdog_->on_watchdog_thread()) return;
        if (!lock_.try_lock()) return;
    }
}

void MasterHandler::run_missed_expiry_() noexcept {
    // An expiry that a stop or delete overtook is void: the watchdog no longer runs.
    if (!watchdog_->is_alive() || !watchdog_->active()) return;
    // Its notifications are no host call's own: their errors are logged.
    const bool host = notifications_.record_for_host(false);
    try {
        _watchdog_expired_event();
    } catch (...) {
        Watchdog::log_error(kExpiryFailed, std::current_exception());
    }
    notifications_.record_for_host(host);
}

std::exception_ptr MasterHandler::deliver_() {
    std::exception_ptr first;
    // Other threads' notifications that came during a batch are the watchdog thread's to
    // deliver soon (unless an operation comes first); once it has stopped, this thread
    // delivers them itself, since nothing else would.
    while (notifications_.begin_delivery()) {
        if (!deliver_batch_(first) || watchdog_->wake()) break;
    }
    return first;
}

bool MasterHandler::deliver_batch_(std::exception_ptr& first) {
    // Unwinding (a thread ended under it) leaves the rest to the next operation.
    struct Delivering {
        NotificationQueue& queue;
        bool finished = false;
        ~Delivering() {
            if (!finished) queue.abandon_delivery();
        }
    } delivering{notifications_};
    const std::uintptr_t me = NotificationQueue::this_thread();
    Notification notification;
    bool left_over = false;
    while (notifications_.next(notification, left_over)) {
        try {
            deliver_one_(notification);
        } catch (const ForcedUnwind&) {
            throw;
        } catch (...) {
            if (notification.raise_to_origin && notification.origin == me) {
                if (!first) first = std::current_exception();
            } else {
                Watchdog::log_error(kExpiryFailed, std::current_exception());
            }
        }
        notification.item.reset();
    }
    delivering.finished = true;
    return left_over;
}

void MasterHandler::deliver_one_(const Notification& notification) {
    switch (notification.kind) {
        case Notification::Kind::StateChanged:
            if (StateChangeCallbackPtr callback = state_change_callback()) {
                (*callback)(notification.state);
            }
            return;
        case Notification::Kind::Error:
            if (ErrorCallbackPtr callback = report_error_callback()) {
                const auto view = [](const std::optional<std::string>& text) {
                    return text ? std::optional<std::string_view>(*text) : std::nullopt;
                };
                (*callback)(view(notification.transition_name), view(notification.message));
            }
            return;
        case Notification::Kind::ItemChanged:
            notification.item->notify_changed();
            return;
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
    while (expiry_pending_.exchange(false)) run_missed_expiry_();
    release_();
    deliver_on_watchdog_thread_();
}

void MasterHandler::deliver_on_watchdog_thread_() {
    if (!notifications_.pending()) return;
    // The watchdog logs what host code raised for an operation of this thread.
    if (std::exception_ptr error = deliver_()) std::rethrow_exception(error);
}

void MasterHandler::on_watchdog_wake_() {
    // Alive while it delivers, as for an expiry.
    std::shared_ptr<MasterHandler> self;
    if (std::weak_ptr<MasterHandler> weak = weak_from_this(); !never_shared(weak)) {
        self = weak.lock();
        if (!self) return;
    }
    deliver_on_watchdog_thread_();
}

}  // namespace velmora
