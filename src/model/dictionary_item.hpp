#pragma once
// Dictionary items: the safety variables of one slave. Items are shared (shared_ptr)
// between the host, the dictionary, the maps and the engine; they have no value equality.
//
// What a cycle reads or writes of an item (its value cells, whether anyone subscribed) is
// not in the object but in a small slot of its own (model/item_state.hpp), so that the
// states of the items a handler cycles over lie together in a few cache lines.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/data_type.hpp"
#include "model/item_state.hpp"
#include "model/subscriber.hpp"
#include "protocol/value.hpp"

namespace velmora {

// An ordered subscriber list without duplicates (by Subscriber::equals). A subscriber may
// subscribe or unsubscribe (itself or others) while the list notifies.
class SubscriberList {
  public:
    // nullptr: type error. Equality is tested without holding the list's lock (it may run
    // host code).
    void subscribe(SubscriberPtr callback);
    void unsubscribe(const SubscriberPtr& callback);
    // Calls each in order; an error stops the loop and propagates.
    void notify() const;
    // Unsynchronised view; prefer snapshot() when another thread may subscribe.
    const std::vector<SubscriberPtr>& items() const noexcept { return items_; }
    std::vector<SubscriberPtr> snapshot() const;
    std::size_t size() const;
    // Calls f(const SubscriberPtr&) for each, under the list's lock: f must not subscribe,
    // unsubscribe or call a subscriber (for a garbage collector's traversal).
    template <typename F>
    void for_each_locked(F&& f) const {
        std::lock_guard lock(mutex_);
        for (const auto& s : items_) f(s);
    }
    // Drops every subscriber (the subscribers are released outside the lock).
    void clear();
    // Where to publish the number of subscribers from now on, for a reader that must not
    // take the lock (set once, before the list is used).
    void publish_to(std::atomic<std::uint32_t>* count) noexcept {
        count_ = count;
        publish_count_();
    }

  private:
    void publish_count_() noexcept {
        if (count_ != nullptr) {
            count_->store(static_cast<std::uint32_t>(items_.size()), std::memory_order_release);
        }
    }

    std::atomic<std::uint32_t>* count_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<SubscriberPtr> items_;
};

class DictionaryItem {
  public:
    // Key outside the signed 32-bit range: overflow error.
    DictionaryItem(std::int64_t key, std::string name, DataType data_type);
    virtual ~DictionaryItem();
    DictionaryItem(const DictionaryItem&) = delete;
    DictionaryItem& operator=(const DictionaryItem&) = delete;

    std::int32_t key() const noexcept { return key_; }
    const std::string& name() const noexcept { return name_; }
    DataType data_type() const noexcept { return data_type_; }
    ItemKind kind() const noexcept { return kind_; }

    // Host access (application form). Base: not-implemented errors.
    virtual Value get() const;
    virtual void set(const Value& value);
    // Engine access (integer form). Base: not-implemented errors.
    virtual std::int64_t _read() const;
    virtual void _write(std::int64_t value);
    // Only applicable to inputs: a no-op in the base and for outputs.
    void _set_fail_safe() {
        if (_store_fail_safe()) notify_changed();
    }
    // Stores the fail-safe value without notifying; true when the value changed and someone
    // subscribed, so that the caller notifies (now, or later through a ChangeRecorder).
    virtual bool _store_fail_safe() noexcept { return false; }
    // Calls the subscribers of the received value's changes, in order; an error stops the
    // loop and propagates.
    void notify_changed() const { subscribers_.notify(); }

    // The per-cycle state and its size, for the map transfer's direct paths and a cache
    // footprint: a SendState (Output), a ReceiveState (Input), a SendReceiveState
    // (InputOutput), nothing for a bare item.
    void* _cycle_state() const noexcept { return state_; }
    std::size_t _cycle_state_bytes() const noexcept { return state_bytes_; }
    // A received value as _write stores it (unserialize_value, store), given the state it
    // goes to. True when the value changed and someone subscribed: the caller notifies.
    static bool _receive(ReceiveState& state, DataType type, std::int64_t value) {
        return store_received_(state, unserialize_value(type, value));
    }

  protected:
    DictionaryItem(std::int64_t key, std::string name, DataType data_type, ItemKind kind,
                   const Value& received, const Value& sent);

