#include "engine/handler_lock.hpp"

#include <pthread.h>

namespace velmora {
namespace {

void plain_wait(void (*wait)(void*), void* context) {
    wait(context);
}

std::atomic<HandlerLock::WaitHook> g_wait_hook{&plain_wait};

// A non-zero token that identifies the calling thread. pthread_self reads the thread
// pointer; a thread_local's address would cost a call into the TLS resolver in a shared
// library.
std::uintptr_t this_thread_token() noexcept {
    return static_cast<std::uintptr_t>(pthread_self());
}

}  // namespace

void HandlerLock::set_wait_hook(WaitHook hook) noexcept {
    g_wait_hook.store(hook != nullptr ? hook : &plain_wait);
}

bool HandlerLock::try_lock() noexcept {
    const std::uintptr_t me = this_thread_token();
    std::uintptr_t seen = 0;
    if (owner_.compare_exchange_strong(seen, me)) {
        depth_ = 1;
        return true;
    }
    if (seen == me) {
        ++depth_;
        return true;
    }
    return false;
}

void HandlerLock::wait_for_lock() noexcept {
    const std::uintptr_t me = this_thread_token();
    waiters_.fetch_add(1);
    for (;;) {
        std::uintptr_t seen = 0;
        if (owner_.compare_exchange_strong(seen, me)) break;
        owner_.wait(seen);
    }
    waiters_.fetch_sub(1);
    depth_ = 1;
}

void HandlerLock::lock() {
    if (try_lock()) return;
    g_wait_hook.load()([](void* self) { static_cast<HandlerLock*>(self)->wait_for_lock(); }, this);
}

void HandlerLock::unlock() noexcept {
    if (--depth_ > 0) return;
    owner_.store(0);
    if (waiters_.load() != 0) owner_.notify_all();
}

bool HandlerLock::held_by_this_thread() const noexcept {
    return owner_.load() == this_thread_token();
}

}  // namespace velmora
