#pragma once
// A received or sent PDU taken apart for a person: its fields, its block CRCs checked against
// a given reference, and every failed check in words. Decoding and CRCs are the frame code's;
// this only arranges and explains what it computes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmora {

struct PduDescription {
    std::uint16_t length = 0;  // bytes given, padding of the word form included
    std::uint16_t safe_data_bytes = 0;
    std::uint8_t command = 0;
    std::optional<std::string> command_name;  // none: not an FSoE command
    // The reference used: none when not given. With a previous CRC_0 the sequence number is
    // the one after the cyclic advance.
    std::optional<std::uint16_t> sequence_number;
    std::optional<std::uint16_t> crc0;
    std::uint16_t connection_id = 0;
    std::vector<std::uint8_t> safe_data;
    std::vector<std::uint16_t> crcs;                                 // received, one per block
    std::optional<std::vector<std::uint16_t>> computed_crcs;         // with crc0 and sequence
    std::optional<bool> crcs_ok;
    std::vector<std::string> problems;

    bool operator==(const PduDescription&) const = default;
};

// The longest PDU: 16 bytes of safe data in word form.
inline constexpr std::size_t kMaxDescribedPduBytes = 36;

// Whether n bytes of safe data make a frame: 0, 1 or an even number 2..16.
bool is_safe_data_size(std::uint32_t n) noexcept;
// The PDU length for a frame size (not counting the padding byte of the word form).
std::uint16_t pdu_length(std::uint16_t safe_data_bytes) noexcept;
// Why a PDU of `length` bytes cannot carry `safe_data_bytes` bytes, or none when it can.
std::optional<std::string> pdu_length_problem(std::size_t length, std::uint16_t safe_data_bytes);
// The frame size a PDU of `length` bytes carries; none for a length no frame has.
std::optional<std::uint16_t> safe_data_bytes_for_length(std::size_t length) noexcept;

// Decodes `pdu` as a frame of `safe_data_bytes` bytes. The block CRCs are checked only when
// both crc0 (the reference: the master's last CRC_0) and sequence_number are given; with
// previous_crc0 (the sender's last CRC_0) the sequence number advances as the cyclic check
// advances it. A size that is no frame size, a length that does not fit the size or more
// than 36 bytes is a ValueError.
PduDescription describe_pdu(std::span<const std::uint8_t> pdu, std::uint16_t safe_data_bytes,
                            std::optional<std::uint16_t> crc0 = std::nullopt,
                            std::optional<std::uint16_t> sequence_number = std::nullopt,
                            std::optional<std::uint16_t> previous_crc0 = std::nullopt);

// The description on several lines, problems last.
std::string pdu_text(const PduDescription& description);

// Short forms shared with the tables: "0x1234", bytes as "12 AB ..", a command byte as its
// name or, when it is no command, as "0x99".
std::string hex_u16(std::uint16_t value);
std::string command_text(std::uint8_t command);
std::string hex_bytes(std::span<const std::uint8_t> bytes);

}  // namespace velmora
