#pragma once
// A handler's connection history: the last N events in a ring of fixed records.
//
// Filled by whatever thread runs the engine (host or watchdog), always under the handler's
// exclusion, and read by the host under the same exclusion: a read copies the records and
// converts them after letting go, so it never sees half an event and holds the cycle up for
// a copy only. Recording allocates nothing: the ring is allocated once, with the handler.
//
// An event is opened by the operation it records (a fully initialised record, committed at
// once) and filled while the operation runs: the reply and what it was checked against, the
// first error reported, the request built; closing it stores the state the connection is in
// afterwards. The error texts live apart from the records, since they are rare and a cycle
// should touch no more memory than it needs: a record is two cache lines.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "history/history_event.hpp"

namespace velmora {

struct alignas(64) HistoryRecord {
    static constexpr std::uint8_t kFailSafe = 1;
    static constexpr std::uint8_t kError = 2;
    static constexpr std::uint8_t kReply = 4;
    static constexpr std::uint8_t kRequest = 8;
    static constexpr std::uint8_t kPreviousCrc0 = 16;

    std::int64_t time_ns;
    HistoryKind kind;
    StateId state_before;
    StateId state_after;
    std::uint8_t flags;
    std::uint8_t reply_stored;
    std::uint8_t request_length;
    std::uint16_t reply_safe_data_bytes;
    std::uint32_t reply_length;
    std::uint16_t expected_crc0;
    std::uint16_t expected_sequence_number;
    std::uint16_t previous_crc0;
    std::uint8_t reply[kHistoryFrameBytes];
    std::uint8_t request[kHistoryFrameBytes];
};

// The transition name and message of an event's first error, cut to fit.
struct HistoryText {
    char transition[24];
    char error[104];
};

class HistoryRing {
  public:
    static constexpr std::size_t kMaxSize = 65536;

    // 0 turns the history off. Throws ValueError above kMaxSize.
    explicit HistoryRing(std::size_t size);
    ~HistoryRing();
    HistoryRing(const HistoryRing&) = delete;
    HistoryRing& operator=(const HistoryRing&) = delete;

    std::size_t size() const noexcept { return size_; }
    // Events recorded since the handler was made (the ring holds the last size() of them).
    std::uint64_t recorded() const noexcept { return recorded_; }

    // Opens (and commits) a new event; nullptr when the history is off.
    HistoryRecord* open(HistoryKind kind, std::int64_t time_ns, StateId state) noexcept {
        if (size_ == 0) return open_ = nullptr;
        HistoryRecord& r = records_[next_];
        r.time_ns = time_ns;
        r.kind = kind;
        r.state_before = state;
        r.state_after = state;
        r.flags = 0;
        r.reply_stored = 0;
        r.request_length = 0;
        open_text_ = &texts_[next_];
        next_ = next_ + 1 == size_ ? 0 : next_ + 1;
        ++recorded_;
        return open_ = &r;
    }
    // The reply of the open event and what it is checked against.
    void set_reply(std::span<const std::uint8_t> data, std::uint16_t safe_data_bytes,
                   std::uint16_t crc0, std::uint16_t sequence_number,
                   std::optional<std::uint16_t> previous_crc0) noexcept;
    void set_request(std::span<const std::uint8_t> data) noexcept {
        if (open_ == nullptr) return;
        const std::size_t n = data.size() < kHistoryFrameBytes ? data.size() : kHistoryFrameBytes;
        if (n != 0) std::memcpy(open_->request, data.data(), n);
        open_->request_length = static_cast<std::uint8_t>(n);
        open_->flags |= HistoryRecord::kRequest;
    }
    // Keeps the first error of the open event.
    void note_error(std::optional<std::string_view> transition,
                    std::optional<std::string_view> error) noexcept;
    void close(StateId state, bool fail_safe) noexcept {
        if (open_ == nullptr) return;
        open_->state_after = state;
        if (fail_safe) open_->flags |= HistoryRecord::kFailSafe;
        open_ = nullptr;
    }

    // The raw records, oldest first, and the number of the first one.
    struct Copy {
        std::uint64_t first_number = 0;
        std::vector<HistoryRecord> records;
        std::vector<HistoryText> texts;  // one per record with an error, in order
    };
    Copy copy() const;
    static std::vector<HistoryEvent> events(const Copy& copy);

  private:
    std::size_t size_;
    std::size_t next_ = 0;
    std::uint64_t recorded_ = 0;
    HistoryRecord* records_ = nullptr;
    HistoryText* texts_ = nullptr;
    HistoryRecord* open_ = nullptr;
    HistoryText* open_text_ = nullptr;
};

}  // namespace velmora
