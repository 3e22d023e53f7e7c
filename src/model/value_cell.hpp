#pragma once
// One item value (a bool, an integer or a real number, kind kept) that the engine may write
// on the watchdog thread while the host reads it, and the other way round.
//
// A sequence lock: a 32-bit state word (writer flag, value kind, change counter) guards the
// 64-bit payload. Readers take no lock and issue no locked instruction: they read the state,
// the payload, and the state again, and retry if a writer came in between, so no value is
// ever seen half written. Writers exclude each other by setting the flag with a
// compare-and-swap; a write lasts a few instructions.
//
// The cell also keeps a 32-bit wire form beside the value (what serialize_value gives for an
// output), read on its own with one atomic load by the per-cycle transfer.
#include <atomic>
#include <bit>
#include <cstdint>
#include <thread>

#include "protocol/value.hpp"

namespace velmora {

class ValueCell {
  public:
    explicit ValueCell(const Value& value, std::uint32_t wire = 0) noexcept {
        const Encoded e = encode(value);
        payload_.store(e.payload, std::memory_order_relaxed);
        state_.store(e.kind << kKindShift, std::memory_order_relaxed);
        wire_.store(wire, std::memory_order_relaxed);
    }
    ValueCell(const ValueCell&) = delete;
    ValueCell& operator=(const ValueCell&) = delete;

    Value load() const noexcept {
        for (unsigned attempt = 0;; ++attempt) {
            const std::uint32_t before = state_.load(std::memory_order_acquire);
            const std::uint64_t payload = payload_.load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if ((before & kWriting) == 0 && state_.load(std::memory_order_relaxed) == before) {
                return decode(before, payload);
            }
            back_off(attempt);
        }
    }

    // The wire form stored with the value.
    std::uint32_t wire() const noexcept { return wire_.load(std::memory_order_relaxed); }

    void store(const Value& value, std::uint32_t wire = 0) noexcept {
        write_locked_(lock_(), value, wire);
    }

    // Stores `value` unless it equals (values_equal) the value held; true when it stored.
    // Checked without a lock first, so an unchanged value costs no locked instruction.
    bool store_if_changed(const Value& value, std::uint32_t wire = 0) noexcept {
        if (values_equal(load(), value)) return false;
        const std::uint32_t state = lock_();
        if (values_equal(decode(state, payload_.load(std::memory_order_relaxed)), value)) {
            state_.store(state, std::memory_order_release);  // unchanged: no new version
            return false;
        }
        write_locked_(state, value, wire);
        return true;
    }

  private:
    static constexpr std::uint32_t kWriting = 1;
    static constexpr unsigned kKindShift = 1;
    static constexpr std::uint32_t kKindMask = 3u << kKindShift;
    static constexpr std::uint32_t kVersionStep = 8;  // above the flag and the kind

    struct Encoded {
        std::uint32_t kind;  // the variant index: bool, integer, real
        std::uint64_t payload;
    };

    static Encoded encode(const Value& value) noexcept {
        if (const bool* b = std::get_if<bool>(&value)) return {0, *b ? 1u : 0u};
        if (const std::int64_t* i = std::get_if<std::int64_t>(&value)) {
            return {1, static_cast<std::uint64_t>(*i)};
        }
        return {2, std::bit_cast<std::uint64_t>(std::get<double>(value))};
    }

    static Value decode(std::uint32_t state, std::uint64_t payload) noexcept {
        switch ((state & kKindMask) >> kKindShift) {
            case 0:
                return Value{payload != 0};
            case 1:
                return Value{static_cast<std::int64_t>(payload)};
            default:
                return Value{std::bit_cast<double>(payload)};
        }
    }

    static void back_off(unsigned attempt) noexcept {
        if (attempt >= 64) std::this_thread::yield();  // the writer lost its processor
    }

    // Sets the writer flag; returns the state before it.
    std::uint32_t lock_() noexcept {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        for (unsigned attempt = 0;; ++attempt) {
            if ((state & kWriting) == 0 &&
                state_.compare_exchange_weak(state, state | kWriting, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                // Readers must see the flag before any byte of the new payload.
                std::atomic_thread_fence(std::memory_order_release);
                return state;
            }
            back_off(attempt);
            state = state_.load(std::memory_order_relaxed);
        }
    }

    void write_locked_(std::uint32_t state, const Value& value, std::uint32_t wire) noexcept {
        const Encoded e = encode(value);
        payload_.store(e.payload, std::memory_order_relaxed);
        wire_.store(wire, std::memory_order_relaxed);
        const std::uint32_t version = (state & ~(kWriting | kKindMask)) + kVersionStep;
        state_.store(version | (e.kind << kKindShift), std::memory_order_release);
    }

    std::atomic<std::uint64_t> payload_;
    std::atomic<std::uint32_t> state_;
    std::atomic<std::uint32_t> wire_;
};

}  // namespace velmora
