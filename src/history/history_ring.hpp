#pragma once
// A handler's connection history: the last N events in a ring of fixed records.
//
// Filled by whatever thread runs the engine (host or watchdog), always under the handler's
// exclusion, and read by the host under the same exclusion: a read copies the records and
// converts them after letting go, so it never sees half an event and holds the cycle up for
// a copy only. Recording allocates nothing: the ring is allocated once, with the handler.
//
// An event is opened by the operation it records and filled while the operation runs (the
// reply and what it was checked against, the first error reported, the request built) in a
// staging record that every cycle reuses, so it stays in the caches; closing it stores the
// state the connection is in afterwards and copies the record into the ring. The ring's
// next slot is asked for when a cycle starts (a host with many connections finds it cold)
// and written only at the end, so its fetch overlaps the cycle. An event left open by an
// error is committed by the next one, and a read shows it too. The error texts live apart
// from the records, since they are rare: a record is two cache lines.
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

    // Opens a new event; nullptr when the history is off.
    HistoryRecord* open(HistoryKind kind, std::int64_t time_ns, StateId state) noexcept {
        if (size_ == 0) return nullptr;
        if (open_ != nullptr) commit_();
        HistoryRecord& r = staging_;
        r.time_ns = time_ns;
        r.kind = kind;
        r.state_before = state;
        r.state_after = state;
        r.flags = 0;
        r.reply_stored = 0;
        r.request_length = 0;
        return open_ = &r;
    }
    // Frames come as whole buffers of a frame's size with their length, so that a copy has
    // a fixed size (a few moves, not a call); bytes beyond the length are kept and ignored.
    using FrameBuffer = std::span<const std::uint8_t, kHistoryFrameBytes>;

    // The cycle writes the next record: asked for early, its lines arrive while the cycle
    // works (a host with many connections finds them cold).
    void prefetch_next() const noexcept {
        if (size_ == 0) return;
        const char* next = reinterpret_cast<const char*>(records_ + next_);
        __builtin_prefetch(next, 1);
        __builtin_prefetch(next + 64, 1);
    }
    // The reply of the open event (its first bytes and its whole length) and what it is
    // checked against.
    void set_reply(FrameBuffer first_bytes, std::size_t length, std::uint16_t safe_data_bytes,
                   std::uint16_t crc0, std::uint16_t sequence_number,
                   std::optional<std::uint16_t> previous_crc0) noexcept;
    void set_request(FrameBuffer frame, std::size_t length) noexcept {
        if (open_ == nullptr) return;
        std::memcpy(open_->request, frame.data(), kHistoryFrameBytes);
        open_->request_length =
            static_cast<std::uint8_t>(length < kHistoryFrameBytes ? length : kHistoryFrameBytes);
        open_->flags |= HistoryRecord::kRequest;
    }
    // Keeps the first error of the open event.
    void note_error(std::optional<std::string_view> transition,
                    std::optional<std::string_view> error) noexcept;
    void close(StateId state, bool fail_safe) noexcept {
        if (open_ == nullptr) return;
        open_->state_after = state;
        if (fail_safe) open_->flags |= HistoryRecord::kFailSafe;
        commit_();
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
    void commit_() noexcept {
        records_[next_] = staging_;
        if ((staging_.flags & HistoryRecord::kError) != 0) texts_[next_] = texts_[size_];
        next_ = next_ + 1 == size_ ? 0 : next_ + 1;
        ++recorded_;
        open_ = nullptr;
    }

    HistoryRecord staging_{};
    std::size_t size_;
    std::size_t next_ = 0;
    std::uint64_t recorded_ = 0;
    HistoryRecord* records_ = nullptr;
    HistoryText* texts_ = nullptr;  // one per slot, and the open event's after them
    HistoryRecord* open_ = nullptr;
};

}  // namespace velmora
