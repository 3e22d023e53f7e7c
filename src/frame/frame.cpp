#include "frame/frame.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "frame/fsoe_frame_bytes.hpp"
#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

// Out of the cycle's code: what a cycle never runs stays out of the lines it fetches.
[[noreturn, gnu::noinline, gnu::cold]] void throw_no_cyclic_crc() {
    throw RuntimeError("Cannot generate cyclic CRCs for a frame without safe data");
}

}  // namespace

const char* too_much_safe_data_message() noexcept {
    return "Frame structure cannot handle more than 16 bytes";
}

std::size_t U16Array::checked_index(std::int64_t index) const {
    std::uint16_t i = to_u16(index);
    if (i >= u32Length_) throw IndexError();
    return i;
}

std::uint16_t U16Array::get(std::int64_t index) const {
    return pu16_[checked_index(index)];
}

void U16Array::set(std::int64_t index, std::int64_t value) {
    std::size_t i = checked_index(index);
    pu16_[i] = to_u16(value);
}

VELMORA_CYCLE_CODE
void U16Array::clear() noexcept {
    if (pu16_ != nullptr) std::fill_n(pu16_, u32Length_, std::uint16_t{0});
}

FSOECommand FSOEFrameControl::command() const {
    if (!command_is_valid()) {
        throw ValueError(std::to_string(control_->u16Command) + " is not a valid FSOECommand");
    }
    return static_cast<FSOECommand>(control_->u16Command);
}

void FSOEFrameControl::set_sequence_number(std::int64_t value) {
    control_->u16SequenceNum = to_u16(value);
}
void FSOEFrameControl::set_connection_id(std::int64_t value) {
    control_->u16ConnectionId = to_u16(value);
}
void FSOEFrameControl::set_crc0(std::int64_t value) {
    control_->u16Crc0 = to_u16(value);
}

VELMORA_CYCLE_CODE
void FSOEFrameControl::increment_sequence_number() noexcept {
    std::uint16_t next = static_cast<std::uint16_t>(control_->u16SequenceNum + 1);
    control_->u16SequenceNum = next == 0 ? 1 : next;
}

namespace {
constexpr std::int64_t kMaxPduBytes = 2 * FSOE_MAX_FRAME_WORDS;  // 36: 16 bytes of safe data
}

FSOEFrame::FSOEFrame(std::int64_t length) {
    if (length > kMaxPduBytes) throw ValueError(too_much_safe_data_message());
    std::uint16_t words = div_ceil(length, BYTES_PER_WORD);
    FSOE_FrameInit(&frame_, words);
}

void FSOEFrame::from_array(std::span<const std::uint8_t> data) {
    if (static_cast<std::int64_t>(data.size()) > kMaxPduBytes) {
        throw ValueError(too_much_safe_data_message());
    }
    from_array_fixed(data, static_cast<std::uint16_t>(data.size()));
}

VELMORA_CYCLE_CODE
void FSOEFrame::from_array_fixed(std::span<const std::uint8_t> data,
                                 std::uint16_t length) noexcept {
    if (length > kMaxPduBytes) length = kMaxPduBytes;
    if (data.size() >= length) {
        FSOE_FrameFromBytes(&frame_, data.data(), length);
        return;
    }
    // A short PDU: the missing bytes read as 0.
    std::uint8_t bytes[kMaxPduBytes] = {};
    std::copy(data.begin(), data.end(), bytes);
    FSOE_FrameFromBytes(&frame_, bytes, length);
}

VELMORA_CYCLE_CODE
std::uint16_t FSOEFrame::to_array(std::uint8_t* out) const noexcept {
    return FSOE_FrameToBytes(out, &frame_);
}

void FSOEFrame::set_safe_data_size_bytes(std::int64_t size) {
    if (size > MAX_DATA_BYTES) throw ValueError(too_much_safe_data_message());
    frame_.u16DataSizeBytes = to_u16(size);
}

void FSOEFrame::get_safe_data_bytes(std::uint8_t out[MAX_DATA_BYTES]) const noexcept {
    for (unsigned i = 0; i < MAX_DATA_WORDS; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(frame_.au16Data[i] & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(frame_.au16Data[i] >> 8);
    }
}

void FSOEFrame::set_safe_data_bytes(std::span<const std::uint8_t> data) {
    if (data.size() > MAX_DATA_BYTES) throw ValueError(too_much_safe_data_message());
    std::memset(frame_.au16Data, 0, sizeof frame_.au16Data);
    for (std::size_t i = 0; i < data.size(); ++i) {
        frame_.au16Data[i / 2] |= static_cast<std::uint16_t>(data[i] << ((i & 1u) ? 8 : 0));
    }
}

VELMORA_CYCLE_CODE
trace::FrameFields FSOEFrame::trace_fields() const noexcept {
    return {frame_.sControl.u16Command, frame_.sControl.u16SequenceNum,
            frame_.sControl.u16ConnectionId, frame_.sControl.u16Crc0, frame_.au16Crc};
}

VELMORA_CYCLE_CODE
void FSOEFrame::generate_crcs() noexcept {
    FSOE_FrameGenerateCrcFast(&frame_);
    if (trace::enabled()) trace::log_generate_crc(trace_fields());
}

bool FSOEFrame::check_crcs() const noexcept {
    std::uint16_t calculated[MAX_CRC_WORDS] = {};
    bool valid = FSOE_FrameCheckCrcFast(&frame_, calculated);
    if (trace::enabled()) trace::log_check_crc(calculated, trace_fields(), valid);
    return valid;
}

VELMORA_CYCLE_CODE
void FSOEFrame::generate_crcs_cyclic(std::uint16_t last_sent_crc_0) {
    generate_crcs();
    if (frame_.au16Crc[0] == last_sent_crc_0 && frame_.u16DataSizeBytes == 0) {
        // Without safe data no CRC is written, so no sequence number could change CRC_0.
        throw_no_cyclic_crc();
    }
    while (frame_.au16Crc[0] == last_sent_crc_0) {
        control_.increment_sequence_number();
        generate_crcs();
    }
}

VELMORA_CYCLE_CODE
bool FSOEFrame::check_crcs_cyclic(std::uint16_t last_sent_crc_0) noexcept {
    std::uint16_t calculated[MAX_CRC_WORDS] = {};
    const std::uint16_t blocks = FSOE_FrameCalcCrcsFast(&frame_, calculated);
    if (blocks == 0) {
        // No block carries CRC_0; it is still computed to tell the sequence numbers apart.
        while (calc_crc0() == last_sent_crc_0) control_.increment_sequence_number();
        return check_crcs();
    }
    // A CRC over a fixed-length message is injective in the 16 sequence-number bits, so
    // this loop ends after at most one increment.
    while (calculated[0] == last_sent_crc_0) {
        control_.increment_sequence_number();
        FSOE_FrameCalcCrcsFast(&frame_, calculated);
    }
    bool valid = true;
    for (std::uint16_t i = 0; i < blocks; ++i) {
        if (calculated[i] != frame_.au16Crc[i]) valid = false;
    }
    if (trace::enabled()) trace::log_check_crc(calculated, trace_fields(), valid);
    return valid;
}

}  // namespace velmora
