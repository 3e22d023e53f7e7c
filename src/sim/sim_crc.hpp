#pragma once
// CRC work on the simulator's frames. It calls the frame core directly, so the diagnostic
// trace of the library shows only the master's own CRC work, never the simulated slave's.
#include <cstdint>
#include <optional>

#include "frame/frame.hpp"

namespace velmora::sim {

// Generates the block CRCs. With the CRC_0 of the sender's previous frame, a CRC_0 equal to
// it is avoided by advancing the sequence number (the CRC_0 edge case).
void generate_crcs(FSOEFrame& frame, std::optional<std::uint16_t> last_crc0) noexcept;

// Checks the block CRCs against the sequence number and reference CRC_0 set in the frame's
// control fields. With the CRC_0 of the sender's previous frame the check follows the
// sender's edge-case increments; `plain_too` also accepts a frame generated without them.
bool check_crcs(FSOEFrame& frame, std::optional<std::uint16_t> last_crc0, bool plain_too) noexcept;

}  // namespace velmora::sim
