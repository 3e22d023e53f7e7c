#include "model/dictionary_item.hpp"

#include <limits>

#include "protocol/errors.hpp"

namespace velmora {

DictionaryItem::DictionaryItem(std::int64_t key, std::string name, DataType data_type)
    : key_(0), name_(std::move(name)), data_type_(data_type) {
    if (key < std::numeric_limits<std::int32_t>::min() ||
        key > std::numeric_limits<std::int32_t>::max()) {
        throw OverflowError("key must fit a signed 32-bit integer");
    }
    key_ = static_cast<std::int32_t>(key);
}

Value DictionaryItem::get() const {
    throw NotImplementedError();
}
void DictionaryItem::set(const Value&) {
    throw NotImplementedError();
}
std::int64_t DictionaryItem::_read() const {
    throw NotImplementedError();
}
void DictionaryItem::_write(std::int64_t) {
    throw NotImplementedError();
}
void DictionaryItem::_set_fail_safe() {}

// --- SubscriberList ---

void SubscriberList::subscribe(SubscriberPtr callback) {
    if (!callback) throw TypeError("callback must be callable");
    for (const auto& existing : snapshot()) {
        if (existing == callback || existing->equals(*callback)) return;
    }
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(callback));
}

void SubscriberList::unsubscribe(const SubscriberPtr& callback) {
    if (!callback) return;
    SubscriberPtr found;
    for (const auto& existing : snapshot()) {
        if (existing == callback || existing->equals(*callback)) {
            found = existing;
            break;
        }
    }
    if (!found) return;
    std::lock_guard lock(mutex_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (*it == found) {
            items_.erase(it);
            return;
        }
    }
}

void SubscriberList::notify() const {
    // By index, re-reading the list each step: a subscriber may change the list, and the
    // copied pointer keeps the running subscriber alive if it unsubscribes itself.
    for (std::size_t i = 0;; ++i) {
        SubscriberPtr subscriber;
        {
            std::lock_guard lock(mutex_);
            if (i >= items_.size()) return;
            subscriber = items_[i];
        }
        (*subscriber)();
    }
}

std::vector<SubscriberPtr> SubscriberList::snapshot() const {
    std::lock_guard lock(mutex_);
    return items_;
}

void SubscriberList::clear() {
    std::vector<SubscriberPtr> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(items_);
    }
}

std::size_t SubscriberList::size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

// --- DictionaryItemInput ---

DictionaryItemInput::DictionaryItemInput(std::int64_t key, std::string name, DataType data_type,
                                         Value fail_safe_value)
    : DictionaryItem(key, std::move(name), data_type),
      fail_safe_value_(fail_safe_value),
      value_(fail_safe_value) {}

Value DictionaryItemInput::get() const {
    std::lock_guard lock(value_mutex_);
    return value_;
}

void DictionaryItemInput::set(const Value&) {
    throw PermissionError("Cannot set safe input item " + name());
}

void DictionaryItemInput::_write(std::int64_t value) {
    set_value(unserialize_value(data_type(), value));
}

void DictionaryItemInput::_set_fail_safe() {
    set_value(fail_safe_value_);
}

void DictionaryItemInput::set_value(const Value& value) {
    {
        std::lock_guard lock(value_mutex_);
        if (values_equal(value_, value)) return;
        value_ = value;
    }
    subscribers_.notify();
}

// --- DictionaryItemOutput ---

DictionaryItemOutput::DictionaryItemOutput(std::int64_t key, std::string name, DataType data_type)
    : DictionaryItem(key, std::move(name), data_type), value_(data_type_initial_value(data_type)) {}

Value DictionaryItemOutput::get() const {
    std::lock_guard lock(value_mutex_);
    return value_;
}

void DictionaryItemOutput::set(const Value& value) {
    // A value the data type cannot encode is refused here, not halfway through a frame.
    serialize_value(data_type(), value);
    std::lock_guard lock(value_mutex_);
    value_ = value;
}

std::int64_t DictionaryItemOutput::_read() const {
    return serialize_value(data_type(), get());
}

// --- DictionaryItemInputOutput ---

DictionaryItemInputOutput::DictionaryItemInputOutput(std::int64_t key, std::string name,
                                                     DataType data_type,
                                                     Value fail_safe_input_value)
    : DictionaryItem(key, std::move(name), data_type),
      fail_safe_input_value_(fail_safe_input_value),
      value_input_(fail_safe_input_value),
      value_output_(data_type_initial_value(data_type)) {}

Value DictionaryItemInputOutput::get() const {
    std::lock_guard lock(value_mutex_);
    return value_input_;
}

Value DictionaryItemInputOutput::get_output() const {
    std::lock_guard lock(value_mutex_);
    return value_output_;
}

void DictionaryItemInputOutput::set(const Value& value) {
    serialize_value(data_type(), value);
    std::lock_guard lock(value_mutex_);
    value_output_ = value;
}

std::int64_t DictionaryItemInputOutput::_read() const {
    return serialize_value(data_type(), get_output());
}

void DictionaryItemInputOutput::_write(std::int64_t value) {
    set_value_input(unserialize_value(data_type(), value));
}

void DictionaryItemInputOutput::_set_fail_safe() {
    set_value_input(fail_safe_input_value_);
}

void DictionaryItemInputOutput::set_value_input(const Value& value) {
    {
        std::lock_guard lock(value_mutex_);
        if (values_equal(value_input_, value)) return;
        value_input_ = value;
    }
    subscribers_.notify();
}

}  // namespace velmora
