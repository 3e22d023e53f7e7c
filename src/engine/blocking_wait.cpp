#include "engine/blocking_wait.hpp"

#include <atomic>

namespace velmora {
namespace {

void plain_wait(void (*wait)(void*), void* context) {
    wait(context);
}

std::atomic<WaitHook> g_wait_hook{&plain_wait};

}  // namespace

void set_wait_hook(WaitHook hook) noexcept {
    g_wait_hook.store(hook != nullptr ? hook : &plain_wait);
}

void run_blocking(void (*wait)(void*), void* context) {
    g_wait_hook.load()(wait, context);
}

}  // namespace velmora
