#pragma once
// The bit layout of dictionary items in the safe data of an FSoE frame: an ordered list of
// entries laid end to end from bit 0, with its editing, placement, transfer and text form.
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame/frame.hpp"
#include "mapping/accepted_item_types.hpp"
#include "mapping/dictionary_mapped_item.hpp"
#include "model/dictionary.hpp"
#include "model/hot_memory.hpp"

namespace velmora {

class DictionaryMap;
using DictionaryMapPtr = std::shared_ptr<DictionaryMap>;

// What a cycle needs of one entry that carries an item, copied out of the entry so that a
// transfer reads one contiguous array and the items' per-cycle states, not the entries or
// the item objects.
struct TransferStep {
    void* state;  // the item's per-cycle state (nullptr: none), kept alive by the entry
    std::uint8_t position_bits;
    std::uint8_t bits;
    std::uint8_t received_bits;  // of a received value, the ones the item takes
    ItemKind kind;
    DataType data_type;
    bool operator==(const TransferStep&) const = default;
};

// Line aligned: what a cycle touches of the map object itself is in its first line.
class alignas(64) DictionaryMap {
  public:
    using Bits = std::optional<std::int64_t>;
    static constexpr std::size_t kCycleBytes = 64;

    // A null dictionary is a type error.
    DictionaryMap(DictionaryPtr dictionary, std::vector<ItemKind> item_types_accepted);
    DictionaryMap(DictionaryPtr dictionary, AcceptedItemTypesPtr item_types_accepted);
    DictionaryMap(const DictionaryMap&) = delete;
    DictionaryMap& operator=(const DictionaryMap&) = delete;

    const DictionaryPtr& dictionary() const noexcept { return dictionary_; }
    const AcceptedItemTypesPtr& item_types_accepted() const noexcept { return accepted_; }
    // The live entry list, in layout order.
    const std::vector<DictionaryMappedItemPtr>& _items() const noexcept { return items_; }

    bool locked() const noexcept { return locked_; }
    void _lock(bool active = true) noexcept { locked_ = active; }

    std::size_t size() const noexcept { return items_.size(); }
    // Negative indexes count from the end; out of range is an index error.
    const DictionaryMappedItemPtr& at(std::int64_t index) const;
    // By identity.
    bool contains(const DictionaryMappedItem& entry) const noexcept;
    bool is_mapped(const DictionaryItem& item) const noexcept;

    std::uint16_t safety_bits() const noexcept;
    std::uint16_t safety_bytes() const noexcept;
    std::vector<DictionaryItemPtr> mapped_dictionary_items() const;
    std::vector<DictionaryItemPtr> unmapped_dictionary_items() const;

    // Same dictionary, same accepted-types object, copies of the entries, same lock state.
    DictionaryMapPtr copy() const;
    void clear();

    // Editing. A null dict_item is a padding. Every failure leaves the map unchanged, except
    // the alignment padding that add appends before it refuses a misaligned item.
    DictionaryMappedItemPtr add(DictionaryItemPtr dict_item, Bits bits = std::nullopt,
                                Bits align_to_bits = std::nullopt);
    DictionaryMappedItemPtr add_by_key(std::int64_t key, Bits bits = std::nullopt);
    DictionaryMappedItemPtr add_padding(std::int64_t bits);
    DictionaryMappedItemPtr insert(std::int64_t index, DictionaryItemPtr dict_item,
                                   Bits bits = std::nullopt);
    DictionaryMappedItemPtr insert_before(const DictionaryMappedItem& before_dictionary_mapped_item,
                                          DictionaryItemPtr dict_item, Bits bits = std::nullopt);
    DictionaryMappedItemPtr insert_after(const DictionaryMappedItem& after_dictionary_mapped_item,
                                         DictionaryItemPtr dict_item, Bits bits = std::nullopt);
    // Removes this entry (value error if it is not in the map).
    void remove(const DictionaryMappedItem& entry);
    // Removes every entry that refers to the item; none is fine.
    void remove(const DictionaryItem& item);
    bool move_item_up(const DictionaryMappedItem& entry);
    bool move_item_down(const DictionaryMappedItem& entry);
    void set_bits(const DictionaryMappedItem& dictionary_mapped_item, std::int64_t bits);

    // Placement and layout rules; failures change nothing, except that an item refused by
    // add's alignment rule in insert_in_best_position's append path leaves the dropped
    // trailing padding dropped and add's alignment padding added.
    DictionaryMappedItemPtr insert_in_best_position(DictionaryItemPtr dict_item,
                                                    std::int64_t align_to_bits = 1);
    void complete_with_padding();
    void merge_adjacent_paddings();
    void trim_map();
    void transform_to_padding(const DictionaryMappedItem& entry);
    void transform_to_padding(const DictionaryItem& item);

