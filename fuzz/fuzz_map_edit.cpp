// Arbitrary bytes as a sequence of dictionary-map edits on a small dictionary. After every
// accepted edit the layout must be whole (contiguous from bit 0, no item twice, safety_bits
// at the end of the last entry); a refused edit must leave the map as it was (save the
// alignment padding that add keeps); and no transfer may touch the frame outside its safe
// data or read anything but safe-data bits, whatever the entries look like.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "fuzz_input.hpp"
#include "frame/frame.hpp"
#include "mapping/dictionary_map.hpp"
#include "model/data_type.hpp"
#include "model/dictionary.hpp"
#include "protocol/errors.hpp"

using namespace velmora;

namespace {

class Input : public FuzzInput {
  public:
    using FuzzInput::FuzzInput;
    // Mostly small widths, sometimes a whole byte, sometimes a value outside 0..255.
    std::int64_t number() noexcept {
        static constexpr std::int64_t kWild[] = {256,
                                                 -1,
                                                 300,
                                                 std::numeric_limits<std::int64_t>::min(),
                                                 std::numeric_limits<std::int64_t>::max(),
                                                 65536,
                                                 -256,
                                                 0};
        const std::uint8_t b = byte();
        switch (b >> 6) {
            case 0:
            case 1:
                return b & 0x3F;
            case 2:
                return byte();
            default:
                return kWild[b & 7];
        }
    }
    DictionaryMap::Bits optional_number() noexcept {
        if (byte() % 4 == 0) return std::nullopt;
        return number();
    }
};

struct Snapshot {
    std::vector<DictionaryMappedItemPtr> entries;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> widths_and_positions;
    bool locked = false;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const DictionaryMap& map) {
    Snapshot s;
    s.entries = map._items();
    for (const auto& e : s.entries)
        s.widths_and_positions.emplace_back(e->bits(), e->position_bits());
    s.locked = map.locked();
    return s;
}

bool contiguous(const DictionaryMap& map) {
    unsigned position = 0;
    for (const auto& e : map._items()) {
        if (e->position_bits() != position) return false;
        position += e->bits();
    }
    return true;
}

void check_layout(const DictionaryMap& map) {
    const auto& entries = map._items();
    unsigned position = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        REQUIRE(entries[i] != nullptr);
        REQUIRE(entries[i]->position_bits() == position);
        position += entries[i]->bits();
        if (entries[i]->item()) {
            for (std::size_t j = i + 1; j < entries.size(); ++j) {
                REQUIRE(entries[j]->item() != entries[i]->item());
            }
        }
    }
    REQUIRE(map.safety_bits() == position);
    REQUIRE(map.safety_bytes() == (position + 7) / 8);
    std::size_t mapped = 0;
    for (const auto& e : entries) mapped += e->item() != nullptr;
    REQUIRE(map.mapped_dictionary_items().size() == mapped);
    for (const auto& item : map.unmapped_dictionary_items()) {
        REQUIRE(!map.is_mapped(*item) && map.item_types_accepted()->accepts(*item));
    }
}

// The frame around the safe data holds canaries: a transfer must leave them alone.
constexpr std::uint16_t kCanary = 0xA5C3;

void fill_canaries(FSOEFrame& frame) {
    for (unsigned i = 0; i < MAX_CRC_WORDS; ++i) frame.crcs()[i] = kCanary;
    frame.control().sequence_number(kCanary);
    frame.control().connection_id(kCanary);
    frame.control().crc0(kCanary);
    frame.record().sControl.u16Command = kCanary;
    frame.record().u16DataSizeBytes = 3;
}

void check_canaries(const FSOEFrame& frame) {
    for (unsigned i = 0; i < MAX_CRC_WORDS; ++i) REQUIRE(frame.crcs()[i] == kCanary);
    REQUIRE(frame.control().sequence_number() == kCanary);
    REQUIRE(frame.control().connection_id() == kCanary);
    REQUIRE(frame.control().crc0() == kCanary);
    REQUIRE(frame.record().sControl.u16Command == kCanary);
    REQUIRE(frame.record().u16DataSizeBytes == 3);
}

