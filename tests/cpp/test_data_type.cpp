#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "model/data_type.hpp"
#include "protocol/errors.hpp"

using namespace velmora;

namespace {

struct Widths {
    DataType type;
    int bits, bytes;
    bool is_integer, is_signed;
};

class DataTypeWidths : public ::testing::TestWithParam<Widths> {};

TEST_P(DataTypeWidths, Attributes) {
    const Widths& w = GetParam();
    EXPECT_EQ(data_type_bits(w.type), w.bits);
    EXPECT_EQ(data_type_bytes(w.type), w.bytes);
    EXPECT_EQ(data_type_is_integer(w.type), w.is_integer);
    EXPECT_EQ(data_type_is_signed(w.type), w.is_signed);
    if (!w.is_integer) {
        EXPECT_THROW(data_type_min_value(w.type), NotImplementedError);
        EXPECT_THROW(data_type_max_value(w.type), NotImplementedError);
        return;
    }
    const std::int64_t max =
        w.is_signed ? (std::int64_t{1} << (w.bits - 1)) - 1 : (std::int64_t{1} << w.bits) - 1;
    EXPECT_EQ(data_type_max_value(w.type), max);
    EXPECT_EQ(data_type_min_value(w.type), w.is_signed ? -max - 1 : 0);
    // The whole range round-trips at its ends, and one step beyond fails without truncation.
    for (std::int64_t v : {data_type_min_value(w.type), max}) {
        EXPECT_TRUE(
            values_equal(unserialize_value(w.type, serialize_value(w.type, Value{v})), Value{v}));
    }
    EXPECT_THROW(serialize_value(w.type, Value{max + 1}), ValueError);
    EXPECT_THROW(serialize_value(w.type, Value{data_type_min_value(w.type) - 1}), ValueError);
}

INSTANTIATE_TEST_SUITE_P(All, DataTypeWidths,
                         ::testing::Values(Widths{DataType::BOOL, 1, 1, false, false},
                                           Widths{DataType::FLOAT, 32, 4, false, false},
                                           Widths{DataType::UINT8, 8, 1, true, false},
                                           Widths{DataType::INT8, 8, 1, true, true},
                                           Widths{DataType::UINT16, 16, 2, true, false},
                                           Widths{DataType::INT16, 16, 2, true, true},
                                           Widths{DataType::UINT32, 32, 4, true, false},
                                           Widths{DataType::INT32, 32, 4, true, true}));

TEST(DataType, InitialValuesKeepTheirKind) {
    EXPECT_EQ(data_type_initial_value(DataType::BOOL), Value{false});
    EXPECT_EQ(data_type_initial_value(DataType::FLOAT), Value{0.0});
    EXPECT_EQ(data_type_initial_value(DataType::INT16), Value{std::int64_t{0}});
}

TEST(DataType, TwosComplement) {
    EXPECT_EQ(serialize_value(DataType::INT8, Value{std::int64_t{-128}}), 128u);
    EXPECT_EQ(serialize_value(DataType::INT8, Value{std::int64_t{-1}}), 255u);
    EXPECT_EQ(serialize_value(DataType::INT32, Value{std::int64_t{-1}}), 0xFFFFFFFFu);
    EXPECT_EQ(unserialize_value(DataType::INT16, 0xFFFE), Value{std::int64_t{-2}});
    EXPECT_EQ(unserialize_value(DataType::INT16, 0x7FFF), Value{std::int64_t{32767}});
}

TEST(DataType, UnserializeDoesNotMask) {
    EXPECT_EQ(unserialize_value(DataType::UINT8, 300), Value{std::int64_t{300}});
    // Bit 7 set, bits above pass through: 0x180 - 256.
    EXPECT_EQ(unserialize_value(DataType::INT8, 0x180), Value{std::int64_t{0x80}});
}

TEST(DataType, IntegerTypesRefuseRealNumbers) {
    EXPECT_THROW(serialize_value(DataType::UINT8, Value{1.5}), TypeError);
    EXPECT_THROW(serialize_value(DataType::UINT8, Value{2.0}), TypeError);
    // Range first: out of range is a value error even for a real number.
    EXPECT_THROW(serialize_value(DataType::UINT8, Value{300.5}), ValueError);
    EXPECT_EQ(serialize_value(DataType::UINT8, Value{true}), 1u);
}

TEST(DataType, BoolRules) {
    EXPECT_EQ(serialize_value(DataType::BOOL, Value{1.0}), 1u);
    EXPECT_EQ(serialize_value(DataType::BOOL, Value{std::int64_t{0}}), 0u);
    try {
        serialize_value(DataType::BOOL, Value{std::int64_t{2}});
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "Invalid value for BOOL type");
    }
    EXPECT_THROW(serialize_value(DataType::BOOL, Value{0.5}), ValueError);
    EXPECT_EQ(unserialize_value(DataType::BOOL, 5), Value{true});
    EXPECT_EQ(unserialize_value(DataType::BOOL, 0), Value{false});
}

TEST(DataType, FloatIsSinglePrecision) {
    EXPECT_EQ(serialize_value(DataType::FLOAT, Value{1.0}), 0x3F800000u);
    EXPECT_EQ(serialize_value(DataType::FLOAT, Value{std::int64_t{1}}), 0x3F800000u);
    const Value back =
        unserialize_value(DataType::FLOAT, serialize_value(DataType::FLOAT, Value{0.1}));
    EXPECT_EQ(back, Value{static_cast<double>(0.1F)});
    EXPECT_NE(back, Value{0.1});
    EXPECT_THROW(serialize_value(DataType::FLOAT, Value{1e39}), OverflowError);
    EXPECT_EQ(serialize_value(DataType::FLOAT, Value{std::numeric_limits<double>::infinity()}),
              0x7F800000u);
    EXPECT_THROW(unserialize_value(DataType::FLOAT, -1), OverflowError);
    EXPECT_THROW(unserialize_value(DataType::FLOAT, 0x100000000), OverflowError);
}

TEST(DataType, SerializeBytesIsLittleEndian) {
    std::uint8_t out[4] = {};
    ASSERT_EQ(serialize_bytes(DataType::INT16, Value{std::int64_t{-2}}, out), 2);
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(out[1], 0xFF);
    ASSERT_EQ(serialize_bytes(DataType::FLOAT, Value{1.0}, out), 4);
    const std::uint8_t one[4] = {0x00, 0x00, 0x80, 0x3F};
    EXPECT_EQ(std::memcmp(out, one, 4), 0);
    ASSERT_EQ(serialize_bytes(DataType::BOOL, Value{true}, out), 1);
    EXPECT_EQ(out[0], 1);
}

}  // namespace
