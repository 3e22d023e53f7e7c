#include "engine/handler_lock.hpp"

#include <pthread.h>

#include "engine/blocking_wait.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

// A non-zero token that identifies the calling thread: the thread pointer. On x86-64 the
// first word of the thread control block holds its own address (the ABI requires it), read
// here without the call into the C library that pthread_self is (cold, a page of its own); a
// thread_local's address would cost a call into the TLS resolver in a shared library.
std::uintptr_t this_thread_token() noexcept {
#if defined(__x86_64__) && defined(__linux__) && (defined(__GNUC__) || defined(__clang__))
    std::uintptr_t self = 0;
    __asm__("mov %%fs:0, %0" : "=r"(self));
    return self;
#else
    return static_cast<std::uintptr_t>(pthread_self());
#endif
}

}  // namespace

VELMORA_CYCLE_CODE
bool HandlerLock::try_lock() noexcept {
    const std::uintptr_t me = this_thread_token();
    std::uintptr_t seen = owner_.load();
    if (seen == me) {
        ++depth_;
        return true;
    }
    // Free, and nobody queued whose turn it would be.
    if (seen != 0 || next_ticket_.load() != serving_.load()) return false;
    if (!owner_.compare_exchange_strong(seen, me)) return false;
    depth_ = 1;
    return true;
}

void HandlerLock::wait_for_lock() noexcept {
    const std::uintptr_t me = this_thread_token();
    const std::uint32_t ticket = next_ticket_.fetch_add(1);
    for (;;) {
        const std::uint32_t turn = serving_.load();
        if (turn != ticket) {
            serving_.wait(turn);
            continue;
        }
        std::uintptr_t seen = 0;
        if (owner_.compare_exchange_strong(seen, me)) break;
        owner_.wait(seen);
    }
    // The next in the queue may now wait for this hold to end.
    serving_.store(ticket + 1);
    serving_.notify_all();
    depth_ = 1;
}

VELMORA_CYCLE_CODE
void HandlerLock::lock() {
    if (try_lock()) return;
    run_blocking([](void* self) { static_cast<HandlerLock*>(self)->wait_for_lock(); }, this);
}

VELMORA_CYCLE_CODE
void HandlerLock::unlock() noexcept {
    if (--depth_ > 0) return;
    owner_.store(0);
    // A waiter draws its ticket before it looks at the owner, so one that saw this hold
    // is counted here.
    if (next_ticket_.load() != serving_.load()) owner_.notify_all();
}

bool HandlerLock::held_by_this_thread() const noexcept {
    return owner_.load() == this_thread_token();
}

}  // namespace velmora
