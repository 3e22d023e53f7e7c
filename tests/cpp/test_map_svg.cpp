#include "mapping/map_svg.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "map_test_items.hpp"
#include "mapping/dictionary_map.hpp"

using namespace velmora;
using namespace velmora::testing;

namespace {

using G = MapSvgGeometry;

// (word, first bit, bits, x, width) of every segment rect, in document order.
struct Segment {
    int word, first, bits, x, width;
    bool operator==(const Segment&) const = default;
};

void PrintTo(const Segment& s, std::ostream* os) {
    *os << "{word " << s.word << ", first " << s.first << ", bits " << s.bits << ", x " << s.x
        << ", width " << s.width << "}";
}

std::vector<Segment> segments(const std::string& svg) {
    static const std::regex rect(
        "<rect class=\"segment\" data-word=\"(\\d+)\" data-first-bit=\"(\\d+)\" "
        "data-bits=\"(\\d+)\" x=\"(\\d+)\" y=\"\\d+\" width=\"(\\d+)\"");
    std::vector<Segment> result;
    for (std::sregex_iterator it(svg.begin(), svg.end(), rect), end; it != end; ++it) {
        const auto& m = *it;
        result.push_back(
            {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5])});
    }
    return result;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

Segment seg(int word, int first, int bits) {
    return {word, first, bits, G::kLeft + first * G::kCellWidth, bits * G::kCellWidth};
}

struct LayoutCase {
    const char* name;
    std::vector<int> widths;  // > 0 an item of that many bits, < 0 a padding
    int bits_per_row;
    int rows;
    std::vector<Segment> expected;
    int hatched;  // padding segments
};

class MapSvgLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(MapSvgLayout, SegmentsFollowTheBitLayout) {
    const LayoutCase& c = GetParam();
    std::vector<DictionaryItemPtr> items;
    for (std::size_t i = 0; i < c.widths.size(); ++i) {
        items.push_back(output(static_cast<std::int64_t>(i), ("item" + std::to_string(i)).c_str(),
                               DataType::UINT32));
    }
    DictionaryMap map(std::make_shared<Dictionary>(items), {ItemKind::Output});
    for (std::size_t i = 0; i < c.widths.size(); ++i) {
        const int w = c.widths[i];
        if (w > 0) {
            map.insert(static_cast<std::int64_t>(i), items[i], w);
        } else {
            map.insert(static_cast<std::int64_t>(i), nullptr, -w);
        }
    }
    const std::string svg = map_to_svg(map);
    EXPECT_EQ(segments(svg), c.expected);
    EXPECT_NE(svg.find("data-bits-per-row=\"" + std::to_string(c.bits_per_row) + "\""),
              std::string::npos);
    EXPECT_EQ(count(svg, "<g class=\"word\""), c.rows);
    EXPECT_EQ(count(svg, "class=\"bit-number\""), c.bits_per_row);
    EXPECT_EQ(count(svg, "<g class=\"entry item\""),
              static_cast<int>(
                  std::count_if(c.widths.begin(), c.widths.end(), [](int w) { return w > 0; })));
    EXPECT_EQ(count(svg, "fill=\"url(#velmora-padding-hatch)\""), c.hatched);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MapSvgLayout,
    ::testing::Values(
        LayoutCase{"empty", {}, 8, 1, {}, 0},
        LayoutCase{"one_byte", {3, -5}, 8, 1, {seg(0, 0, 3), seg(0, 3, 5)}, 1},
        LayoutCase{"nine_bits", {9}, 16, 1, {seg(0, 0, 9)}, 0},
        LayoutCase{"straddles_words",
                   {14, 4, -14},
                   16,
                   2,
                   {seg(0, 0, 14), seg(0, 14, 2), seg(1, 0, 2), seg(1, 2, 14)},
                   1},
        LayoutCase{"spans_three_words",
                   {8, 32, -8},
                   16,
                   3,
                   {seg(0, 0, 8), seg(0, 8, 8), seg(1, 0, 16), seg(2, 0, 8), seg(2, 8, 8)},
                   1},
        LayoutCase{"padding_straddles",
                   {4, -24, 4},
                   16,
                   2,
                   {seg(0, 0, 4), seg(0, 4, 12), seg(1, 0, 12), seg(1, 12, 4)},
                   2},
        LayoutCase{"partial_last_word", {16, 1}, 16, 2, {seg(0, 0, 16), seg(1, 0, 1)}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

std::string single_item_svg(const std::string& name, int bits) {
    auto item = std::make_shared<DictionaryItemOutput>(1, name, DataType::UINT32);
    DictionaryMap map(std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{item}),
                      {ItemKind::Output});
    map.add(item, bits);
    return map_to_svg(map);
}

TEST(MapSvg, NamesAreEscapedInAttributesTitlesAndLabels) {
    const std::string svg = single_item_svg("<&>\"'", 16);
    EXPECT_NE(svg.find("data-name=\"&lt;&amp;&gt;&quot;&apos;\""), std::string::npos);
    EXPECT_NE(svg.find("<title>&lt;&amp;&gt;&quot;&apos;: bits 0..15 (16 bits)</title>"),
              std::string::npos);
    EXPECT_NE(svg.find(">&lt;&amp;&gt;&quot;&apos;</text>"), std::string::npos);
    EXPECT_EQ(svg.find("<&>"), std::string::npos);
}

TEST(MapSvg, CharactersXmlCannotCarryAreReplaced) {
    // A NUL, a control character, a truncated sequence and an encoded surrogate.
    const std::string name = std::string("a\0b\x01", 4) + "\xC3" + "c\xED\xA0\x80";
    EXPECT_EQ(xml_escape(name),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\xEF\xBF\xBD"
              "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(xml_escape("tab\there\nline"), "tab&#9;here&#10;line");
    EXPECT_EQ(xml_escape("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
              "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // é € and an emoji pass through
}

TEST(MapSvg, LongLabelsAreCutAtACodePointWithTheFullNameInTheTitle) {
    // 2 bits = 80 pixels: room for 10 characters at the estimated width.
    const std::string name =
        "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
        "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";  // twelve é
    const std::string svg = single_item_svg(name, 2);
    std::string nine;
    for (int i = 0; i < 9; ++i) nine += "\xC3\xA9";
    EXPECT_NE(svg.find(">" + nine + "\xE2\x80\xA6</text>"), std::string::npos);
    EXPECT_NE(svg.find("<title>" + name + ": bits 0..1 (2 bits)</title>"), std::string::npos);
}

TEST(MapSvg, ZeroBitEntryIsListedWithoutSegments) {
    const std::string svg = single_item_svg("empty", 0);
    EXPECT_NE(svg.find("data-name=\"empty\" data-position-bits=\"0\" data-bits=\"0\""),
              std::string::npos);
    EXPECT_TRUE(segments(svg).empty());
    EXPECT_NE(svg.find("0 bits at bit 0"), std::string::npos);
}

TEST(MapSvg, DocumentIsOneSvgElementWithBalancedGroups) {
    const std::string svg = single_item_svg("speed", 16);
    EXPECT_EQ(svg.rfind("<svg ", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_EQ(count(svg, "<g "), count(svg, "</g>"));
    EXPECT_EQ(count(svg, "<text "), count(svg, "</text>"));
}

}  // namespace