std::uint64_t bits_at(const FSOEFrame& frame, unsigned position, unsigned bits) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < bits && i < 64; ++i) {
        const unsigned b = position + i;
        value |= std::uint64_t{(frame.safe_data()[b / 16] >> (b % 16)) & 1u} << i;
    }
    return value;
}

bool fits(const DictionaryMap& map) {
    for (const auto& e : map._items()) {
        if (e->position_bits() + e->bits() > 128) return false;
    }
    return true;
}

bool same_value(DataType type, const Value& a, const Value& b) {
    if (type == DataType::FLOAT && std::holds_alternative<double>(a) &&
        std::holds_alternative<double>(b) && std::isnan(std::get<double>(a)) &&
        std::isnan(std::get<double>(b))) {
        return true;
    }
    return values_equal(a, b);
}

struct World {
    std::vector<DictionaryItemPtr> items;
    DictionaryItemPtr stray;  // accepted, but not in the dictionary
    DictionaryPtr dictionary;
    DictionaryMapPtr maps[2];
    DictionaryMappedItemPtr stray_entry;
    bool tampered[2] = {false, false};

    explicit World(std::uint8_t accepted_choice) {
        items = {
            std::make_shared<DictionaryItemOutput>(1, "u8", DataType::UINT8),
            std::make_shared<DictionaryItemOutput>(2, "u16", DataType::UINT16),
            std::make_shared<DictionaryItemOutput>(3, "flag", DataType::BOOL),
            std::make_shared<DictionaryItemOutput>(4, "i32", DataType::INT32),
            std::make_shared<DictionaryItemInputOutput>(5, "io16", DataType::INT16, Value{-3}),
            std::make_shared<DictionaryItemInputOutput>(6, "io8", DataType::INT8, Value{0}),
            std::make_shared<DictionaryItemInputOutput>(7, "iobit", DataType::BOOL, Value{true}),
            std::make_shared<DictionaryItemInputOutput>(8, "ioreal", DataType::FLOAT, Value{0.0}),
            std::make_shared<DictionaryItemInputOutput>(9, "io32", DataType::UINT32, Value{0}),
            std::make_shared<DictionaryItemInput>(10, "in8", DataType::UINT8, Value{0}),
            std::make_shared<DictionaryItem>(11, "bare", DataType::UINT8),
        };
        stray = std::make_shared<DictionaryItemInputOutput>(12, "stray", DataType::UINT8, Value{0});
        dictionary = std::make_shared<Dictionary>(items);
        static const std::vector<ItemKind> kAccepted[] = {
            {ItemKind::InputOutput},
            {ItemKind::Output, ItemKind::InputOutput},
            {ItemKind::Input, ItemKind::InputOutput},
            {ItemKind::Base, ItemKind::Input, ItemKind::Output, ItemKind::InputOutput},
        };
        const auto& accepted = kAccepted[accepted_choice % 4];
        maps[0] = std::make_shared<DictionaryMap>(dictionary, accepted);
        maps[1] = std::make_shared<DictionaryMap>(dictionary, accepted);
        stray_entry = std::make_shared<DictionaryMappedItem>(stray, 8, 0);
    }

    DictionaryItemPtr item(std::uint8_t choice) const {
        const std::size_t n = items.size();
        const std::size_t i = choice % (n + 2);
        if (i < n) return items[i];
        return i == n ? nullptr : stray;
    }

    // An entry of either map, or one that belongs to none.
    DictionaryMappedItemPtr entry(std::uint8_t choice) const {
        std::vector<DictionaryMappedItemPtr> all(maps[0]->_items());
        all.insert(all.end(), maps[1]->_items().begin(), maps[1]->_items().end());
        all.push_back(stray_entry);
        return all[choice % all.size()];
    }
};

