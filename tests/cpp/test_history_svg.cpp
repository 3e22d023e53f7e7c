#include "history/history_svg.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "protocol/errors.hpp"

using namespace velmora;

namespace {

using G = HistorySvgGeometry;
constexpr std::int64_t kMs = 1'000'000;

HistoryEvent event(std::uint64_t number, std::int64_t time_ns,
                   HistoryKind kind = HistoryKind::Reply, StateId before = StateId::Data,
                   StateId after = StateId::Data) {
    HistoryEvent e;
    e.number = number;
    e.time_ns = time_ns;
    e.kind = kind;
    e.state_before = before;
    e.state_after = after;
    return e;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

std::vector<std::string> captures(const std::string& svg, const std::string& pattern) {
    const std::regex re(pattern);
    std::vector<std::string> result;
    for (std::sregex_iterator it(svg.begin(), svg.end(), re), end; it != end; ++it) {
        result.push_back((*it)[1]);
    }
    return result;
}

// Every coordinate and every number in a path lies inside the picture.
void expect_coordinates_inside(const std::string& svg) {
    const double width = std::stod(captures(svg, "<svg[^>]* width=\"([^\"]+)\"").at(0));
    const double height = std::stod(captures(svg, "<svg[^>]* height=\"([^\"]+)\"").at(0));
    const auto inside = [&](const std::string& value, double limit) {
        const double v = std::stod(value);
        EXPECT_TRUE(std::isfinite(v) && v >= 0 && v <= limit) << value;
    };
    for (const auto& v : captures(svg, " (?:x|x1|x2|cx)=\"([^\"]*)\"")) inside(v, width);
    for (const auto& v : captures(svg, " (?:y|y1|y2|cy)=\"([^\"]*)\"")) inside(v, height);
    for (const auto& v : captures(svg, " width=\"([^\"]*)\"")) inside(v, width);
    for (const auto& d : captures(svg, " d=\"([^\"]*)\"")) {
        for (const auto& v : captures(d, "(-?[0-9][0-9.]*)")) inside(v, std::max(width, height));
    }
    EXPECT_FALSE(std::regex_search(svg, std::regex("[\" MHVv]-?(nan|inf)")));
}

struct TimeCase {
    const char* name;
    std::vector<std::int64_t> times;
    bool in_order;
};

class HistorySvgTimes : public ::testing::TestWithParam<TimeCase> {};

TEST_P(HistorySvgTimes, OneMarkerPerEventInTimeOrderWithFiniteCoordinates) {
    const TimeCase& c = GetParam();
    std::vector<HistoryEvent> events;
    for (std::size_t i = 0; i < c.times.size(); ++i) {
        const auto kind = i % 3 == 2 ? HistoryKind::Expiry : HistoryKind::Reply;
        events.push_back(event(i, c.times[i], kind, StateId::Session, StateId::Connection));
    }
    const std::string svg = history_to_svg(events);
    EXPECT_EQ(count(svg, "<g class=\"event "), static_cast<int>(events.size()));
    EXPECT_NE(svg.find(std::string("data-in-time-order=\"") + (c.in_order ? "true" : "false")),
              std::string::npos);
    // Markers follow time; ties keep the list order.
    std::vector<std::int64_t> times;
    for (const auto& t : captures(svg, "<g class=\"event [^>]* data-time-ns=\"(-?\\d+)\"")) {
        times.push_back(std::stoll(t));
    }
    ASSERT_EQ(times.size(), c.times.size());
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    const auto ticks = captures(svg, "<g class=\"tick\" data-ns=\"(\\d+)\"");
    EXPECT_GE(ticks.size(), 2U);
    EXPECT_LE(ticks.size(), static_cast<std::size_t>(G::kPlotWidth / 56 + 1));
    expect_coordinates_inside(svg);
}

constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Spans, HistorySvgTimes,
    ::testing::Values(TimeCase{"one_event", {5 * kMs}, true},
                      TimeCase{"all_at_once", {7, 7, 7, 7}, true},
                      TimeCase{"one_nanosecond", {0, 1}, true},
                      TimeCase{"regular", {0, 10 * kMs, 20 * kMs, 30 * kMs, 40 * kMs}, true},
                      TimeCase{"days", {0, 3 * 86'400'000 * kMs, 5 * 86'400'000 * kMs}, true},
                      TimeCase{"backwards", {40 * kMs, 30 * kMs, 20 * kMs, 0}, false},
                      TimeCase{"shuffled", {3, -9, 12, 0, -9}, false},
                      TimeCase{"whole_clock_range", {kMax, kMin, 0}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HistorySvg, EmptyListSaysNoEvents) {
    const std::string svg = history_to_svg({});
    EXPECT_NE(svg.find(">No events</text>"), std::string::npos);
    EXPECT_NE(svg.find("data-events=\"0\""), std::string::npos);
    EXPECT_EQ(count(svg, "<g class=\"event"), 0);
    EXPECT_LT(svg.size(), 1000U);
}

TEST(HistorySvg, FiveLanesDataOnTop) {
    const std::string svg = history_to_svg({event(0, 0)});
    EXPECT_EQ(captures(svg, "<text class=\"lane-label\"[^>]*>(\\w+)</text>"),
              (std::vector<std::string>{"Data", "Parameter", "Connection", "Session", "Reset"}));
    const auto ys = captures(svg, "<rect class=\"lane-frame\" x=\"\\d+\" y=\"(\\d+)\"");
    ASSERT_EQ(ys.size(), 5U);
    for (std::size_t i = 1; i < ys.size(); ++i) {
        EXPECT_EQ(std::stoi(ys[i]) - std::stoi(ys[i - 1]), G::kLaneHeight);
    }
}

// The step line enters each event at its state_before and leaves at its state_after, and a
// band per run of a state: a connection that rises to Data and falls back to Reset.
TEST(HistorySvg, BandsFollowTheStates) {
    const std::vector<HistoryEvent> events = {
        event(0, 0, HistoryKind::Start, StateId::Reset, StateId::Session),
        event(1, 1 * kMs, HistoryKind::Reply, StateId::Session, StateId::Connection),
        event(2, 2 * kMs, HistoryKind::Reply, StateId::Connection, StateId::Parameter),
        event(3, 3 * kMs, HistoryKind::Reply, StateId::Parameter, StateId::Data),
        event(4, 4 * kMs, HistoryKind::Reply, StateId::Data, StateId::Data),
        event(5, 5 * kMs, HistoryKind::Expiry, StateId::Data, StateId::Reset),
    };
    const std::string svg = history_to_svg(events);
    EXPECT_EQ(captures(svg, "<rect class=\"band\" data-state=\"(\\w+)\""),
              (std::vector<std::string>{"StateReset", "StateSession", "StateConnection",
                                        "StateParameter", "StateData", "StateReset"}));
    // Reply 4 stays in Data: no vertical move at its x.
    const std::string path = captures(svg, "class=\"state-line\"[^>]* d=\"([^\"]+)\"").at(0);
    EXPECT_EQ(count(path, "V"), 5);
}

TEST(HistorySvg, HostileTextIsEscapedEverywhere) {
    auto e = event(0, 0, HistoryKind::Reply, StateId::Data, StateId::Reset);
    e.transition = "T<1>\"&'</title><script>";
    e.error = std::string("bad \x01\xff\xc3 byte\n]]>");
    const std::string svg = history_to_svg({e});
    EXPECT_EQ(svg.find("<script>"), std::string::npos);
    EXPECT_EQ(svg.find('\x01'), std::string::npos);
    EXPECT_EQ(svg.find("]]>"), std::string::npos);
    EXPECT_NE(svg.find("data-transition=\"T&lt;1&gt;&quot;&amp;&apos;&lt;/title&gt;"),
              std::string::npos);
    EXPECT_NE(svg.find("bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD byte&#10;]]&gt;"),
              std::string::npos);
    EXPECT_EQ(count(svg, "<title>"), 2);  // the document's and the event's
    EXPECT_EQ(count(svg, "class=\"error-label\""), 1);
}

// A long label is cut at a character boundary, never inside a UTF-8 sequence.
TEST(HistorySvg, LongTransitionLabelIsCutAtACharacter) {
    auto e = event(0, 0);
    e.transition.emplace();
    for (int i = 0; i < 40; ++i) e.transition->append("\xC3\xA9");  // é
    const std::string svg = history_to_svg({e});
    const auto label = captures(svg, "class=\"error-label\"[^>]*>([^<]*)</text>").at(0);
    EXPECT_EQ(label.size(), G::kLabelChars * 2 + 3U);
    EXPECT_EQ(label.substr(label.size() - 3), "\u2026");
}

TEST(HistorySvg, EventOutOfRangeIsAValueError) {
    auto bad_state = event(3, 0);
    bad_state.state_after = static_cast<StateId>(9);
    EXPECT_THROW(history_to_svg({event(0, 0), bad_state}), ValueError);
    auto bad_kind = event(4, 0);
    bad_kind.kind = static_cast<HistoryKind>(kHistoryKindCount);
    EXPECT_THROW(history_to_svg({bad_kind}), ValueError);
}

TEST(HistorySvg, MarksOnePerKindAndSpot) {
    const std::vector<HistoryEvent> events = {
        event(0, 0, HistoryKind::Start), event(1, 50 * kMs, HistoryKind::Expiry),
        event(2, 50 * kMs, HistoryKind::Expiry), event(3, 80 * kMs, HistoryKind::Stop),
        event(4, 100 * kMs, HistoryKind::Reset)};
    const std::string svg = history_to_svg(events);
    EXPECT_EQ(captures(svg, "<g class=\"mark (\\w+)\""),
              (std::vector<std::string>{"start", "expiry", "stop", "reset"}));
    EXPECT_NE(svg.find("data-number=\"1\" data-count=\"2\""), std::string::npos);
    EXPECT_EQ(captures(svg, "class=\"mark-label\"[^>]*>([^<]*)<"),
              (std::vector<std::string>{"start", "expiry \u00d72", "stop", "reset"}));
}

struct GapCase {
    const char* name;
    std::vector<std::int64_t> reply_ms;
    std::vector<std::string> gap_classes;  // of the gaps drawn, in time order
    std::vector<std::string> labels;
};

class HistorySvgGaps : public ::testing::TestWithParam<GapCase> {};

TEST_P(HistorySvgGaps, UnusuallyLongGapsStandOut) {
    const GapCase& c = GetParam();
    std::vector<HistoryEvent> events;
    for (std::size_t i = 0; i < c.reply_ms.size(); ++i) {
        events.push_back(event(i, c.reply_ms[i] * kMs));
    }
    events.push_back(event(99, 7 * kMs, HistoryKind::Expiry));  // not a reply: no effect on gaps
    const std::string svg = history_to_svg(events);
    EXPECT_EQ(captures(svg, "<g class=\"(gap[^\"]*)\""), c.gap_classes);
    EXPECT_EQ(captures(svg, "class=\"gap-label\"[^>]*>([^<]*)<"), c.labels);
    const std::string ticks = captures(svg, "class=\"reply-ticks\"[^>]* d=\"([^\"]*)\"").at(0);
    EXPECT_EQ(count(ticks, "M"), static_cast<int>(c.reply_ms.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HistorySvgGaps,
    ::testing::Values(
        GapCase{"none", {}, {}, {}},
        GapCase{"one_reply", {0}, {}, {}},
        GapCase{"regular", {0, 10, 20, 30}, {"gap longest"}, {"10.0 ms"}},
        GapCase{"one_stall", {0, 10, 20, 220, 230, 240}, {"gap long longest"}, {"200 ms"}},
        GapCase{"two_stalls",
                {0, 10, 20, 60, 70, 80, 280, 290},
                {"gap long", "gap long longest"},
                {"40.0 ms", "200 ms"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Thousands of events: labels are thinned to what fits, and the document grows linearly.
TEST(HistorySvg, ManyEventsStayReadableAndSmall) {
    const auto build = [](int n) {
        std::vector<HistoryEvent> events;
        for (int i = 0; i < n; ++i) {
            auto e = event(static_cast<std::uint64_t>(i), i * kMs,
                           i % 2 ? HistoryKind::Expiry : HistoryKind::Reply);
            e.transition = "TransitionNumber" + std::to_string(i);
            events.push_back(e);
        }
        return history_to_svg(events);
    };
    const std::string small = build(1000);
    const std::string large = build(4000);
    EXPECT_EQ(count(large, "<g class=\"event "), 4000);
    // Two rows of labels at least 6 pixels a character: far fewer than the events.
    const int rows_capacity = G::kErrorLabelRows * G::kPlotWidth / (6 * 16);
    EXPECT_GT(count(large, "class=\"error-label\""), 0);
    EXPECT_LE(count(large, "class=\"error-label\""), rows_capacity);
    EXPECT_LE(count(large, "class=\"mark-label\""), G::kMarkLabelRows * G::kPlotWidth / 36);
    EXPECT_LT(large.size(), 4 * small.size() + 4 * small.size() / 10);
    EXPECT_LT(large.size(), 4000U * 600U);
}

}  // namespace
