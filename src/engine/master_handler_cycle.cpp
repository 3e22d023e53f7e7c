// One cycle: a reply is decoded and handled by the current state, and the next request is
// built at once.
#include <algorithm>
#include <chrono>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "engine/master_handler.hpp"
#include "protocol/errors.hpp"
#include "protocol/cycle_code.hpp"
#include "protocol/small_bytes.hpp"

namespace velmora {
namespace {

constexpr std::size_t kStoredReplyBytes = 2 * FSOE_MAX_FRAME_WORDS;

// A reply this long after the handler's last one finds its data gone from the nearest caches
// (the host did other work, or served other connections): it is asked for at once; closer
// together it is still there, and asking would cost a few hundred instructions. The
// time-stamp counter tells, where there is one: an instruction that reads no memory (the
// clock is itself a chain of misses through the C library). It only decides a hint: a
// counter that differs between cores, or runs at another rate, costs at worst a fetch for
// nothing or one left out.
#if defined(__x86_64__) || defined(__i386__)
constexpr std::uint64_t kColdAfter = 30'000;  // ticks, about 10 us at 3 GHz
#else
constexpr std::uint64_t kColdAfter = 10'000;  // ns
#endif

// Out of the cycle's code: what a cycle never runs stays out of the lines it fetches.
[[noreturn, gnu::noinline, gnu::cold]] void throw_no_last_crc() {
    throw ValueError("Cannot generate cyclic CRCs without a last CRC sent");
}

// FNV-1a over the bytes beyond the stored part of a reply (of a PDU longer than any frame:
// never a cycle's).
[[gnu::noinline, gnu::cold]] std::uint64_t tail_hash(std::span<const std::uint8_t> data) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::size_t i = kStoredReplyBytes; i < data.size(); ++i) {
        hash = (hash ^ data[i]) * 0x100000001b3ull;
    }
    return hash;
}

}  // namespace

VELMORA_CYCLE_CODE
bool MasterHandler::same_as_last_reply_(std::span<const std::uint8_t> data) const noexcept {
    if (data.size() != last_reply_length_) return false;
    const std::size_t stored = std::min(data.size(), kStoredReplyBytes);
    if (!small_equal(data.data(), last_reply_.data(), stored)) return false;
    return data.size() <= kStoredReplyBytes || tail_hash(data) == last_reply_tail_hash_;
}

VELMORA_CYCLE_CODE
void MasterHandler::store_last_reply_(std::span<const std::uint8_t> data) noexcept {
    const std::size_t stored = std::min(data.size(), kStoredReplyBytes);
    small_copy(last_reply_.data(), data.data(), stored);
    last_reply_length_ = data.size();
    last_reply_tail_hash_ = data.size() > kStoredReplyBytes ? tail_hash(data) : 0;
}

void MasterHandler::forget_last_reply_() noexcept {
    last_reply_length_ = 0;
    last_reply_tail_hash_ = 0;
}

// Marks the handling of one reply. A reply handled inside another one (host code that hands
// a reply to its handler from a callback) leaves the outer one to read the clock afresh.
class MasterHandler::ReplyScope {
  public:
    explicit ReplyScope(MasterHandler& h) noexcept : h_(h), outer_(h.in_reply_) {
        h.in_reply_ = true;
        h.have_cycle_time_ = false;
    }
    ~ReplyScope() {
        h_.in_reply_ = outer_;
        h_.have_cycle_time_ = false;
    }
    ReplyScope(const ReplyScope&) = delete;
    ReplyScope& operator=(const ReplyScope&) = delete;

  private:
    MasterHandler& h_;
    bool outer_;
};

VELMORA_CYCLE_CODE
void MasterHandler::_set_reply(std::span<const std::uint8_t> data) {
    ReplyScope scope(*this);
    // The handler's own data: cold when its last reply is that old, whatever other
    // handlers ran meanwhile.
#if defined(__x86_64__) || defined(__i386__)
    const std::uint64_t ticks = __rdtsc();
#else
    const auto ticks = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(cycle_time().time_since_epoch())
            .count());
