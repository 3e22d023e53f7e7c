#include "history/pdu_description.hpp"

#include <algorithm>
#include <cstdio>

#include "frame/frame.hpp"
#include "frame/fsoe_crc_fast.hpp"
#include "protocol/commands.hpp"
#include "protocol/errors.hpp"

namespace velmora {
namespace {

// Sequence numbers tried on each side of the expected one when every block fails: a sender
// a few frames off is the usual case, and a narrow window keeps a chance match rare even
// for one-block frames, whose single CRC some sequence number always fits.
constexpr unsigned kSequenceWindow = 16;

std::string bytes_word(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::uint16_t previous_sequence_number(std::uint16_t n) noexcept {
    // The inverse of FSOEFrameControl::increment_sequence_number: 1 follows 65535.
    return n <= 1 ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>(n - 1);
}

std::uint16_t block_count(const FSOE_SFrame& record) noexcept {
    return FSOE_GetDataSizeWords(record.u16DataSizeBytes);
}

bool blocks_check(const FSOE_SFrame& record) noexcept {
    return FSOE_FrameCheckCrcFast(&record, nullptr);
}

// Advances the sequence number as FSOEFrame::check_crcs_cyclic does, without its trace: a
// frame whose CRC_0 would repeat the sender's previous one was sent with the next number.
void cyclic_advance(FSOE_SFrame& record, std::uint16_t previous_crc0) noexcept {
    FSOEFrameControl control(&record.sControl);
    // The CRC is injective in the sequence number, so one step suffices; the bound only
    // guards against a CRC that were not.
    for (unsigned i = 0; i < 0x10000u && FSOE_FrameCalcCrc0Fast(&record) == previous_crc0; ++i) {
        control.increment_sequence_number();
    }
}

std::optional<std::uint16_t> sequence_number_that_checks(FSOE_SFrame record) noexcept {
    const std::uint16_t expected = record.sControl.u16SequenceNum;
    std::uint16_t ahead = expected;
    std::uint16_t behind = expected;
    for (unsigned step = 0; step < kSequenceWindow; ++step) {
        FSOEFrameControl control(&record.sControl);
        record.sControl.u16SequenceNum = ahead;
        control.increment_sequence_number();
        ahead = record.sControl.u16SequenceNum;
        if (blocks_check(record)) return ahead;
        behind = previous_sequence_number(behind);
        record.sControl.u16SequenceNum = behind;
        if (blocks_check(record)) return behind;
    }
    return std::nullopt;
}

// With one block some CRC_0 always fits, so only frames of two or more blocks can tell a
// control-field difference from changed data.
std::optional<std::uint16_t> crc0_that_checks(FSOE_SFrame record) noexcept {
    if (block_count(record) < 2) return std::nullopt;
    const std::uint16_t expected = record.sControl.u16Crc0;
    for (std::uint32_t candidate = 0; candidate <= 0xFFFF; ++candidate) {
        if (candidate == expected) continue;
        record.sControl.u16Crc0 = static_cast<std::uint16_t>(candidate);
        if (FSOE_FrameCalcCrc0Fast(&record) == record.au16Crc[0] && blocks_check(record)) {
            return record.sControl.u16Crc0;
        }
    }
    return std::nullopt;
}

std::string hex_u8(std::uint8_t value) {
    char text[6];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
    return text;
}

std::string block_list(const std::vector<std::uint16_t>& blocks) {
    std::string text;
    for (std::uint16_t b : blocks) text += (text.empty() ? "" : ", ") + std::to_string(b);
    return text;
}

// Says which checks failed and, where the frame tells, why.
void explain_crcs(const FSOE_SFrame& record, const PduDescription& d,
                  std::vector<std::string>& problems) {
    const std::string reference = "with CRC_0 " + hex_u16(*d.crc0) + ", sequence number " +
                                  std::to_string(*d.sequence_number);
    std::vector<std::uint16_t> failed;
    for (std::uint16_t i = 0; i < d.crcs.size(); ++i) {
        if (d.crcs[i] == (*d.computed_crcs)[i]) continue;
        failed.push_back(i);
        problems.push_back("block " + std::to_string(i) + " CRC is " + hex_u16(d.crcs[i]) +
                           ", computed " + hex_u16((*d.computed_crcs)[i]) + " " + reference);
    }
    if (failed.empty()) return;
    if (failed.size() < d.crcs.size()) {
        // The control fields and the reference enter every block alike.
        problems.push_back("only block" + std::string(failed.size() == 1 ? " " : "s ") +
                           block_list(failed) +
                           " failed: data or CRC bytes changed on the way (command, connection "
                           "id, sequence number and CRC_0 enter every block)");
        return;
    }
    if (auto seq = sequence_number_that_checks(record)) {
        problems.push_back("sequence number: the CRCs check with sequence number " +
                           std::to_string(*seq) + ", not " + std::to_string(*d.sequence_number) +
                           " (the sender's count is off: a frame lost, repeated or reset)");
        return;
    }
    if (auto crc0 = crc0_that_checks(record)) {
        // Every control field enters each block only through the register after them, and
        // CRC_0 alone reaches every value of it: the data fit their CRCs, some control field
        // does not. A sender using another reference is the usual cause.
        problems.push_back("CRC_0 reference: the CRCs check with CRC_0 " + hex_u16(*crc0) +
                           ", not " + hex_u16(*d.crc0) +
                           ": the safe data fit their CRCs, so the sender used another "
                           "reference, or the command or connection id changed on the way");
        return;
    }
    if (failed.size() == 1) {
        problems.push_back("the only block fails: its data, the command, the connection id, the "
                           "sequence number or the CRC_0 reference differ from what the sender "
                           "used");
    } else {
        problems.push_back("every block fails and no CRC_0 or nearby sequence number explains "
                           "it: safe data changed besides the control fields, or the PDU is "
                           "not the frame it is taken for");
    }
}

}  // namespace

std::string hex_u16(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    char hex[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(b));
        if (!text.empty()) text += ' ';
        text += hex;
    }
    return text;
}

std::string command_text(std::uint8_t command) {
    if (command_has_value(command)) return std::string(command_name(static_cast<FSOECommand>(command)));
    return hex_u8(command);
}

bool is_safe_data_size(std::uint32_t n) noexcept {
    return n <= 1 || (n <= MAX_DATA_BYTES && n % 2 == 0);
}

std::uint16_t pdu_length(std::uint16_t safe_data_bytes) noexcept {
    return FSOE_GetFrameSizeBytes(safe_data_bytes);
}

std::optional<std::string> pdu_length_problem(std::size_t length,
                                              std::uint16_t safe_data_bytes) {
    if (!is_safe_data_size(safe_data_bytes)) {
        return bytes_word(safe_data_bytes) +
               " of safe data is not a frame size (0, 1 or an even number 2..16)";
    }
    if (length > kMaxDescribedPduBytes) {
        return "a PDU of " + bytes_word(length) +
               " is longer than any frame (36 bytes: 16 bytes of safe data)";
    }
    const std::uint16_t expected = pdu_length(safe_data_bytes);
    const bool word_form = expected % 2 == 1 && length == expected + 1u;
    if (length == expected || word_form) return std::nullopt;
    std::string text = "a PDU of " + bytes_word(length) + " does not fit " +
                       bytes_word(safe_data_bytes) + " of safe data, which take " +
                       bytes_word(expected);
    if (expected % 2 == 1) text += " (" + std::to_string(expected + 1) + " in word form)";
    return text;
}

std::optional<std::uint16_t> safe_data_bytes_for_length(std::size_t length) noexcept {
    if (length == 3 || length == 4) return 0;
    if (length == 6) return 1;
    if (length < 7 || length > kMaxDescribedPduBytes) return std::nullopt;
    // 4B + 3 bytes carry 2B bytes; one more is the padding of the word form.
    if (length % 4 == 3) return static_cast<std::uint16_t>((length - 3) / 2);
    if (length % 4 == 0) return static_cast<std::uint16_t>((length - 4) / 2);
    return std::nullopt;
}

PduDescription describe_pdu(std::span<const std::uint8_t> pdu, std::uint16_t safe_data_bytes,
                            std::optional<std::uint16_t> crc0,
                            std::optional<std::uint16_t> sequence_number,
                            std::optional<std::uint16_t> previous_crc0) {
    if (auto problem = pdu_length_problem(pdu.size(), safe_data_bytes)) throw ValueError(*problem);

    FSOEFrame frame;
    frame.from_array_fixed(pdu, pdu_length(safe_data_bytes));
    FSOE_SFrame& record = frame.record();

    PduDescription d;
    d.length = static_cast<std::uint16_t>(pdu.size());
    d.safe_data_bytes = record.u16DataSizeBytes;
    d.command = static_cast<std::uint8_t>(record.sControl.u16Command & 0xFF);
    if (command_has_value(d.command)) {
        d.command_name = std::string(command_name(static_cast<FSOECommand>(d.command)));
    } else {
        d.problems.push_back("command " + hex_u8(d.command) + " is not an FSoE command");
    }
    d.connection_id = record.sControl.u16ConnectionId;
    std::uint8_t data[MAX_DATA_BYTES];
    frame.get_safe_data_bytes(data);
    d.safe_data.assign(data, data + d.safe_data_bytes);
    const std::uint16_t blocks = block_count(record);
    d.crcs.assign(record.au16Crc, record.au16Crc + blocks);

    d.crc0 = crc0;
    d.sequence_number = sequence_number;
    if (crc0 && sequence_number) {
        record.sControl.u16Crc0 = *crc0;
        record.sControl.u16SequenceNum = *sequence_number;
        if (previous_crc0) cyclic_advance(record, *previous_crc0);
        d.sequence_number = record.sControl.u16SequenceNum;
        std::vector<std::uint16_t> computed(MAX_CRC_WORDS);
        FSOE_FrameCalcCrcsFast(&record, computed.data());
        computed.resize(blocks);
        d.crcs_ok = std::equal(computed.begin(), computed.end(), d.crcs.begin());
        d.computed_crcs = std::move(computed);
        explain_crcs(record, d, d.problems);
    }
    return d;
}

std::string pdu_text(const PduDescription& d) {
    const std::string command_hex = hex_u8(d.command);
    std::string text = "PDU of " + bytes_word(d.length) + ": " +
                       (d.command_name ? *d.command_name + " (" + command_hex + ")"
                                       : "unknown command " + command_hex) +
                       ", " + bytes_word(d.safe_data_bytes) + " of safe data\n";
    auto line = [&text](const char* label, const std::string& value) {
        char head[24];
        std::snprintf(head, sizeof head, "  %-17s", label);
        text += head + value + "\n";
    };
    line("connection id", std::to_string(d.connection_id) + " (" + hex_u16(d.connection_id) + ")");
    if (!d.safe_data.empty()) line("safe data", hex_bytes(d.safe_data));
    for (std::size_t i = 0; i < d.crcs.size(); ++i) {
        // Sizes are taken from the vectors themselves: a description may be built by hand.
        const std::size_t first = std::min(2 * i, d.safe_data.size());
        const std::size_t count = std::min<std::size_t>(2, d.safe_data.size() - first);
        std::string value = "data " + hex_bytes({d.safe_data.data() + first, count}) + "  CRC " +
                            hex_u16(d.crcs[i]);
        if (d.computed_crcs && i < d.computed_crcs->size()) {
            const std::uint16_t computed = (*d.computed_crcs)[i];
            value += "  computed " + hex_u16(computed) + (computed == d.crcs[i] ? "" : "  FAIL");
        }
        line(("block " + std::to_string(i)).c_str(), value);
    }
    if (d.crc0 || d.sequence_number) {
        line("reference",
             "CRC_0 " + (d.crc0 ? hex_u16(*d.crc0) : std::string("not given")) +
                 ", sequence number " +
                 (d.sequence_number ? std::to_string(*d.sequence_number) : "not given"));
    }
    if (!d.crcs_ok) {
        line("CRCs", "not checked (needs CRC_0 and sequence number)");
    } else if (d.crcs.empty()) {
        line("CRCs", "none (no safe data)");
    } else {
        line("CRCs", *d.crcs_ok ? "ok" : "FAIL");
    }
    if (!d.problems.empty()) {
        text += "  problems:\n";
        for (const std::string& p : d.problems) text += "    - " + p + "\n";
    }
    return text;
}

}  // namespace velmora
