#include "mapping/accepted_item_types.hpp"

#include <algorithm>

namespace velmora {

bool AcceptedItemTypes::accepts_kind(ItemKind kind) const noexcept {
    return std::find(kinds_.begin(), kinds_.end(), kind) != kinds_.end();
}

bool AcceptedItemTypes::accepts(const DictionaryItem& item) const {
    if (filter_) return filter_->accepts(item);
    return accepts_kind(item.kind());
}

}  // namespace velmora