// Sends the map's values into a frame and reads them back (for maps of input-output items).
void check_transfer(DictionaryMap& map, bool tampered, Input& in) {
    // Output values from the input, where the data type accepts them.
    for (const auto& e : map._items()) {
        if (!e->item()) continue;
        const std::int64_t raw = static_cast<std::int32_t>(in.byte() | (in.byte() << 8) |
                                                           (in.byte() << 16) | (in.byte() << 24));
        try {
            e->item()->set(unserialize_value(e->item()->data_type(), raw));
        } catch (const Error&) {
        }
    }
    auto frame = std::make_unique<FSOEFrame>();
    fill_canaries(*frame);
    for (unsigned i = 0; i < MAX_DATA_WORDS; ++i) frame->safe_data()[i] = 0x5A5A;
    bool sent = false;
    try {
        map._set_data_to_frame(*frame);
        sent = true;
    } catch (const NotImplementedError&) {
        // An item that cannot be read; the frame may be partly written.
    } catch (const Error&) {
        // Refused before anything was written.
        for (unsigned i = 0; i < MAX_DATA_WORDS; ++i) REQUIRE(frame->safe_data()[i] == 0x5A5A);
    }
    check_canaries(*frame);
    if (!sent) return;
    REQUIRE(fits(map));
    std::vector<std::uint64_t> expected;
    if (!tampered) {
        std::uint8_t covered[128] = {};
        for (const auto& e : map._items()) {
            for (unsigned b = e->position_bits(); b < e->position_bits() + e->bits(); ++b) {
                covered[b] = 1;
            }
            const std::uint64_t got = bits_at(*frame, e->position_bits(), e->bits());
            std::uint64_t want = 0;
            if (e->item() && e->bits() > 0) {
                const auto mask =
                    e->bits() >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << e->bits()) - 1;
                want = static_cast<std::uint64_t>(e->item()->_read()) & mask;
            }
            REQUIRE(got == want);
            expected.push_back(got);
        }
        for (unsigned b = 0; b < 128; ++b) {
            if (!covered[b]) REQUIRE(bits_at(*frame, b, 1) == 0);
        }
    }

    // Read back: only safe-data bits may reach the items.
    std::vector<std::uint16_t> words(frame->safe_data().data(),
                                     frame->safe_data().data() + MAX_DATA_WORDS);
    try {
        map._get_data_from_frame(*frame);
    } catch (const Error&) {
        // An item that cannot be written (an output), or a value its data type refuses;
        // the items before it took their values, the frame stays as it was.
        check_canaries(*frame);
        for (unsigned i = 0; i < MAX_DATA_WORDS; ++i) REQUIRE(frame->safe_data()[i] == words[i]);
        return;
    }
    check_canaries(*frame);
    for (unsigned i = 0; i < MAX_DATA_WORDS; ++i) REQUIRE(frame->safe_data()[i] == words[i]);
    if (tampered) return;
    const auto& entries = map._items();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        if (!e->item() || e->bits() == 0) continue;
        const auto type = e->item()->data_type();
        const auto want = unserialize_value(type, static_cast<std::int64_t>(expected[i]));
        REQUIRE(same_value(type, e->item()->get(), want));
    }
}

// The alignment refusal of add leaves the alignment padding it appended, nothing else.
void check_alignment_refusal(const Snapshot& before, const DictionaryMap& map) {
    const auto& now = map._items();
    REQUIRE(now.size() <= before.entries.size() + 1);
    for (std::size_t i = 0; i < before.entries.size(); ++i) {
        REQUIRE(now[i] == before.entries[i]);
        REQUIRE(now[i]->bits() == before.widths_and_positions[i].first);
    }
    if (now.size() > before.entries.size()) REQUIRE(now.back()->is_padding());
}

// insert_in_best_position refused on the append path: paddings may have been merged, the
// trailing one dropped and an alignment padding added, but every item keeps its place.
void check_placement_refusal(const Snapshot& before, const DictionaryMap& map) {
    std::vector<std::pair<const DictionaryMappedItem*, std::uint8_t>> items_before, items_now;
    for (std::size_t i = 0; i < before.entries.size(); ++i) {
        if (before.entries[i]->item()) {
            items_before.emplace_back(before.entries[i].get(),
                                      before.widths_and_positions[i].second);
        }
    }
    for (const auto& e : map._items()) {
        if (e->item()) items_now.emplace_back(e.get(), e->position_bits());
    }
    REQUIRE(items_before == items_now);
}

