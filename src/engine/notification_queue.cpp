#include "engine/notification_queue.hpp"

#include <pthread.h>

#include <utility>

namespace velmora {

std::uintptr_t NotificationQueue::this_thread() noexcept {
    return static_cast<std::uintptr_t>(pthread_self());
}

bool NotificationQueue::record_for_host(bool host) noexcept {
    return std::exchange(record_for_host_, host);
}

Notification& NotificationQueue::push_() {
    if (count_ == ring_.size()) {
        // Full: unroll the ring into a larger one (rare: only a burst larger than any before).
        std::vector<Notification> larger(ring_.empty() ? 8 : 2 * ring_.size());
        for (std::size_t i = 0; i < count_; ++i) {
            larger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
        }
        ring_.swap(larger);
        head_ = 0;
    }
    Notification& slot = ring_[(head_ + count_) % ring_.size()];
    ++count_;
    ++recorded_;
    slot.origin = this_thread();
    slot.raise_to_origin = record_for_host_;
    pending_.store(true, std::memory_order_release);
    return slot;
}

void NotificationQueue::state_changed(StateId state) {
    std::lock_guard lock(mutex_);
    Notification& n = push_();
    n.kind = Notification::Kind::StateChanged;
    n.state = state;
}

void NotificationQueue::error(std::optional<std::string_view> transition_name,
                              std::optional<std::string_view> message) {
    std::lock_guard lock(mutex_);
    Notification& n = push_();
    n.kind = Notification::Kind::Error;
    n.transition_name = transition_name;
    n.message = message;
}

void NotificationQueue::item_changed(const DictionaryItemPtr& item) {
    std::lock_guard lock(mutex_);
    Notification& n = push_();
    n.kind = Notification::Kind::ItemChanged;
    n.item = item;
}

bool NotificationQueue::begin_delivery() noexcept {
    std::lock_guard lock(mutex_);
    if (deliverer_ != 0 || count_ == 0) return false;
    deliverer_ = this_thread();
    batch_end_ = recorded_;
    return true;
}

bool NotificationQueue::next(Notification& out, bool& left_over) {
    std::lock_guard lock(mutex_);
    left_over = false;
    if (count_ == 0) {
        deliverer_ = 0;
        pending_.store(false, std::memory_order_release);
        return false;
    }
    Notification& slot = ring_[head_];
    const std::uint64_t sequence = recorded_ - count_;
    if (sequence >= batch_end_ && slot.origin != deliverer_) {
        deliverer_ = 0;
        left_over = true;
        return false;
    }
    out.kind = slot.kind;
    out.state = slot.state;
    out.transition_name = std::move(slot.transition_name);
    out.message = std::move(slot.message);
    out.item = std::move(slot.item);  // the ring keeps no item alive
    out.origin = slot.origin;
    out.raise_to_origin = slot.raise_to_origin;
    head_ = (head_ + 1) % ring_.size();
    --count_;
    return true;
}

void NotificationQueue::abandon_delivery() noexcept {
    std::lock_guard lock(mutex_);
    if (deliverer_ == this_thread()) deliverer_ = 0;
}

}  // namespace velmora
