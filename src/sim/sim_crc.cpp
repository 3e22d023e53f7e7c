#include "sim/sim_crc.hpp"

namespace velmora::sim {

void generate_crcs(FSOEFrame& frame, std::optional<std::uint16_t> last_crc0) noexcept {
    FSOE_SFrame& record = frame.record();
    FSOE_FrameGenerateCrc(&record);
    // Without safe data there is no CRC that a sequence number could change.
    if (!last_crc0 || record.u16DataSizeBytes == 0) return;
    while (record.au16Crc[0] == *last_crc0) {
        frame.control().increment_sequence_number();
        FSOE_FrameGenerateCrc(&record);
    }
}

bool check_crcs(FSOEFrame& frame, std::optional<std::uint16_t> last_crc0, bool plain_too) noexcept {
    const FSOE_SFrame& record = frame.record();
    if (!last_crc0 || record.u16DataSizeBytes == 0) {
        return FSOE_FrameCheckCrc(&record, nullptr);
    }
    if (plain_too && FSOE_FrameCheckCrc(&record, nullptr)) return true;
    // A CRC over a fixed-length message is injective in the sequence number, so this loop
    // advances at most once.
    while (FSOE_FrameCalcCrc0(&record) == *last_crc0) {
        frame.control().increment_sequence_number();
    }
    return FSOE_FrameCheckCrc(&record, nullptr);
}

}  // namespace velmora::sim
