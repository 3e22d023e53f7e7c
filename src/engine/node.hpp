#pragma once
// One side of the connection: its current frame, its session data, its process-data map,
// its dynamic map and its application parameters.
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/session.hpp"
#include "frame/frame.hpp"
#include "mapping/dictionary_map.hpp"
#include "mapping/dynamic_map.hpp"
#include "model/dictionary.hpp"

namespace velmora {

class Node {
  public:
    // A null dictionary is a type error (raised by the map).
    Node(std::uint16_t slave_address, std::uint16_t connection_id, std::uint16_t watchdog_ms,
         std::vector<DynamicMappableItemPtr> application_parameters, DictionaryPtr dictionary,
         AcceptedItemTypesPtr item_types_accepted, bool dictionary_map_is_editable = true);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    FSOEFrame& frame() noexcept { return frame_; }
    const FSOEFrame& frame() const noexcept { return frame_; }
    Session& session() noexcept { return session_; }
    const Session& session() const noexcept { return session_; }
    const DictionaryMapPtr& dictionary_map() const noexcept { return dictionary_map_; }
    FSOEDynamicMap& _dynamic_map() noexcept { return dynamic_map_; }
    const FSOEDynamicMap& _dynamic_map() const noexcept { return dynamic_map_; }
    const std::vector<DynamicMappableItemPtr>& application_parameters() const noexcept {
        return application_parameters_;
    }
    bool dictionary_map_is_editable() const noexcept { return dictionary_map_is_editable_; }

    // Locks an editable map and sizes the frame from it. A map wider than a frame is
    // refused before the map is locked.
    void start();
    // Unlocks an editable map; a map created locked stays locked.
    void stop();

    // CRC_0 of the last frame this side sent; none before the first.
    std::optional<std::uint16_t> _last_crc0_sent;

  private:
    FSOEFrame frame_;
    Session session_;
    DictionaryMapPtr dictionary_map_;
    FSOEDynamicMap dynamic_map_;
    std::vector<DynamicMappableItemPtr> application_parameters_;
    bool dictionary_map_is_editable_;
};

}  // namespace velmora