enum Op : std::uint8_t {
    kAdd,
    kAddByKey,
    kAddPadding,
    kInsert,
    kInsertBefore,
    kInsertAfter,
    kRemoveEntry,
    kRemoveItem,
    kMoveUp,
    kMoveDown,
    kSetBits,
    kBestPosition,
    kComplete,
    kMerge,
    kTrim,
    kPaddingEntry,
    kPaddingItem,
    kLock,
    kClear,
    kCopy,
    kTransfer,
    kTamper,
    kIndex,
    kText,
    kOpCount
};

bool checks_lock(std::uint8_t op) {
    switch (op) {
        case kAdd:
        case kAddByKey:
        case kAddPadding:
        case kInsert:
        case kInsertBefore:
        case kInsertAfter:
        case kMoveUp:
        case kMoveDown:
        case kSetBits:
        case kBestPosition:
        case kComplete:
        case kMerge:
        case kTrim:
        case kClear:
            return true;
        default:
            return false;
    }
}

// FUZZ_MAP_TRACE=1 prints each step, to read a reproducer.
void trace(std::uint8_t op, int which, const DictionaryMap& map, const char* result) {
    static const bool on = std::getenv("FUZZ_MAP_TRACE") != nullptr;
    if (!on) return;
    std::fprintf(stderr, "op %d map %d -> %s |", op, which, result);
    for (const auto& e : map._items()) {
        std::fprintf(stderr, " %s:%d@%d", e->item() ? e->item()->name().c_str() : "pad", e->bits(),
                     e->position_bits());
    }
    std::fprintf(stderr, "\n");
}

