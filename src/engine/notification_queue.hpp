#pragma once
// What a handler's operations have to tell the host, kept until the operation is over.
//
// Host code (the state-change and error callbacks, the item subscribers) never runs inside
// an operation: a transition or a transfer is never seen half done, and no thread runs host
// code while it holds a handler, so host code may call any operation of any handler. The
// engine records each notification here, in order, while it holds the handler; once the
// operation has completed and the handler is released, the thread that did it delivers them.
//
// One thread delivers at a time, oldest first, so the host sees the notifications of one
// handler in the order they arose, never two at once. An operation that finds another
// thread (or an outer call on its own thread) delivering leaves its notifications to that
// delivery and returns: nothing ever waits for a delivery, so host code on one thread can
// never block another thread's operation. A delivery is one batch: what was queued when it
// began, and what the deliverer's own thread adds meanwhile (operations its callbacks
// call). What other threads add meanwhile is left for the next delivery, so that slow host
// code and a fast watchdog never keep a host call from returning (the handler asks its
// watchdog thread to deliver what is left).
//
// Errors raised by host code go to the host call whose operation caused the notification,
// when that call is the one delivering (the first error, raised once every notification was
// delivered); errors of notifications that a watchdog expiry caused, or that another thread
// delivers, are logged, since no host call waits for them.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/state_id.hpp"
#include "model/dictionary_item.hpp"

namespace velmora {

struct Notification {
    enum class Kind : std::uint8_t { StateChanged, Error, ItemChanged };
    Kind kind = Kind::StateChanged;
    StateId state = StateId::Reset;                       // StateChanged
    std::optional<std::string> transition_name, message;  // Error
    DictionaryItemPtr item;                               // ItemChanged
    // The thread of the operation that caused it, and whether its errors belong to that
    // operation's host call (not for an expiry).
    std::uintptr_t origin = 0;
    bool raise_to_origin = false;
};

class NotificationQueue final : public ChangeRecorder {
  public:
    NotificationQueue() = default;
    NotificationQueue(const NotificationQueue&) = delete;
    NotificationQueue& operator=(const NotificationQueue&) = delete;

    // ---- Recording: by the thread that holds the handler. ----
    // Who the following notifications come from: the calling thread's host operation
    // (`host` true) or a watchdog expiry. Returns the previous setting for restoring.
    bool record_for_host(bool host) noexcept;
    void state_changed(StateId state);
    void error(std::optional<std::string_view> transition_name,
               std::optional<std::string_view> message);
    void item_changed(const DictionaryItemPtr& item) override;

    // ---- Delivery: by any thread that does not hold the handler. ----
    // Whether anything waits for delivery (one load: the common case is nothing).
    bool pending() const noexcept { return pending_.load(std::memory_order_acquire); }
    // Becomes the delivering thread unless one already is, or nothing waits.
    bool begin_delivery() noexcept;
    // The next notification of the batch, oldest first; false when the batch is over, and
    // then the calling thread is no longer the delivering one (atomically: what is recorded
    // after that is delivered by the next operation's thread). `left_over` tells whether
    // notifications of other threads wait for the next delivery.
    bool next(Notification& out, bool& left_over);
    // Gives up delivering early (the thread is unwinding); the rest stay for the next one.
    void abandon_delivery() noexcept;

    // The calling thread's token, as recorded in Notification::origin.
    static std::uintptr_t this_thread() noexcept;

  private:
    Notification& push_();  // the caller holds mutex_

    std::atomic<bool> pending_{false};
    bool record_for_host_ = true;
    mutable std::mutex mutex_;
    // A ring: its slots are reused, so a steady stream of notifications allocates nothing.
    std::vector<Notification> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::uint64_t recorded_ = 0;   // notifications ever recorded
    std::uint64_t batch_end_ = 0;  // the count when the current delivery began
    std::uintptr_t deliverer_ = 0;
};

}  // namespace velmora
