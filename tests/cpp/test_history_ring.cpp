// The history ring: what it keeps, in which order, and how it cuts what does not fit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "history/history_ring.hpp"
#include "protocol/errors.hpp"

namespace velmora {
namespace {

std::vector<HistoryEvent> events_of(const HistoryRing& ring) {
    return HistoryRing::events(ring.copy());
}

void record(HistoryRing& ring, std::int64_t time, HistoryKind kind = HistoryKind::Reset) {
    ring.open(kind, time, StateId::Data);
    ring.close(StateId::Reset, true);
}

class RingSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RingSizes, KeepsTheLastEventsOldestFirstWithTheirNumbers) {
    const std::size_t size = GetParam();
    HistoryRing ring(size);
    for (std::size_t recorded = 0; recorded < 3 * size + 2; ++recorded) {
        const auto events = events_of(ring);
        ASSERT_EQ(events.size(), std::min(recorded, size));
        for (std::size_t i = 0; i < events.size(); ++i) {
            const std::uint64_t number = recorded - events.size() + i;
            EXPECT_EQ(events[i].number, number);
            EXPECT_EQ(events[i].time_ns, static_cast<std::int64_t>(number) * 10);
        }
        record(ring, static_cast<std::int64_t>(recorded) * 10);
    }
    EXPECT_EQ(ring.recorded(), 3 * size + 2);
}

INSTANTIATE_TEST_SUITE_P(History, RingSizes, ::testing::Values(1, 2, 5, 64));

TEST(HistoryRing, SizeZeroRecordsNothingAndAcceptsEveryCall) {
    HistoryRing ring(0);
    EXPECT_EQ(ring.open(HistoryKind::Reply, 1, StateId::Reset), nullptr);
    const std::uint8_t frame[kHistoryFrameBytes] = {0x36, 1, 2, 3, 4, 5, 6};
    ring.prefetch_next();
    ring.set_reply(frame, 7, 2, 1, 2, std::nullopt);
    ring.set_request(frame, 7);
    ring.note_error("DATA_FAIL1", "x");
    ring.close(StateId::Data, false);
    EXPECT_TRUE(events_of(ring).empty());
    EXPECT_EQ(ring.recorded(), 0u);
}

TEST(HistoryRing, RefusesASizeAboveTheLimit) {
    EXPECT_THROW(HistoryRing{HistoryRing::kMaxSize + 1}, ValueError);
    EXPECT_NO_THROW(HistoryRing{HistoryRing::kMaxSize});
}

TEST(HistoryRing, AnEventKeepsItsFramesFirstErrorAndClosingState) {
    HistoryRing ring(4);
    // A slot that held an event with everything first: a reused record starts clean.
    ring.open(HistoryKind::Reply, 1, StateId::Data);
    std::vector<std::uint8_t> long_reply(40);
    for (std::size_t i = 0; i < long_reply.size(); ++i) long_reply[i] = static_cast<std::uint8_t>(i);
    const std::span<const std::uint8_t, kHistoryFrameBytes> first(long_reply.data(),
                                                                   kHistoryFrameBytes);
    ring.set_reply(first, long_reply.size(), 16, 0xBEEF, 0x1234, std::uint16_t{0x4321});
    ring.set_request(first, kHistoryFrameBytes);
    ring.note_error("DATA_FAIL1", "Invalid slave CRC");
    ring.note_error("DATA_FAIL2", "second");
    ring.close(StateId::Reset, true);
    ring.open(HistoryKind::FailSafe, 2, StateId::Data);
    ring.close(StateId::Data, false);

    const auto events = events_of(ring);
    ASSERT_EQ(events.size(), 2u);
    const HistoryEvent& reply = events[0];
    EXPECT_EQ(reply.kind, HistoryKind::Reply);
    EXPECT_EQ(reply.state_before, StateId::Data);
    EXPECT_EQ(reply.state_after, StateId::Reset);
    EXPECT_TRUE(reply.fail_safe);
    ASSERT_TRUE(reply.reply);
    EXPECT_EQ(*reply.reply, std::vector<std::uint8_t>(long_reply.begin(), long_reply.begin() + 36));
    EXPECT_EQ(reply.reply_length, 40u);
    EXPECT_EQ(reply.reply_safe_data_bytes, 16);
    EXPECT_EQ(reply.expected_crc0, 0xBEEF);
    EXPECT_EQ(reply.expected_sequence_number, 0x1234);
    EXPECT_EQ(reply.previous_crc0, std::optional<std::uint16_t>(0x4321));
    EXPECT_EQ(reply.request->size(), kHistoryFrameBytes);
    EXPECT_EQ(reply.transition, std::optional<std::string>("DATA_FAIL1"));
    EXPECT_EQ(reply.error, std::optional<std::string>("Invalid slave CRC"));

    const HistoryEvent& other = events[1];
    EXPECT_EQ(other.kind, HistoryKind::FailSafe);
    EXPECT_FALSE(other.fail_safe);
    EXPECT_FALSE(other.reply);
    EXPECT_FALSE(other.request);
    EXPECT_FALSE(other.transition);
    EXPECT_FALSE(other.error);
    EXPECT_FALSE(other.previous_crc0);

    // Setters after close belong to no event.
    ring.note_error("X", "Y");
    ring.set_request(first, 7);
    EXPECT_FALSE(events_of(ring)[1].request);
}

TEST(HistoryRing, AnErrorWithoutTransitionOrMessageStaysWithout) {
    HistoryRing ring(2);
    ring.open(HistoryKind::Expiry, 0, StateId::Session);
    ring.note_error(std::nullopt, "message only");
    ring.close(StateId::Reset, true);
    ring.open(HistoryKind::Expiry, 0, StateId::Session);
    ring.note_error("ONLY_NAME", std::nullopt);
    ring.close(StateId::Reset, true);
    const auto events = events_of(ring);
    EXPECT_FALSE(events[0].transition);
    EXPECT_EQ(events[0].error, std::optional<std::string>("message only"));
    EXPECT_EQ(events[1].transition, std::optional<std::string>("ONLY_NAME"));
    EXPECT_FALSE(events[1].error);
}

TEST(HistoryRing, CutsLongTextsAtACodePointWithAnEllipsis) {
    HistoryRing ring(1);
    // Two-byte characters: a cut in the middle of one would leave invalid UTF-8.
    std::string message;
    for (int i = 0; i < 100; ++i) message += "\xC3\xA9";
    ring.open(HistoryKind::Reply, 0, StateId::Data);
    ring.note_error(std::string(60, 'T'), message);
    ring.close(StateId::Reset, true);
    const HistoryEvent e = events_of(ring)[0];
    ASSERT_TRUE(e.error && e.transition);
    EXPECT_LT(e.error->size(), sizeof(HistoryText::error));
    EXPECT_EQ(e.error->substr(e.error->size() - 3), "\xE2\x80\xA6");
    const std::string kept = e.error->substr(0, e.error->size() - 3);
    EXPECT_EQ(kept.size() % 2, 0u);
    EXPECT_EQ(kept, message.substr(0, kept.size()));
    EXPECT_EQ(e.transition->substr(0, 10), std::string(10, 'T'));
    EXPECT_LT(e.transition->size(), sizeof(HistoryText::transition));
}

TEST(HistoryRing, AnEventLeftOpenIsReadAndCommittedByTheNext) {
    HistoryRing ring(2);
    record(ring, 1);
    // An error escaped the operation: its event was never closed.
    ring.open(HistoryKind::Reply, 2, StateId::Data);
    ring.note_error("DATA_FAIL1", "cut short");
    auto events = events_of(ring);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].number, 1u);
    EXPECT_EQ(events[1].state_after, StateId::Data);
    EXPECT_EQ(events[1].error, std::optional<std::string>("cut short"));
    ring.open(HistoryKind::Stop, 3, StateId::Data);
    ring.close(StateId::Reset, true);
    events = events_of(ring);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].number, 1u);
    EXPECT_EQ(events[0].transition, std::optional<std::string>("DATA_FAIL1"));
    EXPECT_EQ(events[1].number, 2u);
    EXPECT_EQ(events[1].kind, HistoryKind::Stop);
    EXPECT_FALSE(events[1].error);
}

TEST(HistoryRing, ARecordIsTwoCacheLines) {
    EXPECT_EQ(sizeof(HistoryRecord), 128u);
    EXPECT_EQ(alignof(HistoryRecord), 64u);
}

}  // namespace
}  // namespace velmora
