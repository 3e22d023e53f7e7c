// Nodes, sessions and application parameters.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>

#include "engine/application_parameter.hpp"
#include "engine/master_handler.hpp"
#include "engine/node.hpp"
#include "protocol/errors.hpp"

namespace velmora {
namespace {

TEST(ApplicationParameter, IsClaimedOnceAndFollowsItsHandlersRunningFlag) {
    ApplicationParameter p("p", Value{std::int64_t{5}}, 2);
    auto running = std::make_shared<std::atomic<bool>>(false);
    p._set_use_by_master(running);
    try {
        p._set_use_by_master(running);
        FAIL() << "claimed twice";
    } catch (const PermissionError& e) {
        EXPECT_STREQ(e.what(), "Application parameter already used by a master");
    }
    p.set(Value{std::int64_t{6}});
    running->store(true);
    EXPECT_THROW(p.set(Value{std::int64_t{7}}), FSOEMasterRunningException);
    EXPECT_EQ(p._raw_value(), 6u);
    running->store(false);
    p.set(Value{std::int64_t{8}});
    EXPECT_EQ(p._raw_value(), 8u);
}

TEST(Session, StartsWithTheGivenValuesAndZeros) {
    Session s(7, 9, 100);
    EXPECT_EQ(u16_value(*s.slave_address), 7);
    EXPECT_EQ(u16_value(*s.connection_id), 9);
    EXPECT_EQ(u16_value(*s.watchdog_ms), 100);
    for (const auto& item :
         {s.session_id, s.error_id, s.comm_parameter_size_bytes, s.app_parameter_size_bytes}) {
        EXPECT_EQ(item->_raw_value(), 0u);
        EXPECT_EQ(item->data_type(), DataType::UINT16);
    }
    s.set_error(4);
    EXPECT_EQ(s.error_id->_raw_value(), 4u);
}

class NodeTest : public ::testing::Test {
  protected:
    std::shared_ptr<DictionaryItemOutput> out8 =
        std::make_shared<DictionaryItemOutput>(1, "o8", DataType::UINT8);
    std::shared_ptr<DictionaryItemOutput> out32 =
        std::make_shared<DictionaryItemOutput>(2, "o32", DataType::UINT32);
    DictionaryPtr dictionary =
        std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{out8, out32});

    std::unique_ptr<Node> node(bool editable) {
        return std::make_unique<Node>(
            1, 2, 3, std::vector<DynamicMappableItemPtr>{}, dictionary,
            std::make_shared<AcceptedItemTypes>(std::vector<ItemKind>{ItemKind::Output}), editable);
    }
};

TEST_F(NodeTest, StartLocksAndSizesStopUnlocks) {
    auto n = node(true);
    EXPECT_FALSE(n->dictionary_map()->locked());
    n->start();
    EXPECT_TRUE(n->dictionary_map()->locked());
    EXPECT_EQ(n->frame().safe_data_size_bytes(), 0);  // also an empty map
    n->stop();
    n->dictionary_map()->add(out8);
    n->dictionary_map()->add(out32);
    n->start();
    EXPECT_EQ(n->frame().safe_data_size_bytes(), 5);
    n->stop();
    EXPECT_FALSE(n->dictionary_map()->locked());
}

TEST_F(NodeTest, NotEditableStaysLocked) {
    auto n = node(false);
    EXPECT_TRUE(n->dictionary_map()->locked());
    n->start();
    n->stop();
    EXPECT_TRUE(n->dictionary_map()->locked());
}

TEST_F(NodeTest, TooWideMapIsRefusedBeforeLocking) {
    auto n = node(true);
    for (int i = 0; i < 5; ++i) n->dictionary_map()->add(nullptr, 32);
    EXPECT_THROW(n->start(), ValueError);
    EXPECT_FALSE(n->dictionary_map()->locked());
    EXPECT_EQ(n->frame().safe_data_size_bytes(), 0);
}

TEST(U16FromReal, TruncatesTowardZeroAndRefusesTheRest) {
    EXPECT_EQ(u16_from_real(99.9), 99);
    EXPECT_EQ(u16_from_real(-0.5), 0);
    EXPECT_EQ(u16_from_real(65535.99), 65535);
    EXPECT_THROW(u16_from_real(65536.0), OverflowError);
    EXPECT_THROW(u16_from_real(-1.0), OverflowError);
    EXPECT_THROW(u16_from_real(std::numeric_limits<double>::infinity()), OverflowError);
    EXPECT_THROW(u16_from_real(std::nan("")), ValueError);
}

}  // namespace
}  // namespace velmora
