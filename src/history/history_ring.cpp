#include "history/history_ring.hpp"

#include <cstring>
#include <new>
#include <string>

#include "model/hot_memory.hpp"
#include "protocol/errors.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

// Copies `text` into `out` (NUL-terminated); a text that does not fit is cut at a code
// point and marked with an ellipsis.
template <std::size_t N>
void store_text(char (&out)[N], std::string_view text) noexcept {
    if (text.size() < N) {
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = '\0';
        return;
    }
    constexpr std::string_view kEllipsis = "\xE2\x80\xA6";
    std::size_t keep = N - 1 - kEllipsis.size();
    // Not in the middle of a UTF-8 sequence.
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
    std::memcpy(out, text.data(), keep);
    std::memcpy(out + keep, kEllipsis.data(), kEllipsis.size());
    out[keep + kEllipsis.size()] = '\0';
}

constexpr std::uint8_t kNoText = 0xFF;  // marks "none" in the first byte of a text field

template <std::size_t N>
void store_optional(char (&out)[N], std::optional<std::string_view> text) noexcept {
    if (!text) {
        out[0] = static_cast<char>(kNoText);
        out[1] = '\0';
        return;
    }
    store_text(out, *text);
}

template <std::size_t N>
std::optional<std::string> load_optional(const char (&in)[N]) {
    if (static_cast<std::uint8_t>(in[0]) == kNoText) return std::nullopt;
    return std::string(in, strnlen(in, N));
}

std::vector<std::uint8_t> bytes(const std::uint8_t* data, std::size_t n) {
    return {data, data + n};
}

}  // namespace

HistoryRing::HistoryRing(std::size_t size) : size_(size) {
    if (size > kMaxSize) {
        throw ValueError("history_size must be from 0 to " + std::to_string(kMaxSize) + ", not " +
                         std::to_string(size));
    }
    if (size_ == 0) return;
    // Beside the handler's other cycle data: a cycle writes one record.
    records_ = static_cast<HistoryRecord*>(
        hot_allocate(size_ * sizeof(HistoryRecord), alignof(HistoryRecord)));
    texts_ = new HistoryText[size_ + 1];
}

HistoryRing::~HistoryRing() {
    if (records_ != nullptr) {
        hot_release(records_, size_ * sizeof(HistoryRecord), alignof(HistoryRecord));
    }
    delete[] texts_;
}

VELMORA_CYCLE_CODE
void HistoryRing::set_reply(FrameBuffer first_bytes, std::size_t length,
                            std::uint16_t safe_data_bytes, std::uint16_t crc0,
                            std::uint16_t sequence_number,
                            std::optional<std::uint16_t> previous_crc0) noexcept {
    if (open_ == nullptr) return;
    std::memcpy(open_->reply, first_bytes.data(), kHistoryFrameBytes);
    open_->reply_stored =
        static_cast<std::uint8_t>(length < kHistoryFrameBytes ? length : kHistoryFrameBytes);
    open_->reply_length =
        length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(length);
    open_->reply_safe_data_bytes = safe_data_bytes;
    open_->expected_crc0 = crc0;
    open_->expected_sequence_number = sequence_number;
    open_->previous_crc0 = previous_crc0.value_or(0);
    open_->flags |= HistoryRecord::kReply;
    if (previous_crc0) open_->flags |= HistoryRecord::kPreviousCrc0;
}

void HistoryRing::note_error(std::optional<std::string_view> transition,
                             std::optional<std::string_view> error) noexcept {
    if (open_ == nullptr || (open_->flags & HistoryRecord::kError) != 0) return;
    store_optional(texts_[size_].transition, transition);
    store_optional(texts_[size_].error, error);
    open_->flags |= HistoryRecord::kError;
}

HistoryRing::Copy HistoryRing::copy() const {
    Copy result;
    if (size_ == 0) return result;
    const std::size_t count = recorded_ < size_ ? static_cast<std::size_t>(recorded_) : size_;
    result.first_number = recorded_ - count;
    result.records.reserve(count + 1);
    const std::size_t start = (next_ + size_ - count) % size_;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t slot = (start + i) % size_;
        result.records.push_back(records_[slot]);
        if ((records_[slot].flags & HistoryRecord::kError) != 0) {
            result.texts.push_back(texts_[slot]);
        }
    }
    // An event that an error left open.
    if (open_ != nullptr) {
        result.records.push_back(staging_);
        if ((staging_.flags & HistoryRecord::kError) != 0) result.texts.push_back(texts_[size_]);
    }
    return result;
}

std::vector<HistoryEvent> HistoryRing::events(const Copy& copy) {
    std::vector<HistoryEvent> result;
    result.reserve(copy.records.size());
    std::size_t text = 0;
    for (std::size_t i = 0; i < copy.records.size(); ++i) {
        const HistoryRecord& r = copy.records[i];
        HistoryEvent& e = result.emplace_back();
        e.number = copy.first_number + i;
        e.time_ns = r.time_ns;
        e.kind = r.kind;
        e.state_before = r.state_before;
        e.state_after = r.state_after;
        e.fail_safe = (r.flags & HistoryRecord::kFailSafe) != 0;
        if ((r.flags & HistoryRecord::kError) != 0 && text < copy.texts.size()) {
            e.transition = load_optional(copy.texts[text].transition);
            e.error = load_optional(copy.texts[text].error);
            ++text;
        }
        if ((r.flags & HistoryRecord::kReply) != 0) {
            e.reply = bytes(r.reply, r.reply_stored);
            e.reply_length = r.reply_length;
            e.reply_safe_data_bytes = r.reply_safe_data_bytes;
            e.expected_crc0 = r.expected_crc0;
            e.expected_sequence_number = r.expected_sequence_number;
            if ((r.flags & HistoryRecord::kPreviousCrc0) != 0) e.previous_crc0 = r.previous_crc0;
        }
        if ((r.flags & HistoryRecord::kRequest) != 0) {
            e.request = bytes(r.request, r.request_length);
        }
    }
    return result;
}

}  // namespace velmora
