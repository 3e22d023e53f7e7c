// Arbitrary bytes as a received PDU: decoding, CRC checking (plain and cyclic) and
// re-encoding must stay within the record and agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "frame/frame.hpp"
#include "protocol/errors.hpp"

using namespace velmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    FSOEFrame frame;
    try {
        frame.from_array(bytes);
    } catch (const ValueError&) {
        if (size <= 36) std::abort();  // every length the record holds must decode
        // A longer PDU is refused; the fixed-length decoder must still be safe.
        frame.from_array_fixed(bytes, 35);
    }
    if (frame.safe_data_size_bytes() > MAX_DATA_BYTES) std::abort();
    std::uint16_t seed = size >= 2 ? static_cast<std::uint16_t>(data[0] | (data[1] << 8)) : 0;
    frame.control().sequence_number(seed);
    frame.control().crc0(static_cast<std::uint16_t>(seed * 31u));
    bool plain = frame.check_crcs();
    (void)frame.check_crcs_cyclic(static_cast<std::uint16_t>(seed ^ 0x5A5A));
    // A frame whose CRCs we generate must check, and survive an encode/decode round trip.
    frame.generate_crcs();
    if (!frame.check_crcs()) std::abort();
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    std::uint16_t length = frame.to_array(out);
    if (length > FSOE_MAX_FRAME_BYTES) std::abort();
    FSOEFrame again;
    again.from_array({out, length});
    again.control().sequence_number(frame.control().sequence_number());
    again.control().crc0(frame.control().crc0());
    if (!again.check_crcs()) std::abort();
    (void)plain;
    return 0;
}
