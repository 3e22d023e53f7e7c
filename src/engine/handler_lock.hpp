#pragma once
// The handler-wide exclusion between the host's calls and the watchdog's expiry path.
// Re-entrant (a callback may call back into its handler on the same thread). Taking it
// uncontended is one compare-and-swap; only a wait for another holder goes through the
// engine's wait hook (blocking_wait.hpp), so that a binding can release its interpreter
// lock meanwhile.
//
// Waiters are served first come, first served (a ticket queue): a thread that loops
// taking and letting go cannot keep another caller waiting for more than one turn of
// every thread ahead of it. try_lock never overtakes a queued waiter.
#include <atomic>
#include <cstdint>

namespace velmora {

class HandlerLock {
  public:
    HandlerLock() = default;
    HandlerLock(const HandlerLock&) = delete;
    HandlerLock& operator=(const HandlerLock&) = delete;

    // Never waits. True when this thread now holds the lock (again).
    bool try_lock() noexcept;
    // Waits (through the wait hook) while another thread holds it or is queued before.
    void lock();
    // The calling thread must hold it.
    void unlock() noexcept;

    bool held_by_this_thread() const noexcept;
    // Nesting depth of the calling thread's hold (meaningful only for the holder).
    unsigned depth() const noexcept { return depth_; }

  private:
    void wait_for_lock() noexcept;

    std::atomic<std::uintptr_t> owner_{0};
    // Tickets drawn by waiters, and the ticket whose turn it is; equal when none queues.
    std::atomic<std::uint32_t> next_ticket_{0};
    std::atomic<std::uint32_t> serving_{0};
    unsigned depth_ = 0;  // written only by the holder
};

}  // namespace velmora
