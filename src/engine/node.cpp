#include "engine/node.hpp"

#include "model/hot_memory.hpp"
#include "protocol/constants.hpp"
#include "protocol/errors.hpp"

namespace velmora {

Node::Node(std::uint16_t slave_address, std::uint16_t connection_id, std::uint16_t watchdog_ms,
           std::vector<DynamicMappableItemPtr> application_parameters, DictionaryPtr dictionary,
           AcceptedItemTypesPtr item_types_accepted, bool dictionary_map_is_editable)
    : frame_(0),
      session_(slave_address, connection_id, watchdog_ms),
      dictionary_map_(
          std::allocate_shared<DictionaryMap>(HotAllocator<DictionaryMap>{}, std::move(dictionary),
                                              std::move(item_types_accepted))),
      application_parameters_(std::move(application_parameters)),
      dictionary_map_is_editable_(dictionary_map_is_editable) {
    for (const auto& parameter : application_parameters_) {
        if (!parameter) throw TypeError("application parameters must not be None");
    }
    if (!dictionary_map_is_editable_) dictionary_map_->_lock();
}

void Node::start() {
    std::uint16_t size = dictionary_map_->safety_bytes();
    if (size > MAX_DATA_BYTES) throw ValueError(too_much_safe_data_message());
    if (dictionary_map_is_editable_) dictionary_map_->_lock();
    frame_.set_safe_data_size_bytes(size);
}

void Node::stop() {
    if (dictionary_map_is_editable_) dictionary_map_->_lock(false);
}

}  // namespace velmora
