#include "engine/cycle_footprint.hpp"

#include <algorithm>
#include <span>

namespace velmora {

void CycleFootprint::add(const void* object, std::size_t bytes) noexcept {
    if (object == nullptr || bytes == 0) return;
    if (size_ == kCapacity) finish();  // merged runs may leave room
    if (size_ == kCapacity) return;
    const auto start = reinterpret_cast<std::uintptr_t>(object);
    const std::uintptr_t first = start & ~std::uintptr_t{kLineBytes - 1};
    const std::uintptr_t count = (start + bytes - first + kLineBytes - 1) / kLineBytes;
    // An address beyond 48 bits or an absurd length: no run (a hint can be left out).
    if ((first & ~kAddressMask) != 0 || count > kMaxCount) return;
    runs_[size_++] = first | (std::uint64_t{count} << kCountShift);
}

void CycleFootprint::add_map(const DictionaryMap& map) {
    add(&map, DictionaryMap::kCycleBytes);
    const std::span<const TransferStep> plan = map._transfer_plan();
    add(plan.data(), plan.size_bytes());
    for (const TransferStep& step : plan) add(step.state, item_state_bytes(step.kind));
}

void CycleFootprint::finish() noexcept {
    std::sort(runs_.begin(), runs_.begin() + size_,
              [](std::uint64_t a, std::uint64_t b) { return (a & kAddressMask) < (b & kAddressMask); });
    std::size_t out = 0;
    for (std::size_t i = 0; i < size_; ++i) {
        const std::uintptr_t first = runs_[i] & kAddressMask;
        const std::uintptr_t end = first + line_count(runs_[i]) * kLineBytes;
        if (out > 0) {
            const std::uintptr_t last_first = runs_[out - 1] & kAddressMask;
            const std::uintptr_t last_end = last_first + line_count(runs_[out - 1]) * kLineBytes;
            if (first <= last_end) {  // touches or overlaps the previous run: one run
                const std::uintptr_t merged_end = std::max(end, last_end);
                const std::uintptr_t count = (merged_end - last_first) / kLineBytes;
                if (count <= kMaxCount) {
                    runs_[out - 1] = last_first | (std::uint64_t{count} << kCountShift);
                    continue;
                }
            }
        }
        runs_[out++] = runs_[i];
    }
    size_ = static_cast<std::uint32_t>(out);
}

std::size_t CycleFootprint::lines() const noexcept {
    std::size_t total = 0;
    for (std::size_t i = 0; i < size_; ++i) total += line_count(runs_[i]);
    return total;
}

bool CycleFootprint::covers(const void* address) const noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (std::size_t i = 0; i < size_; ++i) {
        const std::uintptr_t first = runs_[i] & kAddressMask;
        if (at >= first && at < first + line_count(runs_[i]) * kLineBytes) return true;
    }
    return false;
}

}  // namespace velmora
