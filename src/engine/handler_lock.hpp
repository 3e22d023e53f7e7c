#pragma once
// The handler-wide exclusion between the host's calls and the watchdog's expiry path.
// Re-entrant (a callback may call back into its handler on the same thread). Taking it
// uncontended is one compare-and-swap; only a wait for another holder goes through the
// wait hook, so that a binding can release its interpreter lock meanwhile.
#include <atomic>
#include <cstdint>

namespace velmora {

class HandlerLock {
  public:
    // Runs `wait(context)` once; a binding may release an interpreter lock around it.
    using WaitHook = void (*)(void (*wait)(void*), void* context);
    static void set_wait_hook(WaitHook hook) noexcept;

    HandlerLock() = default;
    HandlerLock(const HandlerLock&) = delete;
    HandlerLock& operator=(const HandlerLock&) = delete;

    // Never waits. True when this thread now holds the lock (again).
    bool try_lock() noexcept;
    // Waits (through the wait hook) while another thread holds it.
    void lock();
    // The calling thread must hold it.
    void unlock() noexcept;

    bool held_by_this_thread() const noexcept;
    // Nesting depth of the calling thread's hold (meaningful only for the holder).
    unsigned depth() const noexcept { return depth_; }

  private:
    void wait_for_lock() noexcept;

    std::atomic<std::uintptr_t> owner_{0};
    std::atomic<unsigned> waiters_{0};
    unsigned depth_ = 0;  // written only by the holder
};

}  // namespace velmora
