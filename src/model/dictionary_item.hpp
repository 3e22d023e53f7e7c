#pragma once
// Dictionary items: the safety variables of one slave. Items are shared (shared_ptr)
// between the host, the dictionary, the maps and the engine; they have no value equality.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/data_type.hpp"
#include "model/subscriber.hpp"
#include "protocol/value.hpp"

namespace velmora {

// The exact class of an item, for the maps' accepted-type test.
enum class ItemKind : std::uint8_t { Base, Input, Output, InputOutput };

class DictionaryItem {
  public:
    // Key outside the signed 32-bit range: overflow error.
    DictionaryItem(std::int64_t key, std::string name, DataType data_type);
    virtual ~DictionaryItem() = default;
    DictionaryItem(const DictionaryItem&) = delete;
    DictionaryItem& operator=(const DictionaryItem&) = delete;

    std::int32_t key() const noexcept { return key_; }
    const std::string& name() const noexcept { return name_; }
    DataType data_type() const noexcept { return data_type_; }
    virtual ItemKind kind() const noexcept { return ItemKind::Base; }

    // Host access (application form). Base: not-implemented errors.
    virtual Value get() const;
    virtual void set(const Value& value);
    // Engine access (integer form). Base: not-implemented errors.
    virtual std::int64_t _read() const;
    virtual void _write(std::int64_t value);
    // Only applicable to inputs: a no-op in the base and for outputs.
    virtual void _set_fail_safe();

  protected:
    // Guards the values of the variants: the engine may write them on the watchdog thread
    // while the host reads them. Never held while a subscriber runs.
    mutable std::mutex value_mutex_;

  private:
    std::int32_t key_;
    std::string name_;
    DataType data_type_;
};

using DictionaryItemPtr = std::shared_ptr<DictionaryItem>;

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

  private:
    mutable std::mutex mutex_;
    std::vector<SubscriberPtr> items_;
};

class DictionaryItemInput : public DictionaryItem {
  public:
    DictionaryItemInput(std::int64_t key, std::string name, DataType data_type,
                        Value fail_safe_value);
    ItemKind kind() const noexcept override { return ItemKind::Input; }
    Value get() const override;
    void set(const Value& value) override;  // PermissionError "Cannot set safe input item <name>"
    void _write(std::int64_t value) override;
    void _set_fail_safe() override;

    // Unsynchronised reference; get() is the thread-safe read.
    const Value& _value() const noexcept { return value_; }
    const Value& fail_safe_value() const noexcept { return fail_safe_value_; }
    void subscribe_changed(SubscriberPtr callback) { subscribers_.subscribe(std::move(callback)); }
    void unsubscribe_changed(const SubscriberPtr& callback) { subscribers_.unsubscribe(callback); }
    const SubscriberList& subscribers() const noexcept { return subscribers_; }
    void clear_subscribers() { subscribers_.clear(); }
    // Restores a persisted value without notification (object persistence only).
    void restore_value(const Value& value) {
        std::lock_guard lock(value_mutex_);
        value_ = value;
    }

  private:
    void set_value(const Value& value);  // store if different, then notify
    Value fail_safe_value_;
    Value value_;
    SubscriberList subscribers_;
};

class DictionaryItemOutput : public DictionaryItem {
  public:
    DictionaryItemOutput(std::int64_t key, std::string name, DataType data_type);
    ItemKind kind() const noexcept override { return ItemKind::Output; }
    Value get() const override;
    // Checked as serialize_value would check it; on failure the old value stays.
    void set(const Value& value) override;
    std::int64_t _read() const override;

    // Unsynchronised reference; get() is the thread-safe read.
    const Value& _value() const noexcept { return value_; }

  private:
    Value value_;
};

class DictionaryItemInputOutput : public DictionaryItem {
  public:
    DictionaryItemInputOutput(std::int64_t key, std::string name, DataType data_type,
                              Value fail_safe_input_value);
    ItemKind kind() const noexcept override { return ItemKind::InputOutput; }
    Value get() const override;
    void set(const Value& value) override;  // checked; stores value_output
    std::int64_t _read() const override;
    void _write(std::int64_t value) override;
    void _set_fail_safe() override;

    // Unsynchronised references; get() and get_output() are the thread-safe reads.
    const Value& value_input() const noexcept { return value_input_; }
    const Value& value_output() const noexcept { return value_output_; }
    Value get_output() const;
    const Value& fail_safe_input_value() const noexcept { return fail_safe_input_value_; }
    void subscribe_input_changed(SubscriberPtr callback) {
        subscribers_.subscribe(std::move(callback));
    }
    void unsubscribe_input_changed(const SubscriberPtr& callback) {
        subscribers_.unsubscribe(callback);
    }
    const SubscriberList& subscribers() const noexcept { return subscribers_; }
    void clear_subscribers() { subscribers_.clear(); }
    // Object persistence only: no check, no notification.
    void restore_values(const Value& input, const Value& output) {
        std::lock_guard lock(value_mutex_);
        value_input_ = input;
        value_output_ = output;
    }

  private:
    void set_value_input(const Value& value);
    Value fail_safe_input_value_;
    Value value_input_;
    Value value_output_;
    SubscriberList subscribers_;
};

}  // namespace velmora
