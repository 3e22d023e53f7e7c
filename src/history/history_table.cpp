#include "history/history_table.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

#include "history/pdu_description.hpp"
#include "protocol/errors.hpp"

namespace velmora {
namespace {

enum Column { kEvent, kTime, kKind, kState, kDir, kCommand, kSeq, kConn, kData, kCrc, kNote,
              kColumnCount };
constexpr std::array<std::string_view, kColumnCount> kHeaders = {
    "event", "time ms", "kind", "state", "dir", "command", "seq", "conn", "safe data", "CRC",
    "note"};
constexpr std::array<bool, kColumnCount> kRightAligned = {true,  true,  false, false,
                                                          false, false, true,  true,
                                                          false, false, false};

struct Row {
    std::array<std::string, kColumnCount> cells;
    std::vector<std::string> notes;
};

std::string short_state(StateId id) {
    constexpr std::string_view prefix = "State";
    std::string_view name = state_class_name(id);
    if (name.size() <= prefix.size()) {
        // Appended, not concatenated: g++ 12 warns falsely (-Wrestrict) on the temporary.
        std::string unknown(1, '?');
        unknown += std::to_string(static_cast<unsigned>(id));
        return unknown;
    }
    return std::string(name.substr(prefix.size()));
}

// Milliseconds with three decimals, computed in unsigned arithmetic: recorded times come
// from files too, and their difference must not overflow.
std::string elapsed_ms(std::int64_t time_ns, std::int64_t first_ns) {
    const bool negative = time_ns < first_ns;
    const std::uint64_t a = static_cast<std::uint64_t>(time_ns);
    const std::uint64_t b = static_cast<std::uint64_t>(first_ns);
    const std::uint64_t ns = negative ? b - a : a - b;
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%03llu", negative ? "-" : "",
                  static_cast<unsigned long long>(ns / 1000000u),
                  static_cast<unsigned long long>(ns % 1000000u / 1000u));
    return text;
}

std::optional<std::string> event_note(const HistoryEvent& e) {
    if (e.transition && e.error) return *e.transition + ": " + *e.error;
    if (e.transition) return *e.transition;
    return e.error;
}

void fill_frame(Row& row, const PduDescription& d) {
    row.cells[kCommand] = command_text(d.command);
    row.cells[kSeq] = d.sequence_number ? std::to_string(*d.sequence_number) : "-";
    row.cells[kConn] = std::to_string(d.connection_id);
    row.cells[kData] = hex_bytes(d.safe_data);
    row.cells[kCrc] = !d.crcs_ok ? "-" : *d.crcs_ok ? "ok" : "FAIL";
    row.notes.insert(row.notes.end(), d.problems.begin(), d.problems.end());
}

// A frame row that could not be decoded: its first byte, and why.
void fill_undecoded(Row& row, const std::vector<std::uint8_t>& pdu, std::string why) {
    if (!pdu.empty()) row.cells[kCommand] = command_text(pdu[0]);
    row.cells[kCrc].assign(1, '-');
    row.notes.push_back(std::move(why));
}

// The reply, checked against what the engine checked it against when it arrived.
Row reply_row(const HistoryEvent& e) {
    Row row;
    row.cells[kDir] = "<-";
    const std::vector<std::uint8_t>& pdu = *e.reply;
    std::optional<std::string> problem = pdu_length_problem(e.reply_length, e.reply_safe_data_bytes);
    if (!problem && pdu.size() != e.reply_length) {
        problem = "the record holds " + std::to_string(pdu.size()) + " of the reply's " +
                  std::to_string(e.reply_length) + " bytes";
    }
    if (problem) {
        fill_undecoded(row, pdu, "reply: " + *problem);
        return row;
    }
    try {
        fill_frame(row, describe_pdu(pdu, e.reply_safe_data_bytes, e.expected_crc0,
                                     e.expected_sequence_number, e.previous_crc0));
    } catch (const ValueError& error) {
        fill_undecoded(row, pdu, std::string("reply: ") + error.what());
    }
    return row;
}

// The request the event built: its size follows from its length; no reference is known.
Row request_row(const HistoryEvent& e) {
    Row row;
    row.cells[kDir] = "->";
    const std::vector<std::uint8_t>& pdu = *e.request;
    const std::optional<std::uint16_t> size = safe_data_bytes_for_length(pdu.size());
    if (!size) {
        fill_undecoded(row, pdu,
                       "request: no frame is " + std::to_string(pdu.size()) + " bytes long");
        return row;
    }
    fill_frame(row, describe_pdu(pdu, *size));
    return row;
}

void add_event(std::vector<Row>& rows, const HistoryEvent& e, std::int64_t first_ns) {
    const std::size_t first = rows.size();
    if (e.reply) rows.push_back(reply_row(e));
    if (e.request) rows.push_back(request_row(e));
    if (rows.size() == first) {
        Row bare;
        bare.cells[kCrc].assign(1, '-');
        rows.push_back(std::move(bare));
    }
    for (std::size_t i = first; i < rows.size(); ++i) {
        rows[i].cells[kEvent] = std::to_string(e.number);
    }
    Row& head = rows[first];
    head.cells[kTime] = elapsed_ms(e.time_ns, first_ns);
    head.cells[kKind] = std::string(history_kind_name(e.kind));
    head.cells[kState] = short_state(e.state_before) + " -> " + short_state(e.state_after);
    if (auto note = event_note(e)) head.notes.insert(head.notes.begin(), *note);
}

std::string render(const std::vector<Row>& rows) {
    std::array<std::size_t, kColumnCount> width{};
    for (std::size_t c = 0; c < kColumnCount; ++c) width[c] = kHeaders[c].size();
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < kNote; ++c) width[c] = std::max(width[c], row.cells[c].size());
    }
    std::string text;
    auto line = [&](const std::array<std::string, kColumnCount>& cells) {
        std::string out;
        for (std::size_t c = 0; c < kColumnCount; ++c) {
            const std::string& cell = cells[c];
            const std::size_t pad = c == kNote ? 0 : width[c] - cell.size();
            if (c) out += "  ";
            if (kRightAligned[c]) out.append(pad, ' ');
            out += cell;
            if (!kRightAligned[c]) out.append(pad, ' ');
        }
        out.erase(out.find_last_not_of(' ') + 1);
        text += out + "\n";
    };
    std::array<std::string, kColumnCount> header;
    std::array<std::string, kColumnCount> rule;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        header[c] = kHeaders[c];
        rule[c] = std::string(c == kNote ? kHeaders[c].size() : width[c], '-');
    }
    line(header);
    line(rule);
    for (const Row& row : rows) {
        std::array<std::string, kColumnCount> cells = row.cells;
        for (const std::string& note : row.notes) {
            cells[kNote] += (cells[kNote].empty() ? "" : "; ") + note;
        }
        line(cells);
    }
    return text;
}

}  // namespace

std::string describe_history(const std::vector<HistoryEvent>& events) {
    std::vector<Row> rows;
    for (const HistoryEvent& e : events) add_event(rows, e, events.front().time_ns);
    std::string text = render(rows);
    if (events.empty()) text += "no events\n";
    return text;
}

}  // namespace velmora
