// Arbitrary bytes, sizes and references into describe_pdu and pdu_text: a refusal only for
// the inputs the length rules refuse, and a description that agrees with the frame code.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "frame/frame.hpp"
#include "fuzz_input.hpp"
#include "history/pdu_description.hpp"
#include "protocol/errors.hpp"

using namespace velmora;

namespace {

std::uint16_t u16(FuzzInput& in) {
    const std::uint8_t lo = in.byte();
    return static_cast<std::uint16_t>(lo | (in.byte() << 8));
}

std::optional<std::uint16_t> maybe(FuzzInput& in, bool present) {
    const std::uint16_t value = u16(in);
    return present ? std::optional<std::uint16_t>(value) : std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHead = 8;
    FuzzInput in(data, size);
    const std::uint8_t flags = in.byte();
    // Mostly the size the length implies; sometimes any 16-bit size.
    const std::uint16_t raw_size = u16(in);
    const auto crc0 = maybe(in, flags & 1u);
    const auto seq = maybe(in, flags & 2u);
    const auto previous = maybe(in, flags & 4u);
    const std::span<const std::uint8_t> pdu =
        size > kHead ? std::span<const std::uint8_t>(data + kHead, size - kHead)
                     : std::span<const std::uint8_t>();
    const auto inferred = safe_data_bytes_for_length(pdu.size());
    const std::uint16_t n = (flags & 8u) || !inferred ? raw_size : *inferred;

    const std::optional<std::string> refusal = pdu_length_problem(pdu.size(), n);
    if (inferred) REQUIRE(!pdu_length_problem(pdu.size(), *inferred));
    PduDescription d;
    try {
        d = describe_pdu(pdu, n, crc0, seq, previous);
    } catch (const ValueError& error) {
        REQUIRE(refusal && *refusal == error.what());
        return 0;
    }
    REQUIRE(!refusal);
    REQUIRE(d.length == pdu.size() && d.safe_data_bytes == n);
    REQUIRE(d.safe_data.size() == n && d.crcs.size() == (n + 1u) / 2u);
    REQUIRE(d.command == pdu[0]);
    REQUIRE(d.command_name.has_value() == command_has_value(pdu[0]));
    const bool checked = crc0 && seq;
    REQUIRE(d.computed_crcs.has_value() == checked && d.crcs_ok.has_value() == checked);
    if (checked) {
        REQUIRE(*d.crcs_ok == (*d.computed_crcs == d.crcs));
        // The frame's own check, with the sequence number the description used.
        FSOEFrame frame;
        frame.from_array_fixed(pdu, pdu_length(n));
        frame.control().crc0(*crc0);
        frame.control().sequence_number(*seq);
        if (previous) {
            REQUIRE(frame.check_crcs_cyclic(*previous) == *d.crcs_ok);
            REQUIRE(frame.control().sequence_number() == *d.sequence_number);
        } else {
            REQUIRE(frame.check_crcs() == *d.crcs_ok);
            REQUIRE(d.sequence_number == seq);
        }
        // A failed check is always explained.
        REQUIRE(*d.crcs_ok || d.problems.size() >= 2);
    }
    REQUIRE(!pdu_text(d).empty());
    return 0;
}