#endif
    if (ticks - last_reply_ticks_ >= kColdAfter) {
        footprint_.warm();
        warm_host_side_();
    }
    last_reply_ticks_ = ticks;
    // The clock read is shared with the cycle (the watchdog's re-arm, the diagnostics and the
    // history).
    const auto now = cycle_time();
    diagnostics_.count_cycle();
    store_last_reply_(data);
    FSOEFrame& reply = slave_->frame();
    open_event_(HistoryKind::Reply, now);
    // What the reply is checked against: the frame's control keeps the expected sequence
    // number and the reference CRC_0 (decoding leaves them).
    history_.set_reply(last_reply_, data.size(), reply.safe_data_size_bytes(),
                       reply.control().crc0(), reply.control().sequence_number(),
                       slave_->_last_crc0_sent);
    // The slave's PDU length is fixed by the input map: a reply of another length is read
    // at that length and can never pass the CRC check.
    const std::uint16_t expected = FSOE_GetFrameSizeBytes(reply.safe_data_size_bytes());
    reply.from_array_fixed(data, expected);
    reply_length_ok_ = data.size() == expected;

    if (state_id_.load() != StateId::Reset) master_->frame().control().crc0(reply.crcs()[0]);
    if (reply.control().command_is_valid() &&
        reply.control().command_raw() == static_cast<std::uint16_t>(FSOECommand::RESET)) {
        // A Reset frame carries the slave's error code.
        slave_->_dynamic_map().clear();
        slave_->_dynamic_map().add(slave_->session().error_id);
    }
    slave_->_dynamic_map().get_data_from_frame(reply, initialization_data_bytes());

    const StateId handling = state_id_.load();
    const std::uint64_t reported = diagnostics_.errors_reported();
    const StateId next_state = state_->_process_frame_received_event();
    if (diagnostics_.errors_reported() == reported) {
        diagnostics_.count_accepted(cycle_time());
    } else if (_reset_slave_sequence_number_after_frame) {
        // The Reset handling and the Session restart set this flag, and only they do: the
        // reported transition reset the connection (not a stay such as "SESSION_STAY2").
        diagnostics_.count_reset();
    }
    if (handling != StateId::Reset) reply.control().increment_sequence_number();
    slave_->_last_crc0_sent = reply.crcs()[0];
    _set_next_state(next_state);
}

VELMORA_CYCLE_CODE
std::uint16_t MasterHandler::_get_request(std::uint8_t (&out)[2 * FSOE_MAX_FRAME_WORDS]) {
    FSOEFrame& request = master_->frame();
    const StateId current = state_id_.load();
    if (current == StateId::Data) {
        state_->map_frame();
    } else {
        master_->_dynamic_map().set_data_to_frame(request, initialization_data_bytes());
    }
    if (current == StateId::Reset || current == StateId::Session) {
        request.control().connection_id(0);
    } else {
        request.control().connection_id(u16_value(*master_->session().connection_id));
    }
    if (_generate_crcs_cyclic_for_next_frame) {
        if (!master_->_last_crc0_sent) {
            throw_no_last_crc();
        }
        request.generate_crcs_cyclic(*master_->_last_crc0_sent);
    } else {
        request.generate_crcs();
    }
    master_->_last_crc0_sent = request.crcs()[0];
    if (_reset_slave_sequence_number_after_frame) {
        slave_->frame().control().sequence_number(1);
        _reset_slave_sequence_number_after_frame = false;
    }
    if (current != StateId::Reset) {
        // The slave's next reply must chain on this frame.
        slave_->frame().control().crc0(request.crcs()[0]);
        request.control().increment_sequence_number();
    }
    return request.to_array(out);
}

VELMORA_CYCLE_CODE
void MasterHandler::recalculate_request_() {
    std::uint8_t built[2 * FSOE_MAX_FRAME_WORDS] = {};
    const std::uint16_t length = _get_request(built);
    // All of it, a fixed size (no call into the C library); the bytes past the length are 0.
    static_assert(sizeof built == sizeof request_);
    std::memcpy(request_.data(), built, sizeof built);
    request_length_ = length;
    ++request_version_;
    history_.set_request(built, length);
}

}  // namespace velmora