    // Stores a received value; true when it changed and someone subscribed.
    static bool store_received_(ReceiveState& state, const Value& value) noexcept {
        return state.received.store_if_changed(value) &&
               state.subscribers.load(std::memory_order_acquire) != 0;
    }
    // Stores a value to send, with its wire form; a value the data type cannot encode is
    // refused here (as serialize_value), not halfway through a frame.
    void store_sent_(const Value& value) {
        send_->sent.store(value, serialize_value(data_type_, value));
    }

    // In this order: the key is checked before the state is allocated.
    std::int32_t key_;
    DataType data_type_;
    ItemKind kind_;
    std::uint8_t state_bytes_;
    void* state_;
    SendState* send_;        // Output, InputOutput
    ReceiveState* receive_;  // Input, InputOutput
    SubscriberList subscribers_;  // of the received value's changes
    std::string name_;
};

using DictionaryItemPtr = std::shared_ptr<DictionaryItem>;

// Where changes of received values go when their subscribers must not run yet: a transfer
// stores every value of a frame first, and host code runs only once the frame is complete.
class ChangeRecorder {
  public:
    virtual ~ChangeRecorder() = default;
    // Records that `item` changed; its subscribers are due later, in the recorded order.
    virtual void item_changed(const DictionaryItemPtr& item) = 0;
};

class DictionaryItemInput final : public DictionaryItem {
  public:
    DictionaryItemInput(std::int64_t key, std::string name, DataType data_type,
                        Value fail_safe_value);
    Value get() const override { return receive_->received.load(); }
    void set(const Value& value) override;  // PermissionError "Cannot set safe input item <name>"
    void _write(std::int64_t value) override {
        if (_receive(*receive_, data_type(), value)) notify_changed();
    }
    bool _store_fail_safe() noexcept override {
        return store_received_(*receive_, fail_safe_value_);
    }

    const Value& fail_safe_value() const noexcept { return fail_safe_value_; }
    void subscribe_changed(SubscriberPtr callback) { subscribers_.subscribe(std::move(callback)); }
    void unsubscribe_changed(const SubscriberPtr& callback) { subscribers_.unsubscribe(callback); }
    const SubscriberList& subscribers() const noexcept { return subscribers_; }
    void clear_subscribers() { subscribers_.clear(); }
    // Restores a persisted value without notification (object persistence only).
    void restore_value(const Value& value) { receive_->received.store(value); }

  private:
    Value fail_safe_value_;
};

class DictionaryItemOutput final : public DictionaryItem {
  public:
    DictionaryItemOutput(std::int64_t key, std::string name, DataType data_type);
    Value get() const override { return send_->sent.load(); }
    // Checked as serialize_value would check it; on failure the old value stays.
    void set(const Value& value) override { store_sent_(value); }
    std::int64_t _read() const override { return send_->sent.wire(); }
};

class DictionaryItemInputOutput final : public DictionaryItem {
  public:
    DictionaryItemInputOutput(std::int64_t key, std::string name, DataType data_type,
                              Value fail_safe_input_value);
    Value get() const override { return receive_->received.load(); }
    void set(const Value& value) override { store_sent_(value); }  // checked; value_output
    std::int64_t _read() const override { return send_->sent.wire(); }
    void _write(std::int64_t value) override {
        if (_receive(*receive_, data_type(), value)) notify_changed();
    }
    bool _store_fail_safe() noexcept override {
        return store_received_(*receive_, fail_safe_input_value_);
    }

    Value get_output() const { return send_->sent.load(); }
    const Value& fail_safe_input_value() const noexcept { return fail_safe_input_value_; }
    void subscribe_input_changed(SubscriberPtr callback) {
        subscribers_.subscribe(std::move(callback));
    }
    void unsubscribe_input_changed(const SubscriberPtr& callback) {
        subscribers_.unsubscribe(callback);
    }
    const SubscriberList& subscribers() const noexcept { return subscribers_; }
    void clear_subscribers() { subscribers_.clear(); }
    // Object persistence only: no notification. The output must be encodable (errors as
    // set), as anything set would be.
    void restore_values(const Value& input, const Value& output) {
        store_sent_(output);
        receive_->received.store(input);
    }

  private:
    Value fail_safe_input_value_;
};

}  // namespace velmora