    // Per-cycle transfers; they allocate nothing. A map wider than the frame's safe data is
    // refused before the frame or any item changes.
    void _set_data_to_frame(FSOEFrame& frame) const;
    // Every value of the frame is stored before any subscriber runs: the changes go to
    // `recorder` when given (the engine delivers them after its operation), else their
    // subscribers are called here once the transfer is complete (the first error raised after
    // all were called).
    void _get_data_from_frame(const FSOEFrame& frame, ChangeRecorder* recorder = nullptr);
    // The transfer plan: a step per entry that carries an item, in layout order (rebuilt
    // here if an entry changed since). For the cycle's cache footprint.
    std::span<const TransferStep> _transfer_plan() const;
    std::string get_text_representation(std::int64_t item_space = 40) const;

    // Object persistence: replaces the entries by restored ones (positions recalculated).
    // A null entry, an entry listed twice or an item mapped twice is a value error.
    void _restore(std::vector<DictionaryMappedItemPtr> entries, bool locked);

  private:
    // Every member function that edits the entry list holds one of these: the plan is
    // rebuilt when it ends, whether the edit succeeded or not.
    class Edit {
      public:
        explicit Edit(DictionaryMap& map) noexcept : map_(map) {}
        Edit(const Edit&) = delete;
        Edit& operator=(const Edit&) = delete;
        ~Edit() { map_.rebuild_plan_noexcept_(); }

      private:
        DictionaryMap& map_;
    };

    // Rebuilds the plan from the entries (may allocate); the noexcept form leaves the plan
    // marked invalid instead of failing, for the next transfer to rebuild it.
    void rebuild_plan_() const;
    void rebuild_plan_noexcept_() const noexcept;
    void get_data_from_frame_(const FSOEFrame& frame, ChangeRecorder& recorder);
    // Before a transfer: the plan again if an entry changed since it was built.
    void refresh_plan_() const {
        if (plan_epoch_ != DictionaryMappedItem::layout_epoch()) rebuild_plan_();
    }

    void check_not_locked_() const;
    void check_not_already_mapped_(const DictionaryItem* dict_item) const;
    std::size_t index_of_(const DictionaryMappedItem& entry) const;  // value error if absent
    DictionaryMappedItemPtr create_mapped_item_(std::int64_t position_bits,
                                                DictionaryItemPtr dict_item, Bits bits) const;
    // Validates every position before it changes any, so a failure changes nothing.
    void recalculate_position_bits_();
    // Recalculates after a list edit; on failure the list goes back to `saved`.
    void recalculate_or_restore_(std::vector<DictionaryMappedItemPtr> saved);

    // The layout before a composite operation, to undo it when a later step fails.
    struct SavedEntry {
        DictionaryMappedItemPtr entry;
        std::uint8_t bits;
        std::uint8_t position_bits;
    };
    std::vector<SavedEntry> save_() const;
    void restore_(const std::vector<SavedEntry>& saved);

    // Line aligned, so that eight steps take two lines; beside the other data of a cycle.
    template <typename T>
    struct LineAllocator {
        using value_type = T;
        LineAllocator() noexcept = default;
        template <typename U>
        LineAllocator(const LineAllocator<U>&) noexcept {}
        T* allocate(std::size_t n) {
            return static_cast<T*>(hot_allocate(n * sizeof(T), 64));
        }
        void deallocate(T* p, std::size_t n) noexcept { hot_release(p, n * sizeof(T), 64); }
        template <typename U>
        bool operator==(const LineAllocator<U>&) const noexcept {
            return true;
        }
    };

    // First, in the line a cycle touches: the transfer plan, the entry layout epoch it was
    // built at (0: none), and whether an entry ends past the safe data.
    mutable std::vector<TransferStep, LineAllocator<TransferStep>> plan_;
    // The item of each step, for the kinds a transfer leaves to the item's own _read or
    // _write (a direction the item does not have, or a bare item).
    // The entry's own pointer, not a copy: a copy would count as a second owner of the item
    // (the garbage-collector support visits only a sole owner).
    mutable std::vector<const DictionaryItemPtr*> plan_items_;
    mutable std::uint64_t plan_epoch_ = 0;
    mutable bool plan_too_wide_ = false;
    bool locked_ = false;
    DictionaryPtr dictionary_;
    AcceptedItemTypesPtr accepted_;
    std::vector<DictionaryMappedItemPtr> items_;
};

// Messages shared by the editing, layout and binding code.
inline constexpr const char* kMappingLockedMessage = "Mapping is locked, cannot be modified";
inline constexpr const char* kItemNotInMapMessage = "The item does not belong to this map";
inline constexpr const char* kPaddingWithoutBitsMessage =
    "Cannot add padding without indicating bits";
inline constexpr const char* kAlignmentMessage =
    "Variables with more than 8 bits must be aligned in 8-bit safe-data slots";

}  // namespace velmora
