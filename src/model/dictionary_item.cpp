#include "model/dictionary_item.hpp"

#include <limits>
#include <new>

#include "protocol/errors.hpp"

namespace velmora {
namespace {

std::int32_t checked_key(std::int64_t key) {
    if (key < std::numeric_limits<std::int32_t>::min() ||
        key > std::numeric_limits<std::int32_t>::max()) {
        throw OverflowError("key must fit a signed 32-bit integer");
    }
    return static_cast<std::int32_t>(key);
}

}  // namespace

DictionaryItem::DictionaryItem(std::int64_t key, std::string name, DataType data_type)
    : DictionaryItem(key, std::move(name), data_type, ItemKind::Base, Value{false},
                     Value{false}) {}

DictionaryItem::DictionaryItem(std::int64_t key, std::string name, DataType data_type,
                               ItemKind kind, const Value& received, const Value& sent)
    : key_(checked_key(key)),
      data_type_(data_type),
      kind_(kind),
      state_bytes_(static_cast<std::uint8_t>(item_state_bytes(kind))),
      state_(state_bytes_ != 0 ? allocate_item_state(state_bytes_) : nullptr),
      send_(nullptr),
      receive_(nullptr),
      name_(std::move(name)) {
    // Nothing below can fail: the slot is the object's from here on.
    const std::uint32_t wire =
        kind == ItemKind::Output || kind == ItemKind::InputOutput
            ? serialize_value(data_type, sent)  // an initial value, always encodable
            : 0;
    switch (kind) {
        case ItemKind::Input:
            receive_ = new (state_) ReceiveState(received, this);
            break;
        case ItemKind::Output:
            send_ = new (state_) SendState(sent, wire);
            break;
        case ItemKind::InputOutput: {
            auto* both = new (state_) SendReceiveState(received, this, sent, wire);
            receive_ = &both->in;
            send_ = &both->out;
            break;
        }
        case ItemKind::Base:
            break;
    }
    if (receive_ != nullptr) subscribers_.publish_to(&receive_->subscribers);
}

DictionaryItem::~DictionaryItem() {
    // The states are trivially destructible (atomics and plain fields).
    release_item_state(state_, state_bytes_);
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

// --- SubscriberList ---

void SubscriberList::subscribe(SubscriberPtr callback) {
    if (!callback) throw TypeError("callback must be callable");
    for (const auto& existing : snapshot()) {
        if (existing == callback || existing->equals(*callback)) return;
    }
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(callback));
    publish_count_();
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
            publish_count_();
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

std::size_t SubscriberList::size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void SubscriberList::clear() {
    std::vector<SubscriberPtr> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(items_);
        publish_count_();
    }
}

// --- the item kinds ---

DictionaryItemInput::DictionaryItemInput(std::int64_t key, std::string name, DataType data_type,
                                         Value fail_safe_value)
    : DictionaryItem(key, std::move(name), data_type, ItemKind::Input, fail_safe_value,
                     Value{false}),
      fail_safe_value_(fail_safe_value) {}

void DictionaryItemInput::set(const Value&) {
    throw PermissionError("Cannot set safe input item " + name());
}

DictionaryItemOutput::DictionaryItemOutput(std::int64_t key, std::string name,
                                           DataType data_type)
    : DictionaryItem(key, std::move(name), data_type, ItemKind::Output, Value{false},
                     data_type_initial_value(data_type)) {}

DictionaryItemInputOutput::DictionaryItemInputOutput(std::int64_t key, std::string name,
                                                     DataType data_type,
                                                     Value fail_safe_input_value)
    : DictionaryItem(key, std::move(name), data_type, ItemKind::InputOutput,
                     fail_safe_input_value, data_type_initial_value(data_type)),
      fail_safe_input_value_(fail_safe_input_value) {}

}  // namespace velmora
