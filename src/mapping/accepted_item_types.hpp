#pragma once
// The item classes a dictionary map accepts. The test is on the exact class of an item; a
// map and its copies share one instance, so they always agree on it.
#include <memory>
#include <vector>

#include "model/dictionary_item.hpp"

namespace velmora {

// A host-level test of an item's exact class. A host may derive its own classes from the item
// classes; such an item has the kind of its base, so only the host can tell them apart.
class ItemTypeFilter {
  public:
    virtual ~ItemTypeFilter() = default;
    virtual bool accepts(const DictionaryItem& item) const = 0;
};

using ItemTypeFilterPtr = std::shared_ptr<const ItemTypeFilter>;

class AcceptedItemTypes {
  public:
    explicit AcceptedItemTypes(std::vector<ItemKind> kinds) : kinds_(std::move(kinds)) {}

    const std::vector<ItemKind>& kinds() const noexcept { return kinds_; }
    bool accepts_kind(ItemKind kind) const noexcept;
    // With a filter installed the filter decides alone; otherwise the item's kind must be
    // one of the accepted kinds.
    bool accepts(const DictionaryItem& item) const;

    const ItemTypeFilterPtr& filter() const noexcept { return filter_; }
    void set_filter(ItemTypeFilterPtr filter) noexcept { filter_ = std::move(filter); }

  private:
    std::vector<ItemKind> kinds_;
    ItemTypeFilterPtr filter_;
};

using AcceptedItemTypesPtr = std::shared_ptr<AcceptedItemTypes>;

}  // namespace velmora