void run_op(World& world, std::uint8_t op, Input& in) {
    const std::uint8_t which = in.byte() & 1;
    DictionaryMap& map = *world.maps[which];
    bool& tampered = world.tampered[which];
    const Snapshot before = snapshot(map);
    try {
        switch (op) {
            case kAdd: {
                auto item = world.item(in.byte());
                auto bits = in.optional_number();
                map.add(item, bits, in.optional_number());
                break;
            }
            case kAddByKey: {
                const auto key = static_cast<std::int64_t>(in.byte() % 14);
                map.add_by_key(key, in.optional_number());
                break;
            }
            case kAddPadding:
                map.add_padding(in.number());
                break;
            case kInsert: {
                const auto index = static_cast<std::int8_t>(in.byte());
                auto item = world.item(in.byte());
                map.insert(index, item, in.optional_number());
                break;
            }
            case kInsertBefore:
            case kInsertAfter: {
                auto entry = world.entry(in.byte());
                auto item = world.item(in.byte());
                auto bits = in.optional_number();
                if (op == kInsertBefore) {
                    map.insert_before(*entry, item, bits);
                } else {
                    map.insert_after(*entry, item, bits);
                }
                break;
            }
            case kRemoveEntry:
                map.remove(*world.entry(in.byte()));
                break;
            case kRemoveItem: {
                auto item = world.item(in.byte());
                if (item) map.remove(*item);
                break;
            }
            case kMoveUp:
            case kMoveDown: {
                auto entry = world.entry(in.byte());
                const bool moved =
                    op == kMoveUp ? map.move_item_up(*entry) : map.move_item_down(*entry);
                if (moved) REQUIRE(snapshot(map).entries != before.entries);
                break;
            }
            case kSetBits: {
                auto entry = world.entry(in.byte());
                const auto bits = in.number();
                map.set_bits(*entry, bits);
                REQUIRE(entry->bits() == bits);
                break;
            }
            case kBestPosition: {
                auto item = world.item(in.byte());
                if (!item) item = world.stray;
                const auto align = in.number();
                auto placed = map.insert_in_best_position(item, align);
                REQUIRE(placed->item() == item && map.contains(*placed));
                if (!tampered) REQUIRE(placed->position_bits() % align == 0);
                break;
            }
            case kComplete:
                map.complete_with_padding();
                break;
            case kMerge:
                map.merge_adjacent_paddings();
                break;
            case kTrim:
                map.trim_map();
                break;
            case kPaddingEntry:
                map.transform_to_padding(*world.entry(in.byte()));
                break;
            case kPaddingItem: {
                auto item = world.item(in.byte());
                if (item) map.transform_to_padding(*item);
                break;
            }
            case kLock:
                map._lock(in.byte() & 1);
                break;
            case kClear:
                map.clear();
                REQUIRE(map.size() == 0);
                break;
            case kCopy: {
                auto copy = map.copy();
                REQUIRE(copy->size() == map.size() && copy->locked() == map.locked());
                for (std::size_t i = 0; i < map.size(); ++i) {
                    REQUIRE(copy->_items()[i] != map._items()[i]);
                    REQUIRE(copy->_items()[i]->item() == map._items()[i]->item());
                    REQUIRE(copy->_items()[i]->bits() == map._items()[i]->bits());
                }
                if (in.byte() & 1) {
                    world.maps[which] = copy;  // carry on with the copy
                    tampered = tampered || !contiguous(*copy);
                    return;
                }
                break;
            }
            case kTransfer:
                check_transfer(map, tampered, in);
                break;
            case kTamper: {
                if (map.size() == 0) break;
                auto& entry = *map._items()[in.byte() % map.size()];
                const auto value = in.number();
                if (in.byte() & 1) {
                    entry._set_bits(value);
                } else {
                    entry._set_position_bits(value);
                }
                tampered = true;
                break;
            }
            case kIndex: {
                const auto index = static_cast<std::int8_t>(in.byte());
                const auto& entry = map.at(index);
                const auto n = static_cast<std::int64_t>(map.size());
                REQUIRE(entry ==
                        map._items()[static_cast<std::size_t>(index < 0 ? index + n : index)]);
                break;
            }
            case kText: {
                const auto text = map.get_text_representation(in.number());
                REQUIRE(!text.empty());
                break;
            }
            default:
                break;
        }
    } catch (const IndexError& e) {
        trace(op, which, map, e.what());
        const bool alignment = (op == kAdd || op == kAddByKey || op == kBestPosition) &&
                               std::string(e.what()) == kAlignmentMessage;
        if (alignment && op == kBestPosition) {
            check_placement_refusal(before, map);
        } else if (alignment) {
            check_alignment_refusal(before, map);
        } else {
            REQUIRE(snapshot(map) == before);
        }
        if (!tampered) check_layout(map);
        return;
    } catch (const Error& e) {
        trace(op, which, map, e.what());
        // After the entries were tampered with, remove and transform_to_padding change the
        // list before the position recalculation refuses (a known fault, pinned in the
        // Python misuse tests); every other refusal must leave the map as it was.
        const bool known = tampered && (op == kRemoveEntry || op == kRemoveItem ||
                                        op == kPaddingEntry || op == kPaddingItem);
        if (op != kTransfer && op != kTamper && !known) REQUIRE(snapshot(map) == before);
        if (e.kind() == ErrorKind::MappingLocked) REQUIRE(before.locked && checks_lock(op));
        if (!tampered) check_layout(map);
        return;
    }
    trace(op, which, map, "ok");
    // Accepted: a locked map must not have taken an edit.
    REQUIRE(!(before.locked && checks_lock(op)));
    if (!tampered) check_layout(map);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    World world(in.byte());
    for (int steps = 0; steps < 64 && !in.empty(); ++steps) {
        run_op(world, in.byte() % kOpCount, in);
    }
    for (int which = 0; which < 2; ++which) {
        if (!world.tampered[which]) check_layout(*world.maps[which]);
        Input tail(data, size);
        check_transfer(*world.maps[which], world.tampered[which], tail);
    }
    return 0;
}
