// The history table: a rejected reply's row says which check failed; a reply of the wrong
// length is a row, not a failure; an empty history says so.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "frame/frame.hpp"
#include "history/history_table.hpp"
#include "history/pdu_description.hpp"

using namespace velmora;

namespace {

std::vector<std::uint8_t> process_data(std::uint16_t crc0, std::uint16_t seq) {
    FSOEFrame frame(pdu_length(2));
    frame.control().set_command(FSOECommand::PROCESS_DATA);
    frame.control().crc0(crc0);
    frame.control().sequence_number(seq);
    frame.control().connection_id(5);
    frame.set_safe_data_bytes(std::vector<std::uint8_t>{0xAB, 0xCD});
    frame.generate_crcs();
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    return {out, out + frame.to_array(out)};
}

HistoryEvent reply_event(std::vector<std::uint8_t> reply, std::uint16_t seq) {
    HistoryEvent e;
    e.number = 41;
    e.time_ns = 2'500'000;
    e.kind = HistoryKind::Reply;
    e.state_before = StateId::Data;
    e.state_after = StateId::Data;
    e.reply_length = static_cast<std::uint32_t>(reply.size());
    e.reply = std::move(reply);
    e.reply_safe_data_bytes = 2;
    e.expected_crc0 = 0x1111;
    e.expected_sequence_number = seq;
    e.request = process_data(0x2222, 9);
    return e;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool has(const std::string& line, const std::string& piece) {
    return line.find(piece) != std::string::npos;
}

}  // namespace

TEST(HistoryTable, RejectedReplyRowExplainsTheFailedCheck) {
    HistoryEvent start;
    start.number = 40;
    start.time_ns = 1'000'000;
    start.kind = HistoryKind::Start;
    HistoryEvent rejected = reply_event(process_data(0x1111, 8), 7);  // the slave is one ahead
    rejected.state_after = StateId::Reset;
    rejected.transition = "DATA_FAIL1";
    rejected.error = "Invalid slave CRC";
    const auto lines = lines_of(describe_history({start, rejected}));

    ASSERT_EQ(lines.size(), 2u + 1u + 2u) << describe_history({start, rejected});
    EXPECT_TRUE(has(lines[0], "event") && has(lines[0], "note"));
    EXPECT_TRUE(has(lines[2], "start") && has(lines[2], "0.000")) << lines[2];
    const std::string& reply = lines[3];
    for (const char* piece : {"41", "1.500", "reply", "Data -> Reset", "<-", "PROCESS_DATA",
                             "AB CD", "FAIL", "DATA_FAIL1: Invalid slave CRC",
                             "block 0 CRC is",
                             "the CRCs check with sequence number 8, not 7"}) {
        EXPECT_TRUE(has(reply, piece)) << piece << "\n" << reply;
    }
    // The request: decoded by its length, no reference to check it with.
    const std::string& request = lines[4];
    EXPECT_TRUE(has(request, "->") && has(request, "PROCESS_DATA") && has(request, "AB CD"));
    EXPECT_FALSE(has(request, "FAIL") || has(request, " ok") || has(request, "reply"));
    // Columns line up: every row has its direction where the header has "dir".
    EXPECT_EQ(reply.find("<-"), lines[0].find("dir"));
    EXPECT_EQ(request.find("->"), lines[0].find("dir"));
}

TEST(HistoryTable, AcceptedReplyIsOk) {
    const auto lines = lines_of(describe_history({reply_event(process_data(0x1111, 7), 7)}));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(has(lines[2], " ok")) << lines[2];
    EXPECT_FALSE(has(lines[2], "FAIL")) << lines[2];
}

TEST(HistoryTable, ReplyOfTheWrongLengthIsARowThatSaysSo) {
    auto bytes = process_data(0x1111, 7);
    bytes.resize(9);
    for (const std::uint32_t length : {9u, 40u}) {
        HistoryEvent e = reply_event(bytes, 7);
        e.reply_length = length;
        const auto lines = lines_of(describe_history({e}));
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_TRUE(has(lines[2], "<-") && has(lines[2], "PROCESS_DATA")) << lines[2];
        EXPECT_TRUE(has(lines[2], "reply: a PDU of " + std::to_string(length) + " bytes"))
            << lines[2];
    }
    // A size that is no frame size is explained the same way.
    HistoryEvent odd = reply_event(process_data(0x1111, 7), 7);
    odd.reply_safe_data_bytes = 3;
    EXPECT_TRUE(has(describe_history({odd}), "3 bytes of safe data is not a frame size"));
}

TEST(HistoryTable, EmptyAndFramelessEvents) {
    const auto empty = lines_of(describe_history({}));
    ASSERT_EQ(empty.size(), 3u);
    EXPECT_EQ(empty[2], "no events");

    HistoryEvent expiry;
    expiry.number = 3;
    expiry.time_ns = -5;
    expiry.kind = HistoryKind::Expiry;
    expiry.state_before = StateId::Connection;
    expiry.error = "watchdog expired";
    HistoryEvent later = expiry;
    later.time_ns = 1'234'567'890;
    const auto lines = lines_of(describe_history({expiry, later}));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(has(lines[2], "expiry") && has(lines[2], "Connection -> Reset") &&
                has(lines[2], "watchdog expired"))
        << lines[2];
    EXPECT_TRUE(has(lines[3], "1234.567")) << lines[3];
}
