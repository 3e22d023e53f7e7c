#pragma once
// Frame objects: one FSoE frame record with views onto its control fields, safe data and
// CRCs. The views never copy: they read and write the record of the frame that owns them.
#include <cstdint>
#include <span>

#include "frame/fsoe_crc_fast.hpp"
#include "frame/fsoe_frame.hpp"
#include "protocol/commands.hpp"
#include "protocol/trace.hpp"

namespace velmora {

// A view onto a fixed array of 16-bit words of a frame record.
class U16Array {
  public:
    U16Array() = default;
    U16Array(std::uint16_t* words, std::uint32_t length) : pu16_(words), u32Length_(length) {}

    std::uint32_t size() const noexcept { return u32Length_; }
    // Index rules of the host interface: negative or above 65535 is an overflow error, an
    // index not below the length an index error.
    std::uint16_t get(std::int64_t index) const;
    void set(std::int64_t index, std::int64_t value);
    void clear() noexcept;

    std::uint16_t operator[](std::size_t i) const noexcept { return pu16_[i]; }
    std::uint16_t& operator[](std::size_t i) noexcept { return pu16_[i]; }
    const std::uint16_t* data() const noexcept { return pu16_; }

  private:
    std::size_t checked_index(std::int64_t index) const;
    std::uint16_t* pu16_ = nullptr;
    std::uint32_t u32Length_ = 0;
};

// A view onto the control fields of a frame record.
class FSOEFrameControl {
  public:
    explicit FSOEFrameControl(FSOE_SFrameControl* control = nullptr) : control_(control) {}

    std::uint16_t command_raw() const noexcept { return control_->u16Command; }
    // The command as a member; a value that is not a command is a value error.
    FSOECommand command() const;
    void set_command(FSOECommand command) noexcept {
        control_->u16Command = static_cast<std::uint16_t>(command);
    }
    bool command_is_valid() const noexcept { return command_has_value(control_->u16Command); }

    std::uint16_t sequence_number() const noexcept { return control_->u16SequenceNum; }
    std::uint16_t connection_id() const noexcept { return control_->u16ConnectionId; }
    std::uint16_t crc0() const noexcept { return control_->u16Crc0; }
    // Checked setters for host input (0..65535, else an overflow error, field unchanged).
    void set_sequence_number(std::int64_t value);
    void set_connection_id(std::int64_t value);
    void set_crc0(std::int64_t value);
    // Unchecked setters for the engine.
    void sequence_number(std::uint16_t value) noexcept { control_->u16SequenceNum = value; }
    void connection_id(std::uint16_t value) noexcept { control_->u16ConnectionId = value; }
    void crc0(std::uint16_t value) noexcept { control_->u16Crc0 = value; }

    // 65535 is followed by 1: 0 is never a sequence number on the wire.
    void increment_sequence_number() noexcept;

  private:
    FSOE_SFrameControl* control_;
};

class FSOEFrame {
  public:
    // Length is the PDU length in bytes. Above 36 bytes (more than 16 bytes of safe data)
    // is a value error; a negative length an overflow error.
    explicit FSOEFrame(std::int64_t length = 0);
    FSOEFrame(const FSOEFrame&) = delete;
    FSOEFrame& operator=(const FSOEFrame&) = delete;

    FSOEFrameControl& control() noexcept { return control_; }
    const FSOEFrameControl& control() const noexcept { return control_; }
    U16Array& safe_data() noexcept { return safe_data_; }
    const U16Array& safe_data() const noexcept { return safe_data_; }
    U16Array& crcs() noexcept { return crcs_; }
    const U16Array& crcs() const noexcept { return crcs_; }
    FSOE_SFrame& record() noexcept { return frame_; }
    const FSOE_SFrame& record() const noexcept { return frame_; }

    // Decodes PDU bytes into this frame: command, safe data, CRCs, connection id and size
    // are replaced; sequence number and reference CRC_0 keep their values. More than 36
    // bytes is a value error and changes nothing.
    void from_array(std::span<const std::uint8_t> data);
    // Decodes as if the PDU had exactly `length` bytes: missing bytes read as 0, extra bytes
    // are ignored. For received PDUs whose length is fixed by configuration; never fails.
    void from_array_fixed(std::span<const std::uint8_t> data, std::uint16_t length) noexcept;
    // Encodes into `out` (at least FSOE_MAX_FRAME_WORDS * 2 bytes); returns the PDU length.
    std::uint16_t to_array(std::uint8_t* out) const noexcept;

    std::uint16_t safe_data_size_bytes() const noexcept { return frame_.u16DataSizeBytes; }
    void set_safe_data_size_bytes(std::int64_t size);

    // The whole safe data (16 bytes), word 0 low byte first.
    void get_safe_data_bytes(std::uint8_t out[MAX_DATA_BYTES]) const noexcept;
    // Clears the safe data, then writes the bytes from the start. More than 16 bytes is a
    // value error and changes nothing.
    void set_safe_data_bytes(std::span<const std::uint8_t> data);

    std::uint16_t calc_crc0() const noexcept { return FSOE_FrameCalcCrc0Fast(&frame_); }
    void generate_crcs() noexcept;
    bool check_crcs() const noexcept;
    void generate_crcs_cyclic(std::uint16_t last_sent_crc_0);
    bool check_crcs_cyclic(std::uint16_t last_sent_crc_0) noexcept;

    trace::FrameFields trace_fields() const noexcept;

  private:
    FSOE_SFrame frame_{};
    FSOEFrameControl control_{&frame_.sControl};
    U16Array safe_data_{frame_.au16Data, MAX_DATA_WORDS};
    U16Array crcs_{frame_.au16Crc, MAX_CRC_WORDS};
};

// The message of the size error, shared by every place that refuses more than 16 bytes.
const char* too_much_safe_data_message() noexcept;

}  // namespace velmora
