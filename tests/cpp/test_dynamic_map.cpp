#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "frame/frame.hpp"
#include "mapping/dynamic_map.hpp"
#include "protocol/errors.hpp"

using namespace velmora;

namespace {

using Bytes = std::array<std::uint8_t, MAX_DATA_BYTES>;

Bytes safe_data(const FSOEFrame& frame) {
    Bytes out{};
    frame.get_safe_data_bytes(out.data());
    return out;
}

DynamicMappableItemPtr u16(std::int64_t v) {
    return std::make_shared<DynamicMappableItem>(Value{v}, DataType::UINT16);
}

// The stream of bytes that `map` sends with `per_frame` valid bytes, one vector per frame.
std::vector<std::vector<std::uint8_t>> send_all(FSOEDynamicMap& map, std::uint16_t per_frame,
                                                int frames) {
    FSOEFrame frame;
    frame.set_safe_data_size_bytes(MAX_DATA_BYTES);
    std::vector<std::vector<std::uint8_t>> result;
    for (int i = 0; i < frames; ++i) {
        map.set_data_to_frame(frame, per_frame);
        Bytes data = safe_data(frame);
        result.emplace_back(data.begin(), data.begin() + per_frame);
        for (std::size_t k = per_frame; k < MAX_DATA_BYTES; ++k) EXPECT_EQ(data[k], 0);
    }
    return result;
}

TEST(DynamicMappableItem, RawFormAndRange) {
    DynamicMappableItem item(Value{std::int64_t{-2}}, DataType::INT16);
    EXPECT_EQ(item._raw_value(), 0xFFFEu);
    EXPECT_EQ(item.get(), Value{std::int64_t{-2}});
    EXPECT_EQ(item.n_bytes(), 2);
    EXPECT_THROW(item.set(Value{std::int64_t{40000}}), ValueError);
    EXPECT_EQ(item._raw_value(), 0xFFFEu);
    EXPECT_THROW(DynamicMappableItem(Value{std::int64_t{-1}}, DataType::UINT32), ValueError);
}

TEST(FSOEDynamicMap, OneBytePerFrame) {
    FSOEDynamicMap map;
    map.add(u16(0xA1A0));
    map.add(u16(0xB1B0));
    EXPECT_EQ(map.total_bytes(), 4u);
    auto frames = send_all(map, 1, 6);
    const std::uint8_t expected[6] = {0xA0, 0xA1, 0xB0, 0xB1, 0, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(frames[i][0], expected[i]) << i;
    EXPECT_FALSE(map.pending());
    EXPECT_EQ(map.items_processed(), 2u);
    EXPECT_EQ(map.bytes_processed(), 4u);
}

TEST(FSOEDynamicMap, ThreeBytesPerFrameContinuesMidItem) {
    FSOEDynamicMap map;
    map.add(u16(0xA1A0));
    map.add(u16(0xB1B0));
    FSOEFrame frame;
    frame.set_safe_data_size_bytes(6);
    map.set_data_to_frame(frame, 3);
    Bytes data = safe_data(frame);
    EXPECT_EQ(data[0], 0xA0);
    EXPECT_EQ(data[1], 0xA1);
    EXPECT_EQ(data[2], 0xB0);
    EXPECT_EQ(data[3], 0);
    EXPECT_EQ(map.current_processed_item(), 1u);
    EXPECT_EQ(map.current_processed_item_byte(), 1u);
    map.set_data_to_frame(frame, 3);
    data = safe_data(frame);
    EXPECT_EQ(data[0], 0xB1);
    EXPECT_EQ(data[1], 0);
    EXPECT_FALSE(map.pending());
}

TEST(FSOEDynamicMap, ItemEndingWithTheFrameAdvancesAtOnce) {
    FSOEDynamicMap map;
    map.add(u16(0x1234));
    FSOEFrame frame;
    frame.set_safe_data_size_bytes(2);
    map.set_data_to_frame(frame, 2);
    EXPECT_EQ(map.items_processed(), 1u);
    EXPECT_EQ(map.current_processed_item_byte(), 0u);
    EXPECT_FALSE(map.pending());
}

TEST(FSOEDynamicMap, EmptyOrOversizedSendsZerosAndReceivesNothing) {
    FSOEFrame frame;
    frame.set_safe_data_size_bytes(4);
    frame.set_safe_data_bytes(std::vector<std::uint8_t>{9, 9, 9, 9});
    FSOEDynamicMap empty;
    empty.set_data_to_frame(frame, 2);
    EXPECT_EQ(safe_data(frame), Bytes{});
    empty.get_data_from_frame(frame, 2);
    EXPECT_EQ(empty.bytes_processed(), 0u);

    FSOEDynamicMap map;
    auto item = u16(0x1234);
    map.add(item);
    frame.set_safe_data_bytes(std::vector<std::uint8_t>{9, 9, 9, 9});
    map.set_data_to_frame(frame, 5);  // more than the frame holds
    EXPECT_EQ(safe_data(frame), Bytes{});
    EXPECT_EQ(map.bytes_processed(), 0u);
    map.get_data_from_frame(frame, 5);
    EXPECT_EQ(item->_raw_value(), 0x1234u);
}

TEST(FSOEDynamicMap, ReceivesLeastSignificantByteFirst) {
    FSOEDynamicMap map;
    auto item = std::make_shared<DynamicMappableItem>(Value{std::int64_t{0}}, DataType::UINT32);
    map.add(item);
    FSOEFrame frame;
    frame.set_safe_data_size_bytes(2);
    frame.set_safe_data_bytes(std::vector<std::uint8_t>{0x01, 0x02});
    map.get_data_from_frame(frame, 2);
    frame.set_safe_data_bytes(std::vector<std::uint8_t>{0x03, 0x04});
    map.get_data_from_frame(frame, 2);
    EXPECT_EQ(item->_raw_value(), 0x04030201u);
    EXPECT_FALSE(map.pending());
}

TEST(FSOEDynamicMap, LaterItemsAreClearedWhenReached) {
    FSOEDynamicMap map;
    auto a = std::make_shared<DynamicMappableItem>(Value{std::int64_t{0xFF}}, DataType::UINT8);
    auto b = u16(0xFFFF);
    map.add(a);
    map.add(b);
    FSOEFrame frame;
    frame.set_safe_data_size_bytes(2);
    frame.set_safe_data_bytes(std::vector<std::uint8_t>{0x11, 0x22});
    map.get_data_from_frame(frame, 2);
    EXPECT_EQ(a->_raw_value(), 0x11u);
    EXPECT_EQ(b->_raw_value(), 0x22u);  // high byte cleared, not yet received
    EXPECT_EQ(map.current_processed_item_byte(), 1u);
}

TEST(FSOEDynamicMap, SendThenReceiveRoundTrip) {
    // Whatever the split, the receiver ends with the sender's values.
    for (std::uint16_t per_frame = 1; per_frame <= 8; ++per_frame) {
        FSOEDynamicMap sent, received;
        const std::vector<std::pair<std::int64_t, DataType>> values{{0x12, DataType::UINT8},
                                                                    {-300, DataType::INT16},
                                                                    {0x89ABCDEF, DataType::UINT32},
                                                                    {1, DataType::BOOL},
                                                                    {-5, DataType::INT32}};
        for (auto [v, t] : values) {
            sent.add(std::make_shared<DynamicMappableItem>(Value{v}, t));
            received.add(std::make_shared<DynamicMappableItem>(Value{std::int64_t{0}}, t));
        }
        FSOEFrame frame;
        frame.set_safe_data_size_bytes(8);
        for (int guard = 0; sent.pending() && guard < 32; ++guard) {
            sent.set_data_to_frame(frame, per_frame);
            received.get_data_from_frame(frame, per_frame);
            EXPECT_TRUE(received.is_safedata_correct(sent)) << per_frame;
        }
        EXPECT_FALSE(received.pending()) << per_frame;
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(received._items()[i]->_raw_value(), sent._items()[i]->_raw_value());
        }
    }
}

TEST(FSOEDynamicMap, ComparisonMasksAHalfReceivedItem) {
    FSOEDynamicMap received, expected;
    received.add(u16(0));
    expected.add(u16(0x7734));
    FSOEFrame frame;
    frame.set_safe_data_size_bytes(1);
    frame.set_safe_data_bytes(std::vector<std::uint8_t>{0x34});
    received.get_data_from_frame(frame, 1);
    EXPECT_TRUE(received.is_safedata_correct(expected));
    expected._items()[0]->set_raw_value(0x7735);
    EXPECT_FALSE(received.is_safedata_correct(expected));

    FSOEDynamicMap shorter;
    EXPECT_THROW(received.is_safedata_correct(shorter), IndexError);
}

TEST(FSOEDynamicMap, ClearAndAddBookkeeping) {
    FSOEDynamicMap map;
    map.add(u16(1));
    FSOEFrame frame;
    frame.set_safe_data_size_bytes(1);
    map.set_data_to_frame(frame, 1);
    map.clear();
    EXPECT_EQ(map.total_items(), 0u);
    EXPECT_EQ(map.bytes_processed(), 0u);
    EXPECT_EQ(map.current_processed_item_byte(), 0u);
    map.add(std::make_shared<DynamicMappableItem>(Value{0.0}, DataType::FLOAT));
    EXPECT_EQ(map.total_bytes(), 4u);
    EXPECT_EQ(map.pending_items(), 1u);
    EXPECT_THROW(map.add(nullptr), TypeError);
    // A list replaced by a shorter one never yields a negative count.
    map.set_data_to_frame(frame, 1);
    map.set_items({});
    EXPECT_EQ(map.pending_items(), 0u);
}

}  // namespace
